#pragma once
// Keeps netstatd's status tables in the configuration service equal to the
// rows it is given: each table is written whole ("replace"), and only when
// its rows differ from what the service was last seen to accept. While the
// service cannot be reached or refuses, the writer tries again every 500 ms;
// after a new connection it writes every table again, since the service may
// have been restarted with other contents.

#include <map>
#include <string>

#include "NetworkState.h"
#include "RetryLog.h"
#include "kor/cfg/CfgConnection.h"
#include "kor/sysloglevel.h"
#include "moduna/net/EventDispatcher.h"

namespace kor {
namespace netstatd {

class StatusTableWriter {
public:
    StatusTableWriter(moduna::net::EventDispatcher& events, const std::string& socketPath, bool verbose);
    ~StatusTableWriter();
    StatusTableWriter(const StatusTableWriter&) = delete;
    StatusTableWriter& operator=(const StatusTableWriter&) = delete;

    // The rows the table is to hold from now on.
    void set(const std::string& table, const Rows& rows);

    // Writes the tables that the service does not hold yet and waits for
    // the answers. While another client holds a transaction (busy), asks
    // again every 50 ms for up to busyWaitMs. True when the service holds
    // every table; otherwise a retry is scheduled.
    bool flush(int busyWaitMs);

private:
    bool connect();
    bool write(const std::string& table, const Rows& rows, int busyWaitMs);
    void disconnected();
    // Watches the connection (a service that goes away while we are idle
    // closes it) and schedules a retry while tables are left to write.
    void rearm();

    moduna::net::EventDispatcher& events_;
    const std::string socketPath_;
    const bool verbose_;
    const KOR_Modul log_;
    kor::cfg::CfgConnection connection_;
    std::map<std::string, Rows> wanted_;
    std::map<std::string, Rows> written_;  // what the connected service holds
    int watchedFd_ = -1;
    int retryTimer_ = 0;
    RetryLog retries_{"status tables"};
};

}  // namespace netstatd
}  // namespace kor
