// NAND partitions: the eMMC operations' counterparts over the MTD library.
#pragma once

#include <cstdint>

int nand_write_file_to_partition(const char* partition, const char* file);
// Places the file's bytes at offset as mtd_read_seek measures it and keeps
// every other byte of the partition.
int nand_write_file_from_offset_to_partition(const char* partition, const char* file, int32_t offset);
// 0 when the partition's stream holds the file's bytes, 1 when it differs,
// -1 on failure.
int nand_check_partition_with_file(const char* partition, const char* file);
int nand_check_partition_with_file_from_offset(const char* partition, const char* file, int32_t offset);
int nand_read_partition_to_file(const char* partition, int32_t size);
int nand_read_partition_from_offset_to_file(const char* partition, int32_t size, int32_t offset);
