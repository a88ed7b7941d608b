// cfgctl: command line client of the configuration service.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kor/cfg/CfgConnection.h"
#include "moduna/protocol/EResultCode.h"

namespace {

using json = nlohmann::json;
using moduna::protocol::EResultCode;

constexpr int kTimeoutMs = 5000;

const char kUsage[] =
    "usage: cfgctl [-s SOCKET] COMMAND [ARGS]\n"
    "  dump [TABLE]                print all tables, or one, as a JSON document\n"
    "  load FILE                   replace every table FILE names ('-': standard input)\n"
    "  add [--create] TABLE COL=VAL...\n"
    "                              append a row, print its index; a table that\n"
    "                              does not exist yet is made only with --create\n"
    "  set TABLE INDEX COL=VAL...  change columns of a row (indexes count from 0)\n"
    "  del TABLE INDEX             delete a row\n"
    "  drop TABLE                  delete a table with all its rows\n"
    "  hold SECONDS                begin a transaction, hold it that long, end it\n"
    "  watch [TABLE...]            print the name of each changed table (none given: all)\n"
    "A VAL of decimal digits with an optional leading '-' is stored as integer,\n"
    "any other as text. SOCKET defaults to $CFG_SOCKET, else /tmp/cfgserver.socket.\n"
    "Exit status: 0 done, 1 refused or unreachable, 2 usage error.\n";

int usage() {
    fputs(kUsage, stderr);
    return 2;
}

int fail(const std::string& what) {
    fprintf(stderr, "cfgctl: %s\n", what.c_str());
    return 1;
}

// "-12" and "007" are integers; "", "-", "+1", "1.5" and out-of-range numbers are texts.
json value(const std::string& text) {
    size_t digits = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (digits == text.size() || text.find_first_not_of("0123456789", digits) != std::string::npos) return text;
    errno = 0;
    long long n = strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return text;
    return n;
}

bool parseRow(char** args, int count, json& row) {
    row = json::object();
    for (int i = 0; i < count; ++i) {
        const char* eq = strchr(args[i], '=');
        if (!eq || eq == args[i]) return false;
        row[std::string(static_cast<const char*>(args[i]), eq)] = value(eq + 1);
    }
    return count > 0;
}

bool parseIndex(const char* text, size_t& index) {
    if (!*text || strspn(text, "0123456789") != strlen(text)) return false;
    errno = 0;
    unsigned long long n = strtoull(text, nullptr, 10);
    index = size_t(n);
    return errno == 0;
}

bool readDocument(const std::string& path, json& doc, std::string& error) {
    std::ifstream file;
    if (path != "-") {
        file.open(path);
        if (!file) {
            error = "cannot read " + path + ": " + strerror(errno);
            return false;
        }
    }
    std::istream& in = path == "-" ? std::cin : file;
    try {
        doc = json::parse(in);
    } catch (const json::exception& e) {
        error = path + " is not JSON: " + e.what();
        return false;
    }
    return true;
}

class Ctl {
public:
    Ctl(std::string socket, std::string command) : socket_(std::move(socket)), command_(std::move(command)) {}

    bool connect() {
        if (conn_.open(socket_)) return true;
        fail("cannot reach cfgserver at " + socket_ + ": " + strerror(errno));
        return false;
    }

    // Sends a request; on any code but 0 says why on stderr and returns false.
    bool call(const json& req, json& answer) {
        answer = conn_.request(req, kTimeoutMs);
        auto code = answer.find("code");
        EResultCode rc = code != answer.end() && code->is_number_unsigned() ? code->get<unsigned>() : 1u;
        if (rc.ok()) return true;
        std::string why = command_ + (rc == EResultCode::RC_UNAVAILABLE ? ": no answer from " + socket_ + ": " : " refused: ");
        why += rc.toString();
        auto error = answer.find("error");
        if (error != answer.end() && error->is_string()) why += ": " + error->get<std::string>();
        if (rc == EResultCode::RC_NOT_FOUND) why += notFoundHint_;
        fail(why);
        return false;
    }

