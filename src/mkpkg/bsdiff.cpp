#include "mkpkg/bsdiff.h"

#include <bzlib.h>
#include <divsufsort.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// The match length comes from the lowest differing byte of a word.
static_assert(std::endian::native == std::endian::little);

// divsufsort indexes with 32-bit signed numbers, and the agent holds every
// control value in 32 bits.
constexpr size_t kMaxInput = (size_t{1} << 31) - 1;

// A rejected match at least this long is followed by its own tail instead of
// a new search at the next byte: inside long runs the search would otherwise
// cost the run's length at every position, quadratic in the run.
constexpr int64_t kFollowLength = 64;

// How many more bytes a new match must explain than the current alignment
// before it is worth a control triple of its own.
constexpr int64_t kMargin = 8;

void put_offset(uint8_t* out, int64_t v) {
    uint64_t mag = v < 0 ? static_cast<uint64_t>(-v) : static_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i, mag >>= 8) out[i] = static_cast<uint8_t>(mag);
    if (v < 0) out[7] |= 0x80;
}

// One bzip2 stream compressed as its bytes arrive, so that neither the diff
// nor the extra stream is ever held uncompressed.
struct bz_writer {
    bz_stream s{};
    bool open = false;
    std::string out;
    size_t used = 0;

    ~bz_writer() {
        if (open) BZ2_bzCompressEnd(&s);
    }

    bool start(std::string& error) {
        int rc = BZ2_bzCompressInit(&s, 9, 0, 0);
        if (rc != BZ_OK) {
            error = "bzip2 compressor: error " + std::to_string(rc);
            return false;
        }
        open = true;
        return true;
    }

    bool pump(const uint8_t* data, size_t size, int action, std::string& error) {
        for (;;) {
            const unsigned chunk = static_cast<unsigned>(std::min<size_t>(size, 1u << 30));
            s.next_in = const_cast<char*>(reinterpret_cast<const char*>(data));
            s.avail_in = chunk;
            const int last = chunk == size ? action : BZ_RUN;
            for (;;) {
                if (out.size() - used < 65536) out.resize(std::max<size_t>(out.size() * 3 / 2, used + (1 << 20)));
                s.next_out = out.data() + used;
                s.avail_out = static_cast<unsigned>(std::min<size_t>(out.size() - used, 1u << 30));
                const unsigned before = s.avail_out;
                int rc = BZ2_bzCompress(&s, last);
                used += before - s.avail_out;
                if (rc == BZ_STREAM_END) break;
                if (rc != BZ_RUN_OK && rc != BZ_FINISH_OK) {
                    error = "bzip2 compression: error " + std::to_string(rc);
                    return false;
                }
                if (last == BZ_RUN && s.avail_in == 0) break;
            }
            data += chunk;
            size -= chunk;
            if (size == 0) return true;
        }
    }

    bool write(const uint8_t* data, size_t size, std::string& error) {
        return size == 0 || pump(data, size, BZ_RUN, error);
    }

    bool finish(std::string& error) {
        if (!pump(nullptr, 0, BZ_FINISH, error)) return false;
        out.resize(used);
        BZ2_bzCompressEnd(&s);
        open = false;
        return true;
    }
};

// The suffix array in its own mapping, so that it can ask for huge pages:
// the search jumps across all of it, and with small pages nearly every step
// is a TLB miss too.
struct suffix_array {
    saidx_t* p = nullptr;
    size_t bytes = 0;

    ~suffix_array() {
        if (p) ::munmap(p, bytes);
    }
    bool allocate(size_t n) {
        bytes = n * sizeof(saidx_t);
        void* m = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return false;
        p = static_cast<saidx_t*>(m);
        ::madvise(m, bytes, MADV_HUGEPAGE);  // a hint; without it only slower
        return true;
    }
    saidx_t& operator[](size_t i) const { return p[i]; }
};

struct matcher {
    const uint8_t* old;
    int64_t old_size;
    const uint8_t* neu;
    int64_t new_size;
    suffix_array sa;
    // Start in sa of the suffixes beginning with each two-byte value; the
    // last byte of old alone sorts first among those beginning with it, so
    // it counts as that byte followed by zero.
    std::vector<int32_t> bucket;

    bool build(std::string& error) {
        if (old_size == 0) return true;
        if (!sa.allocate(static_cast<size_t>(old_size))) {
            error = "no memory for the suffix array of the old image";
            return false;
        }
        if (divsufsort(old, sa.p, static_cast<saidx_t>(old_size)) != 0) {
            error = "suffix sorting of the old image failed";
            return false;
        }
        bucket.assign(65537, 0);
        for (int64_t i = 0; i + 1 < old_size; ++i) ++bucket[(old[i] << 8 | old[i + 1]) + 1];
        ++bucket[(old[old_size - 1] << 8) + 1];
        for (size_t k = 1; k < bucket.size(); ++k) bucket[k] += bucket[k - 1];
        return true;
    }

