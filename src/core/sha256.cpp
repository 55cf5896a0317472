#include "core/sha256.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define DFOTA_SHA256_X86 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>
#define DFOTA_SHA256_ARM 1
#endif

namespace {

constexpr size_t BLOCK = 64;
// Bytes 56 to 63 of the last block carry the message length in bits.
constexpr size_t LENGTH_AT = 56;

// Whole-file reads go straight from the kernel into this many bytes on the
// stack (the operations use no heap). With the processor's instructions the
// copy out of the page cache is a tenth of the time; from 16 to 128 KiB each
// doubling still gained 2 to 10%, past that nothing was measurable.
constexpr size_t READ_SIZE = 128 * 1024;

alignas(16) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t load_be32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void store_be32(unsigned char* p, uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    std::memcpy(p, &v, sizeof v);
}

inline uint32_t rotr(uint32_t v, int s) { return (v >> s) | (v << (32 - s)); }

// The schedule keeps only the last 16 words: word i overwrites word i - 16,
// which nothing needs afterwards.
inline uint32_t schedule(uint32_t w[16], int i) {
    if (i >= 16) {
        const uint32_t w15 = w[(i - 15) & 15], w2 = w[(i - 2) & 15];
        w[i & 15] += (rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10)) + w[(i - 7) & 15] +
                     (rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3));
    }
    return w[i & 15];
}

// The eight working variables rotate by renaming instead of by moves: each
// round changes only d and h. Ch and Maj take one operation fewer than their
// textbook forms, and everything that does not depend on a or e is added into
// h first, off the critical path.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, i)                                            \
    do {                                                                                   \
        (h) += K[i] + schedule(w, (i));                                                    \
        (h) += (rotr((e), 6) ^ rotr((e), 11) ^ rotr((e), 25)) + ((g) ^ ((e) & ((f) ^ (g)))); \
        (d) += (h);                                                                        \
        (h) += (rotr((a), 2) ^ rotr((a), 13) ^ rotr((a), 22)) + (((a) & (b)) | ((c) & ((a) | (b)))); \
    } while (0)

void compress_portable(uint32_t state[8], const unsigned char* p, size_t n) {
    for (; n > 0; --n, p += BLOCK) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = load_be32(p + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
#pragma GCC unroll 8
        for (int i = 0; i < 64; i += 8) {
            SHA256_ROUND(a, b, c, d, e, f, g, h, i);
            SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1);
            SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2);
            SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3);
            SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4);
            SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5);
            SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6);
            SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7);
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#undef SHA256_ROUND

#if DFOTA_SHA256_X86

// Only this function may use the SHA and SSE4.1 instructions: the rest of the
// agent must still run on any x86-64 processor, so it is the only one built
// for them, and it is called only where the processor reports them.
__attribute__((target("sha,sse4.1"))) void compress_x86(uint32_t state[8], const unsigned char* p, size_t n) {
    // The round instruction wants the state as two halves, A B E F and
    // C D G H, highest lane first; the state array holds A to H lowest first.
    const __m128i lo = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);  // B A D C
    const __m128i hi =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);  // H G F E
    __m128i abef = _mm_alignr_epi8(lo, hi, 8);
    __m128i cdgh = _mm_blend_epi16(hi, lo, 0xF0);
    // Message words are big-endian.
    const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    for (; n > 0; --n, p += BLOCK) {
        const __m128i abef_in = abef, cdgh_in = cdgh;
        __m128i m[4];
        for (int j = 0; j < 4; ++j)
            m[j] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j)), swap);
        // Four rounds a step. From the fifth step on, m[j & 3] turns from
        // words 4j - 16 .. 4j - 13 into words 4j .. 4j + 3.