    // Appended to the reason of a "not found" answer.
    void setNotFoundHint(std::string hint) { notFoundHint_ = std::move(hint); }

    bool call(const json& req) {
        json answer;
        return call(req, answer);
    }

    int hold(double seconds) {
        if (!call({{"op", "begin"}})) return 1;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return call({{"op", "end"}}) ? 0 : 1;
    }

    int watch(const json& tables) {
        if (!call({{"op", "subscribe"}, {"tables", tables}})) return 1;
        for (;;) {
            std::string table;
            while (conn_.takeNotification(table)) std::cout << table << std::endl;
            if (!conn_.waitNotification(-1)) return fail("watch: lost the connection to " + socket_);
        }
    }

private:
    std::string socket_;
    std::string command_;
    std::string notFoundHint_;
    kor::cfg::CfgConnection conn_;
};

// The request of a command of one answer into req: 0, or the exit status
// of a usage error or of a document that cannot be read. hold and watch
// make none.
int request(const std::string& cmd, char** args, int n, json& req) {
    json row;
    size_t index = 0;
    if (cmd == "dump" && n <= 1) {
        req = {{"op", "dump"}};
        if (n == 1) req["table"] = args[0];
    } else if (cmd == "load" && n == 1) {
        json doc;
        std::string error;
        if (!readDocument(args[0], doc, error)) return fail(error);
        req = {{"op", "load"}, {"tables", doc}};
    } else if (cmd == "add" && n >= 3 && strcmp(args[0], "--create") == 0 && parseRow(args + 2, n - 2, row)) {
        req = {{"op", "add"}, {"table", args[1]}, {"row", row}};
    } else if (cmd == "add" && n >= 2 && args[0][0] != '-' && parseRow(args + 1, n - 1, row)) {
        // A misspelt table name would make a table nobody reads.
        req = {{"op", "add"}, {"table", args[0]}, {"row", row}, {"create", false}};
    } else if (cmd == "set" && n >= 3 && parseIndex(args[1], index) && parseRow(args + 2, n - 2, row)) {
        req = {{"op", "set"}, {"table", args[0]}, {"index", index}, {"row", row}};
    } else if (cmd == "del" && n == 2 && parseIndex(args[1], index)) {
        req = {{"op", "del"}, {"table", args[0]}, {"index", index}};
    } else if (cmd == "drop" && n == 1) {
        req = {{"op", "drop"}, {"table", args[0]}};
    } else if (cmd != "hold" && cmd != "watch") {
        return usage();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* env = getenv("CFG_SOCKET");
    std::string socket = env && *env ? env : "/tmp/cfgserver.socket";
    int opt;
    while ((opt = getopt(argc, argv, "+s:h")) != -1) {
        if (opt == 's') {
            socket = optarg;
        } else if (opt == 'h') {
            fputs(kUsage, stdout);
            return 0;
        } else {
            return usage();
        }
    }
    if (optind >= argc) return usage();
    const std::string cmd = argv[optind];
    char** args = argv + optind + 1;
    const int n = argc - optind - 1;

    json req;
    if (const int status = request(cmd, args, n, req)) return status;

    double seconds = 0;
    if (cmd == "hold") {
        char* end = nullptr;
        seconds = n == 1 ? strtod(args[0], &end) : -1;
        if (n != 1 || end == args[0] || *end || !std::isfinite(seconds) || seconds < 0) return usage();
    }

    Ctl ctl(socket, cmd);
    if (req.is_object() && req.value("create", true) == false) ctl.setNotFoundHint(" (add --create makes it)");
    if (!ctl.connect()) return 1;
    if (cmd == "hold") return ctl.hold(seconds);
    if (cmd == "watch") return ctl.watch(json(std::vector<std::string>(args, args + n)));

    json answer;
    if (!ctl.call(req, answer)) return 1;
    if (cmd == "dump") std::cout << answer.value("tables", json::object()).dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    if (cmd == "add") std::cout << answer.value("index", 0) << "\n";
    return std::cout.flush() ? 0 : 1;
}
