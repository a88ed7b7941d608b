#pragma once
// IConfigAccess over a connection to the configuration service.
//
// The tables named by setSnapshotTables() are read from a snapshot: one
// `dump` request copies them all at once, so that a reader never sees one
// table before and another after a change, nor a table that a lost
// connection cut short. The snapshot is taken by refreshSnapshot() and by a
// granted startTransaction(); a refresh that fails keeps the previous one.
// Other tables are read with one request per call.
//
// Every answer is checked: a count must be a non-negative integer, a row an
// object of integers (64 bits) and texts. A malformed answer is logged and
// gives RC_ERROR, leaving the caller's values as they were.

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kor/cfg/CfgConnection.h"
#include "kor/cfg/IConfigAccess.h"

namespace kor {
namespace cfg {

class SocketConfigAccess : public IConfigAccess {
public:
    // timeoutMs bounds each call, repetitions on new connections included.
    SocketConfigAccess(CfgConnection& connection, int timeoutMs) : conn_(connection), timeoutMs_(timeoutMs) {}

    // reconnect opens a new connection and returns true, or returns false.
    // With it, a request that may be repeated (a read, a begin) whose
    // connection is lost before the answer is sent again on a new one, tried
    // every pauseMs until the call's time is up; and such a request made
    // while there is no connection tries one reconnect first. Without it, a
    // lost connection answers RC_UNAVAILABLE.
    void setReconnect(std::function<bool()> reconnect, int pauseMs);

    void setSnapshotTables(const std::vector<std::string>& tables) { snapshotTables_ = tables; }
    // Takes a new snapshot with one dump request; false (logged) when it
    // cannot be had. Before the first snapshot, reads of its tables answer
    // RC_UNAVAILABLE.
    bool refreshSnapshot();
    bool hasSnapshot() const { return haveSnapshot_; }

    moduna::protocol::EResultCode getEntryCount(const std::string& table, unsigned& count) override;
    moduna::protocol::EResultCode readEntry(const std::string& table, unsigned index, moduna::NameList& names,
                                            moduna::ValueList& values) override;
    moduna::protocol::EResultCode findEntry(const std::string& table, const std::string& keyColumn,
                                            const std::string& keyValue, moduna::NameList& names,
                                            moduna::ValueList& values) override;
    // Begins a transaction and, once it is granted, takes a new snapshot
    // inside it. When the snapshot cannot be had the transaction is ended
    // again and the answer is RC_UNAVAILABLE, so that the caller retries.
    moduna::protocol::EResultCode startTransaction() override;
    moduna::protocol::EResultCode endTransaction() override;

private:
    using Rows = std::vector<moduna::ValueList>;
    nlohmann::json call(const nlohmann::json& req, bool repeatable);
    bool takeSnapshot(bool repeatable);
    const Rows* snapshotTable(const std::string& table) const;
    moduna::protocol::EResultCode readRow(const nlohmann::json& req, const moduna::NameList& names,
                                          moduna::ValueList& values);

    CfgConnection& conn_;
    int timeoutMs_;
    std::function<bool()> reconnect_;
    int pauseMs_ = 500;
    std::vector<std::string> snapshotTables_;
    std::map<std::string, Rows> snapshot_;
    bool haveSnapshot_ = false;
};

// Copies the columns of a row as the service sends it into values; names,
// when not empty, restricts them. Returns false, values unchanged, when the
// row is not an object of non-empty column names to integers (64 bits) and
// texts.
bool rowToValues(const nlohmann::json& row, const moduna::NameList& names, moduna::ValueList& values);

}  // namespace cfg
}  // namespace kor
