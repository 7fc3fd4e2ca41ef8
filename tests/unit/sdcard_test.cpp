// Card detection and the update flows: scripted listings for the listing
// commands, and the copies, checks and renames run for real in a temporary board root.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/unit/test_files.h"
#include "storage/sdcard.h"
#include "storage/signature.h"
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
        if_update_skipped = 0;
    }
    void TearDown() override {
        fake_sys::on_sleep(nullptr);
        fs::remove_all(root);
    }

    std::string ls() { return "ls " + R + "/media/card/update"; }
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

TEST_F(SdCard, NamesThatOnlyBeginLikeTheUpdateFilesAreIgnored) {
    if_sd_card = 1;
    // A 129-character name ending in "fw" arrives in two pieces; the tail "fw\n" is no line.
    std::string long_name = std::string(127, 'a') + "fw\n";
    fake_sys::script("ls ", "config.ini.bck\nfw.bck\nfwx\nconfig.ini2\nconfig.ini \n fw\nFW\n" + long_name +
                                "fw");
    EXPECT_EQ(check_if_config_update(), 0);
    EXPECT_EQ(fake_sys::commands(), (Cmds{ls()}));
    EXPECT_EQ(if_config_exist, 0);
    EXPECT_EQ(if_fw_exist, 0);
}

TEST_F(SdCard, ListingThatCannotStart) {
    if_sd_card = 1;
    fake_sys::fail_start("ls ");
    EXPECT_EQ(check_if_config_update(), 0);
    EXPECT_EQ(fake_sys::commands(), (Cmds{ls()}));
    EXPECT_EQ(if_config_exist, 0);
    EXPECT_EQ(if_fw_exist, 0);
    EXPECT_EQ(if_update_skipped, 0);
}

// The update flows with the real ls, cp, mv and rm, inside the temporary root:
// a card in, an installed firmware and configuration.
class RealCard : public SdCard {
protected:
    fs::path upd;

    void SetUp() override {
        SdCard::SetUp();
        fake_sys::passthrough(true);
        upd = root / "media/card/update";
        put(root / "APP/fw", "old fw");
        put(root / "APP/config.ini", "old config");
        if_sd_card = 1;
    }
    // One start's card work, as the daemon's start runs it. Its messages are
    // returned for the few cases where they alone say why a file was refused.
    std::string start() {
        if_fw_exist = 0;
        if_fw_update = 0;
        if_fw_update_error = 0;
        if_update_skipped = 0;
        testing::internal::CaptureStdout();
        check_if_config_update();
        if (if_fw_exist) check_if_fw_update();
        return testing::internal::GetCapturedStdout();
    }
    bool tried(const char *name) { return slurp(root / "APP/update.tried").find(name) != std::string::npos; }
};

TEST_F(RealCard, FirmwareAndConfiguration) {
    put(upd / "fw", "new fw");
    start();
    EXPECT_EQ(if_fw_update, 1);
    EXPECT_EQ(slurp(root / "APP/fw"), "new fw");
    EXPECT_EQ(slurp(upd / "fw.bck"), "old fw");
    EXPECT_EQ(slurp(upd / "config.ini.bck"), "old config");
    EXPECT_FALSE(fs::exists(root / "APP/config.ini"));
    EXPECT_FALSE(fs::exists(upd / "fw"));
    EXPECT_EQ(if_fw_update_error, 0);

    // Next card: a new configuration together with firmware.
    put(upd / "fw", "newer fw");
    put(upd / "config.ini", "new config");
    start();
    EXPECT_EQ(if_config_exist, 1);
    EXPECT_EQ(slurp(root / "APP/config.ini"), "new config");
    EXPECT_EQ(slurp(root / "APP/fw"), "newer fw");
    EXPECT_EQ(slurp(upd / "fw.bck"), "new fw");
    EXPECT_FALSE(fs::exists(upd / "config.ini"));
    EXPECT_EQ(if_fw_update_error, 0);
    EXPECT_FALSE(fs::exists(root / "APP/update.tried"));
}

