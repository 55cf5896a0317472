// Patch application against its floor.
//
// Builds a 64 MiB synthetic firmware image and a revision of it (records
// edited, relocated, inserted and deleted), makes the BSDIFF40 patch with the
// project's own differ (dfota-mkpkg --diff), then times patch_file_md5 into
// another file against merely decompressing the patch's three bzip2 streams,
// and measures the peak memory of the call in a child process against one
// old image + 16 MiB: the new image is written as it is made.
//
// Usage: bench_patch <scratch-dir>
#include <bzlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/md5.h"
#include "firmware_image.h"
#include "patch/patch_file.h"
#include "platform/platform.h"

namespace {

constexpr size_t kOldSize = size_t{64} << 20;
constexpr int kRuns = 5;
constexpr double kMiB = 1024.0 * 1024.0;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int64_t decode_offset(const unsigned char* b) {
    uint64_t mag = b[7] & 0x7fu;
    for (int i = 6; i >= 0; --i) mag = (mag << 8) | b[i];
    return (b[7] & 0x80u) ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
}

bool write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool same_file(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (true) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount()) return false;
        if (fa.gcount() == 0) return true;
        if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
    }
}

// The floor: every byte of the three streams decompressed into a scratch
// buffer, with the same library interface the patcher uses. Returns the
// decompressed total, or -1.
int64_t decompress_streams(const std::string& patch) {
    unsigned char h[32];
    FilePtr fp(std::fopen(patch.c_str(), "rb"));
    if (!fp || std::fread(h, 1, 32, fp.get()) != 32) return -1;
    int64_t starts[3] = {32, 32 + decode_offset(h + 8), 32 + decode_offset(h + 8) + decode_offset(h + 16)};
    fp.reset();
    static std::vector<char> buf(1 << 20);
    int64_t total = 0;
    for (int64_t start : starts) {
        FilePtr f(std::fopen(patch.c_str(), "rb"));
        if (!f || fseeko(f.get(), start, SEEK_SET) != 0) return -1;
        int err = BZ_OK;
        BZFILE* bz = BZ2_bzReadOpen(&err, f.get(), 0, 0, nullptr, 0);
        if (!bz) return -1;
        while (err == BZ_OK) total += BZ2_bzRead(&err, bz, buf.data(), static_cast<int>(buf.size()));
        int close_err = BZ_OK;
        BZ2_bzReadClose(&close_err, bz);
        if (err != BZ_STREAM_END) return -1;
    }
    return total;
}

// Peak resident size of this process's own memory image so far (VmHWM), in
// KiB. Unlike ru_maxrss it starts afresh at exec, so a freshly executed child
// measures only itself.
long peak_rss_kib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

struct ChildResult {
    double seconds = 0;
    long before_kib = 0;  // peak before the call: the program's own start-up
    long after_kib = 0;   // peak after the call
    char md5[MD5_TEXT_SIZE] = {};
};

