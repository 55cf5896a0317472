// What differs between the machine the tests are built on and the module the
// agent runs on. Plain char is signed on x86-64 and unsigned on 64-bit Arm,
// the C library and the emulated system calls are the target's own in the
// cross build, and file sizes and free space cross 32 bits on real
// partitions. Every case here runs in both builds (the Arm one under
// emulation) and must give the same answers in both.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/file_util.h"
#include "core/log.h"
#include "platform/platform.h"
#include "support/test_root.h"

// Offsets, sizes and block counts are handed through the platform seam and
// multiplied in the agent; none of them may be a 32-bit type on the target.
static_assert(sizeof(off_t) == 8, "partition and file offsets need 64 bits");
static_assert(sizeof(long) == 8, "ftell must report sizes past 2 GiB");
static_assert(sizeof(fsblkcnt_t) == 8, "block counts of large file systems need 64 bits");

using namespace std::string_literals;

namespace {

constexpr int64_t k2GiB = int64_t{1} << 31;
constexpr int64_t k4GiB = int64_t{1} << 32;

// A file of the given size that takes no space: only its length matters.
void make_sparse(const TestRoot& r, const std::string& device_path, int64_t size) {
    r.write(device_path, "");
    ASSERT_EQ(::truncate(r.host(device_path).c_str(), static_cast<off_t>(size)), 0)
        << "cannot make a sparse file of " << size << " bytes: " << std::strerror(errno);
}

// Every byte value but NUL and '/', high half first, so that a byte whose
// meaning depends on the sign of char cannot hide behind plain ASCII. A
// possible name for a single directory entry (254 bytes), not ending in '*'
// (which command lines keep outside the quotes on purpose).
std::string every_name_byte() {
    std::string s;
    for (int b = 0x80; b <= 0xff; ++b) s += static_cast<char>(b);
    for (int b = 0x01; b < 0x80; ++b)
        if (b != '/') s += static_cast<char>(b);
    return s;
}

}  // namespace

// --- bytes >= 0x80 in paths and lines ---

TEST(TargetText, CommandLineCarriesEveryByteOfAPathToTheShell) {
    TestRoot r;
    std::string name = "/tmp/" + every_name_byte();
    r.write(name, "payload");
    auto cmd = make_command(1024, "cat %s > %s", {name, "/tmp/out"});
    ASSERT_TRUE(cmd);
    int status = plat_system(cmd->c_str());
    EXPECT_FALSE(plat_cmd_failed(status)) << "status " << status;
    EXPECT_EQ(r.read("/tmp/out"), "payload");
}

TEST(TargetText, CopyAndSizeOfFilesWithHighBytesInTheirNames) {
    TestRoot r;
    const std::string src = "/tmp/delta/\xE5\x8D\x87\xE7\xBA\xA7/a\xFF\x80.bin";
    const std::string dst = "/data/\xC3\xA9t\xC3\xA9\xAF/b\x80\xFE.bin";
    const std::string content = "\x80\xFF\x00\x7F\xC3\xA9 firmware"s;
    r.write(src, content);
    CaptureStdout quiet;
    ASSERT_EQ(copy_file(src.c_str(), dst.c_str()), 0);
    quiet.finish();
    EXPECT_EQ(r.read(dst), content);
    EXPECT_EQ(get_file_size(dst.c_str()), static_cast<int32_t>(content.size()));
    EXPECT_EQ(get_file_size(src.c_str()), static_cast<int32_t>(content.size()));
}

TEST(TargetText, OnlyAPlainSlashSeparatesDirectories) {
    // 0xAF is '/' with the high bit set; 0x2F must be matched as a whole byte.
    EXPECT_EQ(dir_part("/data/a\xAF" "b\xAF"), "/data");
    EXPECT_EQ(dir_part("/data\xAF/x"), "/data\xAF");
    EXPECT_EQ(dir_part("\xAF" "data"), std::nullopt);
    EXPECT_EQ(dir_part("/\xFF\xFF/\xFF"), "/\xFF\xFF");
}

