#include "kor/cfg/NotificationHandler.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "kor/sysloglevel.h"

namespace kor {
namespace cfg {

using nlohmann::json;

namespace {
// The longest wait for the answers to hello and subscribe.
const int kSetupTimeoutMs = 5000;
}  // namespace

NotificationHandler::NotificationHandler(const std::string& socketPath, moduna::net::EventDispatcher& dispatcher,
                                         const std::string& clientName, bool waitForService,
                                         unsigned requestTimeoutSec, unsigned reconnectIntervalMs, bool reconnect,
                                         bool verbose)
    : NotificationHandler(socketPath, dispatcher, clientName, waitForService, requestTimeoutSec,
                          reconnectIntervalMs, reconnect, verbose, nullptr) {}

NotificationHandler::NotificationHandler(const std::string& socketPath, moduna::net::EventDispatcher& dispatcher,
                                         const std::string& clientName, bool waitForService,
                                         unsigned requestTimeoutSec, unsigned reconnectIntervalMs, bool reconnect,
                                         bool verbose, std::shared_ptr<ICommandExecutor> executor)
    : socketPath_(socketPath),
      dispatcher_(dispatcher),
      clientName_(clientName),
      waitForService_(waitForService),
      requestTimeoutMs_(int(std::max(1u, requestTimeoutSec)) * 1000),
      reconnectIntervalMs_(reconnectIntervalMs ? reconnectIntervalMs : 500),
      reconnect_(reconnect),
      verbose_(verbose),
      access_(conn_, requestTimeoutMs_),
      queue_(executor ? ActionQueue(executor) : ActionQueue()),
      modul_(KOR_Sysloglevel_registerModul("cfgclient")) {
    // Notifications read while a request waited for its answer sit in the
    // connection's queue; the dispatcher must not sleep over them.
    pendingCheck_ = dispatcher_.addPendingCheck([this]() { return hasWork(); });
    access_.setReconnect([this]() { return reconnectNow(); }, int(reconnectIntervalMs_));
    // However the connection ends, its descriptor leaves the dispatcher
    // before its number can be handed out again.
    conn_.setCloseHook([this](int fd) {
        if (fd != watchedFd_) return;
        dispatcher_.removeDescriptor(fd);
        watchedFd_ = -1;
        pending_.clear();
        needFullLoad_ = true;
        KOR_Sysloglevel_error(modul_, "cfgclient", __LINE__,
                              VAStr("lost the configuration service at %s", socketPath_.c_str()));
        scheduleReconnect();
    });
}

NotificationHandler::~NotificationHandler() {
    conn_.setCloseHook(nullptr);
    dispatcher_.removePendingCheck(pendingCheck_);
    if (reconnectTimer_) dispatcher_.cancelTimer(reconnectTimer_);
    if (watchedFd_ >= 0) dispatcher_.removeDescriptor(watchedFd_);
}

void NotificationHandler::registerConfigHandler(IConfigHandler& handler) {
    moduna::NameList names;
    handler.getTableNames(names);
    handlers_.push_back(&handler);
    handlerTables_.emplace_back();
    for (const auto& name : names)
        if (std::find(handlerTables_.back().begin(), handlerTables_.back().end(), name) == handlerTables_.back().end())
            handlerTables_.back().push_back(name);
    std::vector<std::string> all;
    for (const auto& list : handlerTables_)
        for (const auto& t : list)
            if (std::find(all.begin(), all.end(), t) == all.end()) all.push_back(t);
    access_.setSnapshotTables(all);
}

bool NotificationHandler::hasWork() const {
    return conn_.isOpen() && (needFullLoad_ || !pending_.empty() || conn_.hasNotifications());
}

bool NotificationHandler::connect() {
    if (!conn_.open(socketPath_)) return false;
    json tables = json::array();
    for (const auto& list : handlerTables_)
        for (const auto& t : list) tables.push_back(t);
    const int timeout = std::min(kSetupTimeoutMs, requestTimeoutMs_);
    json answer = conn_.request({{"op", "hello"}, {"name", clientName_}}, timeout);
    if (resultCode(answer).ok()) answer = conn_.request({{"op", "subscribe"}, {"tables", tables}}, timeout);
    if (!resultCode(answer).ok()) {
        std::string why = resultCode(answer).toString() + " " + answer.value("error", "");
        if (why != lastFailure_)
            KOR_Sysloglevel_error(modul_, "cfgclient", __LINE__,
                                  VAStr("subscription at %s failed: %s", socketPath_.c_str(), why.c_str()));
        lastFailure_ = why;
        conn_.close();
        return false;
    }
    lastFailure_.clear();
    watchedFd_ = conn_.fd();
    dispatcher_.addDescriptor(watchedFd_, POLLIN, [this](int, short) { onReadable(); });
    // Whatever changed while we were away was not notified.
    pending_.clear();
    needFullLoad_ = true;
    KOR_Sysloglevel_info(modul_, "cfgclient", __LINE__,
                         VAStr("connected to the configuration service at %s", socketPath_.c_str()));
    return true;
}

// The access object's way to a new connection when a request lost its own.
bool NotificationHandler::reconnectNow() {
    if (!reconnect_) return false;
    if (!conn_.isOpen() && connect()) return true;
    scheduleReconnect();
    return false;
}

void NotificationHandler::onReadable() { conn_.readAvailable(); }

void NotificationHandler::scheduleReconnect() {
    if (!reconnect_ || reconnectTimer_) return;
    reconnectTimer_ = dispatcher_.addTimer(int(reconnectIntervalMs_), [this]() {
        reconnectTimer_ = 0;
        if (!conn_.isOpen() && !connect()) scheduleReconnect();
    });
}

void NotificationHandler::initialize() {
    if (initialized_) return;
    initialized_ = true;
    bool up = connect();
    while (!up && waitForService_) {
        usleep(reconnectIntervalMs_ * 1000);
        up = connect();
    }
    if (!up) {
        KOR_Sysloglevel_info(modul_, "cfgclient", __LINE__,
                             VAStr("configuration service at %s not reachable, retrying every %u ms",
                                   socketPath_.c_str(), reconnectIntervalMs_));
        scheduleReconnect();
        return;
    }
    process();
}

void NotificationHandler::runPass() {
    if (!conn_.isOpen()) return;
    if (conn_.takeOverflow()) needFullLoad_ = true;
    std::string table;
    while (conn_.takeNotification(table)) pending_.insert(table);
    if (!needFullLoad_ && pending_.empty()) return;
    // No handler sees tables that could not all be read; the connection
    // starts over and the next one loads everything.
    if (!access_.refreshSnapshot()) {
        conn_.close();
        return;
    }
    // A new connection taken while reading makes this a full load.
    const bool full = needFullLoad_;
    needFullLoad_ = false;
    std::set<std::string> changed;
    changed.swap(pending_);
    if (verbose_) {
        std::string names;
        for (const auto& t : changed) names += " " + t;
        KOR_Sysloglevel_info(modul_, "cfgclient", __LINE__,
                             full ? "loading every table" : VAStr("tables changed:%s", names.c_str()));
    }
    for (size_t i = 0; i < handlers_.size(); ++i) {
        // What one notification changes (the members a read sweeps, the
        // commit after it) reaches the kernel as one batch.
        ActionQueue::Hold hold(&queue_);
        bool modelChanged = false;
        for (const auto& t : handlerTables_[i])
            if (full || changed.count(t)) modelChanged = handlers_[i]->loadFromConfig(access_, t) || modelChanged;
        if (full && handlerTables_[i].empty()) modelChanged = handlers_[i]->loadFromConfig(access_, "");
        if (full || modelChanged) handlers_[i]->commitToSystem(access_, queue_);
    }
}

void NotificationHandler::process() {
    if (inProcess_) return;
    inProcess_ = true;
    runPass();
    inProcess_ = false;
}

}  // namespace cfg
}  // namespace kor
