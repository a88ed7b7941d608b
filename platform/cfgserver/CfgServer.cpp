// The configuration service's poll loop: clients, transactions, notifications.

#include "CfgServer.h"
#include "SocketDirectory.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kor/cfg/CfgConnection.h"
#include "kor/sysloglevel.h"
#include "moduna/protocol/EResultCode.h"

namespace kor {
namespace cfg {

namespace {

KOR_Modul logModul() {
    static const KOR_Modul modul = KOR_Sysloglevel_registerModul("cfgserver");
    return modul;
}

#define CFG_ERROR(...) KOR_Sysloglevel_error(logModul(), "cfgserver", __LINE__, VAStr(__VA_ARGS__))
#define CFG_INFO(...) KOR_Sysloglevel_info(logModul(), "cfgserver", __LINE__, VAStr(__VA_ARGS__))
#define CFG_DEBUG(...) KOR_Sysloglevel_debug(logModul(), "cfgserver", __LINE__, VAStr(__VA_ARGS__))
#define CFG_TRACE(...) KOR_Sysloglevel_trace(logModul(), "cfgserver", __LINE__, VAStr(__VA_ARGS__))

using json = nlohmann::json;
using RC = moduna::protocol::EResultCode;

constexpr size_t kMaxLine = size_t(4) << 20;  // longest request line
constexpr size_t kMaxOut = size_t(64) << 20;  // unread output that drops a client
constexpr size_t kReadChunk = 65536;
constexpr int kReadsPerWakeup = 16;           // fairness among busy clients
constexpr auto kTransactionLimit = std::chrono::seconds(30);
constexpr unsigned kMaxDepth = 64;            // nesting of lists and objects in a request

// The tables a request names: its "table", or the names of its "tables"
// (a list, or the object of a load).
std::string requestTables(const json& req) {
    auto table = req.find("table");
    if (table != req.end() && table->is_string()) return table->get<std::string>();
    std::string names;
    auto tables = req.find("tables");
    if (tables != req.end() && tables->is_array()) {
        for (const auto& t : *tables)
            if (t.is_string()) names += (names.empty() ? "" : ",") + t.get<std::string>();
    } else if (tables != req.end() && tables->is_object()) {
        for (const auto& t : tables->items()) names += (names.empty() ? "" : ",") + t.key();
    }
    return names;
}

json answer(unsigned code, const std::string& error = "") {
    json a = {{"code", code}};
    if (!error.empty()) a["error"] = error;
    return a;
}

}  // namespace

CfgServer::CfgServer(std::string storePath, std::string socketPath)
    : storePath_(std::move(storePath)), socketPath_(std::move(socketPath)) {}

CfgServer::~CfgServer() { closeAll(); }

bool CfgServer::start() {
    std::string error;
    if (!store_.loadFile(storePath_, error)) {
        CFG_ERROR("cannot start: %s", error.c_str());
        return false;
    }
    std::string notice;
    if (!CfgStore::removeStaleTemporary(storePath_, notice, error)) {
        CFG_ERROR("cannot start: %s", error.c_str());
        return false;
    }
    if (!notice.empty()) CFG_INFO("%s", notice.c_str());
    if (!openSignals() || !openSocket()) return false;
    CFG_INFO("serving %s (%zu tables) on %s", storePath_.c_str(), store_.document().size(), socketPath_.c_str());
    return true;
}

bool CfgServer::openSignals() {
    signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0 || (signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC)) < 0) {
        CFG_ERROR("cannot set up signals: %s", strerror(errno));
        return false;
    }
    return true;
}

