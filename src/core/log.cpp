#include "core/log.h"

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/file_util.h"
#include "platform/platform.h"

int upgrade_debug = 0;
bool log_echo_stderr = false;

namespace {

// Pending signal numbers, one slot each so that two different signals
// arriving before the next entry are both written. Only the handler stores,
// only dflog clears.
std::atomic<int> g_pending_signal[NSIG];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free counters");

constexpr size_t kLineSize = 2048;
constexpr size_t kStampSize = 80;
const char kTruncMark[] = " [truncated]\n";

void write_entry(std::string& msg);

void flush_signals() {
    for (int s = 1; s < NSIG; ++s) {
        for (int n = g_pending_signal[s].exchange(0); n > 0; --n) {
            char buf[LOG_MSG_SIZE];
            std::snprintf(buf, sizeof buf, "%s(%d): %s sig: %d", "sig_handle", __LINE__, "sig_handle", s);
            std::string m(buf);
            write_entry(m);
        }
    }
}

void write_entry(std::string& msg) {
    if (msg.empty() || msg.back() != '\n') msg += '\n';

    if (get_file_size(LOG_FILE) > LOG_ROTATE_SIZE) {
        // The move is the log's own housekeeping; its result is not examined.
        std::string cmd = "mv " + shell_quote(plat_host_path(LOG_FILE)) + " " +
                          shell_quote(plat_host_path(LOG_BACKUP_FILE));
        if (cmd.size() < kLineSize) plat_log_system(cmd.c_str());
    }

    char stamp[kStampSize];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::snprintf(stamp, sizeof stamp, "[%d%02d%02d_%02d%02d%02d]", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);

    std::string entry = std::string(stamp) + " " + msg;
    if (entry.size() >= kLineSize) {
        entry.resize(kLineSize - sizeof kTruncMark);
        entry += kTruncMark;
    }

    if (FilePtr fp{plat_fopen(LOG_FILE, "a+")}) {
        std::fwrite(entry.data(), entry.size(), 1, fp.get());
    } else {
        std::printf("[%d] fopen %s error: %s\n", __LINE__, LOG_FILE, std::strerror(errno));
    }

    if (log_echo_stderr) {
        std::fprintf(stderr, "[DFLOG]%s", entry.c_str());
        return;
    }
    if (upgrade_debug == 0) {
        std::printf("[DFLOG]%s", entry.c_str());
        std::fflush(stdout);
        return;
    }
    std::string console = "[DFLOG]" + entry;
    if (FilePtr tty{plat_fopen(LOG_CONSOLE, "w")}) {
        std::fwrite(console.data(), console.size(), 1, tty.get());
    } else {
        std::printf("[%d] fopen %s error: %s\n", __LINE__, LOG_CONSOLE, std::strerror(errno));
        std::fflush(stdout);
    }
}

}  // namespace

void log_note_signal(int sig) {
    if (sig > 0 && sig < NSIG) g_pending_signal[sig].fetch_add(1);
}

void log_flush_pending() { flush_signals(); }

void dflog(std::string msg) {
    flush_signals();
    write_entry(msg);
}

void log_at(const char* func, int line, const char* fmt, ...) {
    char buf[LOG_MSG_SIZE];
    int head = std::snprintf(buf, sizeof buf, "%s(%d): ", func, line);
    if (head < 0) return;
    size_t used = static_cast<size_t>(head) < sizeof buf ? static_cast<size_t>(head) : sizeof buf - 1;
    va_list ap;
    va_start(ap, fmt);
    int body = std::vsnprintf(buf + used, sizeof buf - used, fmt, ap);
    va_end(ap);
    if (body < 0) return;
    size_t total = used + static_cast<size_t>(body);
    // The buffer keeps room for the newline dflog adds; a message that would
    // not leave it is cut, and says so.
    if (total >= sizeof buf - 1) {
        std::string m(buf, sizeof buf - sizeof kTruncMark);
        m += kTruncMark;
        dflog(std::move(m));
        return;
    }
    dflog(std::string(buf, total));
}
