// NAND partitions over the MTD stream of good blocks.
#include "storage/nand.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/file_util.h"
#include "core/log.h"
#include "platform/platform.h"
#include "storage/emmc.h"
#include "storage/mtd.h"

namespace {

constexpr size_t kPiece = 4096;

struct ReadCloser {
    void operator()(mtd_read_context* ctx) const noexcept { mtd_read_close(ctx); }
};
using ReadCtx = std::unique_ptr<mtd_read_context, ReadCloser>;

// Scan and lookup shared by every operation; logs its own failures.
const mtd_partition* find_partition(const char* func, const char* partition) {
    if (mtd_scan_table() <= 0) {
        log_at(func, __LINE__, "scan part failed.");
        return nullptr;
    }
    const mtd_partition* p = mtd_find_by_name(partition);
    if (!p) log_at(func, __LINE__, "no mtd partition named \"%s\"", partition);
    return p;
}

ReadCtx open_for_read(const char* func, const char* partition) {
    const mtd_partition* p = find_partition(func, partition);
    if (!p) return nullptr;
    ReadCtx ctx{mtd_read_open(p)};
    if (!ctx) log_at(func, __LINE__, "can't read mtd partition \"%s\"", partition);
    return ctx;
}

mtd_write_context* open_for_write(const char* func, const char* partition) {
    const mtd_partition* p = find_partition(func, partition);
    if (!p) return nullptr;
    log_at(func, __LINE__, "partition[%s] name[%s] devive_index[mtd%d]", partition, p->name, p->device_index);
    mtd_write_context* ctx = mtd_write_open(p);
    if (!ctx) log_at(func, __LINE__, "can't write mtd partition \"%s\"", partition);
    return ctx;
}

int close_write(const char* func, mtd_write_context* ctx) {
    if (mtd_write_close(ctx) != 0) {
        log_at(func, __LINE__, "[%d] mtd_write_close error: %s", __LINE__, std::strerror(errno));
        return -1;
    }
    return 0;
}

// Copies the whole file into the write stream. The count copied, or -1.
int64_t copy_into(const char* func, mtd_write_context* ctx, FILE* in) {
    char buf[kPiece];
    int64_t total = 0;
    bool failed = false;
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
        if (mtd_write_data(ctx, buf, n) != static_cast<ssize_t>(n)) {
            log_at(func, __LINE__, "%s[%d] mtd_write_data error", func, __LINE__);
            failed = true;
            break;
        }
        total += static_cast<int64_t>(n);
    }
    if (!failed && std::ferror(in)) {
        log_at(func, __LINE__, "%s[%d] read error: %s", func, __LINE__, std::strerror(errno));
        failed = true;
    }
    log_at(func, __LINE__, "write success total %d", static_cast<int>(total));
    return failed ? -1 : total;
}

// Compares the stream at the context's position with the file. 0, 1 or -1.
int compare_stream(const char* func, mtd_read_context* ctx, FILE* in) {
    char want[kPiece], have[kPiece];
    int result = 0;
    int64_t total = 0;
    size_t n;
    while ((n = std::fread(want, 1, sizeof want, in)) > 0) {
        if (mtd_read_data(ctx, have, n) != static_cast<ssize_t>(n)) {
            log_at(func, __LINE__, "%s[%d] mtd_read_data error", func, __LINE__);
            result = -1;
            break;
        }
        if (std::memcmp(want, have, n) != 0) {
            log_at(func, __LINE__, "not same");
            result = 1;
            break;
        }
        total += static_cast<int64_t>(n);
    }
    if (result == 0 && std::ferror(in)) {
        log_at(func, __LINE__, "%s[%d] read error: %s", func, __LINE__, std::strerror(errno));
        result = -1;
    }
    log_at(func, __LINE__, "read success total %d", static_cast<int>(total));
    return result;
}

// Copies size bytes of the stream into the scratch file. 0 or -1.
int copy_out(const char* func, mtd_read_context* ctx, int32_t size) {
    FilePtr out{plat_fopen(TMP_FILE_PT, "w")};
    if (!out) {
        log_at(func, __LINE__, "%s[%d] open", func, __LINE__);
        return -1;
    }
    char buf[kPiece];
    int64_t left = size;
    while (left > 0) {
        size_t piece = left < static_cast<int64_t>(kPiece) ? static_cast<size_t>(left) : kPiece;
        ssize_t got = mtd_read_data(ctx, buf, piece);
        if (got != static_cast<ssize_t>(piece)) {
            log_at(func, __LINE__, "%s[%d] fread failed, %d/%d", func, __LINE__, static_cast<int>(got),
                   static_cast<int>(piece));
            return -1;
        }
        size_t put = std::fwrite(buf, 1, piece, out.get());
        if (put != piece) {
            log_at(func, __LINE__, "%s[%d] fwrite failed, %d/%d", func, __LINE__, static_cast<int>(put),
                   static_cast<int>(piece));
            return -1;
        }
        left -= static_cast<int64_t>(put);
    }
    if (close_file(out) != 0) {
        log_at(func, __LINE__, "%s[%d] fwrite failed: %s", func, __LINE__, std::strerror(errno));
        return -1;
    }
    return 0;
}

// A file larger than the good blocks from offset on fails only after some
// were erased: refuse it before the first. true when it fits.
bool fits_from(const char* func, const mtd_write_context* ctx, const char* file, const char* partition,
               int32_t offset) {
    const mtd_partition* p = ctx->partition;
    int64_t room = 0;
    for (int64_t pos = offset; pos + p->erase_size <= p->size; pos += p->erase_size)
        if (plat_mtd_bad_block(ctx->fd, static_cast<off_t>(pos)) <= 0) room += p->erase_size;
    int32_t size = get_file_size(file);
    if (size <= room) return true;
    log_at(func, __LINE__,
           "Error, %s (%d bytes) at offset %d is larger than partition[%s] (%lld bytes in good blocks)", file,
           size, offset, partition, static_cast<long long>(room));
    return false;
}

