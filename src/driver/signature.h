// Trusted packages: a device that holds public keys installs only a package
// whose signed manifest lists every file of it, as it lies in the package
// directory. A device without keys installs as before.
#pragma once

// Public keys (64 hexadecimal characters), one a line; blank lines and lines
// starting with '#' are passed over.
inline constexpr const char* TRUSTED_KEYS_FILE = "/etc/dfota/trusted.pub";
inline constexpr const char* MANIFEST_FILE = "manifest";
inline constexpr const char* MANIFEST_SIG_FILE = "manifest.sig";
inline constexpr const char* MANIFEST_HEADER = "dfota-manifest 1";
// Beyond this a manifest is refused unread: the device has little RAM.
inline constexpr long MANIFEST_MAX_SIZE = 8L << 20;

// Checks the package in DIR_DELTA against the trusted keys: 0 when it
// verifies or when the device holds no key file (logged once), -1 after a
// log line naming what failed. Reads each file of the package once.
int verify_package();
