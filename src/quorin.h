#pragma once
// The balancing controller: the daemon's configuration handler. It names the
// tables the daemon follows, reads them into the balancing model, commits
// the model to the kernel, hands out routing-table numbers and receives the
// network-status events.

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "groups.h"
#include "kor/cfg/ActionQueue.h"
#include "numbers.h"
#include "leftovers.h"
#include "prerequisites.h"
#include "reconcile.h"
#include "routetables.h"
#include "statefile.h"
#include "values.h"
#include "kor/cfg/IConfigAccess.h"
#include "kor/cfg/IConfigHandler.h"
#include "moduna/NameList.h"

namespace kor {
namespace quorin {

// One row of BalancingInterfaces as the last read of the table found it.
struct UplinkRow {
    int32_t groupId;
    std::string device;
    long long share;     // UsagePercent
    std::string reason;  // "" (it can carry traffic), "address", "link", "probes" or "refused"
    std::string detail;  // the reason in the words of the log lines, or the refusal's text
};

// A row that a reader refused at its last read of the table.
struct RefusedRow {
    std::string table;
    unsigned row;
    std::string text;  // the error line, without the reader's name
};

class quorin : public kor::cfg::IConfigHandler {
public:
    quorin();
    // Flushes and deletes WAN2LAN, then destroys the groups in list order.
    ~quorin() override;
    quorin(const quorin&) = delete;
    quorin& operator=(const quorin&) = delete;

    // Appends the tables the daemon follows; the list is not cleared.
    void getTableNames(moduna::NameList& names) override;
    // Runs the readers that the table name calls for ("" for all); true when
    // one of them changed the model.
    bool loadFromConfig(kor::cfg::IConfigAccess& access, const std::string& tableName) override;
    // Creates WAN2LAN at the first call, the chains of new groups, and
    // commits every group, threading the routing-table counter through them.
    void commitToSystem(kor::cfg::IConfigAccess& access, kor::cfg::ActionQueue& queue) override;

    // Network-status events, called by the D-Bus proxies.
    virtual void linkStatusEvent(const std::string& interfaceName, const bool& up);
    virtual void newAddressEvent(const std::string& interfaceName, const std::string& address);
    virtual void removedAddressEvent(const std::string& interfaceName, const std::string& address);

    // Logs the new mode, passes it on to every group and sets the trace
    // level of the module (1023, or what it was before when off).
    void setDebugMode(bool on);
    // The daemon was started with -d: debug output stays on whatever
    // "Verbose" says.
    void setDebugOption(bool on);
    // The file in which the members' numbers are kept across restarts;
    // reads what is there. "" (the default) keeps them in memory only.
    void setNumbersFile(const std::string& path);

    // Readers of the balancing tables; each returns true when it changed the
    // model.
    bool ReadBalancingMain(kor::cfg::IConfigAccess* access);
    bool ReadBalancingGroups(kor::cfg::IConfigAccess* access);
    bool ReadBalancingInterfaces(kor::cfg::IConfigAccess* access);
    bool ReadBalancingServices(kor::cfg::IConfigAccess* access);
    // The device name for a configured interface name ("$$(logical)" is
    // looked up in InterfaceMapping).
    std::string ResolvInterfaceName(const std::string& name, kor::cfg::IConfigAccess* access);

    // Hand one route of the main table to every group, which copies it into
    // (or deletes it from) the table of each of its members.
    void AddRoute(const std::string& destination, const int& prefixLength, const std::string& gateway,
                  const std::string& device);
    void DelRoute(const std::string& destination, const int& prefixLength, const std::string& gateway,
                  const std::string& device);

    // Where the main table and the member tables are read from (not owned;
    // the daemon gives the kernel's, tests one in memory). Without one a
    // new member's table gets its copies from the route sync alone.
    void setRouteReader(RouteTableReader* reader) { mainCopies.setReader(reader); }
    // Where the prerequisite checks read the router (not owned; null: no
    // checks).
    void setRouterState(RouterState* state) { routerState = state; }
    // Where the first commit finds what an earlier quorin left in the kernel;
    // without one it looks for nothing.
    void setLeftoverLister(KernelLister* lister) { leftoverLister = lister; }
    // The state file for quorin-status; "" (the default) writes none.
    void setStateFile(const std::string& path) { state.setPath(path); }
    StateFile& getStateFile() { return state; }
    kor::cfg::ActionQueue* getActionQueue() const { return actionQueue; }

