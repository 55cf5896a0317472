#include "core/md5.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr size_t BLOCK = 64;
// Bytes 56 to 63 of the last block carry the message length.
constexpr int32_t LENGTH_AT = 56;

// Partition images are hundreds of megabytes, and 4096-byte reads straight
// from the kernel cost a system call each: about 6% of the time of a warm
// whole-file digest. The stream gets a larger buffer (on the stack: the
// operations use no heap) and the 4096-byte reads are served from it; past
// 32 KiB nothing more was measurable.
constexpr size_t STREAM_BUFFER_SIZE = 32 * 1024;

inline uint32_t load_le32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void store_le32(unsigned char* p, uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    std::memcpy(p, &v, sizeof v);
}

inline uint32_t rotl(uint32_t v, int s) { return (v << s) | (v >> (32 - s)); }

// The message word and constant are added first: they do not depend on the
// chain, so only the boolean function, the rotation and the final add sit on
// the critical path. F is written with one operation fewer than the RFC's
// (b & c) | (~b & d); G's two terms never share a bit, so they are added
// separately and the one that does not need b is started early.
#define MD5_F(a, b, c, d, x, t, s)                  \
    do {                                            \
        (a) += (x) + (t);                           \
        (a) += (d) ^ ((b) & ((c) ^ (d)));           \
        (a) = rotl((a), (s)) + (b);                 \
    } while (0)
#define MD5_G(a, b, c, d, x, t, s)                  \
    do {                                            \
        (a) += (x) + (t) + (~(d) & (c));            \
        (a) += (d) & (b);                           \
        (a) = rotl((a), (s)) + (b);                 \
    } while (0)
#define MD5_H(a, b, c, d, x, t, s)                  \
    do {                                            \
        (a) += (x) + (t);                           \
        (a) += (b) ^ ((c) ^ (d));                   \
        (a) = rotl((a), (s)) + (b);                 \
    } while (0)
#define MD5_I(a, b, c, d, x, t, s)                  \
    do {                                            \
        (a) += (x) + (t);                           \
        (a) += (c) ^ ((b) | ~(d));                  \
        (a) = rotl((a), (s)) + (b);                 \
    } while (0)

