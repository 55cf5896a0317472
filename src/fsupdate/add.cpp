// The add passes: links, directories and files from the package, and whole
// directory contents for a full replacement.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/file_util.h"
#include "core/log.h"
#include "core/md5.h"
#include "fsupdate/system_script.h"
#include "platform/platform.h"

#define PASS_LOG(...) log_at(pass, __LINE__, __VA_ARGS__)

int do_add_link() {
    static const char* pass = __func__;
    return run_pass(pass, "addlink", "fopen UPDATER_SCRIPT_SYSTEM", "add link", [](const system_command& cmd, int& count) {
        PASS_LOG("%s %s", cmd.keyword.c_str(), cmd.path.c_str());
        std::string target = system_target(cmd);
        std::string source = system_source(cmd);
        if (!plat_exists(target) && copy_file(source.c_str(), target.c_str()) != 0) {
            PASS_LOG("copy %s %s failed", source.c_str(), target.c_str());
            return -1;
        }
        ++count;
        return 0;
    });
}

int do_add_dir() {
    static const char* pass = __func__;
    return run_pass(pass, "adddir", "fopen UPDATER_SCRIPT_SYSTEM", "add dir", [](const system_command& cmd, int& count) {
        PASS_LOG("%s %s %o", cmd.keyword.c_str(), cmd.path.c_str(), cmd.mode);
        std::string target = system_target(cmd);
        // An existing directory keeps its mode.
        if (plat_exists(target)) return 0;
        // The directory gets its mode in the step that makes it, so that a
        // run cut off before the chmod leaves none with another mode (an
        // existing one is passed over next time); missing parents first,
        // with the default mode.
        auto parent = dir_part(target);
        if (parent && !plat_exists(*parent) &&
            run_pass_command(pass, __LINE__, false, "mkdir -p %s", {*parent}) != 0)
            return -1;
        mode_t mask = plat_umask(~cmd.mode & 0777);
        int made = run_pass_command(pass, __LINE__, false, "mkdir -p %s", {target});
        plat_umask(mask);
        if (made != 0) return -1;
        if (apply_mode(pass, target, cmd.mode) != 0) return -1;
        ++count;
        return 0;
    });
}

int do_add_file() {
    static const char* pass = __func__;
    return run_pass(pass, "addfile", "fopen UPDATER_SCRIPT_SYSTEM", "add file", [](const system_command& cmd, int& count) {
        PASS_LOG("%s %s %s %o", cmd.keyword.c_str(), cmd.path.c_str(), cmd.md5new.c_str(), cmd.mode);
        std::string target = system_target(cmd);
        std::string source = system_source(cmd);
        char md5[MD5_TEXT_SIZE] = {};
        // A package file that is not the one declared must never replace the
        // file there, which has no other copy.
        if (get_md5sum(source.c_str(), md5) != 0 || !md5_equal(md5, cmd.md5new.c_str())) {
            PASS_LOG("Error, %s digest [%s], the script says [%s]", source.c_str(), md5, cmd.md5new.c_str());
            PASS_LOG("Error, copy new file error");
            return -1;
        }
        // cp would put the file inside a directory there, or write it through
        // a link into whatever the link names: neither is the path given.
        struct stat st;
        if (plat_lstat(target.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))) {
            PASS_LOG("Error, %s is a %s", target.c_str(), S_ISDIR(st.st_mode) ? "directory" : "symbolic link");
            return -1;
        }
        // The file it replaces gives its room back. A failed lookup is no room.
        int64_t room = static_cast<int64_t>(get_free_space_for_file(target.c_str())) + get_file_size(target.c_str());
        int64_t size = get_file_size(source.c_str());
        if (room < size) {
            PASS_LOG("Error, file size[%ld] large than free space[%ld]", static_cast<long>(size), static_cast<long>(room));
            return -1;
        }
        if (copy_file(source.c_str(), target.c_str()) != 0) {
            PASS_LOG("Error, copy %s %s failed", source.c_str(), target.c_str());
            return -1;
        }
        std::memset(md5, 0, sizeof md5);
        if (get_md5sum(target.c_str(), md5) != 0) {
            PASS_LOG("Error, get_md5sum failed");
            return -1;
        }
        if (!md5_equal(md5, cmd.md5new.c_str())) {
            PASS_LOG("Error, copy new file error");
            return -1;
        }
        if (apply_mode(pass, target, cmd.mode) != 0) return -1;
        ++count;
        return 0;
    });
}

int do_add_recursive() {
    static const char* pass = __func__;
    return run_pass(pass, "addrecursive", "fopen UPDATER_SCRIPT_SYSTEM", nullptr, [](const system_command& cmd, int&) {
        PASS_LOG("%s %s", cmd.keyword.c_str(), cmd.path.c_str());
        std::string dir = system_source(cmd);
        PASS_LOG("dir: %s", dir.c_str());
        if (!plat_exists(dir)) return 0;
        // The shell expands the '*' to every entry of the package directory.
        return run_pass_command(pass, __LINE__, true, "cp -af %s %s", {dir + "*", "/" + cmd.path});
    });
}
