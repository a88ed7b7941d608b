#pragma once
// The configuration service: one single-threaded poll loop serving many
// clients on a Unix stream socket (see docs/cfg-protocol.md).

#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "CfgStore.h"
#include "VolatileTables.h"
#include "kor/notify.h"

namespace kor {
namespace cfg {

class CfgServer {
public:
    CfgServer(std::string storePath, std::string socketPath);
    ~CfgServer();
    CfgServer(const CfgServer&) = delete;
    CfgServer& operator=(const CfgServer&) = delete;

    // Loads the store and opens the socket; logs the reason and returns
    // false when the server cannot start.
    bool start();
    // Serves until SIGTERM or SIGINT; returns the exit status. Tells the
    // service manager that it is ready, and feeds its watchdog.
    int run();

private:
    using json = nlohmann::json;
    using Clock = std::chrono::steady_clock;

    struct Client {
        uint64_t id = 0;
        int fd = -1;
        uid_t uid = 0;
        pid_t pid = 0;
        std::string name;
        std::string in;
        size_t scanned = 0;       // bytes of `in` known to hold no line feed
        std::string out;
        size_t outDone = 0;       // bytes of `out` already written
        bool closing = false;     // close once `out` is written
        bool dead = false;        // close at the next sweep
        bool subscribed = false;
        bool expired = false;     // its transaction timed out and was rolled back
        std::set<std::string> tables;  // empty: all tables
    };

    bool openSocket();
    bool removeStaleSocket(const sockaddr_un& addr);
    bool openSignals();
    void closeAll();
    void acceptClients();
    void readClient(Client& c);
    void handleLine(Client& c, const std::string& line);
    json handleRequest(Client& c, const json& req, std::set<std::string>& changed);
    json subscribe(Client& c, const json& req);
    json beginOrEnd(Client& c, const std::string& op, std::set<std::string>& changed);
    // Writes what the store file keeps of the store; with the tables as
    // they were before, only when that differs from what they kept.
    bool save(const CfgStore& store, std::string& error, const CfgStore* before = nullptr);
    // Writes the holder's changes; false (changes dropped) when the store
    // cannot be written.
    bool commitTransaction(const Client& c, std::set<std::string>& changed, std::string& error);
    // Drops the transaction's changes.
    void abandonTransaction(const std::string& why);
    void send(Client& c, const json& msg);
    void flush(Client& c);
    void notify(const std::set<std::string>& tables);
    void sweep();
    const char* who(const Client& c) const;

    std::string storePath_;
    std::string socketPath_;
    CfgStore store_;                 // the committed tables, as on disk
    std::optional<CfgStore> work_;   // the transaction's tables while one is held
    VolatileTables volatile_;
    uint64_t holder_ = 0;            // id of the client holding the transaction
    Clock::time_point deadline_;     // when the transaction is ended anyway
    std::map<uint64_t, Client> clients_;
    uint64_t nextId_ = 1;
    int listenFd_ = -1;
    int signalFd_ = -1;
    ino_t socketIno_ = 0;
    bool stop_ = false;
    ServiceNotifier manager_;
};

}  // namespace cfg
}  // namespace kor
