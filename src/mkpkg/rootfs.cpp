// The system script from two root file-system trees. The device ends up as
// NEW only through what the agent's passes really do, in their fixed order:
// deletes, addlink, adddir, addfile, patchfile, then deleterecursive and
// addrecursive. Each choice below follows from one of those behaviours.
#include "mkpkg/rootfs.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string_view>

#include "core/file_util.h"
#include "mkpkg/bsdiff.h"

namespace {

enum class Kind { File, Dir, Link, Other };

struct node {
    Kind kind = Kind::Other;
    unsigned mode = 0;  // permission bits, 07777
    uid_t uid = 0;
    gid_t gid = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    nlink_t nlink = 1;
    std::string target;                 // Link
    std::vector<std::string> children;  // Dir, sorted
};

// Relative path ("" is the root) to what is there, links never followed.
using tree = std::map<std::string, node>;

struct dir_closer {
    DIR* d;
    ~dir_closer() {
        if (d) ::closedir(d);
    }
};

std::string join(const std::string& dir, const std::string& name) { return dir.empty() ? name : dir + "/" + name; }

std::string shown(const std::string& rel) { return "rootfs/" + rel; }

bool visible(const std::string& name) { return name[0] != '.'; }

bool scan(const fs::path& root, const std::string& rel, tree& t, std::vector<std::string>& errors) {
    fs::path p = rel.empty() ? root : root / rel;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) {
        errors.push_back(p.string() + ": " + std::strerror(errno));
        return false;
    }
    node n;
    n.mode = st.st_mode & 07777;
    n.uid = st.st_uid;
    n.gid = st.st_gid;
    n.dev = st.st_dev;
    n.ino = st.st_ino;
    n.nlink = st.st_nlink;
    if (S_ISREG(st.st_mode)) {
        n.kind = Kind::File;
    } else if (S_ISLNK(st.st_mode)) {
        n.kind = Kind::Link;
        std::string buf(256, '\0');
        for (;;) {
            ssize_t len = ::readlink(p.c_str(), buf.data(), buf.size());
            if (len < 0) {
                errors.push_back(p.string() + ": " + std::strerror(errno));
                return false;
            }
            if (static_cast<size_t>(len) < buf.size()) {
                n.target.assign(buf.data(), static_cast<size_t>(len));
                break;
            }
            buf.resize(buf.size() * 2);
        }
    } else if (S_ISDIR(st.st_mode)) {
        n.kind = Kind::Dir;
        dir_closer d{::opendir(p.c_str())};
        if (!d.d) {
            errors.push_back(p.string() + ": " + std::strerror(errno));
            return false;
        }
        errno = 0;
        while (dirent* e = ::readdir(d.d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") n.children.push_back(name);
        }
        if (errno != 0) {
            errors.push_back(p.string() + ": " + std::strerror(errno));
            return false;
        }
        std::sort(n.children.begin(), n.children.end());
    }
    auto children = n.children;
    t[rel] = std::move(n);
    bool ok = true;
    for (const auto& c : children) ok &= scan(root, join(rel, c), t, errors);
    return ok;
}

// The agent's own paths, measured with the longer of its two package places.
const std::string DELTA = "/data/delta";
constexpr const char* SAVE_FILES[] = {"/data/upgrade/install/savefile", "/system/savefile_ex"};
constexpr size_t LINE_LIMIT = 1024;  // a script line, and every path formed from it
constexpr size_t FORMED_LIMIT = 1024;
constexpr std::string_view SPACE = " \t\n\v\f\r";

// Where the package holds what a script path takes from it.
std::string package_dir(const std::string& path) { return path.starts_with("firmware/") ? "modem" : "system"; }

bool rest_of_line(const std::string& keyword) { return keyword == "deletefile" || keyword == "deletelink"; }

bool fits(size_t limit, std::string_view tmpl, std::initializer_list<std::string_view> paths) {
    return make_command(limit, tmpl, paths).has_value();
}

// Why the agent could not carry out this line exactly as meant, or nothing.
std::optional<std::string> unfit(const std::string& keyword, const std::string& path, const std::string& text) {
    bool rest = rest_of_line(keyword);
    if (path.find_first_of("\n\r") != std::string::npos)
        return "a line feed or carriage return in the name, which ends a script line";
    if (!rest && path.find(',') != std::string::npos)
        return "a comma in the name, where the script's field ends";
    if (rest && (SPACE.find(path.front()) != std::string_view::npos || SPACE.find(path.back()) != std::string_view::npos))
        return "white space at the start or end, which the script drops";
    bool names = false;
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        std::string_view c = std::string_view(path).substr(start, end - start);
        if (c == "..") return "a \"..\" component, which the agent refuses";
        // A trailing '*' of a path is left outside the quotes of a command.
        if (!rest && c.ends_with('*')) return "a name ending in '*', which the agent's commands would expand";
        names |= !c.empty() && c != ".";
        start = end + 1;
    }
    if (!names) return "names the root, which the agent refuses";
    if (text.size() >= LINE_LIMIT)
        return "its script line has " + std::to_string(text.size()) + " characters, at most " +
               std::to_string(LINE_LIMIT - 1) + " fit";
    std::string source = DELTA + "/" + package_dir(path) + "/" + path;
    std::string target = "/" + path;
    if (source.size() + std::strlen(".bak") >= FORMED_LIMIT) return "too long for the paths the agent forms from it";
    std::string dir = dir_part(target).value_or("/");
    bool ok = true;
    if (keyword == "addlink" || keyword == "addfile") {
        ok = target.size() < PATH_BUF_SIZE && fits(CMD_BUF_SIZE, "cp -av %s %s", {source, target}) &&
             fits(CMD_BUF_SIZE, "mkdir -p %s", {dir});
    } else if (keyword == "patchfile") {
        std::string backup = target + ".bak";
        ok = backup.size() < PATH_BUF_SIZE && fits(CMD_BUF_SIZE, "cp -av %s %s", {target, backup}) &&
             fits(CMD_BUF_SIZE, "df %s | sed '1d' | awk '{print $1}' | awk -F':' '{print $1}'", {dir}) &&
             fits(FORMED_LIMIT, "rm -f %s", {backup});
        for (const char* save : SAVE_FILES)
            ok = ok && fits(CMD_BUF_SIZE, "cp -av %s %s", {target, save}) &&
                 fits(CMD_BUF_SIZE, "cp -av %s %s", {backup, save});
    } else if (keyword == "adddir") {
        ok = fits(FORMED_LIMIT, "mkdir -p %s", {target}) && fits(FORMED_LIMIT, "mkdir -p %s", {dir});
    } else if (keyword == "deletedir") {
        ok = fits(FORMED_LIMIT, "rm -rf %s", {target});
    } else if (keyword == "deleterecursive") {
        ok = fits(FORMED_LIMIT, "rm -rf %s", {target + "*"});
    } else if (keyword == "addrecursive") {
        ok = fits(FORMED_LIMIT, "cp -af %s %s", {source + "*", target});
    }
    if (!ok) return "too long for the agent's command buffers";
    return std::nullopt;
}

