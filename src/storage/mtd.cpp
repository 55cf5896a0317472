// The MTD block layer. NAND is erased a block at a time, grows bad blocks
// and can return uncorrectable data, so every block written is erased,
// programmed and read back, and every block read is checked against the ECC
// counters and the bad-block table. Callers see only good blocks, as one
// stream.
#include "storage/mtd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

mtd_partition* mtd_table = nullptr;
int mtd_table_count = -1;

namespace {

constexpr size_t kProcMtdSize = 2048;
constexpr const char* kProcMtd = "/proc/mtd";

off_t current_position(int fd) {
    off_t pos;
    do {
        pos = plat_mtd_seek(fd, 0, SEEK_CUR);
    } while (pos < 0 && errno == EINTR);
    return pos;
}

// Reads or writes exactly len bytes at the descriptor's position; short
// transfers are retried, interruptions repeated. False on error or end.
bool transfer_all(int fd, unsigned char* buf, size_t len, bool writing) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = writing ? plat_mtd_write(fd, buf + done, len - done) : plat_mtd_read(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = writing ? ENOSPC : EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads /proc/mtd whole, up to the buffer. False on an open or read error.
bool read_proc_mtd(char* text, size_t cap, size_t* len, bool* overflow) {
    UniqueFd fd{plat_open(kProcMtd, O_RDONLY | O_CLOEXEC)};
    if (!fd) return false;
    size_t got = 0;
    *overflow = false;
    for (;;) {
        if (got == cap - 1) {
            char probe;
            ssize_t n;
            do {
                n = ::read(fd.get(), &probe, 1);
            } while (n < 0 && errno == EINTR);
            *overflow = n > 0;
            break;
        }
        ssize_t n = ::read(fd.get(), text + got, cap - 1 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    text[got] = '\0';
    *len = got;
    return true;
}

const char* translated_name(const char* name) {
    if (std::strcmp(name, "appsbl") == 0) return "aboot";
    if (std::strcmp(name, "apps") == 0) return "boot";
    return name;
}

// Parses one complete line of the table into its slot. A line that is not a
// partition line (the header), or that is cut short, is skipped.
int scan_line(const char* line) {
    int index = -1;
    unsigned int size = 0, erase_size = 0;
    char name[64] = {};
    int end = 0;
    if (std::sscanf(line, "mtd%d: %x %x \"%63[^\"]\"%n", &index, &size, &erase_size, name, &end) != 4 || end == 0)
        return 0;
    if (index < 0 || index >= MTD_MAX_PARTITIONS) {
        std::fprintf(stderr, "mtd: ignoring mtd%d: device numbers go from 0 to %d\n", index, MTD_MAX_PARTITIONS - 1);
        return 0;
    }
    if (erase_size == 0 || size % erase_size != 0) {
        std::fprintf(stderr, "mtd: ignoring mtd%d: size 0x%x is not a whole number of 0x%x-byte erase blocks\n",
                     index, size, erase_size);
        return 0;
    }
    mtd_partition& slot = mtd_table[index];
    char* copy = strdup(translated_name(name));
    if (!copy) {
        errno = ENOMEM;
        return -1;
    }
    bool counted = slot.device_index >= 0;
    std::free(slot.name);
    slot.device_index = index;
    slot.size = size;
    slot.erase_size = erase_size;
    slot.name = copy;
    return counted ? 0 : 1;
}

int read_ecc(int fd, plat_mtd_ecc_stats* stats) {
    if (plat_mtd_get_ecc_stats(fd, stats) != 0) {
        std::fprintf(stderr, "mtd: ECCGETSTATS error (%s)\n", std::strerror(errno));
        return -1;
    }
    return 0;
}

// One good block at or after the descriptor's position into buf.
int read_block(const mtd_partition* partition, int fd, unsigned char* buf) {
    plat_mtd_ecc_stats before{}, after{};
    if (read_ecc(fd, &before) != 0) return -1;
    off_t pos = current_position(fd);
    if (pos < 0) {
        std::fprintf(stderr, "mtd: read_block: couldn't SEEK_CUR: %s\n", std::strerror(errno));
        return -1;
    }
    const uint32_t es = partition->erase_size;
    for (;; pos += es) {
        if (pos + static_cast<off_t>(es) > static_cast<off_t>(partition->size)) {
            errno = ENOSPC;
            return -1;
        }
        if (plat_mtd_seek(fd, pos, SEEK_SET) != pos || !transfer_all(fd, buf, es, false)) {
            std::fprintf(stderr, "mtd: read error at 0x%08lx (%s)\n", static_cast<unsigned long>(pos),
                         std::strerror(errno));
            continue;
        }
        if (read_ecc(fd, &after) != 0) return -1;
        if (after.failed != before.failed) {
            std::fprintf(stderr, "mtd: ECC errors (%d soft, %d hard) at 0x%08lx\n",
                         static_cast<int>(after.corrected - before.corrected),
                         static_cast<int>(after.failed - before.failed), static_cast<unsigned long>(pos));
            before = after;
            continue;
        }
        int bad = plat_mtd_bad_block(fd, pos);
        if (bad == 0) return 0;
        std::fprintf(stderr, "mtd: MEMGETBADBLOCK returned %d at 0x%08llx: %s\n", bad,
                     static_cast<unsigned long long>(pos), std::strerror(errno));
    }
}

// One erase block of data into the next block that takes it.
int write_block(mtd_write_context* ctx, const unsigned char* data) {
    const int fd = ctx->fd;
    off_t pos = current_position(fd);
    if (pos < 0) {
        std::printf("mtd: write_block: couldn't SEEK_CUR: %s\n", std::strerror(errno));
        return -1;
    }
    const uint32_t es = ctx->partition->erase_size;
    for (;; pos += es) {
        if (pos + static_cast<off_t>(es) > static_cast<off_t>(ctx->partition->size)) {
            errno = ENOSPC;
            return -1;
        }
        int bad = plat_mtd_bad_block(fd, pos);
        if (bad != 0 && !(bad < 0 && errno == EOPNOTSUPP)) {
            std::fprintf(stderr, "mtd: not writing bad block at 0x%08lx (ret %d): %s\n",
                         static_cast<unsigned long>(pos), bad, std::strerror(errno));
            continue;
        }
        for (int retry = 0; retry < 2; ++retry) {
            if (plat_mtd_erase(fd, static_cast<uint32_t>(pos), es) != 0) {
                std::fprintf(stderr, "mtd: erase failure at 0x%08lx (%s)\n", static_cast<unsigned long>(pos),
                             std::strerror(errno));
                continue;
            }
            if (plat_mtd_seek(fd, pos, SEEK_SET) != pos ||
                !transfer_all(fd, const_cast<unsigned char*>(data), es, true)) {
                // The read-back below finds what the failed program left.
                std::printf("mtd: write error at 0x%08lx (%s)\n", static_cast<unsigned long>(pos),
                            std::strerror(errno));
            }
            if (plat_mtd_seek(fd, pos, SEEK_SET) != pos || !transfer_all(fd, ctx->verify, es, false)) {
                std::printf("mtd: re-read error at 0x%08lx (%s)\n", static_cast<unsigned long>(pos),
                            std::strerror(errno));
                continue;
            }
            if (std::memcmp(data, ctx->verify, es) != 0) {
                std::fprintf(stderr, "mtd: verification error at 0x%08lx (%s)\n", static_cast<unsigned long>(pos),
                             std::strerror(errno));
                continue;
            }
            if (retry != 0) std::fprintf(stderr, "mtd: wrote block after %d retries\n", retry);
            std::printf("mtd: successfully wrote block at %lx\n", static_cast<unsigned long>(pos));
            return 0;
        }
        std::fprintf(stderr, "mtd: skipping write block at 0x%08lx\n", static_cast<unsigned long>(pos));
        // No half-programmed data may stay behind in a block we give up on.
        plat_mtd_erase(fd, static_cast<uint32_t>(pos), es);
    }
}

// The device must agree with the table about the erase block, or every
// erase would miss its block.
bool geometry_matches(int fd, const mtd_partition* partition) {
    uint32_t size = 0, erase_size = 0;
    if (plat_mtd_info(fd, &size, &erase_size) != 0) return false;
    if (erase_size != partition->erase_size || size < partition->size) {
        std::fprintf(stderr, "mtd: mtd%d has 0x%x-byte blocks and 0x%x bytes, /proc/mtd says 0x%x and 0x%x\n",
                     partition->device_index, erase_size, size, partition->erase_size, partition->size);
        errno = EINVAL;
        return false;
    }
    return true;
}

}  // namespace

int mtd_scan_table() {
    if (mtd_table && mtd_table_count > 0) return mtd_table_count;
    if (!mtd_table) {
        mtd_table = static_cast<mtd_partition*>(std::calloc(MTD_MAX_PARTITIONS, sizeof(mtd_partition)));
        if (!mtd_table) {
            errno = ENOMEM;
            return -1;
        }
    }
    mtd_table_count = 0;
    for (int i = 0; i < MTD_MAX_PARTITIONS; ++i) {
        std::free(mtd_table[i].name);
        mtd_table[i].name = nullptr;
        mtd_table[i].device_index = -1;
    }
    char text[kProcMtdSize];
    size_t len = 0;
    bool overflow = false;
    if (!read_proc_mtd(text, sizeof text, &len, &overflow)) {
        mtd_table_count = -1;
        return -1;
    }
    if (overflow)
        std::fprintf(stderr, "mtd: %s is longer than %zu bytes; the partitions after that are not known\n", kProcMtd,
                     sizeof text - 1);
    // Only whole lines count: a line cut off by the buffer could name a
    // partition that does not exist.
    for (char* line = text; line < text + len;) {
        char* nl = std::strchr(line, '\n');
        if (!nl) break;
        *nl = '\0';
        int r = scan_line(line);
        if (r < 0) {
            mtd_table_count = -1;
            return -1;
        }
        mtd_table_count += r;
        line = nl + 1;
    }
    return mtd_table_count;
}

void mtd_reset_table() {
    if (!mtd_table) return;
    for (int i = 0; i < MTD_MAX_PARTITIONS; ++i) std::free(mtd_table[i].name);
    std::free(mtd_table);
    mtd_table = nullptr;
    mtd_table_count = -1;
}

const mtd_partition* mtd_find_by_name(const char* name) {
    if (!mtd_table) return nullptr;
    for (int i = 0; i < MTD_MAX_PARTITIONS; ++i) {
        const mtd_partition& p = mtd_table[i];
        if (p.device_index >= 0 && p.name && std::strcmp(p.name, name) == 0) return &p;
    }
    return nullptr;
}

mtd_read_context* mtd_read_open(const mtd_partition* partition) {
    auto* ctx = static_cast<mtd_read_context*>(std::calloc(1, sizeof(mtd_read_context)));
    if (!ctx) return nullptr;
    ctx->partition = partition;
    ctx->block = static_cast<unsigned char*>(std::malloc(partition->erase_size));
    ctx->fd = ctx->block ? plat_mtd_open(partition->device_index, O_RDONLY) : -1;
    if (ctx->fd < 0 || !geometry_matches(ctx->fd, partition)) {
        if (ctx->fd >= 0) plat_mtd_close(ctx->fd);
        std::free(ctx->block);
        std::free(ctx);
        return nullptr;
    }
    ctx->block_used = partition->erase_size;
    return ctx;
}

off_t mtd_read_seek(mtd_read_context* ctx, off_t offset) {
    ctx->block_used = ctx->partition->erase_size;  // nothing buffered belongs to the new position
    return plat_mtd_seek(ctx->fd, offset, SEEK_SET);
}

ssize_t mtd_read_data(mtd_read_context* ctx, char* data, size_t len) {
    const uint64_t es = ctx->partition->erase_size;
    auto* out = reinterpret_cast<unsigned char*>(data);
    size_t done = 0;
    while (done < len) {
        if (ctx->block_used < es) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(es - ctx->block_used, len - done));
            std::memcpy(out + done, ctx->block + ctx->block_used, n);
            ctx->block_used += n;
            done += n;
        }
        if (ctx->block_used < es) break;
        while (len - done >= es) {
            if (read_block(ctx->partition, ctx->fd, out + done) != 0) return -1;
            done += es;
        }
        if (done < len) {
            if (read_block(ctx->partition, ctx->fd, ctx->block) != 0) return -1;
            ctx->block_used = 0;
        }
    }
    return static_cast<ssize_t>(len);
}

void mtd_read_close(mtd_read_context* ctx) {
    if (!ctx) return;
    plat_mtd_close(ctx->fd);
    std::free(ctx->block);
    std::free(ctx);
}

mtd_write_context* mtd_write_open(const mtd_partition* partition) {
    auto* ctx = static_cast<mtd_write_context*>(std::calloc(1, sizeof(mtd_write_context)));
    if (!ctx) return nullptr;
    ctx->partition = partition;
    ctx->block = static_cast<unsigned char*>(std::malloc(partition->erase_size));
    ctx->verify = static_cast<unsigned char*>(std::malloc(partition->erase_size));
    ctx->fd = ctx->block && ctx->verify ? plat_mtd_open(partition->device_index, O_RDWR) : -1;
    if (ctx->fd < 0 || !geometry_matches(ctx->fd, partition)) {
        if (ctx->fd >= 0) plat_mtd_close(ctx->fd);
        std::free(ctx->block);
        std::free(ctx->verify);
        std::free(ctx);
        return nullptr;
    }
    ctx->block_fill = 0;
    return ctx;
}

ssize_t mtd_write_data(mtd_write_context* ctx, const char* data, size_t len) {
    const uint64_t es = ctx->partition->erase_size;
    auto* in = reinterpret_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < len) {
        if (ctx->block_fill != 0 || len - done < es) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(es - ctx->block_fill, len - done));
            std::memcpy(ctx->block + ctx->block_fill, in + done, n);
            ctx->block_fill += n;
            done += n;
        }
        if (ctx->block_fill == es) {
            if (write_block(ctx, ctx->block) != 0) return -1;
            ctx->block_fill = 0;
        }
        while (ctx->block_fill == 0 && len - done >= es) {
            if (write_block(ctx, in + done) != 0) return -1;
            done += es;
        }
    }
    return static_cast<ssize_t>(len);
}

