// Patching files of the root file system in place. The old content always
// has a verified copy (a ".bak" beside the file, or a save file where there
// is room) until the new file is verified, so a run cut off anywhere is
// finished by the next one from MD5 digests alone.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "context/package.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/md5.h"
#include "fsupdate/system_script.h"
#include "patch/patch_file.h"
#include "platform/platform.h"

namespace {

constexpr size_t FS_PATH_SIZE = 256;
constexpr size_t FS_NAME_SIZE = 64;

#define PASS_LOG(...) log_at("do_patch_file", __LINE__, __VA_ARGS__)

// 1: the file holds md5; 0: it does not; -1: it cannot be read (logged).
int holds(const std::string& path, const std::string& md5) {
    char cur[MD5_TEXT_SIZE] = {};
    if (get_md5sum(path.c_str(), cur) != 0) {
        PASS_LOG("[%d] get_md5sum failed", __LINE__);
        return -1;
    }
    return md5_equal(cur, md5.c_str()) ? 1 : 0;
}

int64_t size_of(const std::string& path) { return get_file_size(path.c_str()); }
int64_t free_for(const std::string& path) { return static_cast<int64_t>(get_free_space_for_file(path.c_str())); }

// Room compares in unsigned arithmetic: a failed lookup (all ones) is
// unlimited room, a missing file (-1) never fits.
bool fits(int64_t free_space, int64_t size) {
    return static_cast<uint64_t>(free_space) > static_cast<uint64_t>(size);
}

const char* choose_save_file(int64_t size) {
    for (const char* save : SAVE_FILES)
        if (fits(free_for(save), size)) return save;
    PASS_LOG("[%d] no free space for file", __LINE__);
    return nullptr;
}

bool is_dir(const char* path, bool& dir) {
    struct stat st;
    if (plat_stat(path, &st) != 0) {
        log_at("is_dir", __LINE__, "[%d] stat error: %s", __LINE__, std::strerror(errno));
        return false;
    }
    dir = S_ISDIR(st.st_mode);
    return true;
}

bool get_file_system_from_dir(const std::string& dir, std::string& name) {
    auto cmd = make_command(FS_PATH_SIZE, "df %s | sed '1d' | awk '{print $1}' | awk -F':' '{print $1}'", {dir});
    if (!cmd) {
        LOGF("[%d] command too long: df %s", __LINE__, dir.c_str());
        return false;
    }
    PipePtr pipe{plat_popen(cmd->c_str())};
    if (!pipe) {
        LOGF("[%d] popen error", __LINE__);
        return false;
    }
    // A longer first column is cut so that the name stays whole text.
    char buf[FS_NAME_SIZE] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, pipe.get());
    close_pipe(pipe);
    if (n == 0) {
        LOGF("[%d] fread len error", __LINE__);
        return false;
    }
    name.assign(buf, std::strlen(buf));
    if (!name.empty() && name.back() == '\n') name.pop_back();
    return true;
}

void rm_file(const char* path) {
    LOGF("rm file[%s]", path);
    if (run_pass_command(__func__, __LINE__, false, "rm -f %s", {path}) != 0) LOGF("rm_file error: %s", path);
}

// Step 1: a run cut off after the old content was moved finds it again, in
// the backup or in whichever save file holds it.
int find_old_copy(const system_command& c, const std::string& backup, std::string& savefile, int& enough_space) {
    PASS_LOG("[step_1]dp_check_backupfile");
    if (plat_exists(backup)) {
        PASS_LOG("%s is exist", backup.c_str());
        int h = holds(backup, c.md5old);
        if (h < 0) return -1;
        if (h == 0) {
            PASS_LOG("old not exist, and save file broken.");
            return -1;
        }
        enough_space = 1;
        return 0;
    }
    PASS_LOG("%s or %s is exist", SAVEFILE, SAVEFILE_EX);
    for (const char* save : SAVE_FILES) {
        if (!plat_exists(save)) continue;
        int h = holds(save, c.md5old);
        if (h < 0) return -1;
        if (h == 1) {
            savefile = save;
            enough_space = 0;
            return 0;
        }
    }
    PASS_LOG("old not exist, and save file broken.");
    return -1;
}

