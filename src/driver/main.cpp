// The whole road of one run: preparation, the stages in their fixed order,
// and either the completion or the one failure path.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "context/device.h"
#include "context/package.h"
#include "context/partition_map.h"
#include "context/status.h"
#include "core/file_util.h"
#include "core/log.h"
#include "driver/completion.h"
#include "driver/signature.h"
#include "fsupdate/system_script.h"
#include "image/block.h"
#include "image/check.h"
#include "image/diff.h"
#include "image/full.h"
#include "platform/platform.h"

namespace {

constexpr const char* UPGRADE_APP_VER = "V1.0.1";
constexpr const char* DEBUG_FLAG_FILE = "/data/flag_upgrade_debug";


// Only records the signal: the next log entry writes it. Opening files or
// allocating in here could deadlock a run in the middle of a partition write.
extern "C" void sig_handle(int sig) { log_note_signal(sig); }

// A console reader that goes away must not kill the run in the middle of a
// partition write; the write to the console then just fails. A handler, not
// SIG_IGN, so that the commands we run still get the default behaviour.
extern "C" void sigpipe_handle(int) {}

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = sig_handle;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // a signal must not break a read or write in progress
    for (int sig : {SIGUSR1, SIGUSR2, SIGTERM}) sigaction(sig, &sa, nullptr);
}

void survive_lost_console() {
    struct sigaction sa {};
    sa.sa_handler = sigpipe_handle;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);
}

// A check-only run answers whether the package would install, and changes
// nothing a later run or another program reads: no status file, no flag, no
// save file, no slot.
bool check_only = false;

// The failure path of every step from dst_check on.
int fail_run(const char* message) {
    LOGF("%s", message);
    if (check_only) {
        LOGF("Check only: the package would not install");
        return -1;
    }
    LOGF("main_err");
    report_stage("dst_failed", 0);
    if (ab_system == 0 && flash_type == FLASH_EMMC) {
        if (change_slot() != 0) LOGF("Error, change_slot failed");
    }
    LOGF("DFOTA Patch Failed");
    release_dir_delta();
    return -1;
}

// The install stages in their fixed order: nullptr when all went well, else
// the failure message.
const char* install() {
    report_stage("dst_check", 30);
    if (verify_package() < 0) return "Error, verify package failed";
    if (do_check() < 0) return "Error, do_check failed";
    if (do_check2() < 0) return "Error, do_check2 failed";
    if (patch_diff_block() < 0) return "Error, patch block failed";

    report_stage("dst_patch_full", 40);
    if (patch_full_partition() != 0) return "Error,patch full partition failed";

    report_stage("dst_patch_diff", 60);
    if (patch_diff_partition() < 0) return "Error, patch diff partition failed";
    report_stage("dst_patch_diff", 70);
    if (patch_diff_rootfs() < 0) return "Error, patch diff system file failed";
    if (patch_full_rootfs() < 0) return "Error, patch full system file failed";
    return nullptr;
}

// The checks of dst_check, each proving in /tmp what dst_check would write.
const char* check_package() {
    if (verify_package() < 0) return "Error, verify package failed";
    if (do_check() < 0) return "Error, do_check failed";
    if (do_check2(true) < 0) return "Error, do_check2 failed";
    if (check_diff_block() < 0) return "Error, patch block failed";
    if (check_full_partition() != 0) return "Error,patch full partition failed";
    return nullptr;
}

// Only report_stage's callers that a check-only run also passes through.
void report(const char* name, int percent) {
    if (!check_only) report_stage(name, percent);
}

