// The patcher against hand-made patches with exact control triples.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "patch/patch_file.h"
#include "patch/patch_writer.h"
#include "support/test_root.h"

using namespace patchtest;

namespace {

std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(static_cast<char>(b));
    return s;
}

// Applies the patch to old and returns the new file; the call must succeed.
std::string apply(const TestRoot& r, const std::string& old_image, const std::string& patch) {
    r.write("/tmp/old", old_image);
    r.write("/tmp/patch", patch);
    std::string out;
    EXPECT_GE(run_patch(&out), 0) << out;
    EXPECT_TRUE(r.exists("/tmp/new"));
    return r.read("/tmp/new");
}

}  // namespace

TEST(PatchFile, TriplesCombineDiffExtraAndOldMoves) {
    TestRoot r;
    // old:            A B C D E F G H I J
    // 1: x=4 over old[0..3] each +1, y=3 extra, z=+2  -> old position 6
    // 2: x=2 over old[6..7] unchanged, z=-8            -> old position 0
    // 3: x=y=0, z=+5: no output, only a move           -> old position 5
    // 4: x=3 over old[5..7], y=1 extra
    std::string patch = make_patch({{4, 3, 2}, {2, 0, -8}, {0, 0, 5}, {3, 1, 0}},
                                   bytes({1, 1, 1, 1, 0, 0, 0, 0, 0}), "xyz!", 13);
    EXPECT_EQ(apply(r, "ABCDEFGHIJ", patch), "BCDExyzGHFGH!");
}

TEST(PatchFile, OldPositionsOutsideTheOldImageContributeNothing) {
    TestRoot r;
    const std::string old_image = bytes({1, 2, 3, 4});
    // From -3, ten diff bytes straddle both ends of the four old bytes.
    {
        std::string patch = make_patch({{0, 0, -3}, {10, 0, 0}}, std::string(10, 0x10), "", 10);
        EXPECT_EQ(apply(r, old_image, patch),
                  bytes({0x10, 0x10, 0x10, 0x11, 0x12, 0x13, 0x14, 0x10, 0x10, 0x10}));
    }
    // Far beyond either end, by the largest moves a triple can make, and
    // back: only the final in-range stretch picks up old bytes.
    {
        std::string patch = make_patch(
            {{0, 0, INT32_MAX}, {2, 0, INT32_MIN}, {2, 0, INT32_MIN}, {2, 0, INT32_MAX - 2}, {3, 0, 0}},
            std::string(9, 0x40), "", 9);
        // Old positions of the stretches: 2^31 - 1 (nothing), 1 (old[1],
        // old[2]), 3 - 2^31 (nothing), 2 (old[2], old[3], then past the end).
        EXPECT_EQ(apply(r, old_image, patch), bytes({0x40, 0x40, 0x42, 0x43, 0x40, 0x40, 0x43, 0x44, 0x40}));
    }
}

// An independent differ in miniature: for a random plan of triples (long
// runs of zero-progress triples, moves before the start and past the end of
// old), it derives the diff bytes from the wanted new image. The patcher must
// then rebuild exactly that image.
TEST(PatchFile, RandomTriplePlansRebuildTheWantedImage) {
    TestRoot r;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::string rnd = noise(4096, seed);
        size_t k = 0;
        auto next = [&](int mod) { return static_cast<int>(static_cast<uint8_t>(rnd[k++ % rnd.size()])) % mod; };

        const std::string old_image = noise(1 + next(200), seed + 1000);
        const int64_t old_size = static_cast<int64_t>(old_image.size());
        const std::string want = noise(next(300), seed + 2000);
        const int64_t new_size = static_cast<int64_t>(want.size());

        std::vector<Triple> plan;
        std::string diff, extra;
        int64_t new_pos = 0, old_pos = 0;
        while (new_pos < new_size) {
            int64_t x = std::min<int64_t>(next(40), new_size - new_pos);
            int64_t y = std::min<int64_t>(next(3) == 0 ? next(20) : 0, new_size - new_pos - x);
            int64_t z = next(60) - 30 - (next(4) == 0 ? old_size : 0);
            for (int64_t i = 0; i < x; ++i) {
                int64_t p = old_pos + i;
                uint8_t base = (p >= 0 && p < old_size) ? static_cast<uint8_t>(old_image[p]) : 0;
                diff.push_back(static_cast<char>(static_cast<uint8_t>(want[new_pos + i]) - base));
            }
            extra.append(want, new_pos + x, y);
            plan.push_back({x, y, z});
            new_pos += x + y;
            old_pos += x + z;
        }
        EXPECT_EQ(apply(r, old_image, make_patch(plan, diff, extra, new_size)), want);
    }
}

