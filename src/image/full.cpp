#include "image/full.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "context/device.h"
#include "context/package.h"
#include "context/partition_map.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/md5.h"
#include "image/script.h"
#include "platform/platform.h"
#include "storage/storage.h"
#include "storage/ubi.h"

namespace {

// Script and map names fit 32-byte buffers on the device, so a longer one
// is refused rather than cut to a different partition's name.
constexpr size_t CMDLINE_SIZE = 2048;

enum class full_image_pass { first, second };

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

// One boot-chain firmware kind whose image is skipped when the running
// device already reports the version the package carries.
struct version_gate {
    const char* func;                   // the name its messages are logged under
    std::vector<const char*> prefixes;  // device names it applies to
    const char* excluded;               // a device name containing this is not gated
    const char* key;                    // on the kernel command line and in the file
    const std::string* file;            // the package's version file
    const char* kind;                   // in the skip message
    // abl and xbl: a version unknown on either side writes the image. The
    // others are written only against a version the package declares.
    bool write_when_unknown;
};

const std::vector<version_gate>& version_gates() {
    // Order matters: multi_image_qti must be tried before multi_image.
    static const std::vector<version_gate> gates = {
        {"kelo_check_abl_need_to_upgrade", {"abl"}, nullptr, "ABL_VERSION", &ABL_VERSION_FILE, "abl", true},
        {"kelo_check_xbl_need_to_upgrade", {"xbl_config", "sbl", "uefi"}, nullptr, "XBL_VERSION",
         &XBL_VERSION_FILE, "xbl", true},
        {"kelo_check_ipa_fw_need_to_upgrade", {"ipa_fw"}, nullptr, "IF_V", &IPA_FWS_VERSION_FILE, "ipa_fw", false},
        {"kelo_check_tz_need_to_upgrade", {"tz"}, "tz_devcfg", "TZ_V", &TZ_VERSION_FILE, "tz", false},
        {"kelo_check_apdp_need_to_upgrade", {"apdp"}, nullptr, "APDP_V", &APDP_VERSION_FILE, "apdp", false},
        {"kelo_check_xbl_ramdump_need_to_upgrade", {"xbl_ramdump"}, nullptr, "XR_V", &XBL_RAMDUMP_VERSION_FILE,
         "xbl_ramdump", false},
        {"kelo_check_multi_image_qti_need_to_upgrade", {"multi_image_qti"}, nullptr, "MIQ_V",
         &MULTI_IMAGE_QTI_VERSION_FILE, "multi_image_qti", false},
        {"kelo_check_multi_image_need_to_upgrade", {"multi_image"}, nullptr, "MI_V", &MULTI_IMAGE_VERSION_FILE,
         "multi_image", false},
        {"kelo_check_aop_need_to_upgrade", {"aop"}, nullptr, "AOP_V", &AOP_VERSION_FILE, "aop", false},
        {"kelo_check_qhee_need_to_upgrade", {"qhee"}, nullptr, "HYP_V", &HYP_VERSION_FILE, "qhee", false},
        {"kelo_check_sec_need_to_upgrade", {"sec"}, nullptr, "SEC_V", &SEC_VERSION_FILE, "sec", false},
        {"kelo_check_mibib_need_to_upgrade", {"mibib"}, nullptr, "PCPB_V",
         &PARTITION_COMPLETE_P4K_B256K_VERSION_FILE, "mibib", false},
    };
    return gates;
}

const version_gate* find_version_gate(std::string_view device) {
    for (const version_gate& g : version_gates()) {
        if (g.excluded && contains(device, g.excluded)) continue;
        for (const char* p : g.prefixes)
            if (starts_with(device, p)) return &g;
    }
    return nullptr;
}

// true: write the image; false: the device already runs this version.
bool version_gate_says_write(const version_gate& g) {
    // abl and xbl name no kind in their lookup messages.
    std::string tag = g.write_when_unknown ? "" : std::string(g.kind) + " ";
    char cmdline_value[VERSION_SIZE] = {};
    char file_value[VERSION_SIZE] = {};

    bool cmdline_ok = kelo_get_version_from_cmdline(g.key, cmdline_value) == 0;
    if (!cmdline_ok) {
        log_at(g.func, __LINE__, "kelo_get_version_from_cmdline %sfail ", tag.c_str());
        if (g.write_when_unknown) return true;
    }
    if (kelo_get_verison_from_file(g.file->c_str(), g.key, file_value) != 1) {
        log_at(g.func, __LINE__, "kelo_get_verison_from_file %sfail ", tag.c_str());
        if (g.write_when_unknown) return true;
        log_at("patch_full_partition", __LINE__, "%s no need to upgrade,skip ", g.kind);
        return false;
    }
    if (!cmdline_ok || std::strcmp(cmdline_value, file_value) != 0) return true;
    log_at(g.func, __LINE__, "cmdline:%s equal to device: %s ", cmdline_value, file_value);
    log_at("patch_full_partition", __LINE__, "%s no need to upgrade,skip ", g.kind);
    return false;
}

// Mounted file systems on the partition would keep the old volume alive
// under the new image; whatever the release achieves, the write follows.
void release_partition(const char* device) {
    char ubiname[UBI_NAME_SIZE] = {};
    if (flash_type == FLASH_NAND && starts_with(device, "system")) {
        kelo_find_ubiname("system", ubiname);
        kelo_umount("system");
        kelo_detach_ubi(ubiname);
    } else if (flash_type == FLASH_NAND && starts_with(device, "modem")) {
        kelo_find_ubiname("firmware", ubiname);
        kelo_umount("firmware");
        kelo_detach_ubi(ubiname);
    } else if (flash_type != FLASH_NAND && starts_with(device, "system")) {
        kelo_umount("/system");
    }
}

bool needs_release(const char* device) {
    return starts_with(device, "system") || (flash_type == FLASH_NAND && starts_with(device, "modem"));
}

bool ab_flag_exists() { return plat_access(AB_FLAG_FILE.c_str(), F_OK) == 0; }

struct addfile_line {
    std::string command;
    std::string partition;
    int32_t newsize = 0;
    std::string md5new;
};

// The device name the image goes to. 0 or -1 after a log line.
int resolve_device_name(const char* partition, full_image_pass pass, char* device) {
    if (ab_system == 1) {
        if (ab_flag_exists()) {
            int type = pass == full_image_pass::first ? 2 : 3;
            if (get_ab_pname(partition, device, SCRIPT_NAME_SIZE, type) < 0) {
                LOGF("Error, get_ab_pname failed");
                return -1;
            }
            LOGF(" get upgrade_partition:%s ", device);
            return 0;
        }
        if (get_ab_pname(partition, device, SCRIPT_NAME_SIZE, 1) < 0) {
            LOGF("Error, get_ab_pname failed");
            return -1;
        }
        return 0;
    }
    if (get_nr_pname(partition, device, SCRIPT_NAME_SIZE) != 0) {
        LOGF("Error, get_nr_pname failed");
        return -1;
    }
    return 0;
}

enum class line_result { next, failed, abort };

// The image must be the one the line declares before it goes anywhere: a
// damaged or substituted file would otherwise be written and then verified
// against itself.
bool image_is_declared(const char* func, const std::string& image, const addfile_line& l) {
    int32_t size = get_file_size(image.c_str());
    char md5[MD5_TEXT_SIZE] = {};
    if (size < 0 || get_md5sum(image.c_str(), md5) != 0) {
        log_at(func, __LINE__, "Error, image %s cannot be read", image.c_str());
        return false;
    }
    if (size != l.newsize || !md5_equal(md5, l.md5new.c_str())) {
        log_at(func, __LINE__, "Error, image %s holds %d bytes of digest %s, the script says %d bytes of digest %s",
               image.c_str(), size, md5, l.newsize, l.md5new.c_str());
        return false;
    }
    return true;
}

line_result write_full_image(const addfile_line& l, full_image_pass pass, bool apply) {
    const char* func = "patch_full_partition";
    log_at(func, __LINE__, "%s %s newsize[%d], md5new[%s]", l.command.c_str(), l.partition.c_str(), l.newsize,
           l.md5new.c_str());
    if (l.newsize <= 0) {
        log_at(func, __LINE__, "Error, size out of range");
        return line_result::failed;
    }
    char imagename[SCRIPT_NAME_SIZE] = {};
    if (kelo_get_imagename_by_partiton(l.partition.c_str(), imagename, sizeof imagename) != 0) {
        log_at(func, __LINE__, "Error, Get imagename by partiton[%s] fail", l.partition.c_str());
        return line_result::abort;
    }
    std::string image = DIR_IMAGE + "/" + imagename;
    if (!image_is_declared(func, image, l)) return line_result::failed;

    char device[SCRIPT_NAME_SIZE] = {};
    if (resolve_device_name(l.partition.c_str(), pass, device) != 0) return line_result::failed;
    log_at(func, __LINE__, "pname: %s", device);

    if (needs_release(device)) {
        if (apply) release_partition(device);
    } else if (const version_gate* g = find_version_gate(device)) {
        if (!version_gate_says_write(*g)) return line_result::next;
    }
    if (!apply) return line_result::next;

    if (write_file_to_partition(device, image.c_str()) < 0) {
        log_at(func, __LINE__, "Error, write file[%s] to partition[%s]", image.c_str(), device);
        return line_result::failed;
    }
    if (check_partition_with_file(device, image.c_str()) < 0) {
        log_at(func, __LINE__, "Error, check partition with file");
        return line_result::failed;
    }
    return line_result::next;
}

// One line of the script. Every addfile line must be well formed, whatever
// the mode later makes of it: a package with a broken script is refused.
line_result process_line(script_file& s, std::string& line, full_image_pass pass, bool apply) {
    const char* func = "patch_full_partition";
    strip_carriage_return(line);
    std::vector<std::string_view> f = script_fields(line);
    if (f[0].empty()) return line_result::next;

    addfile_line l;
    bool addfile = f[0] == "addfile";
    if (addfile) {
        if (!script_field_text(func, s, f, 0, SCRIPT_NAME_SIZE, "command", l.command) ||
            !script_field_text(func, s, f, 1, SCRIPT_NAME_SIZE, "partition", l.partition) ||
            !script_field_int(func, s, f, 2, "newsize", l.newsize) ||
            !script_field_text(func, s, f, 3, SCRIPT_DIGEST_SIZE, "md5new", l.md5new))
            return line_result::failed;
    } else {
        // Only the mode rule looks at another command's line.
        if (f.size() < 2 || f[1].empty()) return line_result::next;
        l.partition.assign(f[1]);
    }

    int mode = recovery_mode();
    bool is_recovery = contains(l.partition, "recovery");
    if ((mode == 0 && !is_recovery) || (mode == 1 && is_recovery)) {
        log_at(func, __LINE__, "skip partition[%s]", l.partition.c_str());
        return line_result::next;
    }
    if (!addfile) return line_result::next;
    return write_full_image(l, pass, apply);
}

// Without apply, each image is checked as it would be written, and nothing
// is released or written.
int walk_full_script(bool apply) {
    static const char* func = "patch_full_partition";
    full_image_pass pass = full_image_pass::first;
    int result = 0;
    for (;;) {
        log_at(func, __LINE__, "%s enter", func);
        script_file s;
        if (!script_open(s, UPDATER_SCRIPT_IMAGE_FULL)) {
            log_at(func, __LINE__, "open failed, maybe there is no partition need full package update");
            return result;
        }
        log_at(func, __LINE__, "START enter");
        std::string line;
        for (;;) {
            int r = script_next_line(func, s, line);
            if (r == 0) break;
            if (r < 0) {
                result = -1;
                break;
            }
            line_result lr = process_line(s, line, pass, apply);
            if (lr == line_result::abort) return -1;
            if (lr == line_result::failed) {
                result = -1;
                break;
            }
        }
        s.fp.reset();
        if (result == 0 && ab_system == 1 && pass == full_image_pass::first && ab_flag_exists()) {
            log_at(func, __LINE__, "switch to partition B ");
            pass = full_image_pass::second;
            continue;
        }
        return result;
    }
}

}  // namespace