std::string octal(unsigned mode) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%o", mode);
    return buf;
}

// A pair of regular files compared, and patched when they differ.
struct file_job {
    std::string path;
    bool patch_wanted = false;
    bool read_ok = false;
    bool same = false;
    std::string md5old, md5new;
    std::string patch;  // empty: none worth carrying
    std::string error;
};

constexpr const char* PASS_ORDER[] = {"deletefile", "deletelink", "deletedir",       "addlink",     "adddir",
                                      "addfile",    "patchfile",  "deleterecursive", "addrecursive"};

struct planner {
    tree o, n;
    std::vector<std::string> errors;
    std::map<std::string, std::string> text;                 // keyword + '\0' + path -> line
    // What the package holds besides the patches, which stay with their
    // jobs: NEW files and links, and whole NEW subtrees.
    std::vector<std::pair<std::string, std::string>> files, subtrees;  // package path, NEW path
    std::vector<file_job> jobs;
    std::set<std::string> addfile_later;  // NEW paths whose addfile line waits for its digest

    const node* old_at(const std::string& p) const {
        auto it = o.find(p);
        return it == o.end() ? nullptr : &it->second;
    }
    const node* new_at(const std::string& p) const {
        auto it = n.find(p);
        return it == n.end() ? nullptr : &it->second;
    }

    void emit(const std::string& keyword, const std::string& path, const std::string& line) {
        if (auto why = unfit(keyword, path, line)) {
            errors.push_back(shown(path) + ": " + *why);
            return;
        }
        text[keyword + '\0' + path] = line;
    }
    void simple(const std::string& keyword, const std::string& path) { emit(keyword, path, keyword + "," + path); }

    std::string package_path(const std::string& path) const { return package_dir(path) + "/" + path; }

