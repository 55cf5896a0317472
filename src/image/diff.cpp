#include "image/diff.h"

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
#include "core/log.h"
#include "core/md5.h"
#include "patch/patch_file.h"
#include "platform/platform.h"
#include "storage/emmc.h"
#include "storage/storage.h"

namespace {

constexpr size_t PATCH_PATH_SIZE = 256;

// The per-partition steps report as the walk that runs them.
constexpr const char* kWalk = "patch_diff_partition";
#define WALK_LOG(...) log_at(kWalk, __LINE__, __VA_ARGS__)


// Writes SAVEFILE over the partition and verifies it. The save file goes only
// once the partition is known to hold it: until then it is what lets the next
// run finish the write.
int write_savefile(const char* func, const char* partition) {
    if (write_file_to_partition(partition, SAVEFILE) < 0) {
        log_at(func, __LINE__, "[%d] write %s to partition[%s] failed", __LINE__, SAVEFILE, partition);
        return -1;
    }
    if (check_partition_with_file(partition, SAVEFILE) < 0) {
        log_at(func, __LINE__, "[%d] partition[%s] does not hold %s", __LINE__, partition, SAVEFILE);
        return -1;
    }
    plat_unlink(SAVEFILE);
    return 0;
}

// A/B: the target already new is left alone; otherwise the running slot must
// hold the old image, which is patched into the target.
int patch_ab_partition(const image_diff_line& l, const char* patch) {
    image_probe p = probe_image_diff(kWalk, false, l);
    if (p.state == image_state::is_new) return 0;
    if (p.state != image_state::is_old) return -1;
    if (ab_patch_file(p.target, patch, l.md5new.c_str(), p.old) != 0) {
        WALK_LOG("Error, ab_patch_file failed");
        return -1;
    }
    return 0;
}

// NR: the partition is rewritten in place through SAVEFILE.
int patch_nr_partition(const image_diff_line& l, const char* patch) {
    image_probe p = probe_image_diff(kWalk, false, l);
    if (p.state == image_state::is_new) return 0;
    if (p.state == image_state::failed) return -1;
    int flag = p.state == image_state::is_old ? SAVEFILE_PATCH : SAVEFILE_RESUME;
    if (process_savefile(p.target, patch, l.md5new.c_str(), flag, false, p.old) != 0) {
        WALK_LOG("Error, process_savefile failed");
        return -1;
    }
    return 0;
}

// The words of the check (c) or of the patch stage (p).
const char* say(bool check, const char* c, const char* p) { return check ? c : p; }

// failed: the stage's message for a partition that cannot be read.
bool locate(const char* func, const char* failed, const char* partition, int32_t size, old_image& at,
            image_probe& p) {
    if (!find_old_image(partition, size, -1, at)) {
        log_at(func, __LINE__, failed, partition, TMP_FILE_PT);
        return false;
    }
    p.read[p.read[0].empty() ? 0 : 1] = flash_type == FLASH_EMMC ? at.path : partition;
    return true;
}

// What the check stage found of each image-diff line, for the patch stage:
// it holds while no write began on a partition it read. A NAND partition's
// old image must be copied again anyway; only its being new is taken over.
struct learned_probe {
    std::string line;
    image_probe probe;
    uint32_t writes = 0;
};
std::vector<learned_probe> g_learned;

std::string line_key(const image_diff_line& l) {
    return l.partition + "," + std::to_string(l.oldsize) + "," + l.md5old + "," + std::to_string(l.newsize) + "," +
           l.md5new;
}

uint32_t writes_on(const image_probe& p) {
    uint32_t n = 0;
    for (const std::string& at : p.read)
        if (!at.empty()) n += partition_writes(at.c_str());
    return n;
}

const char* state_word(image_state s) {
    return s == image_state::is_new ? "new" : s == image_state::is_old ? "old" : "neither old nor new";
}

// NR: one read of the larger size serves both digests.
void probe_nr(const char* func, bool check, const image_diff_line& l, image_probe& p) {
    char md5new[MD5_TEXT_SIZE] = {}, md5old[MD5_TEXT_SIZE] = {};
    if (flash_type == FLASH_NAND) {
        if (get_nr_pname(l.partition.c_str(), p.target, sizeof p.target) != 0) {
            log_at(func, __LINE__, say(check, "get_nr_pname failed", "Error, get_nr_pname failed"));
            return;
        }
        log_at(func, __LINE__, "nand pname: %s", p.target);
    } else if (flash_type == FLASH_EMMC) {
        // current_slot stays 0 on an NR system, so this is the B name: the
        // map of an NR eMMC device lists its one copy there.
        if (get_ab_pname(l.partition.c_str(), p.target, sizeof p.target, 1) != 0) {
            log_at(func, __LINE__, say(check, "get_ab_pname failed", "Error, get_ab_pname failed"));
            return;
        }
        log_at(func, __LINE__, "pname: %s", p.target);
    } else {
        log_at(func, __LINE__, say(check, "Error, Unkonwn flash type[%d]", "Error, Unknown flash type[%d]!!!"),
               flash_type);
        return;
    }
    if (!locate(func, say(check, "read partiton[%s] to file[%s] failed", "Error, read partition[%s] to file[%s] failed"),
                p.target, std::max(l.oldsize, l.newsize), p.old, p))
        return;
    if (get_md5sum2_pair(p.old.path.c_str(), md5new, l.newsize, md5old, l.oldsize) != 0) {
        log_at(func, __LINE__, say(check, "get_md5sum failed", "Error, get_md5sum failed"));
        return;
    }
    if (check) log_at(func, __LINE__, "pnamenew[%s] md5: %s", p.target, md5new);
    else log_at(func, __LINE__, "md5: %s", md5new);
    if (script_digest_equal(md5new, l.md5new)) {
        p.state = image_state::is_new;
        return;
    }
    if (check) log_at(func, __LINE__, "[%s] is not new, check old", l.partition.c_str());
    p.old.size = l.oldsize;
    if (p.old.path == TMP_FILE_PT && plat_truncate(TMP_FILE_PT, l.oldsize) != 0) {
        log_at(func, __LINE__, say(check, "truncate failed, %s", "Error, truncate failed, %s"), std::strerror(errno));
        return;
    }
    if (check) log_at(func, __LINE__, "old partiton md5: %s", md5old);
    else log_at(func, __LINE__, "is not new, check old");
    bool old = script_digest_equal(md5old, l.md5old);
    if (check) {
        log_at(func, __LINE__, old ? "[%s] is old" : "[%s] is not old or new, check backupfile", l.partition.c_str());
    } else {
        log_at(func, __LINE__, old ? "is old" : "is not old or new, check backupfile");
    }
    p.state = old ? image_state::is_old : image_state::neither;
}

// A/B: a new target, else the running slot must hold the old image.
void probe_ab(const char* func, bool check, const image_diff_line& l, image_probe& p) {
    char md5[MD5_TEXT_SIZE] = {};
    if (get_ab_pname(l.partition.c_str(), p.target, sizeof p.target, 1) != 0) {
        log_at(func, __LINE__, say(check, "get_ab_pname failed", "Error, get_ab_pname failed"));
        return;
    }
    log_at(func, __LINE__, "pname: %s", p.target);
    if (!locate(func, say(check, "read partition[%s] to file[%s] failed", "Error, read partition[%s] to file[%s] failed"),
                p.target, l.newsize, p.old, p))
        return;
    if (get_md5sum2(p.old.path.c_str(), md5, l.newsize) != 0) {
        log_at(func, __LINE__, say(check, "get_md5sum failed", "Error, get_md5sum failed"));
        return;
    }
    if (script_digest_equal(md5, l.md5new)) {
        p.state = image_state::is_new;
        return;
    }
    if (get_ab_pname(l.partition.c_str(), p.source, sizeof p.source, 0) != 0) {
        if (check) log_at(func, __LINE__, "get partiton[%s]'s name failed", l.partition.c_str());
        else log_at(func, __LINE__, "Error, get_ab_pname failed");
        return;
    }
    log_at(func, __LINE__, "pname: %s", p.source);
    if (!locate(func, say(check, "read partiton[%s] to file[%s] failed", "Error, read partition[%s] to file[%s] failed"),
                p.source, l.oldsize, p.old, p))
        return;
    std::memset(md5, 0, sizeof md5);
    if (get_md5sum2(p.old.path.c_str(), md5, l.oldsize) != 0) {
        log_at(func, __LINE__, say(check, "get_md5sum failed", "Error, get_md5sum failed"));
        return;
    }
    if (!script_digest_equal(md5, l.md5old)) {
        if (check) log_at(func, __LINE__, "Error,old partition[%s][%s] not match", p.source, md5);
        else log_at(func, __LINE__, "Error, old partition[%s] not match, error", p.source);
        p.state = image_state::neither;
        return;
    }
    if (check) log_at(func, __LINE__, "partiton[%s] is old, need to upgrade", l.partition.c_str());
    p.state = image_state::is_old;
}

}  // namespace

