// Deleting the connection-tracking entries of one mark: a dump that the
// kernel filters by mark, then one delete per entry found.

#include "kor/kernel/ConntrackFlush.h"

#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kor {
namespace kernel {

namespace {

struct HandleCloser {
    void operator()(nfct_handle* h) const { nfct_close(h); }
};
struct FilterDestroyer {
    void operator()(nfct_filter_dump* f) const { nfct_filter_dump_destroy(f); }
};
struct EntryDestroyer {
    void operator()(nf_conntrack* ct) const { nfct_destroy(ct); }
};
using Entry = std::unique_ptr<nf_conntrack, EntryDestroyer>;

struct Found {
    uint32_t mark;
    std::vector<Entry> entries;
};

// Kernels that ignore the dump's mark filter list every entry: the mark is
// checked again here.
int collect(enum nf_conntrack_msg_type, struct nf_conntrack* ct, void* data) {
    auto* found = static_cast<Found*>(data);
    if (nfct_attr_is_set(ct, ATTR_MARK) && nfct_get_attr_u32(ct, ATTR_MARK) == found->mark)
        found->entries.emplace_back(nfct_clone(ct));
    return NFCT_CB_CONTINUE;
}

bool decimalMark(const std::string& word, uint32_t& mark) {
    if (word.empty() || word.size() > 10 || word.find_first_not_of("0123456789") != std::string::npos ||
        word[0] == '0')
        return false;
    const unsigned long long value = std::strtoull(word.c_str(), nullptr, 10);
    if (value > 0xffffffffULL) return false;
    mark = uint32_t(value);
    return true;
}

}  // namespace

bool parseConntrackFlush(const std::vector<std::string>& words, uint32_t& mark) {
    return words.size() == 4 && words[0] == "conntrack" && words[1] == "-D" && words[2] == "--mark" &&
           decimalMark(words[3], mark);
}

std::string whyNotConntrackFlush(const std::vector<std::string>& words) {
    uint32_t mark = 0;
    if (words.empty() || words[0] != "conntrack" || parseConntrackFlush(words, mark)) return "";
    return "conntrack runs only as \"conntrack -D --mark MARK\"";
}

ConntrackResult flushConntrackMark(uint32_t mark) {
    ConntrackResult result;
    auto fail = [&](const char* what) {
        result.status = 1;
        result.error += std::string(what) + ": " + strerror(errno) + "\n";
        return result;
    };
    std::unique_ptr<nfct_handle, HandleCloser> handle(nfct_open(CONNTRACK, 0));
    if (!handle) return fail("cannot open ctnetlink");
    std::unique_ptr<nfct_filter_dump, FilterDestroyer> filter(nfct_filter_dump_create());
    if (!filter) return fail("cannot make a dump filter");
    struct nfct_filter_dump_mark byMark = {mark, 0xffffffffU};
    nfct_filter_dump_set_attr(filter.get(), NFCT_FILTER_DUMP_MARK, &byMark);
    nfct_filter_dump_set_attr_u8(filter.get(), NFCT_FILTER_DUMP_L3NUM, AF_INET);

    Found found{mark, {}};
    nfct_callback_register(handle.get(), NFCT_T_ALL, collect, &found);
    if (nfct_query(handle.get(), NFCT_Q_DUMP_FILTER, filter.get()) < 0) return fail("cannot list the entries");
    nfct_callback_unregister(handle.get());

    for (const Entry& entry : found.entries) {
        if (nfct_query(handle.get(), NFCT_Q_DESTROY, entry.get()) == 0) {
            ++result.deleted;
        } else if (errno != ENOENT) {  // gone by itself meanwhile
            fail("cannot delete an entry");
        }
    }
    result.error = std::to_string(result.deleted) + " flow entries have been deleted.\n" + result.error;
    return result;
}

}  // namespace kernel
}  // namespace kor
