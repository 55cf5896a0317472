#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "driver/device.h"
#include "storage/emmc.h"
#include "storage/storage.h"
#include "storage/ubi.h"
#include "support/test_root.h"

namespace {

const std::string kLog = "/data/upgrade/install/log";
constexpr size_t MiB = 1 << 20;
constexpr long kNoSize = -1;

class EmmcTest : public ::testing::Test {
protected:
    void TearDown() override { flash_type = FLASH_EMMC; }

    // Partition name on node mmcblk0pK, filled with 'Z'.
    void part(const std::string& name, int k, size_t bytes, long sectors = 0) {
        std::string node = "mmcblk0p" + std::to_string(k);
        root.write("/dev/" + node, std::string(bytes, 'Z'));
        if (sectors != kNoSize)
            root.write("/sys/block/mmcblk0/" + node + "/size", std::to_string(sectors ? sectors : bytes / 512));
        link(name, "../../../" + node);
    }
    void link(const std::string& name, const std::string& target) {
        root.mkdirs(MMC_BYNAME_DIR);
        ASSERT_EQ(symlink(target.c_str(), root.host(std::string(MMC_BYNAME_DIR) + "/" + name).c_str()), 0);
    }
    void tool(const std::string& name, const std::string& body) {
        root.write("/bin/" + name, "#!/bin/sh\n" + body);
        chmod(root.host("/bin/" + name).c_str(), 0755);
    }
    // want nullptr: the lookup fails.
    void expect_lookup(const char* request, const char* want) {
        SCOPED_TRACE(request);
        char dev[MMC_DEV_PATH_SIZE] = {};
        EXPECT_EQ(lookup_mmcblk(request, dev), want ? 0 : -1);
        if (want) {
            EXPECT_STREQ(dev, want);
        }
    }
    std::string node(int k) { return root.read("/dev/mmcblk0p" + std::to_string(k)); }
    std::string log() { return root.read(kLog); }
    static std::string pattern(size_t n) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
        return s;
    }
    TestRoot root;
};

TEST_F(EmmcTest, WholeWritePadsToTheEraseUnit) {
    struct Case {
        size_t part_bytes, file_bytes;
        long sectors;
        size_t pad;
    } cases[] = {
        {MiB, 1, 0, 262143},
        {MiB, 2 * 0x40000, 0, 0},
        {MiB, 0x40000 + 1, 0, 0x40000 - 1},
        {64 * 1024, 10000, 0, 55536},
        {MiB, 10000, kNoSize, 0},
    };
    int k = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.part_bytes << "/" << c.file_bytes);
        std::string name = "w" + std::to_string(++k);
        part(name, k, c.part_bytes, c.sectors);
        std::string data = pattern(c.file_bytes);
        root.write("/tmp/img", data);
        ASSERT_GE(mmc_write_file_to_partition(name.c_str(), "/tmp/img"), 0);
        std::string want = data + std::string(c.pad, '\xff');
        want += std::string(c.part_bytes - want.size(), 'Z');
        EXPECT_TRUE(node(k) == want);
    }
    EXPECT_TRUE(contains_like("mmc_write_file_to_partition[#] erase_size :65536\n", log()));
}

TEST_F(EmmcTest, WriteFailsWhenTheNodeRefusesIt) {
    part("small", 1, 8192);
    root.write("/tmp/img", pattern(20000));
    EXPECT_EQ(mmc_write_file_to_partition("small", "/tmp/img"), -1);
    link("gone", "../../../mmcblk0p9");
    EXPECT_EQ(mmc_write_file_to_partition("gone", "/tmp/img"), -1);
    EXPECT_FALSE(root.exists("/dev/mmcblk0p9")) << "a missing node is never created";
}

TEST_F(EmmcTest, OffsetWritePadsFromTheOffsetAndKeepsTheRest) {
    part("boot", 1, MiB);
    std::string data = pattern(5000);
    root.write("/tmp/img", data);
    ASSERT_EQ(write_file_from_offset_to_partition("boot", "/tmp/img", 0x1000), 0);
    std::string want = std::string(0x1000, 'Z') + data + std::string(0x40000 - 5000, '\xff');
    want += std::string(MiB - want.size(), 'Z');
    EXPECT_TRUE(node(1) == want);
    EXPECT_TRUE(contains_like("/tmp/img[#] open success\n", log()));

    CaptureStderr err;
    EXPECT_EQ(mmc_write_file_from_offset_to_partition("boot", "/tmp/img", -1), -1);
    EXPECT_TRUE(contains_like("fseek: ", err.finish()));
}

