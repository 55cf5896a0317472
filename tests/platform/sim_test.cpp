#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim_shell.h"
#include "support/test_root.h"

namespace {

using Words = std::vector<std::string>;

TEST(SimShellTest, FindsEveryWordInCommandPosition) {
    EXPECT_EQ(sim_command_words("cat /proc/partitions 2>/dev/null | grep mtd"), (Words{"cat", "grep"}));
    EXPECT_EQ(sim_command_words("abctl --set_active 1"), (Words{"abctl"}));
    EXPECT_EQ(sim_command_words("sync; reboot"), (Words{"sync", "reboot"}));
    EXPECT_EQ(sim_command_words("true && df -h || umount /x &"), (Words{"true", "df", "umount"}));
    EXPECT_EQ(sim_command_words("A=1 B=2 reboot -f"), (Words{"reboot"}));
    EXPECT_EQ(sim_command_words("2>/dev/null mount"), (Words{"mount"}));
    EXPECT_EQ(sim_command_words("echo reboot mount"), (Words{"echo"}));
    EXPECT_EQ(sim_command_words("echo $(reboot) `df`"), (Words{"echo", "reboot", "df"}));
    EXPECT_EQ(sim_command_words("echo \"now $(mount)\""), (Words{"echo", "mount"}));
    EXPECT_EQ(sim_command_words("'re''boot'"), (Words{"reboot"}));
    EXPECT_EQ(sim_command_words("exec reboot"), (Words{"exec", "reboot"}));
    EXPECT_EQ(sim_command_words("(cd /; umount x)"), (Words{"cd", "umount"}));
    EXPECT_EQ(sim_command_words("cp -av '/a b;reboot' '/c'"), (Words{"cp"}));
}

TEST(SimShellTest, PlatformToolsComeOnlyFromTheRootsBin) {
    TestRoot root;
    const std::string& r = root.root();
    EXPECT_EQ(sim_missing_platform_tool("mount | grep -w system", r), "mount");
    EXPECT_EQ(sim_missing_platform_tool("ls -l /dev | awk '{print $9}'", r), "");

    root.write("/bin/mount", "#!/bin/sh\n");
    EXPECT_EQ(sim_missing_platform_tool("mount | grep -w system", r), "mount") << "not executable";
    chmod(root.host("/bin/mount").c_str(), 0755);
    EXPECT_EQ(sim_missing_platform_tool("mount | grep -w system", r), "");
    EXPECT_EQ(sim_missing_platform_tool("/bin/mount", r), "mount") << "the host's by its path";
    EXPECT_EQ(sim_missing_platform_tool(r + "/bin/mount", r), "");
    EXPECT_EQ(sim_missing_platform_tool("mount; reboot", r), "reboot");
}

class SimPlatformTest : public ::testing::Test {
protected:
    TestRoot root;
};

TEST_F(SimPlatformTest, DevicePathsStayInsideTheRoot) {
    EXPECT_EQ(plat_host_path("/data/x"), root.root() + "/data/x");
    EXPECT_EQ(plat_host_path("/../../etc/passwd"), root.root() + "/etc/passwd");
    EXPECT_EQ(plat_host_path("/data/../../../tmp/./y"), root.root() + "/tmp/y");
    EXPECT_EQ(plat_host_path("/data/delta/"), root.root() + "/data/delta/");
    EXPECT_EQ(plat_host_path("relative/z"), root.root() + "/relative/z");

    FilePtr fp{plat_fopen("/../../escape", "w")};
    ASSERT_TRUE(fp);
    std::fputs("in", fp.get());
    fp.reset();
    EXPECT_EQ(root.read("/escape"), "in");
}

TEST_F(SimPlatformTest, MissingToolIsStatus127AndNotRun) {
    EXPECT_EQ(plat_system("reboot"), 127 << 8);
    PipePtr pipe{plat_popen("df | grep -w system")};
    ASSERT_TRUE(pipe);
    char buf[16];
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, pipe.get()), 0u);
    EXPECT_EQ(close_pipe(pipe), 127 << 8);

    root.write("/bin/reboot", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/../rebooted\"\nexit 3\n");
    chmod(root.host("/bin/reboot").c_str(), 0755);
    EXPECT_EQ(plat_system("reboot now"), 3 << 8);
    EXPECT_EQ(root.read("/rebooted"), "now\n");
}

TEST_F(SimPlatformTest, CommandSuccessRule) {
    EXPECT_FALSE(plat_cmd_failed(0));
    EXPECT_FALSE(plat_cmd_failed(0x80));  // core dump bit alone
    EXPECT_TRUE(plat_cmd_failed(-1));
    EXPECT_TRUE(plat_cmd_failed(1 << 8));
    EXPECT_TRUE(plat_cmd_failed(9));     // killed by a signal
    EXPECT_TRUE(plat_cmd_failed(0x8b));  // signal with core dump
    EXPECT_TRUE(plat_cmd_failed(plat_system("exit 5")));
    EXPECT_FALSE(plat_cmd_failed(plat_system("true")));
}

