#include "mkpkg/check.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

extern char** environ;

namespace {

constexpr size_t kPartitionAlign = 128 * 1024;
constexpr unsigned kEraseSize = 0x20000;
constexpr int kCutStatus = 137;
constexpr const char* kPrefix = "dfota-mkpkg --check: ";

const char* const kPlatformTools[] = {"abctl", "marvane_dev_info", "ubidetach", "mount", "umount", "df", "reboot"};
// Run from the device's bin/ before the host's: a root file system that
// brings its own would replace the tool the agent relies on.
const char* const kOrdinaryTools[] = {"ls", "awk", "grep", "sed", "cat", "cp", "mv", "rm", "mkdir", "touch", "sync", "sh"};
// The device's own runtime areas: what the agent leaves there (log, status,
// markers, the package) is not part of the firmware.
const char* const kRuntimeTops[] = {"proc", "dev", "sys", "data", "tmp"};

const char kToolHead[] = "#!/bin/sh\nroot=${0%/bin/*}\necho \"${0##*/} $*\" >> \"$root/tool_calls\"\n";
const char kAbctl[] =
    "if [ \"$1\" = --set_active ]; then\n  echo \"$2\" > \"$root/etc/active_slot\"\n  exit 0\nfi\n"
    "[ \"$1\" = --boot_slot ] || exit 1\ncat \"$root/etc/slot\" 2>/dev/null\nexit 0\n";
const char kDf[] = "exec /bin/df \"$@\"\n";

struct slot_partition {
    std::string logical;  // name in firmware.toml and the scripts
    std::string device;   // name on the device
    char slot = 0;        // 'a', 'b', or 0 on NR
    size_t size = 0;
    size_t node = 0;              // mtdN or mmcblk0p(N + 1)
    const bytes* initial = nullptr;   // what it holds before the run
    const bytes* expected = nullptr;  // what its first bytes must hold after
    bool whole = false;               // expected covers the whole partition
};

struct row {
    std::string what, slot, expected, found;
    bool ok = true;
};

struct context {
    const firmware_desc& fw;
    const check_options& opt;
    std::vector<bytes> old_images, new_images;
    std::vector<bytes> erased;  // per slot partition without an old image
    std::vector<slot_partition> parts;
    std::string cmdline;
    std::map<std::string, std::string> old_tree, new_tree;  // rootfs: relative path -> description
    std::set<std::string> device_files;                     // paths the device builder writes
    std::string signer_key;  // put on the device as its trusted key
    fs::path base;
    bool keep = false;  // the devices stay for a look afterwards
};

std::string octal(mode_t mode) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

// How a path of a root file system shows in the table; never follows the
// last component.
std::string describe(const fs::path& p) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) return "absent";
    if (S_ISLNK(st.st_mode)) {
        std::error_code ec;
        fs::path target = fs::read_symlink(p, ec);
        return ec ? "link (unreadable)" : "link -> " + target.string();
    }
    if (S_ISDIR(st.st_mode)) return "dir " + octal(st.st_mode);
    if (S_ISREG(st.st_mode)) {
        bytes data;
        std::string error;
        if (!read_file(p, data, error)) return "file " + octal(st.st_mode) + " (unreadable)";
        return "file " + octal(st.st_mode) + " " + md5_hex(data);
    }
    return "special " + octal(st.st_mode);
}

bool walk_tree(const fs::path& root, std::map<std::string, std::string>& out, std::string& error) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        out[it->path().lexically_relative(root).generic_string()] = describe(it->path());
    if (ec) error = root.string() + ": " + ec.message();
    return !ec;
}

// Copies the contents of from into the directory to, as they are.
bool copy_tree(const fs::path& from, const fs::path& to, std::string& error) {
    std::map<fs::path, unsigned> dir_modes;
    std::error_code ec;
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec))
        if (!copy_entry(it->path(), to / it->path().filename(), dir_modes, error)) return false;
    if (ec) {
        error = from.string() + ": " + ec.message();
        return false;
    }
    return set_dir_modes(dir_modes, error);
}

bool write_text(const fs::path& p, const std::string& text, unsigned mode, std::string& error) {
    return write_file(p, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), mode, error);
}

