// The device build of the seam against the host kernel, in a scratch
// directory: the one place its calls run before they run on the module.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <deque>
#include <functional>

#include "platform/platform.h"
#include "support/test_root.h"

using Step = std::pair<const char*, std::function<bool()>>;

// Each step runs on what the steps before it left. With no MTD device behind
// it every MTD request fails at once and changes nothing, while positions,
// reads and writes act on the descriptor as on a file.
TEST(DevicePlatformTest, CallsActOnTheFilesAsGiven) {
    TestRoot root;
    std::deque<std::string> paths;
    auto h = [&](const char* p) { return paths.emplace_back(root.host(p)).c_str(); };
    struct stat st{};
    auto mode = [&](const char* p) { return plat_stat(h(p), &st) == 0 ? st.st_mode : 0; };
    char buf[8] = {};
    uint32_t size = 7;
    plat_mtd_ecc_stats ecc{7, 7, 7, 7};
    UniqueFd fd;
    const Step steps[] = {
        {"mkdir", [&] { return plat_mkdir(h("/d"), 0700) == 0 && mode("/d") == (S_IFDIR | 0700); }},
        {"stream", [&] { FilePtr fp{plat_fopen(h("/d/f"), "w")}; std::fputs("0123456789", fp.get());
                         return plat_fsync(fp.get()) == 0 && root.read("/d/f") == "0123456789"; }},
        {"fifo", [&] { return !mkfifo(h("/d/p"), 0600) && !FilePtr{plat_fopen(h("/d/p"), "r")} && errno == ENXIO; }},
        {"full device", [&] { FilePtr fp{plat_fopen("/dev/full", "w")}; std::fputs("x", fp.get());
                              return plat_fsync(fp.get()) == -1 && errno == ENOSPC; }},
        {"pipe", [&] { return plat_fsync(PipePtr{plat_popen("true")}.get()) == -1 && errno == EINVAL; }},
        {"descriptor", [&] { fd.reset(plat_open(h("/d/g"), O_RDWR | O_CREAT | O_EXCL, 0600));
                             return plat_write(fd.get(), "abc", 3) == 3 && root.read("/d/g") == "abc"; }},
        {"mtd open", [&] { return plat_mtd_open(-1, O_RDWR) == -1 && errno == EINVAL && plat_mtd_open(4095, 0) == -1; }},
        {"mtd info", [&] { return plat_mtd_info(fd.get(), &size, &size) == -1 && size == 7; }},
        {"mtd ecc", [&] { return plat_mtd_get_ecc_stats(fd.get(), &ecc) == -1 && ecc.corrected + ecc.bbtblocks == 14; }},
        {"mtd bad block", [&] { return plat_mtd_bad_block(fd.get(), 0) == -1; }},
        {"mtd erase", [&] { return plat_mtd_erase(fd.get(), 0, 2) == -1 && root.read("/d/g") == "abc"; }},
        {"mtd file", [&] { return plat_mtd_seek(fd.get(), 1, SEEK_SET) == 1 && plat_mtd_write(fd.get(), "x", 1) == 1 &&
                                  plat_mtd_read(fd.get(), buf, 8) == 1 && *buf == 'c' && root.read("/d/g") == "axc"; }},
        {"link", [&] { return symlink("f", h("/d/l")) == 0 && plat_readlink(h("/d/l"), buf, 8) == 1 && *buf == 'f' &&
                              S_ISREG(mode("/d/l")) && plat_lstat(h("/d/l"), &st) == 0 && S_ISLNK(st.st_mode); }},
        {"rename", [&] { return plat_rename(h("/d/f"), h("/d/e")) == 0 && root.read("/d/e") == "0123456789"; }},
        {"access", [&] { return !plat_exists(h("/d/l")) && plat_exists(h("/d/e")) && plat_access(h("/d/e"), X_OK) != 0; }},
        {"unlink", [&] { return plat_unlink(h("/d/e")) == 0 && plat_unlink(h("/d/e")) == -1 && errno == ENOENT; }},
    };
    for (const auto& [what, ok] : steps) EXPECT_TRUE(ok()) << what;
}

// A write returns what the kernel took: a short count, or EAGAIN once the
// pipe is full, and never the same bytes twice.
TEST(DevicePlatformTest, WritesReturnWhatTheKernelTook) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    UniqueFd r{p[0]}, w{p[1]};
    std::string big(1 << 21, 'x');  // past any pipe's capacity
    const ssize_t n = plat_write(w.get(), big.data(), big.size());
    EXPECT_TRUE(n > 0 && n < ssize_t(big.size()) && plat_write(w.get(), "y", 1) == -1 && errno == EAGAIN &&
                read(r.get(), big.data(), big.size()) == n) << n;
}

// Raw wait statuses, and what the agent buffered lands before what the
// command writes.
TEST(DevicePlatformTest, CommandsGiveTheirWaitStatusAfterTheAgentsOutput) {
    TestRoot root;
    std::string out = root.host("/out"), want, seen;
    FilePtr fp{plat_fopen(out.c_str(), "a")};
    for (auto [cmd, status] : {std::pair{"true", 0}, {"exit 3", 3 << 8}, {"kill -9 $$", SIGKILL}}) {
        const std::string line = "echo '" + std::string(cmd) + "' | tee -a '" + out + "'; " + cmd;
        std::fputs("system\n", fp.get());
        const int got = plat_system(line.c_str());
        std::fputs("popen\n", fp.get());
        PipePtr pipe{plat_popen(line.c_str())};
        for (int c; (c = std::fgetc(pipe.get())) != EOF;) seen += char(c);
        EXPECT_TRUE(got == status && close_pipe(pipe) == status && plat_cmd_failed(got) == (status != 0)) << cmd;
        want += "system\n" + std::string(cmd) + "\npopen\n" + cmd + "\n";
    }
    fp.reset();
    EXPECT_EQ(root.read("/out"), want);
    EXPECT_EQ(seen, "true\nexit 3\nkill -9 $$\n") << "read through the pipe";
}
