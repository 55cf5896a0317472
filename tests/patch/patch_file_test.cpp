// The patcher against hand-made patches with exact control triples. (Patches
// made by bsdiff itself run in every end-to-end test.)
#include <gtest/gtest.h>

#include "patch/patch_writer.h"

// An independent differ in miniature: for a random plan of triples (runs of
// zero-progress triples, moves before the start and past the end of old) it
// derives the diff bytes from the wanted image, which the patcher must rebuild.
// The last plans are scaled up: their runs span the windows of an output that
// is written as it is made.
TEST(PatchFile, RandomTriplePlansRebuildTheWantedImage) {
    TestRoot r;
    for (uint64_t seed = 1; seed <= 42; ++seed) {
        const int64_t k = seed <= 40 ? 1 : 30011;
        Rng g(seed);
        const std::string old_image = noise((1 + g.below(200)) * k, seed);
        const std::string want = noise(k == 1 ? g.below(300) : (7 << 19) + g.below(300), ~seed);
        const int64_t old_size = std::ssize(old_image), new_size = std::ssize(want);
        auto old_at = [&](int64_t pos) { return pos >= 0 && pos < old_size ? old_image[pos] : '\0'; };
        Ctrl plan;
        std::string diff, extra;
        for (int64_t new_pos = 0, old_pos = 0; new_pos < new_size;) {
            const int64_t x = std::min<int64_t>(g.below(40) * k, new_size - new_pos);
            const int64_t y = std::min<int64_t>(g.below(3) ? 0 : g.below(20) * k, new_size - new_pos - x);
            const int64_t z = (int64_t{g.below(60)} - 30) * k - (g.below(4) ? 0 : old_size);
            for (int64_t i = 0; i < x; ++i) diff += static_cast<char>(want[new_pos + i] - old_at(old_pos + i));
            extra.append(want, new_pos + x, y);
            plan.insert(plan.end(), {x, y, z});
            new_pos += x + y;
            old_pos += x + z;
        }
        EXPECT_EQ(patched(r, old_image, make_patch(plan, diff, extra, new_size)), want) << "seed " << seed;
    }
}

// Moves by the largest amounts a triple can make, far beyond either end of old
// and back: only the stretches that land inside it pick up old bytes.
TEST(PatchFile, FarMovesPickUpNothingOutsideTheOldImage) {
    TestRoot r;
    const Ctrl ctrl = {0, 0, INT32_MAX, 2, 0, INT32_MIN, 2, 0, INT32_MIN, 2, 0, INT32_MAX - 2, 3, 0, 0};
    EXPECT_EQ(patched(r, "\1\2\3\4", make_patch(ctrl, std::string(9, '@'), "", 9)), "@@BC@@CD@");
}

// Around the 1 KiB write piece, and past the size from which images are
// allocated in huge pages; that one's extra stream spans several bzip2 blocks.
TEST(PatchFile, ImageSizes) {
    TestRoot r;
    for (int64_t size : {0, 1, 1023, 1024, 1025, 2049, (9 << 20) + 1}) {
        const std::string want = noise(static_cast<size_t>(size), size);
        EXPECT_TRUE(patched(r, "old", make_patch(size ? Ctrl{0, size, 0} : Ctrl{}, "", want, size)) == want) << size;
    }
}

TEST(PatchFile, OldAndNewMayBeTheSameFileButNeedExistingPaths) {
    TestRoot r;
    r.write("/tmp/img", "hello, world");
    r.write("/tmp/patch", make_patch({5, 4, 0}, std::string(5, 0), "!!!!", 9));
    EXPECT_GE(patch_file("/tmp/img", "/tmp/img", "/tmp/patch"), 0);
    EXPECT_EQ(r.read("/tmp/img"), "hello!!!!");
    EXPECT_EQ(patch_file("/tmp/img", "/tmp/img", "/tmp/nopatch"), -1);
    // Under another name too: the image is built whole before the file changes.
    r.write("/tmp/patch", make_patch({9, 0, 0}, std::string(10, 1), "", 9));
    EXPECT_EQ(patch_file("/tmp/img", "/tmp/./img", "/tmp/patch"), -1);
    EXPECT_EQ(r.read("/tmp/img"), "hello!!!!");
    EXPECT_EQ(patch_file("/tmp/noold", "/tmp/new", "/tmp/patch"), -1);
    EXPECT_EQ(patch_file("/tmp/img", "/tmp/nodir/new", "/tmp/patch"), -1);
    EXPECT_FALSE(r.exists("/tmp/nodir")) << "the output directory is not created";
    // An old image that is the head of its file, as in a partition.
    r.write("/tmp/patch", make_patch({9, 0, 0}, std::string(9, 0), "", 9));
    char md5[MD5_TEXT_SIZE];
    EXPECT_GE(patch_file_md5("/tmp/img", "/tmp/new", "/tmp/patch", md5, 5), 0);
    EXPECT_EQ(r.read("/tmp/new"), std::string("hello\0\0\0\0", 9));
    EXPECT_EQ(patch_file_md5("/tmp/img", "/tmp/new", "/tmp/patch", md5, 10), -1) << "a file shorter than that";
    // A block of a partition: its bytes from an offset, on a page and off it.
    const std::string disk = std::string(4096, 'x') + "block!!" + std::string(100, 'y');
    r.write("/tmp/disk", disk);
    for (int64_t at : {4096, 4098}) {
        EXPECT_GE(patch_file_md5("/tmp/disk", "/tmp/new", "/tmp/patch", md5, 5, at), 0) << at;
        EXPECT_EQ(r.read("/tmp/new"), disk.substr(static_cast<size_t>(at), 5) + std::string(4, '\0')) << at;
    }
    EXPECT_EQ(patch_file_md5("/tmp/disk", "/tmp/new", "/tmp/patch", md5, 5, 4200), -1) << "past its end";
}
