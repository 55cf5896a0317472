// The generator's front: firmware.toml, the images it is given, the package
// and archive it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "mkpkg/package.h"
#include "mkpkg/scratch.h"

namespace {

struct work : scratch {
    void put(const fs::path& rel, const std::string& text) const {
        std::string error;
        ASSERT_TRUE(write_file(dir / rel, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, 0644, error))
            << error;
    }
    void put(const fs::path& rel, const bytes& data) const {
        std::string error;
        ASSERT_TRUE(write_file(dir / rel, data, 0644, error)) << error;
    }
};

// Firmware-like bytes: records repeated in runs, so patches stay small.
bytes image(size_t size, unsigned seed) {
    std::mt19937 rnd(seed);
    bytes out;
    while (out.size() < size) {
        uint8_t rec[48];
        for (auto& b : rec) b = static_cast<uint8_t>(rnd());
        for (unsigned n = rnd() % 40 + 1; n--;) out.insert(out.end(), rec, rec + sizeof rec);
    }
    out.resize(size);
    return out;
}

bytes revise(bytes b, unsigned seed) {
    std::mt19937 rnd(seed);
    for (int i = 0; i < 40; ++i) b[rnd() % b.size()] ^= static_cast<uint8_t>(rnd() | 1);
    return b;
}

const char DEVICE[] = "[device]\nstorage = \"emmc\"\nslots = \"nr\"\n";
const char PART[] = "[[partition]]\nname = \"modem\"\nimage = \"modem.img\"\nnr = \"modem\"\nupdate = \"diff\"\n";

// Every file under dir by relative path: content, or "-> target", and mode.
std::map<std::string, std::pair<std::string, unsigned>> tree(const fs::path& dir) {
    std::map<std::string, std::pair<std::string, unsigned>> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        struct stat st;
        ::lstat(e.path().c_str(), &st);
        std::string what;
        if (S_ISLNK(st.st_mode)) what = "-> " + fs::read_symlink(e.path()).string();
        else if (S_ISREG(st.st_mode)) {
            bytes b;
            std::string error;
            read_file(e.path(), b, error);
            what.assign(b.begin(), b.end());
        }
        out[e.path().lexically_relative(dir).string()] = {what, st.st_mode & 07777};
    }
    return out;
}

}  // namespace

TEST(Firmware, EveryWrongMissingOrUnknownFieldIsNamed) {
    struct row {
        std::string toml, error;
    };
    const std::string dev = DEVICE, part = PART;
    const row rows[] = {
        {"", "firmware.toml: missing"},
        {dev + "[[partition]\n", "firmware.toml:4: "},
        {"vendor = \"x\"\n" + dev + part, "top level: field \"vendor\": unknown field"},
        {part, "[device]: missing"},
        {"[device]\nstorage = \"ufs\"\nslots = \"nr\"\n", "[device]: field \"storage\": must be \"emmc\" or \"nand\", not \"ufs\""},
        {"[device]\nstorage = \"emmc\"\n", "[device]: field \"slots\": missing"},
        {dev + "both_slots = \"yes\"\n", "[device]: field \"both_slots\": must be true or false"},
        {dev + "both_slots = true\n", "[device]: field \"both_slots\": applies to slots = \"ab\" only"},
        {dev + "flash = 1\n", "[device]: field \"flash\": unknown field"},
        {"partition = 3\n" + dev, "[[partition]]: must be an array of tables"},
        {dev + "[[partition]]\nimage = \"m.img\"\n", "[[partition]] 1: field \"name\": missing"},
        {dev + "[[partition]]\nname = 3\n", "[[partition]] 1: field \"name\": must be a string"},
        {dev + part + "size = 4096\n", "[[partition]] 1 (modem): field \"size\": unknown field"},
        {dev + "[[partition]]\nname = \"modem\"\nimage = \"m\"\nupdate = \"full\"\n", "[[partition]] 1 (modem): field \"nr\": missing"},
        {"[device]\nstorage = \"nand\"\nslots = \"ab\"\n" + part + "a = \"modem_a\"\n", "(modem): field \"b\": missing"},
        {dev + "[[partition]]\nname = \"modem\"\nimage = \"m\"\nnr = \"modem\"\nupdate = \"patch\"\n",
         "(modem): field \"update\": must be \"full\" or \"diff\" or \"block\", not \"patch\""},
        {dev + "[[partition]]\nname = \"a,b\"\n", "[[partition]] 1: field \"name\": \"a,b\" holds a character"},
        {dev + "[[partition]]\nname = \"" + std::string(32, 'p') + "\"\n", "is longer than 31 characters"},
        {dev + "[[partition]]\nname = \"modem\"\nimage = \"sub/m.img\"\n", "(modem): field \"image\": \"sub/m.img\" holds"},
        {dev + part + part, "[[partition]] 2 (modem): field \"name\": \"modem\" is named by an earlier partition too"},
        {dev + part + "[[partition]]\nname = \"m2\"\nimage = \"x\"\nnr = \"modem\"\nupdate = \"full\"\n",
         "[[partition]] 2 (m2): field \"nr\": device name \"modem\" is used twice"},
    };
    for (const auto& r : rows) {
        work s;
        if (!r.toml.empty()) s.put("firmware.toml", r.toml);
        std::string error;
        EXPECT_FALSE(read_firmware(s.dir / "firmware.toml", error)) << r.toml;
        EXPECT_NE(error.find(r.error), std::string::npos) << "got: " << error << "\nwanted: " << r.error;
        EXPECT_EQ(error.rfind((s.dir / "firmware.toml").string(), 0), 0u) << error;
    }
}