    bool has_link(const std::string& p) const {
        const node& x = n.at(p);
        if (x.kind == Kind::Link) return true;
        if (x.kind != Kind::Dir) return false;
        for (const auto& c : x.children)
            if (has_link(join(p, c))) return true;
        return false;
    }

    void add_file(const std::string& p) {
        files.emplace_back(package_path(p), p);
        addfile_later.insert(p);
    }

    void add_link(const std::string& p) {
        files.emplace_back(package_path(p), p);
        simple("addlink", p);
    }

    // p does not exist when the add passes run, and its parent does, with
    // its final mode.
    void add_new(const std::string& p) {
        const node& x = n.at(p);
        if (x.kind == Kind::File) add_file(p);
        else if (x.kind == Kind::Link) add_link(p);
        else if (x.kind == Kind::Dir) new_dir(p);
    }

    // addlink runs before adddir and makes a missing parent in the device's
    // default mode, which adddir then passes over. So no addlink may have a
    // new directory as its parent: links under a new directory come by
    // addrecursive, whose cp -a keeps every mode. Its glob sees no name with
    // a leading '.'; those get lines of their own.
    void new_dir(const std::string& p) {
        const node& x = n.at(p);
        emit("adddir", p, "adddir," + p + "," + octal(x.mode));
        bool recursive = false;
        for (const auto& c : x.children)
            recursive |= visible(c) && has_link(join(p, c));
        if (recursive) {
            simple("addrecursive", p + "/");
            for (const auto& c : x.children)
                if (visible(c)) subtrees.emplace_back(package_path(join(p, c)), join(p, c));
        }
        for (const auto& c : x.children) {
            if (recursive && visible(c)) continue;
            std::string q = join(p, c);
            const node& y = n.at(q);
            if (y.kind == Kind::Link)
                errors.push_back(shown(q) + ": a link named with a leading '.' directly in a new directory: the "
                                            "agent would make the directory in its default mode");
            else add_new(q);
        }
    }

    // Every visible name differs: the agent empties the directory and copies
    // the package's over it, which needs no line for the names it covers.
    bool wholesale(const std::string& d) const {
        const node &a = o.at(d), &b = n.at(d);
        auto vis = [](const node& x) {
            std::set<std::string> s;
            for (const auto& c : x.children)
                if (visible(c)) s.insert(c);
            return s;
        };
        auto va = vis(a), vb = vis(b);
        if (va.empty() || vb.empty()) return false;
        for (const auto& c : va)
            if (vb.count(c)) return false;
        return true;
    }

    // Whether the link at p reaches an entry through entries that no line
    // touches (alike in both trees), as the delete passes leave them.
    bool leads_somewhere(const std::string& p) const {
        std::vector<std::string> at;  // the directory reached so far
        std::vector<std::string> todo;
        auto push = [&todo](const std::string& target) {
            std::vector<std::string> parts;
            for (size_t start = 0; start <= target.size();) {
                size_t end = std::min(target.find('/', start), target.size());
                parts.push_back(target.substr(start, end - start));
                start = end + 1;
            }
            todo.insert(todo.end(), parts.rbegin(), parts.rend());
        };
        for (size_t start = 0, end; (end = p.find('/', start)) != std::string::npos; start = end + 1)
            at.push_back(p.substr(start, end - start));
        push(o.at(p).target);
        if (o.at(p).target.starts_with('/')) at.clear();
        for (int hops = 0; !todo.empty();) {
            std::string c = todo.back();
            todo.pop_back();
            if (c.empty() || c == ".") continue;
            if (c == "..") {
                if (!at.empty()) at.pop_back();
                continue;
            }
            std::string q;
            for (const auto& d : at) q += d + "/";
            q += c;
            const node *x = old_at(q), *y = new_at(q);
            if (!x || !y || x->kind != y->kind || x->kind == Kind::Other) return false;
            if (x->kind == Kind::Link) {
                if (x->target != y->target || ++hops > 40) return false;
                push(x->target);
                if (x->target.starts_with('/')) at.clear();
            } else if (x->kind == Kind::File) {
                if (x->nlink > 1 || !todo.empty()) return false;
            } else {
                at.push_back(c);
            }
        }
        return true;
    }