// An existing socket is replaced only when it is ours and no server answers
// on it; true when there is none now.
bool CfgServer::removeStaleSocket(const sockaddr_un& addr) {
    const char* path = addr.sun_path;
    struct stat st;
    if (lstat(path, &st) != 0) return true;
    if (!S_ISSOCK(st.st_mode)) {
        CFG_ERROR("cannot start: %s exists and is not a socket", path);
        return false;
    }
    if (st.st_uid != geteuid()) {
        CFG_ERROR("cannot start: %s is a socket of uid %u, not ours (uid %u); remove it if it is stale", path,
                  unsigned(st.st_uid), unsigned(geteuid()));
        return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int rc = probe < 0 ? -1 : connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    int err = errno;
    if (probe >= 0) close(probe);
    if (rc == 0) {
        CFG_ERROR("cannot start: another server answers on %s", path);
        return false;
    }
    if (err != ECONNREFUSED && err != ENOENT) {
        CFG_ERROR("cannot start: cannot probe %s: %s", path, strerror(err));
        return false;
    }
    if (unlink(path) != 0 && errno != ENOENT) {
        CFG_ERROR("cannot start: cannot remove stale socket %s: %s", path, strerror(errno));
        return false;
    }
    CFG_INFO("replaced stale socket %s", path);
    return true;
}

bool CfgServer::openSocket() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.empty() || socketPath_.size() >= sizeof addr.sun_path) {
        CFG_ERROR("cannot start: socket path '%s' is empty or too long", socketPath_.c_str());
        return false;
    }
    memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    const char* path = socketPath_.c_str();

    std::string error;
    if (!safeDirectory(socketPath_, error)) {
        CFG_ERROR("cannot start: %s", error.c_str());
        return false;
    }
    if (!removeStaleSocket(addr)) return false;

    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        CFG_ERROR("cannot start: socket: %s", strerror(errno));
        return false;
    }
    struct stat st;
    mode_t oldMask = umask(0177);  // the socket is created mode 0600
    int rc = bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int err = errno;
    umask(oldMask);
    if (rc != 0 || listen(listenFd_, SOMAXCONN) != 0 || stat(path, &st) != 0) {
        CFG_ERROR("cannot start: cannot listen on %s: %s", path, strerror(rc != 0 ? err : errno));
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    socketIno_ = st.st_ino;
    return true;
}

void CfgServer::closeAll() {
    if (holder_) abandonTransaction("ended by shutdown");
    for (auto& entry : clients_) {
        flush(entry.second);
        close(entry.second.fd);
    }
    clients_.clear();
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
        struct stat st;  // remove the socket only when it is still ours
        if (stat(socketPath_.c_str(), &st) == 0 && st.st_ino == socketIno_) unlink(socketPath_.c_str());
    }
    if (signalFd_ >= 0) {
        close(signalFd_);
        signalFd_ = -1;
    }
}

int CfgServer::run() {
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    manager_.ready();
    while (!stop_) {
        fds.assign({{signalFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}});
        ids.clear();
        for (auto& entry : clients_) {
            const Client& c = entry.second;
            short events = c.closing ? 0 : POLLIN;
            if (c.outDone < c.out.size()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            ids.push_back(entry.first);
        }
        int timeout = -1;
        if (holder_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
            timeout = int(std::max<long long>(0, left + 1));
        }
        const int polled = poll(fds.data(), fds.size(), manager_.waitLimit(timeout));
        manager_.alive();
        if (polled < 0) {
            if (errno == EINTR) continue;
            CFG_ERROR("poll: %s", strerror(errno));
            closeAll();
            return 1;
        }
        if (fds[0].revents) {
            signalfd_siginfo info;
            while (read(signalFd_, &info, sizeof info) == ssize_t(sizeof info))
                CFG_INFO("stopping on signal %u", info.ssi_signo);
            stop_ = true;
            break;
        }
        if (fds[1].revents & POLLIN) acceptClients();
        for (size_t i = 2; i < fds.size(); ++i) {
            auto it = clients_.find(ids[i - 2]);
            if (!fds[i].revents || it == clients_.end() || it->second.dead) continue;
            Client& c = it->second;
            if (fds[i].revents & POLLOUT) flush(c);
            if (c.closing && (fds[i].revents & (POLLHUP | POLLERR))) c.dead = true;
            else if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readClient(c);
        }
        if (holder_ && Clock::now() >= deadline_) {
            auto holder = clients_.find(holder_);
            if (holder != clients_.end()) holder->second.expired = true;
            abandonTransaction("timed out");
        }
        sweep();
    }
    closeAll();
    CFG_INFO("stopped");
    return 0;
}

void CfgServer::acceptClients() {
    for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) CFG_ERROR("accept: %s", strerror(errno));
            return;
        }
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            CFG_ERROR("cannot read peer credentials: %s", strerror(errno));
            close(fd);
            continue;
        }
        Client& c = clients_[nextId_];
        c.id = nextId_++;
        c.fd = fd;
        c.uid = cred.uid;
        c.pid = cred.pid;
        CFG_DEBUG("%s connected", who(c));
    }
}

