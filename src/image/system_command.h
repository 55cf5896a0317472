// The line grammar of the system updater script, read by its pre-flight
// check and by the passes that apply it.
#pragma once

#include <cstdint>
#include <string>

#include "context/package.h"
#include "image/script.h"

inline constexpr size_t SYSTEM_PATH_SIZE = 1024;
inline constexpr const char* SAVEFILE_EX = "/system/savefile_ex";
// Where a patched file's old content waits when there is no room beside it,
// in the order they are chosen and searched.
inline constexpr const char* SAVE_FILES[] = {SAVEFILE, SAVEFILE_EX};

// One command line. Which fields are set depends on the keyword.
struct system_command {
    std::string keyword;
    std::string path;
    std::string md5old;   // patchfile
    std::string md5new;   // addfile, patchfile
    uint32_t number = 0;  // patchfile: logged only
    uint32_t mode = 0;    // adddir, addfile, patchfile
};

// Parses a line of the system script. keyword: the one kind of line wanted,
// or nullptr for every known kind. 1: a wanted command, its fields in cmd;
// 0: a line to pass over; -1: a wanted line whose fields do not fit its
// pattern or buffers (logged under func with the script and line number).
int parse_system_command(const char* func, const script_file& s, const std::string& line, const char* keyword,
                         system_command& cmd);

// The paths a command works on: on the device, and in the package.
std::string system_target(const system_command& cmd);
std::string system_source(const system_command& cmd);
