#include "storage/ubi.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "core/file_util.h"
#include "core/log.h"
#include "platform/platform.h"

namespace {

// The name is a word for grep and umount, not a device path: it is quoted
// but never mapped. The line must still fit the device's command buffer.
std::optional<std::string> name_command(const char* head, const char* name, const char* tail) {
    std::string cmd = std::string(head) + shell_quote(name) + tail;
    if (cmd.size() >= CMD_BUF_SIZE) return std::nullopt;
    return cmd;
}

}  // namespace

void kelo_find_ubiname(const char* name, char* ubiname) {
    auto cmd = name_command("df | grep -w ", name, " | awk '{print $1}'");
    if (!cmd) {
        LOGF("[%d] command too long for %s", __LINE__, name);
        return;
    }
    PipePtr pipe{plat_popen(cmd->c_str())};
    if (!pipe) {
        LOGF("Error, popen is NULL");
        return;
    }
    std::memset(ubiname, 0, UBI_NAME_SIZE);
    std::fread(ubiname, 1, UBI_NAME_SIZE - 1, pipe.get());
    close_pipe(pipe);
    LOGF("ubiname:%s", ubiname);
}

void kelo_umount(const char* name) {
    auto cmd = name_command("mount | grep -w ", name, "");
    auto umount = name_command("umount ", name, "");
    if (!cmd || !umount) {
        LOGF("[%d] command too long for %s", __LINE__, name);
        return;
    }
    PipePtr pipe{plat_popen(cmd->c_str())};
    if (!pipe) {
        LOGF("Error, popen is NULL");
        return;
    }
    char out[CMD_BUF_SIZE + 1] = {};
    size_t n = std::fread(out, 1, CMD_BUF_SIZE, pipe.get());
    close_pipe(pipe);
    if (n == 0) return;
    // umount takes a bare name relative to the working directory, so it
    // unmounts nothing unless the agent was started from /. The mount point
    // of the line ("SOURCE on DIR type ...") means the same from anywhere.
    static_assert(CMD_BUF_SIZE == 256, "the field width of the scan below");
    char dir[CMD_BUF_SIZE] = {};
    if (std::sscanf(out, "%*s on %255s", dir) == 1 && dir[0] == '/') {
        if (auto at_dir = name_command("umount ", dir, "")) {
            LOGF("[%d] %s is mounted on %s", __LINE__, name, dir);
            umount = at_dir;
        }
    }
    LOGF("system call: %s", umount->c_str());
    // Whatever umount achieves, the partition is written next.
    plat_system(umount->c_str());
}

void kelo_detach_ubi(const char* ubiname) {
    // df names the source the file system was mounted from: the volume's
    // node (/dev/ubi0_0) or, as UBIFS is usually mounted, the volume itself
    // (ubi0:system, ubi0_0). Both carry the UBI device number; reading only
    // the first would leave the device attached under the raw write.
    const char* text = ubiname ? ubiname : "";
    bool node = std::strncmp(text, "/dev/", 5) == 0;
    int ubi = -1;
    if (std::sscanf(node ? text + 5 : text, "ubi%d", &ubi) == 1 && !node)
        LOGF("[%d] mounted by volume name, UBI device %d", __LINE__, ubi);
    char cmd[CMD_BUF_SIZE];
    std::snprintf(cmd, sizeof cmd, "ubidetach -d %d", ubi);
    LOGF("system call: %s", cmd);
    // A text that named no UBI device asks for -1, which the tool refuses.
    plat_system(cmd);
}