TEST(Package, ImagesItCannotUseAreEachNamedAndNothingIsWritten) {
    struct row {
        std::string update, note;
        bool old_image, new_image;
        std::string error;
    };
    const row rows[] = {
        {"diff", "", false, true, "old/images/modem.img: missing; partition \"modem\" (update = \"diff\") is patched from it"},
        {"block", "", false, true, "old/images/modem.img: missing; partition \"modem\" (update = \"block\")"},
        {"full", "", true, false, "new/images/modem.img: No such file or directory (image of partition \"modem\")"},
        {"full", "empty", true, true, "new/images/modem.img: empty"},
        {"diff", "empty old", true, true, "old/images/modem.img: empty; an image diff needs"},
        {"full", "version", true, true, "new/versions/MODEM_VERSION: not a version file the agent reads"},
        {"full", "rootfs", true, true, "old/rootfs: missing"},
        {"full", "out", true, true, "out: exists and is not an empty directory"},
    };
    for (const auto& r : rows) {
        work s;
        s.put("new/firmware.toml", std::string(DEVICE) + "[[partition]]\nname = \"modem\"\nimage = \"modem.img\"\n"
                                       "nr = \"modem\"\nupdate = \"" + r.update + "\"\n");
        fs::create_directories(s.dir / "old");
        if (r.old_image) s.put("old/images/modem.img", r.note == "empty old" ? bytes() : image(4096, 1));
        if (r.new_image) s.put("new/images/modem.img", r.note == "empty" ? bytes() : image(4096, 2));
        if (r.note == "version") s.put("new/versions/MODEM_VERSION", "MV=1\n");
        if (r.note == "rootfs") s.put("new/rootfs/etc/hostname", "module\n");
        if (r.note == "out") s.put("out/keep", "a file of someone's");
        std::string error;
        auto fw = read_firmware(s.dir / "new/firmware.toml", error);
        ASSERT_TRUE(fw) << error;
        package_summary sum;
        std::vector<std::string> errors;
        EXPECT_FALSE(make_package(*fw, s.dir / "old", s.dir / "new", s.dir / "out", sum, errors)) << r.error;
        std::string all;
        for (const auto& e : errors) all += e + "\n";
        EXPECT_NE(all.find((s.dir / r.error).string()), std::string::npos) << all;
        // Nothing of a package is left, and what was there stays.
        for (const auto& e : fs::directory_iterator(s.dir))
            EXPECT_TRUE(e.path().filename() == "old" || e.path().filename() == "new" ||
                        (r.note == "out" && e.path().filename() == "out")) << e.path();
        if (r.note == "out") {
            EXPECT_TRUE(fs::exists(s.dir / "out/keep"));
        }
    }
}

