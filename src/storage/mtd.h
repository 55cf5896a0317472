// The MTD block layer: the partition table from /proc/mtd, and read and
// write contexts that present a partition's usable erase blocks as one byte
// stream. It prints its own messages on standard output and standard error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

inline constexpr int MTD_MAX_PARTITIONS = 64;

struct mtd_partition {
    int32_t device_index;  // N of /dev/mtdN, -1 for a free slot
    uint32_t size;
    uint32_t erase_size;
    char* name;            // owned, at most 63 characters; null for a free slot
};

struct mtd_read_context {
    const mtd_partition* partition;
    unsigned char* block;
    uint64_t block_used;   // erase_size: the buffer is empty
    int fd;
};

struct mtd_write_context {
    const mtd_partition* partition;
    unsigned char* block;
    uint64_t block_fill;   // 0: the buffer is empty
    int fd;
    unsigned char* verify; // read-back of each programmed block
};

extern mtd_partition* mtd_table;
extern int mtd_table_count;

int mtd_scan_table();
const mtd_partition* mtd_find_by_name(const char* name);

mtd_read_context* mtd_read_open(const mtd_partition* partition);
off_t mtd_read_seek(mtd_read_context* ctx, off_t offset);
ssize_t mtd_read_data(mtd_read_context* ctx, char* data, size_t len);
void mtd_read_close(mtd_read_context* ctx);

mtd_write_context* mtd_write_open(const mtd_partition* partition);
ssize_t mtd_write_data(mtd_write_context* ctx, const char* data, size_t len);
off_t mtd_erase_blocks(mtd_write_context* ctx, int blocks);
// Completes a partial block with the bytes that the block it lands in holds
// now, and writes it: a write into the middle of a partition keeps what
// follows it. 0 or -1.
int mtd_write_fill_from_device(mtd_write_context* ctx);
int mtd_write_close(mtd_write_context* ctx);

// Drops the table, so that the next scan reads /proc/mtd again (tests).
void mtd_reset_table();
