#include "driver/signature.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "context/package.h"
#include "core/log.h"
#include "core/sha256.h"
#include "platform/platform.h"

namespace {

// Every refusal names its cause after one prefix, so that a product's client
// can tell a forged package from a damaged device by the log alone.
#define REFUSE(fmt, ...) log_at("verify_package", __LINE__, "Error, package refused: " fmt, ##__VA_ARGS__)

constexpr size_t KEY_SIZE = crypto_sign_PUBLICKEYBYTES;
constexpr size_t SIG_SIZE = crypto_sign_BYTES;
constexpr int MAX_DEPTH = 32;
// The agent's own record beside the package (the A/B slot switch), written
// after the package was verified.
constexpr const char* OWN_RECORD = "slot_switched";

using public_key = std::array<unsigned char, KEY_SIZE>;

struct manifest_entry {
    std::string_view path;
    std::string_view digest;
    int64_t size = 0;
    uint32_t mode = 0;
};

struct found_entry {
    std::string path;  // relative to the package directory
    uint32_t mode = 0;
};

bool from_hex(std::string_view text, unsigned char* out, size_t size) {
    size_t got = 0;
    return text.size() == size * 2 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }) &&
           sodium_hex2bin(out, size, text.data(), text.size(), nullptr, &got, nullptr) == 0 && got == size;
}

std::string_view chomp(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

// 0, -1 when it cannot be read, -2 when it holds more than max bytes.
int read_small_file(const std::string& path, long max, std::string& out) {
    FilePtr fp{plat_fopen(path.c_str(), "rb")};
    if (!fp) return -1;
    out.clear();
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, fp.get())) > 0;) {
        if (static_cast<long>(out.size() + n) > max) return -2;
        out.append(buf, n);
    }
    return std::ferror(fp.get()) ? -1 : 0;
}

bool read_trusted_keys(std::vector<public_key>& keys) {
    std::string text;
    if (read_small_file(TRUSTED_KEYS_FILE, 64 * 1024, text) != 0) {
        REFUSE("%s cannot be read", TRUSTED_KEYS_FILE);
        return false;
    }
    size_t number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = chomp(std::string_view(text).substr(at, end - at));
        at = end + 1;
        ++number;
        if (line.empty() || line[0] == '#') continue;
        public_key key;
        if (from_hex(line, key.data(), key.size())) keys.push_back(key);
        else LOGF("Warning, %s line %zu is not a public key, passed over", TRUSTED_KEYS_FILE, number);
    }
    if (keys.empty()) REFUSE("%s holds no public key", TRUSTED_KEYS_FILE);
    return !keys.empty();
}

// The signature line is "PUBLIC-KEY SIGNATURE", both in hexadecimal: the key
// says which trusted key to try, so that an unknown key is told apart from a
// bad signature.
bool check_signature(const std::vector<public_key>& keys, const std::string& manifest) {
    std::string sig_path = DIR_DELTA + "/" + MANIFEST_SIG_FILE, text;
    int r = read_small_file(sig_path, 1024, text);
    if (r == -1) {
        REFUSE("no manifest: %s cannot be read", sig_path.c_str());
        return false;
    }
    std::string_view line = chomp(text);
    size_t space = line.find(' ');
    public_key key;
    std::array<unsigned char, SIG_SIZE> sig;
    if (r != 0 || space == std::string_view::npos || !from_hex(line.substr(0, space), key.data(), key.size()) ||
        !from_hex(line.substr(space + 1), sig.data(), sig.size())) {
        REFUSE("bad signature: %s is not a public key and a signature", sig_path.c_str());
        return false;
    }
    std::string key_text(line.substr(0, space));
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
        REFUSE("unknown key %s: not in %s", key_text.c_str(), TRUSTED_KEYS_FILE);
        return false;
    }
    if (crypto_sign_verify_detached(sig.data(), reinterpret_cast<const unsigned char*>(manifest.data()),
                                    manifest.size(), key.data()) != 0) {
        REFUSE("bad signature: the manifest does not verify with key %s", key_text.c_str());
        return false;
    }
    LOGF("manifest signed with trusted key %s", key_text.c_str());
    return true;
}

