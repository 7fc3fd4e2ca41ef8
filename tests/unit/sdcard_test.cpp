// Card detection and the update flows: scripted listings for the exact command
// texts and pauses, and one flow run for real inside a temporary board root.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/unit/test_files.h"
#include "storage/sdcard.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"

namespace fs = std::filesystem;
using Cmds = std::vector<std::string>;

namespace {
using test_files::put;
using test_files::slurp;

class SdCard : public ::testing::Test {
protected:
    fs::path root;
    std::string R;   // the root as a prefix of command texts

    void SetUp() override {
        fake_sys::reset();
        root = test_files::temp_root("sd");
        R = root.string();
        sys_set_root(R.c_str());
        if_sd_card = 0;
        if_config_exist = 0;
        if_fw_exist = 0;
        if_fw_update = 0;
        if_fw_update_error = 0;
    }
    void TearDown() override {
        fake_sys::on_sleep(nullptr);
        fs::remove_all(root);
    }

    // Each pause as (last command run before it, length in microseconds).
    std::vector<std::pair<std::string, uint64_t>> pauses;
    uint64_t last_now = 0;
    void record_pauses() {
        last_now = fake_sys::now_us();
        fake_sys::on_sleep([this](uint64_t now) {
            auto c = fake_sys::commands();
            pauses.emplace_back(c.empty() ? "" : c.back(), now - last_now);
            last_now = now;
        });
    }

    std::string ls() { return "ls " + R + "/media/card/update"; }
    std::string cp_config() { return "cp " + R + "/APP/config.ini " + R + "/media/card/update/config.ini.bck"; }
    std::string mv_config() { return "mv " + R + "/media/card/update/config.ini " + R + "/APP/config.ini"; }
    std::string cp_fw() { return "cp " + R + "/APP/fw " + R + "/media/card/update/fw.bck"; }
    std::string mv_fw() { return "mv " + R + "/media/card/update/fw " + R + "/APP/fw"; }
    std::string rm_config() { return "rm " + R + "/APP/config.ini"; }
};

TEST(Listing, NamesOnlyTheExactFile) {
    EXPECT_TRUE(listing_names("fw\n", "fw"));
    EXPECT_TRUE(listing_names("config.ini\n", "config.ini"));
    EXPECT_FALSE(listing_names("fw", "fw"));
    EXPECT_FALSE(listing_names("fw.bck\n", "fw"));
    EXPECT_FALSE(listing_names("fwx\n", "fw"));
    EXPECT_FALSE(listing_names("fw \n", "fw"));
    EXPECT_FALSE(listing_names(" fw\n", "fw"));
    EXPECT_FALSE(listing_names("fw\r\n", "fw"));
    EXPECT_FALSE(listing_names("config.ini.bck\n", "config.ini"));
    EXPECT_FALSE(listing_names("config.ini2\n", "config.ini"));
    EXPECT_FALSE(listing_names("config.in\n", "config.ini"));
    EXPECT_FALSE(listing_names("\n", "fw"));
    EXPECT_FALSE(listing_names("", "fw"));
}

TEST_F(SdCard, CardDetectionFromDf) {
    fake_sys::script("df -h ", "Filesystem Size Used Avail Use% Mounted on\n/dev/mmcblk0p1 7.4G 1.2G 6.2G 16% " + R +
                                   "/media/card\n");
    sd_card_init();
    EXPECT_EQ(if_sd_card.load(), 1);
    EXPECT_EQ(fake_sys::commands(), (Cmds{"df -h " + R + "/media/card"}));

    if_sd_card = 0;
    fake_sys::script("df -h ", "Filesystem Size Used Avail Use% Mounted on\n/dev/root 2G 1G 1G 50% /\n");
    sd_card_init();
    EXPECT_EQ(if_sd_card.load(), 0);

    fake_sys::fail_start("df -h ");
    testing::internal::CaptureStdout();
    sd_card_init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "popen() error!\n");
    EXPECT_EQ(if_sd_card.load(), 0);
}

TEST_F(SdCard, CardDetectedUnderALongBoardRoot) {
    // df's line runs past 127 characters and the mount point straddles the
    // 127th: it must still be recognised.
    const std::string head = "/dev/mmcblk0p1  7.4G  1.2G  6.2G  17% ";
    std::string long_root = "/tmp/agw_sd_long_root_";
    long_root.append(127 - 5 - head.size() - long_root.size(), 'x');
    sys_set_root(long_root.c_str());
    const std::string line = head + long_root + "/media/card\n";
    ASSERT_EQ(line.find("/media/card"), 122u);
    fake_sys::script("df -h ", "Filesystem      Size  Used Avail Use% Mounted on\n" + line);
    sd_card_init();
    EXPECT_EQ(if_sd_card.load(), 1);
    sys_set_root(R.c_str());
}

TEST_F(SdCard, NoCardTouchesNothing) {
    fake_sys::script("ls ", "config.ini\nfw\n");
    EXPECT_EQ(check_if_config_update(), 0);
    EXPECT_EQ(check_if_fw_update(), 0);
    EXPECT_TRUE(fake_sys::commands().empty());
    EXPECT_EQ(if_config_exist, 0);
    EXPECT_EQ(if_fw_exist, 0);
    EXPECT_EQ(if_fw_update, 0);
    EXPECT_EQ(if_fw_update_error, 0);
    EXPECT_EQ(fake_sys::slept_us(), 0u);
}