    // A directory that is one in both trees.
    void kept_dir(const std::string& d) {
        const node &a = o.at(d), &b = n.at(d);
        if (a.mode != b.mode)
            errors.push_back(shown(d) + ": mode of an existing directory changes (" + octal(a.mode) + " to " +
                             octal(b.mode) + "), which the agent cannot do");
        bool whole = !d.empty() && wholesale(d);
        if (whole) {
            simple("deleterecursive", d + "/");
            simple("addrecursive", d + "/");
            for (const auto& c : b.children)
                if (visible(c)) subtrees.emplace_back(package_path(join(d, c)), join(d, c));
        }
        std::set<std::string> names(a.children.begin(), a.children.end());
        names.insert(b.children.begin(), b.children.end());
        for (const auto& c : names)
            if (!whole || !visible(c)) entry(join(d, c));
    }

    void entry(const std::string& p) {
        const node *a = old_at(p), *b = new_at(p);
        if (a && b && (a->uid != b->uid || a->gid != b->gid))
            errors.push_back(shown(p) + ": owner changes (" + std::to_string(a->uid) + ":" + std::to_string(a->gid) +
                             " to " + std::to_string(b->uid) + ":" + std::to_string(b->gid) +
                             "), which the agent cannot do");
        if (a && b && a->kind == b->kind) {
            if (a->kind == Kind::Dir) return kept_dir(p);
            if (a->kind == Kind::Link) {
                if (a->target == b->target) return;
                simple("deletelink", p);
                return add_link(p);
            }
            if (a->kind == Kind::File) {
                file_job j;
                j.path = p;
                // patchfile keeps the old content at P.bak and removes
                // whatever is there when it is done.
                j.patch_wanted = !n.count(p + ".bak");
                jobs.push_back(std::move(j));
                return;
            }
            // Both other kinds: the new one is refused anyway.
        }
        // A run cut off after the directory is made runs the deletes again,
        // and unlink fails on a directory where rm -rf does not; the
        // directory goes with all it holds, which the later passes put back.
        // deletedir's test follows a link, so only one that still leads
        // somewhere then is removed that way.
        bool to_dir = b && b->kind == Kind::Dir;
        if (a && (a->kind == Kind::Dir || (to_dir && (a->kind != Kind::Link || leads_somewhere(p)))))
            simple("deletedir", p);
        else if (a)
            simple(a->kind == Kind::Link ? "deletelink" : "deletefile", p);
        if (a && a->kind == Kind::Link && to_dir && !leads_somewhere(p))
            errors.push_back(shown(p) + ": a symbolic link that leads nowhere becomes a directory, which the agent "
                                        "cannot survive a power cut in: a run cut off after the directory is made "
                                        "fails on every later run");
        if (b) add_new(p);
    }

    // The pairs of regular files, after their comparison.
    void file_results() {
        for (auto& j : jobs) {
            if (!j.read_ok) {
                errors.push_back(j.error);
                continue;
            }
            const node &a = o.at(j.path), &b = n.at(j.path);
            if (j.same && a.mode == b.mode) continue;
            // A mode alone goes with the whole file: an agent that finds a
            // patch's file already new need not touch its mode.
            if (j.patch_wanted && !j.same && !j.patch.empty()) {
                emit("patchfile", j.path,
                     "patchfile," + j.path + "," + j.md5old + "," + j.md5new + ",0," + octal(b.mode));
                continue;
            }
            // addfile's cp writes through the old inode, into its other names.
            if (a.nlink > 1) simple("deletefile", j.path);
            add_file(j.path);
        }
    }

    void whole_tree_checks() {
        std::map<std::pair<dev_t, ino_t>, std::vector<std::string>> links;
        for (const auto& [p, x] : n) {
            if (x.kind == Kind::Other)
                errors.push_back(shown(p) + ": a device node, named pipe or socket, which the agent cannot make");
            if (x.kind == Kind::File && x.nlink > 1) links[{x.dev, x.ino}].push_back(p);
            for (const char* save : SAVE_FILES)
                if ("/" + p == save)
                    errors.push_back(shown(p) + ": the agent removes this work file of its own at the end");
        }
        for (const auto& [id, paths] : links) {
            if (paths.size() < 2) continue;
            for (const auto& p : paths) {
                std::string others;
                for (const auto& q : paths)
                    if (q != p) others += (others.empty() ? "" : ", ") + shown(q);
                errors.push_back(shown(p) + ": a hard link shared with " + others + ", which the agent cannot make");
            }
        }
    }
};

