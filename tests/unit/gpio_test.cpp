// The sysfs GPIO layer against a GPIO tree in a temporary board root.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "tests/unit/test_files.h"
#include "board/gpio.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"

namespace fs = std::filesystem;

namespace {
constexpr int kBoardLines[] = {27, 26, 28, 30, 7, 5, 80, 29, 4, 25, 6, 92, 77, 0};

using test_files::put;
using test_files::slurp;

class Gpio : public ::testing::Test {
protected:
    fs::path root;
    fs::path gpio;

    void SetUp() override {
        fake_sys::reset();
        root = test_files::temp_root("gpio");
        gpio = root / "sys/class/gpio";
        fs::create_directories(gpio);
        put(gpio / "export", "");
        sys_set_root(root.c_str());
    }
    void TearDown() override { fs::remove_all(root); }

    // A line as the kernel shows it once exported.
    void make_line(int n, const std::string &value = "0") {
        fs::path d = gpio / ("gpio" + std::to_string(n));
        fs::create_directories(d);
        put(d / "value", value);
        put(d / "direction", "in");
        put(d / "active_low", "0");
    }
    std::string file(int n, const char *leaf) { return slurp(gpio / ("gpio" + std::to_string(n)) / leaf); }
};

TEST_F(Gpio, OpenOfAnExportedLineLeavesTheExportFileAlone) {
    make_line(77);
    EXPECT_EQ(GPIO_open(77), 0);
    EXPECT_EQ(slurp(gpio / "export"), "");
    EXPECT_EQ(fake_sys::slept_us(), 0u);
}

TEST_F(Gpio, OpenExportsWithDigitsOnlyAndWaitsForTheLine) {
    // The "kernel" makes the line during the 1 ms pause after the export write.
    fake_sys::on_sleep([this](uint64_t) {
        if (slurp(gpio / "export") == "92") make_line(92);
    });
    EXPECT_EQ(GPIO_open(92), 0);
    std::string e = slurp(gpio / "export");
    EXPECT_EQ(e.size(), 2u);   // no terminating zero byte
    EXPECT_EQ(e, "92");
    EXPECT_EQ(fake_sys::slept_us(), 1000u);
}

TEST_F(Gpio, OpenFailsWhenTheLineDoesNotAppearOrExportIsMissing) {
    EXPECT_LT(GPIO_open(80), 0);
    EXPECT_EQ(slurp(gpio / "export"), "80");
    fs::remove(gpio / "export");
    EXPECT_LT(GPIO_open(81), 0);
    EXPECT_FALSE(fs::exists(gpio / "export"));
}

// A write that takes only part of the digits: the open gives back what the
// write returned.
TEST_F(Gpio, ShortExportWriteIsAFailure) {
    struct rlimit old_lim;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_lim), 0);
    struct rlimit one = old_lim;
    one.rlim_cur = 1;   // the export file takes one byte of "92"
    auto old_sig = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &one), 0);
    int r = GPIO_open(92);   // "write fail" goes to stderr: no capture file could grow here
    setrlimit(RLIMIT_FSIZE, &old_lim);
    signal(SIGXFSZ, old_sig);
    EXPECT_EQ(r, -1);   // not the byte count, which GPIO_io_init would take for success
    EXPECT_EQ(slurp(gpio / "export"), "9");
    EXPECT_EQ(fake_sys::slept_us(), 0u);   // no wait for a line after a failed export
}

