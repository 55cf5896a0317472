// The simulated device: path mapping, tool confinement, write streams, the
// trace and power cut, and the NAND emulator.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>

#include "platform/platform.h"
#include "platform/sim_shell.h"
#include "support/test_root.h"

TEST(SimShellTest, FindsEveryWordInCommandPosition) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"cat 2>/x /y | grep z && df || umount /x & sync; reboot", {"cat", "grep", "df", "umount", "sync", "reboot"}},
        {"A=1 B=2 2>/dev/null reboot -f", {"reboot"}}, {"exec reboot", {"exec", "reboot"}},
        {"echo reboot $(mount) `df`", {"echo", "mount", "df"}}, {"echo \"now $(mount)\"", {"echo", "mount"}},
        {"'re''boot'", {"reboot"}}, {"(cd /; umount x)", {"cd", "umount"}}, {"cp -av '/a b;reboot' '/c'", {"cp"}},
    };
    for (const auto& [cmd, words] : cases) EXPECT_EQ(sim_command_words(cmd), words) << cmd;
}

// Device paths map into the root, and platform tools come only from its bin.
TEST(SimPlatformTest, TheDeviceIsConfinedToItsRoot) {
    TestRoot root;
    const std::string& r = root.root();
    for (const auto& [dev, host] : std::vector<std::pair<const char*, const char*>>{
             {"/data/x", "/data/x"}, {"/../../etc/passwd", "/etc/passwd"}, {"/data/../../../tmp/./y", "/tmp/y"},
             {"/data/delta/", "/data/delta/"}, {"relative/z", "/relative/z"}})
        EXPECT_EQ(plat_host_path(dev), r + host);
    EXPECT_EQ(plat_system("reboot"), 127 << 8) << "not found, and not run";
    PipePtr pipe{plat_popen("df | grep -w system")};
    EXPECT_EQ(std::fgetc(pipe.get()), EOF);
    EXPECT_EQ(close_pipe(pipe), 127 << 8);
    root.write("/bin/reboot", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/../rebooted\"\nexit 3\n");
    EXPECT_EQ(sim_missing_platform_tool("ls /bin | reboot -f", r), "reboot") << "not executable";
    chmod(root.host("/bin/reboot").c_str(), 0755);
    EXPECT_EQ(plat_system("reboot now"), 3 << 8);
    EXPECT_EQ(root.read("/rebooted"), "now\n");
    EXPECT_EQ(sim_missing_platform_tool("/bin/reboot", r), "reboot") << "the host's, by its path";
    EXPECT_EQ(sim_missing_platform_tool(r + "/bin/reboot; mount", r), "mount");
    // A command fails on a nonzero exit status or a signal; a core-dump bit alone is no failure.
    for (auto [status, failed] : {std::pair{0, false}, {0x80, false}, {-1, true}, {256, true}, {9, true}, {0x8b, true}})
        EXPECT_EQ(plat_cmd_failed(status), failed) << status;
}

TEST(SimPlatformTest, WriteStreamsNeverTruncateNorGrowAPartition) {
    TestRoot root;
    root.write("/dev/mmcblk0p3", "ABCDEFGH");
    FilePtr fp{plat_fopen("/dev/mmcblk0p3", "w+")};
    ASSERT_EQ(std::fwrite("12", 1, 2, fp.get()), 2u);
    ASSERT_EQ(plat_fsync(fp.get()), 0);
    EXPECT_EQ(root.read("/dev/mmcblk0p3"), "12CDEFGH");
    char buf[4] = {};
    EXPECT_EQ(std::fread(buf, 1, 3, fp.get()), 3u);
    EXPECT_STREQ(buf, "CDE") << "read back through the write stream";
    std::fseek(fp.get(), 6, SEEK_SET);
    std::fwrite("WXYZ", 1, 4, fp.get());
    EXPECT_NE(std::fflush(fp.get()), 0) << "past the end a partition accepts nothing more";
    fp.reset();
    EXPECT_EQ(root.read("/dev/mmcblk0p3"), "12CDEFWX");
    root.write("/data/f", "0123");
    fp.reset(plat_fopen("/data/f", "a"));
    std::fputs("Z", fp.get());
    fp.reset();
    EXPECT_EQ(root.read("/data/f"), "0123Z");
}

// The trace numbers every mutation but the log's, and a cut at number N ends
// the process just before operation N: what a stream still buffered is lost.
TEST(SimPlatformTest, TraceNumbersTheOperationsACutStopsAt) {
    TestRoot root;
    setenv("DFOTA_SIM_TRACE", root.host("/trace").c_str(), 1);
    setenv("DFOTA_SIM_CUT_AT", "14", 1);
    ASSERT_EQ(plat_init(), 0);
    EXPECT_EXIT(
        {
            plat_mkdir("/data/d", 0755);
            FilePtr log{plat_fopen("/data/upgrade/install/log", "a+")};
            std::fputs("entry\n", log.get());
            log.reset();
            FilePtr w{plat_fopen("/data/new", "w")};
            std::fputs("abc", w.get());
            w.reset();
            FilePtr{plat_fopen("/data/new", "w")}.reset();
            plat_rename("/data/new", "/data/renamed");
            plat_chmod("/data/renamed", 0600);
            plat_truncate("/data/renamed", 0);
            plat_unlink("/data/renamed");
            plat_system("true");
            UniqueFd fd{plat_open("/data/fd", O_WRONLY | O_CREAT, 0644)};
            plat_write(fd.get(), "q", 1);
            plat_rmdir("/data/d");
            w.reset(plat_fopen("/data/cut", "w"));
            std::fputs("buffered, never written", w.get());
            plat_mkdir("/data/after", 0755);
            std::exit(0);
        },
        ::testing::ExitedWithCode(137), "power cut before operation 14 \\(mkdir /data/after\\)");
    EXPECT_EQ(root.read("/trace"), "1 mkdir /data/d\n2 create /data/new\n3 write /data/new\n4 truncate /data/new\n"
                                   "5 rename /data/new /data/renamed\n6 chmod /data/renamed\n"
                                   "7 truncate /data/renamed\n8 unlink /data/renamed\n9 command true\n"
                                   "10 create /data/fd\n11 write /data/fd\n12 remove /data/d\n13 create /data/cut\n");
    EXPECT_EQ(root.read("/data/cut"), "");
    EXPECT_FALSE(root.exists("/data/after"));
}

