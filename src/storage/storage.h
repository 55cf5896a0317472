// The flash-type dispatchers: the eMMC or the NAND operation, by flash_type.
#pragma once

#include <cstdint>

int write_file_to_partition(const char* partition, const char* file);
int write_file_from_offset_to_partition(const char* partition, const char* file, int32_t offset);
// 0 only when the partition holds the file's bytes.
int check_partition_with_file(const char* partition, const char* file);
int read_partition_to_file(const char* partition, int32_t size);
int read_partition_to_file_ex(const char* partition, int32_t size, int32_t offset);

// Writes begun on a partition in this run, by eMMC node or NAND partition
// name: what was learned of a partition's content holds while this stays.
void note_partition_write(const char* where);
uint32_t partition_writes(const char* where);
