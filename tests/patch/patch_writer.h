// A minimal BSDIFF40 writer for the patch tests: it emits exactly the control
// triples, diff bytes and extra bytes it is given, including ones no real
// differ would produce.
#pragma once

#include <bzlib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Patches old_image over an output file with other content. Returns the
// output file afterwards or, when the patch is refused as it should be (-1,
// the output file untouched), "refused: " and the diagnostics.
inline std::string patched(const TestRoot& r, const std::string& old_image, const std::string& patch) {
    const std::string before = "previous content of the output file\n";
    r.write("/tmp/old", old_image);
    r.write("/tmp/patch", patch);
    r.write("/tmp/new", before);
    Capture cap{STDOUT_FILENO};
    const int rc = patch_file("/tmp/old", "/tmp/new", "/tmp/patch");
    const std::string diag = cap.finish(), out = r.read("/tmp/new");
    return rc >= 0 ? out : (rc == -1 && out == before ? "refused: " : "refused badly: ") + diag;
}
