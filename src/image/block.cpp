#include "image/block.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "context/device.h"
#include "context/package.h"
#include "context/partition_map.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/md5.h"
#include "image/diff.h"
#include "image/script.h"
#include "patch/patch_file.h"
#include "platform/platform.h"
#include "storage/emmc.h"
#include "storage/nand.h"
#include "storage/storage.h"

namespace {

constexpr size_t COPY_PIECE = 4096;
constexpr size_t BACKUP_STREAM_BUFFER = 64 * 1024;

struct block_line {
    std::string keyword;
    std::string partition;
    int32_t offset = 0;
    int32_t oldsize = 0;
    std::string md5old;
    int32_t newsize = 0;
    std::string md5new;
};

// The offset check of the flash kind, chosen like the offset-write dispatcher.
// 0 only when the partition holds the file's bytes at offset: a mismatch
// (1) is as much a failed write as an I/O error.
int check_at(const char* partition, const char* file, int32_t offset) {
    return flash_type == FLASH_EMMC ? mmc_check_partition_with_file_from_offset(partition, file, offset)
                                    : nand_check_partition_with_file_from_offset(partition, file, offset);
}

// 1: a patchblock line in `out`; 0: a line to pass over; -1: a line that
// does not fit (logged with the script and line).
int parse_block_line(const script_file& s, std::string line, block_line& out) {
    static const char* func = "do_patch_block";
    strip_carriage_return(line);
    std::vector<std::string_view> f = script_fields(line);
    if (f[0] != "patchblock") return 0;
    bool ok = script_field_text(func, s, f, 0, SCRIPT_NAME_SIZE, "keyword", out.keyword) &&
              script_field_text(func, s, f, 1, SCRIPT_NAME_SIZE, "partition", out.partition) &&
              script_field_int(func, s, f, 2, "offset", out.offset) &&
              script_field_int(func, s, f, 3, "old size", out.oldsize) &&
              script_field_text(func, s, f, 4, SCRIPT_DIGEST_SIZE, "old digest", out.md5old) &&
              script_field_int(func, s, f, 5, "new size", out.newsize) &&
              script_field_text(func, s, f, 6, SCRIPT_DIGEST_SIZE, "new digest", out.md5new);
    if (!ok) return -1;
    if (out.offset < 0 || out.oldsize < 0 || out.newsize < 0) {
        script_log_line_error(func, s, "negative offset or size");
        return -1;
    }
    return 1;
}

// The digest of size bytes of a partition from offset, read where the
// patcher finds them.
bool block_at(const char* partition, int32_t size, int32_t offset, old_image& at, char md5[MD5_TEXT_SIZE]) {
    if (!find_old_image(partition, size, offset, at)) return false;
    if (size > 0) return get_md5sum2_pair(at.path.c_str(), md5, size, md5, size, at.offset) == 0;
    std::snprintf(md5, MD5_TEXT_SIZE, "%s", "d41d8cd98f00b204e9800998ecf8427e");  // of nothing
    return true;
}

// A/B: the running slot's block patched into the other slot's block.
// 0: done or already new; -1: failure (logged). Without apply, only what
// would be done is checked.
int patch_block_ab(const block_line& b, const char* filepatch, bool apply) {
    static const char* func = "do_patch_block";
    char target[SCRIPT_NAME_SIZE] = {};
    char source[SCRIPT_NAME_SIZE] = {};
    char md5[MD5_TEXT_SIZE] = {};

    if (get_ab_pname(b.partition.c_str(), target, sizeof target, 1) != 0) {
        log_at(func, __LINE__, "Error, get_ab_pname failed");
        return -1;
    }
    log_at(func, __LINE__, "pname: %s", target);
    old_image at;
    if (!block_at(target, b.newsize, b.offset, at, md5)) {
        log_at(func, __LINE__, "Error, read partition[%s] to file[%s] failed", target, TMP_FILE_PT);
        return -1;
    }
    log_at(func, __LINE__, "md5:%s ,md5new :%s ", md5, b.md5new.c_str());
    if (script_digest_equal(md5, b.md5new)) {
        log_at(func, __LINE__, "%s is new,no need to upgrade ", filepatch);
        return 0;
    }

    log_at(func, __LINE__, "%s is no new ", target);
    if (get_ab_pname(b.partition.c_str(), source, sizeof source, 0) != 0) {
        log_at(func, __LINE__, "Error, get_ab_pname failed");
        return -1;
    }
    log_at(func, __LINE__, "pname: %s", source);
    std::memset(md5, 0, sizeof md5);
    if (!block_at(source, b.oldsize, b.offset, at, md5)) {
        log_at(func, __LINE__, "Error, read partition[%s] to file[%s] failed", source, TMP_FILE_PT);
        return -1;
    }
    log_at(func, __LINE__, "md5:%s ,md5_old :%s ", md5, b.md5old.c_str());

    // A block the old image does not reach has nothing to patch from: its
    // package file is the new block itself, whatever old digest is listed.
    if (b.oldsize > 0 && script_digest_equal(md5, b.md5old)) {
        log_at(func, __LINE__, "%s is old ", source);
        if (!apply) return prove_patch("do_patch_block", filepatch, b.md5new.c_str(), at);
        if (ab_patch_file_ex(target, filepatch, b.md5new.c_str(), b.offset, at) < 0) {
            log_at(func, __LINE__, "Error, ab_patch_file failed");
            return -1;
        }
        return 0;
    }
    if (b.oldsize > 0) {
        log_at(func, __LINE__, "Error, old partition[%s] not match, error", source);
        return -1;
    }
    log_at(func, __LINE__, "old small, new big");
    // Written as it stands, the block file must be the new block itself.
    std::memset(md5, 0, sizeof md5);
    if (get_md5sum(filepatch, md5) != 0 || get_file_size(filepatch) != b.newsize ||
        !script_digest_equal(md5, b.md5new)) {
        log_at(func, __LINE__, "Error, %s is not the new block of partition[%s] offset[%d], md5[%s]", filepatch,
               target, b.offset, md5);
        return -1;
    }
    if (!apply) return 0;
    if (write_file_from_offset_to_partition(target, filepatch, b.offset) < 0) {
        log_at(func, __LINE__, "%s failed", flash_type == FLASH_EMMC ? "mmc_write_file_from_offset_to_partition"
                                                                      : "nand_write_file_from_offset_to_partition");
        return -1;
    }
    if (check_at(target, filepatch, b.offset) != 0) {
        log_at(func, __LINE__, "%s failed", flash_type == FLASH_EMMC ? "mmc_check_partition_with_file_from_offset"
                                                                      : "nand_check_partition_with_file_from_offset");
        return -1;
    }
    return 0;
}

// NR: the block rewritten in place, the old block kept in BLOCK_BACKUP and
// the new one in SAVEFILE until it is verified on the partition.
int patch_block_nr(const block_line& b, const char* filepatch, bool apply) {
    static const char* func = "do_patch_block";
    char target[SCRIPT_NAME_SIZE] = {};
    char md5[MD5_TEXT_SIZE] = {};

    if (flash_type != FLASH_EMMC && flash_type != FLASH_NAND) {
        log_at(func, __LINE__, "Error, Unknown flash type[%d]!!!", flash_type);
        return -1;
    }
    if (get_nr_pname(b.partition.c_str(), target, sizeof target) != 0) {
        log_at(func, __LINE__, "Error, get_nr_pname failed");
        return -1;
    }
    log_at(func, __LINE__, flash_type == FLASH_NAND ? "nand pname: %s" : "pname: %s", target);

    int32_t readsize = b.oldsize > b.newsize ? b.oldsize : b.newsize;
    if (read_partition_to_file_ex(target, readsize, b.offset) < 0) {
        log_at(func, __LINE__, "Error, read partition[%s] to file[%s] failed", target, TMP_FILE_PT);
        return -1;
    }
    // Where both sizes are real and differ, one read yields both digests.
    char md5old[MD5_TEXT_SIZE] = {};
    bool both = b.oldsize > 0 && b.newsize > 0 && b.oldsize != b.newsize;
    if ((both ? get_md5sum2_pair(TMP_FILE_PT, md5, b.newsize, md5old, b.oldsize)
              : get_md5sum2(TMP_FILE_PT, md5, b.newsize)) != 0) {
        log_at(func, __LINE__, "Error, get_md5sum failed");
        return -1;
    }
    log_at(func, __LINE__, "md5:[%s]", md5);
    if (script_digest_equal(md5, b.md5new)) return 0;
    char md5head[MD5_TEXT_SIZE] = {};  // of the first new-size bytes
    std::memcpy(md5head, md5, sizeof md5head);

    if (plat_truncate(TMP_FILE_PT, b.oldsize) != 0) {
        log_at(func, __LINE__, "Error, truncate failed, %s", std::strerror(errno));
        return -1;
    }
    log_at(func, __LINE__, "is not new, check old");
    if (both) {
        std::memcpy(md5, md5old, sizeof md5);
    } else if (b.oldsize != b.newsize) {
        std::memset(md5, 0, sizeof md5);
        if (get_md5sum2(TMP_FILE_PT, md5, b.oldsize) != 0) {
            log_at(func, __LINE__, "Error, get_md5sum failed");
            return -1;
        }
    }

    char md5bak[MD5_TEXT_SIZE] = {};
    if (script_digest_equal(md5, b.md5old)) {
        log_at(func, __LINE__, "is old");
        if (!apply) return prove_patch("do_patch_block", filepatch, b.md5new.c_str());
        if (block_backup_file() != 0) {
            log_at(func, __LINE__, "Error, block_backup_file failed");
            return -1;
        }
        log_at(func, __LINE__, "block_backup size: %d", get_file_size(BLOCK_BACKUP));
        // The backup holds the old block's bytes: the digest of its first
        // new-size bytes is one already taken, and the line only logs it.
        std::memcpy(md5bak, b.newsize <= b.oldsize ? md5head : md5, sizeof md5bak);
        log_at(func, __LINE__, "md5_bak:[%s]", md5bak);
        if (process_savefile_ex(target, TMP_FILE_PT, filepatch, b.md5new.c_str(), b.offset) != 0) {
            log_at(func, __LINE__, "Error, process_savefile failed");
            return -1;
        }
        return 0;
    }

    log_at(func, __LINE__, "is not old or new, check backupfile");
    if (!plat_exists(BLOCK_BACKUP)) {
        log_at(func, __LINE__, "block_backup not exist");
        // A run whose write of this block failed removed the backup on its
        // way out but kept the verified save file: that still finishes the
        // block, where refusing would fail every later run.
        char md5save[MD5_TEXT_SIZE] = {};
        if (!plat_exists(SAVEFILE) || get_md5sum(SAVEFILE, md5save) != 0 || !script_digest_equal(md5save, b.md5new))
            return -1;
        log_at(func, __LINE__, "SAVEFILE holds the new block, writing it");
        if (!apply) return 0;
        if (process_savefile_ex(target, SAVEFILE, filepatch, b.md5new.c_str(), b.offset) != 0) {
            log_at(func, __LINE__, "Error, process_savefile failed");
            return -1;
        }
        return 0;
    }
    log_at(func, __LINE__, "block_backup exist");
    if (get_md5sum2(BLOCK_BACKUP, md5bak, b.newsize) != 0) {
        log_at(func, __LINE__, "Error, get_md5sum failed");
        return -1;
    }
    log_at(func, __LINE__, "md5_bak: [%s]", md5bak);
    int32_t baksize = get_file_size(BLOCK_BACKUP);
    log_at(func, __LINE__, "size: %d", baksize);
    // Writing back anything but this block's old content (a backup cut short,
    // or one of another package) would destroy the block for good.
    if (b.oldsize != b.newsize) {
        std::memset(md5bak, 0, sizeof md5bak);
        if (get_md5sum2(BLOCK_BACKUP, md5bak, b.oldsize) != 0) {
            log_at(func, __LINE__, "Error, get_md5sum failed");
            return -1;
        }
    }
    if (baksize != b.oldsize || !script_digest_equal(md5bak, b.md5old)) {
        log_at(func, __LINE__, "Error, block_backup[%s] is not the old block of partition[%s] offset[%d], md5[%s]",
               BLOCK_BACKUP, target, b.offset, md5bak);
        return -1;
    }
    if (!apply) return 0;
    if (write_file_from_offset_to_partition(target, BLOCK_BACKUP, b.offset) < 0) {
        log_at(func, __LINE__, "Error, write file[%s] to partition[%s] failed", BLOCK_BACKUP, target);
        return -1;
    }
    if (process_savefile_ex(target, BLOCK_BACKUP, filepatch, b.md5new.c_str(), b.offset) != 0) {
        log_at(func, __LINE__, "Error, process_savefile failed");
        return -1;
    }
    return 0;
}

// One patchblock line. 0 or -1; -2 when the walk must end without its
// clean-up (the image name is unknown).
int patch_one_block(const block_line& b, bool apply) {
    static const char* func = "do_patch_block";
    log_at(func, __LINE__, "%s %s offset[%d] md5old[%s] md5new[%s] oldsize[%d] newsize[%d]", b.keyword.c_str(),
           b.partition.c_str(), b.offset, b.md5old.c_str(), b.md5new.c_str(), b.oldsize, b.newsize);
    log_at(func, __LINE__, "block_size:%d ", BLOCK_SIZE);
    if (is_partition_upgraded(b.partition.c_str())) {
        log_at(func, __LINE__, "skip upgraded partition: %s", b.partition.c_str());
        return 0;
    }
    char imagename[SCRIPT_NAME_SIZE] = {};
    if (kelo_get_imagename_by_partiton(b.partition.c_str(), imagename, sizeof imagename) != 0) {
        log_at(func, __LINE__, "Error, Get imagename by partiton[%s] fail", b.partition.c_str());
        return -2;
    }
    log_at(func, __LINE__, "offset:%d ", b.offset);
    char filepatch[PATH_BUF_SIZE] = {};
    int n = std::snprintf(filepatch, sizeof filepatch, "%s/%s_chunk_%d.p", DIR_IMAGE.c_str(), imagename,
                          b.offset / BLOCK_SIZE);
    if (n < 0 || static_cast<size_t>(n) >= sizeof filepatch) {
        log_at(func, __LINE__, "Error, patch path of partition[%s] offset[%d] too long", b.partition.c_str(),
               b.offset);
        return -1;
    }
    log_at(func, __LINE__, "filepatch:%s ", filepatch);
    if (b.oldsize < 1 && b.newsize < 1) {
        log_at(func, __LINE__, "Error, size out of range");
        return -1;
    }
    return ab_system ? patch_block_ab(b, filepatch, apply) : patch_block_nr(b, filepatch, apply);
}

// Every line must fit before the first block changes: a line refused half
// way would leave a partition part new and part old, and every later run of
// the package would stop at the same line.
bool block_lines_fit() {
    script_file s;
    if (!script_open(s, UPDATER_SCRIPT_BLOCK_DIFF)) return false;
    std::string line;
    block_line b;
    for (int r; (r = script_next_line("do_patch_block", s, line)) != 0;)
        if (r < 0 || parse_block_line(s, line, b) < 0) return false;
    return true;
}

int walk_blocks(bool apply) {
    static const char* func = "do_patch_block";
    log_at(func, __LINE__, "%s enter", func);
    script_file s;
    if (!script_open(s, UPDATER_SCRIPT_BLOCK_DIFF)) {
        log_at(func, __LINE__, "open failed, maybe there is no partition need dfota update");
        return 0;
    }
    if (!block_lines_fit()) return -1;
    int result = 0;
    std::string line;
    for (;;) {
        int r = script_next_line(func, s, line);
        if (r == 0) break;
        if (r < 0) {
            result = -1;
            break;
        }
        block_line b;
        int p = parse_block_line(s, line, b);
        if (p == 0) continue;
        if (p < 0) {
            result = -1;
            break;
        }
        int ret = patch_one_block(b, apply);
        if (ret == -2) return -1;
        if (ret < 0) {
            result = -1;
            break;
        }
    }
    close_file(s.fp);
    plat_unlink(TMP_FILE_PT);
    // A check-only run never removes what a cut run left to finish from.
    if (apply) plat_unlink(BLOCK_BACKUP);
    return result;
}

}  // namespace

