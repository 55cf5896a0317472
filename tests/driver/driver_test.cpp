#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "core/guarded_list.h"
#include "driver/completion.h"
#include "driver/device.h"
#include "driver/package.h"
#include "driver/partition_map.h"
#include "driver/status.h"
#include "support/test_root.h"

namespace {

const std::string kLog = "/data/upgrade/install/log";

// The map is process-wide; every test starts from an empty one.
void clear_map() {
    for (guarded_list_node* n = guarded_list_first(&partition_image_map); n;) {
        guarded_list_node* next = guarded_list_next(&partition_image_map, n);
        auto* node = reinterpret_cast<partition_image_node*>(n);
        delete node->entry;
        delete node;
        n = next;
    }
    guarded_list_destroy(&partition_image_map);
}

class MapTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_map();
        copy_tmp_path();
        current_slot = 0;
        root.write("/proc/cmdline", "console=ttyMSM0\n");
    }
    void TearDown() override {
        clear_map();
        current_slot = 0;
    }
    int load(const std::string& cfg) {
        root.write("/tmp/delta/partition_image_map.cfg", cfg);
        return kelo_construct_partition_image_map_list();
    }
    TestRoot root;
};

TEST_F(MapTest, LookupsTakeTheFirstExactName) {
    ASSERT_EQ(load("# comment\n"
                   "boot_a x x x x\n"
                   "boot boot.img boot_nr boot_a boot_b\n"
                   "\n"
                   "boot second.img n a b\n"
                   "Modem NON-HLOS.bin modem modem_a modem_b\n"),
              0);
    EXPECT_EQ(guarded_list_count(&partition_image_map), 4);
    char out[32];
    ASSERT_EQ(kelo_get_imagename_by_partiton("boot", out, sizeof out), 0);
    EXPECT_STREQ(out, "boot.img");
    EXPECT_EQ(kelo_get_imagename_by_partiton("boo", out, sizeof out), -1);
    EXPECT_EQ(kelo_get_imagename_by_partiton("modem", out, sizeof out), -1) << "case-sensitive";
    ASSERT_EQ(get_nr_pname("boot", out, sizeof out), 0);
    EXPECT_STREQ(out, "boot_nr");
    EXPECT_EQ(get_nr_pname("system", out, sizeof out), -1);
    EXPECT_NE(root.read(kLog).find("Found imagename[boot.img] by partiton_name[boot]\n"), std::string::npos);
}

TEST_F(MapTest, SlotNamesByTypeAndRunningSlot) {
    ASSERT_EQ(load("boot boot.img boot boot_a boot_b\n"), 0);
    char out[32];
    struct Case {
        int slot, type;
        const char* want;  // nullptr: the lookup fails
    } cases[] = {
        {0, 0, "boot_a"}, {0, 1, "boot_b"}, {1, 0, "boot_b"}, {1, 1, "boot_a"},
        {0, 2, "boot_a"}, {1, 2, "boot_a"}, {2, 2, "boot_a"}, {-1, 3, "boot_b"}, {0, 3, "boot_b"},
        {2, 0, nullptr},  {2, 1, nullptr},  {-1, 0, nullptr}, {-1, 1, nullptr},
        {1, 7, "boot_b"}, {0, -1, "boot_a"},  // unknown types behave as the running slot
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("slot " + std::to_string(c.slot) + " type " + std::to_string(c.type));
        current_slot = c.slot;
        out[0] = '\0';
        int ret = get_ab_pname("boot", out, sizeof out, c.type);
        if (c.want) {
            EXPECT_EQ(ret, 0);
            EXPECT_STREQ(out, c.want);
        } else {
            EXPECT_EQ(ret, -1);
        }
    }
    std::string log = root.read(kLog);
    EXPECT_NE(log.find("Error, can't get current slot\n"), std::string::npos);
    current_slot = 2;
    EXPECT_EQ(get_ab_pname("nothere", out, sizeof out, 1), -1);
}