void compare_files(const fs::path& old_root, const fs::path& new_root, file_job& j) {
    bytes a, b;
    if (!read_file(old_root / j.path, a, j.error) || !read_file(new_root / j.path, b, j.error)) return;
    j.read_ok = true;
    j.same = a == b;
    j.md5old = md5_hex(a);
    j.md5new = j.same ? j.md5old : md5_hex(b);
    // The agent's patcher refuses an empty old file.
    if (j.same || !j.patch_wanted || a.empty()) return;
    std::string patch, error;
    if (make_patch(a, b, patch, error) != 0) {
        std::fprintf(stderr, "dfota-mkpkg: %s: no patch (%s), the whole file goes instead\n", shown(j.path).c_str(),
                     error.c_str());
        return;
    }
    if (!verify_patch(a, b, patch, error)) {
        std::fprintf(stderr, "dfota-mkpkg: %s: the patch does not rebuild the file (%s), the whole file goes instead\n",
                     shown(j.path).c_str(), error.c_str());
        return;
    }
    if (patch.size() < b.size()) j.patch = std::move(patch);
}

}  // namespace

bool make_rootfs_update(const fs::path& old_root, const fs::path& new_root, const fs::path& out,
                        std::map<std::string, int>& counts, std::vector<std::string>& errors) {
    planner pl;
    bool scanned = scan(old_root, "", pl.o, errors);
    scanned &= scan(new_root, "", pl.n, errors);
    if (!scanned) return false;
    if (pl.o.at("").kind != Kind::Dir || pl.n.at("").kind != Kind::Dir) {
        errors.push_back("rootfs: not a directory");
        return false;
    }
    pl.whole_tree_checks();
    pl.entry("");

    progress("root file system: comparing %zu files", pl.jobs.size());
    parallel_for(pl.jobs.size(), [&](size_t i) { compare_files(old_root, new_root, pl.jobs[i]); });
    pl.file_results();
    for (const auto& p : pl.addfile_later) {
        const node& x = pl.n.at(p);
        if (x.kind != Kind::File) continue;
        bytes data;
        std::string error;
        if (!read_file(new_root / p, data, error)) {
            pl.errors.push_back(error);
            continue;
        }
        pl.emit("addfile", p, "addfile," + p + "," + md5_hex(data) + "," + octal(x.mode));
    }
    for (auto& e : pl.errors) errors.push_back(std::move(e));
    if (!errors.empty()) return false;
    if (pl.text.empty()) return true;

    for (const char* d : {"system", "modem"})
        if (struct stat st; ::lstat((out / d).c_str(), &st) == 0) {
            errors.push_back((out / d).string() + ": already there; the package's files would mix with it");
            return false;
        }
    std::string script;
    for (const char* k : PASS_ORDER) {
        int count = 0;
        for (auto it = pl.text.lower_bound(std::string(k) + '\0');
             it != pl.text.end() && it->first.starts_with(std::string(k) + '\0'); ++it, ++count)
            script += it->second + "\n";
        if (count) counts[k] += count;
    }
    std::string error;
    std::map<fs::path, unsigned> dir_modes;
    bool ok = write_file(out / "updater_script_system",
                         std::span(reinterpret_cast<const uint8_t*>(script.data()), script.size()), 0644, error);
    for (const auto& [pkg, rel] : pl.files)
        ok = ok && copy_entry(new_root / rel, out / pkg, dir_modes, error);
    for (const auto& [pkg, rel] : pl.subtrees)
        ok = ok && copy_entry(new_root / rel, out / pkg, dir_modes, error);
    for (const auto& j : pl.jobs)
        if (ok && !j.patch.empty() && pl.text.count(std::string("patchfile") + '\0' + j.path))
            ok = write_file(out / (pl.package_path(j.path) + ".p"),
                            std::span(reinterpret_cast<const uint8_t*>(j.patch.data()), j.patch.size()), 0644, error);
    // Those the package only passes through get one fixed mode.
    std::error_code ec;
    for (const char* d : {"system", "modem"}) {
        if (std::error_code none; !fs::is_directory(out / d, none)) continue;
        dir_modes.try_emplace(out / d, 0755);
        for (fs::recursive_directory_iterator it(out / d, ec), end; !ec && it != end; it.increment(ec))
            if (it->symlink_status(ec).type() == fs::file_type::directory) dir_modes.try_emplace(it->path(), 0755);
    }
    ok = ok && set_dir_modes(dir_modes, error);
    if (ec && ok) {
        ok = false;
        error = out.string() + ": " + ec.message();
    }
    if (!ok) errors.push_back(error);
    return ok;
}