// Transforms n whole blocks read in place; the chaining words stay in
// registers from one block to the next.
void transform(md5_context* ctx, const unsigned char* p, size_t n) {
    uint32_t a = ctx->a, b = ctx->b, c = ctx->c, d = ctx->d;
    for (; n > 0; --n, p += BLOCK) {
        const uint32_t x0 = load_le32(p), x1 = load_le32(p + 4), x2 = load_le32(p + 8),
                       x3 = load_le32(p + 12), x4 = load_le32(p + 16), x5 = load_le32(p + 20),
                       x6 = load_le32(p + 24), x7 = load_le32(p + 28), x8 = load_le32(p + 32),
                       x9 = load_le32(p + 36), x10 = load_le32(p + 40), x11 = load_le32(p + 44),
                       x12 = load_le32(p + 48), x13 = load_le32(p + 52), x14 = load_le32(p + 56),
                       x15 = load_le32(p + 60);
        const uint32_t sa = a, sb = b, sc = c, sd = d;

        MD5_F(a, b, c, d, x0, 0xd76aa478, 7);
        MD5_F(d, a, b, c, x1, 0xe8c7b756, 12);
        MD5_F(c, d, a, b, x2, 0x242070db, 17);
        MD5_F(b, c, d, a, x3, 0xc1bdceee, 22);
        MD5_F(a, b, c, d, x4, 0xf57c0faf, 7);
        MD5_F(d, a, b, c, x5, 0x4787c62a, 12);
        MD5_F(c, d, a, b, x6, 0xa8304613, 17);
        MD5_F(b, c, d, a, x7, 0xfd469501, 22);
        MD5_F(a, b, c, d, x8, 0x698098d8, 7);
        MD5_F(d, a, b, c, x9, 0x8b44f7af, 12);
        MD5_F(c, d, a, b, x10, 0xffff5bb1, 17);
        MD5_F(b, c, d, a, x11, 0x895cd7be, 22);
        MD5_F(a, b, c, d, x12, 0x6b901122, 7);
        MD5_F(d, a, b, c, x13, 0xfd987193, 12);
        MD5_F(c, d, a, b, x14, 0xa679438e, 17);
        MD5_F(b, c, d, a, x15, 0x49b40821, 22);

        MD5_G(a, b, c, d, x1, 0xf61e2562, 5);
        MD5_G(d, a, b, c, x6, 0xc040b340, 9);
        MD5_G(c, d, a, b, x11, 0x265e5a51, 14);
        MD5_G(b, c, d, a, x0, 0xe9b6c7aa, 20);
        MD5_G(a, b, c, d, x5, 0xd62f105d, 5);
        MD5_G(d, a, b, c, x10, 0x02441453, 9);
        MD5_G(c, d, a, b, x15, 0xd8a1e681, 14);
        MD5_G(b, c, d, a, x4, 0xe7d3fbc8, 20);
        MD5_G(a, b, c, d, x9, 0x21e1cde6, 5);
        MD5_G(d, a, b, c, x14, 0xc33707d6, 9);
        MD5_G(c, d, a, b, x3, 0xf4d50d87, 14);
        MD5_G(b, c, d, a, x8, 0x455a14ed, 20);
        MD5_G(a, b, c, d, x13, 0xa9e3e905, 5);
        MD5_G(d, a, b, c, x2, 0xfcefa3f8, 9);
        MD5_G(c, d, a, b, x7, 0x676f02d9, 14);
        MD5_G(b, c, d, a, x12, 0x8d2a4c8a, 20);

        MD5_H(a, b, c, d, x5, 0xfffa3942, 4);
        MD5_H(d, a, b, c, x8, 0x8771f681, 11);
        MD5_H(c, d, a, b, x11, 0x6d9d6122, 16);
        MD5_H(b, c, d, a, x14, 0xfde5380c, 23);
        MD5_H(a, b, c, d, x1, 0xa4beea44, 4);
        MD5_H(d, a, b, c, x4, 0x4bdecfa9, 11);
        MD5_H(c, d, a, b, x7, 0xf6bb4b60, 16);
        MD5_H(b, c, d, a, x10, 0xbebfbc70, 23);
        MD5_H(a, b, c, d, x13, 0x289b7ec6, 4);
        MD5_H(d, a, b, c, x0, 0xeaa127fa, 11);
        MD5_H(c, d, a, b, x3, 0xd4ef3085, 16);
        MD5_H(b, c, d, a, x6, 0x04881d05, 23);
        MD5_H(a, b, c, d, x9, 0xd9d4d039, 4);
        MD5_H(d, a, b, c, x12, 0xe6db99e5, 11);
        MD5_H(c, d, a, b, x15, 0x1fa27cf8, 16);
        MD5_H(b, c, d, a, x2, 0xc4ac5665, 23);

        MD5_I(a, b, c, d, x0, 0xf4292244, 6);
        MD5_I(d, a, b, c, x7, 0x432aff97, 10);
        MD5_I(c, d, a, b, x14, 0xab9423a7, 15);
        MD5_I(b, c, d, a, x5, 0xfc93a039, 21);
        MD5_I(a, b, c, d, x12, 0x655b59c3, 6);
        MD5_I(d, a, b, c, x3, 0x8f0ccc92, 10);
        MD5_I(c, d, a, b, x10, 0xffeff47d, 15);
        MD5_I(b, c, d, a, x1, 0x85845dd1, 21);
        MD5_I(a, b, c, d, x8, 0x6fa87e4f, 6);
        MD5_I(d, a, b, c, x15, 0xfe2ce6e0, 10);
        MD5_I(c, d, a, b, x6, 0xa3014314, 15);
        MD5_I(b, c, d, a, x13, 0x4e0811a1, 21);
        MD5_I(a, b, c, d, x4, 0xf7537e82, 6);
        MD5_I(d, a, b, c, x11, 0xbd3af235, 10);
        MD5_I(c, d, a, b, x2, 0x2ad7d2bb, 15);
        MD5_I(b, c, d, a, x9, 0xeb86d391, 21);

        a += sa;
        b += sb;
        c += sc;
        d += sd;
    }
    ctx->a = a;
    ctx->b = b;
    ctx->c = c;
    ctx->d = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

void absorb_buffer(md5_context* ctx) {
    transform(ctx, ctx->buf, 1);
    ctx->buffered = 0;
    ++ctx->blocks;
}

void write_text(const md5_context& ctx, char out[MD5_TEXT_SIZE]) {
    for (int i = 0; i < 16; ++i) std::snprintf(out + 2 * i, 3, "%02x", ctx.buf[i]);
    out[32] = '\0';
}

}  // namespace

