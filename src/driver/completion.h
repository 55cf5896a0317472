// The end of a successful run: clean up, tell the device, arrange the boot.
#pragma once

#include <string>

inline constexpr const char* RESTORE_FLAG_FILE = "/tmp/restoredut_flag";
inline constexpr const char* UPGRADED_MARKER = "/data/dfota_upgraded";
inline constexpr const char* RECOVERY_DIR = "/data/recovery/";
inline constexpr const char* RECOVERY_INTENT = "/data/recovery/intent";
inline constexpr const char* INTENT_SUCCESS = "--send_intent=DELTA_UPDATE_SUCCESS";

struct run_options {
    std::string package_file;  // -f; empty when not given
    bool data_delta = false;   // /data/delta was chosen as DIR_DELTA
};

void create_efs_backup_restore_flag_file();
void finish_recovery(const char* text);
void kelo_recovery_exit();

// The slot that a run switched to while this package lay where it lies now,
// or, without a package, the slot the last switch went to; -1 when none is
// recorded. A power cut after the switch boots that slot with the package
// still there, or already removed.
int recorded_slot_switch(bool have_package);

// 0 when the run ended successfully; -1 when the slot switch failed, after
// which the caller takes the failure path with "Error, change_slot failed".
int complete_upgrade(const run_options& opts);
