#include "driver/stages.h"

#include <unistd.h>

#include <string>

#include "core/log.h"
#include "driver/package.h"
#include "image/block.h"
#include "platform/platform.h"

namespace {


// Reporting a run as successful while a script of the package was never
// applied would leave the device on old firmware that claims to be new.
int refuse_script(const char* stage, const std::string& script) {
    log_at(stage, __LINE__, "Error, file[%s] needs an update kind this build of the agent cannot apply",
           script.c_str());
    return -1;
}

}  // namespace

int refuse_unsupported_updates() {
    if (!plat_exists(UPDATER_SCRIPT_SYSTEM)) return 0;
    return refuse_script(__func__, UPDATER_SCRIPT_SYSTEM);
}

int patch_diff_block() {
    if (!plat_exists(UPDATER_SCRIPT_BLOCK_DIFF)) {
        LOGF("file[%s] not exist, there is no system files need to update", UPDATER_SCRIPT_BLOCK_DIFF.c_str());
        return 0;
    }
    return do_patch_block();
}

int patch_diff_rootfs() {
    if (!plat_exists(UPDATER_SCRIPT_SYSTEM)) {
        LOGF("file[%s] not exist, there is no system files need to update", UPDATER_SCRIPT_SYSTEM.c_str());
        return 0;
    }
    return refuse_script(__func__, UPDATER_SCRIPT_SYSTEM);
}

int patch_full_rootfs() {
    if (!plat_exists(UPDATER_SCRIPT_SYSTEM)) {
        LOGF("file[%s] not exist, there is no system files need to update", UPDATER_SCRIPT_SYSTEM.c_str());
        return 0;
    }
    return refuse_script(__func__, UPDATER_SCRIPT_SYSTEM);
}
