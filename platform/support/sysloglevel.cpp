// Levelled logging to standard error or syslog.

#include "kor/sysloglevel.h"

#include <sys/time.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Modul {
    std::string name;
    unsigned traceLevel;
};

struct LogState {
    std::mutex lock;
    std::vector<Modul> moduls;
    std::string ident = "quorin";
    int toSyslog = 0;
    bool syslogOpen = false;
    unsigned defaultLevel = 0;
    bool defaultRead = false;
};

LogState& state() {
    static LogState s;
    return s;
}

unsigned defaultLevel(LogState& s) {
    if (!s.defaultRead) {
        s.defaultRead = true;
        if (const char* env = getenv("KOR_TRACELEVEL")) s.defaultLevel = unsigned(strtoul(env, nullptr, 0));
    }
    return s.defaultLevel;
}

int findModul(LogState& s, const char* name) {
    for (size_t i = 0; i < s.moduls.size(); ++i)
        if (s.moduls[i].name == name) return int(i);
    return -1;
}

const char* levelName(int priority) {
    switch (priority) {
    case LOG_ERR: return "ERROR";
    case LOG_WARNING: return "WARNING";
    case LOG_INFO: return "INFO";
    case LOG_DEBUG: return "DEBUG";
    default: return "TRACE";
    }
}

void emit(KOR_Modul modul, int priority, unsigned neededBit, const char* file, int line, const char* text) {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    std::string name = "?";
    unsigned level = defaultLevel(s);
    if (modul >= 0 && size_t(modul) < s.moduls.size()) {
        name = s.moduls[modul].name;
        level = s.moduls[modul].traceLevel;
    }
    if (neededBit && !(level & neededBit)) return;

    std::string body = text ? text : "";
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
    const char* tag = neededBit == KOR_TRACE_TRACE ? "TRACE" : levelName(priority);

    if (s.toSyslog) {
        if (!s.syslogOpen) {
            openlog(s.ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
            s.syslogOpen = true;
        }
        syslog(priority, "%s %s %s:%d %s", tag, name.c_str(), file ? file : "?", line, body.c_str());
        return;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
    fprintf(stderr, "%s.%03ld %s %s %s:%d %s\n", stamp, long(tv.tv_usec / 1000), tag, name.c_str(),
            file ? file : "?", line, body.c_str());
    fflush(stderr);
}

}  // namespace

void KOR_Sysloglevel_construct2(const char* ident, const char* argv0) {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    std::string id = ident ? ident : "";
    if (id.empty() && argv0) {
        const char* slash = strrchr(argv0, '/');
        id = slash ? slash + 1 : argv0;
    }
    if (!id.empty()) s.ident = id;
}

KOR_Modul KOR_Sysloglevel_registerModul(const char* name) {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    int idx = findModul(s, name);
    if (idx >= 0) return idx;
    s.moduls.push_back({name, defaultLevel(s)});
    return int(s.moduls.size() - 1);
}

void KOR_Sysloglevel_changeTracelevel(const char* name, unsigned level) {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    int idx = findModul(s, name);
    if (idx < 0) {
        s.moduls.push_back({name, level});
        return;
    }
    s.moduls[idx].traceLevel = level;
}

unsigned KOR_Sysloglevel_tracelevel(KOR_Modul modul) {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (modul < 0 || size_t(modul) >= s.moduls.size()) return 0;
    return s.moduls[modul].traceLevel;
}

void KOR_Sysloglevel_set(int on) {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.toSyslog = on ? 1 : 0;
}

int KOR_Sysloglevel_get() {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.toSyslog;
}

void KOR_Sysloglevel_error(KOR_Modul m, const char* f, int l, const char* t) { emit(m, LOG_ERR, 0, f, l, t); }
void KOR_Sysloglevel_warning(KOR_Modul m, const char* f, int l, const char* t) { emit(m, LOG_WARNING, 0, f, l, t); }
void KOR_Sysloglevel_info(KOR_Modul m, const char* f, int l, const char* t) { emit(m, LOG_INFO, 0, f, l, t); }
void KOR_Sysloglevel_debug(KOR_Modul m, const char* f, int l, const char* t) {
    emit(m, LOG_DEBUG, KOR_TRACE_DEBUG, f, l, t);
}
void KOR_Sysloglevel_trace(KOR_Modul m, const char* f, int l, const char* t) {
    emit(m, LOG_DEBUG, KOR_TRACE_TRACE, f, l, t);
}

const char* VAStr(const char* format, ...) {
    static thread_local std::string ring[16];
    static thread_local unsigned next = 0;
    std::string& out = ring[next++ % 16];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) n = 0;
    out.assign(size_t(n) + 1, '\0');
    vsnprintf(&out[0], out.size(), format, args);
    va_end(args);
    out.resize(size_t(n));
    return out.c_str();
}
