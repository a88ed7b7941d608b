#pragma once
// A client connection to the configuration service: one Unix stream socket
// carrying line-delimited JSON (see docs/cfg-protocol.md).
//
// The socket lives in a directory that anybody may write (/tmp), so the
// connection trusts a peer only when it runs as root or as ourselves. Nothing
// the peer sends can throw out of this class: each line is checked before it
// is used, and one that is neither a well-formed answer nor a well-formed
// notification is logged and dropped.

#include <sys/types.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "moduna/protocol/EResultCode.h"

namespace kor {
namespace cfg {

// Whether the lists and objects of a JSON text nest at most `limit` deep.
// Checked before a line is parsed: copying or printing a deeper value would
// recurse once per level.
bool jsonNestingWithin(const std::string& text, unsigned limit);

// The "code" of an answer; RC_ERROR when it has none.
moduna::protocol::EResultCode resultCode(const nlohmann::json& answer);

class CfgConnection {
public:
    // Distinct tables whose notifications wait to be taken; one more means
    // that notifications were lost (see takeOverflow).
    static constexpr size_t kMaxNotifications = 256;
    // The longest line taken from the service; a longer one ends the
    // connection, since the stream can no longer be framed.
    static constexpr size_t kMaxLine = size_t(64) << 20;
    // The deepest nesting of a line; any message of the protocol nests 4 deep.
    static constexpr unsigned kMaxDepth = 32;

    CfgConnection() = default;
    ~CfgConnection();
    CfgConnection(const CfgConnection&) = delete;
    CfgConnection& operator=(const CfgConnection&) = delete;

    // Connects (a Unix socket connects at once or not at all) and checks the
    // peer: the server must run as root or as our own user. Returns false
    // and leaves the connection closed when nobody listens or the peer is not
    // trusted; then errno is set (EPERM for an untrusted peer) and error()
    // says why. A refused peer is also logged, once until a connection
    // succeeds or another user's peer is met.
    bool open(const std::string& socketPath);
    // Closes the socket; answers and notifications not yet taken are dropped.
    void close();
    // Called with the descriptor just before an open connection is closed,
    // by close() or by a loss that a read or request found.
    void setCloseHook(std::function<void(int fd)> hook) { closeHook_ = std::move(hook); }
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& error() const { return error_; }

    // Sends a request and waits up to timeoutMs for its answer, whose "code"
    // is then an unsigned integer of at most 255 and whose "error", when
    // present, is a text. Notifications that arrive meanwhile are kept for
    // takeNotification(). On a lost connection or a timeout the connection is
    // closed and the answer is {"code": 3, "error": ...}.
    nlohmann::json request(nlohmann::json req, int timeoutMs);

    // Reads what the socket holds without waiting. Returns false when the
    // connection was lost (it is then closed).
    bool readAvailable();
    // Waits up to timeoutMs (-1: no limit) for a notification; false on
    // timeout or loss.
    bool waitNotification(int timeoutMs);
    // The changed tables in the order they were first notified, each once
    // while it waits.
    bool takeNotification(std::string& table);
    bool hasNotifications() const { return !notifications_.empty() || overflow_; }
    // True once after the waiting notifications were dropped because too many
    // distinct tables waited: the taker must then count every table as
    // changed. Later notifications are queued again as usual.
    bool takeOverflow();

private:
    bool fillOnce(int timeoutMs);  // one poll + read; false on loss or timeout
    bool append(const char* data, size_t size);
    void dispatchLines();
    std::string sortMessage(nlohmann::json& msg);
    void queueNotification(const std::string& table);
    void dropped(const std::string& why);

    int fd_ = -1;
    long nextId_ = 1;
    long waitingId_ = 0;                   // the request waiting for its answer
    std::optional<nlohmann::json> answer_;  // its answer, once read
    std::string inbuf_;
    std::deque<std::string> notifications_;
    bool overflow_ = false;
    unsigned droppedLines_ = 0;  // malformed lines on this connection
    std::string error_;
    long refusedUid_ = -1;  // the untrusted peer last logged
    std::function<void(int)> closeHook_;
};

}  // namespace cfg
}  // namespace kor