// A card backup that cannot be made (here its temporary name is taken by a
// directory, as a full or read-only card fails the write) keeps the installed
// configuration and firmware, and the same card file is tried only once.
TEST_F(RealCard, FailedBackupKeepsConfigurationAndIsTriedOnce) {
    put(upd / "fw", "new fw");
    put(upd / "config.ini", "new config");
    fs::create_directories(upd / "config.ini.bck.tmp");
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_if_config_update(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(slurp(root / "APP/config.ini"), "old config");
    EXPECT_EQ(if_fw_update_error, 1);
    EXPECT_TRUE(tried("config.ini"));

    // The firmware goes in, but the configuration it would drop has no good copy: kept.
    ASSERT_EQ(if_fw_exist, 1);
    testing::internal::CaptureStdout();
    check_if_fw_update();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(slurp(root / "APP/fw"), "new fw");
    EXPECT_EQ(slurp(root / "APP/config.ini"), "old config");
    EXPECT_FALSE(fs::exists(upd / "config.ini.bck"));

    // Next start, same configuration file: not tried again.
    start();
    EXPECT_EQ(if_config_exist, 0);
    EXPECT_EQ(if_update_skipped, 1);
    EXPECT_EQ(slurp(root / "APP/config.ini"), "old config");

    // A different file is tried again, and goes in once the backup can be made.
    fs::remove(upd / "config.ini.bck.tmp");
    put(upd / "config.ini", "newer config");
    start();
    EXPECT_EQ(if_config_exist, 1);
    EXPECT_EQ(slurp(root / "APP/config.ini"), "newer config");
    EXPECT_EQ(slurp(upd / "config.ini.bck"), "old config");
    EXPECT_EQ(if_update_skipped, 0);
}

// A firmware refused at its first start (nothing replaced, pattern 6) is
// skipped at the next, which serves normally; the one-try rule recognises a
// card file without reading it whole: a firmware of a terabyte (sparse here; a
// big file on a slow card on the board) must not hold up the start that skips it.
TEST_F(RealCard, RefusedFirmwareIsTriedOnce) {
    struct Case {
        const char *what;
        std::function<void()> make;
    };
    const Case cases[] = {
        {"empty", [&] { put(upd / "fw", ""); }},
        {"a directory", [&] { fs::create_directories(upd / "fw"); }},
        {"no backup", [&] { put(upd / "fw", "new fw"); fs::create_directories(upd / "fw.bck.tmp"); }},
        {"huge, no backup", [&] {
             put(upd / "fw", "new fw");
             fs::resize_file(upd / "fw", uint64_t{1} << 40);
             fs::create_directories(upd / "fw.bck.tmp");
         }},
    };
    for (const Case &c : cases) {
        fs::remove_all(upd);
        fs::remove(root / "APP/update.tried");
        c.make();
        start();
        EXPECT_EQ(if_fw_update, 1) << c.what;
        EXPECT_EQ(if_fw_update_error, 1) << c.what;
        EXPECT_EQ(slurp(root / "APP/fw"), "old fw") << c.what;
        EXPECT_EQ(slurp(root / "APP/config.ini"), "old config") << c.what;
        EXPECT_FALSE(fs::exists(upd / "fw.bck")) << c.what;
        start();
        EXPECT_EQ(if_fw_exist, 0) << c.what;
        EXPECT_EQ(if_fw_update, 0) << c.what;
        EXPECT_EQ(if_fw_update_error, 0) << c.what;
        EXPECT_EQ(if_update_skipped, 1) << c.what;
        EXPECT_EQ(slurp(root / "APP/fw"), "old fw") << c.what;
    }

    // Another file of the same size (its end differs) is a new update: tried.
    {
        std::FILE *f = std::fopen((upd / "fw").c_str(), "r+");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fseek(f, -3, SEEK_END), 0);
        std::fputs("end", f);
        std::fclose(f);
    }
    if_fw_exist = 0;
    if_update_skipped = 0;
    testing::internal::CaptureStdout();
    check_if_config_update();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(if_fw_exist, 1);
    EXPECT_EQ(if_update_skipped, 0);
}

// The install killed at several moments: /APP/fw is always the whole old or
// the whole new file.
TEST_F(SdCard, KilledInstallLeavesOldOrNewFirmware) {
    const std::string old_fw(1 << 20, 'o');
    std::string new_fw(16 << 20, 'n');
    put(root / "APP/fw", old_fw);
    put(root / "media/card/update/fw", new_fw);
    const std::string src = (root / "media/card/update/fw").string();
    const std::string dst = (root / "APP/fw").string();
    bool saw_old = false;
    for (int delay_ms : {1, 5, 20, 60, 150}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            sys_copy_verified(src, dst);
            _exit(0);
        }
        usleep(static_cast<useconds_t>(delay_ms) * 1000);
        kill(pid, SIGKILL);
        int st = 0;
        waitpid(pid, &st, 0);
        std::string now = slurp(root / "APP/fw");
        EXPECT_TRUE(now == old_fw || now == new_fw) << "size " << now.size() << " after " << delay_ms << " ms";
        if (now == old_fw) saw_old = true;
        put(root / "APP/fw", old_fw);
    }
    EXPECT_TRUE(saw_old);
}
}  // namespace

