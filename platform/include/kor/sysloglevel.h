#pragma once
// Levelled logging of the platform.
//
// Entries go to standard error, one line each:
//   "2026-12-06 11:46:05.123 ERROR quorin main:42 text"
// or, after KOR_Sysloglevel_set(1), to syslog(3) with ident "quorin" and
// facility LOG_DAEMON.
//
// Error, warning and info entries are always written. Debug and trace
// entries are written only when the module's trace level has their bit:
//   KOR_TRACE_DEBUG (0x001) for debug entries,
//   KOR_TRACE_TRACE (0x002) for trace entries.
// The default trace level is 0 (errors and info only); 1023 shows everything.
// The environment variable KOR_TRACELEVEL, when set to a number, gives the
// default for modules registered afterwards.

#include <cstdarg>

typedef int KOR_Modul;

enum : unsigned {
    KOR_TRACE_DEBUG = 0x001,
    KOR_TRACE_TRACE = 0x002,
};

// Starts the logging: ident names the program in syslog ("" takes the base
// name of argv0).
void KOR_Sysloglevel_construct2(const char* ident, const char* argv0);

// Returns the handle of the module with that name, registering it at the
// first call. The same name always gives the same handle.
KOR_Modul KOR_Sysloglevel_registerModul(const char* name);

// Sets the trace level of a module (registered or not yet registered).
void KOR_Sysloglevel_changeTracelevel(const char* name, unsigned level);
unsigned KOR_Sysloglevel_tracelevel(KOR_Modul modul);
// Whether the module's debug entries are written: callers skip formatting
// texts that would be thrown away.
inline bool KOR_Sysloglevel_debugOn(KOR_Modul modul) { return (KOR_Sysloglevel_tracelevel(modul) & KOR_TRACE_DEBUG) != 0; }

// 0: console (standard error); 1: syslog.
void KOR_Sysloglevel_set(int on);
int KOR_Sysloglevel_get();

void KOR_Sysloglevel_error(KOR_Modul modul, const char* sourceFile, int line, const char* text);
// Something the operator must fix for the daemon to work as configured.
void KOR_Sysloglevel_warning(KOR_Modul modul, const char* sourceFile, int line, const char* text);
void KOR_Sysloglevel_info(KOR_Modul modul, const char* sourceFile, int line, const char* text);
void KOR_Sysloglevel_debug(KOR_Modul modul, const char* sourceFile, int line, const char* text);
void KOR_Sysloglevel_trace(KOR_Modul modul, const char* sourceFile, int line, const char* text);

// printf-style formatting. The text lives in a per-thread ring of buffers and
// stays valid until at least 15 further calls; callers free nothing.
const char* VAStr(const char* format, ...) __attribute__((format(printf, 1, 2)));