int patch_full_partition() { return walk_full_script(true); }

int check_full_partition() { return walk_full_script(false); }

namespace {

// The value after key in text: past any run of blanks and "=", up to the
// next blank. 0 or -1.
int odm_get_value_from_string(const char* text, const char* key, char* out) {
    const char* p = std::strstr(text, key);
    if (!p) return -1;
    p += std::strlen(key);
    p += std::strspn(p, " \t=");
    if (*p == '\0') {
        LOGF("Only containe space in %s", text);
        return -1;
    }
    size_t n = std::strcspn(p, " \t");
    if (n > VERSION_SIZE - 1) n = VERSION_SIZE - 1;
    std::memcpy(out, p, n);
    out[n] = '\0';
    return 0;
}

}  // namespace

int kelo_get_version_from_cmdline(const char* key, char* out) {
    char cmdline[CMDLINE_SIZE] = {};
    if (FilePtr fp{plat_fopen("/proc/cmdline", "r")}) {
        size_t n = std::fread(cmdline, 1, sizeof cmdline - 1, fp.get());
        if (n > 0 && cmdline[n - 1] == '\n') cmdline[n - 1] = '\0';
    }
    if (odm_get_value_from_string(cmdline, key, out) != 0) {
        LOGF("get_cmdline_para fail ");
        return -1;
    }
    LOGF("%s :%s", key, out);
    return 0;
}

int kelo_get_verison_from_file(const char* path, const char* key, char* out) {
    FilePtr fp{plat_fopen(path, "r")};
    if (!fp) {
        std::fprintf(stderr, "Error opening file: %s\n", std::strerror(errno));
        return -1;
    }
    char* buf = nullptr;
    size_t cap = 0;
    int found = 0;
    while (getline(&buf, &cap, fp.get()) != -1) {
        if (!std::strstr(buf, key)) continue;
        // The first line naming the key decides; without "=" it carries no
        // value, and the caller treats the version as unknown.
        const char* eq = std::strchr(buf, '=');
        if (eq) {
            const char* p = eq + 1;
            p += std::strspn(p, " \t\n\r\v\f");
            size_t n = std::strcspn(p, " \t\n\r\v\f");
            if (n > VERSION_SIZE - 1) n = VERSION_SIZE - 1;
            std::memcpy(out, p, n);
            out[n] = '\0';
            LOGF("%s :%s ", key, out);
            found = 1;
        }
        break;
    }
    std::free(buf);
    return found;
}
