#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/md5.h"
#include "support/test_root.h"

namespace {

std::string text_of(const md5_context& ctx) {
    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", ctx.buf[i]);
    return text;
}

// Digest text of bytes held in memory, through the engine alone.
std::string digest_of(const std::string& data) {
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data.data(), data.size());
    md5_final(&ctx);
    return text_of(ctx);
}

// The test pattern behind the digests below: byte i is (31 i + 7) mod 256.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + 7) & 0xff);
    return s;
}

// Digests of pattern(n) as computed by coreutils md5sum.
struct Known {
    size_t size;
    const char* digest;
};
constexpr Known kPattern[] = {
    {55, "c9e512626618c9980ef21a96597af94c"},    {56, "ecde7caa08e9f5657c863df107cac60a"},
    {63, "2f0301069e1c40af7f6c8f843b1b13f2"},    {64, "b6bf87c24b1bc334e2541387a92b981b"},
    {65, "f168246f08b6134d66bd2a10343fa9f1"},    {100, "d2fc8ccfe9948facc7c6d47098357135"},
    {4095, "374a73c9e9e475a75a620dd3b0819034"},  {4096, "88c3b31b216d705c77b752990f1b55f5"},
    {4097, "90af61113bbfa322fccc11b4c75f4808"},  {10000, "7aa168c7ccb71034c84662c1f56456e1"},
};

struct Rfc {
    const char* input;
    const char* digest;
};
constexpr Rfc kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5Engine, Rfc1321Suite) {
    for (const Rfc& v : kRfc1321) EXPECT_EQ(digest_of(v.input), v.digest) << '"' << v.input << '"';
}

