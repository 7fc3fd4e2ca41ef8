// The WAV reader and format check, the voice-file bitmaps in input registers
// 128..159 and the links for the modem, in a temporary board root.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "modbus/regmap.h"
#include "storage/sdcard.h"
#include "storage/voice_files.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"
#include "tests/unit/map_fixture.h"
#include "tests/unit/test_files.h"

namespace fs = std::filesystem;

namespace {
using test_files::WavShape;
using test_files::wav_bytes;

using test_files::put;

class Voice : public ::testing::Test {
protected:
    fs::path root, card, links;
    std::string R;

    void SetUp() override {
        fake_sys::reset();
        scope = std::make_unique<test_map::Scope>("voice");
        ASSERT_TRUE(scope->ok());
        root = scope->root();
        R = root.string();
        card = root / "media/card/voice";
        links = root / "var/zrb_318_voice";
        fs::create_directories(card);
        if_sd_card = 1;
        for (int r = 0; r < MB_INPUT; r++) ir_set(r, 0xFFFF);
    }
    void TearDown() override { scope.reset(); }
    void wav(const std::string &name, const WavShape &w) { put(card / name, wav_bytes(w)); }
    std::string path(const std::string &name) { return (card / name).string(); }

    std::unique_ptr<test_map::Scope> scope;
};

TEST_F(Voice, ReaderReturnsTheSamplesAndTheFormat) {
    WavShape w;
    w.data_len = 100;
    wav("a.wav", w);
    wav_header h{};
    uint8_t *d = wavread(path("a.wav").c_str(), &h);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d[0], 0);
    EXPECT_EQ(d[99], static_cast<uint8_t>(99 * 7));
    free(d);
    EXPECT_EQ(h.audio_format, 1);
    EXPECT_EQ(h.channels, 1);
    EXPECT_EQ(h.sample_rate, 8000u);
    EXPECT_EQ(h.byte_rate, 16000u);
    EXPECT_EQ(h.block_align, 2);
    EXPECT_EQ(h.bits_per_sample, 16);
    EXPECT_EQ(h.ext_size, 0);
}