int run(int argc, char** argv) {
    // Read before anything is written: a check-only run changes nothing. The
    // debug echo still starts where the options used to be read.
    static const option long_options[] = {{"check", no_argument, nullptr, 'c'}, {nullptr, 0, nullptr, 0}};
    run_options opts;
    bool debug = false;
    for (int opt; (opt = getopt_long(argc, argv, "df:v", long_options, nullptr)) != -1;) {
        if (opt == 'd') debug = true;
        else if (opt == 'f') opts.package_file = optarg;
        else if (opt == 'c') check_only = true;
    }
    log_echo_stderr = check_only;

    // 1. The install directory holds the log; nothing can be reported before it.
    LOGF("DIR_INSTALL :%s ", DIR_INSTALL);
    auto mkdir_cmd = make_command(CMD_BUF_SIZE, "mkdir -p %s", {DIR_INSTALL});
    int ret = mkdir_cmd ? plat_system(mkdir_cmd->c_str()) : -1;
    if (ret != 0) {
        std::printf("%s[%d] run system failed, ret: %d, %s\n", "main", __LINE__, ret, std::strerror(errno));
        return -1;
    }
    LOGF("------Upgrade Entry------");

    // 3. The package directory.
    int where = determine_the_path_exists();
    bool have_package = where != -1;
    if (check_only && !have_package) {
        LOGF("Error, no package in %s or %s", TMP_DELTA, DATA_DELTA);
        return -1;
    }
    if (where == -1) where = determine_the_size_of_the_space();
    if ((where == 0 ? copy_tmp_path() : copy_data_path()) != 0) return -1;
    opts.data_delta = where == 1;

    // 4-5.
    LOGF("UPGRADE_APP_VER: [%s] Build_time:%s %s", UPGRADE_APP_VER, __DATE__, __TIME__);
    if (!check_only) {
        plat_unlink(STATUS_FILE);
        plat_unlink(STATUS_LIST_FILE);
        plat_unlink(INSTALL_PROCESS_FILE);
    }
    report("dst_start", 0);

    // 6-8 (the options were read first).
    if (debug) upgrade_debug = 1;
    if (plat_exists(DEBUG_FLAG_FILE)) upgrade_debug = 1;
    install_signal_handlers();

    // 9. The partition-image map.
    if (plat_exists(PARTITION_IMAGE_MAP_CFG)) {
        LOGF("Found file[%s]", PARTITION_IMAGE_MAP_CFG.c_str());
        if (kelo_construct_partition_image_map_list() != 0) {
            LOGF("Error, construct partition and image map fail");
            return -1;
        }
    } else {
        LOGF("Warning, Not found file[%s]", PARTITION_IMAGE_MAP_CFG.c_str());
    }

    // dst_get_dev_info
    report("dst_get_dev_info", 10);
    if (get_flash_type() != 0) {
        LOGF("Error,get_flash_type failed");
        return -1;
    }
    LOGF("flashtype: [%s]", flash_type == FLASH_NAND ? "NAND" : "EMMC");
    ab_system = get_ab_system();
    if (ab_system < 0) {
        LOGF("Error, get_ab_system failed,force set ab_system to 0");
        ab_system = 0;
    }
    LOGF("system type? [%s]", ab_system == 1 ? "AB system" : "NR system");
    if (ab_system != 0) {
        current_slot = get_current_slot();
        LOGF("current_slot: [%s]", current_slot == 0 ? "SLOT_A" : "SLOT_B");
        set_target_slot();
    }
    if (!check_only) create_efs_backup_restore_flag_file();

    // dst_unpack: the package arrives unpacked.
    report("dst_unpack", 20);
    set_unpack_dirs();

    // From here on every failure takes the failure path. A power cut after
    // an A/B slot switch boots the new slot with the package installed, or
    // already removed: installing again would patch from the new slot, and
    // switching would go back to the old one. Without a package and without
    // such a record the run still switches (the end of a run cut off before
    // its switch).
    if (ab_system != 0 && (current_slot == 0 || current_slot == 1) &&
        recorded_slot_switch(have_package) == current_slot) {
        LOGF("Nothing to install (installed before the switch to this slot): slot %d stays active", current_slot);
        target_slot = current_slot;
    } else if (const char* failed = check_only ? check_package() : install()) {
        return fail_run(failed);
    }
    if (check_only) {
        LOGF("Check only: the package would install");
        return 0;
    }

    if (complete_upgrade(opts) != 0) return fail_run("Error, change_slot failed");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (plat_init() != 0) return 255;
    survive_lost_console();
    int ret = run(argc, argv);
    log_flush_pending();  // a signal after the last entry still gets its line
    return ret == 0 ? 0 : 255;
}
