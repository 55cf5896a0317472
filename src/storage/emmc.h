// eMMC partitions: partition names to block device nodes, and the byte moves
// between those nodes and ordinary files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/package.h"

inline constexpr const char* MMC_BYNAME_DIR = "/dev/block/bootdevice/by-name";

inline constexpr size_t MMC_DEV_PATH_SIZE = 32;
inline constexpr int MMC_MAX_ENTRIES = 128;
inline constexpr size_t MMC_NAME_SIZE = 32;
inline constexpr int64_t MMC_ERASE_UNIT = 0x40000;

// The name table, rebuilt from the listing on every lookup.
struct mmcblk_entry {
    char name[MMC_NAME_SIZE];
    char target[MMC_NAME_SIZE];
};
struct mmcdev_table {
    mmcblk_entry blk[MMC_MAX_ENTRIES];
    int32_t count;
};

// Fills dev (MMC_DEV_PATH_SIZE bytes) with the node of the partition. 0 or -1.
int lookup_mmcblk(const char* partition, char* dev);
// The node of a partition that holds at least size bytes, to be read where
// it lies. 0 or -1 (logged).
int mmc_partition_node(const char* partition, char* dev, int64_t size);
// Partition size in bytes from sysfs, or -1.
int64_t emmc_partition_size_get(const char* dev);

int mmc_write_file_to_partition(const char* partition, const char* file);
int mmc_write_file_from_offset_to_partition(const char* partition, const char* file, int32_t offset);
// 0 when the partition holds the file's bytes, 1 when it differs, -1 on failure.
int mmc_check_partition_with_file(const char* partition, const char* file);
int mmc_check_partition_with_file_from_offset(const char* partition, const char* file, int32_t offset);
// Copy size bytes of the partition (from offset) into TMP_FILE_PT. 0 or -1.
int mmc_read_partition_to_file(const char* partition, int32_t size);
int mmc_read_partition_from_offset_to_file(const char* partition, int32_t size, int32_t offset);
