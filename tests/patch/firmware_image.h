// Synthetic firmware images and their next versions, for patching tests and
// the patch benchmark: a sequence of records (machine-code-like words,
// string tables, address tables, incompressible blobs, padding) and a revised
// sequence with records edited, relocated, inserted and deleted — the kind of
// change a real update makes to a partition image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fwimage {

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9e3779b97f4a7c15ull + 0x632be59bd9b4e019ull) {}
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 16) % n); }
};

enum Kind : uint8_t { kCode, kStrings, kTable, kBlob, kPadding, kKinds };

struct Record {
    uint32_t id;
    Kind kind;
    std::string payload;
};

inline void put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

inline uint32_t get32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

inline void set32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

inline std::string payload(Rng& g, Kind kind, size_t n) {
    static const char* const kWords[] = {"modem", "radio", "band", "config", "error", "timeout", "link",
                                         "carrier", "sim", "apn", "retry", "%s:%d", "ok", "fail", "init"};
    std::string p;
    p.reserve(n + 16);
    switch (kind) {
        case kCode: {
            // Few opcodes, few registers, small immediates and branch targets:
            // compressible, yet far from uniform.
            static const uint32_t kOps[] = {0xd2800000, 0xf9400000, 0xf9000000, 0x91000000,
                                            0x94000000, 0xb4000000, 0xaa0003e0, 0xd65f03c0};
            while (p.size() < n) {
                uint32_t op = kOps[g.below(8)];
                uint32_t w = op | g.below(32) | (g.below(32) << 5) | (g.below(64) << 10);
                if (op == 0x94000000) w = op | (g.below(1 << 20));  // call: address-like field
                put32(p, w);
            }
            break;
        }
        case kStrings:
            while (p.size() < n) {
                p += kWords[g.below(15)];
                p.push_back(g.below(4) == 0 ? '\0' : ' ');
            }
            break;
        case kTable: {
            uint32_t base = 0x80000000u + g.below(1 << 24) * 4;
            while (p.size() < n) {
                put32(p, base);
                base += 4 * (1 + g.below(64));
            }
            break;
        }
        case kBlob:
            while (p.size() < n) {
                uint64_t v = g.next();
                for (int i = 0; i < 8; ++i) p.push_back(static_cast<char>(v >> (8 * i)));
            }
            break;
        default:
            p.assign(n, g.below(2) ? '\xff' : '\0');
            break;
    }
    p.resize(n);
    return p;
}

inline Record make_record(Rng& g, uint32_t id, size_t max_payload) {
    Kind kind = static_cast<Kind>(g.below(kKinds));
    // Padding stays short: long uniform runs are cheap to patch but make a
    // suffix-sorting differ slow, and the tests run one.
    if (kind == kPadding && max_payload > 4096) max_payload = 4096;
    size_t n = 1 + g.below(static_cast<uint32_t>(max_payload));
    return {id, kind, payload(g, kind, n)};
}

inline std::vector<Record> make_records(Rng& g, size_t total, size_t max_payload) {
    std::vector<Record> recs;
    size_t size = 0;
    uint32_t id = 1;
    while (size < total) {
        recs.push_back(make_record(g, id++, max_payload));
        size += recs.back().payload.size() + 16;
    }
    return recs;
}

// Headers carry the record's offset, so an insertion or deletion changes
// every later header a little — as relocated addresses do in real images.
inline std::string link(const std::vector<Record>& recs, size_t size) {
    std::string img;
    img.reserve(size + 64 * 1024);
    for (const auto& r : recs) {
        img += "REC";
        img.push_back(static_cast<char>(r.kind));
        put32(img, r.id);
        put32(img, static_cast<uint32_t>(img.size()));
        put32(img, static_cast<uint32_t>(r.payload.size()));
        img += r.payload;
        while (img.size() % 16) img.push_back('\xff');
    }
    img.resize(size);
    return img;
}

// The next version: ~3% of records deleted, ~3% new ones inserted, ~10%
// edited (a few words changed, addresses in code and tables shifted).
inline std::vector<Record> revise(std::vector<Record> recs, Rng& g, size_t max_payload) {
    std::vector<Record> out;
    out.reserve(recs.size() + recs.size() / 16 + 1);
    uint32_t next_id = 1u << 24;
    for (auto& r : recs) {
        uint32_t roll = g.below(100);
        if (roll < 3) continue;
        if (roll < 6) out.push_back(make_record(g, next_id++, max_payload));
        if (roll >= 90) {
            std::string& p = r.payload;
            uint32_t shift = 4 * (1 + g.below(256));
            if ((r.kind == kCode || r.kind == kTable) && p.size() >= 4) {
                for (size_t at = 0; at + 4 <= p.size(); at += 4) {
                    uint32_t w = get32(p, at);
                    if (r.kind == kTable || (w & 0xfc000000u) == 0x94000000u) set32(p, at, w + shift);
                }
            }
            for (uint32_t k = g.below(8); k > 0 && !p.empty(); --k) p[g.below(static_cast<uint32_t>(p.size()))] ^= 0x5a;
        }
        out.push_back(std::move(r));
    }
    return out;
}

struct ImagePair {
    std::string old_image, new_image;
};

// An old image of old_size bytes and its revision of about the same size.
inline ImagePair firmware_pair(size_t old_size, uint64_t seed) {
    Rng g(seed);
    size_t max_payload = old_size / 64 < 64 ? 64 : (old_size / 64 > 65536 ? 65536 : old_size / 64);
    std::vector<Record> recs = make_records(g, old_size, max_payload);
    ImagePair pair;
    pair.old_image = link(recs, old_size);
    std::vector<Record> next = revise(std::move(recs), g, max_payload);
    size_t new_size = old_size + old_size / 50 - g.below(static_cast<uint32_t>(old_size / 25 + 1));
    pair.new_image = link(next, new_size == 0 ? 1 : new_size);
    return pair;
}

}  // namespace fwimage
