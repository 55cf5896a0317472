// The simulated device behind the platform seam.
//
// A directory tree on the host (DFOTA_SYSROOT) stands in for the module:
// every device path is taken inside it, platform tools come only from its
// bin/, device nodes are regular files that are never truncated, and every
// mutating operation can be traced (DFOTA_SIM_TRACE) and can be the point
// where the power is cut (DFOTA_SIM_CUT_AT).
#include "platform/platform.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/sim_shell.h"

namespace {

std::string g_root;                 // without a trailing slash
int g_trace_fd = -1;
uint64_t g_cut_at = 0;              // 0: never
uint64_t g_ops = 0;

// The agent's own log is not device state that a crash test cares about,
// and counting its writes would make operation numbers depend on log size.
// The console is the log's echo.
constexpr std::array<std::string_view, 3> kUntracedPaths = {
    "/data/upgrade/install/log", "/data/upgrade/install/logbak", "/dev/ttyMSM0"};

bool untraced(std::string_view device_path) {
    for (auto p : kUntracedPaths)
        if (device_path == p) return true;
    return false;
}

void write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Called just before every mutating operation.
void sim_op(std::string_view kind, std::string_view what) {
    ++g_ops;
    if (g_cut_at != 0 && g_ops == g_cut_at) {
        std::string msg = "dfota-sim: power cut before operation " + std::to_string(g_ops) + " (" +
                          std::string(kind) + " " + std::string(what) + ")\n";
        write_all(2, msg.data(), msg.size());
        _exit(137);
    }
    if (g_trace_fd >= 0) {
        std::string line = std::to_string(g_ops) + " " + std::string(kind) + " " + std::string(what) + "\n";
        write_all(g_trace_fd, line.data(), line.size());
    }
}

// --- NAND emulator state; the emulator itself is at the end of the file.

// What the fault files of one device say. Re-read on every open, so that a
// test can change them between opens.
struct NandFaults {
    std::set<uint64_t> bad, ecc, bitflips;
    // Block and programs left to spoil, in file order so that the rewritten
    // file keeps the order of the one it replaces.
    std::vector<std::pair<uint64_t, uint64_t>> wfail;
};

// One MTD device number. The ECC counters live as long as the process, as
// the kernel's do, whatever descriptor the reads came through.
struct NandDevice {
    NandFaults faults;
    uint32_t corrected = 0;
    uint32_t failed = 0;
};

// A descriptor from plat_mtd_open. It does not own the descriptor: the
// entry goes when plat_mtd_close or plat_close closes it.
struct MtdFile {
    int device = -1;
    std::string path;  // "/dev/mtdN", for the trace
    std::string host;  // the file behind it; the fault files sit beside it
    bool emulated = false;  // false: a real MTD device node, driven by ioctls
    bool readable = false;
    bool writable = false;
    uint32_t size = 0;
    uint32_t erase_size = 0;
    off_t pos = 0;
    std::vector<unsigned char> scratch;
};

std::map<int, NandDevice> g_nand;
std::unordered_map<int, MtdFile> g_mtd_files;

// "/a/./b/../c" -> "/a/c"; ".." never climbs above "/", exactly as on the device.
std::string normalize(std::string_view p) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < p.size()) {
        while (i < p.size() && p[i] == '/') ++i;
        size_t j = i;
        while (j < p.size() && p[j] != '/') ++j;
        std::string_view part = p.substr(i, j - i);
        if (part.empty() || part == ".") {
        } else if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else {
            parts.push_back(part);
        }
        i = j;
    }
    std::string out;
    out.reserve(p.size() + 2);
    for (auto part : parts) {
        out.push_back('/');
        out.append(part.data(), part.size());
    }
    // Keep a trailing slash: "dir/" must stay a directory reference.
    if (!parts.empty() && p.size() > 1 && p.back() == '/') out.push_back('/');
    if (out.empty()) out.push_back('/');
    return out;
}

bool is_device_node(std::string_view device_path) {
    return device_path.substr(0, 5) == "/dev/" && !untraced(device_path);
}

bool exists(const std::string& host) {
    struct stat st;
    return ::lstat(host.c_str(), &st) == 0;
}

