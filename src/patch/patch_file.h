// BSDIFF40 patch application: the one binary patcher of the agent.
#pragma once

#include <cstdint>

// Rebuilds new_path from old_path and the BSDIFF40 patch at patch_path, and
// writes the MD5 digest text of the new image (32 lowercase hex characters
// and a NUL) to md5_out, digested in the pass that writes the image: callers
// need not read the file back to check it.
//
// When new_path is another file than old_path (and than patch_path), the new
// image is written as it is made, so the memory used beyond the old image is
// a few MiB whatever the image's size; new_path is created or truncated only
// once the old image is in hand, and after a failure from then on it holds
// garbage. When it is the same file (as named, or as the same inode), the
// whole new image is built in memory first, so any failure leaves the file
// exactly as it was. Either way every stream of the patch has been checked
// to its end, and the new file flushed and committed to storage, before the
// call returns success. Diagnostics go to standard output; callers log their
// own failure line.
//
// old_size, when not negative, makes the old_size bytes of old_path from
// old_offset on the old image (a partition holds its image, or a block of
// it, among whatever else was there before); a shorter file is refused.
//
// Returns a non-negative value on success; -1 on any failure, md5_out then
// untouched.
int patch_file_md5(const char* old_path, const char* new_path, const char* patch_path, char md5_out[33],
                   int64_t old_size = -1, int64_t old_offset = 0);

// patch_file_md5 without the digest.
int patch_file(const char* old_path, const char* new_path, const char* patch_path);