int move_to_save_file(const std::string& from, const std::string& target, int64_t size, const std::string& md5,
                      std::string& savefile) {
    const char* save = choose_save_file(size);
    if (!save) return -1;
    if (mv_file_ex(from.c_str(), save, md5.c_str()) != 0) {
        PASS_LOG("mv_file error, %s", std::strerror(errno));
        return -1;
    }
    savefile = save;
    PASS_LOG("[%d] mv_file ok %s -> %s", __LINE__, target.c_str(), save);
    PASS_LOG("[%d] free_space: %ld file_size: %ld", __LINE__, static_cast<long>(free_for(save)),
             static_cast<long>(size_of(save)));
    return 0;
}

// Step 2: the target holds the old content; move it beside itself when its
// file system has room for both, else to a save file.
int back_up(const system_command& c, const std::string& target, const std::string& backup, std::string& savefile,
            int& enough_space) {
    PASS_LOG("[step_2]dp_backup");
    std::string fs;
    if (!get_file_system(target.c_str(), fs)) {
        PASS_LOG("[%d] get_file_system failed", __LINE__);
        return -1;
    }
    enough_space = 0;
    if (fs.compare(0, 9, "overlayfs") == 0) {
        // A copy beside the file would live in the overlay's upper layer.
        PASS_LOG("is overlayfs");
    } else {
        rm_file_ex(backup.c_str(), c.md5old.c_str());
        if (fits(free_for(target), size_of(target))) {
            if (mv_file_ex(target.c_str(), backup.c_str(), c.md5old.c_str()) != 0) {
                PASS_LOG("mv %s error, %s", target.c_str(), std::strerror(errno));
                return -1;
            }
            int64_t free_space = free_for(target);
            int64_t size = size_of(backup);
            if (fits(free_space, size)) {
                PASS_LOG("[%d] mv_file ok %s -> %s", __LINE__, target.c_str(), backup.c_str());
                PASS_LOG("[%d] free_space: %ld file_size: %ld", __LINE__, static_cast<long>(free_space),
                         static_cast<long>(size));
                enough_space = 1;
                return 0;
            }
            // No room left for the new file beside the backup.
            PASS_LOG("free_space: [%ld] filesize: [%ld]", static_cast<long>(free_space), static_cast<long>(size));
            return move_to_save_file(backup, target, size, c.md5old, savefile);
        }
    }
    PASS_LOG("[%d] free_space[%s]: %ld free_space[%s]: %ld filesize: [%ld]", __LINE__, DIR_INSTALL,
             static_cast<long>(free_for(SAVEFILE)), "/system", static_cast<long>(free_for(SAVEFILE_EX)),
             static_cast<long>(size_of(target)));
    return move_to_save_file(target, target, size_of(target), c.md5old, savefile);
}

// Step 3: the new file from the old copy, verified, with its mode.
int patch_from_copy(const system_command& c, const std::string& target, const std::string& backup,
                    const std::string& savefile, int enough_space, bool& patched_from_save) {
    PASS_LOG("[step_3]dp_patch enough_space[%d]", enough_space);
    const std::string& old_file = enough_space ? backup : savefile;
    std::string patch = system_source(c) + ".p";
    // The digest is taken as the file is written: no second read of it.
    char cur[MD5_TEXT_SIZE] = {};
    if (patch_file_md5(old_file.c_str(), target.c_str(), patch.c_str(), cur) < 0) {
        PASS_LOG("patch_file old: %s", old_file.c_str());
        PASS_LOG("patch_file new: %s", target.c_str());
        PASS_LOG("patch_file patch: %s", patch.c_str());
        return -1;
    }
    if (!enough_space) patched_from_save = true;
    if (!md5_equal(cur, c.md5new.c_str())) {
        PASS_LOG("file patch failed, md5 cur: %s, new: %s", cur, c.md5new.c_str());
        return -1;
    }
    if (apply_mode("do_patch_file", target, c.mode) != 0) return -1;
    return 0;
}

void remove_copy(const std::string& path) {
    if (plat_unlink(path.c_str()) != 0) PASS_LOG("[%d] unlink %s failed, %s", __LINE__, path.c_str(), std::strerror(errno));
    else PASS_LOG("remove: %s", path.c_str());
}

}  // namespace

