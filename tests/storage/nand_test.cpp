#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "storage/emmc.h"
#include "storage/mtd.h"
#include "storage/nand.h"
#include "support/test_root.h"

namespace {

constexpr size_t kEs = 0x20000;
const std::string kLog = "/data/upgrade/install/log";

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

std::string block(const std::string& raw, size_t i, size_t n = 1) { return raw.substr(i * kEs, n * kEs); }

// A NAND device: mtd0 "appsbl" of 8 blocks and mtd1 "system" of 16, both
// holding old data, with faults set per test.
class NandTest : public ::testing::Test {
protected:
    void SetUp() override {
        mtd_reset_table();
        root.write("/proc/mtd", "dev:    size   erasesize  name\n"
                                "mtd0: 00100000 00020000 \"appsbl\"\n"
                                "mtd1: 00200000 00020000 \"system\"\n");
        root.write("/dev/mtd0", pattern(8 * kEs, 1));
        root.write("/dev/mtd1", pattern(16 * kEs, 2));
    }
    void TearDown() override { mtd_reset_table(); }
    std::string raw() const { return root.read("/dev/mtd1"); }
    std::string log() const { return root.read(kLog); }

    TestRoot root;
};

TEST_F(NandTest, TableTranslatesNamesAndKeepsToItsSlots) {
    root.write("/proc/mtd", "dev:    size   erasesize  name\n"
                            "mtd0: 00100000 00020000 \"appsbl\"\n"
                            "mtd1: 00200000 00020000 \"apps\"\n"
                            "mtd2: 00100000 00020000 \"apps_b\"\n"
                            "mtd64: 00100000 00020000 \"far\"\n"
                            "mtd-1: 00100000 00020000 \"neg\"\n"
                            "mtd3: 00100000 00020000 \"cut");
    ASSERT_EQ(mtd_scan_table(), 3);
    ASSERT_NE(mtd_find_by_name("aboot"), nullptr);
    EXPECT_EQ(mtd_find_by_name("aboot")->device_index, 0);
    EXPECT_EQ(mtd_find_by_name("aboot")->size, 0x100000u);
    EXPECT_EQ(mtd_find_by_name("boot")->device_index, 1);
    EXPECT_EQ(mtd_find_by_name("apps_b")->device_index, 2);
    for (const char* absent : {"appsbl", "apps", "far", "neg", "cut"}) EXPECT_EQ(mtd_find_by_name(absent), nullptr);
    root.write("/proc/mtd", "");
    EXPECT_EQ(mtd_scan_table(), 3) << "the table is read once per process";
}

TEST_F(NandTest, WholeWritePadsTheLastBlockAndErasesTheRest) {
    const std::string img = pattern(300000, 3);
    root.write("/data/img", img);
    ASSERT_EQ(nand_write_file_to_partition("system", "/data/img"), 0);
    const std::string r = raw();
    EXPECT_EQ(r.substr(0, img.size()), img);
    EXPECT_EQ(r.substr(img.size(), 3 * kEs - img.size()), std::string(3 * kEs - img.size(), '\0'));
    EXPECT_EQ(r.substr(3 * kEs), std::string(13 * kEs, '\xff'));
    EXPECT_EQ(nand_check_partition_with_file("system", "/data/img"), 0);
    ASSERT_EQ(nand_read_partition_to_file("system", static_cast<int32_t>(img.size())), 0);
    EXPECT_EQ(root.read(TMP_FILE_PT), img);

    root.write("/data/empty", "");
    ASSERT_EQ(nand_write_file_to_partition("aboot", "/data/empty"), 0);
    EXPECT_EQ(root.read("/dev/mtd0"), std::string(8 * kEs, '\xff'));
    EXPECT_TRUE(contains_like("write success total 0\n", log()));
}

// Bad blocks are never touched and never part of the stream; blocks with
// uncorrectable reads are left out of it; blocks that fail to program are
// retried once, then skipped (and not marked bad, so a check finds them).
TEST_F(NandTest, FaultyBlocksAreSkipped) {
    struct Row {
        const char* fault_file;
        const char* faults;
        std::vector<int> data_blocks;  // where the three data blocks land
        int check;
        const char* message;
    } rows[] = {
        {".bad", "1\n", {0, 2, 3}, 0, "mtd: not writing bad block at 0x00020000"},
        {".wfail", "1 1\n", {0, 1, 2}, 0, "mtd: wrote block after 1 retries"},
        {".wfail", "1 2\n", {0, 2, 3}, 1, "mtd: skipping write block at 0x00020000"},
    };
    const std::string img = pattern(3 * kEs, 4);
    root.write("/data/img", img);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.fault_file) + " " + row.faults);
        SetUp();
        const std::string old = raw();
        root.write(std::string("/dev/mtd1") + row.fault_file, row.faults);
        CaptureStderr err;
        ASSERT_EQ(nand_write_file_to_partition("system", "/data/img"), 0);
        EXPECT_TRUE(contains_like(row.message, err.finish()));
        const std::string r = raw();
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(block(r, row.data_blocks[i]), block(img, i)) << i;
        if (row.data_blocks[1] == 2) {
            EXPECT_EQ(block(r, 1), std::string(row.check ? std::string(kEs, '\xff') : block(old, 1)));
        }
        EXPECT_EQ(nand_check_partition_with_file("system", "/data/img"), row.check);
        if (row.check == 0) {
            ASSERT_EQ(nand_read_partition_to_file("system", 3 * kEs), 0);
            EXPECT_EQ(root.read(TMP_FILE_PT), img);
        }
        if (std::string(row.fault_file) == ".wfail") EXPECT_EQ(root.read("/dev/mtd1.wfail"), "");
        root.write(std::string("/dev/mtd1") + row.fault_file, "");
    }

    // A block whose reads fail ECC drops out of the stream.
    root.write("/dev/mtd1.ecc", "1\n");
    CaptureStderr err;
    ASSERT_EQ(nand_read_partition_to_file("system", 2 * kEs), 0);
    EXPECT_TRUE(contains_like("mtd: ECC errors (0 soft, 1 hard) at 0x00020000", err.finish()));
    EXPECT_EQ(root.read(TMP_FILE_PT), block(img, 0) + block(img, 1));
}

