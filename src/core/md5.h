// MD5 digests (RFC 1321): the engine, and the three operations through which
// the agent decides whether a partition, chunk or file is old, new or
// neither. Digests travel as text: 32 lowercase hex characters and a NUL in a
// 33-byte buffer that the caller clears before use.
#pragma once

#include <cstdint>

inline constexpr int MD5_TEXT_SIZE = 33;
inline constexpr int MD5_READ_SIZE = 4096;

struct md5_context {
    uint32_t a;
    uint32_t b;
    uint32_t c;
    uint32_t d;
    // 64-byte blocks absorbed so far.
    uint32_t blocks;
    // Bytes of an incomplete block; after md5_final its first 16 bytes hold
    // the digest (a, b, c, d, each little-endian).
    unsigned char buf[64];
    // Bytes held in buf, 0 to 64.
    int32_t buffered;
};

void md5_init(md5_context* ctx);
// Any number of calls, any lengths, 0 included. Whole blocks are transformed
// straight from data; only the bytes of an incomplete block are copied.
void md5_update(md5_context* ctx, const void* data, uint64_t len);
void md5_final(md5_context* ctx);

// Digest text of a whole file. 0, or -1 with a line on stderr ("can't open"
// or "error reading"), the text then untouched.
int32_t get_md5sum(const char* path, char out[MD5_TEXT_SIZE]);
// Digest text of the first len bytes of a file, of all of it when it is
// shorter. A len of 0 or less fails before the file is opened.
int32_t get_md5sum2(const char* path, char out[MD5_TEXT_SIZE], int32_t len);
// The digests of two prefixes of a file (from offset on) in the one read of
// the longer: where a partition, or a block of it, may hold an old or a new
// image of another size.
int32_t get_md5sum2_pair(const char* path, char out_a[MD5_TEXT_SIZE], int32_t len_a, char out_b[MD5_TEXT_SIZE],
                         int32_t len_b, int64_t offset = 0);
// 1 when both texts are exactly 32 characters long and equal byte for byte
// (case matters, nothing is trimmed), else 0.
int32_t md5_equal(const char* first, const char* second);
