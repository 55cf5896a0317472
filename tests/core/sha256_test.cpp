#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "core/sha256.h"
#include "support/test_root.h"

namespace {

std::string pattern(size_t n) {  // byte i is (31 i + 7) mod 256
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + 7);
    return s;
}

// Digest text of data fed to the engine in pieces cut at the given offsets.
std::string digest_of(const std::string& data, std::initializer_list<size_t> cuts = {}) {
    sha256_context ctx;
    sha256_init(&ctx);
    size_t at = 0;
    for (size_t cut : cuts) sha256_update(&ctx, data.data() + at, cut - at), at = cut;
    sha256_update(&ctx, data.data() + at, data.size() - at);
    unsigned char digest[SHA256_SIZE];
    sha256_final(&ctx, digest);
    char text[SHA256_TEXT_SIZE];
    for (int i = 0; i < SHA256_SIZE; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

// Runs body on the portable engine, then on the best one; failures say which.
template <typename Body>
void on_both_engines(Body body) {
    for (bool portable : {true, false}) {
        const bool instructions = sha256_force_portable(portable);
        SCOPED_TRACE(instructions ? "processor's SHA instructions" : "portable engine");
        body();
    }
    sha256_force_portable(false);
}

// The FIPS 180-4 examples, then lengths on both sides of the padding cases
// (one or two final blocks) and of a block.
const std::pair<std::string, const char*> kKnown[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {pattern(55), "8aa994584139d128848eeebc4e815639ba5ab6e6e39574195a63ac4f14f7c43b"},
    {pattern(56), "ad574708f75c044c9b85de64cb568ee7711ff4f36448c6242f053ba8f6cc2b63"},
    {pattern(63), "280ed3e8ff1df845b2e7dfe6ac6cee817bef20e783cc65abc41b818b4d2fe076"},
    {pattern(64), "c6ab9724ade5b6a7a1edfffb12f3aa9181351355af8fd08c919952ad211339dd"},
    {pattern(65), "788367c73c7ddf4c53f65e68cc0d943e6227ab55b0e78ba63ace822b1c6301c0"},
    {pattern(120), "1f80156a804cb7862ad113e8200e9d74499723e7c7854d5f48776d3148e09656"},
};

TEST(Sha256, KnownDigestsOnBothEngines) {
    on_both_engines([] {
        for (const auto& [data, digest] : kKnown) EXPECT_EQ(digest_of(data), digest) << data.size() << " bytes";
    });
}

// Any two cuts, empty pieces and odd addresses included, give the one-shot
// digest. 250 bytes end 58 into the fourth block: two final blocks, after
// pieces that fill, straddle and skip the buffer.
TEST(Sha256, IncrementalUpdatesEqualOneShotOnBothEngines) {
    const std::string data = pattern(250), want = digest_of(data);
    on_both_engines([&] {
        for (size_t i = 0; i <= data.size(); i += 3)
            for (size_t j = i; j <= data.size(); j += 7) ASSERT_EQ(digest_of(data, {i, j}), want) << i << ", " << j;
    });
}

// Reads are 128 KiB: the file spans several, the last one short.
TEST(Sha256, FileDigestAndSize) {
    TestRoot root;
    const std::string data = pattern(300003);
    root.write("/data/f", data);
    root.mkdirs("/data/dir");  // opens as a stream but cannot be read
    char out[SHA256_TEXT_SIZE];
    int64_t size = -1;
    ASSERT_EQ(get_sha256sum("/data/f", out, &size), 0);
    EXPECT_TRUE(out == digest_of(data) && size == 300003) << out << ", " << size;
    for (const auto& [path, message] :
         {std::pair{"/data/missing", "can't open `/data/missing': No such file or directory\n"},
          std::pair{"/data/dir", "error reading `/data/dir': Is a directory\n"}}) {
        char text[SHA256_TEXT_SIZE] = "untouched";
        Capture err{STDERR_FILENO};
        EXPECT_EQ(get_sha256sum(path, text, &size), -1);
        EXPECT_TRUE(err.finish() == message && text == std::string("untouched") && size == 300003) << message;
    }
}

}  // namespace