TEST_F(EmmcTest, LookupFollowsEachTargetForm) {
    part("boot_b", 2, 512);
    part("boot_a", 1, 512);
    link("abs", "/dev/mmcblk0p7");
    link("bare", "mmcblk0p8");
    struct Case {
        const char* request;
        const char* dev;
        const char* logged;
    } cases[] = {
        {"boot_b", "/dev/mmcblk0p2", "dev before: ../../../mmcblk0p2, dev after: /dev/mmcblk0p2\n"},
        {"boot", "/dev/mmcblk0p1", "mmcdev.blk[#].name:boot_a ,partition:boot\n"},
        {"abs", "/dev/mmcblk0p7", "mmcdev.blk[#].name:abs ,partition:abs\n"},
        {"bare", nullptr, "strstr not found partition bare\n"},
        {"system", nullptr, "not found partition system\n"},
    };
    for (const Case& c : cases) {
        expect_lookup(c.request, c.dev);
        EXPECT_TRUE(contains_like(c.logged, log())) << c.logged;
    }
}

TEST_F(EmmcTest, LookupTakesTheExactNameAndRejectsWhatDoesNotFit) {
    auto line = [](const std::string& name, const std::string& target) {
        return "lrwxrwxrwx 1 root root 18 Jan  1 00:00 " + name + " -> " + target + "\n";
    };
    std::string longname = "system_" + std::string(30, 'x');
    std::string many;
    for (int i = 0; i < 119; ++i) many += line("p" + std::to_string(i), "../../../mmcblk0p" + std::to_string(i));
    // A listing in place of the real one, in the order given.
    tool("ls", "cat '" + root.host("/listing") + "'\n");
    root.write("/listing", "total 0\n" + line("modemst1", "../../../mmcblk0p2") + line("modem", "../../../mmcblk0p1") +
            line(longname, "../../../mmcblk0p3") + "x" + std::string(400, ' ') + "y\n" +
            line("system_b", "../../../mmcblk0p4") + line("efs", "../../../" + std::string(30, 'e')) +
            line("efs2", "../../../mmcblk0p5") + many + line("p1250", "../../../mmcblk0p9") +
            line("p125", "../../../mmcblk0p8"));
    struct Case {
        const char* request;
        const char* dev;
    } cases[] = {
        {"modem", "/dev/mmcblk0p1"},    // exact beats an earlier prefix
        {"system", "/dev/mmcblk0p4"},   // the over-long name is not cut into a match
        {"efs", nullptr},               // its own line does not fit: no stand-in
        {"p100", "/dev/mmcblk0p100"},
        {"p125", nullptr},              // past the table's 128 lines: no stand-in either
    };
    for (const Case& c : cases) expect_lookup(c.request, c.dev);
    EXPECT_TRUE(contains_like("mmcdev.blk[2].name:modem ,partition:modem\n", log()));
}

TEST_F(EmmcTest, CheckComparesOnlyTheFilesBytes) {
    part("boot", 1, 64 * 1024);
    std::string data = pattern(12288);
    root.write("/tmp/img", data);
    ASSERT_EQ(write_file_to_partition("boot", "/tmp/img"), 0);
    std::string bad = data;
    bad[2 * 4096 + 17] ^= 1;
    struct Case {
        std::string file;
        bool at_offset;
        int32_t offset;
        int want;
    } cases[] = {
        {data, false, 0, 0},
        {"", false, 0, 0},
        {data.substr(5000, 3000), true, 5000, 0},
        {data.substr(5000, 3000), true, 5001, 1},
        {bad, false, 0, 1},
        {bad, true, 0, 1},
        {node(1) + "x", false, 0, -1},
        {data, true, -5, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file.size() << "@" << c.offset);
        root.write("/tmp/cmp", c.file);
        CaptureStderr err;
        EXPECT_EQ(c.at_offset ? mmc_check_partition_with_file_from_offset("boot", "/tmp/cmp", c.offset)
                              : mmc_check_partition_with_file("boot", "/tmp/cmp"),
                  c.want);
        if (c.offset < 0) {
            EXPECT_TRUE(contains_like("fseek: ", err.finish()));
        }
    }
    EXPECT_TRUE(contains_like("not same\n*read success total 8192\n", log()));
    EXPECT_TRUE(contains_like("read success total 0\n", log()));
    EXPECT_TRUE(contains_like("mmc_check_partition_with_file[#] read dev error\n", log()));
    root.write("/tmp/cmp", bad);
    EXPECT_EQ(check_partition_with_file("boot", "/tmp/cmp"), -1) << "a mismatch fails the verification";
    EXPECT_EQ(check_partition_with_file("boot", "/tmp/img"), 0);
}

