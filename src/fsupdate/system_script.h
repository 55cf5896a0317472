// The system updater script: file-level changes to the root file system,
// one command a line, run as passes that each read the whole script and act
// on the lines of one keyword.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "image/system_command.h"

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