std::string read_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The old firmware's versions on the kernel command line, where the version
// gates look for what the device runs.
bool old_cmdline(const fs::path& versions, std::string& out, std::string& error) {
    out = "console=ttyMSM0";
    std::error_code ec;
    if (!fs::is_directory(versions, ec)) return true;
    std::vector<fs::path> files;
    for (auto it = fs::directory_iterator(versions, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        files.push_back(it->path());
    if (ec) {
        error = versions.string() + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files)
        for (const auto& line : lines_of(read_text(f))) {
            // As the agent reads its version files: the first word after
            // the first "=".
            size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string key = trim(line.substr(0, eq)), value;
            std::istringstream(line.substr(eq + 1)) >> value;
            if (key.empty() || value.empty() || key.find_first_of(" \t") != std::string::npos) continue;
            out += " " + key + "=" + value;
        }
    return true;
}

std::string node_path(const context& c, const slot_partition& p) {
    return c.fw.nand ? "dev/mtd" + std::to_string(p.node) : "dev/mmcblk0p" + std::to_string(p.node + 1);
}

bool prepare(context& c, std::string& error) {
    const auto& fw = c.fw;
    c.old_images.resize(fw.partitions.size());
    c.new_images.resize(fw.partitions.size());
    for (size_t i = 0; i < fw.partitions.size(); ++i) {
        const auto& pd = fw.partitions[i];
        if (!read_file(c.opt.new_dir / "images" / pd.image, c.new_images[i], error)) return false;
        fs::path old = c.opt.old_dir / "images" / pd.image;
        std::error_code ec;
        if (fs::exists(fs::symlink_status(old, ec)) && !read_file(old, c.old_images[i], error)) return false;
    }
    c.erased.reserve(fw.partitions.size() * 2);
    std::map<std::string, std::string> taken;
    for (size_t i = 0; i < fw.partitions.size(); ++i) {
        const auto& pd = fw.partitions[i];
        const bytes &old = c.old_images[i], &now = c.new_images[i];
        size_t size = std::max(old.size(), now.size());
        size = std::max(kPartitionAlign, (size + kPartitionAlign - 1) / kPartitionAlign * kPartitionAlign);
        auto add = [&](const std::string& device, char slot, const bytes* expected) {
            auto [at, fresh] = taken.emplace(device, pd.name);
            if (!fresh) {
                error = "partitions " + at->second + " and " + pd.name + " have the same device name " + device;
                return false;
            }
            slot_partition sp{pd.name, device, slot, size, c.parts.size(), &old, expected, false};
            if (!expected) {  // untouched and never held an image: erased throughout
                c.erased.emplace_back(size, uint8_t{0xff});
                sp.expected = &c.erased.back();
                sp.whole = true;
            }
            c.parts.push_back(sp);
            return true;
        };
        if (!fw.ab) {
            if (!add(pd.nr, 0, &now)) return false;
            continue;
        }
        // The running slot A is the source of every diff and stays old,
        // unless full images go to both slots.
        bool both = fw.both_slots && pd.update == update_kind::full;
        if (!add(pd.a, 'a', both ? &now : old.empty() ? nullptr : &old) || !add(pd.b, 'b', &now)) return false;
    }
    if (!old_cmdline(c.opt.old_dir / "versions", c.cmdline, error)) return false;

    for (const char* t : kPlatformTools) c.device_files.insert(std::string("bin/") + t);
    for (const char* t : kOrdinaryTools) c.device_files.insert(std::string("bin/") + t);
    for (const char* f : {"proc/cmdline", "proc/partitions", "proc/mtd", "etc/slot", "etc/active_slot", "tool_calls",
                          "data/delta"})
        c.device_files.insert(f);
    // A signed package is checked by a device that trusts its signer, unless
    // the old firmware carries trusted keys of its own: then by those.
    std::error_code sec;
    if (fs::exists(c.opt.package / "manifest.sig", sec) &&
        !fs::exists(c.opt.old_dir / "rootfs/etc/dfota/trusted.pub", sec)) {
        std::string sig = read_text(c.opt.package / "manifest.sig");
        c.signer_key = sig.substr(0, sig.find(' ')) + "\n";
        c.device_files.insert("etc/dfota/trusted.pub");
    }
    for (const auto& p : c.parts) {
        c.device_files.insert(node_path(c, p));
        if (!fw.nand) {
            c.device_files.insert("sys/block/mmcblk0/mmcblk0p" + std::to_string(p.node + 1) + "/size");
            c.device_files.insert("dev/block/bootdevice/by-name/" + p.device);
        }
    }
    std::set<std::string> dirs;  // every directory above a device file
    for (const auto& f : c.device_files)
        for (fs::path d = fs::path(f).parent_path(); !d.empty(); d = d.parent_path()) dirs.insert(d.generic_string());

    for (auto [tree, build] : {std::pair{&c.old_tree, &c.opt.old_dir}, std::pair{&c.new_tree, &c.opt.new_dir}}) {
        std::error_code ec;
        if (fs::is_directory(*build / "rootfs", ec) && !walk_tree(*build / "rootfs", *tree, error)) return false;
    }
    std::set<std::string> clash;
    for (const auto* tree : {&c.old_tree, &c.new_tree})
        for (const auto& [path, what] : *tree)
            if (c.device_files.count(path) || (dirs.count(path) && what.rfind("dir ", 0) != 0)) clash.insert(path);
    if (!clash.empty()) {
        error = "the root file system holds paths the simulated device runs its own tools or files from, so the "
                "package cannot be checked:";
        for (const auto& p : clash) error += " /" + p;
        return false;
    }
    return true;
}

// A fresh device holding the old firmware and the package.
bool build_device(const context& c, const fs::path& root, std::string& error) {
    std::error_code ec;
    if (!fs::create_directories(root, ec) && ec) {
        error = root.string() + ": " + ec.message();
        return false;
    }
    fs::path old_root = c.opt.old_dir / "rootfs";
    if (fs::is_directory(old_root, ec) && !copy_tree(old_root, root, error)) return false;
    for (const char* d : {"bin", "etc", "data", "tmp", "proc", "dev", "system"})
        if (!fs::is_directory(root / d, ec) && !fs::create_directory(root / d, ec)) {
            error = (root / d).string() + ": " + ec.message();
            return false;
        }
    std::string partitions = "major minor  #blocks  name\n", mtd = "dev:    size   erasesize  name\n";
    if (c.fw.nand) partitions += "  31  0  10240 mtdblock0\n";
    else partitions += " 179  0 7634944 mmcblk0\n";
    for (const auto& p : c.parts) {
        bytes content(p.size, 0xff);
        std::copy(p.initial->begin(), p.initial->end(), content.begin());
        if (!write_file(root / node_path(c, p), content, 0644, error)) return false;
        if (c.fw.nand) {
            char line[128];
            std::snprintf(line, sizeof line, "mtd%zu: %08zx %08x \"%s\"\n", p.node, p.size, kEraseSize, p.device.c_str());
            mtd += line;
            continue;
        }
        std::string node = "mmcblk0p" + std::to_string(p.node + 1);
        partitions += " 179 " + std::to_string(p.node + 1) + " " + std::to_string(p.size / 1024) + " " + node + "\n";
        if (!write_text(root / "sys/block/mmcblk0" / node / "size", std::to_string(p.size / 512) + "\n", 0644, error))
            return false;
        fs::path link = root / "dev/block/bootdevice/by-name" / p.device;
        fs::create_directories(link.parent_path(), ec);
        fs::create_symlink("../../../" + node, link, ec);
        if (ec) {
            error = link.string() + ": " + ec.message();
            return false;
        }
    }
    if (!write_text(root / "proc/cmdline", c.cmdline + "\n", 0644, error) ||
        !write_text(root / "proc/partitions", partitions, 0644, error) ||
        (c.fw.nand && !write_text(root / "proc/mtd", mtd, 0644, error)) ||
        (c.fw.ab && !write_text(root / "etc/slot", "_a", 0644, error)))
        return false;
    if (!c.signer_key.empty()) {
        fs::create_directories(root / "etc/dfota", ec);  // a failure shows in the write
        if (!write_text(root / "etc/dfota/trusted.pub", c.signer_key, 0644, error)) return false;
    }
    for (const char* t : kPlatformTools) {
        std::string body = kToolHead;
        if (!std::strcmp(t, "abctl")) body += kAbctl;
        if (!std::strcmp(t, "df")) body += kDf;
        if (!write_text(root / "bin" / t, body, 0755, error)) return false;
    }
    fs::create_directories(root / "data/delta", ec);
    return copy_tree(c.opt.package, root / "data/delta", error);
}

// One boot of the agent. The exit status (128 + signal when killed), or -1
// with error when it could not be started.
int run_agent(const context& c, const fs::path& root, const fs::path& trace, const fs::path& output, long cut_at,
              std::string& error) {
    std::error_code ec;
    fs::remove(trace, ec);
    std::vector<std::string> env = {"DFOTA_SYSROOT=" + root.string(), "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
                                    "LANG=C", "TZ=UTC", "DFOTA_SIM_TRACE=" + trace.string()};
    if (cut_at > 0) env.push_back("DFOTA_SIM_CUT_AT=" + std::to_string(cut_at));
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
    std::vector<char*> envp, argv = {const_cast<char*>(c.opt.sim.c_str()), nullptr};
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid;
    int rc = posix_spawn(&pid, c.opt.sim.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        error = c.opt.sim + ": " + std::strerror(rc);
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) {
            error = std::string("waitpid: ") + std::strerror(errno);
            return -1;
        }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string image_text(std::span<const uint8_t> data) {
    return md5_hex(data) + " (" + std::to_string(data.size()) + " bytes)";
}

std::vector<row> compare(const context& c, const fs::path& root, int status) {
    std::vector<row> rows;
    for (const auto& p : c.parts) {
        row r{p.logical + " (" + p.device + ")", p.slot ? std::string(1, p.slot) : "-", image_text(*p.expected), "", true};
        bytes got;
        std::string error;
        if (!read_file(root / node_path(c, p), got, error)) {
            r.found = "unreadable";
            r.ok = false;
        } else {
            if (!p.whole && got.size() > p.expected->size()) got.resize(p.expected->size());
            r.found = image_text(got);
            r.ok = got == *p.expected;
        }
        rows.push_back(r);
    }

    auto calls = lines_of(read_text(root / "tool_calls"));
    std::string expected, found;
    if (c.fw.ab) {
        std::string active = "no slot switch";
        bool reboot = false;
        for (const auto& l : calls) {
            if (l.rfind("abctl --set_active", 0) == 0) active = trim(l);
            if (l.rfind("reboot", 0) == 0) reboot = true;
        }
        expected = "abctl --set_active 1, reboot";
        found = active + (reboot ? ", reboot" : ", no reboot");
    } else {
        expected = "marvane_dev_info write boot_mode 0";
        found = std::find(calls.begin(), calls.end(), expected) != calls.end() ? expected : "boot mode not reset";
    }
    rows.push_back({"next boot arranged", "-", expected, found, expected == found});
    rows.push_back({"exit status", "-", "0", std::to_string(status), status == 0});

    // Every path either build holds; shown when the firmware changes it or
    // the device does not have it as the new build does.
    std::set<std::string> paths;
    for (const auto* tree : {&c.old_tree, &c.new_tree})
        for (const auto& kv : *tree) paths.insert(kv.first);
    for (const auto& path : paths) {
        auto o = c.old_tree.find(path), n = c.new_tree.find(path);
        std::string want = n == c.new_tree.end() ? "absent" : n->second;
        std::string had = o == c.old_tree.end() ? "absent" : o->second;
        std::string got = describe(root / path);
        if (want != had || want != got) rows.push_back({"/" + path, "-", want, got, want == got});
    }
    // What the run left elsewhere in the root file system: a backup, a save
    // file, a stray copy.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string rel = it->path().lexically_relative(root).generic_string();
        if (it.depth() == 0 && std::find_if(std::begin(kRuntimeTops), std::end(kRuntimeTops), [&](const char* t) {
                                   return rel == t;
                               }) != std::end(kRuntimeTops)) {
            it.disable_recursion_pending();
            continue;
        }
        if (paths.count(rel) || c.device_files.count(rel) || rel == "bin" || rel == "etc" || rel == "system" ||
            (rel == "etc/dfota" && !c.signer_key.empty()))
            continue;
        rows.push_back({"/" + rel, "-", "absent", describe(it->path()), false});
    }
    return rows;
}

void print_table(std::FILE* out, const std::vector<row>& rows) {
    size_t w[4] = {4, 4, 8, 5};
    for (const auto& r : rows) {
        w[0] = std::max(w[0], r.what.size());
        w[1] = std::max(w[1], r.slot.size());
        w[2] = std::max(w[2], r.expected.size());
        w[3] = std::max(w[3], r.found.size());
    }
    auto line = [&](const std::string& a, const std::string& b, const std::string& e, const std::string& f,
                    const char* res) {
        std::fprintf(out, "%-*s  %-*s  %-*s  %-*s  %s\n", int(w[0]), a.c_str(), int(w[1]), b.c_str(), int(w[2]),
                     e.c_str(), int(w[3]), f.c_str(), res);
    };
    line("what", "slot", "expected", "found", "result");
    for (const auto& r : rows) line(r.what, r.slot, r.expected, r.found, r.ok ? "ok" : "DIFFERS");
    size_t bad = std::count_if(rows.begin(), rows.end(), [](const row& r) { return !r.ok; });
    if (bad) std::fprintf(out, "check: %zu of %zu rows differ\n", bad, rows.size());
    else std::fprintf(out, "check: %zu rows, all equal\n", rows.size());
}

void print_log_tail(const fs::path& root) {
    auto lines = lines_of(read_text(root / "data/upgrade/install/log"));
    size_t from = lines.size() > 15 ? lines.size() - 15 : 0;
    std::fprintf(stderr, "%sthe device's log /data/upgrade/install/log ends:\n", kPrefix);
    if (lines.empty()) std::fprintf(stderr, "    (empty)\n");
    for (size_t i = from; i < lines.size(); ++i) std::fprintf(stderr, "    %s\n", lines[i].c_str());
}

// A power-on after a cut: /tmp lost, the slot last set active running.
bool power_on(const context& c, const fs::path& root, std::string& error) {
    std::error_code ec;
    fs::remove_all(root / "tmp", ec);
    if (ec || !fs::create_directory(root / "tmp", ec)) {
        error = (root / "tmp").string() + ": " + ec.message();
        return false;
    }
    if (!c.fw.ab || !fs::exists(root / "etc/active_slot", ec)) return true;
    std::string active = trim(read_text(root / "etc/active_slot"));
    return write_text(root / "etc/slot", active == "1" ? "_b" : "_a", 0644, error);
}

struct cut_result {
    long at = 0;
    std::string operation, outcome;
    bool ok = false;
};

cut_result run_cut(const context& c, size_t index, long at, const std::string& operation) {
    cut_result res{at, operation, "", false};
    fs::path dir = c.base / ("cut-" + std::to_string(index)), root = dir / "root";
    std::string error;
    if (!build_device(c, root, error)) {
        res.outcome = error;
        return res;
    }
    int rc = run_agent(c, root, dir / "trace", dir / "output", at, error);
    if (rc != kCutStatus) {
        res.outcome = rc < 0 ? error : "the run exited " + std::to_string(rc) + " before the cut";
        return res;
    }
    if (!power_on(c, root, error) || (rc = run_agent(c, root, dir / "trace", dir / "output", 0, error)) < 0) {
        res.outcome = error;
        return res;
    }
    std::string differ;
    for (const auto& r : compare(c, root, rc))
        if (!r.ok)
            differ += (differ.empty() ? "" : "; ") + r.what + (r.slot == "-" ? "" : " slot " + r.slot) + " is " +
                      r.found;
    res.ok = differ.empty();
    res.outcome = res.ok ? "ok" : "differs: " + differ;
    if (rc != 0) {
        auto log = lines_of(read_text(root / "data/upgrade/install/log"));
        if (!log.empty()) res.outcome += " (the log ends: " + log.back() + ")";
    }
    if (!c.keep) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    return res;
}

bool is_package(const fs::path& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return false;
    for (const char* f : {"partition_image_map.cfg", "updater_script_image_full", "updater_script_image_diff",
                          "updater_script_block_diff", "updater_script_system"})
        if (fs::is_regular_file(dir / f, ec)) return true;
    return false;
}

}  // namespace

int check_package(const firmware_desc& fw, const check_options& opt, std::FILE* out) {
    std::error_code ec;
    if (opt.sim.empty() || !fs::is_regular_file(opt.sim, ec) || ::access(opt.sim.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "%sthe simulated device's agent dfota-sim is missing or not executable: %s\n", kPrefix,
                     opt.sim.empty() ? "(none given)" : opt.sim.c_str());
        return 1;
    }
    if (!is_package(opt.package)) {
        std::fprintf(stderr, "%s%s is not a package directory (no partition_image_map.cfg, no updater script)\n",
                     kPrefix, opt.package.c_str());
        return 1;
    }
    for (const auto& d : {opt.old_dir, opt.new_dir})
        if (!fs::is_directory(d, ec)) {
            std::fprintf(stderr, "%s%s is not a firmware build directory\n", kPrefix, d.c_str());
            return 1;
        }
    if (opt.cuts < 0) {
        std::fprintf(stderr, "%sthe number of power cuts must not be negative\n", kPrefix);
        return 1;
    }

    context c{fw, opt, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, false};
    std::string error;
    if (!prepare(c, error)) {
        std::fprintf(stderr, "%s%s\n", kPrefix, error.c_str());
        return 1;
    }
    const char* tmp = std::getenv("TMPDIR");
    work_dir work;
    if (!make_work_dir(fs::path(tmp && *tmp ? tmp : "/var/tmp") / "dfota-check-XXXXXX", work, error)) {
        std::fprintf(stderr, "%s%s\n", kPrefix, error.c_str());
        return 1;
    }
    const char* k = std::getenv("DFOTA_MKPKG_KEEP");
    work.keep = k && !std::strcmp(k, "1");
    if (work.keep) std::fprintf(stderr, "%sthe simulated devices are kept in %s\n", kPrefix, work.path.c_str());
    c.base = work.path;
    c.keep = work.keep;

    if (!c.signer_key.empty())
        std::fprintf(out, "check: signed; the device trusts the signer's key %s", c.signer_key.c_str());
    fs::path clean = c.base / "clean", root = clean / "root";
    progress("check: building the simulated device");
    if (!build_device(c, root, error)) {
        std::fprintf(stderr, "%s%s\n", kPrefix, error.c_str());
        return 1;
    }
    progress("check: running the agent");
    int rc = run_agent(c, root, clean / "trace", clean / "output", 0, error);
    if (rc < 0) {
        std::fprintf(stderr, "%s%s\n", kPrefix, error.c_str());
        return 1;
    }
    auto rows = compare(c, root, rc);
    print_table(out, rows);
    bool ok = std::all_of(rows.begin(), rows.end(), [](const row& r) { return r.ok; });
    if (rc != 0) {
        std::fprintf(stderr, "%sthe run exited with status %d, not 0\n", kPrefix, rc);
        print_log_tail(root);
        if (opt.cuts > 0) std::fprintf(out, "cuts: none tried, the run without a cut failed\n");
        return 1;
    }
    if (opt.cuts == 0) return ok ? 0 : 1;

    // Operations of the run, as the device names them.
    std::vector<std::string> trace = lines_of(read_text(clean / "trace"));
    std::string prefix = root.string();
    for (auto& l : trace) {
        for (size_t at; (at = l.find(prefix)) != std::string::npos;) l.erase(at, prefix.size());
        size_t sp = l.find(' ');
        l = sp == std::string::npos ? l : l.substr(sp + 1);
        if (l.size() > 100) l = l.substr(0, 97) + "...";
    }
    long total = static_cast<long>(trace.size());
    if (total == 0) {
        std::fprintf(out, "cuts: none tried, the run made no operation\n");
        return ok ? 0 : 1;
    }
    std::vector<long> points;
    long n = std::min<long>(opt.cuts, total);
    for (long i = 0; i < n; ++i) points.push_back(n == 1 ? (total + 1) / 2 : 1 + i * (total - 1) / (n - 1));
    points.erase(std::unique(points.begin(), points.end()), points.end());

    std::vector<cut_result> results(points.size());
    parallel_for(points.size(), [&](size_t i) {
        progress("check: power cut %zu of %zu, at operation %ld of %ld", i + 1, points.size(), points[i], total);
        results[i] = run_cut(c, i, points[i], trace[static_cast<size_t>(points[i] - 1)]);
    });
    size_t good = 0;
    for (const auto& r : results) {
        std::fprintf(out, "cut at operation %ld (%s): %s\n", r.at, r.operation.c_str(), r.outcome.c_str());
        good += r.ok;
    }
    std::fprintf(out, "cuts: %zu of %zu ended on the new firmware (%ld operations in the run)\n", good,
                 results.size(), total);
    return ok && good == results.size() ? 0 : 1;
}
