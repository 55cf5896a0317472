// Large partitions brought to the new image in 20 MiB blocks, each with its
// own patch.
#pragma once

#include <cstdint>

#include "image/diff.h"

inline constexpr int32_t BLOCK_SIZE = 20971520;
inline constexpr const char* BLOCK_BACKUP = "/data/block_backup";

// Stage dst_check, after the checks. 0, also without a script; -1 on failure.
int do_patch_block();
// The checks of do_patch_block alone, for a run that must change nothing: an
// old block's patch is proven in /tmp. 0, also without a script; -1.
int check_diff_block();
// The same, noting first in the log when there is no block-diff script.
int patch_diff_block();
int ab_patch_file_ex(const char* target, const char* patch, const char* md5new, int32_t offset,
                     const old_image& old = {});
// Copies TMP_FILE_PT to BLOCK_BACKUP. 0 or -1.
int block_backup_file();
int process_savefile_ex(const char* partition, const char* old_file, const char* patch, const char* md5new,
                        int32_t offset);
