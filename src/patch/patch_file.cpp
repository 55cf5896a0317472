#include "patch/patch_file.h"

#include <bzlib.h>
#include <sys/mman.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace {

constexpr int64_t kHeaderSize = 32;
constexpr int64_t kWriteItem = 1024;

// Sign and magnitude, little-endian; the sign is the top bit of byte 7.
int64_t decode_offset(const unsigned char* b) {
    uint64_t mag = b[7] & 0x7fu;
    for (int i = 6; i >= 0; --i) mag = (mag << 8) | b[i];
    int64_t v = static_cast<int64_t>(mag);  // at most 2^63 - 1
    return (b[7] & 0x80u) ? -v : v;
}

struct FreeDeleter {
    void operator()(uint8_t* p) const noexcept { std::free(p); }
};
using ImagePtr = std::unique_ptr<uint8_t[], FreeDeleter>;

// A buffer of size + 1 bytes (the extra byte keeps an empty image a real
// allocation). Null when the size cannot be represented or allocated.
//
// Images are tens of megabytes and every page of them gets touched, so for
// large ones the page faults are a visible share of the patch time; they are
// asked for in huge pages where the kernel offers them. Only whole huge pages
// are advised: a partly used last one would be resident memory for nothing.
ImagePtr alloc_image(int64_t size) {
    constexpr size_t kHugePage = size_t{2} << 20;
    if (size < 0 || static_cast<uint64_t>(size) >= SIZE_MAX - kHugePage) return nullptr;
    size_t n = static_cast<size_t>(size) + 1;
    if (n < 4 * kHugePage) return ImagePtr(static_cast<uint8_t*>(std::malloc(n)));
    void* p = std::aligned_alloc(kHugePage, (n + kHugePage - 1) / kHugePage * kHugePage);
    if (p) madvise(p, n / kHugePage * kHugePage, MADV_HUGEPAGE);  // only advice: its failure changes nothing
    return ImagePtr(static_cast<uint8_t*>(p));
}

// One of the three blocks of the patch, decoded from its own handle so that
// the streams advance independently of each other.
struct BlockReader {
    FilePtr fp;
    BZFILE* bz = nullptr;
    int err = BZ_OK;
    bool ended = false;  // a read has met the end of the stream

    BlockReader() = default;
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;
    ~BlockReader() { close(); }

    // The bzip2 stream reads through fp, so it must go first.
    void close() {
        if (bz) {
            int close_err = BZ_OK;
            BZ2_bzReadClose(&close_err, bz);
            bz = nullptr;
        }
        fp.reset();
    }
};

// name is the handle's short name in the diagnostics: cpf, dpf or epf.
// small selects bzip2's small-memory decoder (about 2.5 instead of 4 bytes
// per block byte, at roughly half the speed).
int open_block(BlockReader& r, const char* name, const char* patch_path, int64_t offset, int small) {
    r.fp.reset(plat_fopen(patch_path, "r"));
    if (!r.fp) {
        std::printf("%s open failed, %s, %s\n", name, patch_path, std::strerror(errno));
        return -1;
    }
    if (fseeko(r.fp.get(), static_cast<off_t>(offset), SEEK_SET) != 0) {
        std::printf("%s fseeko(%" PRId64 ") failed, %s, %s\n", name, offset, patch_path, std::strerror(errno));
        return -1;
    }
    r.bz = BZ2_bzReadOpen(&r.err, r.fp.get(), 0, small, nullptr, 0);
    if (!r.bz || r.err != BZ_OK) {
        std::printf("%sbz2 BZ2_bzReadOpen error! bz2err = %d\n", name, r.err);
        return -1;
    }
    return 0;
}

bool read_ok(const BlockReader& r) { return r.err == BZ_OK || r.err == BZ_STREAM_END; }

// Reads exactly len bytes; false on a short read or a stream error.
bool read_block(BlockReader& r, uint8_t* dst, int32_t len, int* got) {
    *got = BZ2_bzRead(&r.err, r.bz, dst, len);
    if (r.err == BZ_STREAM_END) r.ended = true;
    return *got == len && read_ok(r);
}

// bzip2 hands out a block's bytes before it has checked that block's CRC,
// and the last block's CRC and the stream's own are only checked when the end
// of the stream is read. So a stream counts as intact only once its end has
// been seen, and that end must be where the patch stops taking bytes from it:
// anything else is a damaged or cut patch whose image cannot be trusted.
int check_stream_end(BlockReader& r, const char* name) {
    if (r.ended) return 0;
    uint8_t byte = 0;
    int got = 0;
    read_block(r, &byte, 1, &got);
    if (got == 0 && r.err == BZ_STREAM_END) return 0;
    std::printf("Corrupt patch: %sbz2 stream does not end with the image! readlen=%d bz2err=%d\n", name, got,
                r.err);
    return -1;
}