TEST_F(Gpio, WrittenTextsCarryTheirTerminatingZeroByte) {
    make_line(29);
    EXPECT_EQ(GPIO_set_value(29, 1), 0);
    EXPECT_EQ(file(29, "value"), std::string("1\0", 2));
    EXPECT_EQ(GPIO_set_value(29, 0), 0);
    EXPECT_EQ(file(29, "value"), std::string("0\0", 2));
    EXPECT_EQ(GPIO_set_value(29, 5), 0);   // any non-zero value is 1
    EXPECT_EQ(file(29, "value"), std::string("1\0", 2));

    EXPECT_EQ(GPIO_set_dir(29, 2), 0);     // any non-zero direction is out
    EXPECT_EQ(file(29, "direction"), std::string("out\0", 4));
    put(gpio / "gpio29/direction", "");   // sysfs shows only the new text; a plain file keeps the tail
    EXPECT_EQ(GPIO_set_dir(29, 0), 0);
    EXPECT_EQ(file(29, "direction"), std::string("in\0", 3));

    EXPECT_EQ(GPIO_set_active(29, 1), 0);
    EXPECT_EQ(file(29, "active_low"), std::string("1\0", 2));
    EXPECT_EQ(GPIO_set_active(29, 0), 0);
    EXPECT_EQ(file(29, "active_low"), std::string("0\0", 2));
}