bool find_old_image(const char* partition, int32_t size, int32_t offset, old_image& at) {
    if (flash_type != FLASH_EMMC) {
        at = old_image{};
        return (offset < 0 ? read_partition_to_file(partition, size)
                           : read_partition_to_file_ex(partition, size, offset)) == 0;
    }
    offset = std::max(offset, 0);
    char dev[MMC_DEV_PATH_SIZE] = {};
    if (mmc_partition_node(partition, dev, static_cast<int64_t>(offset) + size) != 0) return false;
    at = old_image{dev, size, offset};
    return true;
}

image_probe probe_image_diff(const char* func, bool check, const image_diff_line& l) {
    std::string key = line_key(l);
    auto it = std::find_if(g_learned.begin(), g_learned.end(), [&](const learned_probe& k) { return k.line == key; });
    if (!check && it != g_learned.end() && it->writes == writes_on(it->probe) &&
        (flash_type == FLASH_EMMC || it->probe.state == image_state::is_new)) {
        log_at(func, __LINE__, "partition[%s] %s, as the check found it", it->probe.target, state_word(it->probe.state));
        return it->probe;
    }
    image_probe p;
    (ab_system ? probe_ab : probe_nr)(func, check, l, p);
    if (check && p.state != image_state::failed) {
        if (it != g_learned.end()) g_learned.erase(it);
        g_learned.push_back({key, p, writes_on(p)});
    }
    return p;
}