void CfgServer::readClient(Client& c) {
    char buf[kReadChunk];
    for (int reads = 0; reads < kReadsPerWakeup && !c.closing && !c.dead; ++reads) {
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n == 0) {  // the peer is done sending: answer what came, then close
            CFG_DEBUG("%s closed its side", who(c));
            c.closing = true;
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) c.dead = true;
            return;
        }
        c.in.append(buf, size_t(n));
        size_t start = 0;
        while (!c.closing && !c.dead) {
            size_t nl = c.in.find('\n', std::max(start, c.scanned));
            if (nl == std::string::npos || nl - start > kMaxLine) break;
            std::string line = c.in.substr(start, nl - start);
            start = nl + 1;
            handleLine(c, line);
        }
        c.in.erase(0, start);
        c.scanned = c.in.size();
        if (c.in.size() > kMaxLine && !c.closing) {
            CFG_INFO("%s sent a line longer than %zu bytes, closing it", who(c), kMaxLine);
            send(c, answer(RC::RC_BAD_REQUEST, "request line longer than 4 MiB"));
            c.in.clear();
            c.scanned = 0;
            c.closing = true;
        }
    }
}

void CfgServer::handleLine(Client& c, const std::string& line) {
    json req;
    std::set<std::string> changed;
    json ans;
    if (!jsonNestingWithin(line, kMaxDepth))
        ans = answer(RC::RC_BAD_REQUEST, "the request nests lists and objects too deeply");
    else if ((req = json::parse(line, nullptr, false)).is_discarded() || !req.is_object())
        ans = answer(RC::RC_BAD_REQUEST, "the request is not a JSON object");
    else if (!req.contains("op") || !req.at("op").is_string())
        ans = answer(RC::RC_BAD_REQUEST, "the request has no op");
    else {
        // At trace level every request is logged with the moment it was
        // taken up, in microseconds of the monotonic clock: what timings of
        // the service's clients go by.
        if (KOR_Sysloglevel_tracelevel(logModul()) & KOR_TRACE_TRACE) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            CFG_TRACE("request at %ld.%06ld from %s: %s %s", long(now.tv_sec), long(now.tv_nsec / 1000), who(c),
                      req.at("op").get<std::string>().c_str(), requestTables(req).c_str());
        }
        ans = handleRequest(c, req, changed);
    }
    if (req.is_object() && req.contains("id")) ans["id"] = req.at("id");
    send(c, ans);
    notify(changed);
}

CfgServer::json CfgServer::subscribe(Client& c, const json& req) {
    std::set<std::string> tables;
    auto list = req.find("tables");
    if (list != req.end() && !list->is_array()) return answer(RC::RC_BAD_REQUEST, "tables must be a list");
    if (list != req.end()) {
        for (const auto& t : *list) {
            if (!t.is_string()) return answer(RC::RC_BAD_REQUEST, "tables must be a list of texts");
            tables.insert(t.get<std::string>());
        }
    }
    c.subscribed = true;
    c.tables = std::move(tables);
    return answer(RC::RC_OK);
}

// "begin" takes the transaction (again, for its holder); "end" commits it.
CfgServer::json CfgServer::beginOrEnd(Client& c, const std::string& op, std::set<std::string>& changed) {
    const bool mine = holder_ == c.id;
    if (op == "begin") {
        if (!mine) {
            holder_ = c.id;
            work_ = store_;
            deadline_ = Clock::now() + kTransactionLimit;
            CFG_INFO("transaction begun by %s", who(c));
        }
        return answer(RC::RC_OK);
    }
    std::string error;
    if (!mine) return answer(RC::RC_NOT_FOUND, "no transaction held");
    if (!commitTransaction(c, changed, error)) return answer(RC::RC_ERROR, error);
    return answer(RC::RC_OK);
}

CfgServer::json CfgServer::handleRequest(Client& c, const json& req, std::set<std::string>& changed) {
    const std::string op = req.at("op").get<std::string>();
    const bool mine = holder_ == c.id;
    if (CfgStore::isRead(op)) return (mine ? *work_ : store_).read(req);
    if (op == "hello") {
        auto name = req.find("name");
        if (name != req.end() && name->is_string()) c.name = name->get<std::string>();
        CFG_DEBUG("%s says hello", who(c));
        return answer(RC::RC_OK);
    }
    if (op == "subscribe") return subscribe(c, req);
    if (op != "begin" && op != "end" && !CfgStore::isChange(op))
        return answer(RC::RC_BAD_REQUEST, "unknown op " + op);
    if (c.uid != 0) return answer(RC::RC_DENIED, "only root may " + op);
    // A holder whose transaction timed out is told so until it ends it or
    // begins a new one: its later changes must not land one by one.
    if (c.expired && op != "begin") {
        if (op == "end") c.expired = false;
        return answer(RC::RC_NOT_FOUND, "the transaction timed out and was rolled back");
    }
    c.expired = false;
    if (holder_ && !mine) return answer(RC::RC_BUSY, "another client holds a transaction");
    if (op == "begin" || op == "end") return beginOrEnd(c, op, changed);
    std::string error;
    if (mine) {  // written and notified at the end
        json ans = work_->change(req);
        if (resultCode(ans).ok()) volatile_.changed(req, c.id, true);
        return ans;
    }
    CfgStore next = store_;
    json ans = next.change(req);
    const bool switched = resultCode(ans).ok() && volatile_.changed(req, c.id, false);
    std::set<std::string> diff = CfgStore::diff(store_, next);
    if (diff.empty() && !switched) return ans;
    if (!save(next, error, switched ? nullptr : &store_)) {
        CFG_ERROR("change by %s lost: %s", who(c), error.c_str());
        return answer(RC::RC_ERROR, error);
    }
    store_ = std::move(next);
    changed = std::move(diff);
    return ans;
}

