#pragma once
// The configuration client: connects to the configuration service, follows
// the tables its handlers name and calls them when those tables change.

#include <memory>
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
    // requestTimeoutSec:   how long one request waits for its answer before
    //                      the connection counts as lost.
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

    // The handler is not owned and must outlive this object.
    void registerConfigHandler(IConfigHandler& handler);
    void registerConfigHandler(IConfigHandler* handler) { if (handler) registerConfigHandler(*handler); }

    // Connects, subscribes, and runs one full load and commit. A service that
    // does not answer is tried again at the reconnect interval.
    void initialize();
    // Runs the callbacks for what the socket delivered. Never re-entered.
    void process();

    bool isConnected() const { return conn_.isOpen(); }
    IConfigAccess& access() { return access_; }
    ActionQueue& queue() { return queue_; }

private:
    bool connect();
    void onReadable();
    void connectionLost();
    void scheduleReconnect();
    void fullLoad();

    std::string socketPath_;
    moduna::net::EventDispatcher& dispatcher_;
    std::string clientName_;
    bool waitForService_;
    unsigned reconnectIntervalMs_;
    bool reconnect_;
    bool verbose_;

    CfgConnection conn_;
    SocketConfigAccess access_;
    ActionQueue queue_;
    std::vector<IConfigHandler*> handlers_;
    std::vector<std::vector<std::string>> handlerTables_;
    int watchedFd_ = -1;
    int reconnectTimer_ = 0;
    int pendingCheck_ = 0;
    bool needFullLoad_ = false;
    bool inProcess_ = false;
    bool initialized_ = false;
    int modul_;
};

}  // namespace cfg
}  // namespace kor
