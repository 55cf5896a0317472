// Synthetic firmware images and their next versions, for the patch benchmark
// and the fuzzer's seeds: records of machine-code-like words, address tables,
// strings and incompressible bytes, each behind a header holding its offset.
// The revision deletes, inserts and edits records and shifts the addresses
// inside edited ones, so every later header moves a little, as relocation
// does in a real partition image.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace fwimage {

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9e3779b97f4a7c15ull + 0x632be59bd9b4e019ull) {}
    uint32_t below(uint32_t n) {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        return static_cast<uint32_t>((s >> 16) % n);
    }
};

inline void put32(std::string& s, uint32_t v) { s.append({char(v), char(v >> 8), char(v >> 16), char(v >> 24)}); }

// kind 0: code (few opcodes, call targets in the low bits), 1: address table,
// 2: words, 3: incompressible. edit: seed of the revision's edit, or 0.
inline void add_record(std::string& img, uint32_t kind, uint32_t seed, uint32_t size, uint32_t edit) {
    static const char kWords[] = "modem radio configerror retry %s:%d apn:  ";  // seven words of six letters
    Rng g(seed), e(edit);
    const uint32_t shift = edit ? 4 + 4 * e.below(256) : 0;
    img += "REC" + std::to_string(kind);
    put32(img, static_cast<uint32_t>(img.size()));
    const size_t start = img.size();
    for (uint32_t addr = 0x80000000u + 4 * g.below(1 << 24); img.size() < start + size; addr += 4 + 4 * g.below(64)) {
        if (kind == 0) put32(img, g.below(4) ? 0xd2800000u | g.below(1 << 16) : 0x94000000u + g.below(1 << 20) + shift);
        if (kind == 1) put32(img, addr + shift);
        if (kind == 2) img.append(kWords + 6 * g.below(7), 6) += g.below(4) ? ' ' : '\0';
        if (kind == 3) put32(img, g.below(UINT32_MAX));
    }
    img.resize(start + size);
    for (uint32_t k = edit ? e.below(8) : 0; k > 0; --k) img[start + e.below(size)] ^= 0x5a;
    img.resize((img.size() + 15) / 16 * 16, '\xff');
}

struct ImagePair { std::string old_image, new_image; };

// An old image of old_size bytes and its revision of about the same size:
// ~3% of the records deleted, ~3% inserted, ~10% edited.
inline ImagePair firmware_pair(size_t old_size, uint64_t seed) {
    Rng g(seed);
    const auto most = static_cast<uint32_t>(std::clamp<size_t>(old_size / 64, 64, 65536));  // bytes of payload at most
    ImagePair p;
    while (p.old_image.size() < old_size) {
        const uint32_t kind = g.below(4), rec_seed = g.below(UINT32_MAX), size = 1 + g.below(most), roll = g.below(100);
        add_record(p.old_image, kind, rec_seed, size, 0);
        if (roll >= 3 && roll < 6) add_record(p.new_image, g.below(4), g.below(UINT32_MAX), 1 + g.below(most), 0);
        if (roll >= 3) add_record(p.new_image, kind, rec_seed, size, roll < 90 ? 0 : 1 + g.below(UINT32_MAX - 1));
    }
    p.old_image.resize(old_size);
    p.new_image.resize(old_size + old_size / 50 - g.below(static_cast<uint32_t>(old_size / 25 + 1)), '\xff');
    return p;
}

}  // namespace fwimage
