#include <gtest/gtest.h>

#include <string>

#include "core/md5.h"
#include "driver/package.h"
#include "image/check.h"
#include "support/test_root.h"

namespace {

const std::string kLog = "/data/upgrade/install/log";
const std::string kScript = "/tmp/delta/updater_script_system";
const std::string kFile = "/usr/bin/tool";

std::string md5_of(const TestRoot& root, const std::string& content) {
    root.write("/tmp/digest_input", content);
    char out[MD5_TEXT_SIZE] = {};
    get_md5sum("/tmp/digest_input", out);
    return out;
}

TEST(DoCheck, FileStatesAndTheirBackups) {
    // Contents by name; nullptr: the file does not exist.
    const std::string kOld = "old content\n", kNew = "new content\n", kBad = "damaged\n";
    struct Case {
        const char* name;
        const std::string* file;
        const std::string* bak;
        const std::string* savefile;
        const std::string* savefile_ex;
        const char* tail;  // after the new digest
        int want;
        const char* log;
    } cases[] = {
        {"new", &kNew, &kBad, nullptr, nullptr, ",0,644", 0, "check file success count: 2"},
        {"old", &kOld, nullptr, nullptr, nullptr, ",0,644\r", 0, "check file success count: 2"},
        {"missing, .bak old", nullptr, &kOld, nullptr, nullptr, ",0,644", 0, "filebak is old file"},
        {"damaged, .bak old", &kBad, &kOld, nullptr, nullptr, ",0,644", 0, "filebak is old file"},
        {"missing, .bak new", nullptr, &kNew, &kOld, nullptr, ",0,644", -1, "Error, check filebak"},
        {"missing, savefile_ex old", nullptr, nullptr, nullptr, &kOld, ",0,644", 0, "SAVEFILE is old"},
        {"SAVEFILE alone decides", nullptr, nullptr, &kNew, &kOld, ",0,644", -1,
         "Error, check SAVEFILE /data/upgrade/install/savefile"},
        {"nothing to recover from", &kBad, nullptr, nullptr, nullptr, ",0,644", -1,
         "Error, dc_check_backupfile failed"},
        {"digest with a trailing CR", &kNew, nullptr, nullptr, nullptr, "\r,0,644", -1, "is damaged"},
        {"mode not octal", &kNew, nullptr, nullptr, nullptr, ",0,689", -1, "updater_script_system line 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestRoot root;
        copy_tmp_path();
        set_unpack_dirs();
        std::string old_md5 = md5_of(root, kOld), new_md5 = md5_of(root, kNew);
        if (c.file) root.write(kFile, *c.file);
        if (c.bak) root.write(kFile + ".bak", *c.bak);
        if (c.savefile) root.write(SAVEFILE, *c.savefile);
        if (c.savefile_ex) root.write("/system/savefile_ex", *c.savefile_ex);
        root.write("/etc/kept", kOld);
        // Lines of other kinds are passed over; each line stands alone.
        root.write(kScript, "deletefile,etc/x\n"
                            "patchfile,etc/kept," + old_md5 + "," + new_md5 + ",0,644\n"
                            "patchfile,usr/bin/tool," + old_md5 + "," + new_md5 + c.tail + "\n"
                            "\n");
        EXPECT_EQ(do_check(), c.want);
        std::string log = root.read(kLog);
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        if (c.want < 0) EXPECT_NE(log.find("check file success count: 1"), std::string::npos) << log;
    }
}

}  // namespace
