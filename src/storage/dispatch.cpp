#include <map>
#include <string>

#include "context/device.h"
#include "core/log.h"
#include "storage/emmc.h"
#include "storage/nand.h"
#include "storage/storage.h"

namespace {

std::map<std::string, uint32_t>& write_counts() {
    static std::map<std::string, uint32_t> counts;
    return counts;
}

}  // namespace

void note_partition_write(const char* where) { ++write_counts()[where]; }

uint32_t partition_writes(const char* where) {
    auto it = write_counts().find(where);
    return it == write_counts().end() ? 0 : it->second;
}

int write_file_to_partition(const char* partition, const char* file) {
    if (flash_type != FLASH_EMMC) note_partition_write(partition);
    int ret = flash_type == FLASH_EMMC ? mmc_write_file_to_partition(partition, file)
                                       : nand_write_file_to_partition(partition, file);
    return ret < 0 ? -1 : 0;
}

int write_file_from_offset_to_partition(const char* partition, const char* file, int32_t offset) {
    if (flash_type != FLASH_EMMC) note_partition_write(partition);
    int ret = flash_type == FLASH_EMMC ? mmc_write_file_from_offset_to_partition(partition, file, offset)
                                       : nand_write_file_from_offset_to_partition(partition, file, offset);
    return ret < 0 ? -1 : 0;
}

int check_partition_with_file(const char* partition, const char* file) {
    int ret = flash_type == FLASH_EMMC ? mmc_check_partition_with_file(partition, file)
                                       : nand_check_partition_with_file(partition, file);
    // Different content is as much a failed verification as an I/O error.
    return ret == 0 ? 0 : -1;
}

int read_partition_to_file(const char* partition, int32_t size) {
    int ret = flash_type == FLASH_EMMC ? mmc_read_partition_to_file(partition, size)
                                       : nand_read_partition_to_file(partition, size);
    if (ret != 0) {
        LOGF("[%d] failed", __LINE__);
        return -1;
    }
    return 0;
}

int read_partition_to_file_ex(const char* partition, int32_t size, int32_t offset) {
    int ret = flash_type == FLASH_EMMC ? mmc_read_partition_from_offset_to_file(partition, size, offset)
                                       : nand_read_partition_from_offset_to_file(partition, size, offset);
    if (ret != 0) {
        LOGF("[%d] failed", __LINE__);
        return -1;
    }
    return 0;
}
