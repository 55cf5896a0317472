// The system updater script: file-level changes to the root file system,
// one command a line, run as passes that each read the whole script and act
// on the lines of one keyword.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "driver/package.h"
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

// Reads the script for one pass: logs the pass name, then hands each line of
// keyword to run_line, which returns 0 to go on or -1 to end the pass. The
// count message (nullptr: none) is logged with count when the pass ends.
// 0 when every line was handled, -1 otherwise.
int run_pass(const char* pass, const char* keyword, const char* open_error, const char* count_message,
             const std::function<int(const system_command&, int& count)>& run_line);

// Runs a shell command formed from a template and paths; logs its failure
// under pass. 0 or -1.
int run_pass_command(const char* pass, int line, bool log_command, std::string_view tmpl,
                     std::initializer_list<std::string_view> paths);

// Applies a script line's mode; logs its failure under pass. 0 or -1.
int apply_mode(const char* pass, const std::string& path, uint32_t mode);

// The passes, in the order the groups run them. 0 or -1.
int do_delete_file();
int do_delete_link();
int do_delete_dir();
int do_add_link();
int do_add_dir();
int do_add_file();
int do_patch_file();
int do_delete_recursive();
int do_add_recursive();

// The two groups of dst_patch_diff; 0 when there is no system script.
int patch_diff_rootfs();
int patch_full_rootfs();

// Patching helpers. The file system name of a path as df shows it, or
// nothing; a copy that replaces source with destination unless destination
// already holds md5, verified before the source goes; removal of a backup
// whose content is not md5.
bool get_file_system(const char* path, std::string& name);
int mv_file_ex(const char* source, const char* destination, const char* md5);
void rm_file_ex(const char* backup, const char* md5);
