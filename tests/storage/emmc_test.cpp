#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "storage/emmc.h"
#include "storage/storage.h"
#include "storage/ubi.h"
#include "support/test_root.h"

namespace {

constexpr size_t MiB = 1 << 20, kUnit = MMC_ERASE_UNIT;

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

class EmmcTest : public ::testing::Test {
protected:
    // Partition name on node mmcblk0pK, filled with 'Z'; unsized: sysfs has no size for it.
    void part(const std::string& name, int k, size_t bytes, bool sized = true) {
        std::string node = "mmcblk0p" + std::to_string(k), link = std::string(MMC_BYNAME_DIR) + "/" + name;
        root.write("/dev/" + node, std::string(bytes, 'Z'));
        if (sized) root.write("/sys/block/mmcblk0/" + node + "/size", std::to_string(bytes / 512));
        root.mkdirs(MMC_BYNAME_DIR);
        ASSERT_EQ(symlink(("../../../" + node).c_str(), root.host(link).c_str()), 0);
    }
    void tool(const std::string& name, const std::string& script) {
        root.write("/bin/" + name, "#!/bin/sh\n" + script + "\n");
        chmod(root.host("/bin/" + name).c_str(), 0755);
    }
    TestRoot root;
};

TEST_F(EmmcTest, WritesPadWithFFToTheEraseUnit) {
    // offset -1: a whole write.
    struct { size_t part_bytes, file_bytes; bool sized; int32_t offset; size_t pad; } cases[] = {
        {MiB, 1, true, -1, kUnit - 1}, {MiB, 2 * kUnit, true, -1, 0}, {MiB, kUnit + 1, true, -1, kUnit - 1},
        {64 * 1024, 10000, true, -1, 64 * 1024 - 10000},  // a partition smaller than the unit is the unit
        {MiB, 10000, false, -1, 0}, {MiB, 5000, true, 0x1000, kUnit - 5000}};
    for (int k = 0; k < 6; ++k) {
        const auto& c = cases[k];
        std::string name = "w" + std::to_string(k), data = pattern(c.file_bytes);
        part(name, k, c.part_bytes, c.sized);
        root.write("/tmp/img", data);
        ASSERT_EQ(c.offset < 0 ? write_file_to_partition(name.c_str(), "/tmp/img")
                               : write_file_from_offset_to_partition(name.c_str(), "/tmp/img", c.offset), 0) << k;
        std::string want = std::string(std::max(c.offset, 0), 'Z') + data + std::string(c.pad, '\xff');
        want += std::string(c.part_bytes - want.size(), 'Z');
        EXPECT_TRUE(root.read("/dev/mmcblk0p" + std::to_string(k)) == want) << k;
    }
}

TEST_F(EmmcTest, WriteFailsWhenTheNodeCannotTakeIt) {
    part("small", 1, 8192, false);  // no size in sysfs: only the node refuses what does not fit
    ASSERT_EQ(symlink("../../../mmcblk0p9", root.host(std::string(MMC_BYNAME_DIR) + "/gone").c_str()), 0);
    root.write("/tmp/img", pattern(20000));
    EXPECT_EQ(write_file_to_partition("small", "/tmp/img"), -1);
    EXPECT_EQ(write_file_to_partition("gone", "/tmp/img"), -1) << "a missing node is never created";
}

// A listing in place of the real one, in the order given: a prefix before
// the exact name, each form of link target, names and targets too long for
// the table, and more lines than the table holds.
TEST_F(EmmcTest, LookupTakesTheExactNameThenAPrefixButNoStandIn) {
    std::string listing = "modemst1 -> ../../../mmcblk0p2\nmodem -> ../../../mmcblk0p1\nboot_a -> /dev/mmcblk0p7\n"
                          "bare -> mmcblk0p8\nsystem_" + std::string(30, 'x') + " -> ../../../mmcblk0p3\n"
                          "system_b -> ../../../mmcblk0p4\nefs -> ../../../" + std::string(30, 'e') + "\n"
                          "efs2 -> ../../../mmcblk0p5\n";
    for (int i = 0; i < 119; ++i) listing += "p" + std::to_string(i) + " -> ../../../q" + std::to_string(i) + "\n";
    root.write("/listing", listing + "p1250 -> ../../../mmcblk0p9\np125 -> ../../../mmcblk0p8\n");  // lines 128, 129
    tool("ls", "sed 's/^/lrwxrwxrwx 1 root root 18 Jan  1 00:00 /' '" + root.host("/listing") + "'");
    struct { const char* request; const char* dev; } cases[] = {  // "-": the lookup fails
        {"modem", "/dev/mmcblk0p1"}, {"boot", "/dev/mmcblk0p7"}, {"bare", "-"}, {"p100", "/dev/q100"},
        {"system", "/dev/mmcblk0p4"},  // the over-long name is not cut into a match
        {"efs", "-"}, {"p125", "-"}};    // a line that does not fit leaves no stand-in
    for (const auto& c : cases) {
        char dev[MMC_DEV_PATH_SIZE] = {};
        EXPECT_EQ(lookup_mmcblk(c.request, dev) == 0 ? dev : "-", std::string(c.dev)) << c.request;
    }
}

// The node ends inside its third 4 KiB piece.
TEST_F(EmmcTest, ChecksAndReadsSeeTheNodesBytesUpToItsEnd) {
    part("boot", 1, 10000);
    std::string data = pattern(10000), bad = data;
    bad[2 * 4096 + 17] ^= 1;
    root.write("/dev/mmcblk0p1", data);
    root.write("/tmp/img", data);
    struct { std::string file; int32_t offset; int want; } cases[] = {
        {data + "x", 0, -1}, {data.substr(5000, 3000), 5000, 0}, {data.substr(5000, 3000), 5001, 1}, {bad, 0, 1}};
    for (const auto& c : cases) {
        root.write("/tmp/cmp", c.file);
        EXPECT_EQ(mmc_check_partition_with_file_from_offset("boot", "/tmp/cmp", c.offset), c.want) << c.offset;
    }
    EXPECT_EQ(check_partition_with_file("boot", "/tmp/cmp"), -1) << "a mismatch fails the verification";
    EXPECT_EQ(check_partition_with_file("boot", "/tmp/img"), 0);

    ASSERT_EQ(read_partition_to_file("boot", 6000), 0);
    EXPECT_TRUE(root.read(TMP_FILE_PT) == data.substr(0, 6000));
    ASSERT_EQ(read_partition_to_file_ex("boot", 3000, 6500), 0);
    EXPECT_TRUE(root.read(TMP_FILE_PT) == data.substr(6500, 3000));
    EXPECT_EQ(read_partition_to_file("boot", 10001), -1);
    EXPECT_EQ(read_partition_to_file_ex("boot", 3000, 8000), -1);
}

TEST_F(EmmcTest, UbiReleaseRunsTheToolsForWhatIsMounted) {
    for (std::string t : {"umount", "ubidetach"}) tool(t, "echo \"" + t + " $*\" >> '" + root.host("/calls") + "'");
    // df and mount show the same line: the agent looks for the word, then
    // takes the mount point when the line is in mount's form.
    for (std::string t : {"df", "mount"}) tool(t, "cat '" + root.host("/mounts") + "'");
    struct { std::string line; const char* ubiname; const char* calls; } cases[] = {  // line "": not mounted
        {"/dev/ubi0_0 100 10 90 10% /system", "/dev/ubi0_0\n", "umount system\nubidetach -d 0\n"},
        {"ubi1:rootfs on /system type ubifs (rw)", "ubi1:rootfs\n", "umount /system\nubidetach -d 1\n"},
        {"", "", "ubidetach -d -1\n"}};
    for (const auto& c : cases) {
        root.write("/mounts", c.line.empty() ? "" : c.line + "\n");
        root.write("/calls", "");
        char ubiname[UBI_NAME_SIZE];
        kelo_find_ubiname("system", ubiname);
        kelo_umount("system");
        kelo_detach_ubi(ubiname);
        EXPECT_STREQ(ubiname, c.ubiname);
        EXPECT_EQ(root.read("/calls"), c.calls);
    }
}

}  // namespace
