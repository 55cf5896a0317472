#include "core/file_util.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "platform/platform.h"

int32_t get_file_size(const char* path) {
    FilePtr fp{plat_fopen(path, "r")};
    if (!fp) {
        // Not through dflog, which calls this for every entry.
        std::printf("fopen %s error: %s\n", path, std::strerror(errno));
        return -1;
    }
    if (std::fseek(fp.get(), 0, SEEK_END) != 0) return -1;
    long pos = std::ftell(fp.get());
    return static_cast<int32_t>(pos);
}

std::optional<std::string> dir_part(std::string_view path) {
    for (size_t i = path.size(); i-- > 1;)
        if (path[i] == '/') return std::string(path.substr(0, i));
    return std::nullopt;
}

uint64_t get_free_space_for_file(const char* path) {
    if (std::strlen(path) >= PATH_BUF_SIZE) {
        LOGF("[%d] path too long (%zu bytes, at most %zu): %s", __LINE__, std::strlen(path), PATH_BUF_SIZE - 1,
             path);
        return UINT64_MAX;
    }
    auto dir = dir_part(path);
    if (!dir) {
        LOGF("[%d] Error not found '/'", __LINE__);
        return UINT64_MAX;
    }
    struct statfs st;
    if (plat_statfs(dir->c_str(), &st) != 0) {
        LOGF("failed to statfs %s: %s", path, std::strerror(errno));
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(st.f_bsize) * static_cast<uint64_t>(st.f_bavail);
}

int create_dir_from_file(const char* path) {
    if (std::strlen(path) >= PATH_BUF_SIZE) {
        LOGF("[%d] path too long (%zu bytes, at most %zu): %s", __LINE__, std::strlen(path), PATH_BUF_SIZE - 1,
             path);
        return -1;
    }
    auto dir = dir_part(path);
    if (!dir) {
        LOGF("[%d] error not found", __LINE__);
        return -1;
    }
    if (plat_access(dir->c_str(), F_OK) != 0) {
        auto cmd = make_command(CMD_BUF_SIZE, "mkdir -p %s", {*dir});
        if (!cmd) {
            LOGF("[%d] command too long: mkdir -p %s", __LINE__, dir->c_str());
            return -1;
        }
        // A failure shows up in the copy that follows.
        plat_system(cmd->c_str());
    }
    return 0;
}

int copy_file(const char* src, const char* dst) {
    LOGF("copy_file: %s, %s", src, dst);
    if (create_dir_from_file(dst) != 0) {
        LOGF("[%d] create dir failed", __LINE__);
        return -1;
    }
    auto cmd = make_command(CMD_BUF_SIZE, "cp -av %s %s", {src, dst});
    if (!cmd) {
        LOGF("[%d] command too long: cp -av %s %s", __LINE__, src, dst);
        return -1;
    }
    int ret = plat_system(cmd->c_str());
    if (plat_cmd_failed(ret)) {
        LOGF("copy_file error: %s, %s", src, dst);
        LOGF("%s[%d] run system failed, ret: %d, %s", "copy_file", __LINE__, ret, std::strerror(errno));
        return -1;
    }
    plat_sync();
    LOGF("sync copy file");
    return 0;
}

std::string shell_quote(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    out += '\'';
    return out;
}

namespace {

std::string quote_path(std::string_view path) {
    // A trailing glob must stay outside the quotes to keep its meaning.
    if (!path.empty() && path.back() == '*') return shell_quote(path.substr(0, path.size() - 1)) + "*";
    return shell_quote(path);
}

std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> paths, bool host) {
    std::string out;
    auto it = paths.begin();
    for (size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] == '%' && i + 1 < tmpl.size() && tmpl[i + 1] == 's' && it != paths.end()) {
            std::string p = host ? plat_host_path(*it) : std::string(*it);
            ++it;
            out += quote_path(p);
            ++i;
        } else {
            out += tmpl[i];
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> make_command(size_t limit, std::string_view tmpl,
                                        std::initializer_list<std::string_view> paths) {
    if (fill(tmpl, paths, false).size() >= limit) return std::nullopt;
    return fill(tmpl, paths, true);
}
