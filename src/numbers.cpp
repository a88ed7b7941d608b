// The members' numbers, remembered in memory and in the runtime directory.

#include "numbers.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "kor/sysloglevel.h"
#include "runtimefile.h"
#include "values.h"

namespace kor {
namespace quorin {

namespace {

const char* const logFile = "numbers";
const char* const header = "quorin member numbers 1";

}  // namespace

MemberNumbers::MemberNumbers() : logModule(KOR_Sysloglevel_registerModul("quorin")) {}

void MemberNumbers::setFile(const std::string& where) {
    file.setPath(where);
    const std::string& path = file.path();
    numbers.clear();
    dirty = false;
    if (path.empty()) return;
    std::ifstream in(path);
    if (!in) return;  // nothing remembered: a first start, or after a reboot
    std::stringstream text;
    text << in.rdbuf();
    std::string why;
    if (in.bad() || !load(text.str(), why)) {
        numbers.clear();
        KOR_Sysloglevel_error(logModule, logFile, __LINE__,
                              VAStr("numbers: %s ignored (%s); the members are numbered afresh", path.c_str(),
                                    in.bad() ? strerror(errno) : why.c_str()));
        return;
    }
    KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                         VAStr("numbers: %zu member numbers taken from %s", numbers.size(), path.c_str()));
}

bool MemberNumbers::load(const std::string& text, std::string& why) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != header) {
        why = "it does not begin with \"" + std::string(header) + "\"";
        return false;
    }
    std::set<int32_t> taken;
    for (unsigned lineNo = 2; std::getline(in, line); ++lineNo) {
        std::istringstream words(line);
        long long group = 0, number = 0;
        std::string device, rest;
        const bool read = bool(words >> group >> device >> number) && !(words >> rest);
        if (!read || group < INT32_MIN || group > INT32_MAX || !checks::whyNotDeviceName(device).empty() ||
            number < lowest || number > highestUsable || !taken.insert(int32_t(number)).second ||
            numbers.count({int32_t(group), device})) {
            why = "line " + std::to_string(lineNo) + " is not a group, a device and a number of its own";
            return false;
        }
        numbers[{int32_t(group), device}] = int32_t(number);
    }
    return true;
}

int32_t MemberNumbers::find(int32_t groupId, const std::string& device) const {
    const auto it = numbers.find({groupId, device});
    return it == numbers.end() ? 0 : it->second;
}

void MemberNumbers::remember(int32_t groupId, const std::string& device, int32_t number) {
    // After the counter started over, a number can pass to another member.
    for (auto it = numbers.begin(); it != numbers.end();)
        it = it->second == number ? numbers.erase(it) : std::next(it);
    numbers[{groupId, device}] = number;
    dirty = true;
}

int32_t MemberNumbers::highest() const {
    int32_t top = 0;
    for (const auto& entry : numbers) top = std::max(top, entry.second);
    return top;
}

void MemberNumbers::save() {
    if (!dirty || file.path().empty()) return;
    std::string text = std::string(header) + "\n";
    for (const auto& entry : numbers)
        text += std::to_string(entry.first.first) + " " + entry.first.second + " " + std::to_string(entry.second) + "\n";
    if (!file.write(text)) return;
    dirty = false;
}

}  // namespace quorin
}  // namespace kor
