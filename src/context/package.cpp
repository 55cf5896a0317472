#include "context/package.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "platform/platform.h"

std::string DIR_DELTA;
std::string AB_FLAG_FILE;
std::string UPDATER_SCRIPT_IMAGE_FULL;
std::string UPDATER_SCRIPT_IMAGE_DIFF;
std::string UPDATER_SCRIPT_BLOCK_DIFF;
std::string UPDATER_SCRIPT_SYSTEM;
std::string PARTITION_IMAGE_MAP_CFG;
std::string ABL_VERSION_FILE;
std::string XBL_VERSION_FILE;
std::string TZ_VERSION_FILE;
std::string AOP_VERSION_FILE;
std::string HYP_VERSION_FILE;
std::string SEC_VERSION_FILE;
std::string APDP_VERSION_FILE;
std::string IPA_FWS_VERSION_FILE;
std::string XBL_RAMDUMP_VERSION_FILE;
std::string MULTI_IMAGE_VERSION_FILE;
std::string MULTI_IMAGE_QTI_VERSION_FILE;
std::string PARTITION_COMPLETE_P4K_B256K_VERSION_FILE;
std::string DIR_IMAGE;
std::string DIR_ROOT;

namespace {

constexpr size_t kListLineSize = 256;
constexpr size_t kSourceDirSize = 256;


void set_package_paths(const std::string& dir) {
    // Order matters only to whoever reads the log of a crash in here; keep it.
    struct Entry {
        std::string* var;
        const char* name;
    };
    const Entry entries[] = {
        {&AB_FLAG_FILE, "kelo_ab_need_upgrade_flag"},
        {&UPDATER_SCRIPT_IMAGE_FULL, "updater_script_image_full"},
        {&UPDATER_SCRIPT_IMAGE_DIFF, "updater_script_image_diff"},
        {&UPDATER_SCRIPT_BLOCK_DIFF, "updater_script_block_diff"},
        {&UPDATER_SCRIPT_SYSTEM, "updater_script_system"},
        {&PARTITION_IMAGE_MAP_CFG, "partition_image_map.cfg"},
        {&ABL_VERSION_FILE, "ABL_VERSION"},
        {&XBL_VERSION_FILE, "XBL_VERSION"},
        {&TZ_VERSION_FILE, "TZ_VERSION"},
        {&AOP_VERSION_FILE, "AOP_VERSION"},
        {&HYP_VERSION_FILE, "HYP_VERSION"},
        {&SEC_VERSION_FILE, "SEC_VERSION"},
        {&APDP_VERSION_FILE, "APDP_VERSION"},
        {&IPA_FWS_VERSION_FILE, "IPA_FWS_VERSION"},
        {&XBL_RAMDUMP_VERSION_FILE, "XBL_RAMDUMP_VERSION"},
        {&MULTI_IMAGE_VERSION_FILE, "MULTI_IMAGE_VERSION"},
        {&MULTI_IMAGE_QTI_VERSION_FILE, "MULTI_IMAGE_QTI_VERSION"},
        {&PARTITION_COMPLETE_P4K_B256K_VERSION_FILE, "PARTITION_COMPLETE_P4K_B256K_VERSION"},
    };
    for (const Entry& e : entries) *e.var = dir + "/" + e.name;
}

}  // namespace

int determine_the_path_exists() {
    if (plat_exists(TMP_DELTA)) {
        LOGF("Path '%s' exists.", TMP_DELTA);
        return 0;
    }
    if (plat_exists(DATA_DELTA)) {
        LOGF("Path '%s' exists.", DATA_DELTA);
        return 1;
    }
    return -1;
}

int64_t get_filesystem_size(const char* path) {
    struct statfs st;
    if (plat_statfs(path, &st) != 0) {
        std::fprintf(stderr, "statfs error: %s\n", std::strerror(errno));
        return -1;
    }
    return static_cast<int64_t>(st.f_bsize) * static_cast<int64_t>(st.f_blocks);
}

int determine_the_size_of_the_space() {
    int64_t t = get_filesystem_size("/tmp");
    int64_t d = get_filesystem_size("/data");
    if (t > d) {
        LOGF("The /tmp directory has more space.");
        return 0;
    }
    if (t < d) {
        LOGF("The /data directory has more space.");
        return 1;
    }
    LOGF("Both /tmp and /data have the same amount of space.");
    return 1;
}

int copy_tmp_path() {
    DIR_DELTA = TMP_DELTA;
    set_package_paths(DIR_DELTA);
    return 0;
}

int copy_data_path() {
    DIR_DELTA = DATA_DELTA;
    set_package_paths(DIR_DELTA);
    return 0;
}

void set_unpack_dirs() {
    DIR_ROOT.clear();
    DIR_IMAGE = DIR_DELTA + "/image";
}

void release_dir_delta() {
    DIR_DELTA.clear();
    DIR_DELTA.shrink_to_fit();
}

const char* get_delta_source_dir(const char* relative_path) {
    static char buf[kSourceDirSize];
    std::memset(buf, 0, sizeof buf);
    const char* sub = std::strncmp(relative_path, "firmware/", 9) == 0 ? "modem" : "system";
    int n = std::snprintf(buf, sizeof buf, "%s/%s", DIR_DELTA.c_str(), sub);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) {
        // DIR_DELTA is one of two short constants; this cannot happen unless
        // the process state is corrupt. Never hand out a cut path.
        LOGF("[%d] source directory too long", __LINE__);
        buf[0] = '\0';
    }
    return buf;
}

int is_partition_upgraded(const char* name) {
    FilePtr fp{plat_fopen(UPGRADED_PARTITION_FILE, "r")};
    if (!fp) return 0;
    char line[kListLineSize];
    while (std::fgets(line, sizeof line, fp.get())) {
        size_t len = std::strlen(line);
        if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
        // Whole-line match: "xbl" must not count as upgraded because
        // "xbl_config" is.
        if (std::strcmp(line, name) == 0) return 1;
    }
    return 0;
}