TEST_F(SimPlatformTest, PartitionNodesAreNeverTruncatedNorGrown) {
    root.write("/dev/mmcblk0p3", "AAAAAAAA");
    FilePtr fp{plat_fopen("/dev/mmcblk0p3", "w")};
    ASSERT_TRUE(fp);
    ASSERT_EQ(std::fwrite("BB", 1, 2, fp.get()), 2u);
    ASSERT_EQ(plat_fsync(fp.get()), 0);
    EXPECT_EQ(root.read("/dev/mmcblk0p3"), "BBAAAAAA");

    // Past the end a partition accepts nothing more.
    std::fseek(fp.get(), 6, SEEK_SET);
    std::fwrite("CCCC", 1, 4, fp.get());
    EXPECT_NE(std::fflush(fp.get()), 0);
    fp.reset();
    EXPECT_EQ(root.read("/dev/mmcblk0p3"), "BBAAAACC");

    // An ordinary file opened with "w" is truncated as usual.
    root.write("/data/f", "long content");
    FilePtr f2{plat_fopen("/data/f", "w")};
    f2.reset();
    EXPECT_EQ(root.read("/data/f"), "");
}

TEST_F(SimPlatformTest, ReadBackThroughWriteStreams) {
    root.write("/data/rw", "0123456789");
    FilePtr fp{plat_fopen("/data/rw", "r+")};
    ASSERT_TRUE(fp);
    std::fseek(fp.get(), 4, SEEK_SET);
    char buf[4] = {};
    ASSERT_EQ(std::fread(buf, 1, 3, fp.get()), 3u);
    EXPECT_STREQ(buf, "456");
    std::fseek(fp.get(), 0, SEEK_END);
    EXPECT_EQ(std::ftell(fp.get()), 10);
    std::fputs("AB", fp.get());
    fp.reset();
    EXPECT_EQ(root.read("/data/rw"), "0123456789AB");

    FilePtr ap{plat_fopen("/data/rw", "a")};
    std::fputs("Z", ap.get());
    ap.reset();
    EXPECT_EQ(root.read("/data/rw"), "0123456789ABZ");
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

TEST_F(SimPlatformTest, TraceCountsEveryMutationButTheLog) {
    std::string trace = root.root() + ".trace";
    setenv("DFOTA_SIM_TRACE", trace.c_str(), 1);
    ASSERT_EQ(plat_init(), 0);

    root.write("/data/old", "x");
    { FilePtr r{plat_fopen("/data/old", "r")}; }                 // read: not counted
    { FilePtr l{plat_fopen("/data/upgrade/install/log", "a+")};  // the log: not counted
      std::fputs("entry\n", l.get()); }
    plat_mkdir("/data/d", 0755);                                  // 1
    { FilePtr w{plat_fopen("/data/new", "w")};                    // 2 create
      std::fputs("abc", w.get()); }                               // 3 write (at close)
    { FilePtr w{plat_fopen("/data/new", "w")}; }                  // 4 truncate, nothing written
    plat_rename("/data/new", "/data/renamed");                    // 5
    plat_chmod("/data/renamed", 0600);                            // 6
    plat_truncate("/data/old", 0);                                // 7
    plat_unlink("/data/renamed");                                 // 8
    plat_system("true");                                          // 9
    { UniqueFd fd{plat_open("/data/fd", O_WRONLY | O_CREAT, 0644)};  // 10 create
      plat_write(fd.get(), "q", 1); }                             // 11 write
    plat_rmdir("/data/d");                                        // 12

    unsetenv("DFOTA_SIM_TRACE");
    std::vector<std::string> expect = {
        "1 mkdir /data/d",
        "2 create /data/new",
        "3 write /data/new",
        "4 truncate /data/new",
        "5 rename /data/new /data/renamed",
        "6 chmod /data/renamed",
        "7 truncate /data/old",
        "8 unlink /data/renamed",
        "9 command true",
        "10 create /data/fd",
        "11 write /data/fd",
        "12 remove /data/d",
    };
    EXPECT_EQ(read_lines(trace), expect);
    std::remove(trace.c_str());
}

TEST_F(SimPlatformTest, CutEndsTheProcessJustBeforeTheOperation) {
    setenv("DFOTA_SIM_CUT_AT", "3", 1);
    ASSERT_EQ(plat_init(), 0);
    unsetenv("DFOTA_SIM_CUT_AT");
    EXPECT_EXIT(
        {
            FilePtr w{plat_fopen("/data/cut", "w")};  // 1
            std::fputs("buffered, never written", w.get());
            plat_mkdir("/data/made", 0755);  // 2
            plat_unlink("/data/never");      // 3: the cut
            plat_mkdir("/data/after", 0755);
            std::exit(0);
        },
        ::testing::ExitedWithCode(137), "power cut before operation 3 \\(unlink /data/never\\)");
    EXPECT_TRUE(root.exists("/data/made"));
    EXPECT_FALSE(root.exists("/data/after"));
    EXPECT_EQ(root.read("/data/cut"), "");  // what was still buffered is lost
}

}  // namespace
