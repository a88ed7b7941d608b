// Blocking line-JSON connection to the configuration service.

#include "kor/cfg/CfgConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "kor/sysloglevel.h"

namespace kor {
namespace cfg {

using nlohmann::json;

namespace {

// Malformed lines logged per connection; the rest are dropped silently.
const unsigned kLoggedDrops = 3;
const unsigned kMaxCode = 255;

KOR_Modul logModul() {
    static const KOR_Modul modul = KOR_Sysloglevel_registerModul("cfgclient");
    return modul;
}

json unavailable(const char* why) {
    return json{{"code", unsigned(moduna::protocol::EResultCode::RC_UNAVAILABLE)}, {"error", why}};
}

}  // namespace

bool jsonNestingWithin(const std::string& text, unsigned limit) {
    unsigned depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

moduna::protocol::EResultCode resultCode(const json& answer) {
    auto code = answer.find("code");
    if (code != answer.end() && code->is_number_unsigned() && code->get<uint64_t>() <= kMaxCode)
        return code->get<unsigned>();
    return moduna::protocol::EResultCode::RC_ERROR;
}

CfgConnection::~CfgConnection() { close(); }

bool CfgConnection::open(const std::string& socketPath) {
    close();
    error_.clear();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
        error_ = "socket path too long";
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        error_ = strerror(err);
        if (fd >= 0) ::close(fd);
        errno = err;
        return false;
    }
    // The peer is whoever called listen() on the path. While the service is
    // down anybody may bind a socket there and hand us any tables.
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        error_ = std::string("cannot read the peer's credentials: ") + strerror(errno);
    } else if (cred.uid != 0 && cred.uid != geteuid()) {
        error_ = "the peer runs as uid " + std::to_string(cred.uid) + ", neither root nor uid " +
                 std::to_string(geteuid());
        if (refusedUid_ != long(cred.uid))
            KOR_Sysloglevel_error(logModul(), "cfgclient", __LINE__,
                                  VAStr("refusing the configuration service at %s: %s", socketPath.c_str(),
                                        error_.c_str()));
        refusedUid_ = long(cred.uid);
    }
    if (!error_.empty()) {
        ::close(fd);
        errno = EPERM;
        return false;
    }
    refusedUid_ = -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
    return true;
}

void CfgConnection::close() {
    int fd = fd_;
    fd_ = -1;
    if (fd >= 0) {
        if (closeHook_) closeHook_(fd);
        ::close(fd);
    }
    inbuf_.clear();
    answer_.reset();
    waitingId_ = 0;
    notifications_.clear();
    overflow_ = false;
    droppedLines_ = 0;
}

void CfgConnection::dropped(const std::string& why) {
    ++droppedLines_;
    if (droppedLines_ <= kLoggedDrops)
        KOR_Sysloglevel_error(logModul(), "cfgclient", __LINE__,
                              VAStr("dropped a malformed message from the configuration service: %s%s", why.c_str(),
                                    droppedLines_ == kLoggedDrops ? " (further ones on this connection are "
                                                                    "dropped without a word)"
                                                                  : ""));
}

void CfgConnection::queueNotification(const std::string& table) {
    if (std::find(notifications_.begin(), notifications_.end(), table) != notifications_.end()) return;
    if (notifications_.size() >= kMaxNotifications) {
        KOR_Sysloglevel_error(logModul(), "cfgclient", __LINE__,
                              VAStr("more than %zu changed tables wait: counting every table as changed",
                                    kMaxNotifications));
        notifications_.clear();
        overflow_ = true;
        return;
    }
    notifications_.push_back(table);
}

// Takes one parsed message; returns why it is malformed, "" when it is not.
std::string CfgConnection::sortMessage(json& msg) {
    if (!msg.is_object()) return "not a JSON object";
    auto event = msg.find("event");
    if (event != msg.end()) {
        if (!event->is_string() || *event != "changed") return "an unknown event";
        auto table = msg.find("table");
        if (table == msg.end() || !table->is_string() || table->get_ref<const std::string&>().empty())
            return "a notification without a table name";
        queueNotification(table->get<std::string>());
        return "";
    }
    auto id = msg.find("id");
    if (id == msg.end() || !id->is_number_integer()) return "an answer without a numeric id";
    bool ours = waitingId_ > 0 && !answer_ &&
                (id->is_number_unsigned() ? id->get<uint64_t>() == uint64_t(waitingId_)
                                          : id->get<int64_t>() == int64_t(waitingId_));
    if (!ours) return "";  // the late answer to a request that gave up waiting
    std::string why;
    auto code = msg.find("code");
    if (code == msg.end() || !code->is_number_unsigned() || code->get<uint64_t>() > kMaxCode)
        why = "an answer without a result code from 0 to 255";
    auto error = msg.find("error");
    if (error != msg.end() && !error->is_string()) why = "an answer whose error is not a text";
    if (!why.empty()) {
        answer_ = json{{"code", unsigned(moduna::protocol::EResultCode::RC_ERROR)},
                       {"error", "malformed answer: " + why}};
        return why;
    }
    answer_ = std::move(msg);
    return "";
}

void CfgConnection::dispatchLines() {
    size_t start = 0, nl;
    while ((nl = inbuf_.find('\n', start)) != std::string::npos) {
        const std::string line = inbuf_.substr(start, nl - start);
        start = nl + 1;
        std::string why;
        if (!jsonNestingWithin(line, kMaxDepth)) {
            why = "nested too deeply";
        } else {
            json msg = json::parse(line, nullptr, false);
            why = msg.is_discarded() ? "not JSON" : sortMessage(msg);
        }
        if (!why.empty()) dropped(why);
    }
    inbuf_.erase(0, start);
}

// Appends what was read and sorts the complete lines; false (and the
// connection closed) when an incomplete line grew too long.
bool CfgConnection::append(const char* data, size_t size) {
    inbuf_.append(data, size);
    dispatchLines();
    if (inbuf_.size() <= kMaxLine) return true;
    KOR_Sysloglevel_error(logModul(), "cfgclient", __LINE__,
                          VAStr("the configuration service sent a line longer than %zu bytes: closing", kMaxLine));
    close();
    return false;
}

bool CfgConnection::fillOnce(int timeoutMs) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int n = poll(&p, 1, timeoutMs);
    if (n < 0) {
        if (errno == EINTR) return true;
        close();
        return false;
    }
    if (n == 0) return false;
    char buf[65536];
    ssize_t got = read(fd_, buf, sizeof buf);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) {
        close();
        return false;
    }
    return append(buf, size_t(got));
}

