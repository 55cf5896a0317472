#include "fsupdate/system_script.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/file_util.h"
#include "core/log.h"
#include "driver/package.h"
#include "platform/platform.h"

namespace {

// Field kinds after the keyword: p path up to the next comma, r path that
// is the rest of the line, o/n old/new digest, x logged number, m mode.
struct command_form {
    const char* keyword;
    const char* fields;
};
constexpr command_form FORMS[] = {
    {"deletefile", "r"}, {"deletelink", "r"}, {"deletedir", "p"},        {"addlink", "p"},
    {"adddir", "pm"},    {"addfile", "pnm"},  {"patchfile", "ponxm"},    {"deleterecursive", "p"},
    {"addrecursive", "p"},
};

constexpr std::string_view SPACE = " \t\n\v\f\r";

std::string_view trim_front(std::string_view v) {
    size_t n = v.find_first_not_of(SPACE);
    return n == std::string_view::npos ? std::string_view() : v.substr(n);
}

std::string_view trim_back(std::string_view v) {
    size_t n = v.find_last_not_of(SPACE);
    return n == std::string_view::npos ? std::string_view() : v.substr(0, n + 1);
}

// A path taken as a file name by unlink, or on the command line of a tool,
// names the one file the package means.
bool exists_no_follow(const std::string& path) {
    struct stat st;
    return plat_lstat(path.c_str(), &st) == 0;
}

// What a path's components make of it: a climb when one is "..", the root
// itself when none names anything but "." or nothing.
enum class PathKind { Plain, Climbs, Root };

PathKind path_kind(std::string_view path) {
    bool names = false;
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        std::string_view c = path.substr(start, end - start);
        if (c == "..") return PathKind::Climbs;
        names |= !c.empty() && c != ".";
        start = end + 1;
    }
    return names ? PathKind::Plain : PathKind::Root;
}

}  // namespace

int parse_system_command(const char* func, const script_file& s, const std::string& line, const char* keyword,
                         system_command& cmd) {
    std::string_view text = line;
    std::vector<std::string_view> f = script_fields(text);
    if (f[0].empty()) return 0;
    const command_form* form = nullptr;
    for (const auto& x : FORMS)
        if (f[0] == x.keyword) form = &x;
    if (!form || (keyword && f[0] != keyword)) return 0;
    cmd = system_command{};
    cmd.keyword = form->keyword;
    bool ok = true;
    for (size_t i = 0; ok && form->fields[i]; ++i) {
        size_t at = i + 1;
        bool last = !form->fields[i + 1];
        switch (form->fields[i]) {
        case 'r':
            // Commas belong to the path; white space around it does not (a
            // line written on another system ends in a carriage return).
            f.resize(2);
            f[1] = trim_back(trim_front(text.substr(std::min(text.size(), f[0].size() + 1))));
            [[fallthrough]];
        case 'p':
            ok = script_field_text(func, s, f, at, SYSTEM_PATH_SIZE, "path", cmd.path);
            break;
        case 'o':
            ok = script_field_text(func, s, f, at, SCRIPT_DIGEST_SIZE, "old md5", cmd.md5old);
            break;
        case 'n':
            ok = script_field_text(func, s, f, at, SCRIPT_DIGEST_SIZE, "new md5", cmd.md5new);
            break;
        default:
            // An octal number may have white space before it, and after it
            // only where nothing of the pattern follows.
            if (at < f.size()) f[at] = last ? trim_back(trim_front(f[at])) : trim_front(f[at]);
            ok = form->fields[i] == 'x' ? script_field_octal(func, s, f, at, "number", cmd.number)
                                        : script_field_octal(func, s, f, at, "mode", cmd.mode);
        }
    }
    if (!ok) return -1;
    // Relative to the root, ".." could only climb out of the package for
    // the files taken from it, or hide from a reader which file is meant.
    // No command is for the root itself: "deleterecursive,/" would empty it.
    if (PathKind kind = path_kind(cmd.path); kind != PathKind::Plain) {
        script_log_line_error(func, s, kind == PathKind::Climbs ? "path with a \"..\" component"
                                                                : "path names the root directory");
        return -1;
    }
    // The longest paths formed from it: the backup beside the target and the
    // patch in the package.
    size_t prefix = std::max(DIR_ROOT.size(), std::strlen(get_delta_source_dir(cmd.path.c_str()))) + 1;
    if (prefix + cmd.path.size() + std::strlen(".bak") >= SYSTEM_PATH_SIZE) {
        script_log_line_error(func, s, "path too long for the paths formed from it");
        return -1;
    }
    return 1;
}

std::string system_target(const system_command& cmd) { return DIR_ROOT + "/" + cmd.path; }

std::string system_source(const system_command& cmd) {
    return std::string(get_delta_source_dir(cmd.path.c_str())) + "/" + cmd.path;
}

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
