#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "core/md5.h"
#include "support/test_root.h"

namespace {

// Byte i is (31 i + 7) mod 256.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + 7);
    return s;
}

// Digest text of data fed to the engine in pieces cut at the given offsets.
std::string digest_of(const std::string& data, std::initializer_list<size_t> cuts = {}) {
    md5_context ctx;
    md5_init(&ctx);
    size_t at = 0;
    for (size_t cut : cuts) md5_update(&ctx, data.data() + at, cut - at), at = cut;
    md5_update(&ctx, data.data() + at, data.size() - at);
    md5_final(&ctx);
    char text[MD5_TEXT_SIZE];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", ctx.buf[i]);
    return text;
}

// From RFC 1321, then lengths on both sides of the padding cases and of a
// block.
const std::pair<std::string, const char*> kKnown[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {pattern(55), "c9e512626618c9980ef21a96597af94c"},  {pattern(56), "ecde7caa08e9f5657c863df107cac60a"},
    {pattern(63), "2f0301069e1c40af7f6c8f843b1b13f2"},  {pattern(64), "b6bf87c24b1bc334e2541387a92b981b"},
    {pattern(65), "f168246f08b6134d66bd2a10343fa9f1"},  {pattern(10000), "7aa168c7ccb71034c84662c1f56456e1"},
    {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
};

TEST(Md5, KnownDigests) {
    for (const auto& [data, digest] : kKnown) EXPECT_EQ(digest_of(data), digest) << data.size() << " bytes";
}

// Any two cuts, empty pieces and odd addresses included, give the one-shot
// digest. 186 bytes leave 58 in the last block: a final piece in the second
// padding case, copied over a buffer that held a whole earlier block.
TEST(Md5, IncrementalUpdatesEqualOneShot) {
    const std::string data = pattern(186), want = digest_of(data);
    for (size_t i = 0; i <= data.size(); i += 3)
        for (size_t j = i; j <= data.size(); j += 5) ASSERT_EQ(digest_of(data, {i, j}), want) << i << ", " << j;
}

// Reads are 4096 bytes, through a 32 KiB stream buffer. The file is then
// made sparse past 2 GiB: a size narrowed to 32 bits would be negative and
// digest nothing.
TEST(Md5, FileDigestsStopAtTheLengthOrTheEnd) {
    TestRoot root;
    const std::string data = pattern(100000);
    root.write("/data/f", data);
    char out[MD5_TEXT_SIZE];
    ASSERT_TRUE(get_md5sum("/data/f", out) == 0 && out == digest_of(data));
    // Two prefixes in one read: either may end first, inside a read or on
    // its edge, or beyond the file.
    const int32_t lens[] = {1, 55, 64, 4095, 4096, 4097, 32768, 99999, 200000};
    for (int32_t a : lens)
        for (int32_t b : {1, 4096, 4097, 70001, 200000}) {
            char other[MD5_TEXT_SIZE];
            ASSERT_EQ(get_md5sum2_pair("/data/f", out, a, other, b), 0);
            ASSERT_TRUE(out == digest_of(data.substr(0, a)) && other == digest_of(data.substr(0, b))) << a << ", " << b;
        }
    ASSERT_EQ(::truncate(root.host("/data/f").c_str(), (1ll << 31) + 100), 0);
    ASSERT_TRUE(get_md5sum2("/data/f", out, 10000) == 0 && out == digest_of(pattern(10000)));
}

// A length of 0 or less fails before the file is opened. No failure writes
// the text.
TEST(Md5, FailuresSayWhy) {
    TestRoot root;
    root.mkdirs("/data/dir");  // opens as a stream but cannot be read
    struct { const char* path; std::optional<int32_t> len; const char* message; } cases[] = {
        {"/data/missing", 0, "get_md5sum2 len error, /data/missing\n"},
        {"/data/missing", -5, "get_md5sum2 len error, /data/missing\n"},
        {"/data/missing", {}, "can't open `/data/missing': No such file or directory\n"},
        {"/data/dir", {}, "error reading `/data/dir': Is a directory\n"},
    };
    for (const auto& c : cases) {
        char out[MD5_TEXT_SIZE] = "untouched";
        Capture err{STDERR_FILENO};
        EXPECT_EQ(c.len ? get_md5sum2(c.path, out, *c.len) : get_md5sum(c.path, out), -1);
        EXPECT_TRUE(err.finish() == c.message && out == std::string("untouched")) << c.message;
    }
}

TEST(Md5, EqualNeedsExactly32EqualBytes) {
    const std::string d = "900150983cd24fb0d6963f7d28e17f72", odd = " " + d.substr(1);  // any 32 bytes will do
    const struct { std::string a, b; int32_t equal; } cases[] = {
        {d, d, 1},        {odd, odd, 1},    {d, "900150983CD24FB0D6963F7D28E17F72", 0}, {d, d.substr(0, 31) + "3", 0},
        {d, d + " ", 0},  {d + " ", d, 0},  {d.substr(1), d.substr(1), 0},           {"", "", 0}};
    for (const auto& [a, b, equal] : cases) EXPECT_EQ(md5_equal(a.c_str(), b.c_str()), equal) << a << " | " << b;
}

}  // namespace
