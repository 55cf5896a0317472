// Reading the updater scripts: one line at a time into the 1024-byte line
// limit, split into comma-separated fields, each field checked against the
// buffer it is meant for. A line that does not fit is refused with a log line
// that names the script and the line; nothing is ever carried over from an
// earlier line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

inline constexpr size_t SCRIPT_LINE_SIZE = 1024;
// Keyword and partition-name fields (31 characters), digest fields (32).
inline constexpr size_t SCRIPT_NAME_SIZE = 32;
inline constexpr size_t SCRIPT_DIGEST_SIZE = 33;

struct script_file {
    FilePtr fp;
    std::string path;
    int line_no = 0;
};

// Opens the script for reading; false when it cannot be opened (errno kept).
bool script_open(script_file& s, const std::string& path);

// The next line, without its line feed. 1: a line; 0: the end; -1: a line of
// 1024 characters or more, or a read error (logged under func).
int script_next_line(const char* func, script_file& s, std::string& line);

// Removes one carriage return at the end of the line (a script written on
// another system).
void strip_carriage_return(std::string& line);

// The fields as "%[^,]" reads them: the texts between commas.
std::vector<std::string_view> script_fields(std::string_view line);

// Field checks. Each logs "Error, <script> line <n>: ..." under func and
// returns false when the field is missing, empty, or does not fit.
// A text field must hold 1 to buf_size - 1 characters and no NUL byte: the
// agent would use the text only up to it.
bool script_field_text(const char* func, const script_file& s, const std::vector<std::string_view>& fields,
                       size_t index, size_t buf_size, const char* what, std::string& out);
// A decimal number that fits 32 bits (optional sign, digits only).
bool script_field_int(const char* func, const script_file& s, const std::vector<std::string_view>& fields,
                      size_t index, const char* what, int32_t& out);
// An octal number that fits 32 bits.
bool script_field_octal(const char* func, const script_file& s, const std::vector<std::string_view>& fields,
                        size_t index, const char* what, uint32_t& out);

// A computed digest text against a script's digest field: the first 32
// bytes decide (a trailing character does not matter), and a field shorter
// than 32 characters never matches.
bool script_digest_equal(const char* computed, std::string_view field);

// Logs "Error, <script> line <n>: <text>" under func: the context of a
// refusal that a stage reports in its own words.
void script_log_line_error(const char* func, const script_file& s, const char* text);
