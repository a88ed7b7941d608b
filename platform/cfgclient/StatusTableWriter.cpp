#include "kor/cfg/StatusTableWriter.h"

#include <poll.h>

#include <chrono>
#include <thread>

#include "moduna/protocol/EResultCode.h"

namespace kor {
namespace cfg {

namespace {

using moduna::protocol::EResultCode;
using Clock = std::chrono::steady_clock;

const int kRetryMs = 500;
const int kBusyPauseMs = 50;
const int kRequestTimeoutMs = 2000;

// The answer's code; an answer without a proper one counts as an error.
EResultCode codeOf(const nlohmann::json& answer) {
    auto code = answer.find("code");
    return code != answer.end() && code->is_number_unsigned() ? code->get<unsigned>() : EResultCode::RC_ERROR;
}

std::string errorOf(const nlohmann::json& answer) {
    auto error = answer.find("error");
    return error != answer.end() && error->is_string() ? error->get<std::string>() : "";
}

}  // namespace

StatusTableWriter::StatusTableWriter(moduna::net::EventDispatcher& events, const std::string& socketPath,
                                     const char* program, bool verbose)
    : events_(events),
      socketPath_(socketPath),
      program_(program),
      verbose_(verbose),
      log_(KOR_Sysloglevel_registerModul(program)),
      retries_(program, "status tables") {}

StatusTableWriter::~StatusTableWriter() {
    if (retryTimer_) events_.cancelTimer(retryTimer_);
    if (watchedFd_ >= 0) events_.removeDescriptor(watchedFd_);
}

void StatusTableWriter::set(const std::string& table, const Rows& rows, bool isVolatile) {
    wanted_[table] = rows;
    if (isVolatile) volatile_.insert(table);
    else volatile_.erase(table);
}

bool StatusTableWriter::flush(int busyWaitMs) {
    bool done = true;
    for (const auto& entry : wanted_) {
        auto held = written_.find(entry.first);
        if (held != written_.end() && held->second == entry.second) continue;
        if (!connection_.isOpen() && !connect()) {
            done = false;
            break;
        }
        if (!write(entry.first, entry.second, busyWaitMs)) {
            done = false;
            if (!connection_.isOpen()) break;
            continue;
        }
        written_[entry.first] = entry.second;
    }
    if (done) retries_.succeeded("written again");
    rearm();
    return done;
}

bool StatusTableWriter::connect() {
    written_.clear();
    if (!connection_.open(socketPath_)) {
        retries_.failed("cannot connect to " + socketPath_);
        return false;
    }
    nlohmann::json answer = connection_.request({{"op", "hello"}, {"name", program_}}, kRequestTimeoutMs);
    if (!codeOf(answer).ok()) {
        connection_.close();
        retries_.failed("no answer from " + socketPath_);
        return false;
    }
    return true;
}

bool StatusTableWriter::write(const std::string& table, const Rows& rows, int busyWaitMs) {
    nlohmann::json request{{"op", "replace"}, {"table", table}, {"rows", rows}};
    if (volatile_.count(table)) request["volatile"] = true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(busyWaitMs);
    for (;;) {
        nlohmann::json answer = connection_.request(request, kRequestTimeoutMs);
        EResultCode code = codeOf(answer);
        if (code.ok()) {
            if (verbose_)
                KOR_Sysloglevel_info(log_, program_.c_str(), __LINE__,
                                     VAStr("status tables: %s = %s", table.c_str(),
                                           request["rows"]
                                               .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                                               .c_str()));
            return true;
        }
        if (code == EResultCode::RC_BUSY && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kBusyPauseMs));
            continue;
        }
        if (!connection_.isOpen()) written_.clear();
        retries_.failed("cannot write " + table + ": " + code.toString() + " " + errorOf(answer));
        return false;
    }
}

void StatusTableWriter::disconnected() {
    connection_.close();
    written_.clear();
    retries_.failed("the configuration service went away");
    rearm();
}

void StatusTableWriter::rearm() {
    int fd = connection_.fd();
    if (fd != watchedFd_) {
        if (watchedFd_ >= 0) events_.removeDescriptor(watchedFd_);
        watchedFd_ = fd;
        // Nothing comes unasked on this connection: readable means closed.
        if (fd >= 0)
            events_.addDescriptor(fd, POLLIN, [this](int, short) {
                if (!connection_.readAvailable()) disconnected();
            });
    }
    bool pending = false;
    for (const auto& entry : wanted_) {
        auto held = written_.find(entry.first);
        if (held == written_.end() || held->second != entry.second) pending = true;
    }
    if (pending && !retryTimer_)
        retryTimer_ = events_.addTimer(kRetryMs, [this]() {
            retryTimer_ = 0;
            flush(0);
        });
}

}  // namespace cfg
}  // namespace kor
