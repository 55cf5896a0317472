// Small helpers of the package generator: whole files, digests of buffers,
// progress on a terminal, work spread over the cores, and the proof that a
// patch rebuilds its new image through the agent's own patcher.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

// Whole file into out. false with error naming the file.
bool read_file(const fs::path& path, bytes& out, std::string& error);
// Creates or replaces path (its directory made first) with data and mode.
bool write_file(const fs::path& path, std::span<const uint8_t> data, unsigned mode, std::string& error);

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