int mtd_write_fill_from_device(mtd_write_context* ctx) {
    const uint32_t es = ctx->partition->erase_size;
    if (ctx->block_fill == 0 || ctx->block_fill >= es) return 0;
    off_t pos = current_position(ctx->fd);
    if (pos < 0) return -1;
    // The block the next write lands in, as write_block chooses it.
    for (;; pos += es) {
        if (pos + static_cast<off_t>(es) > static_cast<off_t>(ctx->partition->size)) {
            errno = ENOSPC;
            return -1;
        }
        int bad = plat_mtd_bad_block(ctx->fd, pos);
        if (bad == 0 || (bad < 0 && errno == EOPNOTSUPP)) break;
    }
    off_t back = current_position(ctx->fd);
    if (plat_mtd_seek(ctx->fd, pos, SEEK_SET) != pos || !transfer_all(ctx->fd, ctx->verify, es, false)) {
        std::fprintf(stderr, "mtd: read error at 0x%08lx (%s)\n", static_cast<unsigned long>(pos),
                     std::strerror(errno));
        return -1;
    }
    if (plat_mtd_seek(ctx->fd, back, SEEK_SET) != back) return -1;
    std::memcpy(ctx->block + ctx->block_fill, ctx->verify + ctx->block_fill, es - ctx->block_fill);
    ctx->block_fill = es;
    if (write_block(ctx, ctx->block) != 0) return -1;
    ctx->block_fill = 0;
    return 0;
}