bool parse_number(std::string_view text, int base, int64_t limit, int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    out = 0;
    for (char c : text) {
        int d = c >= '0' && c <= '9' ? c - '0' : 99;
        if (d >= base) return false;
        out = out * base + d;
    }
    return out <= limit;
}

// Lines "SHA-256 SIZE MODE PATH" after the header, strictly sorted by path:
// a signed manifest is trusted text, but a path listed twice or out of order
// would let a lookup find another line than the one meant.
bool parse_manifest(std::string_view text, std::vector<manifest_entry>& out) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos || text.substr(0, end) != MANIFEST_HEADER) {
        REFUSE("the manifest does not start with \"%s\"", MANIFEST_HEADER);
        return false;
    }
    int number = 1;
    for (size_t at = end + 1; at < text.size(); at = end + 1) {
        ++number;
        end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        manifest_entry e;
        size_t s1 = line.find(' '), s2 = line.find(' ', s1 + 1), s3 = line.find(' ', s2 + 1);
        int64_t mode = 0;
        bool ok = s3 != std::string_view::npos && s1 == 2 * SHA256_SIZE &&
                  parse_number(line.substr(s1 + 1, s2 - s1 - 1), 10, INT64_MAX / 2, e.size) &&
                  parse_number(line.substr(s2 + 1, s3 - s2 - 1), 8, 0177777, mode) && s3 + 1 < line.size();
        if (ok) {
            e.digest = line.substr(0, s1);
            e.mode = static_cast<uint32_t>(mode);
            e.path = line.substr(s3 + 1);
            ok = out.empty() || out.back().path < e.path;
        }
        if (!ok) {
            REFUSE("manifest line %d does not fit \"SHA-256 SIZE MODE PATH\" in path order", number);
            return false;
        }
        out.push_back(e);
    }
    return true;
}

bool walk(const std::string& dir, const std::string& rel, int depth, std::vector<found_entry>& out) {
    DirPtr d{plat_opendir(dir.c_str())};
    if (!d || depth > MAX_DEPTH) {
        REFUSE("%s cannot be listed: %s", dir.c_str(), d ? "too deep" : std::strerror(errno));
        return false;
    }
    while (const dirent* e = readdir(d.get())) {
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        if (rel.empty() && (name == MANIFEST_FILE || name == MANIFEST_SIG_FILE || name == OWN_RECORD)) continue;
        found_entry f{rel.empty() ? std::string(name) : rel + "/" + std::string(name)};
        std::string path = dir + "/" + std::string(name);
        struct stat st;
        if (plat_lstat(path.c_str(), &st) != 0) {
            REFUSE("%s cannot be read: %s", path.c_str(), std::strerror(errno));
            return false;
        }
        f.mode = st.st_mode & (S_IFMT | 07777);
        std::string sub = S_ISDIR(st.st_mode) ? f.path : std::string();
        out.push_back(std::move(f));
        if (!sub.empty() && !walk(path, sub, depth + 1, out)) return false;
    }
    return true;
}

// Permission bits count where the package's files reach the root file system
// with them (copied with their modes); elsewhere only the kind does, as the
// device's unpacker may apply its own umask to the images and scripts.
bool mode_matches(const manifest_entry& m, const found_entry& f) {
    bool reaches_rootfs = m.path.starts_with("system/") || m.path.starts_with("modem/");
    uint32_t mask = reaches_rootfs ? (S_IFMT | 07777) : S_IFMT;
    return (m.mode & mask) == (f.mode & mask);
}