bool CfgConnection::readAvailable() {
    while (fd_ >= 0) {
        char buf[65536];
        ssize_t got = read(fd_, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return true;
        if (got <= 0) {
            close();
            return false;
        }
        if (!append(buf, size_t(got))) return false;
    }
    return false;
}

json CfgConnection::request(json req, int timeoutMs) {
    if (fd_ < 0) return unavailable("not connected");
    long id = nextId_++;
    req["id"] = id;
    std::string out = req.dump(-1, ' ', false, json::error_handler_t::replace);
    out += '\n';
    size_t sent = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto remaining = [&]() {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return int(std::max<long>(0, left.count()));
    };
    while (sent < out.size()) {
        ssize_t n = send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, remaining()) > 0) continue;
        }
        close();
        return unavailable("the connection was lost while sending");
    }
    waitingId_ = id;
    answer_.reset();
    while (!answer_) {
        int left = remaining();
        if (left <= 0) {
            close();
            return unavailable("no answer in time");
        }
        if (!fillOnce(left) && fd_ < 0) return unavailable("the connection was lost");
    }
    waitingId_ = 0;
    json answer = std::move(*answer_);
    answer_.reset();
    return answer;
}

bool CfgConnection::waitNotification(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (notifications_.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (timeoutMs >= 0 && left.count() <= 0) return false;
        if (!fillOnce(timeoutMs < 0 ? -1 : int(left.count())) && fd_ < 0) return false;
    }
    return true;
}

bool CfgConnection::takeNotification(std::string& table) {
    if (notifications_.empty()) return false;
    table = std::move(notifications_.front());
    notifications_.pop_front();
    return true;
}

bool CfgConnection::takeOverflow() {
    bool was = overflow_;
    overflow_ = false;
    return was;
}

}  // namespace cfg
}  // namespace kor
