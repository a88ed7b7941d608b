#pragma once
// Keeps a program's status tables in the configuration service equal to the
// rows it is given: each table is written whole ("replace"), and only when
// its rows differ from what the service was last seen to accept. While the
// service cannot be reached or refuses, the writer tries again every 500 ms;
// after a new connection it writes every table again, since the service may
// have been restarted with other contents.
//
// A volatile table is written with the "volatile" replace: the service
// empties it when this connection closes (the program ended or crashed) and
// never keeps its rows in the store file.

#include <map>
#include <set>
#include <string>

#include "kor/cfg/CfgConnection.h"
#include "kor/cfg/RetryLog.h"
#include "kor/cfg/StatusRows.h"
#include "kor/sysloglevel.h"
#include "moduna/net/EventDispatcher.h"

namespace kor {
namespace cfg {

class StatusTableWriter {
public:
    // program: the logging module and the name given to the service.
    StatusTableWriter(moduna::net::EventDispatcher& events, const std::string& socketPath, const char* program,
                      bool verbose);
    ~StatusTableWriter();
    StatusTableWriter(const StatusTableWriter&) = delete;
    StatusTableWriter& operator=(const StatusTableWriter&) = delete;

    // The rows the table is to hold from now on; a volatile table is
    // written with the volatile replace.
    void set(const std::string& table, const Rows& rows, bool isVolatile = false);

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
    const std::string program_;
    const bool verbose_;
    const KOR_Modul log_;
    CfgConnection connection_;
    std::map<std::string, Rows> wanted_;
    std::set<std::string> volatile_;
    std::map<std::string, Rows> written_;  // what the connected service holds
    int watchedFd_ = -1;
    int retryTimer_ = 0;
    RetryLog retries_;
};

}  // namespace cfg
}  // namespace kor
