#pragma once
// A client connection to the configuration service: one Unix stream socket
// carrying line-delimited JSON (see docs/cfg-protocol.md).

#include <deque>
#include <string>

#include <nlohmann/json.hpp>

#include "moduna/protocol/EResultCode.h"

namespace kor {
namespace cfg {

class CfgConnection {
public:
    CfgConnection() = default;
    ~CfgConnection();
    CfgConnection(const CfgConnection&) = delete;
    CfgConnection& operator=(const CfgConnection&) = delete;

    // Connects (non-blocking connect on a Unix socket is immediate). Returns
    // false and leaves the connection closed when nobody listens.
    bool open(const std::string& socketPath);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Sends a request and waits up to timeoutMs for its answer. Notifications
    // that arrive meanwhile are kept for takeNotification(). On a lost
    // connection or a timeout the connection is closed and the answer is
    // {"code": 3}.
    nlohmann::json request(nlohmann::json req, int timeoutMs);

    // Reads what the socket holds without waiting. Returns false when the
    // server closed the connection (the connection is then closed).
    bool readAvailable();
    // Waits up to timeoutMs for a notification; false on timeout or loss.
    bool waitNotification(int timeoutMs);
    bool takeNotification(std::string& table);
    bool hasNotifications() const { return !notifications_.empty(); }

private:
    bool fillOnce(int timeoutMs);  // one poll + read; false on loss or timeout
    bool popLine(std::string& line);
    void dispatchLines();

    int fd_ = -1;
    long nextId_ = 1;
    std::string inbuf_;
    std::deque<nlohmann::json> answers_;
    std::deque<std::string> notifications_;
};

}  // namespace cfg
}  // namespace kor
