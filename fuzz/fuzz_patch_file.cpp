// libFuzzer targets for patch_file against a fixed old image, in a scratch
// simulated device root.
//
// fuzz_patch_file takes the input as the patch file itself. Most mutations
// of it die at a bzip2 checksum, so fuzz_patch_streams (this file built with
// DFOTA_FUZZ_STREAMS) takes the decompressed contents instead and wraps them
// into a well-formed patch, which drives the control triples, the positions
// and the stream ends far harder:
//   8 bytes  new size (the header's encoding)
//   4 bytes  control length, 4 bytes diff length (little-endian, clamped)
//   control bytes, diff bytes, and the rest is the extra block.
//
// Besides the sanitizers' own findings both check the patcher's promises
// about the output: an accepted patch produces exactly the claimed number of
// bytes, with the digest reported; in place, the verdict and the image are
// the same, and a refused patch leaves the file as it was.
#include <bzlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/md5.h"
#include "firmware_image.h"
#include "patch/patch_file.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSentinel = "output before the patch";
// Claims above this are not worth an allocation per input: the failure of an
// impossible allocation is covered by the unit tests, and a successful
// multi-gigabyte one only slows the fuzzer down (and trips its malloc limit).
constexpr int64_t kMaxClaim = int64_t{64} << 20;

std::string g_root;

std::string host(const char* device_path) { return g_root + device_path; }

void put_file(const std::string& path, const void* data, size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    if (!out) {
        std::fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
        std::abort();
    }
}

void put_file(const std::string& path, const std::string& s) { put_file(path, s.data(), s.size()); }

std::string get_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int64_t decode_offset(const uint8_t* b) {
    uint64_t mag = b[7] & 0x7fu;
    for (int i = 6; i >= 0; --i) mag = (mag << 8) | b[i];
    return (b[7] & 0x80u) ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
}

// Old image and the new images the seed patches lead to.
void emit_images(const std::string& dir, const fwimage::ImagePair& p) {
    fs::create_directories(dir);
    put_file(dir + "/old", p.old_image);
    put_file(dir + "/new-revision", p.new_image);
    put_file(dir + "/new-same", p.old_image);
    put_file(dir + "/new-head", p.old_image.substr(0, p.old_image.size() / 3));
    put_file(dir + "/new-longer", p.new_image + p.old_image.substr(100, 700));
    put_file(dir + "/new-byte", "x");
    std::string shuffled = p.new_image.substr(p.new_image.size() / 2) + p.new_image.substr(0, p.new_image.size() / 2);
    put_file(dir + "/new-rotated", shuffled);
}

void remove_root() {
    std::error_code ec;
    fs::remove_all(g_root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const fwimage::ImagePair images = fwimage::firmware_pair(3000, 11);
    if (const char* dir = std::getenv("DFOTA_FUZZ_EMIT")) {
        emit_images(dir, images);
        std::exit(0);
    }
    std::string base = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
    std::string tmpl = base + "/dfota-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) std::abort();
    g_root = tmpl;
    std::atexit(remove_root);
    fs::create_directories(g_root + "/tmp");
    setenv("DFOTA_SYSROOT", g_root.c_str(), 1);
    if (plat_init() != 0) std::abort();
    put_file(host("/tmp/old"), images.old_image);
    // The patcher's diagnostics are expected output, not findings.
    int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
        dup2(devnull, 1);
        ::close(devnull);
    }
    return 0;
}

#ifdef DFOTA_FUZZ_STREAMS

namespace {

std::string compress(const uint8_t* data, size_t n) {
    // Level 1: 100k blocks keep the per-input cost low; the format is the same.
    std::string out(n + n / 100 + 600, '\0');
    unsigned int len = static_cast<unsigned int>(out.size());
    if (BZ2_bzBuffToBuffCompress(out.data(), &len, reinterpret_cast<char*>(const_cast<uint8_t*>(data)),
                                 static_cast<unsigned int>(n), 1, 0, 0) != BZ_OK)
        std::abort();
    out.resize(len);
    return out;
}

std::string encode_offset(int64_t v) {
    uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((mag >> (8 * i)) & 0xff);
    if (v < 0) out[7] = static_cast<char>(out[7] | 0x80);
    return out;
}

uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 16) return -1;
    const int64_t new_size = decode_offset(data);
    if (new_size > kMaxClaim) return -1;
    size_t rest = size - 16;
    size_t ctrl_n = get32(data + 8) % (rest + 1);
    size_t diff_n = get32(data + 12) % (rest - ctrl_n + 1);
    const uint8_t* p = data + 16;
    std::string c = compress(p, ctrl_n), d = compress(p + ctrl_n, diff_n),
                e = compress(p + ctrl_n + diff_n, rest - ctrl_n - diff_n);
    std::string patch = "BSDIFF40" + encode_offset(static_cast<int64_t>(c.size())) +
                        encode_offset(static_cast<int64_t>(d.size())) + encode_offset(new_size) + c + d + e;
    put_file(host("/tmp/patch"), patch);
    data = reinterpret_cast<const uint8_t*>(patch.data());
    size = patch.size();

#else

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 32 && decode_offset(data + 24) > kMaxClaim) return -1;  // not added to the corpus
    put_file(host("/tmp/patch"), data, size);

#endif
    // Into another file the image is written as it is made: a refused patch
    // may leave anything there, an accepted one exactly the claimed bytes,
    // with the digest it reported.
    put_file(host("/tmp/new"), std::string(kSentinel));
    char md5[MD5_TEXT_SIZE] = {}, md5_out[MD5_TEXT_SIZE] = {};
    int rc = patch_file_md5("/tmp/old", "/tmp/new", "/tmp/patch", md5);
    std::string out = get_file(host("/tmp/new"));
    if (rc < -1) {
        std::fprintf(stderr, "fuzz: patch_file_md5 returned %d\n", rc);
        std::abort();
    }
    if (rc >= 0 && (size < 32 || static_cast<int64_t>(out.size()) != decode_offset(data + 24) ||
                    get_md5sum("/tmp/new", md5_out) != 0 || !md5_equal(md5, md5_out))) {
        std::fprintf(stderr, "fuzz: accepted patch wrote %zu bytes of digest %s, not the claim or %s\n", out.size(),
                     md5_out, md5);
        std::abort();
    }
    // In place, the same verdict and image; a refused patch leaves the file
    // as it was.
    static const std::string old = get_file(host("/tmp/old"));
    put_file(host("/tmp/img"), old);
    int in_place = patch_file("/tmp/img", "/tmp/img", "/tmp/patch");
    std::string img = get_file(host("/tmp/img"));
    if ((in_place < 0) != (rc < 0) || img != (rc < 0 ? old : out)) {
        std::fprintf(stderr, "fuzz: in place %d, into another file %d: another outcome\n", in_place, rc);
        std::abort();
    }
    return 0;
}