TEST(PatchFile, ImageSizesAroundTheWriteItem) {
    TestRoot r;
    const std::string old_image = noise(3000, 7);
    for (int64_t size : {1, 1023, 1024, 1025, 2047, 2048, 2049, 3000}) {
        SCOPED_TRACE("size " + std::to_string(size));
        // Half from the diff stream over old, half from the extra stream.
        int64_t x = size / 2, y = size - x;
        std::string want = noise(static_cast<size_t>(size), 100 + size);
        std::string diff;
        for (int64_t i = 0; i < x; ++i)
            diff.push_back(static_cast<char>(static_cast<uint8_t>(want[i]) - static_cast<uint8_t>(old_image[i])));
        r.write("/tmp/new", std::string(5000, 'z'));  // longer than any result: must be truncated
        EXPECT_EQ(apply(r, old_image, make_patch({{x, y, 0}}, diff, want.substr(x), size)), want);
    }
}

TEST(PatchFile, EmptyNewImageCreatesAnEmptyFile) {
    TestRoot r;
    std::string patch = make_patch(std::vector<Triple>{}, "", "", 0);
    EXPECT_EQ(apply(r, "old", patch), "");
    r.write("/tmp/new", kSentinel);
    EXPECT_EQ(apply(r, "old", patch), "");
}

TEST(PatchFile, OldAndNewMayBeTheSameFile) {
    TestRoot r;
    r.write("/tmp/img", "hello, world");
    r.write("/tmp/patch", make_patch({{5, 4, 0}}, std::string(5, 0), "!!!!", 9));
    std::string out;
    EXPECT_GE(run_patch(&out, "/tmp/img", "/tmp/img", "/tmp/patch"), 0) << out;
    EXPECT_EQ(r.read("/tmp/img"), "hello!!!!");
}

TEST(PatchFile, ControlStreamEndingEarlyLeavesTheOutputUntouched) {
    TestRoot r;
    // Ends on a triple boundary: the next read gets nothing.
    expect_refused(r, make_patch({{4, 0, 0}}, std::string(4, 0), "", 8), "cpfbz2 BZ2_bzRead error! readlen=0");
    // Ends five bytes into a value.
    std::string ctrl = control({{4, 0, 0}}) + encode_offset(4).substr(0, 5);
    expect_refused(r, make_patch_raw(ctrl, std::string(8, 0), "", 8), "cpfbz2 BZ2_bzRead error! readlen=5 cbz2err=4");
    // No control at all.
    expect_refused(r, make_patch(std::vector<Triple>{}, "", "", 1), "cpfbz2 BZ2_bzRead error! readlen=0");
}

TEST(PatchFile, TriplesRunningPastTheNewSizeAreRefused) {
    TestRoot r;
    expect_refused(r, make_patch({{5, 0, 0}}, std::string(5, 0), "", 4), "newpos + ctrl[0] error!");
    expect_refused(r, make_patch({{2, 3, 0}}, std::string(2, 0), "abc", 4), "newpos + ctrl[1] error!");
    // The second triple overshoots after the first filled part of the image.
    expect_refused(r, make_patch({{2, 1, 0}, {0, 2, 0}}, std::string(2, 0), "abc", 4), "newpos + ctrl[1] error!");
}

TEST(PatchFile, ShortDiffOrExtraStreamIsRefused) {
    TestRoot r;
    expect_refused(r, make_patch({{6, 0, 0}}, std::string(5, 0), "", 6), "dpfbz2 BZ2_bzRead error!");
    expect_refused(r, make_patch({{0, 6, 0}}, "", "12345", 6), "epfbz2 BZ2_bzRead error!");
    // Enough bytes in total, but the stream was already used up by an earlier triple.
    expect_refused(r, make_patch({{0, 3, 0}, {0, 3, 0}}, "", "1234", 6), "epfbz2 BZ2_bzRead error!");
}

TEST(PatchFile, MissingOrEmptyInputsFail) {
    TestRoot r;
    const std::string patch = make_patch({{0, 3, 0}}, "", "abc", 3);
    r.write("/tmp/new", kSentinel);

    r.write("/tmp/old", "old");
    std::string out;
    EXPECT_EQ(run_patch(&out, "/tmp/old", "/tmp/new", "/tmp/nopatch"), -1);
    EXPECT_NE(out.find("fopen(/tmp/nopatch) error!"), std::string::npos) << out;

    r.write("/tmp/patch", patch);
    EXPECT_EQ(run_patch(&out, "/tmp/noold", "/tmp/new", "/tmp/patch"), -1);
    EXPECT_NE(out.find("fp_old open failed, /tmp/noold, No such file or directory"), std::string::npos) << out;

    // The patch needs no old byte, yet an empty old file is refused.
    r.write("/tmp/old", "");
    EXPECT_EQ(run_patch(&out), -1);
    EXPECT_NE(out.find("oldsize error!"), std::string::npos) << out;
    EXPECT_EQ(r.read("/tmp/new"), kSentinel);

    // The output directory must exist; it is not created.
    r.write("/tmp/old", "old");
    EXPECT_EQ(run_patch(&out, "/tmp/old", "/tmp/nodir/new", "/tmp/patch"), -1);
    EXPECT_NE(out.find("fp_new open failed, /tmp/nodir/new"), std::string::npos) << out;
    EXPECT_FALSE(r.exists("/tmp/nodir"));
}