#pragma GCC unroll 16
        for (int j = 0; j < 16; ++j) {
            __m128i& w = m[j & 3];
            if (j >= 4) {
                __m128i t = _mm_sha256msg1_epu32(w, m[(j + 1) & 3]);
                t = _mm_add_epi32(t, _mm_alignr_epi8(m[(j + 3) & 3], m[(j + 2) & 3], 4));
                w = _mm_sha256msg2_epu32(t, m[(j + 3) & 3]);
            }
            const __m128i wk = _mm_add_epi32(w, _mm_load_si128(reinterpret_cast<const __m128i*>(K + 4 * j)));
            // Each instruction does two rounds and leaves the new A B E F;
            // the old A B E F is then the new C D G H.
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
        }
        abef = _mm_add_epi32(abef, abef_in);
        cdgh = _mm_add_epi32(cdgh, cdgh_in);
    }

    const __m128i fe_ba = _mm_shuffle_epi32(abef, 0x1B);  // lanes A B E F
    const __m128i hg_dc = _mm_shuffle_epi32(cdgh, 0xB1);  // lanes G H C D
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(fe_ba, hg_dc, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(hg_dc, fe_ba, 8));
}

struct CpuidWords {
    uint32_t eax, ebx, ecx, edx;
};

CpuidWords cpuid(uint32_t leaf) {
    CpuidWords r;
    __asm__("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(0));
    return r;
}

// Asked of the processor directly: not every compiler we build with knows
// the feature's name for its built-in query.
bool have_instructions() {
    if (cpuid(0).eax < 7) return false;
    const uint32_t ecx1 = cpuid(1).ecx;
    const bool ssse3 = (ecx1 >> 9) & 1, sse41 = (ecx1 >> 19) & 1, sha = (cpuid(7).ebx >> 29) & 1;
    return ssse3 && sse41 && sha;
}

constexpr auto compress_accelerated = compress_x86;

#elif DFOTA_SHA256_ARM

// "+crypto" rather than "+sha2": the compiler we build the module's agent
// with accepts only the former for these intrinsics. Only this function is
// built for the extension; it is called only where the kernel reports it.
__attribute__((target("+crypto"))) void compress_arm(uint32_t state[8], const unsigned char* p, size_t n) {
    uint32x4_t abcd = vld1q_u32(state), efgh = vld1q_u32(state + 4);
    for (; n > 0; --n, p += BLOCK) {
        const uint32x4_t abcd_in = abcd, efgh_in = efgh;
        uint32x4_t m[4];
        for (int j = 0; j < 4; ++j) m[j] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(p + 16 * j)));
#pragma GCC unroll 16
        for (int j = 0; j < 16; ++j) {
            uint32x4_t& w = m[j & 3];
            if (j >= 4) w = vsha256su1q_u32(vsha256su0q_u32(w, m[(j + 1) & 3]), m[(j + 2) & 3], m[(j + 3) & 3]);
            const uint32x4_t wk = vaddq_u32(w, vld1q_u32(K + 4 * j));
            // Both halves redo the same four rounds from the same starting
            // A B C D, so the second needs the value from before the first.
            const uint32x4_t abcd_before = abcd;
            abcd = vsha256hq_u32(abcd, efgh, wk);
            efgh = vsha256h2q_u32(efgh, abcd_before, wk);
        }
        abcd = vaddq_u32(abcd, abcd_in);
        efgh = vaddq_u32(efgh, efgh_in);
    }
    vst1q_u32(state, abcd);
    vst1q_u32(state + 4, efgh);
}

bool have_instructions() { return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0; }

constexpr auto compress_accelerated = compress_arm;

#else

bool have_instructions() { return false; }

constexpr auto compress_accelerated = compress_portable;

#endif

using Engine = void (*)(uint32_t state[8], const unsigned char* p, size_t n);

// Asked once; the answer cannot change while the process runs.
Engine best_engine() {
    static const Engine best = have_instructions() ? compress_accelerated : compress_portable;
    return best;
}

std::atomic<bool> portable_forced{false};

void compress(uint32_t state[8], const unsigned char* p, size_t n) {
    (portable_forced.load(std::memory_order_relaxed) ? compress_portable : best_engine())(state, p, n);
}