bool CfgServer::save(const CfgStore& store, std::string& error, const CfgStore* before) {
    const CfgStore kept = volatile_.persisted(store);
    // A volatile table's rows change nothing on disk.
    if (before && CfgStore::diff(volatile_.persisted(*before), kept).empty()) return true;
    std::string notice;
    bool ok = kept.saveFile(storePath_, error, notice);
    if (!notice.empty()) CFG_ERROR("%s", notice.c_str());
    return ok;
}

bool CfgServer::commitTransaction(const Client& c, std::set<std::string>& changed, std::string& error) {
    CfgStore work = std::move(*work_);
    work_.reset();
    holder_ = 0;
    std::set<std::string> diff = CfgStore::diff(store_, work);
    CFG_INFO("transaction ended by %s, %zu tables changed", who(c), diff.size());
    const bool switched = volatile_.commit();
    if (diff.empty() && !switched) return true;
    if (!save(work, error, switched ? nullptr : &store_)) {
        CFG_ERROR("transaction lost: %s", error.c_str());
        return false;
    }
    store_ = std::move(work);
    changed = std::move(diff);
    return true;
}

void CfgServer::abandonTransaction(const std::string& why) {
    size_t dropped = CfgStore::diff(store_, *work_).size();
    volatile_.rollback();
    work_.reset();
    holder_ = 0;
    CFG_INFO("transaction %s: rolled back, the changes to %zu tables are dropped", why.c_str(), dropped);
}

void CfgServer::send(Client& c, const json& msg) {
    if (c.dead) return;
    c.out += msg.dump(-1, ' ', false, json::error_handler_t::replace);
    c.out += '\n';
    if (c.out.size() - c.outDone > kMaxOut) {
        CFG_ERROR("%s does not read what it is sent, dropping it", who(c));
        c.dead = true;
        return;
    }
    flush(c);
}

void CfgServer::flush(Client& c) {
    while (!c.dead && c.outDone < c.out.size()) {
        ssize_t n = ::send(c.fd, c.out.data() + c.outDone, c.out.size() - c.outDone, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            c.outDone += size_t(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            CFG_DEBUG("%s: write failed: %s", who(c), strerror(errno));
            c.dead = true;
        }
    }
    if (c.outDone == c.out.size() || c.outDone > c.out.size() / 2) {  // amortised compaction
        c.out.erase(0, c.outDone);
        c.outDone = 0;
    }
}

void CfgServer::notify(const std::set<std::string>& tables) {
    for (auto& entry : clients_) {
        Client& c = entry.second;
        if (!c.subscribed || c.closing) continue;
        for (const std::string& t : tables)
            if (c.tables.empty() || c.tables.count(t)) send(c, {{"event", "changed"}, {"table", t}});
    }
}

void CfgServer::sweep() {
    std::set<std::string> emptied;
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client& c = it->second;
        if (c.closing && c.outDone == c.out.size()) c.dead = true;
        if (!c.dead) {
            ++it;
            continue;
        }
        CFG_DEBUG("%s gone", who(c));
        if (holder_ == c.id) abandonTransaction(std::string("abandoned by the disconnect of ") + who(c));
        for (const std::string& table : volatile_.release(c.id, store_, work_ ? &*work_ : nullptr)) {
            CFG_INFO("%s gone: its volatile table %s emptied", who(c), table.c_str());
            emptied.insert(table);
        }
        close(c.fd);
        it = clients_.erase(it);
    }
    notify(emptied);
}

const char* CfgServer::who(const Client& c) const {
    return VAStr("client %llu (pid %d, uid %u%s%s)", static_cast<unsigned long long>(c.id), int(c.pid),
                 unsigned(c.uid), c.name.empty() ? "" : ", ", c.name.c_str());
}

}  // namespace cfg
}  // namespace kor