TEST_F(Voice, ReaderFailures) {
    wav_header h{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(wavread(path("none.wav").c_str(), &h), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can not open the wave file: " + path("none.wav") + ".\n");

    put(card / "short.wav", "RIFF\1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(wavread(path("short.wav").c_str(), &h), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "The file is not in WAVE format!\n");

    std::string avi = wav_bytes(WavShape{});
    avi.replace(8, 4, "AVI ");
    put(card / "avi.wav", avi);
    testing::internal::CaptureStderr();
    EXPECT_EQ(wavread(path("avi.wav").c_str(), &h), nullptr);
    testing::internal::GetCapturedStderr();

    // "WAVEfmt" and nothing more.
    put(card / "cut.wav", std::string("RIFF\0\0\0\0WAVEfmt", 15));
    h.channels = 9;
    testing::internal::CaptureStderr();
    EXPECT_EQ(wavread(path("cut.wav").c_str(), &h), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Locating data start point failed!\n");
    EXPECT_EQ(h.channels, 0);   // cleared
}

TEST_F(Voice, ListChunkBeforeDataIsReportedButJudgedByItsFormat) {
    WavShape w;
    w.list_chunk = true;
    wav("DO0_ON.wav", w);
    wav_header h{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(wavread(path("DO0_ON.wav").c_str(), &h), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(h.channels, 1);
    EXPECT_EQ(h.sample_rate, 8000u);
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_wav_format(0, 1), 1);
    testing::internal::GetCapturedStderr();
}

TEST_F(Voice, FormatChecks) {
    WavShape ext;
    ext.fmt_len = 18;   // data tag expected at offset 38
    wav("DO1_ON.wav", ext);
    EXPECT_EQ(wav_bytes(ext).substr(38, 4), "data");
    EXPECT_EQ(check_wav_format(1, 1), 1);
    wav_header h{};
    uint8_t *d = wavread(path("DO1_ON.wav").c_str(), &h);
    EXPECT_NE(d, nullptr);
    free(d);

    WavShape flt;
    flt.format = 3;
    wav("DO2_ON.wav", flt);
    EXPECT_EQ(check_wav_format(2, 1), 1);

    WavShape stereo;
    stereo.channels = 2;
    wav("DO3_ON.wav", stereo);
    EXPECT_EQ(check_wav_format(3, 1), 0);

    WavShape fast;
    fast.rate = 16000;
    wav("DO4_ON.wav", fast);
    EXPECT_EQ(check_wav_format(4, 1), 0);

    WavShape eight;
    eight.bits = 8;
    wav("DO6_ON.wav", eight);
    EXPECT_EQ(check_wav_format(6, 1), 0);

    put(card / "DO7_ON.wav", "12345");
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_wav_format(7, 1), 0);
    testing::internal::GetCapturedStderr();

    testing::internal::CaptureStderr();
    EXPECT_EQ(check_wav_format(8, 1), 0);   // missing
    testing::internal::GetCapturedStderr();

    // Any flag other than 1 checks the OFF file.
    wav("DO5_OFF.wav", WavShape{});
    EXPECT_EQ(check_wav_format(5, 2), 1);
    EXPECT_EQ(check_wav_format(5, 0), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_wav_format(5, 1), 0);
    testing::internal::GetCapturedStderr();
}

TEST_F(Voice, ClaimedLengthsAreBoundedByTheFile) {
    // 4 GB of data claimed, 100 bytes held: no huge allocation, no read past the end.
    WavShape big;
    big.data_len = 100;
    big.claimed_data = 0xFFFFFFFFu;
    wav("DO10_ON.wav", big);
    wav_header h{};
    uint8_t *d = wavread(path("DO10_ON.wav").c_str(), &h);
    ASSERT_NE(d, nullptr);
    EXPECT_LT(malloc_usable_size(d), 4096u);   // sized by the file, not by the claim
    EXPECT_EQ(d[99], static_cast<uint8_t>(99 * 7));
    free(d);
    EXPECT_EQ(check_wav_format(10, 1), 1);

    WavShape bad_fmt;
    bad_fmt.claimed_data = 0x7FFFFFF0u;
    bad_fmt.channels = 2;
    wav("DO10_OFF.wav", bad_fmt);
    EXPECT_EQ(check_wav_format(10, 0), 0);

    // A format chunk claiming 4 GB: the record takes what the file holds,
    // and the data tag lies beyond the end.
    WavShape huge_fmt;
    huge_fmt.claimed_fmt = 0xFFFFFFF0u;
    wav("DO11_ON.wav", huge_fmt);
    testing::internal::CaptureStderr();
    EXPECT_EQ(wavread(path("DO11_ON.wav").c_str(), &h), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(h.channels, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_wav_format(11, 1), 1);
    testing::internal::GetCapturedStderr();

    // Data tag present, length field cut off.
    std::string cut = wav_bytes(WavShape{}).substr(0, 40);
    put(card / "DO12_ON.wav", cut);
    d = wavread(path("DO12_ON.wav").c_str(), &h);
    EXPECT_NE(d, nullptr);
    free(d);
}

// A FIFO or a directory named like a voice file is refused at once, never
// waited on; a 150 MiB file is judged by its header without reading the samples.
TEST_F(Voice, OnlyTheHeaderOfARegularFileIsRead) {
    ASSERT_EQ(mkfifo(path("DO20_ON.wav").c_str(), 0644), 0);
    fs::create_directories(card / "DO20_OFF.wav");
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_wav_format(20, 1), 0);
    EXPECT_EQ(check_wav_format(20, 0), 0);
    wav_header h{};
    EXPECT_EQ(wavread(path("DO20_ON.wav").c_str(), &h), nullptr);
    testing::internal::GetCapturedStderr();

    WavShape big;
    big.data_len = 0;
    big.claimed_data = 150u << 20;
    wav("DO21_ON.wav", big);
    fs::resize_file(card / "DO21_ON.wav", (150u << 20) + 44);   // sparse samples
    struct rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    EXPECT_EQ(check_wav_format(21, 1), 1);
    EXPECT_EQ(wav_read_header(path("DO21_ON.wav").c_str(), &h), 1);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 4096);   // KiB: nothing the size of the samples
}

TEST_F(Voice, PowerTrace) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(pow_ne(2, 3), 8);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\r\nSTART_z=1,x=2,y=3\r\n\r\nz=2\r\n\r\nz=4\r\n\r\nz=8\r\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(pow_ne(2, 0), 1);
    EXPECT_EQ(pow_ne(5, -3), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\r\nSTART_z=1,x=2,y=0\r\n\r\nSTART_z=1,x=5,y=-3\r\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(pow_ne(2, 15), 32768);
    testing::internal::GetCapturedStdout();
}

TEST_F(Voice, BitmapsForAValidAndAStereoFile) {
    wav("DO0_ON.wav", WavShape{});
    WavShape stereo;
    stereo.channels = 2;
    wav("DO0_OFF.wav", stereo);
    testing::internal::CaptureStdout();
    check_wav_exist_format();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ir_get(128), 0x0003);
    EXPECT_EQ(ir_get(144), 0x0001);
    for (int r = 129; r < 144; r++) EXPECT_EQ(ir_get(r), 0) << r;
    for (int r = 145; r < 160; r++) EXPECT_EQ(ir_get(r), 0) << r;
    EXPECT_EQ(ir_get(127), 0xFFFF);   // neighbours untouched
    EXPECT_EQ(ir_get(160), 0xFFFF);
    EXPECT_NE(out.find("Voice ON File: " + path("DO0_ON.wav") + " exist.\r\n"), std::string::npos);
    EXPECT_NE(out.find("Voice OFF File: " + path("DO0_OFF.wav") + " exist.\r\n"), std::string::npos);
    EXPECT_NE(out.find("Voice OFF File: " + path("DO0_OFF.wav") + " format is Incorrect!!\r\n"), std::string::npos);
    EXPECT_EQ(out.find("Voice ON File: " + path("DO0_ON.wav") + " format is Incorrect"), std::string::npos);
    EXPECT_NE(out.find("\r\nSTART_z=1,x=2,y=1\r\n\r\nz=2\r\n"), std::string::npos);
    EXPECT_EQ(fake_sys::slept_us(), 128u * 10000u);
}

TEST_F(Voice, BitmapsPlaceEachAlarmInItsRegister) {
    wav("DO9_OFF.wav", WavShape{});
    WavShape list;
    list.list_chunk = true;
    wav("DO127_ON.wav", list);   // passes despite the LIST chunk
    put(card / "DO127_OFF.wav", "12345");
    wav("DO64_ON.wav", WavShape{});
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    check_wav_exist_format();
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    for (int j = 0; j < 16; j++) {
        uint16_t p = j == 1 ? 0x0008 : j == 15 ? 0xC000 : j == 8 ? 0x0001 : 0;
        uint16_t f = j == 1 ? 0x0008 : j == 15 ? 0x4000 : j == 8 ? 0x0001 : 0;
        EXPECT_EQ(ir_get(128 + j), p) << j;
        EXPECT_EQ(ir_get(144 + j), f) << j;
    }
}

TEST_F(Voice, NoCardClearsTheBitmaps) {
    if_sd_card = 0;
    wav("DO0_ON.wav", WavShape{});
    testing::internal::CaptureStdout();
    check_wav_exist_format();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SD card does not exist.\r\n");
    for (int r = 128; r < 160; r++) EXPECT_EQ(ir_get(r), 0) << r;
    EXPECT_EQ(ir_get(127), 0xFFFF);
    EXPECT_EQ(ir_get(160), 0xFFFF);
}

TEST_F(Voice, LinksAreMadeWhenOneIsMissing) {
    // Commands run before each pause: one pause after each alarm's two links.
    static std::vector<size_t> before_pause;
    before_pause.clear();
    fake_sys::on_sleep([](uint64_t) { before_pause.push_back(fake_sys::commands().size()); });
    testing::internal::CaptureStdout();
    EXPECT_EQ(link_wav_to_var(), 1);
    std::string out = testing::internal::GetCapturedStdout();
    fake_sys::on_sleep(nullptr);
    ASSERT_EQ(before_pause.size(), 128u);
    for (size_t n = 0; n < 128; n++) EXPECT_EQ(before_pause[n], 1 + 2 * (n + 1)) << n;
    auto cmds = fake_sys::commands();
    ASSERT_EQ(cmds.size(), 1u + 256u);
    EXPECT_EQ(cmds[0], "mkdir " + R + "/var/zrb_318_voice/");
    EXPECT_EQ(cmds[1], "ln -s " + R + "/media/card/voice/DO0_ON.wav  " + R + "/var/zrb_318_voice/DO0_ON.wav");
    EXPECT_EQ(cmds[2], "ln -s " + R + "/media/card/voice/DO0_OFF.wav  " + R + "/var/zrb_318_voice/DO0_OFF.wav");
    EXPECT_EQ(cmds[256],
              "ln -s " + R + "/media/card/voice/DO127_OFF.wav  " + R + "/var/zrb_318_voice/DO127_OFF.wav");
    EXPECT_NE(out.find("Voice ON File: " + R + "/var/zrb_318_voice/DO0_ON.wav not exist!!.\r\n"), std::string::npos);
    EXPECT_NE(out.find("Voice ON File: " + R + "/var/zrb_318_voice/DO127_ON.wav not exist!!.\r\n"),
              std::string::npos);
    EXPECT_EQ(out.find("OFF"), std::string::npos);   // missing OFF links are not reported
    EXPECT_EQ(fake_sys::slept_us(), 128u * 10000u);
}

TEST_F(Voice, AllLinksPresentRunsNoLn) {
    fs::create_directories(links);
    for (int n = 0; n < 128; n++)
        for (const char *e : {"_ON.wav", "_OFF.wav"}) {
            std::string name = "DO" + std::to_string(n) + e;
            // Dangling links count as present.
            fs::create_symlink(card / name, links / name);
        }
    fake_sys::script("mkdir ", "mkdir: cannot create directory: File exists\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(link_wav_to_var(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), R + "/var/zrb_318_voice/ already creat!!\r\n");
    EXPECT_EQ(fake_sys::commands().size(), 1u);
    EXPECT_EQ(fake_sys::slept_us(), 0u);

    // One missing OFF link: every ln runs, and no message names it.
    fs::remove(links / "DO3_OFF.wav");
    fake_sys::clear_commands();
    fake_sys::script("mkdir ", "something else\n");
    testing::internal::CaptureStdout();
    link_wav_to_var();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "creat " + R + "/var/zrb_318_voice/ error!!\r\n");
    EXPECT_EQ(fake_sys::commands().size(), 257u);
}

TEST_F(Voice, CommandsThatCannotStart) {
    fake_sys::fail_start("mkdir ");
    fake_sys::fail_start("ln -s ");
    testing::internal::CaptureStdout();
    link_wav_to_var();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("popen()-mkdir " + R + "/var/zrb_318_voice/ error!\n", 0), 0u);
    size_t n = 0;
    for (size_t at = out.find("popen() ln -s error!\n"); at != std::string::npos;
         at = out.find("popen() ln -s error!\n", at + 1))
        n++;
    EXPECT_EQ(n, 256u);
}

TEST_F(Voice, RealLinksPointAtTheCardFiles) {
    fake_sys::passthrough(true);
    fs::create_directories(root / "var");
    wav("DO5_ON.wav", WavShape{});
    testing::internal::CaptureStdout();
    link_wav_to_var();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(fs::is_symlink(links / "DO5_ON.wav"));
    EXPECT_EQ(fs::read_symlink(links / "DO5_ON.wav"), card / "DO5_ON.wav");
    EXPECT_TRUE(fs::is_symlink(links / "DO99_OFF.wav"));   // dangling until the card has it
    EXPECT_FALSE(fs::exists(links / "DO99_OFF.wav"));

    // An existing link is kept as it is.
    fs::remove(links / "DO7_ON.wav");
    fs::remove(links / "DO5_ON.wav");
    fs::create_symlink("/elsewhere", links / "DO5_ON.wav");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    link_wav_to_var();
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fs::read_symlink(links / "DO5_ON.wav"), fs::path("/elsewhere"));
    EXPECT_EQ(fs::read_symlink(links / "DO7_ON.wav"), card / "DO7_ON.wav");
}
}  // namespace
