// The iptables commands and rules the daemon writes, read into
// the rendering of "iptables -S" (iptables v1.8 on nf_tables): addresses
// with their prefix length, marks in hex, "--set-mark" as "--set-xmark",
// the implicit tcp/udp match named, CONNMARK with its default masks, the
// statistic match's probability as the kernel keeps it, and the options in
// the order iptables prints them (-s -d -i -p, then the matches in order,
// then the target).

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kor/kernel/MangleModel.h"

namespace kor {
namespace kernel {

namespace {

bool isDigits(const std::string& w) {
    if (w.empty()) return false;
    for (char c : w)
        if (c < '0' || c > '9') return false;
    return true;
}

// Plain decimal without a leading zero (iptables reads "010" as octal).
bool readDecimal(const std::string& w, unsigned long max, unsigned long& out) {
    if (!isDigits(w) || w.size() > 10 || (w[0] == '0' && w.size() > 1)) return false;
    out = strtoul(w.c_str(), nullptr, 10);
    return out <= max;
}

// A mark: decimal or 0x hex, no mask.
bool readMark(const std::string& w, std::string& hex) {
    unsigned long v = 0;
    if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) {
        const std::string digits = w.substr(2);
        if (digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        v = strtoul(digits.c_str(), nullptr, 16);
    } else if (!readDecimal(w, 0xffffffffUL, v)) {
        return false;
    }
    char buf[16];
    snprintf(buf, sizeof buf, "0x%lx", v);
    hex = buf;
    return true;
}

bool nameChars(const std::string& w, size_t maxLen, const char* extra) {
    if (w.empty() || w.size() > maxLen || w[0] == '-') return false;
    for (char c : w)
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr(extra, c)) return false;
    return true;
}

// a.b.c.d[/n], rendered with the host bits cleared and the length given.
bool readAddress(const std::string& w, std::string& out) {
    const size_t slash = w.find('/');
    unsigned long len = 32;
    if (slash != std::string::npos && (!readDecimal(w.substr(slash + 1), 32, len) || len == 0)) return false;
    const std::string addr = w.substr(0, slash);
    unsigned long octets[4];
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? addr.find('.', start) : addr.size();
        if (dot == std::string::npos || !readDecimal(addr.substr(start, dot - start), 255, octets[i])) return false;
        start = dot + 1;
    }
    if (start != addr.size() + 1) return false;
    uint32_t value = uint32_t(octets[0] << 24 | octets[1] << 16 | octets[2] << 8 | octets[3]);
    value &= len == 32 ? 0xffffffffU : ~(0xffffffffU >> len);
    out = std::to_string(value >> 24) + "." + std::to_string(value >> 16 & 255) + "." +
          std::to_string(value >> 8 & 255) + "." + std::to_string(value & 255) + "/" + std::to_string(len);
    return true;
}

// A port or a range A:B (A < B); A:A is rendered as A.
bool readPorts(const std::string& w, std::string& out) {
    const size_t colon = w.find(':');
    unsigned long a = 0, b = 0;
    if (!readDecimal(w.substr(0, colon), 65535, a)) return false;
    if (colon == std::string::npos) return (out = std::to_string(a)), true;
    if (!readDecimal(w.substr(colon + 1), 65535, b) || b < a) return false;
    out = a == b ? std::to_string(a) : std::to_string(a) + ":" + std::to_string(b);
    return true;
}

// "src,dstport,dst" as iptables prints it back: a direction per dimension.
bool readSetFlags(const std::string& w, std::string& out) {
    out.clear();
    size_t start = 0, count = 0;
    while (start <= w.size()) {
        size_t comma = w.find(',', start);
        if (comma == std::string::npos) comma = w.size();
        const std::string f = w.substr(start, comma - start);
        if (f != "src" && f != "dst" && f != "dstport") return false;
        out += (out.empty() ? "" : ",") + std::string(f == "src" ? "src" : "dst");
        start = comma + 1;
        ++count;
    }
    return count <= 6;
}

bool readProbability(const std::string& w, std::string& out) {
    const size_t dot = w.find('.');
    if (dot == std::string::npos || !isDigits(w.substr(0, dot)) || !isDigits(w.substr(dot + 1))) return false;
    const double p = strtod(w.c_str(), nullptr);
    if (p < 0 || p > 1) return false;
    char buf[32];
    snprintf(buf, sizeof buf, "%.11f", 1.0 * double(lround(2147483648.0 * p)) / 2147483648.0);
    out = buf;
    return true;
}

class SpecReader {
public:
    explicit SpecReader(const std::vector<std::string>& w) : w_(w) {}
    bool read(IptablesCommand& out);

private:
    bool next(std::string& v) { return i_ < w_.size() ? (v = w_[i_++], true) : false; }
    bool is(const char* word) { return i_ < w_.size() && w_[i_] == word ? (++i_, true) : false; }
    bool once(std::string& field, bool ok, const std::string& value) {
        if (!field.empty() || !ok) return false;
        field = value;
        return true;
    }
    bool match(const std::string& name, IptablesCommand& out);
    bool ports(const std::string& option);
    bool target(IptablesCommand& out);

