#include "image/system_command.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "context/package.h"

namespace {

// Field kinds after the keyword: p path up to the next comma, r path that
// is the rest of the line, o/n old/new digest, x logged number, m mode.
struct command_form {
    const char* keyword;
    const char* fields;
};
constexpr command_form FORMS[] = {
    {"deletefile", "r"}, {"deletelink", "r"}, {"deletedir", "p"},        {"addlink", "p"},
    {"adddir", "pm"},    {"addfile", "pnm"},  {"patchfile", "ponxm"},    {"deleterecursive", "p"},
    {"addrecursive", "p"},
};

constexpr std::string_view SPACE = " \t\n\v\f\r";

std::string_view trim_front(std::string_view v) {
    size_t n = v.find_first_not_of(SPACE);
    return n == std::string_view::npos ? std::string_view() : v.substr(n);
}

std::string_view trim_back(std::string_view v) {
    size_t n = v.find_last_not_of(SPACE);
    return n == std::string_view::npos ? std::string_view() : v.substr(0, n + 1);
}

// What a path's components make of it: a climb when one is "..", the root
// itself when none names anything but "." or nothing.
enum class PathKind { Plain, Climbs, Root };

PathKind path_kind(std::string_view path) {
    bool names = false;
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        std::string_view c = path.substr(start, end - start);
        if (c == "..") return PathKind::Climbs;
        names |= !c.empty() && c != ".";
        start = end + 1;
    }
    return names ? PathKind::Plain : PathKind::Root;
}

}  // namespace

int parse_system_command(const char* func, const script_file& s, const std::string& line, const char* keyword,
                         system_command& cmd) {
    std::string_view text = line;
    std::vector<std::string_view> f = script_fields(text);
    if (f[0].empty()) return 0;
    const command_form* form = nullptr;
    for (const auto& x : FORMS)
        if (f[0] == x.keyword) form = &x;
    if (!form || (keyword && f[0] != keyword)) return 0;
    cmd = system_command{};
    cmd.keyword = form->keyword;
    bool ok = true;
    for (size_t i = 0; ok && form->fields[i]; ++i) {
        size_t at = i + 1;
        bool last = !form->fields[i + 1];
        switch (form->fields[i]) {
        case 'r':
            // Commas belong to the path; white space around it does not (a
            // line written on another system ends in a carriage return).
            f.resize(2);
            f[1] = trim_back(trim_front(text.substr(std::min(text.size(), f[0].size() + 1))));
            [[fallthrough]];
        case 'p':
            ok = script_field_text(func, s, f, at, SYSTEM_PATH_SIZE, "path", cmd.path);
            break;
        case 'o':
            ok = script_field_text(func, s, f, at, SCRIPT_DIGEST_SIZE, "old md5", cmd.md5old);
            break;
        case 'n':
            ok = script_field_text(func, s, f, at, SCRIPT_DIGEST_SIZE, "new md5", cmd.md5new);
            break;
        default:
            // An octal number may have white space before it, and after it
            // only where nothing of the pattern follows.
            if (at < f.size()) f[at] = last ? trim_back(trim_front(f[at])) : trim_front(f[at]);
            ok = form->fields[i] == 'x' ? script_field_octal(func, s, f, at, "number", cmd.number)
                                        : script_field_octal(func, s, f, at, "mode", cmd.mode);
        }
    }
    if (!ok) return -1;
    // Relative to the root, ".." could only climb out of the package for
    // the files taken from it, or hide from a reader which file is meant.
    // No command is for the root itself: "deleterecursive,/" would empty it.
    if (PathKind kind = path_kind(cmd.path); kind != PathKind::Plain) {
        script_log_line_error(func, s, kind == PathKind::Climbs ? "path with a \"..\" component"
                                                                : "path names the root directory");
        return -1;
    }
    // The longest paths formed from it: the backup beside the target and the
    // patch in the package.
    size_t prefix = std::max(DIR_ROOT.size(), std::strlen(get_delta_source_dir(cmd.path.c_str()))) + 1;
    if (prefix + cmd.path.size() + std::strlen(".bak") >= SYSTEM_PATH_SIZE) {
        script_log_line_error(func, s, "path too long for the paths formed from it");
        return -1;
    }
    return 1;
}

std::string system_target(const system_command& cmd) { return DIR_ROOT + "/" + cmd.path; }

std::string system_source(const system_command& cmd) {
    return std::string(get_delta_source_dir(cmd.path.c_str())) + "/" + cmd.path;
}
