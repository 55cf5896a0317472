#include "mkpkg/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/md5.h"
#include "patch/patch_file.h"

namespace {

struct fd_closer {
    int fd;
    ~fd_closer() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

bool read_file(const fs::path& path, bytes& out, std::string& error) {
    fd_closer f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st;
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0) {
        error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path.string() + ": not a regular file";
        return false;
    }
    out.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::read(f.fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = path.string() + ": " + (n < 0 ? std::strerror(errno) : "shorter than its size");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool write_file(const fs::path& path, std::span<const uint8_t> data, unsigned mode, std::string& error) {
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    fs::remove(path, ec);
    fd_closer f{::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    if (f.fd < 0) {
        error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(f.fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = path.string() + ": " + std::strerror(errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // Explicitly, so that the process umask does not decide what ships.
    if (::fchmod(f.fd, mode) != 0) {
        error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

work_dir::~work_dir() {
    std::error_code ec;
    if (!path.empty() && !keep) fs::remove_all(path, ec);
}

bool make_work_dir(const fs::path& pattern, work_dir& dir, std::string& error) {
    std::string t = pattern.string();
    if (!::mkdtemp(t.data())) {
        error = "cannot make a work directory " + t + ": " + std::strerror(errno);
        return false;
    }
    dir.path = t;
    return true;
}

bool read_entry(const fs::path& path, struct stat& st, bytes& content, std::string& error) {
    content.clear();
    if (::lstat(path.c_str(), &st) != 0) {
        error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISREG(st.st_mode)) return read_file(path, content, error);
    if (S_ISLNK(st.st_mode)) {
        std::error_code ec;
        std::string target = fs::read_symlink(path, ec).string();
        if (ec) error = path.string() + ": " + ec.message();
        content.assign(target.begin(), target.end());
        return !ec;
    }
    if (S_ISDIR(st.st_mode)) return true;
    error = path.string() + ": neither a file, a directory nor a symbolic link";
    return false;
}

bool copy_entry(const fs::path& src, const fs::path& dest, std::map<fs::path, unsigned>& dir_modes,
                std::string& error) {
    struct stat st;
    if (::lstat(src.c_str(), &st) != 0) {
        error = src.string() + ": " + std::strerror(errno);
        return false;
    }
    std::error_code ec;
    if (dest.has_parent_path()) fs::create_directories(dest.parent_path(), ec);
    if (S_ISREG(st.st_mode)) {
        if (fs::copy_file(src, dest, fs::copy_options::overwrite_existing, ec) &&
            ::chmod(dest.c_str(), st.st_mode & 07777) != 0)
            ec.assign(errno, std::generic_category());
    } else if (S_ISLNK(st.st_mode)) {
        fs::path target = fs::read_symlink(src, ec);
        if (!ec) fs::create_symlink(target, dest, ec);
    } else if (S_ISDIR(st.st_mode)) {
        fs::create_directory(dest, ec);
        dir_modes[dest] = st.st_mode & 07777;
        std::vector<fs::path> names;
        for (fs::directory_iterator it(src, ec), end; !ec && it != end; it.increment(ec))
            names.push_back(it->path().filename());
        for (const auto& n : names)
            if (!ec && !copy_entry(src / n, dest / n, dir_modes, error)) return false;
    } else {
        error = src.string() + ": neither a file, a directory nor a symbolic link";
        return false;
    }
    if (ec) error = dest.string() + ": " + ec.message();
    return !ec;
}

bool set_dir_modes(const std::map<fs::path, unsigned>& dir_modes, std::string& error) {
    for (auto it = dir_modes.rbegin(); it != dir_modes.rend(); ++it)
        if (::chmod(it->first.c_str(), it->second) != 0) {
            error = it->first.string() + ": " + std::strerror(errno);
            return false;
        }
    return true;
}

std::string md5_hex(std::span<const uint8_t> data) {
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data.data(), data.size());
    md5_final(&ctx);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        out += hex[ctx.buf[i] >> 4];
        out += hex[ctx.buf[i] & 15];
    }
    return out;
}

std::string size_text(uint64_t n) {
    char buf[32];
    if (n < 1048576) std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024.0);
    else std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / 1048576.0);
    return buf;
}

void progress(const char* fmt, ...) {
    if (!::isatty(STDERR_FILENO)) return;
    std::va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

unsigned worker_count() {
    if (const char* v = std::getenv("DFOTA_MKPKG_JOBS")) {
        char* end = nullptr;
        long n = std::strtol(v, &end, 10);
        if (end != v && *end == '\0' && n > 0 && n <= 1024) return static_cast<unsigned>(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

void parallel_for(size_t n, const std::function<void(size_t)>& fn) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < n;) fn(i);
    };
    size_t threads = std::min<size_t>(worker_count(), n);
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (auto& t : pool) t.join();
}

bool verify_patch(std::span<const uint8_t> old, std::span<const uint8_t> expected, const std::string& patch,
                  std::string& error) {
    std::error_code ec;
    work_dir dir;
    if (!make_work_dir(fs::temp_directory_path(ec) / "dfota-mkpkg-verify.XXXXXX", dir, error)) return false;
    std::span<const uint8_t> p(reinterpret_cast<const uint8_t*>(patch.data()), patch.size());
    const fs::path& d = dir.path;
    if (!write_file(d / "old", old, 0600, error) || !write_file(d / "patch", p, 0600, error)) return false;
    if (patch_file((d / "old").c_str(), (d / "new").c_str(), (d / "patch").c_str()) < 0) {
        error = "the patch does not apply";
        return false;
    }
    bytes got;
    if (!read_file(d / "new", got, error)) return false;
    if (got.size() != expected.size() || !std::equal(got.begin(), got.end(), expected.begin())) {
        error = "the patch rebuilds other bytes than the new image";
        return false;
    }
    return true;
}
