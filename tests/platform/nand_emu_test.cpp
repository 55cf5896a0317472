#include <gtest/gtest.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_root.h"

namespace {

constexpr uint32_t kEs = 4096;          // erase block
constexpr uint32_t kSize = 8 * kEs;     // mtd2

class NandEmuTest : public ::testing::Test {
protected:
    void SetUp() override {
        root.write("/proc/mtd", "dev:    size   erasesize  name\nmtd2: 00008000 00001000 \"boot\"\n");
        root.write("/dev/mtd2", std::string(kSize, '\x5a'));
    }
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
    static plat_mtd_ecc_stats stats(int fd) {
        plat_mtd_ecc_stats s{};
        EXPECT_EQ(plat_mtd_get_ecc_stats(fd, &s), 0);
        return s;
    }
    TestRoot root;
};

TEST_F(NandEmuTest, EraseGivesFfAndProgrammingOnlyClearsBits) {
    UniqueFd fd{plat_mtd_open(2, O_RDWR)};
    ASSERT_TRUE(fd);
    ASSERT_EQ(plat_mtd_erase(fd.get(), kEs, kEs), 0);
    EXPECT_EQ(read_at(fd.get(), kEs, kEs), std::string(kEs, '\xff'));
    EXPECT_EQ(read_at(fd.get(), 0, 4), "\x5a\x5a\x5a\x5a") << "only the erased block changes";

    std::string first(kEs, '\x0f'), second(kEs, '\xf3');
    ASSERT_EQ(write_at(fd.get(), kEs, first), static_cast<ssize_t>(kEs));
    EXPECT_EQ(read_at(fd.get(), kEs, kEs), first);
    ASSERT_EQ(write_at(fd.get(), kEs, second), static_cast<ssize_t>(kEs));
    EXPECT_EQ(read_at(fd.get(), kEs, kEs), std::string(kEs, '\x03')) << "no erase in between";
    EXPECT_EQ(root.read("/dev/mtd2").size(), kSize);
}

TEST_F(NandEmuTest, RefusedCallsLeaveTheFlashAlone) {
    root.write("/dev/mtd2.bad", "3\n");
    struct { const char* what; int flags; std::function<long(int)> call; int err; } cases[] = {
        {"erase a bad block", O_RDWR, [](int fd) { return plat_mtd_erase(fd, 3 * kEs, kEs); }, EIO},
        {"program a bad block", O_RDWR, [](int fd) { return write_at(fd, 3 * kEs + 9, "ab"); }, EIO},
        {"program at the end", O_RDWR, [](int fd) { return write_at(fd, kSize, "ab"); }, ENOSPC},
        {"unaligned start", O_RDWR, [](int fd) { return plat_mtd_erase(fd, 1, kEs); }, EINVAL},
        {"partial block", O_RDWR, [](int fd) { return plat_mtd_erase(fd, 0, kEs / 2); }, EINVAL},
        {"erase past the end", O_RDWR, [](int fd) { return plat_mtd_erase(fd, kSize - kEs, 2 * kEs); }, EINVAL},
        {"query past the end", O_RDWR, [](int fd) { return plat_mtd_bad_block(fd, kSize); }, EINVAL},
        {"erase read-only", O_RDONLY, [](int fd) { return plat_mtd_erase(fd, 0, kEs); }, EPERM},
        {"program read-only", O_RDONLY, [](int fd) { return write_at(fd, 0, "ab"); }, EBADF},
    };
    const std::string before = root.read("/dev/mtd2");
    for (const auto& c : cases) {
        UniqueFd fd{plat_mtd_open(2, c.flags)};
        ASSERT_TRUE(fd);
        errno = 0;
        EXPECT_EQ(c.call(fd.get()), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
        EXPECT_EQ(root.read("/dev/mtd2"), before) << c.what;
    }

    UniqueFd fd{plat_mtd_open(2, O_RDWR)};
    EXPECT_EQ(plat_mtd_bad_block(fd.get(), 3 * kEs + 5), 1);
    EXPECT_EQ(plat_mtd_bad_block(fd.get(), 2 * kEs), 0);
    EXPECT_EQ(stats(fd.get()).badblocks, 1u);
    EXPECT_EQ(write_at(fd.get(), kSize - 1, "ab"), 1) << "what fits before the end";
    EXPECT_EQ(root.read("/dev/mtd2").size(), kSize);
    root.write("/dev/mtd5", std::string(kEs, '\0'));
    EXPECT_EQ(plat_mtd_open(5, O_RDONLY), -1) << "no line in proc/mtd";
    EXPECT_EQ(errno, ENODEV);
}

TEST_F(NandEmuTest, EccCountersGrowOncePerReadTouchingTheBlock) {
    root.write("/dev/mtd2.ecc", "1\nbogus\n3 4\n");
    root.write("/dev/mtd2.bitflips", "2\n");
    struct { off_t at; size_t len; uint32_t corrected, failed; } cases[] = {
        {0, kEs, 0, 0},          {kEs, 10, 0, 1},     {kEs - 1, 2, 0, 1},  {kEs, 2 * kEs, 1, 1},
        {2 * kEs + 5, 5, 1, 0},  {3 * kEs, kEs, 0, 0}, {kSize, 16, 0, 0},
    };
    UniqueFd fd{plat_mtd_open(2, O_RDONLY)};
    ASSERT_TRUE(fd);
    for (const auto& c : cases) {
        plat_mtd_ecc_stats was = stats(fd.get());
        read_at(fd.get(), c.at, c.len);
        plat_mtd_ecc_stats now = stats(fd.get());
        EXPECT_EQ(now.corrected - was.corrected, c.corrected) << "read at " << c.at;
        EXPECT_EQ(now.failed - was.failed, c.failed) << "read at " << c.at;
    }
    plat_mtd_ecc_stats total = stats(fd.get());
    UniqueFd other{plat_mtd_open(2, O_RDONLY)};
    EXPECT_EQ(stats(other.get()).failed, total.failed) << "counters belong to the device";
}

TEST_F(NandEmuTest, ProgramFaultsAreUsedUpAndRemembered) {
    root.write("/dev/mtd2.wfail", "1 2\n5 1\n");
    const std::string data(kEs, '\x3c');
    struct { bool damaged; const char* left; } steps[] = {{true, "1 1\n5 1\n"}, {true, "5 1\n"}, {false, "5 1\n"}};
    for (const auto& s : steps) {
        UniqueFd fd{plat_mtd_open(2, O_RDWR)};  // a fresh open sees only what is left
        ASSERT_EQ(plat_mtd_erase(fd.get(), kEs, kEs), 0);
        ASSERT_EQ(write_at(fd.get(), kEs, data), static_cast<ssize_t>(kEs));
        EXPECT_EQ(read_at(fd.get(), kEs, kEs) != data, s.damaged);
        EXPECT_EQ(root.read("/dev/mtd2.wfail"), s.left);
    }
}

TEST_F(NandEmuTest, TraceHasEveryEraseAndProgramOnly) {
    std::string trace = root.root() + ".trace";
    setenv("DFOTA_SIM_TRACE", trace.c_str(), 1);
    ASSERT_EQ(plat_init(), 0);
    unsetenv("DFOTA_SIM_TRACE");
    {
        UniqueFd fd{plat_mtd_open(2, O_RDWR)};
        plat_mtd_erase(fd.get(), 0, kEs);
        write_at(fd.get(), 0, "data");
        read_at(fd.get(), 0, 4);
        plat_mtd_bad_block(fd.get(), 0);
        stats(fd.get());
    }
    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    EXPECT_EQ(lines, (std::vector<std::string>{"1 erase /dev/mtd2", "2 write /dev/mtd2"}));
    std::remove(trace.c_str());
}

}  // namespace
