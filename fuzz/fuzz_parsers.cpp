// libFuzzer targets for the agent's readers of outside input, one source
// built once per target: DFOTA_FUZZ_ENTRY names the entry of the table at
// the end. Each input lands where the agent reads it on a simulated device
// (one scratch root per process) and goes through the agent's own
// functions, as a run would call them; tool outputs come from bin/ scripts
// that cat it. Besides the sanitizers, a few checks abort on results that
// break a reader's promise.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "context/device.h"
#include "context/package.h"
#include "context/partition_map.h"
#include "core/guarded_list.h"
#include "fsupdate/system_script.h"
#include "image/block.h"
#include "image/check.h"
#include "image/diff.h"
#include "image/full.h"
#include "platform/platform.h"
#include "storage/emmc.h"
#include "storage/mtd.h"
#include "storage/ubi.h"

namespace {

namespace fs = std::filesystem;
using input = std::string_view;

std::string g_root;

void put(const std::string& device_path, input text) {
    fs::path p = g_root + device_path;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(text.data(), static_cast<std::streamsize>(text.size()));
}

// NAND partitions of four 4 KiB blocks (empty files read as erased), a
// package whose map, images, block file and version file fit them, and a
// root file system with a file to patch. The seeds' digests are of these.
constexpr const char* kNand[] = {"boot", "boot_a", "boot_b", "system", "system_a", "system_b", "tz", "tz_a"};
constexpr std::pair<const char*, const char*> kDevice[] = {
    {"/proc/cmdline", "console=ttyMSM0 TZ_V=1.0 ABL_VERSION=9\n"}, {"/dev/mtd0.bad", "3\n"},
    {"/tmp/delta/partition_image_map.cfg",
     "boot boot.img boot boot_a boot_b\nsystem system.img system system_a system_b\ntz tz.mbn tz tz_a tz_b\n"},
    {"/tmp/delta/image/boot.img", "boot image, new\n"}, {"/tmp/delta/image/system.img", "system image, new\n"},
    {"/tmp/delta/image/tz.mbn", "tz image, new\n"}, {"/tmp/delta/image/boot.img_chunk_0.p", "block of boot, new\n"},
    {"/tmp/delta/TZ_VERSION", "TZ_V=1.1\n"},
    {"/tmp/delta/system/usr/bin/tool", "new tool\n"}, {"/tmp/delta/system/usr/lib/libnew.so", "lib\n"},
    {"/tmp/delta/system/var/conf/a.conf", "a\n"}, {"/tmp/delta/modem/firmware/modem.bin", "modem\n"},
    {"/usr/bin/tool", "old tool\n"}, {"/usr/share/doc/x", "x\n"}, {"/usr/share/olddir/x", "x\n"},
    {"/data/upgrade/install/.keep", ""}, {"/system/.keep", ""}, {"/firmware/.keep", ""}, {"/var/conf/.keep", ""},
};

// Process-wide state as a run has it after its preparation, whatever the
// last input left.
void reset_state(bool ab) {
    while (auto* n = reinterpret_cast<partition_image_node*>(guarded_list_pop_front(&partition_image_map))) {
        delete n->entry;
        delete n;
    }
    mtd_reset_table();
    copy_tmp_path();
    set_unpack_dirs();
    flash_type = FLASH_NAND;
    ab_system = ab;
    current_slot = 0;
}

// For the stages that change the device: it is built again for every input.
void fresh_device(bool ab) {
    std::error_code ec;
    fs::remove_all(g_root, ec);
    for (const auto& [path, text] : kDevice) put(path, text);
    std::string mtd = "dev:    size   erasesize  name\n";
    for (size_t i = 0; i < std::size(kNand); ++i) {
        mtd += "mtd" + std::to_string(i) + ": 00004000 00001000 \"" + kNand[i] + "\"\n";
        put("/dev/mtd" + std::to_string(i), "");
    }
    put("/proc/mtd", mtd);
    if (ab) put("/tmp/delta/kelo_ab_need_upgrade_flag", "");
    reset_state(ab);
}

// Tools in the device's bin/ that print text: platform tools, and ls, whose
// copy there comes first on the path.
void install_tools(input text, std::initializer_list<const char*> tools) {
    put("/tool_output", text);
    for (const char* tool : tools) {
        put(std::string("/bin/") + tool, "#!/bin/sh\nexec cat '" + g_root + "/tool_output'\n");
        fs::permissions(g_root + "/bin/" + tool, fs::perms(0755));
    }
}

// The script stages on an NR and on an A/B device, with the map loaded.
void on_both_systems(const std::string& script, input in, std::initializer_list<int (*)()> stages) {
    for (bool ab : {false, true}) {
        fresh_device(ab);
        put(script, in);
        kelo_construct_partition_image_map_list();
        for (auto stage : stages) stage();
    }
}

void image_full(input in) { on_both_systems(UPDATER_SCRIPT_IMAGE_FULL, in, {patch_full_partition}); }
void image_diff(input in) { on_both_systems(UPDATER_SCRIPT_IMAGE_DIFF, in, {do_check2, patch_diff_partition}); }
void block_diff(input in) { on_both_systems(UPDATER_SCRIPT_BLOCK_DIFF, in, {patch_diff_block}); }

void system_script(input in) {
    fresh_device(false);
    install_tools("Filesystem 1K-blocks Used Available Use% Mounted on\n/dev/root 65536 1 65535 1% /\n", {"df"});
    put(UPDATER_SCRIPT_SYSTEM, in);
    // As in a run, the passes (slow: they run commands) only after the
    // check parsed every line and accepted it. The in-process check is what
    // makes the parser hot; df tells the file patches where they are.
    if (do_check() == 0 && patch_diff_rootfs() == 0) patch_full_rootfs();
}

void partition_map(input in) {
    // Recovery mode decides which lines are kept: unknown, normal, recovery.
    for (const char* cmdline : {"console=ttyMSM0\n", "PRJ_QX410_IN_00\n", "recovery PRJ_QX410_IN_00\n"}) {
        reset_state(false);
        put("/proc/cmdline", cmdline);
        put(PARTITION_IMAGE_MAP_CFG, in);
        if (kelo_construct_partition_image_map_list() != 0) continue;
        // Every entry is the first word of a line of its own, never the
        // tail of a long comment read in pieces.
        std::string firsts = "\n";
        for (size_t at = 0, nl; at < in.size(); at = nl + 1) {
            nl = std::min(in.find('\n', at), in.size());
            std::string_view l = in.substr(at, nl - at);
            l = l.substr(0, l.find('\0'));  // the line as C text
            size_t b = l.find_first_not_of(" \t\n\v\f\r");
            if (b != std::string_view::npos && l[0] != '#')
                firsts.append(l.substr(b, l.find_first_of(" \t\n\v\f\r", b) - b)) += '\n';
        }
        for (guarded_list_node* n = guarded_list_first(&partition_image_map); n;
             n = guarded_list_next(&partition_image_map, n))
            if (firsts.find("\n" + reinterpret_cast<partition_image_node*>(n)->entry->pname + "\n") == std::string::npos)
                std::abort();
        char out[SCRIPT_NAME_SIZE], tiny[4];
        int looked_up = 0;
        for (guarded_list_node* n = guarded_list_first(&partition_image_map); n && looked_up++ < 8;
             n = guarded_list_next(&partition_image_map, n)) {
            const char* pname = reinterpret_cast<partition_image_node*>(n)->entry->pname.c_str();
            kelo_get_imagename_by_partiton(pname, out, sizeof out);
            get_nr_pname(pname, tiny, sizeof tiny);
            for (current_slot = -1; current_slot <= 2; ++current_slot)
                for (int type = -1; type <= 4; ++type) get_ab_pname(pname, out, sizeof out, type);
        }
    }
}

void versions(input in) {
    reset_state(false);
    put("/proc/cmdline", in);
    put(TZ_VERSION_FILE, in);
    char out[VERSION_SIZE];
    for (const char* key : {"ABL_VERSION", "XBL_VERSION", "IF_V", "TZ_V", "APDP_V", "XR_V", "MIQ_V", "MI_V", "AOP_V",
                            "HYP_V", "SEC_V", "PCPB_V"}) {
        if (kelo_get_version_from_cmdline(key, out) == 0 && std::strlen(out) >= VERSION_SIZE) std::abort();
        if (kelo_get_verison_from_file(TZ_VERSION_FILE.c_str(), key, out) == 1 && std::strlen(out) >= VERSION_SIZE)
            std::abort();
    }
    recovery_mode();
}

void proc_mtd(input in) {
    reset_state(false);
    put("/proc/mtd", in);
    if (mtd_scan_table() < 0) return;
    for (const char* name : {"boot", "aboot", "appsbl", "system"}) mtd_find_by_name(name);
    for (int i = 0; i < MTD_MAX_PARTITIONS; ++i) {
        const mtd_partition& p = mtd_table[i];
        if (p.device_index >= 0 && (p.device_index != i || !p.name || std::strlen(p.name) > 63 ||
                                    p.erase_size == 0 || p.size % p.erase_size != 0))
            std::abort();
    }
}

void by_name(input in) {
    // The listing reaches the agent as "ls -l" output through awk.
    reset_state(false);
    install_tools(in, {"ls"});
    char dev[MMC_DEV_PATH_SIZE];
    for (const char* name : {"modem", "boot"})
        if (lookup_mmcblk(name, dev) == 0) emmc_partition_size_get(dev);
}

void tool_outputs(input in) {
    reset_state(false);
    install_tools(in, {"df", "mount", "abctl"});
    put("/proc/partitions", in);
    char ubiname[UBI_NAME_SIZE] = {};
    kelo_find_ubiname("system", ubiname);
    kelo_detach_ubi(ubiname);
    kelo_umount("system");
    std::string name;
    get_file_system("/data", name);
    get_ab_system();
    get_current_slot();
    get_flash_type();
}

constexpr std::pair<const char*, void (*)(input)> kEntries[] = {
    {"image_full", image_full},       {"image_diff", image_diff},       {"block_diff", block_diff},
    {"system_script", system_script}, {"partition_map", partition_map}, {"versions", versions},
    {"proc_mtd", proc_mtd},           {"by_name", by_name},             {"tool_outputs", tool_outputs},
};
void (*g_entry)(input) = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const auto& [name, fn] : kEntries)
        if (std::strcmp(name, DFOTA_FUZZ_ENTRY) == 0) g_entry = fn;
    std::string base = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
    std::string tmpl = base + "/dfota-fuzz-XXXXXX";
    if (!g_entry || !mkdtemp(tmpl.data())) std::abort();
    g_root = tmpl;
    std::atexit([] { std::error_code ec; fs::remove_all(g_root, ec); });
    setenv("DFOTA_SYSROOT", g_root.c_str(), 1);
    if (plat_init() != 0) std::abort();
    fresh_device(false);  // the readers that change nothing share this one
    // The log's echo is expected output (DFOTA_FUZZ_LOG=1 keeps it, to follow
    // what an input did).
    if (!std::getenv("DFOTA_FUZZ_LOG") && !std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_entry(input(reinterpret_cast<const char*>(data), size));
    return 0;
}
