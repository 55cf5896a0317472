// The one doorway from the agent to the operating system.
//
// Every device path the agent opens, tests, lists, removes or runs a command
// on goes through these functions. The device build passes them straight to
// the kernel; the simulation build maps them into a directory tree that
// stands in for the module, traces every mutating operation, and can cut the
// power before any of them. Nothing else in the agent may call the OS for a
// device path.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// Prepares the platform. The simulation checks its root here and refuses to
// start without a valid one (one line on stderr, result -1).
int plat_init();

// The path as the host kernel sees it: the identity on the device, the path
// inside the simulated root in the simulation. Command lines carry this form.
std::string plat_host_path(std::string_view device_path);

// Streams. Modes are those of fopen. A stream opened for writing must be
// closed with fclose (or the RAII holder below) like any other.
FILE* plat_fopen(const char* path, const char* mode);
// Flushes the stream and commits its file to storage.
int plat_fsync(FILE* fp);

// Descriptors, for the device nodes that are driven by raw reads and writes.
int plat_open(const char* path, int flags, mode_t mode = 0);
ssize_t plat_write(int fd, const void* buf, size_t len);
int plat_close(int fd);

int plat_access(const char* path, int mode);
// Existence as the agent tests it everywhere: access with F_OK, links followed.
inline bool plat_exists(const char* path) { return plat_access(path, F_OK) == 0; }
inline bool plat_exists(const std::string& path) { return plat_exists(path.c_str()); }
int plat_stat(const char* path, struct stat* st);
int plat_lstat(const char* path, struct stat* st);
int plat_statfs(const char* path, struct statfs* st);
int plat_unlink(const char* path);
int plat_rmdir(const char* path);
int plat_truncate(const char* path, off_t len);
int plat_rename(const char* from, const char* to);
int plat_chmod(const char* path, mode_t mode);
int plat_mkdir(const char* path, mode_t mode);
// The creation mask of this process and of the commands it runs.
inline mode_t plat_umask(mode_t mask) { return ::umask(mask); }
DIR* plat_opendir(const char* path);
ssize_t plat_readlink(const char* path, char* buf, size_t len);
void plat_sync();

// Shell commands. The command line is run by /bin/sh exactly as given (paths
// in it already in host form). plat_system returns the raw wait status, or
// -1 when no shell could be run. plat_popen opens a read pipe on the
// command's standard output; plat_pclose returns the raw wait status.
int plat_system(const char* cmd);
FILE* plat_popen(const char* cmd);
int plat_pclose(FILE* fp);
// A command that touches nothing but the agent's own log files (rotation).
// The simulation neither counts nor cuts it.
int plat_log_system(const char* cmd);

// The one rule for a command's status: -1 (no shell) or any bit of 0xff7f
// (non-zero exit code, or a terminating signal) is a failure. The core-dump
// bit alone is not.
inline bool plat_cmd_failed(int status) { return status == -1 || (status & 0xff7f) != 0; }

// --- RAII holders: every path closes what it opened. ---

struct FileCloser {
    void operator()(FILE* fp) const noexcept {
        if (fp) std::fclose(fp);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Closes the stream now and reports fclose's result (0 or EOF).
inline int close_file(FilePtr& fp) {
    FILE* raw = fp.release();
    return raw ? std::fclose(raw) : 0;
}

struct PipeCloser {
    void operator()(FILE* fp) const noexcept {
        if (fp) plat_pclose(fp);
    }
};
using PipePtr = std::unique_ptr<FILE, PipeCloser>;

inline int close_pipe(PipePtr& fp) {
    FILE* raw = fp.release();
    return raw ? plat_pclose(raw) : -1;
}

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    int reset(int fd = -1) {
        int rc = 0;
        if (fd_ >= 0) rc = plat_close(fd_);
        fd_ = fd;
        return rc;
    }

private:
    int fd_ = -1;
};

struct DirCloser {
    void operator()(DIR* d) const noexcept {
        if (d) closedir(d);
    }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// --- MTD character devices (raw NAND partitions). ---
//
// The device build drives /dev/mtdN with the kernel's MTD requests; the
// simulation drives a regular file of the same name through a NAND emulator
// (erase to 0xFF, programming as AND, injected bad blocks, ECC events and
// program failures). Positions are those of the descriptor, as with read and
// write. Every call returns -1 with errno set on failure.

// The four counters of the ECC statistics request.
struct plat_mtd_ecc_stats {
    uint32_t corrected;
    uint32_t failed;
    uint32_t badblocks;
    uint32_t bbtblocks;
};

// Opens "/dev/mtd<device_index>" with O_RDONLY or O_RDWR.
int plat_mtd_open(int device_index, int flags);
int plat_mtd_close(int fd);
// Size and erase-block size of the device behind fd.
int plat_mtd_info(int fd, uint32_t* size, uint32_t* erase_size);
off_t plat_mtd_seek(int fd, off_t offset, int whence);
ssize_t plat_mtd_read(int fd, void* buf, size_t len);
// One program operation; on NAND it only clears bits of an erased block.
ssize_t plat_mtd_write(int fd, const void* buf, size_t len);
int plat_mtd_get_ecc_stats(int fd, plat_mtd_ecc_stats* stats);
// 0 for a good block, greater than 0 for a bad one, -1 on error.
int plat_mtd_bad_block(int fd, int64_t offset);
// Erases the blocks of [start, start + length).
int plat_mtd_erase(int fd, uint32_t start, uint32_t length);
