#include "image/script.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/log.h"

bool script_open(script_file& s, const std::string& path) {
    s.fp.reset(plat_fopen(path.c_str(), "r"));
    s.path = path;
    s.line_no = 0;
    return s.fp != nullptr;
}

int script_next_line(const char* func, script_file& s, std::string& line) {
    line.clear();
    int c;
    while ((c = std::fgetc(s.fp.get())) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (c == EOF && std::ferror(s.fp.get())) {
        log_at(func, __LINE__, "Error, %s: read error after line %d: %s", s.path.c_str(), s.line_no,
               std::strerror(errno));
        return -1;
    }
    if (c == EOF && line.empty()) return 0;
    ++s.line_no;
    // A longer line would have been read as two by a 1024-byte buffer, the
    // second half taken as a command of its own.
    if (line.size() >= SCRIPT_LINE_SIZE) {
        log_at(func, __LINE__, "Error, %s line %d: %zu characters, at most %zu fit", s.path.c_str(), s.line_no,
               line.size(), SCRIPT_LINE_SIZE - 1);
        return -1;
    }
    return 1;
}

bool script_digest_equal(const char* computed, std::string_view field) {
    return field.size() >= 32 && std::strlen(computed) >= 32 && std::memcmp(computed, field.data(), 32) == 0;
}

void strip_carriage_return(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

std::vector<std::string_view> script_fields(std::string_view line) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (;;) {
        size_t comma = line.find(',', start);
        if (comma == std::string_view::npos) {
            out.push_back(line.substr(start));
            return out;
        }
        out.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
}

void script_log_line_error(const char* func, const script_file& s, const char* text) {
    log_at(func, __LINE__, "Error, %s line %d: %s", s.path.c_str(), s.line_no, text);
}

namespace {

bool field_present(const char* func, const script_file& s, const std::vector<std::string_view>& fields,
                   size_t index, const char* what) {
    if (index < fields.size() && !fields[index].empty()) return true;
    log_at(func, __LINE__, "Error, %s line %d: field %zu (%s) is missing", s.path.c_str(), s.line_no, index + 1,
           what);
    return false;
}

bool field_number(const char* func, const script_file& s, const std::vector<std::string_view>& fields,
                  size_t index, const char* what, int base, bool allow_sign, int64_t min, int64_t max,
                  int64_t& out) {
    if (!field_present(func, s, fields, index, what)) return false;
    std::string_view f = fields[index];
    size_t i = 0;
    bool negative = false;
    if (allow_sign && (f[0] == '-' || f[0] == '+')) {
        negative = f[0] == '-';
        ++i;
    }
    int64_t value = 0;
    bool ok = i < f.size();
    for (; ok && i < f.size(); ++i) {
        int d = f[i] - '0';
        if (d < 0 || d >= base) ok = false;
        else if ((value = value * base + d) > max - min) ok = false;  // far past either bound: stop early
    }
    if (ok) {
        value = negative ? -value : value;
        ok = value >= min && value <= max;
    }
    if (!ok) {
        log_at(func, __LINE__, "Error, %s line %d: field %zu (%s) \"%.*s\" is not %s number of 32 bits",
               s.path.c_str(), s.line_no, index + 1, what, static_cast<int>(f.size()), f.data(),
               base == 8 ? "an octal" : "a decimal");
        return false;
    }
    out = value;
    return true;
}

}  // namespace

bool script_field_text(const char* func, const script_file& s, const std::vector<std::string_view>& fields,
                       size_t index, size_t buf_size, const char* what, std::string& out) {
    if (!field_present(func, s, fields, index, what)) return false;
    std::string_view f = fields[index];
    if (f.size() >= buf_size) {
        log_at(func, __LINE__, "Error, %s line %d: field %zu (%s) has %zu characters, at most %zu fit",
               s.path.c_str(), s.line_no, index + 1, what, f.size(), buf_size - 1);
        return false;
    }
    if (f.find('\0') != std::string_view::npos) {
        log_at(func, __LINE__, "Error, %s line %d: field %zu (%s) holds a NUL byte", s.path.c_str(), s.line_no,
               index + 1, what);
        return false;
    }
    out.assign(f);
    return true;
}

bool script_field_int(const char* func, const script_file& s, const std::vector<std::string_view>& fields,
                      size_t index, const char* what, int32_t& out) {
    int64_t v = 0;
    if (!field_number(func, s, fields, index, what, 10, true, INT32_MIN, INT32_MAX, v)) return false;
    out = static_cast<int32_t>(v);
    return true;
}

bool script_field_octal(const char* func, const script_file& s, const std::vector<std::string_view>& fields,
                        size_t index, const char* what, uint32_t& out) {
    int64_t v = 0;
    if (!field_number(func, s, fields, index, what, 8, false, 0, UINT32_MAX, v)) return false;
    out = static_cast<uint32_t>(v);
    return true;
}
