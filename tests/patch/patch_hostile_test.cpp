// Malformed and hostile patches: every one must be refused with -1, with no
// crash and no change to an existing output file.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "patch/patch_file.h"
#include "patch/patch_writer.h"
#include "support/test_root.h"

#if defined(__SANITIZE_ADDRESS__)
// An impossible image size has to reach the patcher as a failed allocation,
// as it does without the sanitizer, rather than abort the test run.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

using namespace patchtest;

namespace {

// A small valid patch of "old image bytes 0123456789" into kWant, used as
// the base of the corruptions.
const std::string kOld = "old image bytes 0123456789";
const std::string kWant = "new image: 0123456789 plus more";

// Diff bytes for the base patch's triples {11, 0, +5}, {10, 10, 0}: new
// bytes 0..10 over old 0..10, new bytes 11..20 over old 16..25.
std::string base_diff() {
    std::string diff;
    for (size_t i = 0; i < 21; ++i) {
        size_t old_pos = i < 11 ? i : i + 5;
        diff.push_back(static_cast<char>(kWant[i] - kOld[old_pos]));
    }
    return diff;
}

std::string good_patch() {
    return make_patch({{11, 0, 5}, {10, 10, 0}}, base_diff(), kWant.substr(21), static_cast<int64_t>(kWant.size()));
}

struct Blocks {
    std::string ctrl, diff, extra;
};

Blocks good_blocks() {
    return {bz2(control({{11, 0, 5}, {10, 10, 0}})), bz2(base_diff()), bz2(kWant.substr(21))};
}

std::string join(const Blocks& b, int64_t new_size) {
    return assemble(static_cast<int64_t>(b.ctrl.size()), static_cast<int64_t>(b.diff.size()), new_size,
                    b.ctrl + b.diff + b.extra);
}

}  // namespace

TEST(PatchHostile, BaseCorruptionPatchIsValid) {
    // Without this the refusals below could be refusals of a broken base.
    TestRoot r;
    r.write("/tmp/old", kOld);
    r.write("/tmp/patch", good_patch());
    std::string out;
    ASSERT_GE(run_patch(&out), 0) << out;
    EXPECT_EQ(r.read("/tmp/new"), kWant);
    r.write("/tmp/patch", join(good_blocks(), static_cast<int64_t>(kWant.size())));
    ASSERT_GE(run_patch(&out), 0) << out;
    EXPECT_EQ(r.read("/tmp/new"), kWant);
}

TEST(PatchHostile, BadHeaders) {
    TestRoot r;
    const std::string patch = good_patch();
    for (size_t n : {0, 1, 8, 31}) expect_refused(r, patch.substr(0, n), "Corrupt patch");
    expect_refused(r, "BSDIFF41" + patch.substr(8), "check magic error, BSDIFF41");
    expect_refused(r, "bsdiff40" + patch.substr(8), "check magic error, bsdiff40");
    // Each field with only its sign bit set in byte 7 decodes to zero, which
    // is acceptable; with a magnitude too it is negative.
    for (int field = 0; field < 3; ++field) {
        std::string p = patch;
        p[8 + 8 * field] = 1;
        p[15 + 8 * field] = static_cast<char>(0x80);
        expect_refused(r, p, "bzctrllen bzdatalen newsize error!");
    }
}

TEST(PatchHostile, BlockLengthsPastTheEndOfThePatch) {
    TestRoot r;
    const Blocks b = good_blocks();
    const int64_t total = static_cast<int64_t>(b.ctrl.size() + b.diff.size() + b.extra.size());
    const std::string all = b.ctrl + b.diff + b.extra;
    const int64_t n = static_cast<int64_t>(kWant.size());
    expect_refused(r, assemble(INT64_MAX, 0, n, all), "overrun");
    expect_refused(r, assemble(0, INT64_MAX, n, all), "overrun");
    // Each alone would fit an offset; their sum does not.
    expect_refused(r, assemble(INT64_C(1) << 62, INT64_C(1) << 62, n, all), "overrun");
    expect_refused(r, assemble(total + 1, 0, n, all), "overrun");
    expect_refused(r, assemble(static_cast<int64_t>(b.ctrl.size()), total - static_cast<int64_t>(b.ctrl.size()) + 1,
                               n, all),
                   "overrun");

    // Exactly to the end passes the header: the refusal comes from the
    // missing extra stream instead.
    Blocks no_extra = b;
    no_extra.ctrl = bz2(control({{11, 0, 5}, {10, 0, 0}}));
    no_extra.extra.clear();
    expect_refused(r, join(no_extra, 21), "epfbz2 stream does not end", kOld);
}

TEST(PatchHostile, TruncatedPatchFiles) {
    TestRoot r;
    const std::string patch = good_patch();
    for (size_t n = 32; n < patch.size(); ++n) {
        SCOPED_TRACE("cut at " + std::to_string(n));
        expect_refused(r, patch.substr(0, n), "", kOld);
    }
}