void write_text(const unsigned char digest[SHA256_SIZE], char out[SHA256_TEXT_SIZE]) {
    static constexpr char hex[] = "0123456789abcdef";
    for (int i = 0; i < SHA256_SIZE; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[2 * SHA256_SIZE] = '\0';
}

}  // namespace

bool sha256_force_portable(bool portable) {
    portable_forced.store(portable, std::memory_order_relaxed);
    return !portable && best_engine() != compress_portable;
}

void sha256_init(sha256_context* ctx) {
    static constexpr uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(ctx->state, initial, sizeof initial);
    ctx->length = 0;
    std::memset(ctx->buf, 0, sizeof ctx->buf);
    ctx->buffered = 0;
}

void sha256_update(sha256_context* ctx, const void* data, size_t len) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (len == 0) return;
    ctx->length += len;
    if (ctx->buffered > 0) {
        const size_t take = len < BLOCK - ctx->buffered ? len : BLOCK - ctx->buffered;
        std::memcpy(ctx->buf + ctx->buffered, p, take);
        ctx->buffered += static_cast<uint32_t>(take);
        p += take;
        len -= take;
        if (ctx->buffered < BLOCK) return;
        compress(ctx->state, ctx->buf, 1);
        ctx->buffered = 0;
    }
    const size_t whole = len / BLOCK;
    if (whole > 0) {
        compress(ctx->state, p, whole);
        p += whole * BLOCK;
        len -= whole * BLOCK;
    }
    if (len > 0) {
        std::memcpy(ctx->buf, p, len);
        ctx->buffered = static_cast<uint32_t>(len);
    }
}

void sha256_final(sha256_context* ctx, unsigned char out[SHA256_SIZE]) {
    const uint64_t bits = ctx->length * 8;
    size_t n = ctx->buffered;
    ctx->buf[n++] = 0x80;
    if (n > LENGTH_AT) {
        std::memset(ctx->buf + n, 0, BLOCK - n);
        compress(ctx->state, ctx->buf, 1);
        n = 0;
    }
    std::memset(ctx->buf + n, 0, LENGTH_AT - n);
    store_be32(ctx->buf + LENGTH_AT, static_cast<uint32_t>(bits >> 32));
    store_be32(ctx->buf + LENGTH_AT + 4, static_cast<uint32_t>(bits));
    compress(ctx->state, ctx->buf, 1);
    ctx->buffered = 0;
    for (int i = 0; i < 8; ++i) store_be32(out + 4 * i, ctx->state[i]);
}

void sha256_text(const void* data, size_t len, char out[SHA256_TEXT_SIZE]) {
    sha256_context ctx;
    unsigned char digest[SHA256_SIZE];
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    sha256_final(&ctx, digest);
    write_text(digest, out);
}

int32_t get_sha256sum(const char* path, char out[SHA256_TEXT_SIZE], int64_t* size) {
    unsigned char data[READ_SIZE];
    FilePtr fp{plat_fopen(path, "rb")};
    if (!fp) {
        std::fprintf(stderr, "can't open `%s': %s\n", path, std::strerror(errno));
        return -1;
    }
    // Every read is already large: a stream buffer would only add a copy
    // and an allocation.
    std::setvbuf(fp.get(), nullptr, _IONBF, 0);
    sha256_context ctx;
    sha256_init(&ctx);
    size_t got;
    while ((got = std::fread(data, 1, sizeof data, fp.get())) > 0) sha256_update(&ctx, data, got);
    if (std::ferror(fp.get())) {
        std::fprintf(stderr, "error reading `%s': %s\n", path, std::strerror(errno));
        return -1;
    }
    close_file(fp);
    unsigned char digest[SHA256_SIZE];
    sha256_final(&ctx, digest);
    write_text(digest, out);
    *size = static_cast<int64_t>(ctx.length);
    return 0;
}