// --- The NAND emulator: mtd2 of eight 4 KiB erase blocks, all bytes 'Z'.

constexpr uint32_t kEs = 4096;
constexpr uint32_t kSize = 8 * kEs;

static std::string read_at(int fd, off_t at, size_t n) {
    std::string buf(n, '\0');
    EXPECT_EQ(plat_mtd_seek(fd, at, SEEK_SET), at);
    buf.resize(static_cast<size_t>(std::max<ssize_t>(plat_mtd_read(fd, buf.data(), n), 0)));
    return buf;
}

static ssize_t write_at(int fd, off_t at, const std::string& data) {
    EXPECT_EQ(plat_mtd_seek(fd, at, SEEK_SET), at);
    return plat_mtd_write(fd, data.data(), data.size());
}

struct NandEmuTest : ::testing::Test {
    void SetUp() override {
        root.write("/proc/mtd", "dev:    size   erasesize  name\nmtd2: 00008000 00001000 \"boot\"\n");
        root.write("/dev/mtd2", std::string(kSize, 'Z'));
    }
    TestRoot root;
};

TEST_F(NandEmuTest, EraseGivesFfAndProgrammingOnlyClearsBits) {
    setenv("DFOTA_SIM_TRACE", root.host("/trace").c_str(), 1);
    ASSERT_EQ(plat_init(), 0);
    UniqueFd fd{plat_mtd_open(2, O_RDWR)};
    ASSERT_EQ(plat_mtd_erase(fd.get(), kEs, kEs), 0);
    EXPECT_EQ(read_at(fd.get(), kEs, kEs), std::string(kEs, '\xff'));
    EXPECT_EQ(read_at(fd.get(), 0, 4), "ZZZZ") << "only the erased block changes";
    ASSERT_EQ(write_at(fd.get(), kEs, std::string(kEs - 3, '\x0f')), ssize_t{kEs - 3});  // no multiple of 8
    ASSERT_EQ(write_at(fd.get(), kEs, std::string(kEs - 3, '\xf3')), ssize_t{kEs - 3});
    EXPECT_EQ(read_at(fd.get(), kEs, kEs), std::string(kEs - 3, '\x03') + "\xff\xff\xff") << "no erase in between";
    EXPECT_EQ(write_at(fd.get(), kSize - 1, "ab"), 1) << "what fits before the end";
    EXPECT_EQ(root.read("/trace"), "1 erase /dev/mtd2\n2 write /dev/mtd2\n3 write /dev/mtd2\n4 write /dev/mtd2\n");
}

TEST_F(NandEmuTest, RefusedCallsLeaveTheFlashAlone) {
    root.write("/dev/mtd2.bad", "3\n");
    root.write("/dev/mtd5", std::string(kEs, '\0'));
    struct { const char* what; int flags; std::function<long(int)> call; int err; } cases[] = {
        {"erase a bad block", O_RDWR, [](int fd) { return plat_mtd_erase(fd, 3 * kEs, kEs); }, EIO},
        {"program a bad block", O_RDWR, [](int fd) { return write_at(fd, 3 * kEs + 9, "ab"); }, EIO},
        {"program at the end", O_RDWR, [](int fd) { return write_at(fd, kSize, "ab"); }, ENOSPC},
        {"unaligned start", O_RDWR, [](int fd) { return plat_mtd_erase(fd, 1, kEs); }, EINVAL},
        {"erase past the end", O_RDWR, [](int fd) { return plat_mtd_erase(fd, kSize - kEs, 2 * kEs); }, EINVAL},
        {"erase read-only", O_RDONLY, [](int fd) { return plat_mtd_erase(fd, 0, kEs); }, EPERM},
        {"program read-only", O_RDONLY, [](int fd) { return write_at(fd, 0, "ab"); }, EBADF},
        {"no line in proc/mtd", O_RDONLY, [](int) { return plat_mtd_open(5, O_RDONLY); }, ENODEV},
    };
    const std::string before = root.read("/dev/mtd2");
    for (const auto& c : cases) {
        UniqueFd fd{plat_mtd_open(2, c.flags)};
        errno = 0;
        EXPECT_EQ(c.call(fd.get()), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
        EXPECT_EQ(root.read("/dev/mtd2"), before) << c.what;
    }
    UniqueFd fd{plat_mtd_open(2, O_RDWR)};
    EXPECT_EQ(plat_mtd_bad_block(fd.get(), 3 * kEs + 5), 1);
    EXPECT_EQ(plat_mtd_bad_block(fd.get(), 2 * kEs), 0);
    plat_mtd_ecc_stats ecc{};
    EXPECT_TRUE(plat_mtd_get_ecc_stats(fd.get(), &ecc) == 0 && ecc.badblocks == 1u);
}
