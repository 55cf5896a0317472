#include "driver/completion.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "context/device.h"
#include "context/package.h"
#include "context/status.h"
#include "core/file_util.h"
#include "core/log.h"
#include "platform/platform.h"

namespace {

// Runs a completion command whose status is deliberately not examined.
void run_unchecked(std::string_view tmpl, std::initializer_list<std::string_view> paths) {
    if (auto cmd = make_command(CMD_BUF_SIZE, tmpl, paths)) plat_system(cmd->c_str());
    else LOGF("[%d] command too long, not run: %.*s", __LINE__, static_cast<int>(tmpl.size()), tmpl.data());
}

// Beside the package, so that it goes with it and a later package never
// finds it; and in the install directory for a run after the package was
// removed, which a later package's switch overwrites.
std::string switch_record(bool beside_package) {
    return beside_package ? DIR_DELTA + "/slot_switched" : std::string(DIR_INSTALL) + "/slot_switched";
}

int record_slot_switch() {
    for (bool beside : {true, false}) {
        if (beside && !plat_exists(DIR_DELTA)) continue;  // a run without a package
        FilePtr fp{plat_fopen(switch_record(beside).c_str(), "w")};
        if (!fp || std::fprintf(fp.get(), "%d\n", target_slot) < 0 || close_file(fp) != 0) {
            LOGF("Error, can't record the switch to slot %d in %s", target_slot, switch_record(beside).c_str());
            return -1;
        }
    }
    plat_sync();
    return 0;
}

void remove_package(const run_options& opts) {
    if (!opts.package_file.empty()) plat_unlink(opts.package_file.c_str());
    run_unchecked("rm %s -rf", {"/data/delta/"});
    run_unchecked("rm %s -rf", {"/data/delta.zip"});
    plat_sync();
}

}  // namespace

int recorded_slot_switch(bool have_package) {
    FilePtr fp{plat_fopen(switch_record(have_package).c_str(), "r")};
    int slot = -1;
    if (!fp || std::fscanf(fp.get(), "%d", &slot) != 1) return -1;
    return slot;
}

void create_efs_backup_restore_flag_file() {
    UniqueFd fd{plat_open(RESTORE_FLAG_FILE, O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
    if (!fd) {
        LOGF("Error opening file");
        return;
    }
    if (fd.reset() != 0) {
        LOGF("Error closing file");
        return;
    }
    LOGF("File '%s' created successfully.", RESTORE_FLAG_FILE);
}

void finish_recovery(const char* text) {
    plat_mkdir(RECOVERY_DIR, 0777);
    if (!text) return;
    FilePtr fp{plat_fopen(RECOVERY_INTENT, "w+")};
    if (!fp) {
        LOGF("Can't open %s: %s", RECOVERY_INTENT, std::strerror(errno));
        return;
    }
    std::fwrite(text, 1, std::strlen(text), fp.get());
}

void kelo_recovery_exit() {
    LOGF("recovery exit");
    plat_system("marvane_dev_info write boot_mode 0");
}

int complete_upgrade(const run_options& opts) {
    plat_unlink(SAVEFILE);
    plat_unlink(TMP_FILE_PT);
    // On an A/B system the package is kept until the slot switch succeeded:
    // if it fails, the run can be repeated from the same package.
    if (opts.data_delta && ab_system == 0) remove_package(opts);
    LOGF("DFOTA Patch Success");
    report_stage("dst_set_boot_mode", 80);
    if (ab_system == 0) {
        kelo_recovery_exit();
    } else {
        // Without the record, a power cut right after the switch would leave
        // a package that the new slot can only fail to install again.
        if (target_slot != current_slot && record_slot_switch() != 0) return -1;
        if (change_slot() != 0) return -1;
        if (opts.data_delta) remove_package(opts);
    }
    LOGF("reboot system");
    report_stage("dst_reboot", 90);
    run_unchecked("touch %s", {UPGRADED_MARKER});
    release_dir_delta();
    finish_recovery(INTENT_SUCCESS);
    if (ab_system != 0) {
        plat_system("sync");
        plat_system("reboot");
    }
    plat_system("sync");
    return 0;
}
