// The encoder against three decoders: the agent's own patcher, Debian's
// bspatch, and (for the images the agent refuses: an empty old or new one) a
// plain reading of the format here.
#include "mkpkg/bsdiff.h"
#include "mkpkg/scratch.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <vector>

#include "../../bench/firmware_image.h"
#include "mkpkg/util.h"

namespace {

bytes random_bytes(size_t n, uint64_t seed) {
    bytes out(n);
    uint64_t s = seed * 0x9e3779b97f4a7c15ull + 1;
    for (size_t i = 0; i < n; i += 8) {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        std::memcpy(out.data() + i, &s, std::min<size_t>(8, n - i));
    }
    return out;
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes slice(const bytes& b, size_t from, size_t n) { return bytes(b.begin() + from, b.begin() + from + n); }

struct image_pair {
    bytes old, neu;
};

image_pair firmware(size_t size, uint64_t seed) {
    auto p = fwimage::firmware_pair(size, seed);
    return {bytes(p.old_image.begin(), p.old_image.end()), bytes(p.new_image.begin(), p.new_image.end())};
}

int64_t get_offset(const uint8_t* b) {
    uint64_t mag = b[7] & 0x7fu;
    for (int i = 6; i >= 0; --i) mag = mag << 8 | b[i];
    return b[7] & 0x80u ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
}

bool unbzip(const uint8_t* in, size_t size, bytes& out) {
    bz_stream s{};
    if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return false;
    s.next_in = const_cast<char*>(reinterpret_cast<const char*>(in));
    s.avail_in = static_cast<unsigned>(size);
    int rc = BZ_OK;
    char buf[65536];
    while (rc == BZ_OK) {
        s.next_out = buf;
        s.avail_out = sizeof buf;
        rc = BZ2_bzDecompress(&s);
        out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
        if (rc == BZ_OK && s.avail_in == 0 && s.avail_out == sizeof buf) break;  // truncated
    }
    BZ2_bzDecompressEnd(&s);
    return rc == BZ_STREAM_END && s.avail_in == 0;
}

// The format read straight, for old or new images of zero bytes.
bool apply_plain(const bytes& old, const std::string& patch, bytes& neu) {
    const auto* p = reinterpret_cast<const uint8_t*>(patch.data());
    if (patch.size() < 32 || std::memcmp(p, "BSDIFF40", 8) != 0) return false;
    const int64_t ctrl_len = get_offset(p + 8), diff_len = get_offset(p + 16), new_size = get_offset(p + 24);
    if (ctrl_len < 0 || diff_len < 0 || new_size < 0 || 32 + ctrl_len + diff_len > int64_t(patch.size())) return false;
    bytes ctrl, diff, extra;
    if (!unbzip(p + 32, ctrl_len, ctrl) || !unbzip(p + 32 + ctrl_len, diff_len, diff) ||
        !unbzip(p + 32 + ctrl_len + diff_len, patch.size() - 32 - ctrl_len - diff_len, extra))
        return false;
    neu.clear();
    int64_t o = 0;
    size_t d = 0, e = 0;
    for (size_t c = 0; c + 24 <= ctrl.size(); c += 24) {
        const int64_t x = get_offset(&ctrl[c]), y = get_offset(&ctrl[c + 8]), z = get_offset(&ctrl[c + 16]);
        if (x < 0 || y < 0 || d + x > diff.size() || e + y > extra.size()) return false;
        for (int64_t i = 0; i < x; ++i, ++o) neu.push_back(diff[d++] + (o >= 0 && o < int64_t(old.size()) ? old[o] : 0));
        neu.insert(neu.end(), extra.begin() + e, extra.begin() + e + y);
        e += y;
        o += z;
    }
    return int64_t(neu.size()) == new_size && d == diff.size() && e == extra.size();
}

bool tool_present(const char* path) { return ::access(path, X_OK) == 0; }

int run(std::vector<std::string> argv) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(MakePatch, RebuildsTheNewImage) {
    const size_t kMiB = size_t{1} << 20;
    struct row {
        const char* name;
        std::function<image_pair()> make;
    };
    const row rows[] = {
        {"both empty", [] { return image_pair{}; }},
        {"empty old", [] { return image_pair{{}, random_bytes(5000, 1)}; }},
        {"empty new", [] { return image_pair{random_bytes(5000, 2), {}}; }},
        {"one byte each", [] { return image_pair{{0x41}, {0x42}}; }},
        {"one byte old", [] { return image_pair{{0}, firmware(64 << 10, 3).neu}; }},
        {"identical", [&] { auto f = firmware(kMiB, 4); return image_pair{f.old, f.old}; }},
        {"unrelated random", [] { return image_pair{random_bytes(300000, 5), random_bytes(200000, 6)}; }},
        {"edited, inserted, deleted", [&] { return firmware(4 * kMiB, 7); }},
        {"grown", [&] {
             auto f = firmware(2 * kMiB, 8);
             return image_pair{f.old, cat({slice(f.neu, 0, kMiB), random_bytes(300000, 9),
                                           slice(f.neu, kMiB, f.neu.size() - kMiB), f.old})};
         }},
        {"shrunk", [&] {
             auto f = firmware(3 * kMiB, 10);
             return image_pair{f.old, cat({slice(f.neu, 100000, kMiB), slice(f.neu, 2 * kMiB, 500000)})};
         }},
        // Zero runs where the alignment in use is right but for one byte
        // while the longest match lies elsewhere: a search at every byte of
        // the run would take hours.
        {"long zero runs", [&] {
             bytes zeros(3 * kMiB), flipped(3 * kMiB);
             flipped[kMiB] = 1;
             bytes r = random_bytes(70000, 11);
             return image_pair{cat({r, flipped, r, zeros, r}), cat({r, zeros, r, slice(zeros, 0, kMiB), r, zeros})};
         }},
        {"tens of MiB", [&] { return firmware(20 * kMiB, 12); }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const image_pair p = r.make();
        std::string patch, again, error;
        ASSERT_EQ(make_patch(p.old, p.neu, patch, error), 0) << error;
        if (p.old.empty() || p.neu.empty()) {
            bytes got;
            EXPECT_TRUE(apply_plain(p.old, patch, got));
            EXPECT_EQ(got, p.neu);
        } else {
            EXPECT_TRUE(verify_patch(p.old, p.neu, patch, error)) << error;
        }
        if (p.neu.size() < 8 * kMiB) {
            ASSERT_EQ(make_patch(p.old, p.neu, again, error), 0) << error;
            EXPECT_TRUE(again == patch) << "a second run gave other bytes";
        }
    }
}

TEST(MakePatch, DebianBspatchAppliesIt) {
    if (!tool_present("/usr/bin/bspatch")) GTEST_SKIP() << "no /usr/bin/bspatch";
    const image_pair p = firmware(2 << 20, 13);
    std::string patch, error;
    ASSERT_EQ(make_patch(p.old, p.neu, patch, error), 0) << error;
    scratch d;
    ASSERT_FALSE(d.dir.empty());
    ASSERT_TRUE(write_file(d.dir / "old", p.old, 0600, error)) << error;
    ASSERT_TRUE(write_file(d.dir / "patch", {reinterpret_cast<const uint8_t*>(patch.data()), patch.size()}, 0600,
                           error))
        << error;
    ASSERT_EQ(run({"/usr/bin/bspatch", d.dir / "old", d.dir / "new", d.dir / "patch"}), 0);
    bytes got;
    ASSERT_TRUE(read_file(d.dir / "new", got, error)) << error;
    EXPECT_TRUE(got == p.neu);
}

TEST(MakePatch, AgentAppliesDebianBsdiff) {
    if (!tool_present("/usr/bin/bsdiff")) GTEST_SKIP() << "no /usr/bin/bsdiff";
    const image_pair p = firmware(1 << 20, 14);
    scratch d;
    std::string error;
    ASSERT_FALSE(d.dir.empty());
    ASSERT_TRUE(write_file(d.dir / "old", p.old, 0600, error)) << error;
    ASSERT_TRUE(write_file(d.dir / "new", p.neu, 0600, error)) << error;
    ASSERT_EQ(run({"/usr/bin/bsdiff", d.dir / "old", d.dir / "new", d.dir / "patch"}), 0);
    bytes patch;
    ASSERT_TRUE(read_file(d.dir / "patch", patch, error)) << error;
    EXPECT_TRUE(verify_patch(p.old, p.neu, std::string(patch.begin(), patch.end()), error)) << error;
}

// Address space only: untouched anonymous pages cost nothing.
TEST(MakePatch, RefusesTwoGiB) {
    const size_t big = size_t{1} << 31;
    void* m = ::mmap(nullptr, big, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) GTEST_SKIP() << "no 2 GiB of address space";
    const std::span<const uint8_t> huge(static_cast<const uint8_t*>(m), big), small = huge.first(100);
    std::string patch, error;
    EXPECT_EQ(make_patch(huge, small, patch, error), -1);
    EXPECT_NE(error.find("2 GiB"), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(make_patch(small, huge, patch, error), -1);
    EXPECT_NE(error.find("2 GiB"), std::string::npos) << error;
    ::munmap(m, big);
}
