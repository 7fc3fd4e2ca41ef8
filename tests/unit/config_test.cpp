// The configuration file: image layout, defaults, the check rules, files of
// any length, and the atomic replacement on save.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "modbus/config.h"
#include "modbus/regmap.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"
#include "tests/unit/map_fixture.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {
class ConfigTest : public ::testing::Test {
protected:
    std::unique_ptr<test_map::Scope> scope;
    std::string root;
    std::string file;
    modbus_mapping_t *map = nullptr;

    void SetUp() override {
        fake_sys::reset();
        scope = std::make_unique<test_map::Scope>("config");
        ASSERT_TRUE(scope->ok());
        root = scope->root().string();
        fs::create_directories(root + "/APP");
        file = root + "/APP/config.ini";
        map = data_mapping.load();
    }
    void TearDown() override {
        data_mapping = map;   // a case may have taken it away
        scope.reset();
    }

    Bytes file_bytes() const {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    void write_file(const Bytes &b) const {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    static uint16_t le16(const Bytes &b, size_t off) { return static_cast<uint16_t>(b[off] | (b[off + 1] << 8)); }
    void clear_map() {
        for (int i = 0; i < MB_DISCRETE; i++) di_set(i, 0);
        for (int i = 0; i < MB_COILS; i++) coil_set(i, 0);
        for (int i = 0; i < MB_INPUT; i++) ir_set(i, 0);
        for (int i = 0; i < MB_HOLDING; i++) hr_set(i, 0);
    }
    // The default image, as save_config writes it.
    Bytes default_image() {
        set_config_default();
        EXPECT_EQ(save_config(), 0);
        return file_bytes();
    }
};

std::string text_at(int reg) {
    std::string s;
    for (int k = 0; k < 54; k++) {
        uint16_t r = hr_get(reg + k);
        if (r == 0) break;
        EXPECT_EQ(r & 0xFF, 0) << "register " << reg + k;
        s += static_cast<char>(r >> 8);
    }
    return s;
}
}  // namespace

TEST_F(ConfigTest, DefaultsFillExactlyTheFactoryEntries) {
    for (int i = 0; i < MB_HOLDING; i++) hr_set(i, 0xFFFF);
    for (int i = 0; i < MB_INPUT; i++) ir_set(i, 0xFFFF);
    for (int i = 0; i < MB_COILS; i++) coil_set(i, 1);
    for (int i = 0; i < MB_DISCRETE; i++) di_set(i, 1);
    testing::internal::CaptureStdout();
    set_config_default();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Set Modbus DI Data...\r\nSet Modbus DO Data...\r\nSet Modbus AI Data...\r\nSet Modbus AO Data...\r\n");

    for (int i = 0; i < MB_DISCRETE; i++) EXPECT_EQ(di_get(i), 0) << i;
    for (int i = 0; i < MB_COILS; i++) EXPECT_EQ(coil_get(i), 0) << i;
    const int id = layout::IR_IDENT;
    for (int i = 0; i < MB_INPUT; i++)
        EXPECT_EQ(ir_get(i), (i >= id && i < id + layout::IR_IDENT_N) ? layout::IDENT[i - id] : 0) << i;

    EXPECT_EQ(hr_get(180), (DEFAULT_PIN[0] << 8) | DEFAULT_PIN[1]);
    EXPECT_EQ(hr_get(181), (DEFAULT_PIN[2] << 8) | DEFAULT_PIN[3]);
    for (int k = 0; k < 4; k++) EXPECT_TRUE(DEFAULT_PIN[k] >= '0' && DEFAULT_PIN[k] <= '9');
    EXPECT_EQ(hr_get(199), 1);
    EXPECT_EQ(hr_get(200), layout::SERIAL_DEFAULT);
    EXPECT_EQ(hr_get(254), 1);

    // Every alarm's two texts, and nothing else outside the five registers above.
    int text_regs = 0;
    for (int i = 0; i < 128; i++) {
        std::string on = "Channel" + std::to_string(i) + " ON";
        std::string off = "Channel" + std::to_string(i) + " OFF";
        EXPECT_EQ(text_at(alarm_text_reg(i)), on) << i;
        EXPECT_EQ(text_at(alarm_text_reg(i) + 54), off) << i;
        text_regs += static_cast<int>(on.size() + off.size());
    }
    int nonzero = 0;
    for (int i = 0; i < MB_HOLDING; i++) nonzero += hr_get(i) != 0;
    EXPECT_EQ(nonzero, 5 + text_regs);

    // Alarm 0: "Channel0 ON" / "Channel0 OFF", character code in the high byte.
    const int t0 = alarm_text_reg(0);
    EXPECT_EQ(hr_get(t0), 0x4300);
    EXPECT_EQ(hr_get(layout::alarm_off_text_reg(0)), 0x4300);
    EXPECT_EQ(hr_get(t0 + 7), 0x3000);
    EXPECT_EQ(hr_get(t0 + 8), 0x2000);
    EXPECT_EQ(hr_get(t0 + 9), 0x4F00);
    EXPECT_EQ(hr_get(t0 + 10), 0x4E00);
    EXPECT_EQ(hr_get(t0 + 11), 0);
    EXPECT_EQ(text_at(25956), "Channel127 ON");
    EXPECT_EQ(text_at(26010), "Channel127 OFF");
    EXPECT_EQ(text_at(12048), "Channel16 ON");
}

TEST_F(ConfigTest, SaveWritesTheImageByteForByte) {
    set_config_default();
    di_set(0, 1);
    di_set(7, 1);
    coil_set(0, 1);
    coil_set(255, 1);
    ir_set(0, 0x1234);
    ir_set(255, 0xBEEF);
    hr_set(34399, 0xA55A);

    testing::internal::CaptureStdout();
    ASSERT_EQ(save_config(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Open file success for saving\r\nSave Modbus DI Data...\r\nSave Modbus DO Data...\r\n"
              "Save Modbus AI Data...\r\nSave Modbus AO Data...\r\nTime Spent: 0 ms\n");

    Bytes b = file_bytes();
    ASSERT_EQ(b.size(), static_cast<size_t>(layout::IMG_SIZE));
    EXPECT_EQ(b[0], 1);
    for (int i = 1; i < 7; i++) EXPECT_EQ(b[i], 0);
    EXPECT_EQ(b[7], 1);
    EXPECT_EQ(b[8], 1);
    for (int i = 9; i < 263; i++) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[263], 1);
    EXPECT_EQ(b[264], 0x34);
    EXPECT_EQ(b[265], 0x12);
    EXPECT_EQ(le16(b, layout::IMG_OFF_AI + 2 * layout::IR_IDENT), layout::IDENT[0]);
    EXPECT_EQ(le16(b, layout::IMG_OFF_AI + 2 * (layout::IR_IDENT + 2)), layout::IDENT[2]);
    EXPECT_EQ(b[774], 0xEF);
    EXPECT_EQ(b[775], 0xBE);
    EXPECT_EQ(b[776], 0x00);
    EXPECT_EQ(b[777], 0x00);
    EXPECT_EQ(b[1174], 0x01);
    EXPECT_EQ(b[1175], 0x00);
    EXPECT_EQ(b[1176], 0x03);
    EXPECT_EQ(b[1177], 0x0A);
    EXPECT_EQ(b[20776], 0x00);
    EXPECT_EQ(b[20777], 0x43);
    EXPECT_EQ(b[69574], 0x5A);
    EXPECT_EQ(b[69575], 0xA5);
    // No temporary file stays behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(root + "/APP"), fs::directory_iterator()), 1);
}

TEST_F(ConfigTest, ReadRestoresEverySavedEntry) {
    std::mt19937 rng(7);
    for (int i = 0; i < MB_DISCRETE; i++) di_set(i, rng() & 1);
    for (int i = 0; i < MB_COILS; i++) coil_set(i, rng() & 1);
    for (int i = 0; i < MB_INPUT; i++) ir_set(i, static_cast<uint16_t>(rng()));
    for (int i = 0; i < MB_HOLDING; i++) hr_set(i, static_cast<uint16_t>(rng()));
    ASSERT_EQ(save_config(), 0);

    modbus_mapping_t *fresh = modbus_mapping_new(MB_COILS, MB_DISCRETE, MB_HOLDING, MB_INPUT);
    data_mapping = fresh;
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_config(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "open config file success\r\nSet Modbus DI Data...\r\nSet Modbus DO Data...\r\n"
              "Set Modbus AI Data...\r\nSet Modbus AO Data...\r\nset config file success\r\nTime Spent: 0 ms\n");
    EXPECT_EQ(memcmp(fresh->tab_input_bits, map->tab_input_bits, MB_DISCRETE), 0);
    EXPECT_EQ(memcmp(fresh->tab_bits, map->tab_bits, MB_COILS), 0);
    EXPECT_EQ(memcmp(fresh->tab_input_registers, map->tab_input_registers, MB_INPUT * 2), 0);
    EXPECT_EQ(memcmp(fresh->tab_registers, map->tab_registers, MB_HOLDING * 2), 0);
    data_mapping = map;
    modbus_mapping_free(fresh);
}

TEST_F(ConfigTest, FilesOfAnyLengthAreReadWithoutOverflow) {
    Bytes img = default_image();

    // Cut after 1000 bytes: holding registers from 112 on read 0.
    write_file(Bytes(img.begin(), img.begin() + 1000));
    for (int i = 0; i < MB_HOLDING; i++) hr_set(i, 0xEEEE);
    EXPECT_EQ(read_config(), 0);
    EXPECT_EQ(hr_get(111), 0);
    EXPECT_EQ(hr_get(112), 0);
    EXPECT_EQ(hr_get(199), 0);
    EXPECT_EQ(hr_get(200), 0);
    EXPECT_EQ(hr_get(34399), 0);
    EXPECT_EQ(ir_get(layout::IR_IDENT + 2), layout::IDENT[2]);
    EXPECT_EQ(check_config(), 0);

    // A cut inside a register keeps its low byte only.
    Bytes odd(img.begin(), img.begin() + 776 + 2 * 199 + 1);
    write_file(odd);
    EXPECT_EQ(read_config(), 0);
    EXPECT_EQ(hr_get(199), 1);
    EXPECT_EQ(hr_get(200), 0);

    // Longer than the image: the tail is ignored.
    Bytes longer = img;
    longer.resize(img.size() + 5000, 0x77);
    write_file(longer);
    clear_map();
    EXPECT_EQ(read_config(), 0);
    EXPECT_EQ(hr_get(199), 1);
    EXPECT_EQ(hr_get(200), layout::SERIAL_DEFAULT);
    EXPECT_EQ(hr_get(34399), 0);
    EXPECT_EQ(check_config(), 0);

    // Empty: every entry 0, and the check passes.
    write_file({});
    for (int i = 0; i < MB_HOLDING; i++) hr_set(i, 0xEEEE);
    EXPECT_EQ(read_config(), 0);
    for (int i = 0; i < MB_HOLDING; i++) ASSERT_EQ(hr_get(i), 0) << i;
    EXPECT_EQ(check_config(), 0);
}

TEST_F(ConfigTest, MissingOrUnusableFileLeavesTheMap) {
    set_config_default();
    hr_set(5, 42);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_config(), -1);
    EXPECT_EQ(check_config(), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "open file fail\r\nopen file fail\r\n");
    EXPECT_EQ(hr_get(5), 42);
    EXPECT_EQ(hr_get(199), 1);