TEST(Package, SameBuildsGiveTheSameBytesWhateverTheThreadsAndTheArchiveUnpacksToThePackage) {
    work s;
    s.put("new/firmware.toml", std::string(DEVICE) +
                                   "[[partition]]\nname = \"boot\"\nimage = \"boot.img\"\nnr = \"boot\"\nupdate = \"full\"\n"
                                   "[[partition]]\nname = \"modem\"\nimage = \"modem.img\"\nnr = \"modem\"\nupdate = \"diff\"\n"
                                   "[[partition]]\nname = \"system\"\nimage = \"system.img\"\nnr = \"system\"\nupdate = \"block\"\n"
                                   "[[partition]]\nname = \"tz\"\nimage = \"tz.mbn\"\nnr = \"tz\"\nupdate = \"full\"\n"
                                   "[[partition]]\nname = \"aop\"\nimage = \"aop.mbn\"\nnr = \"aop\"\nupdate = \"full\"\n");
    bytes boot = image(64 << 10, 3), modem = image(300 << 10, 4), system = image(1 << 20, 5);
    s.put("old/images/boot.img", boot);  // unchanged: left out on NR
    s.put("new/images/boot.img", boot);
    s.put("old/images/modem.img", modem);
    s.put("new/images/modem.img", revise(modem, 6));
    s.put("old/images/system.img", system);
    s.put("new/images/system.img", revise(system, 7));
    s.put("old/images/tz.mbn", image(8192, 8));
    s.put("new/images/tz.mbn", image(8192, 9));
    s.put("old/images/aop.mbn", image(8192, 10));
    s.put("new/images/aop.mbn", image(8192, 11));
    s.put("old/versions/TZ_VERSION", "TZ_V=2.0\n");
    s.put("new/versions/TZ_VERSION", "TZ_V=2.0\n");
    s.put("old/rootfs/usr/lib/libx.so.1", image(5000, 12));
    s.put("new/rootfs/usr/lib/libx.so.2", image(5000, 13));
    fs::create_symlink("libx.so.2", s.dir / "new/rootfs/usr/lib/libx.so");
    std::string error;
    auto fw = read_firmware(s.dir / "new/firmware.toml", error);
    ASSERT_TRUE(fw) << error;

    std::map<std::string, std::pair<std::string, unsigned>> first;
    bytes first_zip;
    for (const char* jobs : {"1", "3"}) {
        ::setenv("DFOTA_MKPKG_JOBS", jobs, 1);
        fs::path out = s.dir / (std::string("out") + jobs), zip = s.dir / (std::string("pkg") + jobs + ".zip");
        package_summary sum;
        std::vector<std::string> errors;
        ASSERT_TRUE(make_package(*fw, s.dir / "old", s.dir / "new", out, sum, errors)) << ::testing::PrintToString(errors);
        ASSERT_TRUE(write_zip(out, zip, error)) << error;
        bytes z;
        ASSERT_TRUE(read_file(zip, z, error));
        if (first.empty()) {
            first = tree(out), first_zip = z;
            EXPECT_EQ(sum.left_out["full"], 1);
            // The tz image changed while its version did not; aop has no version file.
            ASSERT_EQ(sum.warnings.size(), 2u);
            EXPECT_NE(sum.warnings[0].find("image tz.mbn (partition \"tz\") changed, but its version TZ_V=2.0 did not"),
                      std::string::npos) << sum.warnings[0];
            EXPECT_NE(sum.warnings[1].find("image aop.mbn (partition \"aop\") changed, but the new build has no "
                                           "AOP_VERSION"), std::string::npos) << sum.warnings[1];
        } else {
            EXPECT_TRUE(tree(out) == first);
            EXPECT_TRUE(z == first_zip) << "the archive differs with another number of threads";
        }
    }
    ::unsetenv("DFOTA_MKPKG_JOBS");
    fs::path unzipped = s.dir / "unzipped";
    std::string cmd = "unzip -q '" + (s.dir / "pkg1.zip").string() + "' -d '" + unzipped.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_TRUE(tree(unzipped) == first) << "the archive does not unpack to the package";
    EXPECT_EQ(first.count("image/boot.img"), 0u);
    EXPECT_EQ(first["system/usr/lib/libx.so"].first, "-> libx.so.2");
}