int do_patch_block() { return walk_blocks(true); }

int check_diff_block() { return plat_exists(UPDATER_SCRIPT_BLOCK_DIFF) ? walk_blocks(false) : 0; }

int ab_patch_file_ex(const char* target, const char* patch, const char* md5new, int32_t offset, const old_image& old) {
    bool ok = false;
    if (patch_to_new(__func__, patch, md5new, old) != 0) {
    } else if (write_file_from_offset_to_partition(target, TMP_FILE_NEW, offset) < 0) {
        LOGF("[%d] write file[%s] to partition[%s] offset[%d] failed", __LINE__, TMP_FILE_NEW, target, offset);
    } else if (check_at(target, TMP_FILE_NEW, offset) != 0) {
        LOGF("[%d] partition[%s] offset[%d] does not hold file[%s]", __LINE__, target, offset, TMP_FILE_NEW);
    } else {
        ok = true;
    }
    plat_unlink(TMP_FILE_NEW);
    if (!ok) return -1;
    plat_unlink(TMP_FILE_PT);
    return 0;
}

int block_backup_file() {
    FilePtr src{plat_fopen(TMP_FILE_PT, "rb")};
    if (!src) {
        LOGF("block_backup_file.fopen src failed");
        return -1;
    }
    // Declared before the stream, so that it outlives the stream's close.
    auto dst_buf = std::make_unique<char[]>(BACKUP_STREAM_BUFFER);
    FilePtr dst{plat_fopen(BLOCK_BACKUP, "wb")};
    if (!dst) {
        LOGF("block_backup_file.fopen dst failed");
        return -1;
    }
    // 20 MiB in 4 KiB writes would cost the flash a write call per piece.
    std::setvbuf(dst.get(), dst_buf.get(), _IOFBF, BACKUP_STREAM_BUFFER);
    unsigned char buf[COPY_PIECE];
    bool ok = true;
    for (;;) {
        size_t n = std::fread(buf, 1, sizeof buf, src.get());
        if (n == 0) {
            if (std::ferror(src.get())) {
                LOGF("block_backup_file.fread failed");
                ok = false;
            }
            break;
        }
        if (std::fwrite(buf, 1, n, dst.get()) != n) {
            LOGF("block_backup_file.fwrite failed");
            ok = false;
            break;
        }
    }
    close_file(src);
    // The backup is the only copy of the old block once its rewrite starts:
    // a close that loses buffered bytes is a failed backup.
    if (close_file(dst) != 0) {
        if (ok) LOGF("block_backup_file.fwrite failed");
        ok = false;
    }
    if (!ok) return -1;
    plat_sync();
    return 0;
}

