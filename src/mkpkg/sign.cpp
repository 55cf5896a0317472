#include "mkpkg/sign.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/sha256.h"

namespace {

std::string hex(const unsigned char* data, size_t size) {
    std::string out(size * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), data, size);
    out.pop_back();
    return out;
}

bool sodium_ready(std::string& error) {
    if (sodium_init() < 0) {
        error = "the cryptography library cannot start";
        return false;
    }
    return true;
}

// A new file that nobody else may have opened first.
bool write_new(const fs::path& path, const std::string& text, mode_t mode, std::string& error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = path.string() + ": " + std::strerror(errno) + (errno == EEXIST ? " (a key is never overwritten)" : "");
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fchmod(fd, mode) == 0;
    if (!ok) error = path.string() + ": " + std::strerror(errno);
    ok = (::close(fd) == 0) && ok;
    return ok;
}

}  // namespace

bool make_key_pair(const fs::path& dir, std::string& error) {
    if (!sodium_ready(error)) return false;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = dir.string() + ": " + ec.message();
        return false;
    }
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    std::string secret = hex(sk, sizeof sk) + "\n";
    sodium_memzero(sk, sizeof sk);
    bool ok = write_new(dir / "dfota.key", secret, 0600, error) &&
              write_new(dir / "dfota.pub", hex(pk, sizeof pk) + "\n", 0644, error);
    sodium_memzero(secret.data(), secret.size());
    return ok;
}

bool read_secret_key(const fs::path& path, signing_key& key, std::string& error) {
    if (!sodium_ready(error)) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    if (st.st_mode & 077) {
        error = path.string() + ": a secret key that others can read or write is not used (chmod 600 it, and make "
                                "a new key pair if others may have read it)";
        return false;
    }
    bytes text;
    if (!read_file(path, text, error)) return false;
    std::string line(text.begin(), text.end());
    sodium_memzero(text.data(), text.size());
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    size_t got = 0;
    bool ok = line.size() == key.secret.size() * 2 &&
              sodium_hex2bin(key.secret.data(), key.secret.size(), line.data(), line.size(), nullptr, &got,
                             nullptr) == 0 &&
              got == key.secret.size();
    sodium_memzero(line.data(), line.size());
    if (!ok) error = path.string() + ": not a secret key of dfota-mkpkg --keygen (128 hexadecimal characters)";
    return ok;
}

bool package_manifest(const fs::path& dir, std::string& manifest, std::string& error) {
    if (!sodium_ready(error)) return false;
    std::vector<std::pair<std::string, std::string>> lines;  // path, line
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string rel = it->path().lexically_relative(dir).generic_string();
        if (rel == MANIFEST || rel == MANIFEST_SIG) continue;
        if (rel.find('\n') != std::string::npos) {
            error = it->path().string() + ": a name with a line feed cannot be listed";
            return false;
        }
        struct stat st;
        bytes content;
        if (!read_entry(it->path(), st, content, error)) return false;
        char digest[SHA256_TEXT_SIZE];
        sha256_text(content.data(), content.size(), digest);
        char mode[16];
        std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & (S_IFMT | 07777)));
        lines.emplace_back(rel, std::string(digest) + " " + std::to_string(content.size()) + " " + mode + " " +
                                    rel);
    }
    if (ec) {
        error = dir.string() + ": " + ec.message();
        return false;
    }
    std::sort(lines.begin(), lines.end());  // by path, bytewise
    manifest = std::string(MANIFEST_HEADER) + "\n";
    for (const auto& [path, line] : lines) manifest += line + "\n";
    return true;
}

bool sign_package(const fs::path& dir, const signing_key& key, std::string& error) {
    std::string manifest;
    if (!package_manifest(dir, manifest, error)) return false;
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(manifest.data()), manifest.size(),
                         key.secret.data());
    const unsigned char* pk = key.secret.data() + crypto_sign_SECRETKEYBYTES - crypto_sign_PUBLICKEYBYTES;
    std::string line = hex(pk, crypto_sign_PUBLICKEYBYTES) + " " + hex(sig, sizeof sig) + "\n";
    auto as_bytes = [](const std::string& s) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    return write_file(dir / MANIFEST, as_bytes(manifest), 0644, error) &&
           write_file(dir / MANIFEST_SIG, as_bytes(line), 0644, error);
}