int parse_image_diff_line(const char* func, const script_file& s, std::string& line, image_diff_line& out) {
    strip_carriage_return(line);
    std::vector<std::string_view> f = script_fields(line);
    if (f[0].empty()) return 0;
    if (!script_field_text(func, s, f, 0, SCRIPT_NAME_SIZE, "keyword", out.keyword)) return -1;
    if (out.keyword != "patchfile") return 0;
    bool ok = script_field_text(func, s, f, 1, SCRIPT_NAME_SIZE, "partition", out.partition) &&
              script_field_int(func, s, f, 2, "old size", out.oldsize) &&
              script_field_text(func, s, f, 3, SCRIPT_DIGEST_SIZE, "old md5", out.md5old) &&
              script_field_int(func, s, f, 4, "new size", out.newsize) &&
              script_field_text(func, s, f, 5, SCRIPT_DIGEST_SIZE, "new md5", out.md5new);
    return ok ? 1 : -1;
}

int patch_diff_partition() {
    LOGF("%s enter", __func__);
    script_file s;
    if (!script_open(s, UPDATER_SCRIPT_IMAGE_DIFF)) {
        LOGF("open failed, maybe there is no partition need dfota update");
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
        if (is_partition_upgraded(l.partition.c_str())) {
            LOGF("skip upgraded partition: %s", l.partition.c_str());
            continue;
        }
        char imagename[SCRIPT_NAME_SIZE] = {};
        if (kelo_get_imagename_by_partiton(l.partition.c_str(), imagename, sizeof imagename) != 0) {
            LOGF("Error, Get imagename by partiton[%s] fail", l.partition.c_str());
            return -1;
        }
        char patch[PATCH_PATH_SIZE] = {};
        std::snprintf(patch, sizeof patch, "%s/%s.p", DIR_IMAGE.c_str(), imagename);
        if (l.oldsize < 1 || l.newsize < 1) {
            LOGF("Error, size out of range");
            ret = -1;
            break;
        }
        if ((ab_system ? patch_ab_partition(l, patch) : patch_nr_partition(l, patch)) != 0) {
            ret = -1;
            break;
        }
    }
    close_file(s.fp);
    plat_unlink(TMP_FILE_PT);
    return ret;
}