int process_savefile_ex(const char* partition, const char* old_file, const char* patch, const char* md5new,
                        int32_t offset) {
    constexpr int flag = 2;
    LOGF("%s Entry, flag: %d", __func__, flag);
    // A save file verified just before a power cut is the new block already;
    // refusing it would fail every later run.
    int saved = savefile_is_new(__func__, md5new);
    if (saved < 0) return -1;
    if (saved == 0 && patch_to_savefile(__func__, old_image{old_file}, patch, md5new) != 0) return -1;
    if (write_file_from_offset_to_partition(partition, SAVEFILE, offset) < 0) {
        LOGF("[%d] write file[%s] to partition[%s] offset[%d] failed", __LINE__, SAVEFILE, partition, offset);
        return -1;
    }
    if (check_at(partition, SAVEFILE, offset) != 0) {
        LOGF("[%d] partition[%s] offset[%d] does not hold file[%s]", __LINE__, partition, offset, SAVEFILE);
        return -1;
    }
    plat_unlink(SAVEFILE);
    return 0;
}

int patch_diff_block() {
    if (!plat_exists(UPDATER_SCRIPT_BLOCK_DIFF)) {
        LOGF("file[%s] not exist, there is no system files need to update", UPDATER_SCRIPT_BLOCK_DIFF.c_str());
        return 0;
    }
    return do_patch_block();
}
