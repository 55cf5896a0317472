// A minimal BSDIFF40 writer for the patch tests: it emits exactly the control
// triples, diff bytes and extra bytes it is given, including ones no real
// differ would produce.
#pragma once

#include <bzlib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/md5.h"
#include "patch/patch_file.h"
#include "support/test_root.h"

// A control block: triples of diff bytes, extra bytes and move in old.
using Ctrl = std::vector<int64_t>;

// Numbers as the format stores them: sign and magnitude, little-endian, the
// sign in the top bit of the last byte.
inline std::string offsets(const std::vector<int64_t>& values) {
    std::string out;
    for (int64_t v : values)
        for (int i = 0; i < 8; ++i) out += static_cast<char>((v < 0 ? -v : v) >> 8 * i | (i == 7 && v < 0) << 7);
    return out;
}

inline std::string bz2(std::string in) {
    std::string out(in.size() + in.size() / 100 + 600, '\0');
    auto len = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &len, in.data(), static_cast<unsigned>(in.size()), 9, 0, 0), BZ_OK);
    out.resize(len);
    return out;
}

// Header with explicit fields before the given, already compressed, blocks.
inline std::string assemble(int64_t ctrl_len, int64_t diff_len, int64_t new_size, const std::string& blocks) {
    return "BSDIFF40" + offsets({ctrl_len, diff_len, new_size}) + blocks;
}

inline std::string make_patch(const Ctrl& ctrl, const std::string& diff, const std::string& extra, int64_t new_size) {
    const std::string c = bz2(offsets(ctrl)), d = bz2(diff);
    return assemble(std::ssize(c), std::ssize(d), new_size, c + d + bz2(extra));
}

// xorshift: the same numbers on every target.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9e3779b97f4a7c15ull + 0x632be59bd9b4e019ull) {}
    uint32_t below(uint32_t n) { return s ^= s << 13, s ^= s >> 7, s ^= s << 17, static_cast<uint32_t>((s >> 16) % n); }
};

inline std::string noise(size_t n, uint64_t seed) {
    Rng g(seed);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(g.below(256));
    return out;
}

// Patches old_image twice: into another file, written as it is made, and in
// place, built whole first. Returns the new image when both runs make it alike
// and the digest is its own; "refused: " and the diagnostics when both refuse
// it alike (-1), leaving the file patched in place untouched.
inline std::string patched(const TestRoot& r, const std::string& old_image, const std::string& patch) {
    r.write("/tmp/old", old_image);
    r.write("/tmp/img", old_image);
    r.write("/tmp/patch", patch);
    r.write("/tmp/new", "previous content of the output file\n");
    char md5[MD5_TEXT_SIZE] = "untouched", want[MD5_TEXT_SIZE] = "";
    Capture streamed_cap{STDOUT_FILENO};
    const int streamed = patch_file_md5("/tmp/old", "/tmp/new", "/tmp/patch", md5);
    const std::string streamed_diag = streamed_cap.finish();
    Capture cap{STDOUT_FILENO};
    const int rc = patch_file("/tmp/img", "/tmp/img", "/tmp/patch");
    const std::string diag = cap.finish(), out = r.read("/tmp/img");
    if (rc >= 0 && streamed >= 0 && out == r.read("/tmp/new") && get_md5sum("/tmp/new", want) == 0 &&
        md5_equal(md5, want))
        return out;
    if (rc == -1 && streamed == -1 && out == old_image && streamed_diag == diag && md5 == std::string("untouched"))
        return "refused: " + diag;
    return "runs differ: in place " + std::to_string(rc) + " " + diag + "streamed " + std::to_string(streamed) + " " +
           streamed_diag + md5;
}
