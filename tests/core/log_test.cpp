#include <gtest/gtest.h>
#include <sys/statfs.h>

#include <csignal>
#include <ctime>
#include <string>

#include "core/file_util.h"
#include "core/log.h"
#include "support/test_root.h"

namespace {

const std::string kLog = "/data/upgrade/install/log";
const std::string kBak = "/data/upgrade/install/logbak";

std::string stamp_of(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "[%Y%m%d_%H%M%S]", &tm);
    return buf;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { upgrade_debug = 0; }
    void TearDown() override { upgrade_debug = 0; }
    TestRoot root;
};

TEST_F(LogTest, EntryIsTimestampPrefixAndMessage) {
    std::time_t before = std::time(nullptr);
    CaptureStdout out;
    LOGF("hello %s %d", "world", 7);
    std::string console = out.finish();
    std::time_t after = std::time(nullptr);

    std::string log = root.read(kLog);
    ASSERT_TRUE(like("[#_#] TestBody(#): hello world 7\n", log)) << log;
    std::string stamp = log.substr(0, log.find(' '));
    EXPECT_EQ(stamp.size(), 17u);
    EXPECT_TRUE(stamp == stamp_of(before) || stamp == stamp_of(after)) << stamp;
    EXPECT_NE(console.find("[DFLOG]" + log), std::string::npos) << console;
}

TEST_F(LogTest, MissingLogIsCreatedAndTheProbeFailureIsPrinted) {
    ASSERT_FALSE(root.exists(kLog));
    CaptureStdout out;
    dflog("first");
    std::string console = out.finish();
    EXPECT_NE(console.find("fopen " + kLog + " error: No such file or directory\n"), std::string::npos);
    EXPECT_TRUE(like("[#_#] first\n", root.read(kLog)));
}

TEST_F(LogTest, NewlineIsAddedOnlyWhenMissing) {
    dflog("one");
    dflog("two\n");
    dflog("three\n\n");
    std::string log = root.read(kLog);
    EXPECT_TRUE(like("[#_#] one\n[#_#] two\n[#_#] three\n\n", log)) << log;
}

TEST_F(LogTest, RotatesOnlyAboveTheThreshold) {
    // Exactly at the threshold: the entry is appended.
    root.write(kBak, "older backup");
    root.write(kLog, std::string(524288, 'x'));
    dflog("kept");
    EXPECT_EQ(root.read(kBak), "older backup");
    std::string log = root.read(kLog);
    EXPECT_EQ(log.substr(0, 524288), std::string(524288, 'x'));
    EXPECT_NE(log.find("kept\n", 524288), std::string::npos);

    // One byte more: the whole log replaces the backup, the entry starts anew.
    std::string full(524289, 'y');
    root.write(kLog, full);
    dflog("fresh");
    EXPECT_EQ(root.read(kBak), full);
    EXPECT_TRUE(like("[#_#] fresh\n", root.read(kLog)));
}

TEST_F(LogTest, DebugModeEchoesToTheConsole) {
    root.write("/dev/ttyMSM0", "");
    root.write(kLog, "");
    upgrade_debug = 1;
    CaptureStdout out;
    dflog("to console");
    EXPECT_EQ(out.finish(), "");
    std::string log = root.read(kLog);
    EXPECT_EQ(root.read("/dev/ttyMSM0"), "[DFLOG]" + log);
}

TEST_F(LogTest, DebugModeWithoutConsoleStillLogsAndPrintsTheFallback) {
    root.mkdirs("/dev/ttyMSM0");  // a directory cannot be opened for writing
    root.write(kLog, "");
    upgrade_debug = 1;
    CaptureStdout out;
    dflog("no console");
    std::string console = out.finish();
    EXPECT_TRUE(like("[#] fopen /dev/ttyMSM0 error: Is a directory\n", console)) << console;
    EXPECT_EQ(console.find("[DFLOG]"), std::string::npos);
    EXPECT_NE(root.read(kLog).find("no console\n"), std::string::npos);
}

TEST_F(LogTest, LogFileThatCannotBeOpenedIsReportedAndTheEchoGoesOn) {
    root.mkdirs(kLog);
    CaptureStdout out;
    dflog("nowhere");
    std::string console = out.finish();
    EXPECT_TRUE(contains_like("[#] fopen /data/upgrade/install/log error: Is a directory\n", console)) << console;
    EXPECT_NE(console.find("] nowhere\n"), std::string::npos);
}

TEST_F(LogTest, OverlongMessageIsCutVisiblyNeverSilently) {
    std::string big(3000, 'm');
    LOGF("%s", big.c_str());
    std::string log = root.read(kLog);
    ASSERT_LT(log.size(), 1100u);
    EXPECT_NE(log.find(" [truncated]\n"), std::string::npos);
    EXPECT_EQ(log.back(), '\n');

    // A message that fits exactly with its newline is untouched.
    root.write(kLog, "");
    std::string prefix = "TestBody(" + std::to_string(__LINE__ + 2) + "): ";
    std::string fits(1022 - prefix.size(), 'f');
    LOGF("%s", fits.c_str());
    EXPECT_NE(root.read(kLog).find(prefix + fits + "\n"), std::string::npos);
}

TEST_F(LogTest, RecordedSignalsAreWrittenBeforeTheNextEntry) {
    log_note_signal(SIGUSR1);
    log_note_signal(SIGTERM);
    log_note_signal(SIGUSR1);
    dflog("after");
    std::string log = root.read(kLog);
    auto first10 = log.find("sig_handle sig: 10\n");
    auto second10 = log.find("sig_handle sig: 10\n", first10 + 1);
    auto term = log.find("sig_handle sig: 15\n");
    auto after = log.find("after\n");
    ASSERT_NE(first10, std::string::npos);
    ASSERT_NE(second10, std::string::npos);
    ASSERT_NE(term, std::string::npos);
    EXPECT_LT(second10, after);
    EXPECT_LT(term, after);
    // Written once only.
    dflog("later");
    EXPECT_EQ(root.read(kLog).find("sig: 10", after), std::string::npos);
}

