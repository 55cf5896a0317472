#include "fsupdate/system_script.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "context/package.h"
#include "core/file_util.h"
#include "core/log.h"
#include "platform/platform.h"

namespace {

// A path taken as a file name by unlink, or on the command line of a tool,
// names the one file the package means.
bool exists_no_follow(const std::string& path) {
    struct stat st;
    return plat_lstat(path.c_str(), &st) == 0;
}

}  // namespace

int run_pass(const char* pass, const char* keyword, const char* open_error, const char* count_message,
             const std::function<int(const system_command&, int& count)>& run_line) {
    log_at(pass, __LINE__, "\n%s\n", pass);
    script_file s;
    if (!script_open(s, UPDATER_SCRIPT_SYSTEM)) {
        std::perror(open_error);
        return -1;
    }
    int count = 0;
    int ret = 0;
    std::string line;
    for (;;) {
        int r = script_next_line(pass, s, line);
        if (r == 0) break;
        system_command cmd;
        int p = r < 0 ? -1 : parse_system_command(pass, s, line, keyword, cmd);
        if (p == 0) continue;
        if (p < 0 || run_line(cmd, count) != 0) {
            ret = -1;
            break;
        }
    }
    close_file(s.fp);
    if (count_message) log_at(pass, __LINE__, "%s success count: %d", count_message, count);
    return ret;
}

int run_pass_command(const char* pass, int line, bool log_command, std::string_view tmpl,
                     std::initializer_list<std::string_view> paths) {
    auto cmd = make_command(SYSTEM_PATH_SIZE, tmpl, paths);
    if (!cmd) {
        log_at(pass, line, "Error, command too long: %.*s", static_cast<int>(tmpl.size()), tmpl.data());
        return -1;
    }
    if (log_command) log_at(pass, line, "run cmd[%s]", cmd->c_str());
    int ret = plat_system(cmd->c_str());
    if (plat_cmd_failed(ret)) {
        log_at(pass, line, "%s[%d] run system failed, ret: %d, %s", pass, line, ret, std::strerror(errno));
        return -1;
    }
    return 0;
}

int apply_mode(const char* pass, const std::string& path, uint32_t mode) {
    if (plat_chmod(path.c_str(), mode) == 0) return 0;
    log_at(pass, __LINE__, "[%d] file chmod failed %s", __LINE__, std::strerror(errno));
    return -1;
}

namespace {

// deletefile and deletelink: one unlink a line. A link is removed even when
// what it points to is gone.
int delete_entries(const char* pass, const char* keyword, const char* count_message) {
    return run_pass(pass, keyword, "Error, fopen UPDATER_SCRIPT_SYSTEM", count_message,
                    [pass](const system_command& cmd, int& count) {
                        log_at(pass, __LINE__, "%s %s", cmd.keyword.c_str(), cmd.path.c_str());
                        std::string target = system_target(cmd);
                        if (!exists_no_follow(target)) return 0;
                        if (plat_unlink(target.c_str()) != 0) {
                            log_at(pass, __LINE__, "Error, unlink %s failed, %s", target.c_str(),
                                   std::strerror(errno));
                            return -1;
                        }
                        log_at(pass, __LINE__, "unlink %s success", target.c_str());
                        ++count;
                        return 0;
                    });
}

}  // namespace

int do_delete_file() { return delete_entries(__func__, "deletefile", "delete file"); }

int do_delete_link() { return delete_entries(__func__, "deletelink", nullptr); }

int do_delete_dir() {
    return run_pass(__func__, "deletedir", "Error, fopen UPDATER_SCRIPT_SYSTEM", "delete dir",
                    [](const system_command& cmd, int& count) {
                        log_at("do_delete_dir", __LINE__, "%s %s", cmd.keyword.c_str(), cmd.path.c_str());
                        std::string target = system_target(cmd);
                        log_at("do_delete_dir", __LINE__, "dir: %s", target.c_str());
                        if (!plat_exists(target)) {
                            log_at("do_delete_dir", __LINE__, "need delete file not found: %s", target.c_str());
                            return 0;
                        }
                        if (run_pass_command("do_delete_dir", __LINE__, false, "rm -rf %s", {target}) != 0)
                            return -1;
                        ++count;
                        return 0;
                    });
}

int do_delete_recursive() {
    return run_pass(__func__, "deleterecursive", "Error, fopen UPDATER_SCRIPT_SYSTEM", nullptr,
                    [](const system_command& cmd, int&) {
                        log_at("do_delete_recursive", __LINE__, "%s %s", cmd.keyword.c_str(), cmd.path.c_str());
                        std::string target = "/" + cmd.path;
                        log_at("do_delete_recursive", __LINE__, "dir: %s", target.c_str());
                        if (!plat_exists(target)) return 0;
                        // With a trailing '/' the directory is emptied and
                        // kept; without, every entry that begins with its
                        // last component goes.
                        return run_pass_command("do_delete_recursive", __LINE__, true, "rm -rf %s",
                                                {target + "*"});
                    });
}

int patch_diff_rootfs() {
    if (!plat_exists(UPDATER_SCRIPT_SYSTEM)) {
        LOGF("file[%s] not exist, there is no system files need to update", UPDATER_SCRIPT_SYSTEM.c_str());
        return 0;
    }
    for (auto pass : {do_delete_file, do_delete_link, do_delete_dir, do_add_link, do_add_dir, do_add_file,
                      do_patch_file})
        if (pass() < 0) return -1;
    return 0;
}

int patch_full_rootfs() {
    if (!plat_exists(UPDATER_SCRIPT_SYSTEM)) {
        LOGF("file[%s] not exist, there is no system files need to update", UPDATER_SCRIPT_SYSTEM.c_str());
        return 0;
    }
    if (do_delete_recursive() < 0) return -1;
    return do_add_recursive() < 0 ? -1 : 0;
}