TEST_F(NandTest, EndOfPartition) {
    const std::string big = pattern(9 * kEs, 5);
    root.write("/data/big", big);
    ASSERT_EQ(mtd_scan_table(), 2);
    mtd_write_context* ctx = mtd_write_open(mtd_find_by_name("aboot"));
    ASSERT_NE(ctx, nullptr);
    errno = 0;
    EXPECT_EQ(mtd_write_data(ctx, big.data(), 8 * kEs + kEs), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(mtd_erase_blocks(ctx, 1), -1) << "no block is left to erase";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(mtd_write_close(ctx), 0);
    EXPECT_EQ(nand_write_file_to_partition("aboot", "/data/big"), -1);
    EXPECT_TRUE(contains_like("mtd_write_data error", log()));

    EXPECT_EQ(nand_read_partition_to_file("aboot", 8 * kEs + 1), -1);
    EXPECT_TRUE(contains_like("fread failed, -1/1\n", log()));
    EXPECT_EQ(root.read(TMP_FILE_PT).size(), 8 * kEs) << "the pieces read before stay";
}

// A chunk written into the middle of a partition lands where a read from
// that offset finds it, and every byte outside it keeps its value, also when
// a bad block inside the chunk pushes its tail one block further.
TEST_F(NandTest, OffsetWriteKeepsEverythingOutsideTheChunk) {
    const std::string chunk = pattern(2 * kEs + kEs / 2, 6);
    root.write("/data/chunk", chunk);
    struct Row {
        const char* bad;
        std::vector<int> chunk_blocks;
    } rows[] = {{"", {4, 5, 6}}, {"5\n", {4, 6, 7}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bad);
        SetUp();
        root.write("/dev/mtd1.bad", row.bad);
        const std::string old = raw();
        ASSERT_EQ(nand_write_file_from_offset_to_partition("system", "/data/chunk", 4 * kEs), 0);
        const std::string r = raw();
        std::string expect = old;
        for (size_t i = 0; i < 3; ++i) {
            size_t n = std::min(kEs, chunk.size() - i * kEs);
            expect.replace(row.chunk_blocks[i] * kEs, n, chunk.substr(i * kEs, n));
        }
        EXPECT_TRUE(r == expect);
        EXPECT_EQ(nand_check_partition_with_file_from_offset("system", "/data/chunk", 4 * kEs), 0);
        ASSERT_EQ(nand_read_partition_from_offset_to_file("system", kEs, -4 * static_cast<int32_t>(kEs)), 0);
        EXPECT_EQ(root.read(TMP_FILE_PT), chunk.substr(0, kEs)) << "a negative offset counts by its magnitude";
    }
    const std::string before = raw();
    EXPECT_EQ(nand_write_file_from_offset_to_partition("system", "/data/chunk", 4 * kEs + 4096), -1);
    EXPECT_TRUE(contains_like("fseek error", log()));
    EXPECT_TRUE(raw() == before);
}

}  // namespace