    // A directory or a FIFO in place of the file is no image (and must not block).
    fs::create_directory(file);
    EXPECT_EQ(read_config(), -1);
    EXPECT_EQ(check_config(), -1);
    fs::remove(file);
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    EXPECT_EQ(read_config(), -1);
    EXPECT_EQ(check_config(), -1);
    EXPECT_EQ(hr_get(5), 42);
}

TEST_F(ConfigTest, CheckLooksOnlyAtDiscreteInputAndCoilBytes) {
    Bytes img = default_image();

    testing::internal::CaptureStdout();
    EXPECT_EQ(check_config(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "open config file success\r\nCheck Modbus DI Data...\r\nCheck Modbus DO Data...\r\n"
              "check config file success\r\n");

    Bytes ones = img;
    for (int i = 0; i < 264; i++) ones[i] = 1;
    write_file(ones);
    EXPECT_EQ(check_config(), 0);

    Bytes bad_di = img;
    bad_di[3] = 2;
    write_file(bad_di);
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_config(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open config file success\r\nCheck Modbus DI Data...\r\n");

    Bytes bad_do = img;
    bad_do[8 + 5] = 2;
    write_file(bad_do);
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_config(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "open config file success\r\nCheck Modbus DI Data...\r\nCheck Modbus DO Data...\r\n");

    Bytes last_coil = img;
    last_coil[263] = 0xFF;
    write_file(last_coil);
    EXPECT_EQ(check_config(), -1);

    // Register tables are not examined.
    Bytes regs = img;
    regs[264] = 0xFF;
    regs[776] = 0xFF;
    regs[69575] = 0xFF;
    write_file(regs);
    EXPECT_EQ(check_config(), 0);

    // A file shorter than the coil table reads as zeros there.
    write_file(Bytes(img.begin(), img.begin() + 10));
    EXPECT_EQ(check_config(), 0);
}

// A save that cannot write the whole image fails and leaves the old file.
TEST_F(ConfigTest, ShortWriteFailsAndKeepsTheOldFile) {
    Bytes old = default_image();
    hr_set(5, 0x5555);
    hr_set(34000, 0x1111);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ign = {}, prev = {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ign, &prev);
    struct rlimit lim = saved;
    lim.rlim_cur = 40000;   // the holding-register table no longer fits
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    testing::internal::CaptureStdout();
    int rc = save_config();
    std::string out = testing::internal::GetCapturedStdout();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &prev, nullptr);

    EXPECT_EQ(rc, -1);
    EXPECT_NE(out.find("write file fail"), std::string::npos) << out;
    EXPECT_EQ(out.find("Time Spent"), std::string::npos) << out;
    EXPECT_EQ(file_bytes(), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(root + "/APP"), fs::directory_iterator()), 1);

    // The next save goes through and replaces the file.
    ASSERT_EQ(save_config(), 0);
    Bytes b = file_bytes();
    ASSERT_EQ(b.size(), static_cast<size_t>(layout::IMG_SIZE));
    EXPECT_EQ(le16(b, 776 + 10), 0x5555);
    EXPECT_EQ(le16(b, 776 + 68000), 0x1111);
}

