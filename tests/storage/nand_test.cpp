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

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    return s;
}

std::string block(const std::string& raw, size_t i) { return raw.substr(i * kEs, kEs); }

// mtd0 "appsbl" of 8 blocks and mtd1 "system" of 16, both holding old data
// and free of faults; a table runs SetUp again for each row. The other lines
// of the table have no device behind them.
class NandTest : public ::testing::Test {
protected:
    void SetUp() override {
        mtd_reset_table();
        root.write("/proc/mtd", "dev:    size   erasesize  name\nmtd0: 00100000 00020000 \"appsbl\"\n"
                                "mtd1: 00200000 00020000 \"system\"\nmtd2: 00100000 00020000 \"apps\"\n"
                                "mtd3: 00100000 00020000 \"apps_b\"\nmtd64: 00100000 00020000 \"far\"\n"
                                "mtd-1: 00100000 00020000 \"neg\"\nmtd4: 00100000 00020000 \"cut");
        root.write("/dev/mtd0", pattern(8 * kEs, 1));
        root.write("/dev/mtd1", pattern(16 * kEs, 2));
        for (const char* f : {".bad", ".wfail", ".ecc"}) root.write(std::string("/dev/mtd1") + f, "");
    }
    std::string raw() const { return root.read("/dev/mtd1"); }
    TestRoot root;
};

// Of the fixture's table, appsbl and apps go by other names, mtd64 and mtd-1
// have no slot, and the last line never ends.
TEST_F(NandTest, TableTranslatesNamesAndKeepsToItsSlots) {
    ASSERT_EQ(mtd_scan_table(), 4);
    auto index = [](const char* name) { auto* p = mtd_find_by_name(name); return p ? p->device_index : -1; };
    EXPECT_EQ((std::vector<int>{index("aboot"), index("boot"), index("apps_b")}), (std::vector<int>{0, 2, 3}));
    for (const char* absent : {"appsbl", "apps", "far", "neg", "cut"}) EXPECT_EQ(index(absent), -1) << absent;
}

TEST_F(NandTest, WholeWriteZeroFillsTheLastBlockAndErasesTheRest) {
    const std::string img = pattern(300000, 3);
    root.write("/data/img", img);
    ASSERT_EQ(nand_write_file_to_partition("system", "/data/img"), 0);
    EXPECT_TRUE(raw() == img + std::string(3 * kEs - img.size(), '\0') + std::string(13 * kEs, '\xff'));
}

// A bad block is never touched; a block that fails to program is retried
// once, then skipped and left erased but not marked bad, so that a check
// finds it.
TEST_F(NandTest, FaultyBlocksAreSkipped) {
    // blocks: where the three data blocks land; said: on standard error.
    struct { const char* file; const char* faults; std::vector<int> blocks; int check; const char* said; } rows[] = {
        {".bad", "1\n", {0, 2, 3}, 0, "mtd: not writing bad block at 0x00020000"},
        {".wfail", "1 1\n", {0, 1, 2}, 0, "mtd: wrote block after 1 retries"},
        {".wfail", "1 2\n", {0, 2, 3}, 1, "mtd: skipping write block at 0x00020000"}};
    const std::string img = pattern(3 * kEs, 4);
    root.write("/data/img", img);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.file) + " " + row.faults);
        SetUp();
        root.write(std::string("/dev/mtd1") + row.file, row.faults);
        Capture err{STDERR_FILENO};
        ASSERT_EQ(nand_write_file_to_partition("system", "/data/img"), 0);
        EXPECT_TRUE(contains_like(row.said, err.finish()));
        for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(block(raw(), row.blocks[i]) == block(img, i)) << i;
        std::string skipped = row.check ? std::string(kEs, '\xff') : block(pattern(16 * kEs, 2), 1);
        EXPECT_TRUE(row.blocks[1] != 2 || block(raw(), 1) == skipped);
        EXPECT_EQ(nand_check_partition_with_file("system", "/data/img"), row.check) << "reads the data back in order";
    }
    // The data is in blocks 0, 2 and 3 now; reads of block 1 fail ECC.
    root.write("/dev/mtd1.ecc", "1\n");
    ASSERT_EQ(nand_read_partition_to_file("system", 2 * kEs), 0);
    EXPECT_TRUE(root.read(TMP_FILE_PT) == block(img, 0) + block(img, 1));
}

TEST_F(NandTest, NothingGoesPastTheEndOfThePartition) {
    const std::string big = pattern(9 * kEs, 5);
    root.write("/data/big", big);
    ASSERT_EQ(mtd_scan_table(), 4);
    mtd_write_context* ctx = mtd_write_open(mtd_find_by_name("aboot"));
    ASSERT_NE(ctx, nullptr);
    errno = 0;
    EXPECT_EQ(mtd_write_data(ctx, big.data(), big.size()), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(mtd_write_close(ctx), 0);
    EXPECT_EQ(nand_write_file_to_partition("aboot", "/data/big"), -1);
    EXPECT_EQ(nand_read_partition_to_file("aboot", 8 * kEs + 1), -1);
}

// A chunk written into the middle of a partition lands where a read from
// that offset finds it, and every byte outside it keeps its value, also when
// bad blocks push its middle and its tail further.
TEST_F(NandTest, OffsetWriteKeepsEverythingOutsideTheChunk) {
    const std::string chunk = pattern(2 * kEs + kEs / 2, 6);
    root.write("/data/chunk", chunk);
    struct { const char* bad; std::vector<int> chunk_blocks; } rows[] = {{"", {4, 5, 6}}, {"5\n7\n", {4, 6, 8}}};
    for (const auto& row : rows) {
        SetUp();
        root.write("/dev/mtd1.bad", row.bad);
        std::string want = raw();
        for (size_t i = 0; i < 3; ++i)
            want.replace(row.chunk_blocks[i] * kEs, std::min(kEs, chunk.size() - i * kEs), chunk.substr(i * kEs, kEs));
        ASSERT_EQ(nand_write_file_from_offset_to_partition("system", "/data/chunk", 4 * kEs), 0) << row.bad;
        EXPECT_TRUE(raw() == want) << row.bad;
        EXPECT_EQ(nand_check_partition_with_file_from_offset("system", "/data/chunk", 4 * kEs), 0) << row.bad;
        ASSERT_EQ(nand_read_partition_from_offset_to_file("system", kEs, -4 * static_cast<int32_t>(kEs)), 0);
        EXPECT_TRUE(root.read(TMP_FILE_PT) == chunk.substr(0, kEs)) << "a negative offset counts by its magnitude";
    }
    EXPECT_EQ(nand_write_file_from_offset_to_partition("system", "/data/chunk", 4 * kEs + 4096), -1);
    EXPECT_TRUE(contains_like("is not the start of an erase block", root.read("/data/upgrade/install/log")));
}

}  // namespace
