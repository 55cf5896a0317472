// Throughput of get_md5sum against coreutils md5sum on one 256 MiB file, in
// the same run, both with a warm page cache, best of three each, the two
// taking turns; then get_sha256sum on the same file, best of three after a
// warm-up, against get_md5sum: checking a package's manifest digest should
// cost no more than its MD5s. Wall-clock figures are the measure; CPU-time
// figures (user + system, md5sum's taken from its wait) are printed too,
// because on a machine shared with builds the wall clock also counts time
// spent waiting for a core.
// Usage: bench_md5 SCRATCH_DIR
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/md5.h"
#include "core/sha256.h"

namespace {

constexpr size_t FILE_SIZE = size_t{256} << 20;
constexpr int RUNS = 3;

double now_seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

double cpu_seconds(int who) {
    struct rusage u;
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool make_file(const std::string& path) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) return false;
    std::vector<unsigned char> chunk(1 << 20);
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    bool ok = true;
    for (size_t done = 0; ok && done < FILE_SIZE; done += chunk.size()) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(&chunk[i], &x, 8);
        }
        ok = std::fwrite(chunk.data(), 1, chunk.size(), fp) == chunk.size();
    }
    return std::fclose(fp) == 0 && ok;
}

// Runs coreutils md5sum on the file; the digest text, or empty on failure.
std::string run_md5sum(const std::string& path) {
    std::string cmd = "md5sum '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return {};
    char line[512] = {};
    bool got = std::fgets(line, sizeof line, p) != nullptr;
    int status = pclose(p);
    if (!got || status != 0 || std::strlen(line) < 32) return {};
    return std::string(line, 32);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SCRATCH_DIR\n", argv[0]);
        return 2;
    }
    std::string path = std::string(argv[1]) + "/md5-256MiB.bin";
    if (!make_file(path)) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        return 1;
    }

    // Warm the cache once through each reader before timing anything.
    char ours[33] = {};
    if (get_md5sum(path.c_str(), ours) != 0) return 1;
    std::string theirs = run_md5sum(path);
    if (theirs.empty()) {
        std::fprintf(stderr, "coreutils md5sum did not run\n");
        return 1;
    }

    double best_ours = 1e30, best_theirs = 1e30;
    double cpu_ours = 1e30, cpu_theirs = 1e30;
    for (int i = 0; i < RUNS; ++i) {
        double c0 = cpu_seconds(RUSAGE_SELF);
        double t0 = now_seconds();
        int rc = get_md5sum(path.c_str(), ours);
        double t1 = now_seconds();
        double c1 = cpu_seconds(RUSAGE_SELF);
        double k0 = cpu_seconds(RUSAGE_CHILDREN);
        std::string digest = run_md5sum(path);
        double t2 = now_seconds();
        double k1 = cpu_seconds(RUSAGE_CHILDREN);
        if (rc != 0 || digest.empty()) return 1;
        if (digest != ours) {
            std::fprintf(stderr, "digests differ: get_md5sum %s, md5sum %s\n", ours, digest.c_str());
            return 1;
        }
        if (t1 - t0 < best_ours) best_ours = t1 - t0;
        if (t2 - t1 < best_theirs) best_theirs = t2 - t1;
        if (c1 - c0 < cpu_ours) cpu_ours = c1 - c0;
        if (k1 - k0 < cpu_theirs) cpu_theirs = k1 - k0;
    }

    char sha[SHA256_TEXT_SIZE] = {};
    int64_t size = 0;
    double best_sha = 1e30, cpu_sha = 1e30;
    for (int i = 0; i <= RUNS; ++i) {  // the first run only warms up
        double c0 = cpu_seconds(RUSAGE_SELF);
        double t0 = now_seconds();
        int rc = get_sha256sum(path.c_str(), sha, &size);
        double t1 = now_seconds();
        double c1 = cpu_seconds(RUSAGE_SELF);
        if (rc != 0 || size != static_cast<int64_t>(FILE_SIZE)) return 1;
        if (i > 0 && t1 - t0 < best_sha) best_sha = t1 - t0;
        if (i > 0 && c1 - c0 < cpu_sha) cpu_sha = c1 - c0;
    }
    std::remove(path.c_str());

    const double mib = static_cast<double>(FILE_SIZE) / (1 << 20);
    std::printf("file        256 MiB, digest %s (both agree)\n", ours);
    std::printf("              wall clock     CPU time\n");
    std::printf("get_md5sum  %8.1f MiB/s %8.1f MiB/s\n", mib / best_ours, mib / cpu_ours);
    std::printf("md5sum      %8.1f MiB/s %8.1f MiB/s\n", mib / best_theirs, mib / cpu_theirs);
    std::printf("ratio       %8.3f       %8.3f   (get_md5sum / md5sum)\n", best_theirs / best_ours,
                cpu_theirs / cpu_ours);
    std::printf("get_sha256sum %6.1f MiB/s %8.1f MiB/s   (%s)\n", mib / best_sha, mib / cpu_sha,
                sha256_force_portable(false) ? "SHA instructions" : "portable engine");
    std::printf("ratio       %8.3f       %8.3f   (get_sha256sum / get_md5sum)\n", best_ours / best_sha,
                cpu_ours / cpu_sha);
    return 0;
}