    int64_t common(int64_t o, int64_t n, int64_t from) const {
        int64_t limit = std::min(old_size - o, new_size - n);
        int64_t k = from;
        while (k + 8 <= limit) {
            uint64_t a, b;
            std::memcpy(&a, old + o + k, 8);
            std::memcpy(&b, neu + n + k, 8);
            if (a != b) return k + __builtin_ctzll(a ^ b) / 8;
            k += 8;
        }
        while (k < limit && old[o + k] == neu[n + k]) ++k;
        return k;
    }

    // Longest prefix of neu[scan..] found in old: its length, and its place
    // in pos. Binary search over the suffix array; every suffix between the
    // two bounds shares the shorter of their common prefixes with the
    // target, so comparisons start there.
    int64_t longest(int64_t scan, int64_t& pos) const {
        pos = 0;
        if (old_size == 0) return 0;
        int64_t lo = -1, hi = old_size, lo_lcp = 0, hi_lcp = 0;
        if (new_size - scan >= 2) {
            const int key = neu[scan] << 8 | neu[scan + 1];
            if (bucket[key + 1] > bucket[key]) {
                lo = bucket[key] - 1;
                hi = bucket[key + 1];
                lo_lcp = hi_lcp = 1;
            }
        }
        const int64_t first = lo, end = hi;
        while (hi - lo > 1) {
            const int64_t mid = lo + (hi - lo) / 2;
            // The deep steps of the search are cache misses, one in sa and
            // one in old each: ask for the next two levels of sa now, and
            // for old at the next step's two candidates once they are known.
            auto ahead = [&](int64_t i) {
                if (i > lo && i < hi) __builtin_prefetch(&sa[static_cast<size_t>(i)]);
            };
            const int64_t a = lo + (mid - lo) / 2, b = mid + (hi - mid) / 2;
            ahead(a);
            ahead(lo + (a - lo) / 2);
            ahead(a + (mid - a) / 2);
            ahead(b);
            ahead(mid + (b - mid) / 2);
            ahead(b + (hi - b) / 2);
            const int64_t o = sa[static_cast<size_t>(mid)];
            const int64_t c = common(o, scan, std::min(lo_lcp, hi_lcp));
            // The suffix sorts before the target when it is a prefix of it or
            // differs by a smaller byte.
            const bool before = o + c == old_size || (scan + c < new_size && old[o + c] < neu[scan + c]);
            if (before) {
                lo = mid;
                lo_lcp = c;
            } else {
                hi = mid;
                hi_lcp = c;
            }
            const int64_t next = lo + (hi - lo) / 2, skip = std::min(lo_lcp, hi_lcp);
            for (int64_t i : {lo + (next - lo) / 2, next + (hi - next) / 2})
                if (i > lo && i < hi && i != next) __builtin_prefetch(old + sa[static_cast<size_t>(i)] + skip);
        }
        // Between two equally long matches the later suffix wins: on real
        // executables it gave the smaller patches.
        if (lo > first && (hi == end || lo_lcp > hi_lcp)) {
            pos = sa[static_cast<size_t>(lo)];
            return lo_lcp;
        }
        pos = sa[static_cast<size_t>(hi)];
        return hi_lcp;
    }
};

struct streams {
    std::string ctrl;
    bz_writer diff, extra;
    std::vector<uint8_t> staging = std::vector<uint8_t>(1 << 16);

    bool emit(const matcher& m, int64_t from_new, int64_t from_old, int64_t diff_len, int64_t extra_len,
              int64_t seek, std::string& error) {
        uint8_t triple[24];
        put_offset(triple, diff_len);
        put_offset(triple + 8, extra_len);
        put_offset(triple + 16, seek);
        ctrl.append(reinterpret_cast<const char*>(triple), sizeof triple);
        for (int64_t done = 0; done < diff_len;) {
            const int64_t n = std::min<int64_t>(diff_len - done, static_cast<int64_t>(staging.size()));
            for (int64_t i = 0; i < n; ++i)
                staging[static_cast<size_t>(i)] =
                    static_cast<uint8_t>(m.neu[from_new + done + i] - m.old[from_old + done + i]);
            if (!diff.write(staging.data(), static_cast<size_t>(n), error)) return false;
            done += n;
        }
        return extra.write(m.neu + from_new + diff_len, static_cast<size_t>(extra_len), error);
    }
};

