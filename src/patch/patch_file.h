// BSDIFF40 patch application: the one binary patcher of the agent.
#pragma once

// Rebuilds new_path from old_path and the BSDIFF40 patch at patch_path.
//
// The whole new image is built in memory before new_path is created, so any
// failure up to that point leaves an existing new_path exactly as it was, and
// old_path and new_path may name the same file. The new file is flushed and
// committed to storage before the call returns. Diagnostics go to standard
// output; callers log their own failure line.
//
// Returns a non-negative value on success, -1 on any failure.
int patch_file(const char* old_path, const char* new_path, const char* patch_path);
