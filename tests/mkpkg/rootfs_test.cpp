// The root file-system part: what cannot be said is refused path by path,
// and what is said brings the old tree to the new one through the agent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <set>

#include "mkpkg/rootfs.h"
#include "mkpkg/scratch.h"

namespace {

// kind: 'f' file, 'd' directory, 'l' link to text, 'h' hard link to text,
// 'p' named pipe, 'u' file of owner 1:1. Directories get their mode after their content.
struct item {
    std::string path;
    char kind;
    std::string text;
    unsigned mode = 0644;
};

void build(const fs::path& root, const std::vector<item>& items) {
    fs::create_directories(root);
    std::string error;
    for (const auto& i : items) {
        fs::path p = root / i.path;
        fs::create_directories(p.parent_path());
        bool ok = true;
        if (i.kind == 'f') ok = write_file(p, {(const uint8_t*)i.text.data(), i.text.size()}, i.mode, error);
        if (i.kind == 'd') fs::create_directories(p);
        if (i.kind == 'l') fs::create_symlink(i.text, p);
        if (i.kind == 'h') fs::create_hard_link(root / i.text, p);
        if (i.kind == 'p') ok = ::mkfifo(p.c_str(), 0644) == 0;
        if (i.kind == 'u') ok = write_file(p, {}, i.mode, error) && ::chown(p.c_str(), 1, 1) == 0;  // as root
        ASSERT_TRUE(ok) << i.path << " " << error;
    }
    for (auto it = items.rbegin(); it != items.rend(); ++it)
        if (it->kind == 'd') fs::permissions(root / it->path, fs::perms(it->mode));
}

std::string blob(size_t size, unsigned seed) {
    std::mt19937 rnd(seed);
    std::string s;
    while (s.size() < size) s.append(rnd() % 40 + 1, static_cast<char>('a' + rnd() % 26));
    return s.substr(0, size);
}

// Every entry under the named tops of root: kind, mode, link target or digest.
void describe(const fs::path& root, const fs::path& p, std::map<std::string, std::string>& out) {
    struct stat st;
    ASSERT_EQ(::lstat(p.c_str(), &st), 0) << p;
    std::string d = std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) d += " -> " + fs::read_symlink(p).string();
    bytes data;
    std::string error;
    if (S_ISREG(st.st_mode)) d += " " + (read_file(p, data, error) ? md5_hex(data) : error);
    out[p.lexically_relative(root).string()] = d;
    if (S_ISDIR(st.st_mode))
        for (const auto& e : fs::directory_iterator(p)) describe(root, e.path(), out);
}

std::map<std::string, std::string> describe(const fs::path& root, const std::set<std::string>& tops) {
    std::map<std::string, std::string> out;
    for (const auto& top : tops) describe(root, root / top, out);
    return out;
}

const std::string BIG = blob(60000, 1), LONG(250, 'm');

TEST(RootfsUpdate, WhatTheScriptCannotSayIsRefusedPathByPath) {
    const std::vector<item> base = {{"usr", 'd', "", 0755}, {"usr/keep", 'f', "k"}};
    struct row {
        const char* what;
        std::vector<item> old_extra, new_extra;
        std::vector<std::string> named;
    } rows[] = {
        {"owner", {{"usr/own", 'f', ""}}, {{"usr/own", 'u', ""}}, {"rootfs/usr/own:"}},
        {"device node or pipe", {}, {{"usr/fifo", 'p', ""}}, {"rootfs/usr/fifo:"}},
        {"hard link in NEW", {}, {{"usr/a", 'f', "x"}, {"usr/b", 'h', "usr/a"}}, {"rootfs/usr/a:", "rootfs/usr/b:"}},
        {"mode of a kept directory", {{"usr/d", 'd', "", 0755}}, {{"usr/d", 'd', "", 0700}}, {"rootfs/usr/d:"}},
        {"commands over 256 bytes", {}, {{"usr/" + std::string(200, 'n'), 'f', "x"}}, {std::string(200, 'n') + ":"}},
        {"paths over 1024 bytes", {}, {{"usr/" + LONG + "/" + LONG + "/" + LONG + "/" + LONG + "/f", 'f', "x"}},
         {LONG + "/" + LONG + ":", LONG + "/f:"}},
        {"comma, line feed, every one listed", {},
         {{"usr/a,b", 'f', "x"}, {"usr/c\nd", 'f', "x"}, {"usr/e,f", 'l', "x"}},
         {"rootfs/usr/a,b:", "rootfs/usr/c\nd:", "rootfs/usr/e,f:"}},
        {"white space around a deleted name", {{"usr/trail ", 'f', "x"}}, {}, {"rootfs/usr/trail :"}},
        {"name ending in a glob", {}, {{"usr/star*", 'f', "x"}}, {"rootfs/usr/star*:"}},
        {"dot link in a new directory", {}, {{"usr/new/.l", 'l', "x"}}, {"rootfs/usr/new/.l:"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        scratch s;
        auto o = base, n = base;
        o.insert(o.end(), r.old_extra.begin(), r.old_extra.end());
        n.insert(n.end(), r.new_extra.begin(), r.new_extra.end());
        build(s.dir / "old", o);
        build(s.dir / "new", n);
        std::map<std::string, int> counts;
        std::vector<std::string> errors;
        EXPECT_FALSE(make_rootfs_update(s.dir / "old", s.dir / "new", s.dir / "out", counts, errors));
        EXPECT_EQ(errors.size(), r.named.size());
        for (const auto& name : r.named)
            EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [&](auto& e) { return e.find(name) != e.npos; }))
                << name;
        EXPECT_FALSE(fs::exists(s.dir / "out" / "updater_script_system"));
    }
}