TEST(FileUtilTest, FreeSpaceNeedsADirectoryPart) {
    TestRoot root;
    EXPECT_EQ(get_free_space_for_file("/data"), UINT64_MAX);
    EXPECT_TRUE(contains_like("get_free_space_for_file(#): [#] Error not found '/'\n", root.read(kLog)));
    EXPECT_EQ(get_free_space_for_file("data"), UINT64_MAX);
}

TEST(FileUtilTest, FreeSpaceAnswersForTheDirectoryHoldingThePath) {
    TestRoot root;
    struct statfs st;
    ASSERT_EQ(statfs(root.host("/data/upgrade/install").c_str(), &st), 0);
    uint64_t direct = static_cast<uint64_t>(st.f_bsize) * st.f_bavail;
    uint64_t got = get_free_space_for_file("/data/upgrade/install/savefile");
    ASSERT_NE(got, UINT64_MAX);
    // Other processes write to the same file system meanwhile.
    uint64_t diff = got > direct ? got - direct : direct - got;
    EXPECT_LT(diff, 256ull << 20);
    EXPECT_EQ(got % st.f_bsize, 0u);
}

TEST(FileUtilTest, FreeSpaceOfAMissingDirectoryOrOverlongPathFails) {
    TestRoot root;
    EXPECT_EQ(get_free_space_for_file("/nonexistent/dir/file"), UINT64_MAX);
    EXPECT_NE(root.read(kLog).find("failed to statfs /nonexistent/dir/file: No such file or directory\n"),
              std::string::npos);
    std::string longpath = "/data/" + std::string(300, 'p') + "/f";
    EXPECT_EQ(get_free_space_for_file(longpath.c_str()), UINT64_MAX);
    EXPECT_NE(root.read(kLog).find("path too long"), std::string::npos);
}

TEST(FileUtilTest, FileSize) {
    TestRoot root;
    root.write("/tmp/f", std::string(12345, 'z'));
    root.write("/tmp/empty", "");
    EXPECT_EQ(get_file_size("/tmp/f"), 12345);
    EXPECT_EQ(get_file_size("/tmp/empty"), 0);
    CaptureStdout out;
    EXPECT_EQ(get_file_size("/tmp/missing"), -1);
    EXPECT_EQ(out.finish(), "fopen /tmp/missing error: No such file or directory\n");
}

TEST(FileUtilTest, CopyCreatesMissingParentsAndHandlesAwkwardNames) {
    TestRoot root;
    root.write("/data/src file's $(touch pwned).bin", "payload");
    const char* dst = "/system/new dir/a;b/it's here.bin";
    ASSERT_EQ(copy_file("/data/src file's $(touch pwned).bin", dst), 0);
    EXPECT_EQ(root.read(dst), "payload");
    EXPECT_FALSE(root.exists("/pwned"));
    std::string log = root.read(kLog);
    EXPECT_NE(log.find("copy_file: /data/src file's $(touch pwned).bin, /system/new dir/a;b/it's here.bin\n"),
              std::string::npos);
    EXPECT_NE(log.find("sync copy file\n"), std::string::npos);
}

TEST(FileUtilTest, CopyFailuresAreReported) {
    TestRoot root;
    EXPECT_EQ(copy_file("/data/missing", "/data/out/x"), -1);
    std::string log = root.read(kLog);
    EXPECT_NE(log.find("copy_file error: /data/missing, /data/out/x\n"), std::string::npos);
    EXPECT_TRUE(contains_like("copy_file[#] run system failed, ret: 256, ", log));

    EXPECT_EQ(copy_file("/data/missing", "nodir"), -1);
    log = root.read(kLog);
    EXPECT_TRUE(contains_like("create_dir_from_file(#): [#] error not found\n", log));
    EXPECT_TRUE(contains_like("copy_file(#): [#] create dir failed\n", log));

    // A command that would not fit its buffer is refused, never cut.
    std::string src = "/data/" + std::string(230, 's');
    root.write(src, "x");
    EXPECT_EQ(copy_file(src.c_str(), "/data/dst/y"), -1);
    EXPECT_FALSE(root.exists("/data/dst/y"));
    EXPECT_NE(root.read(kLog).find("command too long"), std::string::npos);
}

TEST(ShellQuoteTest, QuotesEveryPathAndKeepsTrailingGlobOutside) {
    TestRoot root;
    EXPECT_EQ(shell_quote("plain"), "'plain'");
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
    EXPECT_EQ(shell_quote(""), "''");
    auto cmd = make_command(256, "rm -rf %s", {"/data/a b/*"});
    ASSERT_TRUE(cmd);
    EXPECT_EQ(*cmd, "rm -rf '" + root.root() + "/data/a b/'*");
    auto two = make_command(256, "mv %s %s", {"/x", "/y"});
    ASSERT_TRUE(two);
    EXPECT_EQ(*two, "mv '" + root.root() + "/x' '" + root.root() + "/y'");
}

TEST(ShellQuoteTest, LimitIsMeasuredOnTheDevicesOwnCommandLine) {
    TestRoot root;
    // "cp -av '" + path + "' '/d'": 8 + n + 6 characters and the terminator.
    std::string fits(256 - 8 - 6 - 1, 'a');
    fits[0] = '/';
    EXPECT_TRUE(make_command(256, "cp -av %s %s", {fits, "/d"}));
    EXPECT_FALSE(make_command(256, "cp -av %s %s", {fits + "a", "/d"}));
}

}  // namespace
