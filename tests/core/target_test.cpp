// What differs between the machine the tests are built on and the module the
// agent runs on: plain char is signed on x86-64 and unsigned on 64-bit Arm,
// and file sizes and free space cross 32 bits on real partitions. Every case
// runs in both builds (the Arm one under emulation) with the same answers.
#include <gtest/gtest.h>
#include <sys/statfs.h>

#include <optional>
#include <string>

#include "core/file_util.h"
#include "core/log.h"
#include "platform/platform.h"
#include "support/test_root.h"

static_assert(sizeof(off_t) == 8 && sizeof(long) == 8 && sizeof(fsblkcnt_t) == 8,
              "offsets, ftell results and block counts must reach past 4 GiB");

namespace {

using namespace std::string_literals;

// Shell syntax, bytes of both halves and missing parents in one copy; the
// log and its echo keep both names byte for byte. A byte whose meaning
// depended on the sign of char could not hide behind plain ASCII here.
TEST(TargetText, CopyOfAwkwardNames) {
    TestRoot r;
    const std::string src = "/data/src file's $(touch pwned)`\"\\!*\t\n\x01\x7F\xE5\x8D\x87/a\xFF\x80.bin";
    const std::string dst = "/system/new dir/a;b&c|d<e>\xC3\xA9\xAF/it's \x80\xFE.bin", content("\x80\xFF\0\x7F", 4);
    r.write(src, content);
    Capture out{STDOUT_FILENO};
    ASSERT_EQ(copy_file(src.c_str(), dst.c_str()), 0);
    EXPECT_NE(out.finish().find("copy_file: " + src + ", " + dst + "\n"), std::string::npos);
    EXPECT_TRUE(contains_like("copy_file: " + src + ", " + dst + "\n*sync copy file\n", r.read(LOG_FILE)));
    EXPECT_EQ(r.read(dst), content);
    EXPECT_FALSE(r.exists("/pwned"));
}

TEST(TargetText, OnlyAPlainSlashSeparatesDirectories) {
    // 0xAF is '/' with the high bit set.
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"/data/a\xAF" "b\xAF", "/data"}, {"/data\xAF/x", "/data\xAF"}, {"/\xFF\xFF/\xFF", "/\xFF\xFF"},
        {"\xAF" "data", std::nullopt},    {"/data", std::nullopt},      {"data", std::nullopt},
    };
    for (const auto& [path, dir] : cases) EXPECT_EQ(dir_part(path), dir) << path;
}

// Narrowed means the low 32 bits on every target: neither the -1 of a failed
// ftell nor a saturated value. The file is sparse. (Free space past 32 bits
// decides where the package goes in the end-to-end runs; a failed look-up
// gives all ones.)
TEST(TargetSizes, FileSizesAreNarrowedTo32Bits) {
    TestRoot r;
    const std::pair<int64_t, int32_t> sizes[] = {
        {0, 0}, {12345, 12345}, {(1ll << 31) - 1, INT32_MAX}, {1ll << 31, INT32_MIN}, {(1ll << 32) + 7, 7}};
    r.write("/data/f", "");
    for (auto [size, want] : sizes) {
        ASSERT_EQ(plat_truncate("/data/f", size), 0);
        EXPECT_EQ(get_file_size("/data/f"), want) << size;
    }
    EXPECT_EQ(get_file_size("/data/missing"), -1);
    for (const std::string& path : {"/data"s, "/nonexistent/dir/file"s, "/data/" + std::string(300, 'p') + "/f"})
        EXPECT_EQ(get_free_space_for_file(path.c_str()), UINT64_MAX) << path;
}

}  // namespace