    const std::vector<std::string>& w_;
    size_t i_ = 0;
    std::string src_, dst_, in_, proto_, sport_, dport_, target_;
    std::vector<std::string> matches_;
    long portMatch_ = -1;  // where the implicit tcp/udp match stands among the matches
};

bool SpecReader::match(const std::string& name, IptablesCommand& out) {
    std::string v, w;
    if (name == "mark") {
        const bool negated = is("!");
        if (!is("--mark") || !next(v) || !readMark(v, w)) return false;
        matches_.push_back(std::string("-m mark ") + (negated ? "! " : "") + "--mark " + w);
    } else if (name == "state") {
        if (!is("--state") || !next(v) || (v != "new" && v != "NEW")) return false;
        matches_.push_back("-m state --state NEW");
    } else if (name == "statistic") {
        if (!is("--mode") || !is("random") || !is("--probability") || !next(v) || !readProbability(v, w))
            return false;
        matches_.push_back("-m statistic --mode random --probability " + w);
    } else if (name == "set") {
        std::string flags;
        if (!is("--match-set") || !next(v) || !nameChars(v, 31, "_-.") || !next(flags) || !readSetFlags(flags, w))
            return false;
        out.sets.push_back(v);
        matches_.push_back("-m set --match-set " + v + " " + w);
    } else {
        return false;
    }
    return true;
}

bool SpecReader::ports(const std::string& option) {
    std::string v, rendered;
    if ((proto_ != "tcp" && proto_ != "udp") || !next(v) || !readPorts(v, rendered)) return false;
    if (portMatch_ < 0) {
        portMatch_ = long(matches_.size());
        matches_.push_back("");
    }
    return once(option == "--sport" ? sport_ : dport_, true, rendered);
}

bool SpecReader::target(IptablesCommand& out) {
    std::string name, v, w;
    if (!next(name)) return false;
    if (name == "RETURN" || name == "ACCEPT" || name == "DROP") {
        target_ = name;
    } else if (name == "MARK") {
        if (!is("--set-mark") || !next(v) || !readMark(v, w)) return false;
        target_ = "MARK --set-xmark " + w + "/0xffffffff";
    } else if (name == "CONNMARK") {
        if (!next(v) || (v != "--restore-mark" && v != "--save-mark")) return false;
        target_ = "CONNMARK " + v + " --nfmask 0xffffffff --ctmask 0xffffffff";
    } else if (name == "SET") {
        std::string flags;
        if (!is("--add-set") || !next(v) || !nameChars(v, 31, "_-.") || !next(flags) || !readSetFlags(flags, w))
            return false;
        out.sets.push_back(v);
        target_ = "SET --add-set " + v + " " + w;
    } else if (nameChars(name, 28, "_-.")) {
        target_ = out.jump = name;
    } else {
        return false;
    }
    return i_ == w_.size();  // the target comes last
}

bool SpecReader::read(IptablesCommand& out) {
    std::string opt, v, r;
    while (next(opt)) {
        bool ok = false;
        if (opt == "-s" || opt == "-d")
            ok = next(v) && readAddress(v, r) && once(opt == "-s" ? src_ : dst_, true, r);
        else if (opt == "-i")
            ok = next(v) && once(in_, nameChars(v, 15, "_-.@"), v);
        else if (opt == "-p")
            ok = next(v) && once(proto_, v == "tcp" || v == "udp" || v == "icmp", v);
        else if (opt == "-m")
            ok = next(v) && match(v, out);
        else if (opt == "--sport" || opt == "--dport")
            ok = ports(opt);
        else if (opt == "-j")
            ok = target(out);
        if (!ok) return false;
    }
    if (portMatch_ >= 0) {
        std::string m = "-m " + proto_;
        if (!sport_.empty()) m += " --sport " + sport_;
        if (!dport_.empty()) m += " --dport " + dport_;
        matches_[size_t(portMatch_)] = m;
    }
    std::string rule;
    auto add = [&](const std::string& piece) { rule += (rule.empty() ? "" : " ") + piece; };
    if (!src_.empty()) add("-s " + src_);
    if (!dst_.empty()) add("-d " + dst_);
    if (!in_.empty()) add("-i " + in_);
    if (!proto_.empty()) add("-p " + proto_);
    for (const auto& m : matches_) add(m);
    if (!target_.empty()) add("-j " + target_);
    out.rule = rule;
    return true;
}

bool isBuiltin(const std::string& chain) {
    return chain == "PREROUTING" || chain == "INPUT" || chain == "FORWARD" || chain == "OUTPUT" ||
           chain == "POSTROUTING";
}

// Names iptables takes for a target rather than a chain.
bool isTargetName(const std::string& name) {
    for (const char* t : {"RETURN", "ACCEPT", "DROP", "QUEUE", "MARK", "CONNMARK", "SET"})
        if (name == t) return true;
    return false;
}

bool readOp(const std::string& w, IptablesCommand::Op& op) {
    using Op = IptablesCommand::Op;
    static const struct { const char* word; Op op; } ops[] = {
        {"-N", Op::NewChain}, {"-F", Op::Flush},      {"-X", Op::DeleteChain}, {"-A", Op::Append},
        {"-I", Op::Insert},   {"-D", Op::DeleteRule}, {"-C", Op::Check}};
    for (const auto& o : ops)
        if (w == o.word) return (op = o.op), true;
    return false;
}

}  // namespace

