#include "image/check.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "context/device.h"
#include "context/package.h"
#include "context/partition_map.h"
#include "context/status.h"
#include "core/log.h"
#include "core/md5.h"
#include "image/diff.h"
#include "image/script.h"
#include "image/system_command.h"
#include "platform/platform.h"
#include "storage/storage.h"

namespace {

constexpr size_t PATCH_PATH_SIZE = 256;

// The per-line steps report as the check that runs them.
#define CHECK_LOG(...) log_at("do_check", __LINE__, __VA_ARGS__)
#define CHECK2_LOG(...) log_at("do_check2", __LINE__, __VA_ARGS__)

// A file that is missing or damaged is recoverable only from a backup that
// still holds the old content: the ".bak" beside it, else a save file.
bool check_system_line(const system_command& l) {
    char md5[MD5_TEXT_SIZE] = {};
    std::string file = DIR_ROOT + "/" + l.path;
    std::string filebak = file + ".bak";
    if (plat_exists(file.c_str())) {
        if (get_md5sum(file.c_str(), md5) != 0) {
            CHECK_LOG("Error, get_md5sum failed");
            return false;
        }
        if (md5_equal(md5, l.md5old.c_str()) || md5_equal(md5, l.md5new.c_str())) return true;
        CHECK_LOG("%s is damaged,md5[%s]", file.c_str(), md5);
    }
    CHECK_LOG("dc_check_backupfile filebak");
    if (plat_exists(filebak.c_str())) {
        std::memset(md5, 0, sizeof md5);
        if (get_md5sum(filebak.c_str(), md5) != 0) {
            CHECK_LOG("Error, get_md5sum failed");
            return false;
        }
        if (md5_equal(md5, l.md5old.c_str())) {
            CHECK_LOG("filebak is old file");
            return true;
        }
        CHECK_LOG("Error, check filebak %s error, md5 [%s], old_md5 [%s]", filebak.c_str(), md5, l.md5old.c_str());
        return false;
    }
    // A stale save file of another file may lie beside the one that holds
    // this file's old content.
    const char* savefile = "";
    for (const char* save : SAVE_FILES) {
        if (!plat_exists(save)) continue;
        savefile = save;
        CHECK_LOG("dc_check_backupfile SAVEFILE %s", savefile);
        std::memset(md5, 0, sizeof md5);
        if (get_md5sum(savefile, md5) != 0) {
            CHECK_LOG("Error, get_md5sum failed");
            return false;
        }
        if (md5_equal(md5, l.md5old.c_str())) {
            CHECK_LOG("SAVEFILE is old");
            return true;
        }
        CHECK_LOG("Error, check SAVEFILE %s error, md5 [%s], oldsum [%s]", savefile, md5, l.md5old.c_str());
    }
    CHECK_LOG("Error, dc_check_backupfile failed");
    CHECK_LOG("file:%s filebak:%s savefile:%s", file.c_str(), filebak.c_str(), savefile);
    CHECK_LOG("md5old:%s md5new:%s", l.md5old.c_str(), l.md5new.c_str());
    return false;
}

// A new target is listed; an old image is the patch's start (proven in /tmp
// by a check-only run); an NR partition holding neither must have a complete
// save file to finish from.
int check_partition(const image_diff_line& l, const char* patch, bool check_only) {
    image_probe p = probe_image_diff("do_check2", true, l);
    switch (p.state) {
    case image_state::is_new:
        if (ab_system) CHECK2_LOG("partition[%s] is new, don't need upgrade again", l.partition.c_str());
        else CHECK2_LOG("[%s] is new, don't need upgrade again", l.partition.c_str());
        append_file_line(UPGRADED_PARTITION_FILE, l.partition.c_str());
        return 0;
    case image_state::is_old: {
        int ret = check_only ? prove_patch("do_check2", patch, l.md5new.c_str(), p.old) : 0;
        if (ab_system) plat_unlink(TMP_FILE_PT);
        return ret;
    }
    case image_state::neither:
        if (ab_system) return -1;
        if (process_savefile(p.target, patch, l.md5new.c_str(), SAVEFILE_CHECK, check_only) != 0) {
            CHECK2_LOG("process_savefile failed");
            return -1;
        }
        return 0;
    default:
        return -1;
    }
}

}  // namespace

int do_check() {
    LOGF("%s Enter", __func__);
    script_file s;
    if (!script_open(s, UPDATER_SCRIPT_SYSTEM)) {
        LOGF("open file[%s] failed, there is no system file need to update", UPDATER_SCRIPT_SYSTEM.c_str());
        return 0;
    }
    int count = 1;
    int ret = 0;
    std::string line;
    for (;;) {
        int r = script_next_line(__func__, s, line);
        if (r == 0) break;
        // Every command line must fit its pattern before anything changes;
        // the patched files must each be recoverable.
        system_command l;
        int p = r < 0 ? -1 : parse_system_command(__func__, s, line, nullptr, l);
        if (p == 0 || (p > 0 && l.keyword != "patchfile")) continue;
        if (p > 0) {
            LOGF("check %s %s %s %s %o %o", l.keyword.c_str(), l.path.c_str(), l.md5old.c_str(), l.md5new.c_str(),
                 l.number, l.mode);
            if (check_system_line(l)) {
                ++count;
                continue;
            }
        }
        ret = -1;
        break;
    }
    close_file(s.fp);
    LOGF("check file success count: %d", count - 1);
    return ret;
}

int do_check2(bool check_only) {
    LOGF("%s", __func__);
    plat_unlink(UPGRADED_PARTITION_FILE);
    script_file s;
    if (!script_open(s, UPDATER_SCRIPT_IMAGE_DIFF)) {
        LOGF("open UPDATER_SCRIPT_IMAGE_DIFF failed, there is no partition need IMAGE_DIFF update");
        return 0;
    }
    int ret = 0;
    std::string line;
    for (;;) {
        int r = script_next_line(__func__, s, line);
        if (r == 0) break;
        image_diff_line l;
        int p = r < 0 ? -1 : parse_image_diff_line(__func__, s, line, l);
        if (p < 0) {
            ret = -1;
            break;
        }
        if (p == 0) continue;
        LOGF("%s %s md5old[%s] md5new[%s] oldsize[%d] newsize[%d]", l.keyword.c_str(), l.partition.c_str(),
             l.md5old.c_str(), l.md5new.c_str(), l.oldsize, l.newsize);
        char imagename[SCRIPT_NAME_SIZE] = {};
        if (kelo_get_imagename_by_partiton(l.partition.c_str(), imagename, sizeof imagename) != 0) {
            LOGF("Error, Get imagename by partiton[%s] fail", l.partition.c_str());
            return -1;
        }
        char patch[PATCH_PATH_SIZE] = {};
        std::snprintf(patch, sizeof patch, "%s/%s.p", DIR_IMAGE.c_str(), imagename);
        if (l.oldsize < 1 || l.newsize < 1) {
            LOGF("size error");
            ret = -1;
            break;
        }
        if (check_partition(l, patch, check_only) != 0) {
            ret = -1;
            break;
        }
    }
    close_file(s.fp);
    plat_unlink(TMP_FILE_PT);
    return ret;
}
