// Signed packages: the key pair, and a manifest that every change of the
// package's entries (content, mode, kind, an entry added) contradicts.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include "mkpkg/scratch.h"
#include "mkpkg/sign.h"

namespace {

std::string text(const fs::path& p) {
    bytes b;
    std::string error;
    EXPECT_TRUE(read_file(p, b, error)) << error;
    return std::string(b.begin(), b.end());
}

void put(const fs::path& p, const std::string& s, unsigned mode = 0644) {
    std::string error;
    ASSERT_TRUE(write_file(p, {reinterpret_cast<const uint8_t*>(s.data()), s.size()}, mode, error)) << error;
}

}  // namespace

TEST(Signing, KeysAreNeverOverwrittenAndASecretKeyOthersCanReadIsRefused) {
    scratch s;
    std::string error;
    ASSERT_TRUE(make_key_pair(s.dir / "keys", error)) << error;
    EXPECT_EQ(fs::status(s.dir / "keys/dfota.key").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    std::string pub = text(s.dir / "keys/dfota.pub");
    EXPECT_FALSE(make_key_pair(s.dir / "keys", error));
    EXPECT_EQ(text(s.dir / "keys/dfota.pub"), pub);

    signing_key key;
    EXPECT_TRUE(read_secret_key(s.dir / "keys/dfota.key", key, error)) << error;
    ::chmod((s.dir / "keys/dfota.key").c_str(), 0640);
    EXPECT_FALSE(read_secret_key(s.dir / "keys/dfota.key", key, error));
    EXPECT_NE(error.find("others can read"), std::string::npos) << error;
    put(s.dir / "short.key", "abcd\n", 0600);
    EXPECT_FALSE(read_secret_key(s.dir / "short.key", key, error));
}

TEST(Signing, TheSignedManifestListsEveryEntryAndAnyChangeContradictsIt) {
    scratch s;
    std::string error;
    ASSERT_TRUE(make_key_pair(s.dir / "keys", error)) << error;
    signing_key key;
    ASSERT_TRUE(read_secret_key(s.dir / "keys/dfota.key", key, error)) << error;
    fs::path pkg = s.dir / "pkg";
    put(pkg / "updater_script_system", "addrecursive,opt/\n");
    put(pkg / "system/opt/tool", "#!/bin/sh\n", 0755);
    put(pkg / "system/opt/a b", "");
    fs::create_symlink("tool", pkg / "system/opt/link");
    ASSERT_TRUE(sign_package(pkg, key, error)) << error;

    std::string manifest = text(pkg / MANIFEST);
    EXPECT_EQ(manifest.substr(0, manifest.find('\n')), MANIFEST_HEADER);
    EXPECT_NE(manifest.find(" 10 100755 system/opt/tool\n"), std::string::npos) << manifest;
    EXPECT_NE(manifest.find(" 4 120777 system/opt/link\n"), std::string::npos) << manifest;
    EXPECT_LT(manifest.find("system/opt/a b\n"), manifest.find("system/opt/link\n"));
    EXPECT_EQ(manifest.find(MANIFEST_SIG), std::string::npos);

    // The signature is the public key's, over exactly these bytes.
    std::string sig = text(pkg / MANIFEST_SIG), pub = text(s.dir / "keys/dfota.pub");
    ASSERT_EQ(sig.substr(0, 64), pub.substr(0, 64));
    unsigned char pk[32], sg[64];
    ASSERT_EQ(sodium_hex2bin(pk, 32, pub.data(), 64, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(sodium_hex2bin(sg, 64, sig.data() + 65, 128, nullptr, nullptr, nullptr), 0);
    auto verifies = [&](const std::string& m) {
        return crypto_sign_verify_detached(sg, reinterpret_cast<const unsigned char*>(m.data()), m.size(), pk) == 0;
    };
    EXPECT_TRUE(verifies(manifest));
    std::string flipped = manifest;
    flipped[flipped.size() / 2] ^= 1;
    EXPECT_FALSE(verifies(flipped));

    // What a device derives from the package it holds must be the signed
    // text; every change below makes it another.
    std::string derived;
    ASSERT_TRUE(package_manifest(pkg, derived, error)) << error;
    EXPECT_EQ(derived, manifest);
    const std::function<void(const fs::path&)> changes[] = {
        [](const fs::path& p) { ::chmod((p / "system/opt/tool").c_str(), 04755); },
        [](const fs::path& p) { put(p / "system/opt/a b", "x"); },
        [](const fs::path& p) {
            fs::remove(p / "system/opt/link");
            put(p / "system/opt/link", "tool");
        },
        [](const fs::path& p) { put(p / "system/opt/.extra", ""); },
        [](const fs::path& p) { fs::remove(p / "updater_script_system"); },
    };
    for (size_t i = 0; i < std::size(changes); ++i) {
        fs::path copy = s.dir / ("copy" + std::to_string(i));
        fs::copy(pkg, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        changes[i](copy);
        ASSERT_TRUE(package_manifest(copy, derived, error)) << error;
        EXPECT_NE(derived, manifest) << "change " << i;
    }
}