namespace {
// With a public key on the board (/APP/update.pub) a card file goes in only
// with a good signature beside it, and a firmware only with a version not
// below the installed one. A refusal touches nothing and is tried once.
class SignedCard : public RealCard {
protected:
    sig_seckey key{};

    void SetUp() override {
        RealCard::SetUp();
        ASSERT_GE(sodium_init(), 0);
        uint8_t pk[crypto_sign_PUBLICKEYBYTES];
        crypto_sign_keypair(pk, key.sk);
        randombytes_buf(key.key_id, sizeof key.key_id);
        put(root / "APP/update.pub", sig_pubkey_text(key));
    }
    void sign(const fs::path &file, const std::string &trusted, const sig_seckey &with) {
        std::string text;
        const char *why = nullptr;
        ASSERT_TRUE(sig_sign_file(with, file.string(), trusted, &text, &why)) << why;
        put(file.string() + ".minisig", text);
    }
    void sign(const fs::path &file, const std::string &trusted) { sign(file, trusted, key); }
};

TEST_F(SignedCard, SignedUpdatesInstallAndRecordTheVersion) {
    put(upd / "config.ini", "new config");
    sign(upd / "config.ini", "file:config.ini");
    put(upd / "fw", "new fw");
    sign(upd / "fw", "file:fw\tversion=5");
    start();
    EXPECT_EQ(slurp(root / "APP/config.ini"), "new config");
    EXPECT_EQ(slurp(root / "APP/fw"), "new fw");
    EXPECT_EQ(slurp(root / "APP/fw.version"), "5\n");
    EXPECT_EQ(if_fw_update, 1);
    EXPECT_EQ(if_fw_update_error, 0);
    // The signatures went with their files.
    EXPECT_FALSE(fs::exists(upd / "fw.minisig"));
    EXPECT_FALSE(fs::exists(upd / "config.ini.minisig"));

    // The same version again is taken (a reinstall); a lower one is not.
    put(upd / "fw", "same version");
    sign(upd / "fw", "version=5");
    start();
    EXPECT_EQ(slurp(root / "APP/fw"), "same version");
    put(root / "APP/config.ini", "kept config");
    put(upd / "fw", "older fw");
    sign(upd / "fw", "version=4");
    std::string out = start();
    EXPECT_NE(out.find("fw not installed: version 4 is older than the installed 5!!"), std::string::npos) << out;
    EXPECT_EQ(slurp(root / "APP/fw"), "same version");
    EXPECT_EQ(slurp(root / "APP/fw.version"), "5\n");
    EXPECT_EQ(slurp(root / "APP/config.ini"), "kept config");
    EXPECT_EQ(if_fw_update, 1);   // firmware-update mode shows pattern 6
    EXPECT_EQ(if_fw_update_error, 1);
}

TEST_F(SignedCard, RefusedFilesTouchNothingAndAreTriedOnce) {
    sig_seckey other{};
    uint8_t pk[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_keypair(pk, other.sk);
    memcpy(other.key_id, key.key_id, sizeof other.key_id);   // same id, other key
    struct Case {
        const char *what;
        std::function<void()> make;
        const char *why;
    };
    const Case cases[] = {
        {"unsigned", [&] { put(upd / "fw", "new fw"); }, "fw not installed: no signature!!"},
        {"other key", [&] { put(upd / "fw", "new fw"); sign(upd / "fw", "version=9", other); },
         "fw not installed: trusted comment does not match its signature!!"},
        {"changed after signing", [&] { put(upd / "fw", "new fw"); sign(upd / "fw", "version=9");
                                        put(upd / "fw", "new fw, longer"); },
         "fw not installed: file does not match its signature!!"},
        {"no version", [&] { put(upd / "fw", "new fw"); sign(upd / "fw", "file:fw"); },
         "fw not installed: no version=N in the trusted comment!!"},
        {"garbage signature", [&] { put(upd / "fw", "new fw"); put(upd / "fw.minisig", std::string(3000, '\n')); },
         "fw not installed: malformed signature file!!"},
    };
    for (const Case &c : cases) {
        fs::remove_all(upd);
        fs::remove(root / "APP/update.tried");
        c.make();
        std::string out = start();
        EXPECT_NE(out.find(c.why), std::string::npos) << c.what << ": " << out;
        EXPECT_EQ(slurp(root / "APP/fw"), "old fw") << c.what;
        EXPECT_EQ(slurp(root / "APP/config.ini"), "old config") << c.what;
        EXPECT_FALSE(fs::exists(upd / "fw.bck")) << c.what;
        EXPECT_FALSE(fs::exists(upd / "config.ini.bck")) << c.what;
        EXPECT_TRUE(fs::exists(upd / "fw")) << c.what;
        EXPECT_EQ(if_fw_update_error, 1) << c.what;
        // The next start does not try the same file again and serves normally.
        start();
        EXPECT_EQ(if_fw_exist, 0) << c.what;
        EXPECT_EQ(if_fw_update, 0) << c.what;
        EXPECT_EQ(if_update_skipped, 1) << c.what;
    }
    // The unsigned file of before, now with a good signature: tried and installed.
    fs::remove_all(upd);
    fs::remove(root / "APP/update.tried");
    put(upd / "fw", "new fw");
    start();
    sign(upd / "fw", "version=1");
    start();
    EXPECT_EQ(slurp(root / "APP/fw"), "new fw");
}

TEST_F(SignedCard, ConfigurationNeedsItsSignatureToo) {
    put(upd / "config.ini", "new config");
    start();
    EXPECT_EQ(if_config_exist, 0);
    EXPECT_TRUE(tried("config.ini"));
    EXPECT_EQ(slurp(root / "APP/config.ini"), "old config");
    EXPECT_FALSE(fs::exists(upd / "config.ini.bck"));
    EXPECT_EQ(if_fw_update_error, 1);
    EXPECT_EQ(if_fw_update, 0);

    // Without the key the same card goes in as ever.
    fs::remove(root / "APP/update.pub");
    fs::remove(root / "APP/update.tried");
    start();
    EXPECT_EQ(slurp(root / "APP/config.ini"), "new config");
    EXPECT_FALSE(fs::exists(root / "APP/fw.version"));
}

// A card that changes under the update (swapped, or read differently by a
// flaky card) at any one of its reads: what goes in is the signed bytes or
// nothing. Refused or failed, the old file stays with a message and no copy is
// left on the board. The swap is tried at every read the update makes.
TEST_F(SignedCard, CardChangedBetweenReadsNeverInstallsUnverifiedBytes) {
    std::string good(200000, '\0');   // several read chunks
    for (size_t i = 0; i < good.size(); i++) good[i] = static_cast<char>((i * 131) >> 3);
    std::string evil = good;
    evil[good.size() / 2] ^= 0x5a;   // same size, one byte other
    struct Update {
        const char *name, *trusted, *old;
    };
    const Update updates[] = {{"fw", "version=7", "old fw"}, {"config.ini", "file:config.ini", "old config"}};
    for (const Update &u : updates) {
        const fs::path app = root / "APP" / u.name;
        const std::string card = (upd / u.name).string();
        int reads = 0;
        bool swapped = false;
        for (int swap_at = 1; swap_at < 20; swap_at++) {
            fs::remove_all(upd);
            for (const char *f : {"update.tried", "fw.version"}) fs::remove(root / "APP" / f);
            put(root / "APP/fw", "old fw");
            put(root / "APP/config.ini", "old config");
            put(card, good);
            sign(card, u.trusted);
            reads = 0;
            swapped = false;
            fake_sys::on_read([&](const std::string &path) {
                if (path == card && ++reads == swap_at) {
                    put(card, evil);
                    swapped = true;
                }
            });
            const std::string out = start();
            fake_sys::on_read(nullptr);
            const std::string now = slurp(app);
            const std::string at = std::string(u.name) + ", swapped at read " + std::to_string(swap_at) + ": " + out;
            EXPECT_NE(now, evil) << at;
            if (now != good) {
                EXPECT_EQ(now, u.old) << at;
                const std::string name = u.name;
                EXPECT_TRUE(out.find(name + " not installed: ") != std::string::npos ||
                            out.find(name + " install failed, ") != std::string::npos)
                    << at;
                EXPECT_EQ(if_fw_update_error, 1) << at;
            }
            for (const auto &e : fs::directory_iterator(root / "APP")) {
                const std::string f = e.path().filename().string();
                EXPECT_FALSE(f.ends_with(".new") || f.ends_with(".tmp")) << f << " left; " << at;
            }
            if (!swapped) break;
        }
        // Past the update's last read of the card the signed file went in.
        ASSERT_FALSE(swapped) << u.name << ": more reads than tried";
        EXPECT_GT(reads, 0) << u.name;
        EXPECT_EQ(slurp(app), good) << u.name;
    }
}
}  // namespace