// --- write streams: the writes reach the file through us, so that each one
// is counted and a cut loses exactly what was still in the stream's buffer.

struct SimFile {
    int fd = -1;
    std::string path;   // device path, for the trace
    bool traced = true;
    off_t capacity = -1;  // device nodes cannot grow
    FILE* fp = nullptr;
};

std::unordered_map<FILE*, SimFile*> g_files;
std::unordered_map<int, std::string> g_fds;  // traced descriptors open for writing
std::unordered_set<FILE*> g_fake_pipes;

ssize_t ck_read(void* c, char* buf, size_t n) {
    auto* sf = static_cast<SimFile*>(c);
    ssize_t r;
    do {
        r = ::read(sf->fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return r;
}

ssize_t ck_write(void* c, const char* buf, size_t n) {
    auto* sf = static_cast<SimFile*>(c);
    if (sf->traced) sim_op("write", sf->path);
    if (sf->capacity >= 0) {
        off_t pos = ::lseek(sf->fd, 0, SEEK_CUR);
        if (pos < 0) return 0;
        if (pos >= sf->capacity) {
            errno = ENOSPC;
            return 0;
        }
        if (static_cast<off_t>(n) > sf->capacity - pos) n = static_cast<size_t>(sf->capacity - pos);
    }
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(sf->fd, buf + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += static_cast<size_t>(w);
    }
    return static_cast<ssize_t>(done);
}

int ck_seek(void* c, off64_t* off, int whence) {
    auto* sf = static_cast<SimFile*>(c);
    off_t r = ::lseek(sf->fd, *off, whence);
    if (r < 0) return -1;
    *off = r;
    return 0;
}

int ck_close(void* c) {
    auto* sf = static_cast<SimFile*>(c);
    int rc = ::close(sf->fd);
    g_files.erase(sf->fp);
    delete sf;
    return rc;
}

// Kind of change an open with these flags makes to the file, if any.
const char* open_effect(const std::string& host, int flags, bool device) {
    bool present = exists(host);
    if (!present && (flags & O_CREAT)) return "create";
    if (present && (flags & O_TRUNC) && !device) return "truncate";
    return nullptr;
}

bool parse_mode(const char* mode, int& flags) {
    switch (mode[0]) {
        case 'r': flags = 0; break;
        case 'w': flags = O_CREAT | O_TRUNC; break;
        case 'a': flags = O_CREAT | O_APPEND; break;
        default: return false;
    }
    bool plus = false;
    for (const char* m = mode + 1; *m; ++m) {
        if (*m == '+') plus = true;
        else if (*m == 'x') flags |= O_EXCL;
        else if (*m == 'e') flags |= O_CLOEXEC;
    }
    if (plus) flags |= O_RDWR;
    else flags |= (mode[0] == 'r') ? O_RDONLY : O_WRONLY;
    return true;
}

// Relative paths are taken from the device's "/".
std::string device_path_of(std::string_view p) {
    if (p.empty()) return std::string();
    return normalize(p);
}

}  // namespace

int plat_init() {
    const char* root = std::getenv("DFOTA_SYSROOT");
    if (!root || !*root) {
        std::fprintf(stderr, "dfota-sim: DFOTA_SYSROOT is not set; it must name the simulated device's root directory\n");
        return -1;
    }
    if (root[0] != '/') {
        std::fprintf(stderr, "dfota-sim: DFOTA_SYSROOT must be an absolute path: %s\n", root);
        return -1;
    }
    std::string r(root);
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r == "/") {
        std::fprintf(stderr, "dfota-sim: DFOTA_SYSROOT must not be the host's root directory\n");
        return -1;
    }
    struct stat st;
    if (::stat(r.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "dfota-sim: DFOTA_SYSROOT is not an existing directory: %s\n", root);
        return -1;
    }
    uint64_t cut = 0;
    if (const char* c = std::getenv("DFOTA_SIM_CUT_AT"); c && *c) {
        char* end = nullptr;
        errno = 0;
        unsigned long long v = std::strtoull(c, &end, 10);
        if (errno != 0 || *end != '\0' || v == 0 || c[0] == '-') {
            std::fprintf(stderr, "dfota-sim: DFOTA_SIM_CUT_AT must be a positive operation number: %s\n", c);
            return -1;
        }
        cut = v;
    }
    int trace_fd = -1;
    if (const char* t = std::getenv("DFOTA_SIM_TRACE"); t && *t) {
        trace_fd = ::open(t, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (trace_fd < 0) {
            std::fprintf(stderr, "dfota-sim: cannot open DFOTA_SIM_TRACE %s: %s\n", t, std::strerror(errno));
            return -1;
        }
    }
    if (g_trace_fd >= 0) ::close(g_trace_fd);
    g_root = r;
    g_cut_at = cut;
    g_trace_fd = trace_fd;
    g_ops = 0;
    // A new root is a new device, just booted.
    for (auto& entry : g_nand) entry.second.corrected = entry.second.failed = 0;
    std::string path = g_root + "/bin";
    if (const char* old = std::getenv("PATH"); old && *old) path += std::string(":") + old;
    ::setenv("PATH", path.c_str(), 1);
    return 0;
}

std::string plat_host_path(std::string_view device_path) {
    if (device_path.empty()) return std::string();
    std::string dev = device_path_of(device_path);
    return dev == "/" ? g_root + "/" : g_root + dev;
}

FILE* plat_fopen(const char* path, const char* mode) {
    std::string dev = device_path_of(path);
    std::string host = plat_host_path(path);
    int flags = 0;
    if (!parse_mode(mode, flags)) {
        errno = EINVAL;
        return nullptr;
    }
    struct stat st;
    const bool exists_now = ::stat(host.c_str(), &st) == 0;
    if (exists_now && S_ISFIFO(st.st_mode)) {
        errno = ENXIO;  // as on the device: a FIFO would hold the run for good
        return nullptr;
    }
    if ((flags & O_ACCMODE) == O_RDONLY) return std::fopen(host.c_str(), mode);

    bool traced = !untraced(dev);
    bool device = false;
    off_t capacity = -1;
    if (is_device_node(dev)) {
        if (exists_now && S_ISREG(st.st_mode)) {
            device = true;  // a partition: opening it for writing never truncates it
            capacity = st.st_size;
            flags &= ~(O_TRUNC | O_CREAT | O_APPEND);
        }
    } else if (dev == "/dev/ttyMSM0") {
        flags &= ~O_TRUNC;  // a console is not truncated by opening it
        flags |= O_APPEND;
    }
    if (traced)
        if (const char* effect = open_effect(host, flags, device)) sim_op(effect, dev);
    int fd = ::open(host.c_str(), flags, 0666);
    if (fd < 0) return nullptr;
    auto* sf = new SimFile{fd, dev, traced, capacity, nullptr};
    cookie_io_functions_t io{ck_read, ck_write, ck_seek, ck_close};
    FILE* fp = fopencookie(sf, mode, io);
    if (!fp) {
        int e = errno;
        ::close(fd);
        delete sf;
        errno = e;
        return nullptr;
    }
    sf->fp = fp;
    g_files[fp] = sf;
    return fp;
}

int plat_fsync(FILE* fp) {
    if (std::fflush(fp) != 0) return -1;
    auto it = g_files.find(fp);
    int fd = it != g_files.end() ? it->second->fd : fileno(fp);
    return ::fsync(fd);
}

int plat_open(const char* path, int flags, mode_t mode) {
    std::string dev = device_path_of(path);
    std::string host = plat_host_path(path);
    bool writing = (flags & O_ACCMODE) != O_RDONLY;
    bool traced = writing && !untraced(dev);
    if (traced) {
        bool device = false;
        struct stat st;
        if (is_device_node(dev) && ::stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            device = true;
            flags &= ~O_TRUNC;
        }
        if (const char* effect = open_effect(host, flags, device)) sim_op(effect, dev);
    }
    int fd = ::open(host.c_str(), flags, mode);
    if (fd >= 0 && traced) g_fds[fd] = dev;
    return fd;
}

ssize_t plat_write(int fd, const void* buf, size_t len) {
    auto it = g_fds.find(fd);
    if (it != g_fds.end()) sim_op("write", it->second);
    ssize_t n;
    do {
        n = ::write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

int plat_close(int fd) {
    g_fds.erase(fd);
    g_mtd_files.erase(fd);
    return ::close(fd);
}

int plat_access(const char* path, int mode) { return ::access(plat_host_path(path).c_str(), mode); }
int plat_stat(const char* path, struct stat* st) { return ::stat(plat_host_path(path).c_str(), st); }
int plat_lstat(const char* path, struct stat* st) { return ::lstat(plat_host_path(path).c_str(), st); }
int plat_statfs(const char* path, struct statfs* st) { return ::statfs(plat_host_path(path).c_str(), st); }

int plat_unlink(const char* path) {
    sim_op("unlink", device_path_of(path));
    return ::unlink(plat_host_path(path).c_str());
}

int plat_rmdir(const char* path) {
    sim_op("remove", device_path_of(path));
    return ::rmdir(plat_host_path(path).c_str());
}

int plat_truncate(const char* path, off_t len) {
    sim_op("truncate", device_path_of(path));
    return ::truncate(plat_host_path(path).c_str(), len);
}

int plat_rename(const char* from, const char* to) {
    sim_op("rename", device_path_of(from) + " " + device_path_of(to));
    return ::rename(plat_host_path(from).c_str(), plat_host_path(to).c_str());
}

int plat_chmod(const char* path, mode_t mode) {
    sim_op("chmod", device_path_of(path));
    return ::chmod(plat_host_path(path).c_str(), mode);
}

int plat_mkdir(const char* path, mode_t mode) {
    sim_op("mkdir", device_path_of(path));
    return ::mkdir(plat_host_path(path).c_str(), mode);
}

DIR* plat_opendir(const char* path) { return ::opendir(plat_host_path(path).c_str()); }

ssize_t plat_readlink(const char* path, char* buf, size_t len) {
    return ::readlink(plat_host_path(path).c_str(), buf, len);
}

void plat_sync() {
    int fd = ::open(g_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
}

namespace {

// The status a shell gives a command it cannot find.
constexpr int kNotFoundStatus = 127 << 8;

bool refuse_missing_tool(const char* cmd) {
    std::string tool = sim_missing_platform_tool(cmd, g_root);
    if (tool.empty()) return false;
    std::fprintf(stderr, "dfota-sim: %s: not found in the device's bin, command not run\n", tool.c_str());
    return true;
}

}  // namespace

int plat_system(const char* cmd) {
    sim_op("command", cmd);
    std::fflush(nullptr);
    if (refuse_missing_tool(cmd)) return kNotFoundStatus;
    return std::system(cmd);
}

FILE* plat_popen(const char* cmd) {
    sim_op("command", cmd);
    std::fflush(nullptr);
    if (refuse_missing_tool(cmd)) {
        // A pipe that delivers nothing, as from a shell that found no tool.
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
        ::close(fds[1]);
        FILE* fp = ::fdopen(fds[0], "r");
        if (!fp) {
            ::close(fds[0]);
            return nullptr;
        }
        g_fake_pipes.insert(fp);
        return fp;
    }
    return ::popen(cmd, "r");
}

int plat_pclose(FILE* fp) {
    if (g_fake_pipes.erase(fp)) {
        std::fclose(fp);
        return kNotFoundStatus;
    }
    return ::pclose(fp);
}

int plat_log_system(const char* cmd) {
    std::fflush(nullptr);
    return std::system(cmd);
}

// --- MTD devices: the NAND emulator ---
//
// dev/mtdN is a regular file with the raw bytes of the device; proc/mtd
// gives its size and erase-block size. Reads and programs work at the
// descriptor's position, at any offset and length (the emulator has no
// notion of pages). A real MTD node under the root is driven by the
// kernel's requests instead.

namespace {

class HostFd {
public:
    explicit HostFd(int fd) : fd_(fd) {}
    HostFd(const HostFd&) = delete;
    HostFd& operator=(const HostFd&) = delete;
    ~HostFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Nothing may escape the seam; the only thing the emulator can throw is
// an allocation failure.
template <class F>
auto no_throw(F&& f) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::strchr(" \t\r\v\f", line[i])) ++i;
        size_t j = i;
        while (j < line.size() && !std::strchr(" \t\r\v\f", line[j])) ++j;
        if (j > i) words.push_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

// The whole word must be a number of the base: no sign, no prefix.
bool parse_number(std::string_view word, int base, uint64_t& out) {
    if (word.empty()) return false;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), out, base);
    return ec == std::errc() && end == word.data() + word.size();
}

// The size and erase size that proc/mtd gives device n. An entry the
// emulator cannot work with counts as none.
bool proc_mtd_entry(int n, uint32_t& size, uint32_t& erase_size) {
    std::ifstream in(plat_host_path("/proc/mtd"));
    const std::string name = "mtd" + std::to_string(n) + ":";
    for (std::string line; std::getline(in, line);) {
        auto words = split_words(line);
        uint64_t sz = 0, es = 0;
        if (words.size() < 3 || words[0] != name || !parse_number(words[1], 16, sz) ||
            !parse_number(words[2], 16, es))
            continue;
        if (sz > UINT32_MAX || es == 0 || sz == 0 || sz % es != 0) continue;
        size = static_cast<uint32_t>(sz);
        erase_size = static_cast<uint32_t>(es);
        return true;
    }
    return false;
}

std::set<uint64_t> read_block_list(const std::string& host) {
    std::set<uint64_t> blocks;
    std::ifstream in(host);
    for (std::string line; std::getline(in, line);) {
        auto words = split_words(line);
        uint64_t block = 0;
        if (words.size() == 1 && parse_number(words[0], 10, block)) blocks.insert(block);
    }
    return blocks;
}

NandFaults read_faults(const std::string& host) {
    NandFaults f;
    f.bad = read_block_list(host + ".bad");
    f.ecc = read_block_list(host + ".ecc");
    f.bitflips = read_block_list(host + ".bitflips");
    std::ifstream in(host + ".wfail");
    for (std::string line; std::getline(in, line);) {
        auto words = split_words(line);
        uint64_t block = 0, count = 0;
        if (words.size() == 2 && parse_number(words[0], 10, block) && parse_number(words[1], 10, count) &&
            count > 0)
            f.wfail.emplace_back(block, count);
    }
    return f;
}

// Written at once, so that a fault used up stays used up across a power
// cut at the next operation and across runs.
void save_wfail(const std::string& host, const NandFaults& f) {
    std::string text;
    for (const auto& [block, left] : f.wfail)
        if (left > 0) text += std::to_string(block) + " " + std::to_string(left) + "\n";
    HostFd fd(::open((host + ".wfail").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() >= 0) write_all(fd.get(), text.data(), text.size());
}

bool take_wfail(NandFaults& f, uint64_t block) {
    for (auto& [b, left] : f.wfail) {
        if (b == block && left > 0) {
            --left;
            return true;
        }
    }
    return false;
}

// Bytes the host file lacks read as never-programmed flash.
bool pread_full(int fd, unsigned char* buf, size_t n, off_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, buf + done, n - done, at + static_cast<off_t>(done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    std::memset(buf + done, 0xFF, n - done);
    return true;
}

bool pwrite_full(int fd, const unsigned char* buf, size_t n, off_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::pwrite(fd, buf + done, n - done, at + static_cast<off_t>(done));
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

// Programming a NAND cell can only clear bits.
void program_bits(unsigned char* cells, const unsigned char* data, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, cells + i, 8);
        std::memcpy(&b, data + i, 8);
        a &= b;
        std::memcpy(cells + i, &a, 8);
    }
    for (; i < n; ++i) cells[i] &= data[i];
}

MtdFile* mtd_file(int fd) {
    auto it = g_mtd_files.find(fd);
    return it == g_mtd_files.end() ? nullptr : &it->second;
}

int emu_open(int n, int flags) {
    if (n < 0) {
        errno = EINVAL;
        return -1;
    }
    MtdFile f;
    f.device = n;
    f.path = "/dev/mtd" + std::to_string(n);
    f.host = plat_host_path(f.path);
    struct stat st;
    if (::stat(f.host.c_str(), &st) != 0) return -1;
    int access = flags & O_ACCMODE;
    f.readable = access != O_WRONLY;
    f.writable = access != O_RDONLY;
    // A device node is never created, truncated or grown by opening it.
    flags &= ~(O_CREAT | O_EXCL | O_TRUNC | O_APPEND);
    f.emulated = S_ISREG(st.st_mode);
    if (f.emulated) {
        if (!proc_mtd_entry(n, f.size, f.erase_size)) {
            errno = ENODEV;
            return -1;
        }
        // A program reads the cells it changes.
        flags = (flags & ~O_ACCMODE) | (f.writable ? O_RDWR : O_RDONLY);
    }
    HostFd fd(::open(f.host.c_str(), flags | O_CLOEXEC));
    if (fd.get() < 0) return -1;
    if (f.emulated) g_nand[n].faults = read_faults(f.host);
    g_mtd_files[fd.get()] = std::move(f);
    return fd.release();
}

ssize_t emu_read(int fd, MtdFile& f, void* buf, size_t len) {
    if (!f.readable) {
        errno = EBADF;
        return -1;
    }
    if (len == 0 || f.pos >= static_cast<off_t>(f.size)) return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, f.size - static_cast<uint64_t>(f.pos)));
    if (!pread_full(fd, static_cast<unsigned char*>(buf), n, f.pos)) return -1;
    NandDevice& dev = g_nand[f.device];
    uint64_t first = static_cast<uint64_t>(f.pos) / f.erase_size;
    uint64_t last = (static_cast<uint64_t>(f.pos) + n - 1) / f.erase_size;
    for (uint64_t b = first; b <= last; ++b) {
        if (dev.faults.ecc.count(b)) ++dev.failed;
        if (dev.faults.bitflips.count(b)) ++dev.corrected;
    }
    f.pos += static_cast<off_t>(n);
    return static_cast<ssize_t>(n);
}

ssize_t emu_write(int fd, MtdFile& f, const void* buf, size_t len) {
    if (!f.writable) {
        errno = EBADF;
        return -1;
    }
    sim_op("write", f.path);
    // As the kernel does: at the end nothing fits; across it, what fits.
    if (f.pos >= static_cast<off_t>(f.size)) {
        errno = ENOSPC;
        return -1;
    }
    if (len == 0) return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, f.size - static_cast<uint64_t>(f.pos)));
    const auto* data = static_cast<const unsigned char*>(buf);
    NandDevice& dev = g_nand[f.device];
    uint64_t first = static_cast<uint64_t>(f.pos) / f.erase_size;
    uint64_t last = (static_cast<uint64_t>(f.pos) + n - 1) / f.erase_size;
    for (uint64_t b = first; b <= last; ++b) {
        if (dev.faults.bad.count(b)) {
            errno = EIO;
            return -1;
        }
    }
    f.scratch.resize(n);
    unsigned char* cells = f.scratch.data();
    if (!pread_full(fd, cells, n, f.pos)) return -1;
    program_bits(cells, data, n);
    bool spoiled = false;
    for (uint64_t b = first; b <= last; ++b) {
        if (!take_wfail(dev.faults, b)) continue;
        // Spoil the first byte this program put into the block so that it
        // cannot read back as written, whatever the cell held before.
        size_t at = static_cast<size_t>(std::max<uint64_t>(b * f.erase_size, static_cast<uint64_t>(f.pos)) -
                                        static_cast<uint64_t>(f.pos));
        auto flipped = static_cast<unsigned char>(~cells[at]);
        if (flipped != data[at]) cells[at] = flipped;
        spoiled = true;
    }
    if (spoiled) save_wfail(f.host, dev.faults);
    if (!pwrite_full(fd, cells, n, f.pos)) return -1;
    f.pos += static_cast<off_t>(n);
    return static_cast<ssize_t>(n);
}

