#include "context/device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/file_util.h"
#include "core/log.h"
#include "platform/platform.h"

int flash_type = 0;
int ab_system = 0;
int current_slot = 0;
int target_slot = 0;

namespace {

constexpr size_t kToolOutputSize = 32;
constexpr size_t kCmdlineSize = 1024;
constexpr size_t kSlotCmdSize = 50;

// At most 32 bytes of a tool's answer, as a terminated string.
struct ToolOutput {
    char text[kToolOutputSize + 1] = {};
    size_t len = 0;
};

ToolOutput read_tool_output(FILE* pipe) {
    ToolOutput out;
    out.len = std::fread(out.text, 1, kToolOutputSize, pipe);
    out.text[out.len] = '\0';
    return out;
}

}  // namespace

int get_flash_type() {
    auto cmd = make_command(256, "cat %s 2>/dev/null | grep mtd", {"/proc/partitions"});
    PipePtr pipe{cmd ? plat_popen(cmd->c_str()) : nullptr};
    if (!pipe) {
        LOGF("[%d] popen cmd error: %s", __LINE__, std::strerror(errno));
        flash_type = -1;
        return -1;
    }
    ToolOutput out = read_tool_output(pipe.get());
    close_pipe(pipe);
    flash_type = out.len > 0 ? FLASH_NAND : FLASH_EMMC;
    return 0;
}

int get_ab_system() {
    PipePtr pipe{plat_popen("abctl --boot_slot")};
    if (!pipe) {
        LOGF("[%d] popen cmd error: %s", __LINE__, std::strerror(errno));
        return -1;
    }
    ToolOutput out = read_tool_output(pipe.get());
    if (out.len == 0) {
        LOGF("[%d] get_ab_partition, error", __LINE__);
        return -1;
    }
    close_pipe(pipe);
    if (std::strchr(out.text, 'a') || std::strchr(out.text, 'b'))
        LOGF("the current partition is %s", out.text);
    else
        LOGF("Did not find 'a' or 'b' in the result.");
    return 1;
}

int get_current_slot() {
    PipePtr pipe{plat_popen("abctl --boot_slot")};
    if (!pipe) return -1;
    ToolOutput out = read_tool_output(pipe.get());
    close_pipe(pipe);
    int slot = 2;
    if (std::strncmp(out.text, "_a", 2) == 0) slot = 0;
    else if (std::strncmp(out.text, "_b", 2) == 0) slot = 1;
    LOGF("get_current_slot: [%d]", slot);
    return slot;
}

void set_target_slot() { target_slot = current_slot == 0 ? 1 : 0; }

int change_slot() {
    LOGF("%s", "change_slot");
    char cmd[kSlotCmdSize];
    std::snprintf(cmd, sizeof cmd, "abctl --set_active %d", target_slot);
    int ret = plat_system(cmd);
    if (ret == 0) return 0;
    LOGF("[%d] failed, ret: %d, error: %s", __LINE__, ret, std::strerror(errno));
    return -1;
}

int recovery_mode() {
    FilePtr fp{plat_fopen("/proc/cmdline", "r")};
    if (!fp) {
        LOGF("Error opening /proc/cmdline");
        return -1;
    }
    char line[kCmdlineSize];
    if (!std::fgets(line, sizeof line, fp.get())) {
        LOGF("Error reading /proc/cmdline");
        return -1;
    }
    fp.reset();
    if (std::strstr(line, "recovery")) {
        LOGF("The cmdline contains 'recovery'");
        return 1;
    }
    if (std::strstr(line, "PRJ_QX410_IN_00")) {
        LOGF("The cmdline contain 'PRJ_QX410_IN_00'");
        return 0;
    }
    return -1;
}
