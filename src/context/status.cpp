#include "context/status.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

void report_stage(const char* name, int percent) {
    if (FilePtr fp{plat_fopen(STATUS_FILE, "w")}) {
        size_t len = std::strlen(name);
        std::fwrite(name, 1, len, fp.get());
        if (len == 0 || name[len - 1] != '\n') std::fputc('\n', fp.get());
    }
    append_file_line(STATUS_LIST_FILE, name);
    if (FilePtr fp{plat_fopen(INSTALL_PROCESS_FILE, "w")}) {
        char buf[32] = {};
        int n = std::snprintf(buf, sizeof buf, "%d", percent);
        std::fwrite(buf, 1, static_cast<size_t>(n), fp.get());
    }
}

void append_file_line(const char* path, const char* text) {
    if (text[0] == '\0') {
        std::perror("append file line");
        return;
    }
    FilePtr fp{plat_fopen(path, "a")};
    if (!fp) return;
    size_t len = std::strlen(text);
    if (text[len - 1] == '\n') std::fwrite(text, 1, len, fp.get());
    else std::fprintf(fp.get(), "%s\n", text);
}