off_t mtd_erase_blocks(mtd_write_context* ctx, int blocks) {
    const uint32_t es = ctx->partition->erase_size;
    if (ctx->block_fill != 0) {
        std::memset(ctx->block + ctx->block_fill, 0, es - ctx->block_fill);
        if (write_block(ctx, ctx->block) != 0) return -1;
        ctx->block_fill = 0;
    }
    off_t pos = current_position(ctx->fd);
    if (pos < 0) {
        std::printf("mtd_erase_blocks: couldn't SEEK_CUR: %s\n", std::strerror(errno));
        return -1;
    }
    int64_t remaining = pos < static_cast<off_t>(ctx->partition->size)
                            ? (static_cast<int64_t>(ctx->partition->size) - pos) / es
                            : 0;
    if (blocks < 0) {
        blocks = static_cast<int>(remaining);
    } else if (blocks > remaining) {
        errno = ENOSPC;
        return -1;
    }
    for (int i = 0; i < blocks; ++i, pos += es) {
        if (plat_mtd_bad_block(ctx->fd, pos) > 0) {
            std::fprintf(stderr, "mtd: not erasing bad block at 0x%08lx\n", static_cast<unsigned long>(pos));
            continue;
        }
        if (plat_mtd_erase(ctx->fd, static_cast<uint32_t>(pos), es) != 0)
            std::fprintf(stderr, "mtd: erase failure at 0x%08lx\n", static_cast<unsigned long>(pos));
    }
    return pos;
}

int mtd_write_close(mtd_write_context* ctx) {
    if (!ctx) return -1;
    off_t flushed = mtd_erase_blocks(ctx, 0);
    int closed = plat_mtd_close(ctx->fd);
    std::free(ctx->block);
    std::free(ctx->verify);
    std::free(ctx);
    return flushed == -1 || closed != 0 ? -1 : 0;
}