TEST_F(ConfigTest, SaveWithoutItsDirectoryFails) {
    set_config_default();
    fs::remove_all(root + "/APP");
    testing::internal::CaptureStdout();
    EXPECT_EQ(save_config(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open file fail\r\n");
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(ConfigTest, SystemTimeIsWallClockMilliseconds) {
    fake_sys::set_now_us(1760000000123456ull);
    EXPECT_EQ(getSystemTime(), 1760000000123ll);
    fake_sys::set_now_us(4102444800999999ull);   // beyond 32-bit seconds * 1000
    EXPECT_EQ(getSystemTime(), 4102444800999ll);
}

// ---- assembling numbers and texts from the register map ---------------------------

TEST_F(ConfigTest, PhoneNumbersAreAssembledFromAsciiPairs) {
    char num[21];
    const int r = phone_reg(0, 0);
    EXPECT_EQ(r, 30010);
    EXPECT_EQ(phone_reg(0, 15), 30160);
    EXPECT_EQ(phone_reg(7, 0), 31200);
    EXPECT_EQ(phone_reg(8, 0), 32058);
    EXPECT_EQ(phone_reg(15, 15), 33398);

    hr_set(r, 0x3130);
    hr_set(r + 1, 0x3233);
    EXPECT_EQ(regmap_phone(r, num), 4);
    EXPECT_STREQ(num, "1023");

    // Zero registers anywhere are skipped.
    hr_set(r, 0);
    hr_set(r + 3, 0x3435);
    hr_set(r + 9, 0x3637);
    EXPECT_EQ(regmap_phone(r, num), 6);
    EXPECT_STREQ(num, "234567");

    // A first non-zero register with 0 in its high byte: the number is absent.
    for (int k = 0; k < 10; k++) hr_set(r + k, 0);
    hr_set(r + 2, 0x0031);
    hr_set(r + 3, 0x3233);
    regmap_phone(r, num);
    EXPECT_EQ(num[0], 0);

    // Ten full registers fill 20 bytes; the 21st stays the terminator.
    for (int k = 0; k < 10; k++) hr_set(r + k, 0x3939);
    memset(num, 'x', sizeof num);
    EXPECT_EQ(regmap_phone(r, num), 20);
    EXPECT_EQ(std::string(num), std::string(20, '9'));

    // Nothing at all: an empty, fully zeroed string.
    for (int k = 0; k < 10; k++) hr_set(r + k, 0);
    memset(num, 'x', sizeof num);
    EXPECT_EQ(regmap_phone(r, num), 0);
    for (char c : num) EXPECT_EQ(c, 0);
}

TEST_F(ConfigTest, TextsAreEmittedLowByteFirst) {
    uint8_t out[16];
    hr_set(399, 0x4300);   // 'C' as a text register
    hr_set(400, 0);
    hr_set(401, 0x3412);   // code unit 0x1234
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(regmap_text(399, 3, out, sizeof out), 4);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x00, 0x43, 0x12, 0x34}));
    EXPECT_EQ(out[4], 0xEE);

    // The variable text keeps its zero registers.
    EXPECT_EQ(regmap_text(399, 3, out, sizeof out, true), 6);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x00, 0x43, 0x00, 0x00, 0x12, 0x34}));

    // Never more than the room given, and only whole code units.
    for (int k = 0; k < 10; k++) hr_set(399 + k, 0x4100);
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(regmap_text(399, 10, out, 5), 4);
    EXPECT_EQ(out[4], 0xEE);
}

TEST_F(ConfigTest, AccessOutsideTheTablesIsHarmless) {
    set_config_default();
    hr_set(MB_HOLDING, 1);
    hr_set(-1, 1);
    ir_set(MB_INPUT, 1);
    coil_set(MB_COILS, 1);
    di_set(MB_DISCRETE, 1);
    EXPECT_EQ(hr_get(MB_HOLDING), 0);
    EXPECT_EQ(hr_get(-1), 0);
    EXPECT_EQ(ir_get(MB_INPUT), 0);
    EXPECT_EQ(coil_get(MB_COILS), 0);
    EXPECT_EQ(di_get(MB_DISCRETE), 0);
    EXPECT_EQ(hr_get(MB_HOLDING - 1), 0);
    EXPECT_EQ(di_get(MB_DISCRETE - 1), 0);

    // Without a map every read is 0 and nothing is written.
    data_mapping = nullptr;
    hr_set(199, 5);
    EXPECT_EQ(hr_get(199), 0);
    char num[21];
    EXPECT_EQ(regmap_phone(phone_reg(0, 0), num), 0);
    data_mapping = map;
    EXPECT_EQ(hr_get(199), 1);
}