TEST_F(EmmcTest, ReadsCopyIntoTheScratchFile) {
    part("boot", 1, 64 * 1024);
    std::string data = pattern(64 * 1024);
    root.write("/dev/mmcblk0p1", data);
    root.write(TMP_FILE_PT, "stale");
    ASSERT_EQ(read_partition_to_file("boot", 0), 0);
    EXPECT_EQ(root.read(TMP_FILE_PT), "");
    ASSERT_EQ(read_partition_to_file("boot", 10000), 0);
    EXPECT_TRUE(root.read(TMP_FILE_PT) == data.substr(0, 10000));
    ASSERT_EQ(read_partition_to_file_ex("boot", 10000, 50000), 0);
    EXPECT_TRUE(root.read(TMP_FILE_PT) == data.substr(50000, 10000));

    EXPECT_EQ(mmc_read_partition_to_file("boot", 64 * 1024 + 1), -1);
    EXPECT_TRUE(contains_like("mmc_read_partition_to_file[#] fread failed, 0/1\n", log()));
    EXPECT_EQ(read_partition_to_file_ex("boot", 10000, 64 * 1024), -1);
    EXPECT_TRUE(contains_like("mmc_read_partition_from_offset_to_file[#] fread failed, ret: 0\n", log()));
    EXPECT_TRUE(contains_like("read_partition_to_file_ex(#): [#] failed\n", log()));
    CaptureStderr err;
    EXPECT_EQ(mmc_read_partition_from_offset_to_file("boot", 10, -1), -1);
    EXPECT_TRUE(contains_like("fseek: ", err.finish()));
}

TEST_F(EmmcTest, DispatchersFollowTheFlashType) {
    part("boot", 1, 8192);
    root.write("/tmp/img", "x");
    flash_type = FLASH_NAND;  // no /proc/mtd: the NAND side cannot find the partition
    EXPECT_EQ(write_file_to_partition("boot", "/tmp/img"), -1);
    EXPECT_EQ(read_partition_to_file("boot", 1), -1);
    flash_type = FLASH_EMMC;
    EXPECT_EQ(write_file_to_partition("boot", "/tmp/img"), 0);
    EXPECT_EQ(node(1)[0], 'x');
}

TEST_F(EmmcTest, UbiReleaseRunsTheToolsForWhatIsMounted) {
    struct Case {
        const char* df_device;  // nullptr: not mounted
        const char* ubiname;
        const char* calls;
    } cases[] = {
        {"/dev/ubi0_0", "/dev/ubi0_0\n", "umount system\nubidetach -d 0\n"},
        {"ubi0:rootfs", "ubi0:rootfs\n", "umount system\nubidetach -d -1\n"},
        {nullptr, "", "ubidetach -d -1\n"},
    };
    std::string calls = root.host("/calls");
    tool("umount", "echo \"umount $*\" >> '" + calls + "'\n");
    tool("ubidetach", "echo \"ubidetach $*\" >> '" + calls + "'\n");
    tool("df", "cat '" + root.host("/df.out") + "'\n");
    tool("mount", "cat '" + root.host("/mount.out") + "'\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ubiname);
        std::string df = "Filesystem 1K-blocks Used Available Use% Mounted on\ntmpfs 10 1 9 10% /tmp\n";
        std::string mounts;
        if (c.df_device) {
            df += std::string(c.df_device) + " 100 10 90 10% /system\n";
            mounts = std::string(c.df_device) + " on /system type ubifs (rw)\n";
        }
        root.write("/df.out", df);
        root.write("/mount.out", mounts);
        root.write("/calls", "");
        char ubiname[UBI_NAME_SIZE];
        kelo_find_ubiname("system", ubiname);
        kelo_umount("system");
        kelo_detach_ubi(ubiname);
        EXPECT_STREQ(ubiname, c.ubiname);
        EXPECT_EQ(root.read("/calls"), c.calls);
    }
    EXPECT_TRUE(contains_like("ubiname:/dev/ubi0_0\n", log()));
    EXPECT_TRUE(contains_like("system call: umount 'system'\n", log()));
    EXPECT_TRUE(contains_like("system call: ubidetach -d 0\n", log()));
}

}  // namespace