int patch_to_new(const char* func, const char* patch, const char* md5new, const old_image& old) {
    char md5[MD5_TEXT_SIZE] = {};
    if (patch_file_md5(old.path.c_str(), TMP_FILE_NEW, patch, md5, old.size, old.offset) < 0) {
        log_at(func, __LINE__, "[%d] patch_file failed", __LINE__);
    } else if (!script_digest_equal(md5, md5new)) {
        log_at(func, __LINE__, "[%d] patched file not same with new", __LINE__);
    } else {
        return 0;
    }
    return -1;
}

int prove_patch(const char* func, const char* patch, const char* md5new, const old_image& old) {
    int ret = patch_to_new(func, patch, md5new, old);
    plat_unlink(TMP_FILE_NEW);
    return ret;
}

int ab_patch_file(const char* target, const char* patch, const char* md5new, const old_image& old) {
    bool ok = false;
    // A patched image that is not exactly the new one must never reach the
    // target: check it before the first byte is written.
    if (patch_to_new(__func__, patch, md5new, old) != 0) {
    } else if (write_file_to_partition(target, TMP_FILE_NEW) < 0) {
        LOGF("[%d] write %s to partition[%s] failed", __LINE__, TMP_FILE_NEW, target);
    } else if (check_partition_with_file(target, TMP_FILE_NEW) < 0) {
        LOGF("[%d] partition[%s] does not hold %s", __LINE__, target, TMP_FILE_NEW);
    } else {
        ok = true;
    }
    plat_unlink(TMP_FILE_NEW);
    if (!ok) return -1;
    plat_unlink(TMP_FILE_PT);
    return 0;
}

int savefile_is_new(const char* func, const char* md5new, bool keep) {
    char md5[MD5_TEXT_SIZE] = {};
    if (plat_exists(SAVEFILE)) {
        log_at(func, __LINE__, "SAVEFILE exist");
        if (get_md5sum(SAVEFILE, md5) != 0) {
            log_at(func, __LINE__, "[%d] get_md5sum failed", __LINE__);
            return -1;
        }
        if (script_digest_equal(md5, md5new)) {
            log_at(func, __LINE__, "[%d] SAVEFILE is new", __LINE__);
            return 1;
        }
    }
    if (!keep) plat_unlink(SAVEFILE);
    return 0;
}

int patch_to_savefile(const char* func, const old_image& old, const char* patch, const char* md5new) {
    log_at(func, __LINE__, "[%d] do patch", __LINE__);
    char md5[MD5_TEXT_SIZE] = {};
    if (patch_file_md5(old.path.c_str(), SAVEFILE, patch, md5, old.size, old.offset) < 0) {
        log_at(func, __LINE__, "[%d] patch_file failed", __LINE__);
        // A save file cut short (a full /data) is no copy of anything.
        plat_unlink(SAVEFILE);
        return -1;
    }
    if (!script_digest_equal(md5, md5new)) {
        log_at(func, __LINE__, "[%d] patched file not same with new", __LINE__);
        plat_unlink(SAVEFILE);
        return -1;
    }
    return 0;
}

int process_savefile(const char* partition, const char* patch, const char* md5new, int flag, bool keep,
                     const old_image& old) {
    LOGF("%s Entry, flag: %d", __func__, flag);
    int saved = savefile_is_new(__func__, md5new, keep);
    if (saved < 0) return -1;
    if (saved > 0 && flag == SAVEFILE_CHECK) {
        LOGF("[%d] check ok", __LINE__);
        return 0;
    }
    // A save file already new with the old image still in place is a run cut
    // after the save file was complete: writing it is all that is left.
    if (saved == 0) {
        if (flag != SAVEFILE_PATCH) {
            LOGF("[%d] Invalid flag: %d", __LINE__, flag);
            return -1;
        }
        if (patch_to_savefile(__func__, old, patch, md5new) != 0) return -1;
    } else if (flag != SAVEFILE_RESUME && flag != SAVEFILE_PATCH) {
        LOGF("[%d] Invalid flag: %d", __LINE__, flag);
        return -1;
    }
    return write_savefile(__func__, partition);
}