    // The first commit is in the kernel.
    bool committed() const { return initialized; }
    bool getDebugMode() const { return debugMode; }
    int32_t getStickyTimeout() const { return stickyTimeout; }
    int32_t getNextTableId() const { return nextTableId; }
    bool getFlushStates() const { return flushStates; }
    const std::list<BalancingGroup>& getGroups() const { return groups; }
    const std::vector<UplinkRow>& getUplinkRows() const { return uplinkRows; }
    const std::vector<RefusedRow>& getRefusedRows() const { return refusedRows; }
    const MemberNumbers& getNumbers() const { return numbers; }
    const Prerequisites& getPrerequisites() const { return prerequisites; }

    // The main loop's checks of the router's prerequisites: after a commit
    // and every second (the mangle table when the ruleset changed).
    void checkPrerequisites(std::chrono::steady_clock::time_point now);
    // The checks at once; the mangle table too when listMangle. Where
    // LOADB_PRE is there without the jumps of quorin's groups and uplinks,
    // they are written again.
    void runPrerequisiteChecks(bool listMangle);
    // Writes the state file when something in it may have changed since.
    void publishState(time_t now);

    // The main routing table must be copied into every per-interface table.
    // Set by the readers and commits; the main loop clears it and copies.
    bool routeSyncPending;

    // Route signals may have been lost (the route service read the kernel
    // again, the bus connection came back, the route service reappeared):
    // every member table is to be compared with the main table. Logs why;
    // the main loop clears reconcilePending and reconciles.
    void requestReconcile(const std::string& why);
    bool reconcilePending;
    // Compares every numbered member's table with the main table, both read
    // through the reader, and queues the lines that make them equal; then
    // takes the members' fingerprints again. False when a table could not
    // be read (logged): the comparison is to be made again later.
    // mainRead, when given, tells whether the main table could be read.
    // afterCommit: the route sync of a commit, whose repairs are no loss
    // (its line is a debug line).
    bool reconcileMemberTables(RouteTableReader& reader, bool* mainRead = nullptr, bool afterCommit = false);
    // Serves routeSyncPending from the kernel through the route reader:
    // only missing and stale copies are written. False when there is no
    // reader or the main table cannot be read: the caller then copies the
    // main table as the route service lists it.
    bool syncRoutesFromKernel();

