// A minimal BSDIFF40 writer for the patch tests: it emits exactly the control
// triples, diff bytes and extra bytes it is given, including ones no real
// differ would produce, and helpers around the patcher's observable effects.
#pragma once

#include <bzlib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "patch/patch_file.h"
#include "support/test_root.h"

namespace patchtest {

struct Triple {
    int64_t x, y, z;
};

// Sign and magnitude, little-endian, sign in the top bit of the last byte.
inline std::string encode_offset(int64_t v) {
    uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((mag >> (8 * i)) & 0xff);
    if (v < 0) out[7] = static_cast<char>(out[7] | 0x80);
    return out;
}

inline std::string control(const std::vector<Triple>& triples) {
    std::string out;
    for (const auto& t : triples) out += encode_offset(t.x) + encode_offset(t.y) + encode_offset(t.z);
    return out;
}

struct FileCloser {
    void operator()(FILE* fp) const noexcept { std::fclose(fp); }
};

// One bzip2 stream holding raw, produced through the library's file writer.
inline std::string bz2(const std::string& raw) {
    std::unique_ptr<FILE, FileCloser> fp(std::tmpfile());
    if (!fp) {
        ADD_FAILURE() << "tmpfile failed";
        return {};
    }
    int err = BZ_OK;
    BZFILE* bz = BZ2_bzWriteOpen(&err, fp.get(), 9, 0, 0);
    EXPECT_EQ(err, BZ_OK);
    if (!raw.empty()) BZ2_bzWrite(&err, bz, const_cast<char*>(raw.data()), static_cast<int>(raw.size()));
    EXPECT_EQ(err, BZ_OK);
    BZ2_bzWriteClose(&err, bz, 0, nullptr, nullptr);
    EXPECT_EQ(err, BZ_OK);
    std::string out;
    std::rewind(fp.get());
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp.get())) > 0) out.append(buf, n);
    return out;
}

// Header with explicit fields followed by the given (already compressed)
// blocks, for headers that lie about their blocks.
inline std::string assemble(int64_t ctrl_len, int64_t diff_len, int64_t new_size, const std::string& blocks) {
    return "BSDIFF40" + encode_offset(ctrl_len) + encode_offset(diff_len) + encode_offset(new_size) + blocks;
}

// A well-formed patch from raw (uncompressed) block contents.
inline std::string make_patch_raw(const std::string& ctrl_raw, const std::string& diff_raw,
                                  const std::string& extra_raw, int64_t new_size) {
    std::string c = bz2(ctrl_raw), d = bz2(diff_raw), e = bz2(extra_raw);
    return assemble(static_cast<int64_t>(c.size()), static_cast<int64_t>(d.size()), new_size, c + d + e);
}

inline std::string make_patch(const std::vector<Triple>& triples, const std::string& diff_raw,
                              const std::string& extra_raw, int64_t new_size) {
    return make_patch_raw(control(triples), diff_raw, extra_raw, new_size);
}

// Deterministic bytes from a seed (xorshift), for data that must not be
// mistaken for anything structured.
inline std::string noise(size_t n, uint64_t seed) {
    std::string out(n, '\0');
    uint64_t s = seed * 0x9e3779b97f4a7c15ull + 1;
    for (size_t i = 0; i < n; ++i) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        out[i] = static_cast<char>(s >> 24);
    }
    return out;
}

// Runs the patcher with its standard output captured into *out.
inline int run_patch(std::string* out, const char* old_path = "/tmp/old", const char* new_path = "/tmp/new",
                     const char* patch_path = "/tmp/patch") {
    CaptureStdout cap;
    int rc = patch_file(old_path, new_path, patch_path);
    std::string text = cap.finish();
    if (out) *out = text;
    return rc;
}

inline constexpr const char* kSentinel = "previous content of the output file\n";

// The patch must be refused: -1, a diagnostic containing want (any
// diagnostic when want is empty), and an existing output file left exactly
// as it was.
inline void expect_refused(const TestRoot& r, const std::string& patch, const std::string& want,
                           const std::string& old_image = "old image bytes 0123456789") {
    r.write("/tmp/old", old_image);
    r.write("/tmp/patch", patch);
    r.write("/tmp/new", kSentinel);
    std::string out;
    EXPECT_EQ(run_patch(&out), -1) << out;
    if (want.empty())
        EXPECT_FALSE(out.empty()) << "refused without a diagnostic";
    else
        EXPECT_NE(out.find(want), std::string::npos) << "diagnostics: " << out;
    EXPECT_EQ(r.read("/tmp/new"), kSentinel);
}

}  // namespace patchtest