// Offsets are raw device offsets; a negative one counts by its magnitude.
off_t magnitude(int32_t offset) { return offset < 0 ? -static_cast<off_t>(offset) : offset; }

}  // namespace

int nand_write_file_to_partition(const char* partition, const char* file) {
    LOGF("%s Entry, partition: %s, file: %s", __func__, partition, file);
    mtd_write_context* ctx = open_for_write(__func__, partition);
    if (!ctx) return -1;
    FilePtr in{plat_fopen(file, "r")};
    if (!in) {
        LOGF("%s[%d] open error", __func__, __LINE__);
        close_write(__func__, ctx);
        return -1;
    }
    if (!fits_from(__func__, ctx, file, partition, 0)) {
        close_write(__func__, ctx);
        return -1;
    }
    time_t start = std::time(nullptr);
    int64_t total = copy_into(__func__, ctx, in.get());
    log_at("get_time_difference", __LINE__,
           "******************* time_difference: %.2f seconds *******************",
           std::difftime(std::time(nullptr), start));
    in.reset();
    // Pads the last block and erases the rest, so that nothing of the old
    // image survives behind the new one.
    if (mtd_erase_blocks(ctx, -1) == -1) LOGF("error erasing blocks of xxx");
    if (close_write(__func__, ctx) != 0) return -1;
    return total < 0 ? -1 : 0;
}

int nand_write_file_from_offset_to_partition(const char* partition, const char* file, int32_t offset) {
    LOGF("%s Entry, partition: %s, file: %s, offset: %d", __func__, partition, file, offset);
    mtd_write_context* ctx = open_for_write(__func__, partition);
    if (!ctx) return -1;
    FilePtr in{plat_fopen(file, "r")};
    if (!in) {
        LOGF("%s[%d] open error", __func__, __LINE__);
        close_write(__func__, ctx);
        return -1;
    }
    // A chunk starts on an erase block: anything else would make the write
    // rewrite bytes of the block before it that it cannot know to keep.
    const mtd_partition* p = ctx->partition;
    if (offset < 0 || static_cast<uint32_t>(offset) % p->erase_size != 0 ||
        static_cast<uint32_t>(offset) >= p->size || plat_mtd_seek(ctx->fd, offset, SEEK_SET) != offset) {
        LOGF("offset %d is not the start of an erase block of %s (0x%x bytes each, 0x%x in all)", offset, partition,
             p->erase_size, p->size);
        LOGF("%s[%d] fseek error", __func__, __LINE__);
        in.reset();
        close_write(__func__, ctx);
        return -1;
    }
    if (!fits_from(__func__, ctx, file, partition, offset)) {
        close_write(__func__, ctx);
        return -1;
    }
    int64_t total = copy_into(__func__, ctx, in.get());
    in.reset();
    // The blocks after the chunk hold the chunks that follow: keep them, and
    // keep the old bytes behind the chunk's end in its last block.
    int ret = total < 0 ? -1 : 0;
    if (ret == 0 && mtd_write_fill_from_device(ctx) != 0) {
        LOGF("%s[%d] mtd_write_data error: %s", __func__, __LINE__, std::strerror(errno));
        ret = -1;
    }
    if (close_write(__func__, ctx) != 0) return -1;
    return ret;
}

int nand_check_partition_with_file(const char* partition, const char* file) {
    LOGF("%s Entry, partition: %s, file: %s", __func__, partition, file);
    ReadCtx ctx = open_for_read(__func__, partition);
    if (!ctx) return -1;
    FilePtr in{plat_fopen(file, "r")};
    if (!in) {
        LOGF("%s[%d] open", __func__, __LINE__);
        return -1;
    }
    return compare_stream(__func__, ctx.get(), in.get());
}

int nand_check_partition_with_file_from_offset(const char* partition, const char* file, int32_t offset) {
    LOGF("%s Entry, partition: %s, file: %s, offset: %d", __func__, partition, file, offset);
    ReadCtx ctx = open_for_read(__func__, partition);
    if (!ctx) return -1;
    mtd_read_seek(ctx.get(), magnitude(offset));
    FilePtr in{plat_fopen(file, "r")};
    if (!in) {
        LOGF("%s[%d] open", __func__, __LINE__);
        return -1;
    }
    return compare_stream(__func__, ctx.get(), in.get());
}

int nand_read_partition_to_file(const char* partition, int32_t size) {
    LOGF("%s Entry, partition: %s, file: %s", __func__, partition, TMP_FILE_PT);
    const mtd_partition* p = find_partition(__func__, partition);
    if (!p) return -1;
    LOGF("%s partition:%s , mtd: %d", __func__, partition, p->device_index);
    ReadCtx ctx{mtd_read_open(p)};
    if (!ctx) {
        LOGF("can't read mtd partition \"%s\"", partition);
        return -1;
    }
    return copy_out(__func__, ctx.get(), size);
}

int nand_read_partition_from_offset_to_file(const char* partition, int32_t size, int32_t offset) {
    LOGF("%s Entry, partition: %s, file: %s, offset: %d", __func__, partition, TMP_FILE_PT, offset);
    ReadCtx ctx = open_for_read(__func__, partition);
    if (!ctx) return -1;
    mtd_read_seek(ctx.get(), magnitude(offset));
    return copy_out(__func__, ctx.get(), size);
}
