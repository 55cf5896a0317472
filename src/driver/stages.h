// The update stages between dst_check and the completion, as far as this
// build of the agent carries them.
#pragma once

// Refuses a package that asks for an update kind this build cannot apply
// (the file-system script), before anything on the device is changed. 0 or -1.
int refuse_unsupported_updates();

// Block diffs of dst_check; 0 when there is no block-diff script.
int patch_diff_block();
// The file-system passes of dst_patch_diff; 0 when there is no system script.
int patch_diff_rootfs();
int patch_full_rootfs();
