// Patches made by an independent producer of the format must rebuild the new
// file byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/file_util.h"
#include "patch/firmware_image.h"
#include "patch/patch_file.h"
#include "patch/patch_writer.h"
#include "support/test_root.h"

using namespace patchtest;

namespace {

#ifdef DFOTA_BSDIFF_TOOL
constexpr const char* kBsdiff = DFOTA_BSDIFF_TOOL;
#else
constexpr const char* kBsdiff = nullptr;
#endif

#define REQUIRE_BSDIFF()                                                                      \
    do {                                                                                      \
        if (!kBsdiff) GTEST_SKIP() << "bsdiff is not installed (package bsdiff); no producer"; \
    } while (0)

// Makes /tmp/patch from old to new with the tool, patches /tmp/old into
// /tmp/new and expects the new image back exactly.
void round_trip(const TestRoot& r, const std::string& old_image, const std::string& new_image) {
    r.write("/tmp/old", old_image);
    r.write("/tmp/want", new_image);
    std::string cmd = std::string(kBsdiff) + " " + shell_quote(r.host("/tmp/old")) + " " +
                      shell_quote(r.host("/tmp/want")) + " " + shell_quote(r.host("/tmp/patch"));
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    r.write("/tmp/new", kSentinel);
    std::string out;
    ASSERT_GE(run_patch(&out), 0) << out;
    std::string got = r.read("/tmp/new");
    ASSERT_EQ(got.size(), new_image.size());
    EXPECT_TRUE(got == new_image) << "content differs from the new image";
}

}  // namespace

TEST(PatchBsdiff, TinyFiles) {
    REQUIRE_BSDIFF();
    TestRoot r;
    round_trip(r, "a", "b");
    round_trip(r, "a", "a");
    round_trip(r, "x", noise(100, 1));
    round_trip(r, noise(100, 2), "y");
    round_trip(r, "hello, world", "hello, brave new world");
}

TEST(PatchBsdiff, UnrelatedAndIdenticalImages) {
    REQUIRE_BSDIFF();
    TestRoot r;
    round_trip(r, noise(5000, 3), noise(7000, 4));
    const std::string same = noise(20000, 5);
    round_trip(r, same, same);
    // Shifted by one byte: everything is a copy from a moved position.
    round_trip(r, same, "!" + same);
    round_trip(r, same, same.substr(1));
}

TEST(PatchBsdiff, FirmwareRevisions) {
    REQUIRE_BSDIFF();
    TestRoot r;
    for (size_t size : {size_t{300}, size_t{4096}, size_t{70000}, size_t{1} << 20}) {
        SCOPED_TRACE("old size " + std::to_string(size));
        fwimage::ImagePair p = fwimage::firmware_pair(size, size);
        round_trip(r, p.old_image, p.new_image);
        // And back again: a downgrade is a patch too.
        round_trip(r, p.new_image, p.old_image);
    }
}

TEST(PatchBsdiff, FirmwareRevision32MiB) {
    REQUIRE_BSDIFF();
    TestRoot r;
    fwimage::ImagePair p = fwimage::firmware_pair(size_t{32} << 20, 32);
    round_trip(r, p.old_image, p.new_image);
}
