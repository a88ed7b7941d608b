#include "kor/cfg/NotificationHandler.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "kor/sysloglevel.h"

namespace kor {
namespace cfg {

using nlohmann::json;

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
      reconnectIntervalMs_(reconnectIntervalMs ? reconnectIntervalMs : 500),
      reconnect_(reconnect),
      verbose_(verbose),
      access_(conn_, int(std::max(1u, requestTimeoutSec)) * 1000),
      queue_(executor ? ActionQueue(executor) : ActionQueue()),
      modul_(KOR_Sysloglevel_registerModul("cfgclient")) {
    // Notifications read while a request waited for its answer sit in the
    // connection's queue; the dispatcher must not sleep over them.
    pendingCheck_ = dispatcher_.addPendingCheck([this]() { return conn_.hasNotifications() || needFullLoad_; });
}

NotificationHandler::~NotificationHandler() {
    dispatcher_.removePendingCheck(pendingCheck_);
    if (reconnectTimer_) dispatcher_.cancelTimer(reconnectTimer_);
    if (watchedFd_ >= 0) dispatcher_.removeDescriptor(watchedFd_);
}

void NotificationHandler::registerConfigHandler(IConfigHandler& handler) {
    moduna::NameList names;
    handler.getTableNames(names);
    handlers_.push_back(&handler);
    handlerTables_.emplace_back(names.begin(), names.end());
}

bool NotificationHandler::connect() {
    if (!conn_.open(socketPath_)) return false;
    json tables = json::array();
    for (const auto& list : handlerTables_)
        for (const auto& t : list) tables.push_back(t);
    int timeout = 5000;
    json hello = conn_.request({{"op", "hello"}, {"name", clientName_}}, timeout);
    json sub = conn_.request({{"op", "subscribe"}, {"tables", tables}}, timeout);
    if (!conn_.isOpen() || sub.value("code", 1u) != 0) {
        KOR_Sysloglevel_error(modul_, "cfgclient", __LINE__,
                              VAStr("subscription at %s failed", socketPath_.c_str()));
        conn_.close();
        return false;
    }
    (void)hello;
    watchedFd_ = conn_.fd();
    dispatcher_.addDescriptor(watchedFd_, POLLIN, [this](int, short) { onReadable(); });
    KOR_Sysloglevel_info(modul_, "cfgclient", __LINE__,
                         VAStr("connected to the configuration service at %s", socketPath_.c_str()));
    return true;
}

void NotificationHandler::onReadable() {
    if (!conn_.readAvailable()) connectionLost();
}

void NotificationHandler::connectionLost() {
    if (watchedFd_ >= 0) dispatcher_.removeDescriptor(watchedFd_);
    watchedFd_ = -1;
    conn_.close();
    KOR_Sysloglevel_error(modul_, "cfgclient", __LINE__,
                          VAStr("lost the configuration service at %s", socketPath_.c_str()));
    scheduleReconnect();
}

void NotificationHandler::scheduleReconnect() {
    if (!reconnect_ || reconnectTimer_) return;
    reconnectTimer_ = dispatcher_.addTimer(int(reconnectIntervalMs_), [this]() {
        reconnectTimer_ = 0;
        if (conn_.isOpen()) return;
        if (connect()) needFullLoad_ = true;
        else scheduleReconnect();
    });
}

void NotificationHandler::fullLoad() {
    std::string ignored;
    while (conn_.takeNotification(ignored)) {
    }
    for (auto* handler : handlers_) {
        handler->loadFromConfig(access_, "");
        handler->commitToSystem(access_, queue_);
    }
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
    inProcess_ = true;
    fullLoad();
    inProcess_ = false;
}

void NotificationHandler::process() {
    if (inProcess_) return;
    inProcess_ = true;
    if (needFullLoad_) {
        needFullLoad_ = false;
        fullLoad();
    }
    // Requests made by the callbacks may bring further notifications; they
    // are handled in the same pass, each table once per batch.
    for (;;) {
        std::vector<std::string> tables;
        std::string table;
        while (conn_.takeNotification(table))
            if (std::find(tables.begin(), tables.end(), table) == tables.end()) tables.push_back(table);
        if (tables.empty()) break;
        for (const auto& t : tables) {
            if (verbose_) KOR_Sysloglevel_info(modul_, "cfgclient", __LINE__, VAStr("table %s changed", t.c_str()));
            for (size_t i = 0; i < handlers_.size(); ++i) {
                const auto& follows = handlerTables_[i];
                if (std::find(follows.begin(), follows.end(), t) == follows.end()) continue;
                if (handlers_[i]->loadFromConfig(access_, t)) handlers_[i]->commitToSystem(access_, queue_);
            }
        }
        if (needFullLoad_) break;
    }
    if (!conn_.isOpen() && watchedFd_ >= 0) connectionLost();
    inProcess_ = false;
}

}  // namespace cfg
}  // namespace kor
