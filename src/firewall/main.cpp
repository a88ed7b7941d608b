// quorin-firewall: the firewall step of the quorin service.
//
//   quorin-firewall prepare    before quorin starts: hooks the platform chain
//                              LOADB_PRE from mangle PREROUTING where the chain
//                              or its jump is missing, then does "clean".
//   quorin-firewall clean      removes what an earlier quorin left in the
//                              kernel when it did not end cleanly (a crash,
//                              SIGKILL), and nothing that is not quorin's;
//                              what is quorin's is the daemon's own rule
//                              (leftovers.h), which it applies at start too.
//   quorin-firewall reloaded   for the firewall to call after it reloaded its
//                              rules: "systemctl try-restart quorin.service"
//                              (QUORIN_SYSTEMCTL names another command), so
//                              that a running quorin writes its rules again
//                              behind a repaired hook.
//
// prepare and clean print one line for everything they create or remove,
// nothing when there was nothing to do, and exit 0 unless LOADB_PRE cannot be
// hooked (1); reloaded exits with the status of systemctl. Uses iptables, ip
// and ipset from PATH.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "kor/kernel/MangleListing.h"
#include "leftovers.h"

namespace {

const int commandTimeoutMs = 10000;

// Runs one command line (words split at blanks, no shell); its error text
// goes to standard error.
bool run(const std::string& line, bool quiet = false) {
    std::istringstream in(line);
    std::vector<std::string> argv;
    for (std::string word; in >> word;) argv.push_back(word);
    std::string output, error;
    if (kor::kernel::runListing(argv, output, error, commandTimeoutMs)) return true;
    if (!quiet) fprintf(stderr, "quorin-firewall: %s: %s\n", line.c_str(), error.c_str());
    return false;
}

bool hook() {
    if (!run("iptables -t mangle -S LOADB_PRE", true)) {
        if (!run("iptables -t mangle -N LOADB_PRE")) return false;
        puts("created chain LOADB_PRE");
    }
    if (!run("iptables -t mangle -C PREROUTING -j LOADB_PRE", true)) {
        if (!run("iptables -t mangle -A PREROUTING -j LOADB_PRE")) return false;
        puts("added rule -A PREROUTING -j LOADB_PRE");
    }
    return true;
}

void clean() {
    kor::quorin::CommandLister lister;
    for (const kor::quorin::Removal& removal : kor::quorin::findLeftovers(lister))
        if (run(removal.command) && !removal.said.empty()) puts(removal.said.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string step = argc == 2 ? argv[1] : "";
    if (step == "prepare") {
        if (!hook()) {
            fputs("quorin-firewall: cannot hook LOADB_PRE from mangle PREROUTING\n", stderr);
            return 1;
        }
        clean();
    } else if (step == "clean") {
        clean();
    } else if (step == "reloaded") {
        const char* systemctl = getenv("QUORIN_SYSTEMCTL");
        if (!systemctl || !*systemctl) systemctl = "systemctl";
        fflush(stdout);
        execlp(systemctl, systemctl, "try-restart", "quorin.service", static_cast<char*>(nullptr));
        perror(systemctl);
        return 1;
    } else {
        fputs("usage: quorin-firewall prepare|clean|reloaded\n", stderr);
        return 2;
    }
    return 0;
}