// Runs patch_file_md5 in a freshly executed copy of this program, so that nothing
// this process has allocated and freed before can mask or inflate the peak.
bool run_in_child(const char* self, const std::string& old_path, const std::string& out_path,
                  const std::string& patch, ChildResult* res) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::close(fds[0]);
        std::string fd = std::to_string(fds[1]);
        execl(self, self, "--child", fd.c_str(), old_path.c_str(), out_path.c_str(), patch.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(fds[1]);
    ssize_t r = ::read(fds[0], res, sizeof *res);
    ::close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return r == static_cast<ssize_t>(sizeof *res) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The child side: argv = --child, result fd, old, out, patch.
int child_main(char** argv) {
    int fd = std::atoi(argv[2]);
    // The patcher's own lines would interleave with the report.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    ChildResult res;
    res.before_kib = peak_rss_kib();
    double t0 = now();
    int rc = patch_file_md5(argv[3], argv[4], argv[5], res.md5);
    res.seconds = now() - t0;
    res.after_kib = peak_rss_kib();
    if (::write(fd, &res, sizeof res) != static_cast<ssize_t>(sizeof res)) return 1;
    return rc < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "--child") == 0) return plat_init() == 0 ? child_main(argv) : 1;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <scratch-dir>\n", argv[0]);
        return 2;
    }
    char self[4096];
    ssize_t self_len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (self_len <= 0) return 1;
    self[self_len] = '\0';
    const std::string dir = argv[1];
    const std::string old_path = dir + "/old.img", want_path = dir + "/new.img", patch = dir + "/patch",
                      out_path = dir + "/out.img";
    if (plat_init() != 0) return 1;

    size_t old_size = 0, new_size = 0;
    {
        fwimage::ImagePair p = fwimage::firmware_pair(kOldSize, 64);
        old_size = p.old_image.size();
        new_size = p.new_image.size();
        if (!write_file(old_path, p.old_image) || !write_file(want_path, p.new_image)) {
            std::fprintf(stderr, "cannot write the images in %s\n", dir.c_str());
            return 1;
        }
    }  // the images leave this process before any child is forked
    std::printf("old image %.1f MiB, new image %.1f MiB\n", old_size / kMiB, new_size / kMiB);

    // The patch comes from the project's own differ, built beside the
    // benchmarks (DFOTA_MKPKG=ON, the default of a host build).
    std::string differ = self;
    differ = differ.substr(0, differ.rfind('/')) + "/../dfota-mkpkg";
    if (const char* env = std::getenv("DFOTA_MKPKG")) differ = env;
    std::string cmd = "'" + differ + "' --diff '" + old_path + "' '" + want_path + "' '" + patch + "'";
    double t0 = now();
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "making the patch failed (set DFOTA_MKPKG to dfota-mkpkg): %s\n", cmd.c_str());
        return 1;
    }
    std::printf("patch made in %.1f s\n", now() - t0);

    double floor_s = 1e9;
    int64_t decompressed = 0;
    for (int i = 0; i < kRuns; ++i) {
        double s = now();
        decompressed = decompress_streams(patch);
        floor_s = std::min(floor_s, now() - s);
        if (decompressed < 0) {
            std::fprintf(stderr, "cannot decompress %s\n", patch.c_str());
            return 1;
        }
    }
    struct stat st;
    stat(patch.c_str(), &st);
    std::printf("patch %.2f MiB, streams decompress to %.1f MiB\n", st.st_size / kMiB, decompressed / kMiB);

    double patch_s = 1e9;
    long peak_kib = 0, start_kib = 0;
    bool digest_ok = true;
    char want_md5[MD5_TEXT_SIZE] = {};
    if (get_md5sum(want_path.c_str(), want_md5) != 0) return 1;
    for (int i = 0; i < kRuns; ++i) {
        // Each run creates the output afresh: dropping a previous output's
        // pages is not the patcher's work.
        std::remove(out_path.c_str());
        ChildResult c;
        if (!run_in_child(self, old_path, out_path, patch, &c)) {
            std::fprintf(stderr, "patch_file_md5 failed\n");
            return 1;
        }
        digest_ok = digest_ok && md5_equal(c.md5, want_md5);
        patch_s = std::min(patch_s, c.seconds);
        if (c.after_kib - c.before_kib > peak_kib - start_kib) {
            peak_kib = c.after_kib;
            start_kib = c.before_kib;
        }
    }
    bool identical = same_file(out_path, want_path);

    const double budget_mib = old_size / kMiB + 16;
    const double used_mib = (peak_kib - start_kib) / 1024.0;
    std::printf("decompress only (floor): %8.3f s  (best of %d)\n", floor_s, kRuns);
    std::printf("patch_file_md5:          %8.3f s  (best of %d, includes mapping old, digest, writing + fsync)\n",
                patch_s, kRuns);
    // The digest of the new image is the patcher's work now, where callers
    // used to read the file back for it: its floor counts one digest pass.
    double md5_s = 1e9;
    for (int i = 0; i < kRuns; ++i) {
        char text[MD5_TEXT_SIZE] = {};
        double s = now();
        if (get_md5sum(want_path.c_str(), text) != 0) return 1;
        md5_s = std::min(md5_s, now() - s);
    }
    std::printf("ratio patch/decompress:  %8.2f\n", patch_s / floor_s);
    std::printf("ratio patch/floor:       %8.2f    (floor: decompress + one MD5 pass, %.3f s; target <= 2.00) %s\n",
                patch_s / (floor_s + md5_s), floor_s + md5_s, patch_s <= 2 * (floor_s + md5_s) ? "ok" : "OVER");
    std::printf("peak RSS of the call:    %8.1f MiB (child peak %.1f MiB - peak before the call %.1f MiB)\n",
                used_mib, peak_kib / 1024.0, start_kib / 1024.0);
    std::printf("memory budget:           %8.1f MiB (old + 16 MiB), overhead beyond the old image %.1f MiB %s\n",
                budget_mib, used_mib - old_size / kMiB, used_mib <= budget_mib ? "ok" : "OVER");
    std::printf("output identical to the new image: %s, digest right: %s\n", identical ? "yes" : "NO",
                digest_ok ? "yes" : "NO");
    std::remove(out_path.c_str());
    return identical && digest_ok ? 0 : 1;
}
