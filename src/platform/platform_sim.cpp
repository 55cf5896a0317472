// The simulated device behind the platform seam.
//
// A directory tree on the host (DFOTA_SYSROOT) stands in for the module:
// every device path is taken inside it, platform tools come only from its
// bin/, device nodes are regular files that are never truncated, and every
// mutating operation can be traced (DFOTA_SIM_TRACE) and can be the point
// where the power is cut (DFOTA_SIM_CUT_AT).
#include "platform/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
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
    if ((flags & O_ACCMODE) == O_RDONLY) return std::fopen(host.c_str(), mode);

    bool traced = !untraced(dev);
    bool device = false;
    off_t capacity = -1;
    if (is_device_node(dev)) {
        struct stat st;
        if (::stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
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