int emu_erase(int fd, MtdFile& f, uint32_t start, uint32_t length) {
    if (!f.writable) {
        errno = EPERM;  // what the kernel answers for a read-only descriptor
        return -1;
    }
    sim_op("erase", f.path);
    const uint32_t es = f.erase_size;
    if (start >= f.size || length > f.size - start || start % es != 0 || length % es != 0) {
        errno = EINVAL;
        return -1;
    }
    const NandFaults& faults = g_nand[f.device].faults;
    f.scratch.assign(es, 0xFF);
    // Block by block, as the chip does: the blocks before a bad one are erased.
    for (uint64_t b = start / es; b < (uint64_t{start} + length) / es; ++b) {
        if (faults.bad.count(b)) {
            errno = EIO;
            return -1;
        }
        if (!pwrite_full(fd, f.scratch.data(), es, static_cast<off_t>(b * es))) return -1;
    }
    return 0;
}

}  // namespace

int plat_mtd_open(int device_index, int flags) {
    return no_throw([&] { return emu_open(device_index, flags); });
}

int plat_mtd_close(int fd) { return plat_close(fd); }

int plat_mtd_info(int fd, uint32_t* size, uint32_t* erase_size) {
    MtdFile* f = mtd_file(fd);
    if (!f || !f->emulated) {
        mtd_info_user info{};
        if (::ioctl(fd, MEMGETINFO, &info) != 0) return -1;
        if (size) *size = info.size;
        if (erase_size) *erase_size = info.erasesize;
        return 0;
    }
    if (size) *size = f->size;
    if (erase_size) *erase_size = f->erase_size;
    return 0;
}

