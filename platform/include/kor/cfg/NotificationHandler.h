#pragma once
// The configuration client: connects to the configuration service, follows
// the tables its handlers name and calls them when those tables change.
//
// Handlers read a snapshot (see SocketConfigAccess): before any handler is
// called, every followed table is copied with one request. When that copy
// cannot be had (the service is gone, or answers nonsense) no handler is
// called at all, and the model stays as it is until a later copy succeeds.
// So a lost or restarted service never looks like empty tables.
//
// After every connection, the first as well as each new one, every handler
// loads each table it follows, in the order it named them, and is committed
// once. Between connections, the notified tables are coalesced: each pass
// loads each changed table once and commits a handler once when one of its
// loads reported a change. Notifications that were not processed when the
// connection is lost are dropped; the full load after the next connection
// covers them.

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kor/cfg/ActionQueue.h"
#include "kor/cfg/CfgConnection.h"
#include "kor/cfg/IConfigHandler.h"
#include "kor/cfg/SocketConfigAccess.h"
#include "moduna/net/EventDispatcher.h"

namespace kor {
namespace cfg {

class NotificationHandler {
public:
    // socketPath:          the service's socket.
    // dispatcher:          the loop that reports the socket's traffic.
    // clientName:          the name the client gives itself (service log).
    // waitForService:      true makes initialize() block until the service
    //                      answers; false lets it return at once.
    // requestTimeoutSec:   how long one request, repetitions on new
    //                      connections after a loss included, may take.
    // reconnectIntervalMs: pause between two connection attempts.
    // reconnect:           try again after a failed or lost connection.
    // verbose:             log every notification at info level.
    NotificationHandler(const std::string& socketPath, moduna::net::EventDispatcher& dispatcher,
                        const std::string& clientName, bool waitForService, unsigned requestTimeoutSec,
                        unsigned reconnectIntervalMs, bool reconnect, bool verbose);
    NotificationHandler(const std::string& socketPath, moduna::net::EventDispatcher& dispatcher,
                        const std::string& clientName, bool waitForService, unsigned requestTimeoutSec,
                        unsigned reconnectIntervalMs, bool reconnect, bool verbose,
                        std::shared_ptr<ICommandExecutor> executor);
    ~NotificationHandler();
    NotificationHandler(const NotificationHandler&) = delete;
    NotificationHandler& operator=(const NotificationHandler&) = delete;

    // The handler is not owned and must outlive this object. Register every
    // handler before initialize().
    void registerConfigHandler(IConfigHandler& handler);
    void registerConfigHandler(IConfigHandler* handler) { if (handler) registerConfigHandler(*handler); }

    // Connects, subscribes, and runs the full load and commit. A service that
    // does not answer is tried again at the reconnect interval.
    void initialize();
    // Runs the callbacks for what the socket delivered. Never re-entered.
    void process();

    bool isConnected() const { return conn_.isOpen(); }
    IConfigAccess& access() { return access_; }
    ActionQueue& queue() { return queue_; }

private:
    bool connect();
    bool reconnectNow();
    void dropConnection();
    void onReadable();
    void scheduleReconnect();
    void runPass();
    bool hasWork() const;

    std::string socketPath_;
    moduna::net::EventDispatcher& dispatcher_;
    std::string clientName_;
    bool waitForService_;
    int requestTimeoutMs_;
    unsigned reconnectIntervalMs_;
    bool reconnect_;
    bool verbose_;

    CfgConnection conn_;
    SocketConfigAccess access_;
    ActionQueue queue_;
    std::vector<IConfigHandler*> handlers_;
    std::vector<std::vector<std::string>> handlerTables_;
    std::set<std::string> pending_;  // notified tables not loaded yet
    int watchedFd_ = -1;
    int reconnectTimer_ = 0;
    int pendingCheck_ = 0;
    bool needFullLoad_ = false;
    bool inProcess_ = false;
    bool initialized_ = false;
    std::string lastFailure_;  // why the last connection attempt failed, logged once
    int modul_;
};

}  // namespace cfg
}  // namespace kor
