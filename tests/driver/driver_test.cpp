#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "context/device.h"
#include "context/package.h"
#include "context/partition_map.h"
#include "context/status.h"
#include "core/guarded_list.h"
#include "driver/completion.h"
#include "support/test_root.h"

namespace {

// The map is process-wide: each load starts from an empty one.
class MapTest : public ::testing::Test {
protected:
    void TearDown() override { load(""); current_slot = 0; }
    int load(const std::string& cfg) {
        while (auto* n = reinterpret_cast<partition_image_node*>(guarded_list_pop_front(&partition_image_map))) {
            delete n->entry;
            delete n;
        }
        copy_tmp_path();
        root.write(PARTITION_IMAGE_MAP_CFG, cfg);
        return kelo_construct_partition_image_map_list();
    }
    // The name a lookup copied out; "-" when it failed.
    std::string got(int ret) const { return ret == 0 ? out : "-"; }
    TestRoot root;
    char out[32] = "untouched";
};

TEST_F(MapTest, LookupsTakeTheFirstExactName) {
    // Comments, blank lines and surplus fields are passed over.
    ASSERT_EQ(load("# x\nboot_a x x x x\nboot boot.img boot_nr boot_a boot_b extra\n\nboot second.img n a b\n"), 0);
    EXPECT_EQ(got(kelo_get_imagename_by_partiton("boot", out, sizeof out)), "boot.img");
    EXPECT_EQ(got(get_nr_pname("boot", out, sizeof out)), "boot_nr");
    EXPECT_EQ(got(kelo_get_imagename_by_partiton("boo", out, sizeof out)), "-");
    // type 0: the running slot (so are unknown types), 1: the other, 2: A, 3: B.
    struct { int slot, type; const char* want; } cases[] = {
        {0, 0, "boot_a"}, {0, 1, "boot_b"}, {1, 0, "boot_b"}, {1, 1, "boot_a"}, {2, 2, "boot_a"},
        {-1, 3, "boot_b"}, {2, 0, "-"}, {-1, 1, "-"}, {1, 7, "boot_b"}, {0, -1, "boot_a"}};
    for (const auto& c : cases) {
        current_slot = c.slot;
        EXPECT_EQ(got(get_ab_pname("boot", out, sizeof out, c.type)), c.want) << c.slot << "/" << c.type;
    }
}

TEST_F(MapTest, MapThatCannotBeReadIsRefused) {
    EXPECT_EQ(load(std::string(300, 'z') + "\n"), -1) << "an overlong line is not cut into names";
    PARTITION_IMAGE_MAP_CFG = DIR_DELTA;
    EXPECT_EQ(kelo_construct_partition_image_map_list(), -1) << "a directory";
}

TEST_F(MapTest, NameThatDoesNotFitTheCallersBufferIsRefused) {
    std::string name(sizeof out, 'n');
    ASSERT_EQ(load("big " + name + " " + name + " a b\n"), 0);
    EXPECT_EQ(kelo_get_imagename_by_partiton("big", out, sizeof out), -1);
    EXPECT_STREQ(out, "") << "nothing of it is copied";
    char exact[sizeof out + 1];
    ASSERT_EQ(get_nr_pname("big", exact, sizeof exact), 0);
    EXPECT_EQ(exact, name);
}

TEST(RunFilesTest, ListsRestoreFlagAndRecoveryIntent) {
    TestRoot root;
    root.write(UPGRADED_PARTITION_FILE, "system_b\nxbl_config\nmodem");
    struct { const char* name; int want; } cases[] = {{"system_b", 1}, {"system", 0}, {"xbl", 0}, {"modem", 1}};
    for (const auto& c : cases) EXPECT_EQ(is_partition_upgraded(c.name), c.want) << c.name;
    for (const char* text : {"a", "b\n", ""}) append_file_line("/tmp/list", text);
    EXPECT_EQ(root.read("/tmp/list"), "a\nb\n") << "one newline to each text, no line for none";
    // A new restore flag is private; one that exists keeps its content.
    create_efs_backup_restore_flag_file();
    EXPECT_EQ(std::filesystem::status(root.host(RESTORE_FLAG_FILE)).permissions(), std::filesystem::perms(0600));
    root.write(RESTORE_FLAG_FILE, "keep me");
    create_efs_backup_restore_flag_file();
    EXPECT_EQ(root.read(RESTORE_FLAG_FILE), "keep me");
    root.write(RECOVERY_INTENT, "a much longer earlier intent\n");
    finish_recovery(INTENT_SUCCESS);
    EXPECT_EQ(root.read(RECOVERY_INTENT), INTENT_SUCCESS);
}

}  // namespace
