// Package signatures: an Ed25519 key pair kept as text files, and the signed
// manifest that lists every entry of a package with its kind, mode, size and
// SHA-256, so that a device holding the public key can tell a genuine
// package from a forged or altered one.
#pragma once

#include <array>
#include <string>

#include "mkpkg/util.h"

inline constexpr const char* MANIFEST = "manifest";
inline constexpr const char* MANIFEST_SIG = "manifest.sig";
inline constexpr const char* MANIFEST_HEADER = "dfota-manifest 1";

struct signing_key {
    std::array<unsigned char, 64> secret{};  // the public key is its second half
};

// Writes DIR/dfota.key (mode 0600) and DIR/dfota.pub, never over existing
// files. false with error.
bool make_key_pair(const fs::path& dir, std::string& error);

// Reads a secret key file; refuses one that others than its owner can read.
bool read_secret_key(const fs::path& path, signing_key& key, std::string& error);

// The manifest of the package directory dir: the header line, then one line
// per entry but the manifest's own two files, sorted by path:
// "SHA-256 SIZE MODE PATH" (MODE in octal with the file type; a link's size
// and digest are its target's text, a directory's are of nothing).
bool package_manifest(const fs::path& dir, std::string& manifest, std::string& error);

// Adds manifest and manifest.sig ("PUBLIC-KEY SIGNATURE", both hexadecimal)
// to the package directory dir.
bool sign_package(const fs::path& dir, const signing_key& key, std::string& error);
