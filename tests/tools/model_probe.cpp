// model_probe: drives one balancing group through the model with the real
// command runner, for the lab tests.
//
//   model_probe GROUP CLIENT STICKY AUTOBALANCE PROTO:DSTPORT IF,GW,ADDR,PERCENT...
//
// It creates WAN2LAN as the controller does, builds the group with its
// members (sticky timeout 120) and one service, creates the chain and
// commits, then waits for signals:
//   SIGUSR1         commit again
//   SIGUSR2         refresh the routes of every member
//   SIGTERM/SIGINT  tear down as the controller does, then exit 0
// After each step it prints one status line ("committed N next=T",
// "refreshed N sync=0|1" or "destroyed") followed by one line per member:
// "member NAME table T hash H".

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "groups.h"
#include "kor/cfg/ActionQueue.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

void printMembers(const kor::quorin::BalancingGroup& group) {
    for (const auto& member : group.interfaces)
        printf("member %s table %d hash %s\n", member.getName().c_str(), static_cast<int>(member.tableId),
               member.routeTableHash.c_str());
    fflush(stdout);
}

int usage() {
    fprintf(stderr, "usage: model_probe GROUP CLIENT STICKY AUTOBALANCE PROTO:DSTPORT IF,GW,ADDR,PERCENT...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7) return usage();
    const std::vector<std::string> service = split(argv[5], ':');
    if (service.size() != 2) return usage();

    // Signals are taken one at a time by sigwait, between the steps.
    sigset_t wanted;
    sigemptyset(&wanted);
    for (int s : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) sigaddset(&wanted, s);
    sigprocmask(SIG_BLOCK, &wanted, nullptr);

    kor::cfg::ActionQueue queue;
    for (const char* line : {"iptables -t mangle -N WAN2LAN", "iptables -t mangle -I WAN2LAN -j CONNMARK --save-mark",
                             "iptables -t mangle -I WAN2LAN -j CONNMARK --restore-mark",
                             "iptables -t mangle -A WAN2LAN -j RETURN"})
        queue.addCommand(line, 0);
    queue.process();

    auto group = std::make_unique<kor::quorin::BalancingGroup>(atoi(argv[1]), argv[2],
                                                                static_cast<uint32_t>(atoi(argv[4])), atoi(argv[3]) != 0);
    for (int i = 6; i < argc; ++i) {
        const std::vector<std::string> m = split(argv[i], ',');
        if (m.size() != 4) return usage();
        group->addInterface(m[0], m[1], atoi(m[3].c_str()), m[2], 120);
    }
    group->addService(1, "", "", service[0], 0, 0, atoi(service[1].c_str()), 0);
    group->createChain(&queue);

    int32_t nextTableId = 256;
    int commits = 0, refreshes = 0;
    for (;;) {
        nextTableId = group->commit(nextTableId);
        printf("committed %d next=%d\n", ++commits, static_cast<int>(nextTableId));
        printMembers(*group);

        int signal = 0;
        for (;;) {
            sigwait(&wanted, &signal);
            if (signal != SIGUSR2) break;
            group->routeSyncPending = false;
            for (const auto& member : group->interfaces) group->refreshInterfaceRoutes(member.getName());
            printf("refreshed %d sync=%d\n", ++refreshes, group->routeSyncPending ? 1 : 0);
            printMembers(*group);
        }
        if (signal != SIGUSR1) break;
    }

    // The controller's order: its WAN2LAN cleanup, the groups, then the
    // second delete of WAN2LAN once the members' jumps into it are gone.
    queue.addCommand("iptables -t mangle -F WAN2LAN", 0);
    queue.addCommand("iptables -t mangle -X WAN2LAN", 0);
    queue.process();
    group.reset();
    queue.addCommand("iptables -t mangle -X WAN2LAN", 0);
    queue.process();
    printf("destroyed\n");
    return 0;
}