off_t plat_mtd_seek(int fd, off_t offset, int whence) {
    MtdFile* f = mtd_file(fd);
    if (!f || !f->emulated) return ::lseek(fd, offset, whence);
    off_t base = 0;
    switch (whence) {
        case SEEK_SET: base = 0; break;
        case SEEK_CUR: base = f->pos; break;
        case SEEK_END: base = static_cast<off_t>(f->size); break;
        default: errno = EINVAL; return -1;
    }
    off_t to = 0;
    if (__builtin_add_overflow(base, offset, &to) || to < 0 || to > static_cast<off_t>(f->size)) {
        errno = EINVAL;
        return -1;
    }
    f->pos = to;
    return to;
}

ssize_t plat_mtd_read(int fd, void* buf, size_t len) {
    MtdFile* f = mtd_file(fd);
    if (!f || !f->emulated) return ::read(fd, buf, len);
    return no_throw([&]() -> ssize_t { return emu_read(fd, *f, buf, len); });
}

ssize_t plat_mtd_write(int fd, const void* buf, size_t len) {
    MtdFile* f = mtd_file(fd);
    if (!f) return ::write(fd, buf, len);
    if (!f->emulated) {
        if (f->writable) sim_op("write", f->path);
        return ::write(fd, buf, len);
    }
    return no_throw([&]() -> ssize_t { return emu_write(fd, *f, buf, len); });
}

