// Patch making against Debian's bsdiff on the same pairs.
//
// Pairs: synthetic firmware images of 8, 32 and 64 MiB with their revisions,
// and two real builds of one program (mariadbd from two Debian releases of
// mariadb-server-core, fetched with apt-get download into the work
// directory). Each side runs in its own child process on one thread, three
// times (DFOTA_BENCH_RUNS), and its best run counts: ours is
// this program re-executed to call make_patch, theirs /usr/bin/bsdiff. The
// parent never holds an image, so the peak resident size that wait4 reports
// for a child is the child's own. Every patch of ours is then applied by the
// agent's patch_file before its numbers count.
//
// Targets: patch size at most 1.0 x bsdiff's, wall time at most 0.3 x, peak
// memory at most 5 x old + new + 32 MiB. CPU time (user + system) is shown
// beside the wall time: on a machine shared with other work the wall-time
// ratio wanders with the load, the CPU-time ratio much less.
//
// Usage: bench_diff <scratch-dir>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "firmware_image.h"
#include "mkpkg/bsdiff.h"
#include "mkpkg/util.h"

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

struct child_result {
    bool ok = false;
    double seconds = 0;
    double cpu_seconds = 0;
    double peak_mib = 0;
};

child_result run_child(const std::vector<std::string>& argv, const char* dir = nullptr) {
    child_result r;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        if (dir && ::chdir(dir) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (pid < 0 || ::wait4(pid, &status, 0, &ru) != pid) return r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    r.peak_mib = static_cast<double>(ru.ru_maxrss) / 1024.0;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// The best of a few runs of a child: the shortest times, the largest peak.
// Both sides get the same number of runs, so a busy moment of the machine
// weighs on neither.
child_result best_of(const std::vector<std::string>& argv) {
    int runs = 3;
    if (const char* v = std::getenv("DFOTA_BENCH_RUNS")) runs = std::max(1, std::atoi(v));
    child_result best = run_child(argv);
    for (int i = 1; best.ok && i < runs; ++i) {
        child_result r = run_child(argv);
        if (!r.ok) return r;
        best.seconds = std::min(best.seconds, r.seconds);
        best.cpu_seconds = std::min(best.cpu_seconds, r.cpu_seconds);
        best.peak_mib = std::max(best.peak_mib, r.peak_mib);
    }
    return best;
}

// The generator runs in a child too, so that its images never count
// towards the parent's resident size, which every later child inherits.
bool make_synthetic(const std::string& old_path, const std::string& new_path, size_t size, uint64_t seed) {
    pid_t pid = ::fork();
    if (pid == 0) {
        const auto p = fwimage::firmware_pair(size, seed);
        std::string error;
        auto as_span = [](const std::string& s) {
            return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        };
        bool ok = write_file(old_path, as_span(p.old_image), 0644, error) &&
                  write_file(new_path, as_span(p.new_image), 0644, error);
        if (!ok) std::fprintf(stderr, "%s\n", error.c_str());
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Two builds of one program from two Debian versions of its package.
bool fetch_real(const std::string& work, std::string& old_path, std::string& new_path, std::string& label) {
    const char* pkg = "mariadb-server-core";
    const char* versions[2] = {"1:10.11.18-0+deb12u1", "1:10.11.19-0+deb12u1"};
    std::string* paths[2] = {&old_path, &new_path};
    for (int i = 0; i < 2; ++i) {
        const std::string dir = work + "/real" + std::to_string(i);
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!run_child({"apt-get", "-qq", "download", std::string(pkg) + "=" + versions[i]}, dir.c_str()).ok)
            return false;
        std::string deb;
        for (const auto& e : fs::directory_iterator(dir, ec))
            if (e.path().extension() == ".deb") deb = e.path();
        if (deb.empty() || !run_child({"dpkg-deb", "-x", deb, dir + "/root"}).ok) return false;
        *paths[i] = dir + "/root/usr/sbin/mariadbd";
        if (!fs::is_regular_file(*paths[i], ec)) return false;
    }
    label = std::string("mariadbd ") + (versions[0] + 2) + "->" + (versions[1] + 9);
    return true;
}

int make_mode(const char* old_path, const char* new_path, const char* patch_path) {
    bytes old, neu;
    std::string patch, error;
    if (!read_file(old_path, old, error) || !read_file(new_path, neu, error) ||
        make_patch(old, neu, patch, error) != 0 ||
        !write_file(patch_path, {reinterpret_cast<const uint8_t*>(patch.data()), patch.size()}, 0644, error)) {
        std::fprintf(stderr, "bench_diff: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int verify_mode(const char* old_path, const char* new_path, const char* patch_path) {
    bytes old, neu, patch;
    std::string error;
    if (!read_file(old_path, old, error) || !read_file(new_path, neu, error) || !read_file(patch_path, patch, error) ||
        !verify_patch(old, neu, std::string(patch.begin(), patch.end()), error)) {
        std::fprintf(stderr, "bench_diff: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

struct pair_spec {
    std::string label, old_path, new_path;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--make") == 0) return make_mode(argv[2], argv[3], argv[4]);
    if (argc == 5 && std::strcmp(argv[1], "--verify") == 0) return verify_mode(argv[2], argv[3], argv[4]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_diff <scratch-dir>\n");
        return 2;
    }
    if (::access("/usr/bin/bsdiff", X_OK) != 0) {
        std::fprintf(stderr, "bench_diff: /usr/bin/bsdiff is missing (apt-get install bsdiff)\n");
        return 1;
    }
    const std::string work = argv[1];
    std::error_code ec;
    const std::string self = fs::read_symlink("/proc/self/exe", ec).string();
    if (self.empty()) {
        std::fprintf(stderr, "bench_diff: /proc/self/exe: %s\n", ec.message().c_str());
        return 1;
    }

    std::vector<pair_spec> pairs;
    for (size_t mib : {8, 32, 64}) {
        pair_spec p{"firmware " + std::to_string(mib) + " MiB", work + "/fw" + std::to_string(mib) + ".old",
                    work + "/fw" + std::to_string(mib) + ".new"};
        if (!make_synthetic(p.old_path, p.new_path, mib << 20, 1000 + mib)) {
            std::fprintf(stderr, "bench_diff: cannot write the %zu MiB pair\n", mib);
            return 1;
        }
        pairs.push_back(p);
    }
    pair_spec real;
    if (fetch_real(work, real.old_path, real.new_path, real.label))
        pairs.push_back(real);
    else
        std::printf("real pair: two versions of mariadb-server-core could not be fetched; synthetic pairs only\n");

    double worst_size = 0, worst_time = 0, worst_cpu = 0, worst_mem = 0;
    bool all_ok = true;
    std::printf("%-44s %9s %9s %7s %8s %8s %6s %7s %7s %6s %9s %9s %6s\n", "pair (old -> new MiB)", "patch", "bsdiff",
                "ratio", "wall s", "bsdiff", "ratio", "cpu s", "bsdiff", "ratio", "peak MiB", "limit", "ratio");
    for (const auto& p : pairs) {
        const double old_mib = static_cast<double>(fs::file_size(p.old_path, ec)) / kMiB;
        const double new_mib = static_cast<double>(fs::file_size(p.new_path, ec)) / kMiB;
        const std::string ours = p.old_path + ".ours.patch", theirs = p.old_path + ".bsdiff.patch";
        const child_result a = best_of({self, "--make", p.old_path, p.new_path, ours});
        const child_result b = best_of({"/usr/bin/bsdiff", p.old_path, p.new_path, theirs});
        const bool applies = a.ok && run_child({self, "--verify", p.old_path, p.new_path, ours}).ok;
        if (!a.ok || !b.ok || !applies) {
            std::printf("%s: %s\n", p.label.c_str(),
                        !a.ok ? "make_patch failed" : !b.ok ? "bsdiff failed" : "our patch does not apply");
            all_ok = false;
            continue;
        }
        const double ours_size = static_cast<double>(fs::file_size(ours, ec));
        const double their_size = static_cast<double>(fs::file_size(theirs, ec));
        const double limit = 5 * old_mib + new_mib + 32;
        const double size_ratio = ours_size / their_size, time_ratio = a.seconds / b.seconds,
                     cpu_ratio = a.cpu_seconds / b.cpu_seconds, mem_ratio = a.peak_mib / limit;
        worst_size = std::max(worst_size, size_ratio);
        worst_time = std::max(worst_time, time_ratio);
        worst_cpu = std::max(worst_cpu, cpu_ratio);
        worst_mem = std::max(worst_mem, mem_ratio);
        char name[96];
        std::snprintf(name, sizeof name, "%s (%.1f -> %.1f)", p.label.c_str(), old_mib, new_mib);
        std::printf("%-44s %9.0f %9.0f %7.4f %8.2f %8.2f %6.3f %7.2f %7.2f %6.3f %9.1f %9.1f %6.3f\n", name, ours_size,
                    their_size, size_ratio, a.seconds, b.seconds, time_ratio, a.cpu_seconds, b.cpu_seconds, cpu_ratio,
                    a.peak_mib, limit, mem_ratio);
        std::fflush(stdout);
        fs::remove(ours, ec);
        fs::remove(theirs, ec);
    }
    auto verdict = [](double v, double target) { return v <= target ? "met" : "NOT met"; };
    std::printf("worst: patch size %.4f x bsdiff (target 1.0, %s), wall time %.3f x bsdiff (target 0.3, %s; "
                "cpu time %.3f x), peak memory %.3f x limit (target 1.0, %s)%s\n",
                worst_size, verdict(worst_size, 1.0), worst_time, verdict(worst_time, 0.3), worst_cpu, worst_mem,
                verdict(worst_mem, 1.0), all_ok ? "" : "; some pairs FAILED");
    return all_ok ? 0 : 1;
}
