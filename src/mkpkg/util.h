// Small helpers of the package generator: whole files, digests of buffers,
// progress on a terminal, work spread over the cores, and the proof that a
// patch rebuilds its new image through the agent's own patcher.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

// Whole file into out. false with error naming the file.
bool read_file(const fs::path& path, bytes& out, std::string& error);
// Creates or replaces path (its directory made first) with data and mode.
bool write_file(const fs::path& path, std::span<const uint8_t> data, unsigned mode, std::string& error);

// A fresh directory made from pattern (ending in XXXXXX), removed with all
// it holds when the record goes, unless keep is set by then.
struct work_dir {
    fs::path path;
    bool keep = false;
    work_dir() = default;
    work_dir(const work_dir&) = delete;
    work_dir& operator=(const work_dir&) = delete;
    ~work_dir();
};
bool make_work_dir(const fs::path& pattern, work_dir& dir, std::string& error);

// What an entry of a tree holds: a file's bytes, a link's target text, or
// nothing for a directory; st is its lstat. false with error for anything
// else.
bool read_entry(const fs::path& path, struct stat& st, bytes& content, std::string& error);

// Copies the entry src (a file, a link or a directory with everything in it)
// to dest, keeping permission bits and link targets. Directories are left
// writable: their modes go into dir_modes, for set_dir_modes once the copy
// is complete.
bool copy_entry(const fs::path& src, const fs::path& dest, std::map<fs::path, unsigned>& dir_modes,
                std::string& error);
// Sets the modes, deepest directory first, so that none keeps the writer out.
bool set_dir_modes(const std::map<fs::path, unsigned>& dir_modes, std::string& error);

// MD5 as the scripts carry it: 32 lowercase hexadecimal characters.
std::string md5_hex(std::span<const uint8_t> data);

// A byte count for people: KiB below a MiB, MiB above.
std::string size_text(uint64_t n);

// One line on standard error when it is a terminal; nothing otherwise.
void progress(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Threads the generator uses: DFOTA_MKPKG_JOBS when set to a positive
// number, else every core.
unsigned worker_count();
// Runs fn(0) .. fn(n - 1) on worker_count() threads. Results must not depend
// on the order: every caller writes into its own slot.
void parallel_for(size_t n, const std::function<void(size_t)>& fn);

// Applies patch to old with the agent's patch_file and compares the result
// with expected. false with error when it differs or fails.
bool verify_patch(std::span<const uint8_t> old, std::span<const uint8_t> expected, const std::string& patch,
                  std::string& error);
