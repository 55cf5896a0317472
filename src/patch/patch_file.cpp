#include "patch/patch_file.h"

#include <bzlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/md5.h"
#include "platform/platform.h"

namespace {

constexpr int64_t kHeaderSize = 32;
// The part of the new image held at a time when it is written as it is made.
constexpr int64_t kWindow = int64_t{1} << 20;

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

// The old image, read-only. Mapped from its file where the file allows it:
// nothing is copied, and the pages are the page cache's own, so an image in
// a RAM file system is not held twice. Read into memory otherwise.
struct OldImage {
    const uint8_t* data = nullptr;
    int64_t size = 0;
    void* map = MAP_FAILED;
    size_t map_len = 0;
    ImagePtr copy;

    OldImage() = default;
    OldImage(const OldImage&) = delete;
    OldImage& operator=(const OldImage&) = delete;
    ~OldImage() { reset(); }

    void reset() {
        if (map != MAP_FAILED) munmap(map, map_len);
        map = MAP_FAILED;
        copy.reset();
        data = nullptr;
    }
};

// limit: the old image is the limit bytes of the file from offset on, or all
// of it when limit is negative.
int load_old(const char* old_path, int64_t limit, int64_t offset, OldImage& old) {
    // Through the stream: its open refuses what would hang the run (a FIFO).
    FilePtr fp(plat_fopen(old_path, "rb"));
    if (!fp) {
        std::printf("fp_old open failed, %s, %s\n", old_path, std::strerror(errno));
        return -1;
    }
    int64_t size = -1;
    if (fseeko(fp.get(), 0, SEEK_END) == 0) size = ftello(fp.get());
    size = offset < 0 || size < offset ? -1 : size - offset;
    if (limit >= 0 && size >= 0) size = limit <= size ? limit : -1;
    if (size <= 0) {
        std::printf("oldsize error!\n");
        return -1;
    }
    old.size = size;
    // A mapping starts on a page: the bytes before offset in its first page
    // are mapped too and skipped.
    const int64_t skip = offset % static_cast<int64_t>(sysconf(_SC_PAGESIZE));
    if (static_cast<uint64_t>(size + skip) <= SIZE_MAX) {
        const size_t len = static_cast<size_t>(size + skip);
        void* p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fileno(fp.get()), static_cast<off_t>(offset - skip));
        if (p != MAP_FAILED) {
            old.map = p;
            old.map_len = len;
            old.data = static_cast<const uint8_t*>(p) + skip;
            return 0;
        }
    }
    if (fseeko(fp.get(), static_cast<off_t>(offset), SEEK_SET) != 0) {
        std::printf("old file fread error\n");
        return -1;
    }
    old.copy = alloc_image(size);
    if (!old.copy) {
        std::printf("old image allocation of %" PRId64 " bytes failed\n", size);
        return -1;
    }
    if (std::fread(old.copy.get(), static_cast<size_t>(size), 1, fp.get()) != 1) {
        std::printf("old file fread error\n");
        return -1;
    }
    old.data = old.copy.get();
    return 0;
}

// Digests and writes n bytes in pieces of the window's size, so that each
// piece is still in the cache when it is written after its digest.
int emit(FILE* fp, md5_context* md5, const uint8_t* p, int64_t n) {
    while (n > 0) {
        const size_t k = n < kWindow ? static_cast<size_t>(n) : static_cast<size_t>(kWindow);
        md5_update(md5, p, k);
        size_t ret = std::fwrite(p, k, 1, fp);
        if (ret != 1) {
            std::printf("fwrite error, ret: %d, %s\n", static_cast<int>(ret), std::strerror(errno));
            return -1;
        }
        p += k;
        n -= static_cast<int64_t>(k);
    }
    return 0;
}

// Where the reconstruction puts the new image: either all of it (fp null),
// written only once the whole patch has proved intact, or a window of it
// that goes to fp each time it fills.
struct Output {
    uint8_t* buf = nullptr;
    int64_t cap = 0;  // the image's size when whole: it then never fills up early
    int64_t fill = 0;
    FILE* fp = nullptr;
    md5_context md5;
};

// Moves len bytes of block r into the output, a window at a time. With old,
// they are diff bytes and get the old bytes from old_pos on added.
int take(Output& out, BlockReader& r, const char* name, int32_t len, const OldImage* old, int64_t old_pos) {
    int64_t done = 0;
    do {
        if (out.fill == out.cap && done < len) {
            if (emit(out.fp, &out.md5, out.buf, out.fill) != 0) return -1;
            out.fill = 0;
        }
        const int64_t n = std::min<int64_t>(len - done, out.cap - out.fill);
        int got = 0;
        if (!read_block(r, out.buf + out.fill, static_cast<int32_t>(n), &got)) {
            std::printf("%sbz2 BZ2_bzRead error!\n", name);
            return -1;
        }
        if (old) {
            // A position beyond the 64-bit range is beyond the old image too;
            // the overflow itself is refused once the whole step is taken.
            int64_t pos;
            if (__builtin_add_overflow(old_pos, done, &pos)) pos = INT64_MAX;
            add_old_bytes(out.buf + out.fill, old->data, old->size, pos, n);
        }
        out.fill += n;
        done += n;
    } while (done < len);
    return 0;
}

