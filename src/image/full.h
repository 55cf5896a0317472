// Full partition images, written whole and verified, with the version gates
// that skip boot-chain firmware the device already runs.
#pragma once

inline constexpr int VERSION_SIZE = 128;

// Stage dst_patch_full. 0, also without a script; -1 on failure.
int patch_full_partition();
// Its checks alone, for a run that must change nothing: every line well
// formed, every image the one its line declares, every target known.
int check_full_partition();
// The value of key on the kernel command line into out (VERSION_SIZE bytes).
// 0 or -1.
int kelo_get_version_from_cmdline(const char* key, char* out);
// The value of key in a package version file into out (VERSION_SIZE bytes).
// 1 found, 0 no line with the key, -1 the file cannot be opened.
int kelo_get_verison_from_file(const char* path, const char* key, char* out);