// dst[i] += old[old_pos + i] for the part of [old_pos, old_pos + len) that
// lies inside the old image; elsewhere the diff bytes stand unchanged. The
// bounds are settled here so that the loop itself is a plain vectorisable
// byte add over two separate buffers.
void add_old_bytes(uint8_t* __restrict dst, const uint8_t* __restrict old, int64_t old_size, int64_t old_pos,
                   int64_t len) {
    // old_pos may be anywhere in the 64-bit range; len < 2^31 keeps -len and
    // old_size - old_pos (once old_pos > -len) free of overflow.
    if (len <= 0 || old_pos >= old_size || old_pos <= -len) return;
    int64_t lo = old_pos < 0 ? -old_pos : 0;
    int64_t hi = old_size - old_pos < len ? old_size - old_pos : len;
    uint8_t* __restrict d = dst + lo;
    const uint8_t* __restrict s = old + (old_pos + lo);
    size_t n = static_cast<size_t>(hi - lo);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(d[i] + s[i]);
}

// Reads one control triple. Values that no patch of a 2 GiB image can hold,
// and negative byte counts, are refused here, before any diff or extra byte
// is taken on their account.
int read_control(BlockReader& ctrl, int32_t out[3]) {
    for (int i = 0; i < 3; ++i) {
        unsigned char buf[8];
        std::memset(buf, 0, sizeof buf);
        int got = 0;
        if (!read_block(ctrl, buf, 8, &got)) {
            std::printf("cpfbz2 BZ2_bzRead error! readlen=%d cbz2err=%d\n", got, ctrl.err);
            return -1;
        }
        int64_t v = decode_offset(buf);
        if (v < INT32_MIN || v > INT32_MAX) {
            std::printf("Corrupt patch: ctrl[%d] = %" PRId64 " is out of the 32-bit range\n", i, v);
            return -1;
        }
        if (i < 2 && v < 0) {
            std::printf("Corrupt patch: ctrl[%d] = %" PRId64 " is negative\n", i, v);
            return -1;
        }
        out[i] = static_cast<int32_t>(v);
    }
    return 0;
}

int write_image(FILE* fp, const uint8_t* img, int64_t size) {
    int64_t off = 0;
    while (off < size - kWriteItem) {
        size_t ret = std::fwrite(img + off, kWriteItem, 1, fp);
        if (ret != 1) {
            std::printf("fwrite error, ret: %d, %s\n", static_cast<int>(ret), std::strerror(errno));
            return -1;
        }
        off += kWriteItem;
    }
    // An empty image has no final piece: the empty file is the result.
    if (size > off) {
        size_t ret = std::fwrite(img + off, static_cast<size_t>(size - off), 1, fp);
        if (ret != 1) {
            std::printf("fwrite error, ret: %d, %s\n", static_cast<int>(ret), std::strerror(errno));
            return -1;
        }
    }
    return 0;
}

}  // namespace