// Each block cut short or replaced by junk, with the header lengths kept
// consistent. A cut stream runs on into the next block's bytes, so the
// refusal may come from whichever check the garbage meets first.
TEST(PatchHostile, DamagedStreams) {
    TestRoot r;
    const Blocks b = good_blocks();
    for (int which = 0; which < 3; ++which) {
        const std::string& s = which == 0 ? b.ctrl : which == 1 ? b.diff : b.extra;
        std::vector<std::string> damaged = {noise(200, 9), "BZh9" + noise(100, 10), "BZh", std::string(64, '\0')};
        for (size_t keep = 0; keep < s.size(); keep += 3) damaged.push_back(s.substr(0, keep));
        for (const std::string& d : damaged) {
            SCOPED_TRACE("block " + std::to_string(which) + ", " + std::to_string(d.size()) + " bytes");
            Blocks bad = b;
            (which == 0 ? bad.ctrl : which == 1 ? bad.diff : bad.extra) = d;
            expect_refused(r, join(bad, static_cast<int64_t>(kWant.size())), "", kOld);
        }
    }
}

// Every corruption of a single bit is refused, leaving the output alone, or
// (the bit is bzip2 padding) is harmless: bzip2's checksums are all verified
// before anything is written.
TEST(PatchHostile, BitFlipsAreRefusedOrHarmless) {
    TestRoot r;
    const std::string patch = good_patch();
    r.write("/tmp/old", kOld);
    int refused = 0;
    for (size_t i = 0; i < patch.size(); ++i) {
        // The header bytes get all eight bits, except those that would claim
        // a new image of gigabytes (ImpossibleNewSizeFailsCleanly covers
        // those, and the sanitizer makes such allocations slow). Elsewhere
        // one bit per byte, rotating, keeps the run short.
        if (i >= 27 && i <= 30) continue;
        int first = i < 32 ? 0 : static_cast<int>(i % 8), last = i < 32 ? 7 : first;
        if (i == 31) first = 7;  // the sign bit only
        for (int bit = first; bit <= last; ++bit) {
            std::string p = patch;
            p[i] = static_cast<char>(p[i] ^ (1 << bit));
            r.write("/tmp/patch", p);
            r.write("/tmp/new", kSentinel);
            std::string out;
            int rc = run_patch(&out);
            if (rc < 0) {
                ++refused;
                EXPECT_EQ(r.read("/tmp/new"), kSentinel) << "byte " << i << " bit " << bit;
            } else {
                EXPECT_EQ(r.read("/tmp/new"), kWant) << "byte " << i << " bit " << bit;
            }
        }
    }
    EXPECT_GT(refused, static_cast<int>(patch.size()) * 9 / 10);
}

TEST(PatchHostile, StreamsMustEndWhereTheImageDoes) {
    TestRoot r;
    Blocks b = good_blocks();
    const int64_t n = static_cast<int64_t>(kWant.size());
    Blocks more = b;
    more.ctrl = bz2(control({{11, 0, 5}, {10, 10, 0}, {0, 0, 0}}));
    expect_refused(r, join(more, n), "cpfbz2 stream does not end", kOld);
    more = b;
    more.diff = bz2(base_diff() + "?");
    expect_refused(r, join(more, n), "dpfbz2 stream does not end", kOld);
    more = b;
    more.extra = bz2(kWant.substr(21) + "?");
    expect_refused(r, join(more, n), "epfbz2 stream does not end", kOld);
}

TEST(PatchHostile, ControlValuesOutOfRange) {
    TestRoot r;
    const int64_t big = INT64_C(1) << 31;
    expect_refused(r, make_patch({{big, 0, 0}}, std::string(4, 0), "", 4), "ctrl[0] = 2147483648 is out of");
    expect_refused(r, make_patch({{0, big, 0}}, "", "abcd", 4), "ctrl[1] = 2147483648 is out of");
    expect_refused(r, make_patch({{1, 0, INT64_C(1) << 32}, {3, 0, 0}}, std::string(4, 0), "", 4),
                   "ctrl[2] = 4294967296 is out of");
    expect_refused(r, make_patch({{1, 0, -big - 1}, {3, 0, 0}}, std::string(4, 0), "", 4),
                   "ctrl[2] = -2147483649 is out of");
    expect_refused(r, make_patch({{1, 0, INT64_MAX}}, std::string(4, 0), "", 4), "ctrl[2]");
    expect_refused(r, make_patch({{-1, 0, 0}}, std::string(4, 0), "", 4), "ctrl[0] = -1 is negative");
    expect_refused(r, make_patch({{0, -1, 0}}, "", "abcd", 4), "ctrl[1] = -1 is negative");
    // The largest legal counts still cannot run past the image.
    expect_refused(r, make_patch({{INT32_MAX, 0, 0}}, std::string(4, 0), "", 4), "newpos + ctrl[0] error!");
    expect_refused(r, make_patch({{0, INT32_MAX, 0}}, "", "abcd", 4), "newpos + ctrl[1] error!");
}

TEST(PatchHostile, ImpossibleNewSizeFailsCleanly) {
    TestRoot r;
    const Blocks b = good_blocks();
    expect_refused(r, join(b, INT64_MAX), "allocation", kOld);
    expect_refused(r, join(b, INT64_C(1) << 62), "allocation", kOld);
}