int plat_mtd_get_ecc_stats(int fd, plat_mtd_ecc_stats* stats) {
    if (!stats) {
        errno = EFAULT;
        return -1;
    }
    MtdFile* f = mtd_file(fd);
    if (!f || !f->emulated) {
        mtd_ecc_stats raw{};
        if (::ioctl(fd, ECCGETSTATS, &raw) != 0) return -1;
        *stats = {raw.corrected, raw.failed, raw.badblocks, raw.bbtblocks};
        return 0;
    }
    const NandDevice& dev = g_nand[f->device];
    uint64_t blocks = f->size / f->erase_size;
    auto bad = std::count_if(dev.faults.bad.begin(), dev.faults.bad.end(), [&](uint64_t b) { return b < blocks; });
    *stats = {dev.corrected, dev.failed, static_cast<uint32_t>(bad), 0};
    return 0;
}

int plat_mtd_bad_block(int fd, int64_t offset) {
    MtdFile* f = mtd_file(fd);
    if (!f || !f->emulated) {
        loff_t ofs = offset;
        return ::ioctl(fd, MEMGETBADBLOCK, &ofs);
    }
    if (offset < 0 || offset >= static_cast<int64_t>(f->size)) {
        errno = EINVAL;
        return -1;
    }
    return g_nand[f->device].faults.bad.count(static_cast<uint64_t>(offset) / f->erase_size) ? 1 : 0;
}

int plat_mtd_erase(int fd, uint32_t start, uint32_t length) {
    MtdFile* f = mtd_file(fd);
    if (!f || !f->emulated) {
        if (f && f->writable) sim_op("erase", f->path);
        erase_info_user ei{start, length};
        return ::ioctl(fd, MEMERASE, &ei);
    }
    return no_throw([&] { return emu_erase(fd, *f, start, length); });
}
