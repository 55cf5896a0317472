// Releasing a UBI-backed file system before its raw partition is rewritten.
#pragma once

#include <cstddef>

inline constexpr size_t UBI_NAME_SIZE = 256;

// Fills ubiname (UBI_NAME_SIZE bytes) with the first column of the df lines
// that name the mount.
void kelo_find_ubiname(const char* name, char* ubiname);
void kelo_umount(const char* name);
void kelo_detach_ubi(const char* ubiname);
