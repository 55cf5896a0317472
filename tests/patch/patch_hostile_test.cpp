// Malformed and hostile patches: every one must be refused with -1, with no
// crash and no change to a file patched in place.
#include <gtest/gtest.h>

#include "patch/patch_writer.h"

#if defined(__SANITIZE_ADDRESS__)
// An impossible image size has to reach the patcher as a failed allocation,
// as it does without the sanitizer, rather than abort the test run.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

TEST(PatchHostile, RefusedWithTheirDiagnostic) {
    TestRoot r;
    const std::string c = bz2(offsets({3, 0, 0})), d = bz2("\1\1\1"), e = bz2(""), cde = c + d + e, z4(4, 0);
    const int64_t cn = std::ssize(c), dn = std::ssize(d), en = std::ssize(e);
    ASSERT_EQ(patched(r, "old", assemble(cn, dn, 3, cde)), "pme") << "the base of the header cases";
    const std::pair<std::string, std::string> cases[] = {
        {assemble(cn, dn, 3, cde).substr(0, 31), "Corrupt patch\n"},
        {"BSDIFF41" + assemble(cn, dn, 3, cde).substr(8), "check magic error, BSDIFF41"},
        {assemble(-1, dn, 3, cde), "bzctrllen bzdatalen newsize error!"},
        {assemble(cn, -1, 3, cde), "bzctrllen bzdatalen newsize error!"},
        {assemble(cn, dn, -1, cde), "bzctrllen bzdatalen newsize error!"},
        {assemble(INT64_MAX, 0, 3, cde), "overrun"},
        {assemble(INT64_C(1) << 62, INT64_C(1) << 62, 3, cde), "overrun"},  // the sum is no offset
        {assemble(cn, dn + en + 1, 3, cde), "overrun"},
        {assemble(cn, dn, 3, c + d), "epfbz2 stream does not end"},  // exactly to the end passes the header
        {make_patch({3, 0, 0}, "abc", "", 6), "cpfbz2 BZ2_bzRead error! readlen=0"},
        {make_patch({4, 0, 0}, z4, "", 3), "newpos + ctrl[0] error!"},
        {make_patch({2, 2, 0}, "ab", "cd", 3), "newpos + ctrl[1] error!"},
        {make_patch({3, 0, 0}, "ab", "", 3), "dpfbz2 BZ2_bzRead error!"},
        {make_patch({0, 3, 0}, "", "ab", 3), "epfbz2 BZ2_bzRead error!"},
        {make_patch({3, 0, 0, 0, 0, 0}, "abc", "", 3), "cpfbz2 stream does not end"},
        {make_patch({3, 0, 0}, "abcd", "", 3), "dpfbz2 stream does not end"},
        {make_patch({0, 3, 0}, "", "abcd", 3), "epfbz2 stream does not end"},
        {make_patch({INT64_C(1) << 31, 0, 0}, z4, "", 4), "ctrl[0] = 2147483648 is out of"},
        {make_patch({1, 0, INT32_MIN - INT64_C(1), 3, 0, 0}, z4, "", 4), "ctrl[2] = -2147483649 is out of"},
        {make_patch({-1, 0, 0}, z4, "", 4), "ctrl[0] = -1 is negative"},
        {make_patch({0, -1, 0}, "", "abcd", 4), "ctrl[1] = -1 is negative"},
    };
    for (const auto& [patch, diag] : cases) {
        const std::string got = patched(r, "old", patch);
        EXPECT_TRUE(got.starts_with("refused: ") && got.find(diag) != std::string::npos) << diag << "\ngot: " << got;
    }
    // Only an image built whole needs memory of its size.
    r.write("/tmp/patch", assemble(cn, dn, INT64_MAX, cde));
    Capture cap{STDOUT_FILENO};
    EXPECT_EQ(patch_file("/tmp/old", "/tmp/old", "/tmp/patch"), -1);
    EXPECT_NE(cap.finish().find("new image allocation"), std::string::npos);
    EXPECT_EQ(patched(r, "", assemble(cn, dn, 3, cde)), "refused: oldsize error!\n") << "though no old byte is needed";
}

// Cut anywhere, or with any single bit flipped, a patch is refused or (a bit
// of bzip2 padding) harmless: bzip2's checksums are all verified before
// anything is written. One bit per byte, rotating; none in the high bytes of
// the new size, which would only claim gigabytes.
TEST(PatchHostile, CutOrFlippedPatchesAreRefused) {
    TestRoot r;
    const std::string old_image = "0123456789", want = "0123456789 and more";
    const std::string patch = make_patch({10, 9, 0}, std::string(10, 0), " and more", 19);
    ASSERT_EQ(patched(r, old_image, patch), want);
    for (size_t n = 0; n < patch.size(); ++n)
        EXPECT_TRUE(patched(r, old_image, patch.substr(0, n)).starts_with("refused: ")) << "cut at " << n;
    int refused = 0;
    for (size_t i = 0; i < patch.size(); ++i) {
        if (i >= 27 && i <= 30) continue;
        std::string p = patch;
        p[i] = static_cast<char>(p[i] ^ (1 << (i % 8)));
        const std::string got = patched(r, old_image, p);
        refused += got.starts_with("refused: ");
        EXPECT_TRUE(got == want || got.starts_with("refused: ")) << "byte " << i << ": " << got;
    }
    EXPECT_GT(refused, std::ssize(patch) * 9 / 10);
}