bool get_file_system(const char* path, std::string& name) {
    std::string dir = (path[0] != '.' && path[0] != '/') ? "./" : "";
    dir += path;
    if (dir.size() >= FS_PATH_SIZE) {
        LOGF("[%d] path too long: %s", __LINE__, path);
        return false;
    }
    bool directory = false;
    if (!is_dir(path, directory)) {
        LOGF("[%d] error", __LINE__);
        return false;
    }
    if (!directory) {
        size_t cut = dir.rfind('/');
        if (cut == std::string::npos) {
            LOGF("[%d] error not found", __LINE__);
            return false;
        }
        // A file right under the root lies on the root's file system.
        dir.resize(cut == 0 ? 1 : cut);
    }
    return get_file_system_from_dir(dir, name);
}

int mv_file_ex(const char* source, const char* destination, const char* md5) {
    char cur[MD5_TEXT_SIZE] = {};
    bool copy = true;
    if (plat_exists(destination)) {
        if (get_md5sum(destination, cur) != 0) {
            LOGF("Error,get_md5sum failed");
            return -1;
        }
        if (md5_equal(cur, md5)) {
            LOGF("Not need to copy");
            copy = false;
        }
    }
    // The source goes only once its copy is known to be whole.
    if (copy) {
        std::memset(cur, 0, sizeof cur);
        if (copy_file(source, destination) != 0 || get_md5sum(destination, cur) != 0 || !md5_equal(cur, md5)) {
            LOGF("[%d] copy file error: %s %s", __LINE__, source, destination);
            return -1;
        }
    }
    if (plat_unlink(source) != 0) {
        LOGF("[%d] unlink file error: %s", __LINE__, std::strerror(errno));
        return -1;
    }
    LOGF("sync remove %s", source);
    return 0;
}

void rm_file_ex(const char* backup, const char* md5) {
    if (!plat_exists(backup)) return;
    char cur[MD5_TEXT_SIZE] = {};
    if (get_md5sum(backup, cur) != 0) {
        LOGF("Error,get_md5sum failed");
        return;
    }
    if (md5_equal(cur, md5)) return;
    LOGF("rm damaged file[%s]", backup);
    rm_file(backup);
}

int do_patch_file() {
    std::string savefile;  // the save file a line of this pass chose
    bool patched_from_save = false;
    int ret = run_pass(__func__, "patchfile", "fopen UPDATER_SCRIPT_SYSTEM", "patch file",
                       [&](const system_command& c, int& count) {
        PASS_LOG("%s %s %s %s %o %o", c.keyword.c_str(), c.path.c_str(), c.md5old.c_str(), c.md5new.c_str(),
                 c.number, c.mode);
        std::string target = system_target(c);
        std::string backup = target + ".bak";
        int state = -1;  // 1 new, 0 old, -1 neither or missing
        if (plat_exists(target)) {
            char cur[MD5_TEXT_SIZE] = {};
            if (get_md5sum(target.c_str(), cur) != 0) {
                PASS_LOG("[%d] get_md5sum failed", __LINE__);
                return -1;
            }
            state = md5_equal(cur, c.md5new.c_str()) ? 1 : md5_equal(cur, c.md5old.c_str()) ? 0 : -1;
        }
        if (state == 1) {
            // A run cut off between the patch and the chmod.
            if (apply_mode("do_patch_file", target, c.mode) != 0) return -1;
        } else {
            int enough_space = 0;
            int r = state == 0 ? back_up(c, target, backup, savefile, enough_space)
                               : find_old_copy(c, backup, savefile, enough_space);
            if (r != 0 || patch_from_copy(c, target, backup, savefile, enough_space, patched_from_save) != 0)
                return -1;
            ++count;
            plat_sync();
            PASS_LOG("do_patch_file sync");
        }
        PASS_LOG("[step_4]dp_rmbak");
        if (plat_exists(backup)) remove_copy(backup);
        else if (!savefile.empty() && plat_exists(savefile) && patched_from_save) remove_copy(savefile);
        plat_sync();
        PASS_LOG("do_rmbak sync");
        return 0;
    });
    // Every file is new now: a save file left by a run cut off after its
    // patch holds nothing the device still needs.
    if (ret == 0)
        for (const char* save : SAVE_FILES)
            if (plat_exists(save)) remove_copy(save);
    return ret;
}