void md5_init(md5_context* ctx) {
    ctx->a = 0x67452301;
    ctx->b = 0xefcdab89;
    ctx->c = 0x98badcfe;
    ctx->d = 0x10325476;
    ctx->blocks = 0;
    std::memset(ctx->buf, 0, sizeof ctx->buf);
    ctx->buffered = 0;
}

void md5_update(md5_context* ctx, const void* data, uint64_t len) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (ctx->buffered >= static_cast<int32_t>(BLOCK)) absorb_buffer(ctx);
    if (len == 0) return;
    if (ctx->buffered > 0) {
        uint64_t room = BLOCK - static_cast<uint64_t>(ctx->buffered);
        uint64_t take = len < room ? len : room;
        std::memcpy(ctx->buf + ctx->buffered, p, take);
        ctx->buffered += static_cast<int32_t>(take);
        p += take;
        len -= take;
        if (ctx->buffered < static_cast<int32_t>(BLOCK)) return;
        absorb_buffer(ctx);
    }
    uint64_t whole = len / BLOCK;
    if (whole > 0) {
        transform(ctx, p, whole);
        ctx->blocks += static_cast<uint32_t>(whole);
        p += whole * BLOCK;
        len -= whole * BLOCK;
    }
    if (len > 0) {
        std::memcpy(ctx->buf, p, len);
        ctx->buffered = static_cast<int32_t>(len);
    }
}

void md5_final(md5_context* ctx) {
    if (ctx->buffered >= static_cast<int32_t>(BLOCK)) absorb_buffer(ctx);
    // Taken before any padding block is transformed.
    uint64_t bits = (static_cast<uint64_t>(ctx->blocks) * BLOCK + static_cast<uint64_t>(ctx->buffered)) * 8;
    int32_t n = ctx->buffered;
    ctx->buf[n++] = 0x80;
    if (n > LENGTH_AT) {
        std::memset(ctx->buf + n, 0, BLOCK - static_cast<size_t>(n));
        transform(ctx, ctx->buf, 1);
        n = 0;
    }
    std::memset(ctx->buf + n, 0, static_cast<size_t>(LENGTH_AT - n));
    store_le32(ctx->buf + LENGTH_AT, static_cast<uint32_t>(bits));
    store_le32(ctx->buf + LENGTH_AT + 4, static_cast<uint32_t>(bits >> 32));
    transform(ctx, ctx->buf, 1);
    ctx->buffered = 0;
    store_le32(ctx->buf, ctx->a);
    store_le32(ctx->buf + 4, ctx->b);
    store_le32(ctx->buf + 8, ctx->c);
    store_le32(ctx->buf + 12, ctx->d);
}