TEST_F(Gpio, WritesToAMissingLineReportAndReturnTheOpenFailure) {
    testing::internal::CaptureStdout();
    EXPECT_LT(GPIO_set_dir(44, 1), 0);
    EXPECT_LT(GPIO_set_active(44, 1), 0);
    EXPECT_LT(GPIO_set_value(44, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "gpio(44)/directiongpio(44)/active_low");
}

TEST_F(Gpio, ValueReadsOneOnlyForTheCharacterOne) {
    make_line(5, "1");
    EXPECT_EQ(GPIO_get_value(5), 1);
    EXPECT_EQ(PIN_INIT_V(), 1);
    put(gpio / "gpio5/value", std::string("1\0", 2));
    EXPECT_EQ(GPIO_get_value(5), 1);
    put(gpio / "gpio5/value", "0");
    EXPECT_EQ(GPIO_get_value(5), 0);
    put(gpio / "gpio5/value", "x");
    EXPECT_EQ(GPIO_get_value(5), 0);

    put(gpio / "gpio5/value", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(GPIO_get_value(5), 0);
    std::string empty = testing::internal::GetCapturedStdout();
    EXPECT_EQ(empty, "usr_gpio_get_value read " + (gpio / "gpio5/value").string() + " error 0\n");

    testing::internal::CaptureStdout();
    EXPECT_LT(GPIO_get_value(6), 0);
    std::string missing = testing::internal::GetCapturedStdout();
    EXPECT_EQ(missing, "usr_gpio_get_value open " + (gpio / "gpio6/value").string() + " error -1\n");
}

TEST_F(Gpio, RoleOperationsDriveTheirLines) {
    for (int n : kBoardLines) make_line(n);
    EXPECT_EQ(ONDO(7), 0);
    EXPECT_EQ(file(4, "value"), std::string("1\0", 2));
    EXPECT_EQ(file(29, "value"), "0");
    EXPECT_EQ(ONDO(0), 0);
    EXPECT_EQ(file(29, "value"), std::string("1\0", 2));
    EXPECT_EQ(DOV(0), 1);
    OFFDO(0);
    EXPECT_EQ(DOV(0), 0);
    EXPECT_EQ(DOV(3), 1);   // line 4
    OFFDO(200);
    EXPECT_EQ(DOV(1), 0);

    AI0_HIGH();
    AI1_HIGH();
    EXPECT_EQ(file(25, "value"), std::string("1\0", 2));
    EXPECT_EQ(file(6, "value"), std::string("1\0", 2));
    AI0_LOW();
    AI1_LOW();
    EXPECT_EQ(file(25, "value"), std::string("0\0", 2));
    EXPECT_EQ(file(6, "value"), std::string("0\0", 2));

    const int din[5] = {27, 26, 28, 30, 7};
    for (int ch = 0; ch < 5; ch++) {
        for (int n : din) put(gpio / ("gpio" + std::to_string(n)) / "value", n == din[ch] ? "1" : "0");
        for (int c = 0; c < 5; c++) EXPECT_EQ(DIV(static_cast<uint8_t>(c)), c == ch ? 1 : 0) << ch << " " << c;
    }

    STA_LED_ON();
    GPS_LED_OFF();
    EXPECT_EQ(STA_LED_V(), 1);
    EXPECT_EQ(GPS_LED_V(), 0);
    STA_LED_INVERSE();
    GPS_LED_INVERSE();
    EXPECT_EQ(file(77, "value"), std::string("0\0", 2));
    EXPECT_EQ(file(92, "value"), std::string("1\0", 2));
    STA_LED_INVERSE();
    EXPECT_EQ(STA_LED_V(), 1);
    STA_LED_OFF();
    EXPECT_EQ(STA_LED_V(), 0);
}

TEST_F(Gpio, InitConfiguresTheBoardTableAndSkipsAMissingLine) {
    for (int n : kBoardLines)
        if (n != 80) make_line(n, "1");
    testing::internal::CaptureStdout();
    InitGPIO();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[80]gpio init error\r\n"), std::string::npos);
    EXPECT_EQ(out.find("[29]gpio init error"), std::string::npos);
    // 1 s first, then 1 ms after each line that opened (and 1 ms in the failed export of 80).
    EXPECT_EQ(fake_sys::slept_us(), 1000000u + 14u * 1000u);

    const std::string in(std::string("in\0", 3)), out_(std::string("out\0", 4));
    const std::string one(std::string("1\0", 2)), zero(std::string("0\0", 2));
    for (int n : {27, 26, 28, 30, 7}) {
        EXPECT_EQ(file(n, "direction"), in) << n;
        EXPECT_EQ(file(n, "active_low"), one) << n;
        EXPECT_EQ(file(n, "value"), "1") << n;   // inputs are not written
    }
    EXPECT_EQ(file(5, "direction"), in);
    EXPECT_EQ(file(5, "active_low"), zero);
    EXPECT_EQ(file(5, "value"), "1");
    for (int n : {29, 4, 25, 6, 92, 77, 0}) {
        EXPECT_EQ(file(n, "direction"), out_) << n;
        EXPECT_EQ(file(n, "active_low"), zero) << n;
        EXPECT_EQ(file(n, "value"), zero) << n;
    }
    EXPECT_FALSE(fs::exists(gpio / "gpio80"));
}

TEST_F(Gpio, InitExportsTheLinesInTheBoardOrder) {
    // The "kernel" makes each line when its number arrives in the export file.
    std::vector<int> order;
    fake_sys::on_sleep([&](uint64_t) {
        std::string e = slurp(gpio / "export");
        if (e.empty()) return;
        order.push_back(std::stoi(e));
        put(gpio / "export", "");
        make_line(order.back());
    });
    InitGPIO();
    EXPECT_EQ(order, std::vector<int>(std::begin(kBoardLines), std::end(kBoardLines)));
}

TEST_F(Gpio, IoInitWritesTheDirectionBeforeThePolarity) {
    make_line(33);
    // Unwritable files: the failure reports show the order of the writes.
    fs::remove(gpio / "gpio33/direction");
    fs::remove(gpio / "gpio33/active_low");
    fs::create_directory(gpio / "gpio33/direction");
    fs::create_directory(gpio / "gpio33/active_low");
    testing::internal::CaptureStdout();
    EXPECT_EQ(GPIO_io_init(33, 1, 0, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "gpio(33)/directiongpio(33)/active_low");
    EXPECT_EQ(file(33, "value"), std::string("1\0", 2));   // still written for an output
}

TEST_F(Gpio, IoInitReportsAFailedExport) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(GPIO_io_init(33, 1, 0, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[33]gpio init error\r\n");
    make_line(33);
    EXPECT_EQ(GPIO_io_init(33, 0, 1, 1), 0);
    EXPECT_EQ(file(33, "value"), "0");   // an input keeps its value
    EXPECT_EQ(file(33, "active_low"), std::string("1\0", 2));
}
}  // namespace
