// The device implementation of the platform seam: every call goes straight
// to the kernel with the path unchanged.
#include "platform/platform.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

int plat_init() { return 0; }

std::string plat_host_path(std::string_view device_path) { return std::string(device_path); }

FILE* plat_fopen(const char* path, const char* mode) {
    // A FIFO where a file should be would hold the run for good in its open
    // or its first read, and the module would never reboot.
    struct stat st;
    if (::stat(path, &st) == 0 && S_ISFIFO(st.st_mode)) {
        errno = ENXIO;
        return nullptr;
    }
    return std::fopen(path, mode);
}

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

// --- MTD character devices ---

// The request numbers belong to the kernel's ABI on the module; a header
// from a different architecture would encode them differently and every
// request would fail with ENOTTY on the device.
static_assert(static_cast<unsigned long>(ECCGETSTATS) == 0x80104D12UL);
static_assert(static_cast<unsigned long>(MEMGETBADBLOCK) == 0x40084D0BUL);
static_assert(static_cast<unsigned long>(MEMERASE) == 0x40084D02UL);

// The statistics are copied as they come from the kernel.
static_assert(sizeof(plat_mtd_ecc_stats) == 16 && sizeof(mtd_ecc_stats) == 16);
static_assert(offsetof(plat_mtd_ecc_stats, corrected) == offsetof(mtd_ecc_stats, corrected));
static_assert(offsetof(plat_mtd_ecc_stats, failed) == offsetof(mtd_ecc_stats, failed));
static_assert(offsetof(plat_mtd_ecc_stats, badblocks) == offsetof(mtd_ecc_stats, badblocks));
static_assert(offsetof(plat_mtd_ecc_stats, bbtblocks) == offsetof(mtd_ecc_stats, bbtblocks));

int plat_mtd_open(int device_index, int flags) {
    if (device_index < 0) {
        errno = EINVAL;
        return -1;
    }
    std::string path = "/dev/mtd" + std::to_string(device_index);
    // Commands the agent runs must not inherit a writable flash device.
    return ::open(path.c_str(), flags | O_CLOEXEC);
}

int plat_mtd_close(int fd) { return ::close(fd); }

int plat_mtd_info(int fd, uint32_t* size, uint32_t* erase_size) {
    mtd_info_user info{};
    if (::ioctl(fd, MEMGETINFO, &info) != 0) return -1;
    if (size) *size = info.size;
    if (erase_size) *erase_size = info.erasesize;
    return 0;
}

off_t plat_mtd_seek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
ssize_t plat_mtd_read(int fd, void* buf, size_t len) { return ::read(fd, buf, len); }
ssize_t plat_mtd_write(int fd, const void* buf, size_t len) { return ::write(fd, buf, len); }

int plat_mtd_get_ecc_stats(int fd, plat_mtd_ecc_stats* stats) {
    if (!stats) {
        errno = EFAULT;
        return -1;
    }
    mtd_ecc_stats raw{};
    if (::ioctl(fd, ECCGETSTATS, &raw) != 0) return -1;
    std::memcpy(stats, &raw, sizeof raw);
    return 0;
}

int plat_mtd_bad_block(int fd, int64_t offset) {
    loff_t ofs = offset;
    return ::ioctl(fd, MEMGETBADBLOCK, &ofs);
}

int plat_mtd_erase(int fd, uint32_t start, uint32_t length) {
    erase_info_user ei{start, length};
    return ::ioctl(fd, MEMERASE, &ei);
}