// The scan: walk the new image, and at each place where some match in old
// explains clearly more than the alignment in use, close the region since
// the previous match with one triple. The region's start is the previous
// match stretched forwards as long as it stays at least half right, its end
// the new match stretched backwards the same way, and what neither covers
// goes to the extra stream.
bool scan_images(const matcher& m, streams& out, std::string& error) {
    const uint8_t* old = m.old;
    const uint8_t* neu = m.neu;
    const int64_t old_size = m.old_size, new_size = m.new_size;
    auto aligned = [&](int64_t n, int64_t offset) {
        const int64_t o = n + offset;
        return o >= 0 && o < old_size && old[o] == neu[n];
    };

    int64_t scan = 0, len = 0, pos = 0;
    int64_t last_scan = 0, last_pos = 0, last_offset = 0;
    while (scan < new_size) {
        int64_t old_score = 0;
        scan += len;
        int64_t scored_to = scan;
        int64_t prev_len = 0, prev_pos = 0;
        for (; scan < new_size; ++scan) {
            if (prev_len > kFollowLength) {
                len = prev_len - 1;
                pos = prev_pos + 1;
            } else {
                len = m.longest(scan, pos);
            }
            for (; scored_to < scan + len; ++scored_to)
                if (aligned(scored_to, last_offset)) ++old_score;
            if ((len == old_score && len != 0) || len > old_score + kMargin) break;
            if (aligned(scan, last_offset)) --old_score;
            prev_len = len;
            prev_pos = pos;
        }
        if (len == old_score && scan != new_size) continue;

        // Forwards from the previous match: the prefix with the best margin
        // of agreeing over disagreeing bytes.
        int64_t fwd = 0;
        for (int64_t i = 0, agree = 0, best = 0; last_scan + i < scan && last_pos + i < old_size;) {
            if (old[last_pos + i] == neu[last_scan + i]) ++agree;
            ++i;
            if (agree * 2 - i > best) {
                best = agree * 2 - i;
                fwd = i;
            }
        }
        // Backwards from the new match, likewise.
        int64_t back = 0;
        if (scan < new_size) {
            for (int64_t i = 1, agree = 0, best = 0; scan - i >= last_scan && pos - i >= 0; ++i) {
                if (old[pos - i] == neu[scan - i]) ++agree;
                if (agree * 2 - i > best) {
                    best = agree * 2 - i;
                    back = i;
                }
            }
        }
        // Where the two stretches overlap, split at the point that keeps the
        // most agreeing bytes.
        if (last_scan + fwd > scan - back) {
            const int64_t overlap = last_scan + fwd - (scan - back);
            int64_t gain = 0, best = 0, split = 0;
            for (int64_t i = 0; i < overlap; ++i) {
                if (neu[last_scan + fwd - overlap + i] == old[last_pos + fwd - overlap + i]) ++gain;
                if (neu[scan - back + i] == old[pos - back + i]) --gain;
                if (gain > best) {
                    best = gain;
                    split = i + 1;
                }
            }
            fwd += split - overlap;
            back -= split;
        }

        const int64_t extra_len = (scan - back) - (last_scan + fwd);
        const int64_t seek = (pos - back) - (last_pos + fwd);
        if (!out.emit(m, last_scan, last_pos, fwd, extra_len, seek, error)) return false;
        last_scan = scan - back;
        last_pos = pos - back;
        last_offset = pos - scan;
    }
    return true;
}

int make_patch_or_throw(std::span<const uint8_t> old, std::span<const uint8_t> neu, std::string& patch,
                        std::string& error) {
    if (old.size() > kMaxInput || neu.size() > kMaxInput) {
        error = "an image of 2 GiB or more cannot be diffed";
        return -1;
    }
    auto m = std::make_unique<matcher>();
    m->old = old.data();
    m->old_size = static_cast<int64_t>(old.size());
    m->neu = neu.data();
    m->new_size = static_cast<int64_t>(neu.size());
    if (!m->build(error)) return -1;

    streams out;
    if (!out.diff.start(error) || !out.extra.start(error)) return -1;
    if (!scan_images(*m, out, error)) return -1;
    m.reset();  // the suffix array is the bulk of the memory; the rest is output
    if (!out.diff.finish(error) || !out.extra.finish(error)) return -1;

    bz_writer ctrl;
    if (!ctrl.start(error) || !ctrl.write(reinterpret_cast<const uint8_t*>(out.ctrl.data()), out.ctrl.size(), error) ||
        !ctrl.finish(error))
        return -1;
    std::string().swap(out.ctrl);

    uint8_t header[32];
    std::memcpy(header, "BSDIFF40", 8);
    put_offset(header + 8, static_cast<int64_t>(ctrl.out.size()));
    put_offset(header + 16, static_cast<int64_t>(out.diff.out.size()));
    put_offset(header + 24, static_cast<int64_t>(neu.size()));
    patch.clear();
    patch.reserve(sizeof header + ctrl.out.size() + out.diff.out.size() + out.extra.out.size());
    patch.append(reinterpret_cast<const char*>(header), sizeof header);
    patch += ctrl.out;
    patch += out.diff.out;
    std::string().swap(out.diff.out);
    patch += out.extra.out;
    return 0;
}

}  // namespace

int make_patch(std::span<const uint8_t> old, std::span<const uint8_t> neu, std::string& patch, std::string& error) {
    try {
        return make_patch_or_throw(old, neu, patch, error);
    } catch (const std::bad_alloc&) {
        error = "out of memory while making the patch";
        return -1;
    }
}
