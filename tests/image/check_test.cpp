#include <gtest/gtest.h>

#include <string>

#include "context/package.h"
#include "image/check.h"
#include "support/test_root.h"

namespace {

// Each file of the system script holds its old or new content, or (missing
// or damaged) has a backup that still holds the old one. Lines of other
// kinds are passed over; each line stands alone.
TEST(DoCheck, FileStatesAndTheirBackups) {
    const std::string kOld = "old content\n", kNew = "new content\n";
    const std::string kDigests = ",c9a9459e4266ea35a612b90dc3653112,f8a6701de14ec3fcfd9f2fe595e9c9ed";  // of both
    const std::string paths[] = {"/usr/bin/tool", "/usr/bin/tool.bak", SAVEFILE, "/system/savefile_ex"};
    // states: of the file, its .bak, the save file, the second save file; o: old, n: new, d: damaged, -: absent.
    struct { const char* states; const char* tail; int want; } cases[] = {
        {"nd--", ",0,644", 0}, {"o---", ",0,644\r", 0} /* CRLF */, {"-o--", ",0,644", 0}, {"do--", ",0,644", 0},
        {"---o", ",0,644", 0}, {"d---", ",0,644", -1},
        {"-no-", ",0,644", -1},    // a .bak that is not old fails, whatever the save file holds
        {"--no", ",0,644", 0},     // a stale save file does not hide the one with the old content
        {"n---", "\r,0,644", -1},  // a digest with a carriage return does not fit
        {"n---", ",0,689", -1}};   // a mode that is not octal
    copy_tmp_path();
    set_unpack_dirs();
    for (const auto& c : cases) {
        TestRoot root;
        for (int i = 0; i < 4; ++i)
            if (c.states[i] != '-') root.write(paths[i], c.states[i] == 'o' ? kOld : c.states[i] == 'n' ? kNew : "x");
        root.write("/etc/kept", kOld);
        root.write(UPDATER_SCRIPT_SYSTEM, "deletefile,etc/x\npatchfile,etc/kept" + kDigests +
                                              ",0,644\npatchfile,usr/bin/tool" + kDigests + c.tail + "\n\n");
        EXPECT_EQ(do_check(), c.want) << c.states << " " << c.tail;
    }
}

}  // namespace