namespace {

// Opens path for reading through a bigger stream buffer (the caller's, which
// must outlive the stream); reports an unopenable file on stderr.
FilePtr open_for_digest(const char* path, char (&stream_buffer)[STREAM_BUFFER_SIZE]) {
    FilePtr fp{plat_fopen(path, "rb")};
    if (!fp) {
        std::fprintf(stderr, "can't open `%s': %s\n", path, std::strerror(errno));
        return fp;
    }
    std::setvbuf(fp.get(), stream_buffer, _IOFBF, sizeof stream_buffer);
    return fp;
}

}  // namespace

namespace {

// The digests of the first limits[0] and limits[1] bytes of a file (of the
// whole file where it is shorter), in one read. Limits are 64-bit: reading
// simply stops at the end of the file, so no file size is ever narrowed.
int32_t digest_file(const char* path, char* const outs[2], const int64_t limits[2], int64_t offset = 0) {
    unsigned char data[MD5_READ_SIZE] = {};
    // Declared before the stream so that it outlives it.
    char stream_buffer[STREAM_BUFFER_SIZE];
    FilePtr fp = open_for_digest(path, stream_buffer);
    if (!fp) return -1;
    if (offset > 0 && fseeko(fp.get(), static_cast<off_t>(offset), SEEK_SET) != 0) {
        std::fprintf(stderr, "error reading `%s': %s\n", path, std::strerror(errno));
        return -1;
    }
    md5_context ctx, at_first;
    md5_init(&ctx);
    int first = limits[0] <= limits[1] ? 0 : 1;  // the shorter prefix ends first
    int64_t done = 0, end = limits[1 - first];
    bool first_taken = false;
    while (done < end) {
        // A read never crosses the end of the shorter prefix: its state is
        // copied there and the longer one goes on from it.
        int64_t stop = !first_taken && limits[first] > done ? limits[first] : end;
        size_t want = stop - done < MD5_READ_SIZE ? static_cast<size_t>(stop - done) : sizeof data;
        size_t got = std::fread(data, 1, want, fp.get());
        if (got == 0) break;
        md5_update(&ctx, data, got);
        done += static_cast<int64_t>(got);
        if (!first_taken && done >= limits[first]) at_first = ctx, first_taken = true;
    }
    if (std::ferror(fp.get())) {
        std::fprintf(stderr, "error reading `%s': %s\n", path, std::strerror(errno));
        return -1;
    }
    if (!first_taken) at_first = ctx;  // the file ended before either limit
    close_file(fp);
    md5_final(&ctx);
    md5_final(&at_first);
    write_text(at_first, outs[first]);
    if (outs[1 - first] != outs[first]) write_text(ctx, outs[1 - first]);
    return 0;
}

}  // namespace

int32_t get_md5sum(const char* path, char out[MD5_TEXT_SIZE]) {
    char* const outs[2] = {out, out};
    const int64_t limits[2] = {INT64_MAX, INT64_MAX};
    return digest_file(path, outs, limits);
}

int32_t get_md5sum2(const char* path, char out[MD5_TEXT_SIZE], int32_t len) {
    return get_md5sum2_pair(path, out, len, out, len);
}

int32_t get_md5sum2_pair(const char* path, char out_a[MD5_TEXT_SIZE], int32_t len_a, char out_b[MD5_TEXT_SIZE],
                         int32_t len_b, int64_t offset) {
    if (len_a <= 0 || len_b <= 0) {
        std::fprintf(stderr, "get_md5sum2 len error, %s\n", path);
        return -1;
    }
    char* const outs[2] = {out_a, out_b};
    const int64_t limits[2] = {len_a, len_b};
    return digest_file(path, outs, limits, offset);
}

int32_t md5_equal(const char* first, const char* second) {
    if (!first || !second) return 0;
    if (::strnlen(first, 33) != 32) return 0;
    if (::strnlen(second, 33) != 32) return 0;
    return std::memcmp(first, second, 32) == 0 ? 1 : 0;
}
