// Where the package lies and the path of every file in it.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* DIR_INSTALL = "/data/upgrade/install";
inline constexpr const char* SAVEFILE = "/data/upgrade/install/savefile";
inline constexpr const char* TMP_FILE_PT = "/tmp/tmp_file_pt";
inline constexpr const char* TMP_FILE_NEW = "/tmp/tmp_file_new";
inline constexpr const char* UPGRADED_PARTITION_FILE = "/tmp/upgraded_partition_file";
inline constexpr const char* TMP_DELTA = "/tmp/delta";
inline constexpr const char* DATA_DELTA = "/data/delta";

// Set once by copy_tmp_path or copy_data_path, read-only afterwards.
// DIR_DELTA is empty before that and again after release_dir_delta.
extern std::string DIR_DELTA;
extern std::string AB_FLAG_FILE;
extern std::string UPDATER_SCRIPT_IMAGE_FULL;
extern std::string UPDATER_SCRIPT_IMAGE_DIFF;
extern std::string UPDATER_SCRIPT_BLOCK_DIFF;
extern std::string UPDATER_SCRIPT_SYSTEM;
extern std::string PARTITION_IMAGE_MAP_CFG;
extern std::string ABL_VERSION_FILE;
extern std::string XBL_VERSION_FILE;
extern std::string TZ_VERSION_FILE;
extern std::string AOP_VERSION_FILE;
extern std::string HYP_VERSION_FILE;
extern std::string SEC_VERSION_FILE;
extern std::string APDP_VERSION_FILE;
extern std::string IPA_FWS_VERSION_FILE;
extern std::string XBL_RAMDUMP_VERSION_FILE;
extern std::string MULTI_IMAGE_VERSION_FILE;
extern std::string MULTI_IMAGE_QTI_VERSION_FILE;
extern std::string PARTITION_COMPLETE_P4K_B256K_VERSION_FILE;

// Set at dst_unpack.
extern std::string DIR_IMAGE;
extern std::string DIR_ROOT;

// 0: /tmp/delta exists; 1: only /data/delta exists; -1: neither.
int determine_the_path_exists();
// 0: /tmp is the larger file system; 1: /data is (ties go to /data).
int determine_the_size_of_the_space();
// Total size of the file system holding path, or -1.
int64_t get_filesystem_size(const char* path);
int copy_tmp_path();
int copy_data_path();
// Sets DIR_ROOT and DIR_IMAGE (stage dst_unpack).
void set_unpack_dirs();
// Nothing reads a package path after this.
void release_dir_delta();

// The package directory holding the new and patched files for a relative
// path: "modem" for firmware/..., "system" otherwise. The static buffer is
// overwritten by the next call.
const char* get_delta_source_dir(const char* relative_path);

// 1 when the upgraded-partition list has a line that is exactly name.
int is_partition_upgraded(const char* name);