TEST(TargetText, LogKeepsHighBytesOfAMessage) {
    TestRoot r;
    const std::string msg = "partition \xC3\xA9\xFF\x80\xAF end";
    CaptureStdout out;
    LOGF("%s", msg.c_str());
    std::string echoed = out.finish();
    EXPECT_NE(r.read(LOG_FILE).find(msg + "\n"), std::string::npos);
    EXPECT_NE(echoed.find(msg + "\n"), std::string::npos);
}

// --- sizes near and past 32 bits ---

TEST(TargetSizes, FileSizeAtTheLargestPositiveInt32) {
    TestRoot r;
    ASSERT_NO_FATAL_FAILURE(make_sparse(r, "/data/big", k2GiB - 1));
    EXPECT_EQ(get_file_size("/data/big"), 2147483647);
}

TEST(TargetSizes, FileSizesPastTheInt32RangeAreNarrowedNotLost) {
    // Narrowed means the low 32 bits, the same on every target: neither the
    // -1 of a failed ftell nor a saturated value.
    TestRoot r;
    ASSERT_NO_FATAL_FAILURE(make_sparse(r, "/data/big", k2GiB));
    EXPECT_EQ(get_file_size("/data/big"), INT32_MIN);
    ASSERT_NO_FATAL_FAILURE(make_sparse(r, "/data/huge", k4GiB + 7));
    EXPECT_EQ(get_file_size("/data/huge"), 7);
}

TEST(TargetSizes, TruncateAndStatCarry64BitLengthsThroughThePlatform) {
    TestRoot r;
    r.write("/data/img", "x");
    ASSERT_EQ(plat_truncate("/data/img", static_cast<off_t>(k4GiB + 1)), 0) << std::strerror(errno);
    struct stat st {};
    ASSERT_EQ(plat_stat("/data/img", &st), 0);
    EXPECT_EQ(static_cast<int64_t>(st.st_size), k4GiB + 1);
}

TEST(TargetSizes, PartitionWritesPastFourGiBLandInPlaceAndStopAtItsEnd) {
    TestRoot r;
    const char* node = "/dev/block/bootdevice/by-name/big";
    ASSERT_NO_FATAL_FAILURE(make_sparse(r, node, k4GiB + 8));
    FilePtr fp{plat_fopen(node, "r+")};
    ASSERT_TRUE(fp) << std::strerror(errno);
    ASSERT_EQ(fseeko(fp.get(), static_cast<off_t>(k4GiB), SEEK_SET), 0);
    EXPECT_EQ(ftello(fp.get()), static_cast<off_t>(k4GiB));
    ASSERT_EQ(std::fwrite("01234567", 1, 8, fp.get()), 8u);
    ASSERT_EQ(std::fflush(fp.get()), 0) << std::strerror(errno);
    // A partition does not grow: the next byte has no room.
    std::fputc('X', fp.get());
    errno = 0;
    EXPECT_NE(std::fflush(fp.get()), 0);
    EXPECT_EQ(errno, ENOSPC);
    close_file(fp);

    struct stat st {};
    ASSERT_EQ(::stat(r.host(node).c_str(), &st), 0);
    EXPECT_EQ(static_cast<int64_t>(st.st_size), k4GiB + 8);
    int fd = ::open(r.host(node).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char got[9] = {};
    EXPECT_EQ(::pread(fd, got, 8, static_cast<off_t>(k4GiB)), 8);
    ::close(fd);
    EXPECT_STREQ(got, "01234567");
}

TEST(TargetSizes, FreeSpaceIsBlockSizeTimesAvailableBlocksIn64Bits) {
    TestRoot r;
    r.mkdirs("/data/upgrade");
    // Other processes share the host file system: only a reading taken
    // between two equal direct readings can be compared.
    auto direct = [&] {
        struct statfs st {};
        EXPECT_EQ(::statfs(r.host("/data/upgrade").c_str(), &st), 0);
        return static_cast<uint64_t>(st.f_bsize) * static_cast<uint64_t>(st.f_bavail);
    };
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint64_t before = direct();
        uint64_t got = get_free_space_for_file("/data/upgrade/package.zip");
        uint64_t after = direct();
        if (before != after) continue;
        EXPECT_EQ(got, before);
        EXPECT_NE(got, UINT64_MAX);
        return;
    }
    FAIL() << "free space on the test file system never held still";
}