TEST(Md5Engine, BothPaddingCasesAndBlockBoundaries) {
    for (const Known& k : kPattern) EXPECT_EQ(digest_of(pattern(k.size)), k.digest) << k.size << " bytes";
    EXPECT_EQ(digest_of(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5Engine, FinalLeavesTheDigestBytesAtTheStartOfTheBuffer) {
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, "abc", 3);
    md5_final(&ctx);
    const unsigned char want[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                    0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(std::memcmp(ctx.buf, want, 16), 0);
}

// Every way of cutting the input, at odd points and with empty pieces in
// between, gives the one-shot digest; the pieces also start at odd addresses.
TEST(Md5Engine, IncrementalUpdatesEqualOneShot) {
    const std::string data = pattern(10000);
    const std::string whole = "7aa168c7ccb71034c84662c1f56456e1";
    const std::vector<std::vector<size_t>> cuts = {
        {1},  {3, 61}, {63, 1, 0, 1}, {64}, {65, 127}, {7, 0, 0, 4089}, {4095, 2}, {55, 9, 56, 8}, {999},
    };
    for (const auto& sizes : cuts) {
        md5_context ctx;
        md5_init(&ctx);
        size_t at = 0;
        for (size_t k = 0; at < data.size(); ++k) {
            size_t take = std::min(sizes[k % sizes.size()], data.size() - at);
            md5_update(&ctx, data.data() + at, take);
            at += take;
        }
        md5_update(&ctx, data.data(), 0);
        md5_final(&ctx);
        EXPECT_EQ(text_of(ctx), whole) << "first piece " << sizes[0];
    }
    // Two cuts anywhere in a short message that crosses one block boundary.
    const std::string small = pattern(130);
    const std::string want = digest_of(small);
    for (size_t i = 0; i <= small.size(); i += 3) {
        for (size_t j = i; j <= small.size(); j += 5) {
            md5_context ctx;
            md5_init(&ctx);
            md5_update(&ctx, small.data(), i);
            md5_update(&ctx, small.data() + i, j - i);
            md5_update(&ctx, small.data() + j, small.size() - j);
            md5_final(&ctx);
            ASSERT_EQ(text_of(ctx), want) << "cuts at " << i << " and " << j;
        }
    }
}

// ------------------------------------------------------------ file operations

class Md5File : public ::testing::Test {
protected:
    void SetUp() override { std::memset(out, 0, sizeof out); }
    // A digest text buffer filled with a mark, to show it was not written.
    void mark() {
        std::memset(out, 'Z', sizeof out - 1);
        out[32] = '\0';
    }
    bool marked() const { return std::string(out) == std::string(32, 'Z'); }

    TestRoot root;
    char out[33];
};

TEST_F(Md5File, WholeFilesGiveTheirDigests) {
    for (const Rfc& v : kRfc1321) {
        root.write("/tmp/rfc", v.input);
        ASSERT_EQ(get_md5sum("/tmp/rfc", out), 0);
        EXPECT_STREQ(out, v.digest) << '"' << v.input << '"';
    }
    for (const Known& k : kPattern) {
        root.write("/data/p", pattern(k.size));
        ASSERT_EQ(get_md5sum("/data/p", out), 0);
        EXPECT_STREQ(out, k.digest) << k.size << " bytes";
    }
    root.write("/data/big", std::string(1000000, 'a'));
    ASSERT_EQ(get_md5sum("/data/big", out), 0);
    EXPECT_STREQ(out, "7707d6ae4e027c70eea2a935c2296f21");
}

TEST_F(Md5File, PrefixDigests) {
    root.write("/tmp/f100", pattern(100));
    ASSERT_EQ(get_md5sum2("/tmp/f100", out, 1000), 0);
    EXPECT_STREQ(out, "d2fc8ccfe9948facc7c6d47098357135");
    ASSERT_EQ(get_md5sum2("/tmp/f100", out, 100), 0);
    EXPECT_STREQ(out, "d2fc8ccfe9948facc7c6d47098357135");
    ASSERT_EQ(get_md5sum2("/tmp/f100", out, 64), 0);
    EXPECT_STREQ(out, "b6bf87c24b1bc334e2541387a92b981b");
    ASSERT_EQ(get_md5sum2("/tmp/f100", out, 55), 0);
    EXPECT_STREQ(out, "c9e512626618c9980ef21a96597af94c");

    // Prefixes that end inside the second and third 4096-byte read.
    root.write("/tmp/f10000", pattern(10000));
    ASSERT_EQ(get_md5sum2("/tmp/f10000", out, 4097), 0);
    EXPECT_STREQ(out, "90af61113bbfa322fccc11b4c75f4808");
    ASSERT_EQ(get_md5sum2("/tmp/f10000", out, 4096), 0);
    EXPECT_STREQ(out, "88c3b31b216d705c77b752990f1b55f5");
    ASSERT_EQ(get_md5sum2("/tmp/f10000", out, 9999), 0);
    EXPECT_EQ(std::string(out), digest_of(pattern(9999)));

    root.write("/tmp/empty", "");
    ASSERT_EQ(get_md5sum2("/tmp/empty", out, 5), 0);
    EXPECT_STREQ(out, "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(Md5File, NonPositiveLengthFailsBeforeOpening) {
    for (int32_t len : {0, -5}) {
        mark();
        CaptureStderr err;
        EXPECT_EQ(get_md5sum2("/tmp/missing", out, len), -1);
        EXPECT_EQ(err.finish(), "get_md5sum2 len error, /tmp/missing\n");
        EXPECT_TRUE(marked());
    }
    root.write("/tmp/there", "data");
    CaptureStderr err;
    EXPECT_EQ(get_md5sum2("/tmp/there", out, 0), -1);
    EXPECT_EQ(err.finish(), "get_md5sum2 len error, /tmp/there\n");
}

TEST_F(Md5File, UnopenableFileLeavesTheTextUntouched) {
    mark();
    {
        CaptureStderr err;
        EXPECT_EQ(get_md5sum("/tmp/nope", out), -1);
        EXPECT_EQ(err.finish(), "can't open `/tmp/nope': No such file or directory\n");
    }
    EXPECT_TRUE(marked());
    {
        CaptureStderr err;
        EXPECT_EQ(get_md5sum2("/data/nope", out, 10), -1);
        EXPECT_EQ(err.finish(), "can't open `/data/nope': No such file or directory\n");
    }
    EXPECT_TRUE(marked());
}

TEST_F(Md5File, ReadErrorIsReportedAndLeavesTheTextUntouched) {
    // A directory opens as a stream but cannot be read.
    root.mkdirs("/data/dir");
    mark();
    CaptureStderr err;
    EXPECT_EQ(get_md5sum("/data/dir", out), -1);
    EXPECT_EQ(err.finish(), "error reading `/data/dir': Is a directory\n");
    EXPECT_TRUE(marked());
}

TEST_F(Md5File, PrefixOfAFileOfTwoGibibytesOrMore) {
    // Sparse: no disk space is used. A size narrowed to 32 bits would be
    // negative here and digest nothing.
    root.write("/data/huge", "");
    ASSERT_EQ(::truncate(root.host("/data/huge").c_str(), (1ll << 31) + 100), 0);
    ASSERT_EQ(get_md5sum2("/data/huge", out, 64), 0);
    EXPECT_EQ(std::string(out), digest_of(std::string(64, '\0')));
}

TEST(Md5Equal, LengthAndCaseRules) {
    const char* d = "900150983cd24fb0d6963f7d28e17f72";
    EXPECT_EQ(md5_equal(d, "900150983cd24fb0d6963f7d28e17f72"), 1);
    EXPECT_EQ(md5_equal(d, "900150983CD24FB0D6963F7D28E17F72"), 0);
    EXPECT_EQ(md5_equal(d, "900150983cd24fb0d6963f7d28e17f73"), 0);
    EXPECT_EQ(md5_equal("900150983cd24fb0d6963f7d28e17f7", "900150983cd24fb0d6963f7d28e17f7"), 0);
    EXPECT_EQ(md5_equal("900150983cd24fb0d6963f7d28e17f722", "900150983cd24fb0d6963f7d28e17f722"), 0);
    EXPECT_EQ(md5_equal(d, "900150983cd24fb0d6963f7d28e17f72 "), 0);
    EXPECT_EQ(md5_equal(" 900150983cd24fb0d6963f7d28e17f7", " 900150983cd24fb0d6963f7d28e17f7"), 1)
        << "any 32 equal bytes compare equal";
    EXPECT_EQ(md5_equal("", ""), 0);
}

}  // namespace
