// The device implementation of the platform seam: every call goes straight
// to the kernel with the path unchanged.
#include "platform/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

int plat_init() { return 0; }

std::string plat_host_path(std::string_view device_path) { return std::string(device_path); }

FILE* plat_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

int plat_fsync(FILE* fp) {
    if (std::fflush(fp) != 0) return -1;
    return fsync(fileno(fp));
}

int plat_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

ssize_t plat_write(int fd, const void* buf, size_t len) {
    ssize_t n;
    do {
        n = ::write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

int plat_close(int fd) { return ::close(fd); }
int plat_access(const char* path, int mode) { return ::access(path, mode); }
int plat_stat(const char* path, struct stat* st) { return ::stat(path, st); }
int plat_lstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int plat_statfs(const char* path, struct statfs* st) { return ::statfs(path, st); }
int plat_unlink(const char* path) { return ::unlink(path); }
int plat_rmdir(const char* path) { return ::rmdir(path); }
int plat_truncate(const char* path, off_t len) { return ::truncate(path, len); }
int plat_rename(const char* from, const char* to) { return ::rename(from, to); }
int plat_chmod(const char* path, mode_t mode) { return ::chmod(path, mode); }
int plat_mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
DIR* plat_opendir(const char* path) { return ::opendir(path); }
ssize_t plat_readlink(const char* path, char* buf, size_t len) { return ::readlink(path, buf, len); }
void plat_sync() { ::sync(); }

int plat_system(const char* cmd) {
    std::fflush(nullptr);  // keep our buffered lines ahead of the command's
    return std::system(cmd);
}

FILE* plat_popen(const char* cmd) {
    std::fflush(nullptr);
    return ::popen(cmd, "r");
}

int plat_pclose(FILE* fp) { return ::pclose(fp); }

int plat_log_system(const char* cmd) { return plat_system(cmd); }
