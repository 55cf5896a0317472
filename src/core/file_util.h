// Small file helpers shared by every stage, and the one way to put a path
// into a shell command line.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

inline constexpr size_t PATH_BUF_SIZE = 256;
inline constexpr size_t CMD_BUF_SIZE = 256;

// Size in bytes (narrowed to 32 bits), or -1 when the file cannot be opened.
int32_t get_file_size(const char* path);

// Bytes free to ordinary users on the file system that holds the directory
// part of path; all ones on failure.
uint64_t get_free_space_for_file(const char* path);

// Copies one file with "cp -av", creating the destination's directory first.
int copy_file(const char* src, const char* dst);

// Creates the directory part of path when it does not exist. 0 or -1.
int create_dir_from_file(const char* path);

// The directory part of path: the text before its last '/' at index 1 or
// more. Nothing when there is none (also for "/data").
std::optional<std::string> dir_part(std::string_view path);

// One shell word: 'text', an embedded ' written as '\''.
std::string shell_quote(std::string_view text);

// Builds a command line from a template whose every %s is replaced by the
// next path, quoted and in host form. The line is measured in the device's
// own form against limit (the command buffer size, terminator included), so
// the simulation refuses exactly what the device refuses. A trailing "*" in a
// path stays outside the quotes, so that it still globs. Nothing when the
// line does not fit: the caller logs and fails.
std::optional<std::string> make_command(size_t limit, std::string_view tmpl,
                                        std::initializer_list<std::string_view> paths);