TEST_F(SdCard, ConfigurationOnly) {
    if_sd_card = 1;
    if_config_exist = 7;   // cleared at the start of the check
    fake_sys::script("ls ", "config.ini\nconfig.ini.bck\nfw.bck\n");
    record_pauses();
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_config_update(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Got the new config.ini!!\r\n");
    EXPECT_EQ(fake_sys::commands(), (Cmds{ls(), cp_config(), mv_config()}));
    EXPECT_EQ(fake_sys::slept_us(), 110000u);
    using P = std::vector<std::pair<std::string, uint64_t>>;
    EXPECT_EQ(pauses, (P{{cp_config(), 10000}, {mv_config(), 100000}}));
    EXPECT_EQ(if_config_exist, 1);
    EXPECT_EQ(if_fw_exist, 0);
}

TEST_F(SdCard, FirmwareOnly) {
    if_sd_card = 1;
    fake_sys::script("ls ", "fw\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_config_update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Got the new fw!!\r\n");
    EXPECT_EQ(fake_sys::commands(), (Cmds{ls()}));
    EXPECT_EQ(if_fw_exist, 1);

    // The move worked: the listing now shows only the backups.
    fake_sys::clear_commands();
    fake_sys::script("ls ", "config.ini.bck\nfw.bck\n");
    record_pauses();
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_fw_update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fake_sys::commands(), (Cmds{cp_fw(), mv_fw(), cp_config(), rm_config(), ls()}));
    EXPECT_EQ(fake_sys::slept_us(), 130000u);
    using P = std::vector<std::pair<std::string, uint64_t>>;
    EXPECT_EQ(pauses, (P{{cp_fw(), 10000}, {mv_fw(), 10000}, {cp_config(), 100000}, {rm_config(), 10000}}));
    EXPECT_EQ(if_fw_update, 1);
    EXPECT_EQ(if_fw_update_error, 0);
}

TEST_F(SdCard, BothKeepTheNewConfiguration) {
    if_sd_card = 1;
    fake_sys::script("ls ", "config.ini\nfw\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_config_update(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Got the new config.ini!!\r\nGot the new fw!!\r\n");
    fake_sys::script("ls ", "fw.bck\nconfig.ini.bck\n");
    EXPECT_EQ(check_if_fw_update(), 0);
    EXPECT_EQ(fake_sys::commands(), (Cmds{ls(), cp_config(), mv_config(), cp_fw(), mv_fw(), ls()}));
    EXPECT_EQ(fake_sys::slept_us(), 110000u + 20000u);
    EXPECT_EQ(if_fw_update, 1);
    EXPECT_EQ(if_fw_update_error, 0);
}

TEST_F(SdCard, FailedMovesAreFoundInTheSecondListing) {
    if_sd_card = 1;
    if_fw_exist = 1;
    fake_sys::script("ls ", "fw\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_fw_update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fw still exist!!\r\n");
    EXPECT_EQ(if_fw_update, 1);
    EXPECT_EQ(if_fw_update_error, 1);

    if_fw_update_error = 0;
    if_config_exist = 1;
    fake_sys::clear_commands();
    fake_sys::script("ls ", "config.ini\nconfig.ini.bck\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_fw_update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "config.ini still exist!!\r\n");
    EXPECT_EQ(if_fw_update_error, 1);
    EXPECT_EQ(fake_sys::commands(), (Cmds{cp_fw(), mv_fw(), ls()}));

    fake_sys::fail_start("ls ");
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_fw_update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "popen() error!\n");
}

TEST_F(SdCard, NamesThatOnlyBeginLikeTheUpdateFilesAreIgnored) {
    if_sd_card = 1;
    // A 129-character name ending in "fw" arrives in two pieces; the tail "fw\n" is no line.
    std::string long_name = std::string(127, 'a') + "fw\n";
    fake_sys::script("ls ", "config.ini.bck\nfw.bck\nfwx\nconfig.ini2\nconfig.ini \n fw\nFW\n" + long_name +
                                "fw");
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_config_update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fake_sys::commands(), (Cmds{ls()}));
    EXPECT_EQ(if_config_exist, 0);
    EXPECT_EQ(if_fw_exist, 0);

    if_fw_exist = 1;
    EXPECT_EQ(check_if_fw_update(), 0);
    EXPECT_EQ(if_fw_update_error, 0);
}

TEST_F(SdCard, ListingThatCannotStart) {
    if_sd_card = 1;
    fake_sys::fail_start("ls ");
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_config_update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "popen() error!\n");
    EXPECT_EQ(fake_sys::commands(), (Cmds{ls()}));
}

// The same flow with the real ls, cp, mv and rm, inside the temporary root.
TEST_F(SdCard, RealFilesFirmwareAndConfiguration) {
    fake_sys::passthrough(true);
    fs::path upd = root / "media/card/update";
    put(root / "APP/fw", "old fw");
    put(root / "APP/config.ini", "old config");
    put(upd / "fw", "new fw");
    if_sd_card = 1;
    testing::internal::CaptureStdout();
    check_if_config_update();
    ASSERT_EQ(if_fw_exist, 1);
    check_if_fw_update();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(slurp(root / "APP/fw"), "new fw");
    EXPECT_EQ(slurp(upd / "fw.bck"), "old fw");
    EXPECT_EQ(slurp(upd / "config.ini.bck"), "old config");
    EXPECT_FALSE(fs::exists(root / "APP/config.ini"));
    EXPECT_FALSE(fs::exists(upd / "fw"));
    EXPECT_EQ(if_fw_update_error, 0);

    // Next card: a new configuration together with firmware.
    if_fw_exist = 0;
    put(upd / "fw", "newer fw");
    put(upd / "config.ini", "new config");
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_config_update(), 1);
    check_if_fw_update();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(slurp(root / "APP/config.ini"), "new config");
    EXPECT_EQ(slurp(root / "APP/fw"), "newer fw");
    EXPECT_EQ(slurp(upd / "fw.bck"), "new fw");
    EXPECT_FALSE(fs::exists(upd / "config.ini"));
    EXPECT_EQ(if_fw_update_error, 0);
}
}  // namespace