int patch_file(const char* old_path, const char* new_path, const char* patch_path) {
    // --- Header.
    unsigned char header[kHeaderSize];
    int64_t ctrl_len = 0, diff_len = 0, new_size = 0, patch_size = 0;
    {
        FilePtr pf(plat_fopen(patch_path, "r"));
        if (!pf) {
            std::printf("fopen(%s) error!\n", patch_path);
            return -1;
        }
        if (std::fread(header, 1, sizeof header, pf.get()) < sizeof header) {
            std::printf("Corrupt patch\n");
            return -1;
        }
        if (std::memcmp(header, "BSDIFF40", 8) != 0) {
            std::printf("check magic error, %.32s\n", reinterpret_cast<const char*>(header));
            return -1;
        }
        ctrl_len = decode_offset(header + 8);
        diff_len = decode_offset(header + 16);
        new_size = decode_offset(header + 24);
        if (ctrl_len < 0 || diff_len < 0 || new_size < 0) {
            std::printf("bzctrllen bzdatalen newsize error!\n");
            return -1;
        }
        if (fseeko(pf.get(), 0, SEEK_END) != 0 || (patch_size = ftello(pf.get())) < 0) {
            std::printf("patch size of %s unknown, %s\n", patch_path, std::strerror(errno));
            return -1;
        }
        if (close_file(pf) != 0) {
            std::printf("fclose error\n");
            return -1;
        }
    }
    // Lengths that point past the end would only show up later as a confusing
    // bzip2 error on the wrong bytes; their sum may not even be an offset.
    if (ctrl_len > patch_size - kHeaderSize || diff_len > patch_size - kHeaderSize - ctrl_len) {
        std::printf("Corrupt patch: bzctrllen %" PRId64 " + bzdatalen %" PRId64 " overrun the %" PRId64
                    "-byte patch\n",
                    ctrl_len, diff_len, patch_size);
        return -1;
    }

    // --- Streams and images. Every early return below releases, through the
    // holders, exactly what was opened or allocated so far.
    // Beyond the two images the memory goes to the three decoders, each up to
    // 3.6 MB for a full-size block. The control stream is a few percent of
    // the bytes decoded, read 8 at a time: its decoder's speed does not show,
    // so it runs in small-memory mode and keeps the decoders within 8 MiB.
    BlockReader ctrl, diff, extra;
    if (open_block(ctrl, "cpf", patch_path, kHeaderSize, 1) != 0) return -1;
    if (open_block(diff, "dpf", patch_path, kHeaderSize + ctrl_len, 0) != 0) return -1;
    if (open_block(extra, "epf", patch_path, kHeaderSize + ctrl_len + diff_len, 0) != 0) return -1;

    FilePtr old_fp(plat_fopen(old_path, "rb"));
    if (!old_fp) {
        std::printf("fp_old open failed, %s, %s\n", old_path, std::strerror(errno));
        return -1;
    }
    int64_t old_size = -1;
    if (fseeko(old_fp.get(), 0, SEEK_END) == 0) old_size = ftello(old_fp.get());
    if (old_size <= 0) {
        std::printf("oldsize error!\n");
        return -1;
    }
    if (fseeko(old_fp.get(), 0, SEEK_SET) != 0) {
        std::printf("old file fread error\n");
        return -1;
    }
    ImagePtr old_img = alloc_image(old_size);
    if (!old_img) {
        std::printf("old image allocation of %" PRId64 " bytes failed\n", old_size);
        return -1;
    }
    if (std::fread(old_img.get(), static_cast<size_t>(old_size), 1, old_fp.get()) != 1) {
        std::printf("old file fread error\n");
        return -1;
    }
    ImagePtr new_img = alloc_image(new_size);
    if (!new_img) {
        std::printf("new image allocation of %" PRId64 " bytes failed\n", new_size);
        return -1;
    }

    // --- Reconstruction.
    uint8_t* const img = new_img.get();
    int64_t new_pos = 0, old_pos = 0;
    while (new_pos < new_size) {
        int32_t c[3];
        if (read_control(ctrl, c) != 0) return -1;
        int got = 0;

        if (c[0] > new_size - new_pos) {
            std::printf("newpos + ctrl[0] error!\n");
            return -1;
        }
        if (!read_block(diff, img + new_pos, c[0], &got)) {
            std::printf("dpfbz2 BZ2_bzRead error!\n");
            return -1;
        }
        add_old_bytes(img + new_pos, old_img.get(), old_size, old_pos, c[0]);
        new_pos += c[0];
        // A real patch keeps the old position within a few GiB of the old
        // image; only a crafted chain of moves can drive it to the limit.
        if (__builtin_add_overflow(old_pos, c[0], &old_pos)) {
            std::printf("Corrupt patch: old position overflow\n");
            return -1;
        }

        if (c[1] > new_size - new_pos) {
            std::printf("newpos + ctrl[1] error!\n");
            return -1;
        }
        if (!read_block(extra, img + new_pos, c[1], &got)) {
            std::printf("epfbz2 BZ2_bzRead error!\n");
            return -1;
        }
        new_pos += c[1];
        if (__builtin_add_overflow(old_pos, c[2], &old_pos)) {
            std::printf("Corrupt patch: old position overflow\n");
            return -1;
        }
    }

    if (check_stream_end(ctrl, "cpf") != 0 || check_stream_end(diff, "dpf") != 0 ||
        check_stream_end(extra, "epf") != 0)
        return -1;

    // --- Output. Decoder states and the old image go before the output is
    // touched: they are no longer needed, and old_path may be new_path.
    old_img.reset();
    old_fp.reset();
    ctrl.close();
    diff.close();
    extra.close();

    // The stream's default buffer would turn the image into a write call per
    // 4 KiB. Declared before the stream, so that it outlives it.
    constexpr size_t kOutBuffer = size_t{256} << 10;
    ImagePtr out_buf(static_cast<uint8_t*>(std::malloc(kOutBuffer)));
    FilePtr out(plat_fopen(new_path, "wb+"));
    if (!out) {
        std::printf("fp_new open failed, %s, %s\n", new_path, std::strerror(errno));
        return -1;
    }
    if (out_buf) std::setvbuf(out.get(), reinterpret_cast<char*>(out_buf.get()), _IOFBF, kOutBuffer);
    if (write_image(out.get(), img, new_size) != 0) return -1;
    // The callers digest the file and copy it onward at once; it has to be
    // on storage, not in a cache, before they do.
    if (plat_fsync(out.get()) != 0) {
        std::printf("fsync(%s) error, %s\n", new_path, std::strerror(errno));
        return -1;
    }
    if (close_file(out) != 0) {
        std::printf("fclose(%s) error, %s\n", new_path, std::strerror(errno));
        return -1;
    }
    return 0;
}
