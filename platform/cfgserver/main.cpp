// cfgserver: the configuration service of quorin.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "CfgServer.h"
#include "kor/InstanceLock.h"
#include "kor/sysloglevel.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: cfgserver -f STORE [-s SOCKET] [-l]\n"
            "  -f STORE   JSON file holding the tables (missing: start empty)\n"
            "  -s SOCKET  Unix socket to serve on (default /tmp/cfgserver.socket)\n"
            "  -l         log to syslog instead of standard error\n"
            "  -h         show this help\n");
}

}  // namespace

int main(int argc, char** argv) {
    KOR_Sysloglevel_construct2("cfgserver", argv[0]);
    std::string store, socket = "/tmp/cfgserver.socket";
    int opt;
    while ((opt = getopt(argc, argv, "f:s:lh")) != -1) {
        switch (opt) {
        case 'f': store = optarg; break;
        case 's': socket = optarg; break;
        case 'l': KOR_Sysloglevel_set(1); break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    if (store.empty() || optind != argc) {
        usage(stderr);
        return 2;
    }
    // Before the store is read: a second server would remove the first
    // one's temporary store and take its socket.
    kor::InstanceLock instanceLock;
    std::string why;
    if (!instanceLock.take("cfgserver", kor::socketPathKey(socket), why, socket)) {
        KOR_Sysloglevel_error(KOR_Sysloglevel_registerModul("cfgserver"), "cfgserver", __LINE__,
                              (why + "; exiting").c_str());
        return 1;
    }
    kor::cfg::CfgServer server(store, socket);
    if (!server.start()) return 1;
    return server.run();
}