int open_output(const char* new_path, FilePtr& fp) {
    fp.reset(plat_fopen(new_path, "wb+"));
    if (!fp) {
        std::printf("fp_new open failed, %s, %s\n", new_path, std::strerror(errno));
        return -1;
    }
    // The image goes out in pieces of a window or more: a stream buffer
    // would only copy them once more.
    std::setvbuf(fp.get(), nullptr, _IONBF, 0);
    return 0;
}

// The same file under two names (a link, a path spelt another way) counts
// as the same file: writing one while reading the other would destroy input.
bool same_file(const char* a, const char* b) {
    if (std::strcmp(a, b) == 0) return true;
    struct stat sa, sb;
    return plat_stat(a, &sa) == 0 && plat_stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void write_text(md5_context* md5, char out[33]) {
    static const char kHex[] = "0123456789abcdef";
    md5_final(md5);
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = kHex[md5->buf[i] >> 4];
        out[2 * i + 1] = kHex[md5->buf[i] & 15];
    }
    out[32] = '\0';
}

}  // namespace

int patch_file(const char* old_path, const char* new_path, const char* patch_path) {
    char md5[MD5_TEXT_SIZE];
    return patch_file_md5(old_path, new_path, patch_path, md5);
}

int patch_file_md5(const char* old_path, const char* new_path, const char* patch_path, char md5_out[33],
                   int64_t old_size, int64_t old_offset) {
    // Decided before anything is opened: the output overwrites an input
    // (the patch too, were it ever named as the output) only after the
    // reconstruction has succeeded as a whole.
    const bool whole = same_file(old_path, new_path) || same_file(patch_path, new_path);

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
    // Beyond the old image the memory goes to the three decoders, each up to
    // 3.6 MB for a full-size block, and to the new image or its window. The
    // control stream is a few percent of the bytes decoded, read 8 at a time:
    // its decoder's speed does not show, so it runs in small-memory mode and
    // keeps the decoders within 8 MiB.
    BlockReader ctrl, diff, extra;
    if (open_block(ctrl, "cpf", patch_path, kHeaderSize, 1) != 0) return -1;
    if (open_block(diff, "dpf", patch_path, kHeaderSize + ctrl_len, 0) != 0) return -1;
    if (open_block(extra, "epf", patch_path, kHeaderSize + ctrl_len + diff_len, 0) != 0) return -1;

    OldImage old;
    if (load_old(old_path, old_size, old_offset, old) != 0) return -1;
    const int64_t held = whole ? new_size : std::min(new_size, kWindow);
    ImagePtr new_img = alloc_image(held);
    if (!new_img) {
        std::printf("new image allocation of %" PRId64 " bytes failed\n", held);
        return -1;
    }
    Output out;
    out.buf = new_img.get();
    out.cap = held;
    md5_init(&out.md5);
    // Written as it is made, the output is garbage until the call succeeds;
    // callers trust it only with its digest.
    FilePtr out_fp;
    if (!whole) {
        if (open_output(new_path, out_fp) != 0) return -1;
        out.fp = out_fp.get();
    }

    // --- Reconstruction.
    int64_t new_pos = 0, old_pos = 0;
    while (new_pos < new_size) {
        int32_t c[3];
        if (read_control(ctrl, c) != 0) return -1;

        if (c[0] > new_size - new_pos) {
            std::printf("newpos + ctrl[0] error!\n");
            return -1;
        }
        if (take(out, diff, "dpf", c[0], &old, old_pos) != 0) return -1;
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
        if (take(out, extra, "epf", c[1], nullptr, 0) != 0) return -1;
        new_pos += c[1];
        if (__builtin_add_overflow(old_pos, c[2], &old_pos)) {
            std::printf("Corrupt patch: old position overflow\n");
            return -1;
        }
    }

    if (check_stream_end(ctrl, "cpf") != 0 || check_stream_end(diff, "dpf") != 0 ||
        check_stream_end(extra, "epf") != 0)
        return -1;

    // --- Output. Built whole, the image goes out only now, and decoder
    // states and the old image go before the output is touched: they are no
    // longer needed, and old_path may be new_path.
    if (whole) {
        old.reset();
        ctrl.close();
        diff.close();
        extra.close();
        if (open_output(new_path, out_fp) != 0) return -1;
        out.fp = out_fp.get();
    }
    if (emit(out.fp, &out.md5, out.buf, out.fill) != 0) return -1;
    // The callers copy the file onward at once; it has to be on storage, not
    // in a cache, before they do.
    if (plat_fsync(out.fp) != 0) {
        std::printf("fsync(%s) error, %s\n", new_path, std::strerror(errno));
        return -1;
    }
    if (close_file(out_fp) != 0) {
        std::printf("fclose(%s) error, %s\n", new_path, std::strerror(errno));
        return -1;
    }
    write_text(&out.md5, md5_out);
    return 0;
}
