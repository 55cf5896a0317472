#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <string>

#include "core/file_util.h"
#include "core/log.h"
#include "support/test_root.h"

namespace {

const std::string kLog = LOG_FILE, kBak = LOG_BACKUP_FILE, kTty = LOG_CONSOLE;

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { upgrade_debug = 0; }
    TestRoot root;
};

// A newline is added only when the message lacks one. The log was missing:
// it is created, and measuring it said why on stdout.
TEST_F(LogTest, EntriesAreLocalTimeAndMessageAndAreEchoed) {
    auto stamp = [](std::time_t t, std::tm tm = {}) {
        char buf[32];
        return std::string(buf, std::strftime(buf, sizeof buf, "[%Y%m%d_%H%M%S] ", localtime_r(&t, &tm)));
    };
    std::time_t before = std::time(nullptr);
    Capture out{STDOUT_FILENO};
    LOGF("hello %s %d", "world", 7);
    for (const char* msg : {"two\n", "three\n\n", ""}) dflog(msg);
    std::string console = out.finish(), log = root.read(kLog);
    EXPECT_TRUE(like("[#_#] TestBody(#): hello world 7\n[#_#] two\n[#_#] three\n\n[#_#] \n", log)) << log;
    EXPECT_TRUE(log.starts_with(stamp(before)) || log.starts_with(stamp(std::time(nullptr)))) << log;
    EXPECT_TRUE(console.starts_with("fopen " + kLog + " error: No such file or directory\n[DFLOG]" +
                                    log.substr(0, log.find('\n') + 1))) << console;
}

TEST_F(LogTest, RotatesOnlyAboveTheThreshold) {
    const std::string at(LOG_ROTATE_SIZE, 'x'), above(LOG_ROTATE_SIZE + 1, 'y');
    root.write(kBak, "older backup");
    root.write(kLog, at);
    dflog("kept");
    EXPECT_EQ(root.read(kBak), "older backup");
    EXPECT_TRUE(root.read(kLog).starts_with(at) && like("[#_#] kept\n", root.read(kLog).substr(at.size())));
    root.write(kLog, above);
    dflog("fresh");
    EXPECT_EQ(root.read(kBak), above);
    EXPECT_TRUE(like("[#_#] fresh\n", root.read(kLog)));
}

// Debug mode echoes to the console instead of stdout. A console or log that
// cannot be opened (a directory here) is reported on stdout; the rest goes on.
TEST_F(LogTest, DebugModeEchoesToTheConsoleAndReportsWhatCannotBeOpened) {
    root.write(kTty, "");
    root.write(kLog, "");
    upgrade_debug = 1;
    Capture out{STDOUT_FILENO};
    dflog("to console");
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(root.read(kTty), "[DFLOG]" + root.read(kLog));
    for (const std::string& p : {kTty, kLog}) std::filesystem::remove(root.host(p)), root.mkdirs(p);
    Capture again{STDOUT_FILENO};
    dflog("nowhere");
    EXPECT_TRUE(like("*[#] fopen " + kLog + " error: Is a directory\n[#] fopen " + kTty + " error: Is a directory\n",
                     again.finish()));
}

// The message buffer keeps room for the newline; a message that would not
// leave it is cut, visibly.
TEST_F(LogTest, OverlongMessageIsCutWithAMark) {
    for (size_t size : {LOG_MSG_SIZE - 2, LOG_MSG_SIZE - 1, size_t{3000}}) {
        root.write(kLog, "");
        std::string body(size - 6, 'm');
        log_at("f", 1, "%s", body.c_str());  // "f(1): " and the body
        if (size >= LOG_MSG_SIZE - 1) body = body.substr(0, 1004) + " [truncated]";
        EXPECT_TRUE(like("[#_#] f(1): " + body + "\n", root.read(kLog))) << size;
    }
}

// One line per signal, in signal number order, before the next entry only.
TEST_F(LogTest, SignalsRecordedMeanwhileAreWrittenWithTheNextEntry) {
    for (int sig : {SIGUSR1, SIGTERM, SIGUSR1}) log_note_signal(sig);
    dflog("after");
    dflog("later");
    EXPECT_TRUE(like("[#_#] sig_handle(#): sig_handle sig: 10\n[#_#] sig_handle(#): sig_handle sig: 10\n"
                     "[#_#] sig_handle(#): sig_handle sig: 15\n[#_#] after\n[#_#] later\n", root.read(kLog)));
}

// A command that would not fit its buffer is refused, never cut.
TEST(FileUtilTest, CopyFailuresAreLogged) {
    TestRoot root;
    const std::string cases[][3] = {
        {"/data/missing", "/data/out/x", "copy_file error: /data/missing, /data/out/x\n*run system failed, ret: 256"},
        {"/data/missing", "nodir", "[#] error not found\n*[#] create dir failed\n"},
        {"/data/" + std::string(230, 's'), "/data/dst/y", "[#] command too long: cp -av /data/sss"},
    };
    for (const auto& [src, dst, line] : cases) {
        root.write(kLog, "");
        EXPECT_EQ(copy_file(src.c_str(), dst.c_str()), -1);
        EXPECT_TRUE(contains_like(line, root.read(kLog)) && !root.exists(dst)) << root.read(kLog);
    }
}

// A trailing glob stays outside the quotes. The limit is measured on the
// device's own line: "cp -av '" + path + "' '/d'" is 8 + n + 6 characters
// and a terminator.
TEST(FileUtilTest, CommandLines) {
    TestRoot root;
    EXPECT_EQ(make_command(256, "rm -rf %s", {"/data/a b/*"}), "rm -rf '" + root.root() + "/data/a b/'*");
    const std::string fits = "/" + std::string(256 - 8 - 6 - 2, 'a');
    EXPECT_TRUE(make_command(256, "cp -av %s %s", {fits, "/d"}));
    EXPECT_FALSE(make_command(256, "cp -av %s %s", {fits + "a", "/d"}));
}

}  // namespace
