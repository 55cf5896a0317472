// SHA-256 digests (FIPS 180-4) for the signed package manifest. The engine
// uses the processor's SHA instructions where it has them (x86 SHA
// extensions, ARMv8 cryptography extensions), found at run time, so that
// checking a package costs no more than its MD5 digests.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int SHA256_SIZE = 32;
inline constexpr int SHA256_TEXT_SIZE = 65;  // 64 lowercase hex characters and a NUL

struct sha256_context {
    uint32_t state[8];
    uint64_t length;  // bytes absorbed so far
    unsigned char buf[64];
    uint32_t buffered;  // bytes held in buf, 0 to 63
};

void sha256_init(sha256_context* ctx);
// Any number of calls, any lengths, 0 included.
void sha256_update(sha256_context* ctx, const void* data, size_t len);
void sha256_final(sha256_context* ctx, unsigned char out[SHA256_SIZE]);

// Digest text of bytes in memory (a link's target, a manifest entry).
void sha256_text(const void* data, size_t len, char out[SHA256_TEXT_SIZE]);

// Digest text and size of a whole file, read once through the platform seam.
// 0, or -1 with a line on stderr; out and size then untouched.
int32_t get_sha256sum(const char* path, char out[SHA256_TEXT_SIZE], int64_t* size);

// Test seam: true makes every later block go through the portable engine,
// false through the best one the processor has. The result says whether the
// processor's instructions are now in use.
bool sha256_force_portable(bool portable);
