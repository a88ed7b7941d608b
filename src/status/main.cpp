// quorin-status: what quorin balances, and whether the kernel holds it.
//
// Reads quorin's state file, cfgserver's status tables and the kernel (the
// mangle table with its counters, the policy rules, the member tables, the
// sticky sets), compares them, and prints a table, JSON or Prometheus
// metrics. Changes nothing but its own counter file beside the state file.
//
// Exit status: 0 every uplink is in its split and the kernel agrees; 1 one
// is out or the kernel disagrees; 2 the status cannot be told (the reason
// on standard error).

#include <getopt.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "kernel.h"
#include "render.h"
#include "report.h"
#include "shares.h"
#include "state.h"

namespace {

using namespace kor::status;

const char kUsage[] =
    "usage: quorin-status [-p PIDDIR] [-s SOCKET] [--json | --prometheus] [--interval N]\n"
    "  -p PIDDIR       quorin's PID directory, where its state file is (default /var/run)\n"
    "  -s SOCKET       cfgserver's socket (default /tmp/cfgserver.socket)\n"
    "  --json          one JSON object, for scripts\n"
    "  --prometheus    Prometheus text format, for node_exporter's textfile collector\n"
    "  --interval N    count new connections over the next N seconds, not since the last call\n"
    "  -h              this help\n"
    "Exit status: 0 every uplink is in and the kernel agrees; 1 an uplink is out or\n"
    "the kernel disagrees; 2 the status cannot be told (the reason on standard error).\n";

enum class Format { Text, Json, Prometheus };

struct Options {
    std::string pidDir = "/var/run";
    std::string socket = "/tmp/cfgserver.socket";
    Format format = Format::Text;
    long interval = 0;
};

// -1 to go on, else the status to exit with.
int readOptions(int argc, char** argv, Options& o) {
    const option longOptions[] = {{"json", no_argument, nullptr, 'j'},
                                  {"prometheus", no_argument, nullptr, 'P'},
                                  {"interval", required_argument, nullptr, 'i'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "p:s:h", longOptions, nullptr)) != -1) {
        char* end = nullptr;
        switch (opt) {
        case 'p': o.pidDir = optarg; break;
        case 's': o.socket = optarg; break;
        case 'j': o.format = Format::Json; break;
        case 'P': o.format = Format::Prometheus; break;
        case 'i':
            o.interval = strtol(optarg, &end, 10);
            if (end == optarg || *end || o.interval < 1 || o.interval > 3600) {
                fprintf(stderr, "quorin-status: --interval takes 1 to 3600 seconds\n");
                return 2;
            }
            break;
        case 'h': fputs(kUsage, stdout); return 0;
        default: fputs(kUsage, stderr); return 2;
        }
    }
    if (optind < argc) {
        fputs(kUsage, stderr);
        return 2;
    }
    return -1;
}

// The status cannot be told: the reason on standard error, and what the
// format says of it.
int unknown(const Options& o, bool quorinUp, const std::string& error) {
    fprintf(stderr, "quorin-status: %s\n", error.c_str());
    if (o.format == Format::Json) fputs(renderJsonUnknown(error).c_str(), stdout);
    if (o.format == Format::Prometheus) fputs(renderPrometheusUnknown(quorinUp).c_str(), stdout);
    return 2;
}

RuleCounters groupCounters(const QuorinState& quorin, const MangleTable& mangle) {
    RuleCounters counters;
    for (const StateGroup& g : quorin.groups) {
        const auto chain = mangle.find(groupChain(g));
        if (chain != mangle.end()) {
            const RuleCounters some = ruleCounters(chain->first, chain->second);
            counters.insert(some.begin(), some.end());
        }
    }
    return counters;
}

int64_t unixNow() { return int64_t(time(nullptr)); }

// A chain whose rules quorin made anew since the previous call counts from
// 0 again, though a counter of the new rules may already be as high as the
// old one was: its previous counts are forgotten. In the second of the
// previous call it may have been either way; counting from 0 then adds
// at most what that part of a second brought.
void forgetRebuiltChains(const QuorinState& quorin, CounterFile& previous) {
    for (const StateGroup& group : quorin.groups) {
        if (group.rulesSince < previous.time) continue;
        const std::string prefix = group.chain + " #";
        for (auto it = previous.rules.lower_bound(prefix);
             it != previous.rules.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
            it = previous.rules.erase(it);
    }
}

int run(const Options& o) {
    std::string error;
    QuorinState quorin;
    if (!readState(o.pidDir + "/quorin.state", quorin, error)) return unknown(o, false, error);
    if (!processRunning(quorin.pid))
        return unknown(o, false,
                       "quorin (PID " + std::to_string(quorin.pid) + ") is not running: its state file is stale");
    StatusTables status;
    if (!readStatusTables(o.socket, status, error)) return unknown(o, true, error);
    KernelView kernel;
    const std::vector<uint32_t> tables = memberTables(quorin);
    if (!readKernel(tables, kernel, error)) return unknown(o, true, error);

    const std::string counterPath = o.pidDir + "/quorin-status.counters";
    CounterFile previous;
    const bool known = readCounterFile(counterPath, previous);
    Measurement m;
    RuleCounters counters = groupCounters(quorin, kernel.mangle);
    m.from = known ? previous.time : 0;
    m.to = unixNow();
    if (known) forgetRebuiltChains(quorin, previous);
    m.counts = counterDelta(previous.rules, counters);
    m.totals = previous.totals;
    addToTotals(quorin, m.counts, m.totals);
    if (o.interval > 0) {
        std::this_thread::sleep_for(std::chrono::seconds(o.interval));
        if (!readKernel(tables, kernel, error)) return unknown(o, true, error);
        const RuleCounters later = groupCounters(quorin, kernel.mangle);
        m.from = m.to;
        m.to = unixNow();
        m.interval = true;
        m.counts = counterDelta(counters, later);
        addToTotals(quorin, m.counts, m.totals);
        counters = later;
    }
    if (!writeCounterFile(counterPath, {m.to, counters, m.totals}, error))
        fprintf(stderr, "quorin-status: %s; the next call counts from the rules' start\n", error.c_str());

    const Report report = buildReport(quorin, status, kernel, m, m.to);
    const std::string out = o.format == Format::Json         ? renderJson(report)
                            : o.format == Format::Prometheus ? renderPrometheus(report)
                                                             : renderText(report);
    fputs(out.c_str(), stdout);
    if (fflush(stdout) != 0) return 2;
    return report.exitStatus();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int status = readOptions(argc, argv, options);
    if (status >= 0) return status;
    return run(options);
}