    // The fingerprint of each applied member's table, taken again after our
    // own copies went in (a full copy, a reconcile), so that only a change
    // by someone else sends a member through a rebuild.
    void retakeFingerprints();
    // Once the copies of route signals have come to rest (no route signal
    // wrote to the tables for a moment): the fingerprints are taken again,
    // and after a burst large enough to have overrun a queue on the way the
    // tables are reconciled too, so that a loss nobody noticed is repaired
    // all the same. The main loop calls it after every pass.
    void settleCopies(std::chrono::steady_clock::time_point now);

private:
    // Opens a transaction with the configuration service, retrying while it
    // is busy; true when one was started.
    bool StartTransaction();
    // Gives every member without a number one: the one it had before when
    // no member holds that now, else the next free one of the counter.
    void numberMembers();
    bool numberHeld(int32_t number) const;
    // The end of every change of the router: runs what the queue holds and
    // takes the fingerprints that the members' writes left due, so that the
    // listing shows their default routes and copies.
    void finishChange();
    // Create and remove the WAN2LAN chain.
    void removeLeftovers();
    void init();
    void cleanup();
    // What the model holds in the kernel: "2 chains, 16 mangle rules, 6
    // policy rules, 3 routing tables, 3 sets".
    std::string footprint() const;
    // One line after the first commit: the groups, the uplinks in their
    // splits and what is written.
    void logStart() const;
    // The jumps from LOADB_PRE of created groups and applied members that
    // the last listing lacks, written again.
    void restoreJumps();
    // A route whose texts the member tables' lines can carry as they come;
    // logs why not.
    bool copyableRoute(const char* operation, const std::string& destination, const int& prefixLength,
                       const std::string& gateway, const std::string& device);
    // Logs why a configuration row is skipped, and notes the row of
    // rowTable and rowIndex as refused.
    void refuse(const char* reader, const std::string& row, const char* what, const std::string& value,
                const std::string& why);
    // Logs an error about the row of rowTable and rowIndex and notes it as
    // refused.
    void refuseRow(const char* reader, const std::string& text);
    // A reader reads this table again: its refusals so far are forgotten.
    void beginTable(const char* table);
    // A number column of the row of rowTable and rowIndex, in its range; a
    // column the row lacks gives fallback. Any other value refuses the row
    // ("COLUMN "VALUE" is not 0 to 100" and after) and gives false.
    bool readNumber(const char* reader, const moduna::ValueList& values, const char* column,
                    const checks::Range& range, long long& out, const char* after = "", long long fallback = 0);
    // Notes the columns of a row of rowTable that quorin does not read;
    // warnUnknownColumns names them in one warning at the end of the read.
    void noteColumns(const moduna::ValueList& values);
    void warnUnknownColumns(const char* reader);
    static std::string rowName(const char* table, unsigned index);
    // Lets every group rebuild the members of that interface whose routing
    // table changed, collecting their route-sync requests.
    void refreshGroups(const std::string& interfaceName);
    // A member of that interface is applied.
    bool carriesTraffic(const std::string& interfaceName) const;
    // Re-reads the interface status inside a transaction and commits (only
    // when the read changed the model, unless always): what an event that
    // may take members out ends with.
    void rereadInterfaces(const char* operation, bool always);
    // Finds or makes the group of one enabled row, or sets the new
    // share mode of the group it finds; true when that changed the model.
    bool claimGroup(int32_t id, const std::string& clientInterface, uint32_t autobalance, bool sticky,
                    std::vector<const BalancingGroup*>& claimed);
    // Deletes the groups the last read of the groups table did not find.
    void deleteObsoleteGroups();
    // Checks the numbers and the device of an uplink row and that it is
    // the first of that uplink in its group; refuses it otherwise.
    bool usableUplinkRow(const moduna::ValueList& values, const std::string& name, long long& groupId,
                         long long& usagePercent, std::map<std::pair<int32_t, std::string>, unsigned>& firstRows);
    // Checks the addresses, protocol and numbers of a service row; refuses
    // it otherwise. numbers: Id, BalancingGroupId and the four ports.
    bool usableServiceRow(const moduna::ValueList& values, long long (&numbers)[6]);
    // Offers one uplink row, with its status, to the groups of that id; true
    // when that changed the model.
    bool offerUplink(kor::cfg::IConfigAccess* access, int32_t groupId, const std::string& name,
                     int32_t usagePercent, UplinkRow& row);
    // The uplink's gateway and address from the status tables; false when
    // it has no status row or a value there is refused (and logged).
    bool readUplinkStatus(kor::cfg::IConfigAccess* access, const std::string& name, std::string& gateway,
                          std::string& address);
    // Why an uplink with a status row cannot carry traffic now: its address
    // is "0.0.0.0", its link is down, or uplinkd judged it down. "" when it
    // can.
    std::string whyUplinkOut(kor::cfg::IConfigAccess* access, const std::string& name, const std::string& address);

    // Route signals wrote to the member tables since the fingerprints were
    // last taken, the last of them at copiesWrittenAt.
    bool copiesUnsettled = false;
    size_t signalsUnsettled = 0;
    std::chrono::steady_clock::time_point copiesWrittenAt;
    // Notes that route signals wrote to the tables now.
    void noteCopiesWritten();

    int logModule;
    // The trace level of the module while debug output is off.
    unsigned quietTraceLevel;
    bool debugOption = false;
    // "Verbose" of the last read of "Balancing" is not 0.
    bool verbose = false;
    // Borrowed from the configuration client: the access object of the latest
    // notification and the queue of the latest commit.
    kor::cfg::IConfigAccess* configAccess;
    bool debugMode;
    int32_t stickyTimeout;
    bool initialized;
    int32_t nextTableId;
    // Delete the conntrack entries of a member that leaves the split
    // ("FlushStates" of "Balancing", on unless 0).
    bool flushStates;
    kor::cfg::ActionQueue* actionQueue;
    MemberNumbers numbers;
    // The main table's copies for the members applied in one change.
    MainTableCopies mainCopies;
    // The uplinks' state that members of several groups share.
    SharedUplinks sharedUplinks;
    std::list<BalancingGroup> groups;

    // What the last reads found, for the state file.
    std::vector<UplinkRow> uplinkRows;
    std::vector<RefusedRow> refusedRows;
    // The row a reader is looking at, and the text of its last refusal.
    const char* rowTable = "";
    unsigned rowIndex = 0;
    std::string lastRefusal;
    std::set<std::string> unknownColumns;

    RouterState* routerState = nullptr;
    KernelLister* leftoverLister = nullptr;
    Prerequisites prerequisites;
    bool prerequisitesDue = false;
    bool checkedOnce = false;
    std::chrono::steady_clock::time_point lastCheck;
    StateFile state;
    bool stateDue = false;
};

}  // namespace quorin
}  // namespace kor