bool renderRule(const std::vector<std::string>& spec, std::string& rendered) {
    IptablesCommand command;
    if (!SpecReader(spec).read(command)) return false;
    rendered = command.rule;
    return true;
}

bool parseIptablesCommand(const std::vector<std::string>& words, IptablesCommand& out) {
    using Op = IptablesCommand::Op;
    out = IptablesCommand();
    if (words.size() < 5 || words[0] != "iptables" || words[1] != "-t" || words[2] != "mangle") return false;
    if (!readOp(words[3], out.op) || !nameChars(words[4], 28, "_-.")) return false;
    for (const auto& w : words)
        if (w.find_first_of("\"'#\\") != std::string::npos) return false;
    out.chain = words[4];
    for (size_t i = 3; i < words.size(); ++i) out.restoreLine += (i > 3 ? " " : "") + words[i];
    if (out.op == Op::NewChain || out.op == Op::Flush || out.op == Op::DeleteChain)
        return words.size() == 5 && !isBuiltin(out.chain) && !isTargetName(out.chain);
    size_t first = 5;
    unsigned long index = 1;
    if (out.op == Op::Insert && words.size() > 5 && isDigits(words[5])) {
        if (!readDecimal(words[5], 1000000, index) || index == 0) return false;
        first = 6;
    }
    out.index = size_t(index);
    const std::vector<std::string> spec(words.begin() + long(first), words.end());
    if (!SpecReader(spec).read(out)) return false;
    return !isBuiltin(out.jump);
}

}  // namespace kernel
}  // namespace kor
