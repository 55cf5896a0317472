#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/file_util.h"
#include "core/log.h"
#include "platform/platform.h"

namespace {
constexpr const char* DIR_INSTALL = "/data/upgrade/install";
}

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    if (plat_init() != 0) return 255;
    auto cmd = make_command(256, "mkdir -p %s", {DIR_INSTALL});
    LOGF("DIR_INSTALL :%s ", DIR_INSTALL);
    int ret = cmd ? plat_system(cmd->c_str()) : -1;
    if (ret != 0) {
        std::printf("%s[%d] run system failed, ret: %d, %s\n", "main", __LINE__, ret, std::strerror(errno));
        return 255;
    }
    LOGF("------Upgrade Entry------");
    return 0;
}