TEST(RootfsUpdate, TheAgentBringsOldToNew) {
    const char* sim = std::getenv("DFOTA_SIM");
    if (!sim) GTEST_SKIP() << "DFOTA_SIM names no dfota-sim";
    scratch s;
    std::string big2 = BIG;
    for (size_t i = 0; i < big2.size(); i += 997) big2[i] = '#';
    std::vector<item> common = {{"usr/bin", 'd', "", 0755},    {"usr/lib", 'd', "", 0755}, {"usr/share", 'd', "", 0755},
                                {"usr/lib/keep", 'l', "libc"}, {"lib", 'l', "usr/lib"},     {"opt", 'd', "", 0755}};
    std::vector<item> o = common, n = common;
    o.insert(o.end(), {{"usr/bin/big", 'f', BIG, 0755}, {"usr/bin/mode", 'f', "m"}, {"usr/bin/gone", 'f', "g"},
                       {"usr/bin/hard", 'f', "h"}, {"usr/bin/hard2", 'h', "usr/bin/hard"}, {"usr/lib/a,b.so", 'f', "c"},
                       {"usr/lib/old.so", 'l', "x"}, {"usr/lib/re.so", 'l', "re.1"}, {"usr/share/f2d", 'f', "x"},
                       {"usr/share/d2f/x", 'f', "x"}, {"usr/share/l2d", 'l', "../lib"}, {"usr/share/f2l", 'f', "x"},
                       {"usr/share/d2l/y", 'f', "y"}, {"www/index.html", 'f', "i"}, {"www/old/x", 'f', "x"},
                       {"www/.keep", 'f', "k"}, {"firmware/modem.bin", 'f', BIG}});
    n.insert(n.end(), {{"usr/bin/big", 'f', big2, 0755}, {"usr/bin/mode", 'f', "m", 0600}, {"usr/bin/hard", 'f', "h", 0755},
                       {"usr/bin/hard2", 'f', "h"}, {"usr/bin/my tool", 'f', "t", 0750}, {"usr/lib/re.so", 'l', "re.2"},
                       {"usr/lib/new.so", 'l', "new.1"}, {"usr/share/f2d/in", 'f', "in"}, {"usr/share/d2f", 'f', "d"},
                       {"usr/share/l2d", 'd', "", 0711}, {"usr/share/f2l", 'l', "f"}, {"usr/share/d2l", 'l', "d"},
                       {"usr/share/plain/deep/f", 'f', "p", 0600}, {"usr/share/plain", 'd', "", 0711},
                       {"opt/app/run", 'f', "r", 0755}, {"opt/app/lib/cur", 'l', "v1"}, {"opt/app/.conf", 'f', "c", 0600},
                       {"opt/app/.cache/c", 'f', "c"}, {"opt/app/lib", 'd', "", 0700}, {"opt/app", 'd', "", 0750},
                       {"www/main.html", 'f', "m"}, {"www/img/logo", 'f', "l"}, {"www/home", 'l', "main.html"},
                       {"www/.keep", 'f', "k2"}, {"firmware/modem.bin", 'f', big2}, {"firmware/new.bin", 'f', "n"}});
    build(s.dir / "old", o);
    build(s.dir / "new", n);

    std::map<std::string, int> counts, again;
    std::vector<std::string> errors;
    fs::path pkg = s.dir / "root/data/delta";
    ASSERT_TRUE(make_rootfs_update(s.dir / "old", s.dir / "new", pkg, counts, errors)) << errors[0];
    // The same bytes whatever the thread count.
    ::setenv("DFOTA_MKPKG_JOBS", "1", 1);
    ASSERT_TRUE(make_rootfs_update(s.dir / "old", s.dir / "new", s.dir / "again", again, errors));
    ::unsetenv("DFOTA_MKPKG_JOBS");
    EXPECT_EQ(describe(pkg, {"system", "modem", "updater_script_system"}),
              describe(s.dir / "again", {"system", "modem", "updater_script_system"}));
    EXPECT_EQ(counts, again);
    EXPECT_TRUE(fs::exists(pkg / "system/usr/bin/big.p") && fs::exists(pkg / "modem/firmware/modem.bin.p"));
    EXPECT_EQ(counts["deleterecursive"], 1);  // www
    EXPECT_EQ(counts["addrecursive"], 2);     // www, opt/app (a link inside)

    fs::path root = s.dir / "root";
    ASSERT_EQ(std::system(("cp -a '" + (s.dir / "old").string() + "/.' '" + root.string() + "'").c_str()), 0);
    std::string error;
    auto put = [&](const char* rel, std::string_view text, unsigned mode) {
        ASSERT_TRUE(write_file(root / rel, {(const uint8_t*)text.data(), text.size()}, mode, error));
    };
    for (const char* tool : {"abctl", "marvane_dev_info", "ubidetach", "mount", "umount", "reboot"})
        put((std::string("bin/") + tool).c_str(), "#!/bin/sh\nexit 0\n", 0755);
    put("bin/df", "#!/bin/sh\nexec /bin/df \"$@\"\n", 0755);
    put("proc/cmdline", "console=ttyMSM0\n", 0644);
    put("proc/partitions", "major minor  #blocks  name\n 179  0 7634944 mmcblk0\n", 0644);
    put("data/delta/partition_image_map.cfg", "", 0644);
    for (const char* d : {"tmp", "dev", "system"}) fs::create_directories(root / d);
    std::string run = "DFOTA_SYSROOT='" + root.string() + "' '" + sim + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(run.c_str()), 0) << std::ifstream(root / "data/upgrade/install/log").rdbuf();
    std::set<std::string> tops = {"usr", "lib", "www", "opt", "firmware"};
    EXPECT_EQ(describe(root, tops), describe(s.dir / "new", tops));
}

}  // namespace
