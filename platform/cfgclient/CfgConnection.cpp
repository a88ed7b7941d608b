// Blocking line-JSON connection to the configuration service.

#include "kor/cfg/CfgConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kor {
namespace cfg {

using nlohmann::json;

namespace {
const size_t kMaxLine = 16 * 1024 * 1024;

json unavailable() { return json{{"code", unsigned(moduna::protocol::EResultCode::RC_UNAVAILABLE)}}; }
}  // namespace

CfgConnection::~CfgConnection() { close(); }

bool CfgConnection::open(const std::string& socketPath) {
    close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) return false;
    memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
    return true;
}

void CfgConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    inbuf_.clear();
    answers_.clear();
}

bool CfgConnection::popLine(std::string& line) {
    size_t nl = inbuf_.find('\n');
    if (nl == std::string::npos) return false;
    line.assign(inbuf_, 0, nl);
    inbuf_.erase(0, nl + 1);
    return true;
}

// Sorts complete lines into answers and notifications.
void CfgConnection::dispatchLines() {
    std::string line;
    while (popLine(line)) {
        json msg = json::parse(line, nullptr, false);
        if (msg.is_discarded() || !msg.is_object()) continue;
        if (msg.contains("event")) {
            if (msg.value("event", "") == "changed" && msg.contains("table") && msg["table"].is_string())
                notifications_.push_back(msg["table"].get<std::string>());
            continue;
        }
        answers_.push_back(std::move(msg));
    }
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
    if (got <= 0 || inbuf_.size() + size_t(got) > kMaxLine) {
        close();
        return false;
    }
    inbuf_.append(buf, size_t(got));
    dispatchLines();
    return true;
}

bool CfgConnection::readAvailable() {
    while (fd_ >= 0) {
        char buf[65536];
        ssize_t got = read(fd_, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return true;
        if (got <= 0 || inbuf_.size() + size_t(got) > kMaxLine) {
            close();
            return false;
        }
        inbuf_.append(buf, size_t(got));
        dispatchLines();
    }
    return false;
}

json CfgConnection::request(json req, int timeoutMs) {
    if (fd_ < 0) return unavailable();
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
        return unavailable();
    }
    for (;;) {
        while (!answers_.empty()) {
            json answer = std::move(answers_.front());
            answers_.pop_front();
            if (answer.contains("id") && answer["id"] == id) return answer;
        }
        int left = remaining();
        if (left <= 0 || !fillOnce(left)) {
            if (fd_ >= 0 && remaining() > 0) continue;  // EINTR
            close();
            return unavailable();
        }
    }
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

}  // namespace cfg
}  // namespace kor