bool entry_matches(const manifest_entry& m, const found_entry& f) {
    std::string path = DIR_DELTA + "/" + f.path;
    std::string shown(m.path);
    if (!mode_matches(m, f)) {
        REFUSE("another mode: %s is %o, the manifest says %o", shown.c_str(), f.mode, m.mode);
        return false;
    }
    char digest[SHA256_TEXT_SIZE] = {};
    int64_t size = 0;
    if (S_ISREG(f.mode)) {
        if (get_sha256sum(path.c_str(), digest, &size) != 0) {
            REFUSE("%s cannot be read", path.c_str());
            return false;
        }
    } else if (S_ISLNK(f.mode)) {
        char target[4096];
        ssize_t n = plat_readlink(path.c_str(), target, sizeof target);
        if (n < 0 || static_cast<size_t>(n) >= sizeof target) {
            REFUSE("%s cannot be read", path.c_str());
            return false;
        }
        size = n;
        sha256_text(target, static_cast<size_t>(n), digest);
    } else {
        sha256_text("", 0, digest);  // a directory: its entries are listed on their own lines
    }
    if (size != m.size) {
        REFUSE("another size: %s holds %lld bytes, the manifest says %lld", shown.c_str(),
               static_cast<long long>(size), static_cast<long long>(m.size));
        return false;
    }
    if (m.digest != digest) {
        REFUSE("another digest: %s has SHA-256 %s, the manifest says %.*s", shown.c_str(), digest,
               static_cast<int>(m.digest.size()), m.digest.data());
        return false;
    }
    return true;
}

// Both lists sorted by path: what only the manifest lists is missing, what
// only the directory holds is extra.
bool tree_matches(const std::vector<manifest_entry>& listed, std::vector<found_entry>& found) {
    std::sort(found.begin(), found.end(), [](const found_entry& a, const found_entry& b) { return a.path < b.path; });
    size_t i = 0, j = 0;
    while (i < listed.size() || j < found.size()) {
        int c = i == listed.size() ? 1 : j == found.size() ? -1 : listed[i].path.compare(found[j].path);
        if (c < 0) {
            std::string shown(listed[i].path);
            REFUSE("file missing: %s is in the manifest, not in the package", shown.c_str());
            return false;
        }
        if (c > 0) {
            REFUSE("extra file: %s is in the package, not in the manifest", found[j].path.c_str());
            return false;
        }
        if (!entry_matches(listed[i++], found[j++])) return false;
    }
    return true;
}

}  // namespace

int verify_package() {
    if (!plat_exists(TRUSTED_KEYS_FILE)) {
        LOGF("Warning, no %s: packages are not verified", TRUSTED_KEYS_FILE);
        return 0;
    }
    LOGF("%s Enter", __func__);
    // A run after the package was removed (a cut after an NR install) has
    // nothing to install: no script can be opened.
    if (!plat_exists(DIR_DELTA)) {
        LOGF("no package in %s, nothing to verify", DIR_DELTA.c_str());
        return 0;
    }
    if (sodium_init() < 0) {
        REFUSE("the signature library cannot start");
        return -1;
    }
    std::vector<public_key> keys;
    if (!read_trusted_keys(keys)) return -1;

    std::string manifest_path = DIR_DELTA + "/" + MANIFEST_FILE, manifest;
    int r = read_small_file(manifest_path, MANIFEST_MAX_SIZE, manifest);
    if (r == -1) {
        REFUSE("no manifest: %s cannot be read", manifest_path.c_str());
        return -1;
    }
    if (r == -2) {
        REFUSE("the manifest is larger than %ld bytes", MANIFEST_MAX_SIZE);
        return -1;
    }
    if (!check_signature(keys, manifest)) return -1;

    std::vector<manifest_entry> listed;
    std::vector<found_entry> found;
    if (!parse_manifest(manifest, listed) || !walk(DIR_DELTA, "", 0, found) || !tree_matches(listed, found))
        return -1;
    LOGF("package verified: %zu entries as the manifest lists them", listed.size());
    return 0;
}
