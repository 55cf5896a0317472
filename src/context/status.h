// Progress files for other programs on the device to poll.
#pragma once

inline constexpr const char* STATUS_FILE = "/data/upgrade/install/status";
inline constexpr const char* STATUS_LIST_FILE = "/data/upgrade/install/status_list";
inline constexpr const char* INSTALL_PROCESS_FILE = "/data/upgrade/install/install_process";

// Publishes the stage: its name in status, one more line in status_list,
// the percentage in install_process. Failures are silent.
void report_stage(const char* name, int percent);

// Appends text as one line (adding the newline when it has none).
void append_file_line(const char* path, const char* text);