TEST_F(MapTest, NameThatDoesNotFitTheCallersBufferIsRefused) {
    std::string long_name(40, 'n');
    ASSERT_EQ(load("big " + long_name + " " + long_name + " a b\n"), 0);
    char out[32] = "untouched";
    EXPECT_EQ(kelo_get_imagename_by_partiton("big", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(get_nr_pname("big", out, sizeof out), -1);
    char exact[41];
    EXPECT_EQ(get_nr_pname("big", exact, sizeof exact), 0);
    EXPECT_EQ(std::string(exact), long_name);
    EXPECT_NE(root.read(kLog).find("at most 31 fit"), std::string::npos);
}

TEST_F(MapTest, LinesAreReadOnTheirOwn) {
    // Surplus fields are ignored; a line never borrows fields from an
    // earlier one; a short line refuses the map.
    ASSERT_EQ(load("a ai an aa ab extra fields\n"), 0);
    char out[32];
    ASSERT_EQ(get_ab_pname("a", out, sizeof out, 3), 0);
    EXPECT_STREQ(out, "ab");
    clear_map();
    EXPECT_EQ(load("a ai an aa ab\nb bi\n"), -1);
    EXPECT_NE(root.read(kLog).find("Error, map line has 2 fields, 5 needed: b bi\n"), std::string::npos);
}

TEST_F(MapTest, OverlongLineIsTakenInPieces) {
    // 300 characters without a break: the first 255 are one line (one field),
    // which refuses the map rather than inventing names.
    EXPECT_EQ(load(std::string(300, 'z') + "\n"), -1);
}

TEST_F(MapTest, UnreadableMapFails) {
    root.mkdirs("/tmp/delta/partition_image_map.cfg");
    EXPECT_EQ(kelo_construct_partition_image_map_list(), -1);
    root.write("/tmp/delta/other", "");
    PARTITION_IMAGE_MAP_CFG = "/tmp/delta/missing.cfg";
    EXPECT_EQ(kelo_construct_partition_image_map_list(), -1);
    EXPECT_NE(root.read(kLog).find("fopen:No such file or directory\n"), std::string::npos);
}

TEST_F(MapTest, RecoveryModeFromTheCommandLine) {
    struct {
        const char* cmdline;
        int mode;
    } cases[] = {
        {"root=/dev/x recovery PRJ_QX410_IN_00\n", 1},
        {"androidboot.recovery=1\n", 1},
        {"console=ttyMSM0 PRJ_QX410_IN_00\n", 0},
        {"console=ttyMSM0\n", -1},
        {"", -1},
    };
    for (auto& c : cases) {
        root.write("/proc/cmdline", c.cmdline);
        EXPECT_EQ(recovery_mode(), c.mode) << c.cmdline;
    }
    std::remove(root.host("/proc/cmdline").c_str());
    EXPECT_EQ(recovery_mode(), -1);
    EXPECT_NE(root.read(kLog).find("Error opening /proc/cmdline\n"), std::string::npos);
}

TEST(PackageTest, PathsFollowTheChosenDirectory) {
    TestRoot root;
    copy_data_path();
    EXPECT_EQ(DIR_DELTA, "/data/delta");
    EXPECT_EQ(UPDATER_SCRIPT_SYSTEM, "/data/delta/updater_script_system");
    EXPECT_EQ(AB_FLAG_FILE, "/data/delta/kelo_ab_need_upgrade_flag");
    EXPECT_EQ(PARTITION_COMPLETE_P4K_B256K_VERSION_FILE, "/data/delta/PARTITION_COMPLETE_P4K_B256K_VERSION");
    copy_tmp_path();
    EXPECT_EQ(UPDATER_SCRIPT_BLOCK_DIFF, "/tmp/delta/updater_script_block_diff");
    EXPECT_EQ(MULTI_IMAGE_QTI_VERSION_FILE, "/tmp/delta/MULTI_IMAGE_QTI_VERSION");
    set_unpack_dirs();
    EXPECT_EQ(DIR_IMAGE, "/tmp/delta/image");
    EXPECT_EQ(DIR_ROOT, "");

    EXPECT_STREQ(get_delta_source_dir("firmware/image/x.bin"), "/tmp/delta/modem");
    EXPECT_STREQ(get_delta_source_dir("firmware"), "/tmp/delta/system");
    EXPECT_STREQ(get_delta_source_dir("etc/firmware/x"), "/tmp/delta/system");
    EXPECT_STREQ(get_delta_source_dir("Firmware/x"), "/tmp/delta/system");
}

TEST(PackageTest, UpgradedPartitionMatchesWholeLinesOnly) {
    TestRoot root;
    EXPECT_EQ(is_partition_upgraded("system"), 0) << "no list";
    root.write("/tmp/upgraded_partition_file", "system_b\nxbl_config\nmodem");
    EXPECT_EQ(is_partition_upgraded("system_b"), 1);
    EXPECT_EQ(is_partition_upgraded("system"), 0);
    EXPECT_EQ(is_partition_upgraded("system_a"), 0);
    EXPECT_EQ(is_partition_upgraded("xbl"), 0);
    EXPECT_EQ(is_partition_upgraded("xbl_config"), 1);
    EXPECT_EQ(is_partition_upgraded("modem"), 1) << "last line without newline";
}

TEST(StatusTest, ReportStageWritesThreeFiles) {
    TestRoot root;
    report_stage("dst_start", 0);
    report_stage("dst_check\n", 30);
    EXPECT_EQ(root.read("/data/upgrade/install/status"), "dst_check\n");
    EXPECT_EQ(root.read("/data/upgrade/install/status_list"), "dst_start\ndst_check\n");
    EXPECT_EQ(root.read("/data/upgrade/install/install_process"), "30");
    report_stage("dst_failed", -12);
    EXPECT_EQ(root.read("/data/upgrade/install/install_process"), "-12");
}

TEST(StatusTest, AppendFileLine) {
    TestRoot root;
    append_file_line("/tmp/list", "a");
    append_file_line("/tmp/list", "b\n");
    EXPECT_EQ(root.read("/tmp/list"), "a\nb\n");
    CaptureStderr err;
    append_file_line("/tmp/list", "");
    EXPECT_NE(err.finish().find("append file line: "), std::string::npos);
    EXPECT_EQ(root.read("/tmp/list"), "a\nb\n");
    append_file_line("/nodir/list", "x");  // silently nothing
    EXPECT_FALSE(root.exists("/nodir/list"));
}

TEST(CompletionTest, RestoreFlagIsCreatedPrivateAndKeepsContent) {
    TestRoot root;
    create_efs_backup_restore_flag_file();
    struct stat st;
    ASSERT_EQ(stat(root.host("/tmp/restoredut_flag").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    root.write("/tmp/restoredut_flag", "keep me");
    create_efs_backup_restore_flag_file();
    EXPECT_EQ(root.read("/tmp/restoredut_flag"), "keep me");
    EXPECT_NE(root.read(kLog).find("File '/tmp/restoredut_flag' created successfully.\n"), std::string::npos);
}

TEST(CompletionTest, FinishRecoveryWritesTheIntentExactly) {
    TestRoot root;
    finish_recovery(nullptr);
    EXPECT_TRUE(root.exists("/data/recovery"));
    EXPECT_FALSE(root.exists("/data/recovery/intent"));
    root.write("/data/recovery/intent", "a much longer earlier intent\n");
    finish_recovery("--send_intent=DELTA_UPDATE_SUCCESS");
    EXPECT_EQ(root.read("/data/recovery/intent"), "--send_intent=DELTA_UPDATE_SUCCESS");
}

}  // namespace
