// Whole-partition write plus check of a 64 MiB image through the storage
// dispatchers, on a simulated eMMC partition and on a simulated NAND
// partition, against dd (4096-byte blocks, fsync) plus cmp of the same bytes
// in the same run. Best of three each, taking turns. On NAND every block is
// also erased and read back by the agent, as the flash requires; dd writes
// the file once, so that ratio shows the cost of the flash discipline.
// Usage: bench_storage SCRATCH_DIR
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "context/device.h"
#include "platform/platform.h"
#include "storage/storage.h"

namespace {

constexpr size_t IMAGE_SIZE = size_t{64} << 20;
constexpr size_t PART_SIZE = IMAGE_SIZE + (size_t{2} << 20);
constexpr int RUNS = 3;

double now_seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

bool make_file(const std::string& path, size_t size, uint64_t seed) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) return false;
    std::vector<unsigned char> chunk(1 << 20);
    uint64_t x = seed;
    bool ok = true;
    for (size_t done = 0; ok && done < size; done += chunk.size()) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(&chunk[i], &x, 8);
        }
        ok = std::fwrite(chunk.data(), 1, std::min(chunk.size(), size - done), fp) > 0;
    }
    return std::fclose(fp) == 0 && ok;
}

// Runs the agent's operation with its per-block chatter out of the way.
double time_ours(const char* image) {
    std::fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    double t0 = now_seconds();
    bool ok = write_file_to_partition("system", image) == 0 && check_partition_with_file("system", image) == 0;
    double t = now_seconds() - t0;
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return ok ? t : -1;
}

double time_dd_cmp(const std::string& image, const std::string& node) {
    std::string cmd = "dd if='" + image + "' of='" + node + "' bs=4096 conv=notrunc,fsync status=none && cmp -n " +
                      std::to_string(IMAGE_SIZE) + " '" + image + "' '" + node + "'";
    double t0 = now_seconds();
    int rc = std::system(cmd.c_str());
    double t = now_seconds() - t0;
    return rc == 0 ? t : -1;
}

void put(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    FILE* fp = std::fopen(path.c_str(), "w");
    if (fp) {
        std::fputs(text.c_str(), fp);
        std::fclose(fp);
    }
}

struct Result {
    double ours = 1e30, theirs = 1e30;
};

bool measure(const std::string& image_host, const std::string& node_host, Result& r) {
    for (int i = 0; i < RUNS; ++i) {
        double a = time_ours("/data/image.bin");
        double b = time_dd_cmp(image_host, node_host);
        if (a < 0 || b < 0) return false;
        r.ours = std::min(r.ours, a);
        r.theirs = std::min(r.theirs, b);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SCRATCH_DIR\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    const std::string root = fs::absolute(std::string(argv[1]) + "/storage-root").string();
    fs::remove_all(root);
    for (const char* d : {"/data/upgrade/install", "/tmp", "/bin", "/dev/block/bootdevice/by-name"})
        fs::create_directories(root + d);
    const std::string image = root + "/data/image.bin";
    if (!make_file(image, IMAGE_SIZE, 0x9e3779b97f4a7c15ULL)) return 1;

    // eMMC: one partition behind its by-name link, size in sectors.
    if (!make_file(root + "/dev/mmcblk0p1", PART_SIZE, 7)) return 1;
    fs::create_symlink("../../../mmcblk0p1", root + "/dev/block/bootdevice/by-name/system");
    put(root + "/sys/block/mmcblk0/mmcblk0p1/size", std::to_string(PART_SIZE / 512) + "\n");
    // NAND: one MTD partition of 128 KiB erase blocks.
    if (!make_file(root + "/dev/mtd0", PART_SIZE, 11)) return 1;
    char line[128];
    std::snprintf(line, sizeof line, "dev:    size   erasesize  name\nmtd0: %08zx 00020000 \"system\"\n", PART_SIZE);
    put(root + "/proc/mtd", line);

    setenv("DFOTA_SYSROOT", root.c_str(), 1);
    if (plat_init() != 0) return 1;

    Result emmc, nand;
    flash_type = FLASH_EMMC;
    if (!measure(image, root + "/dev/mmcblk0p1", emmc)) {
        std::fprintf(stderr, "eMMC write or check failed\n");
        return 1;
    }
    flash_type = FLASH_NAND;
    if (!measure(image, root + "/dev/mtd0", nand)) {
        std::fprintf(stderr, "NAND write or check failed\n");
        return 1;
    }
    fs::remove_all(root);

    const double mib = static_cast<double>(IMAGE_SIZE) / (1 << 20);
    std::printf("image 64 MiB, write + check, best of %d\n", RUNS);
    std::printf("           agent        dd + cmp     ratio\n");
    std::printf("eMMC   %7.3f s    %7.3f s    %6.2f   (target at most 1.3)\n", emmc.ours, emmc.theirs,
                emmc.ours / emmc.theirs);
    std::printf("NAND   %7.3f s    %7.3f s    %6.2f   (%.0f MiB/s)\n", nand.ours, nand.theirs,
                nand.ours / nand.theirs, mib / nand.ours);
    return 0;
}
