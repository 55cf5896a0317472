// The agent's log: one entry per message in /data/upgrade/install/log, kept
// below half a megabyte by rotating into logbak, and echoed to the console.
#pragma once

#include <string>
#include <string_view>

// 1 when the run is in debug mode: the echo goes to the serial console
// instead of standard output.
extern int upgrade_debug;
// Set by a check-only run, whose caller reads the reason on standard error:
// the echo then goes there, whatever the debug mode.
extern bool log_echo_stderr;

inline constexpr const char* LOG_FILE = "/data/upgrade/install/log";
inline constexpr const char* LOG_BACKUP_FILE = "/data/upgrade/install/logbak";
inline constexpr const char* LOG_CONSOLE = "/dev/ttyMSM0";
inline constexpr long LOG_ROTATE_SIZE = 0x80000;
inline constexpr size_t LOG_MSG_SIZE = 1024;

// Writes one entry. Never fails towards the caller: its own problems are
// printed on standard output.
void dflog(std::string msg);

// Formats "func(line): " and the message into the bounded message buffer and
// hands it to dflog. A message that does not fit is cut with a visible mark.
void log_at(const char* func, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

#define LOGF(...) log_at(__func__, __LINE__, __VA_ARGS__)

// Signals are only recorded by the handler; the next entry writes the line.
// The handler sets this to the signal number.
void log_note_signal(int sig);
// Writes the lines of signals recorded since the last entry.
void log_flush_pending();
