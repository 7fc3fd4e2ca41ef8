// The real serial layer of the AT channel on a pseudo-terminal. Unit tests
// link the scripted modem in place of modem/serial.cpp, so this program
// compiles the real layer into itself: its uart_* definitions come first and
// the fake's are never pulled from the archive. Sleeps go to the virtual clock.
#include "modem/serial.cpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/fakes/sys_fake.h"

namespace {

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_path_ = ptsname(master_);
        // Keep our own hold on the slave end, as the modem simulator does,
        // so the port can be closed and opened again.
        hold_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(hold_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0) uart_close(fd_);
        if (hold_ >= 0) close(hold_);
        if (master_ >= 0) close(master_);
    }

    int open_port(int speed = 115200, int bits = 8, char parity = 'N', int stop = 1) {
        fd_ = uart_open(slave_path_.c_str(), speed, bits, parity, stop);
        return fd_;
    }
    // The modem's side writes; wait (really) until the port has it all queued.
    void modem_says(const std::string &s, int expect_waiting) {
        ASSERT_EQ(write(master_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
        for (int i = 0; i < 2000 && uart_datasize_in_com(fd_) < expect_waiting; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(uart_datasize_in_com(fd_), expect_waiting);
    }
    std::string modem_hears(size_t n) {
        std::string got;
        char buf[256];
        for (int i = 0; i < 2000 && got.size() < n; i++) {
            int w = 0;
            ioctl(master_, FIONREAD, &w);
            if (w > 0) {
                ssize_t r = read(master_, buf, sizeof buf);
                if (r > 0) got.append(buf, static_cast<size_t>(r));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return got;
    }
    termios attrs() {
        termios t{};
        EXPECT_EQ(tcgetattr(fd_, &t), 0);
        return t;
    }

    int master_ = -1, hold_ = -1, fd_ = -1;
    std::string slave_path_;
};

TEST_F(SerialTest, OpenConfiguresARawLine) {
    ASSERT_GE(open_port(), 0);
    termios t = attrs();
    EXPECT_EQ(cfgetispeed(&t), B115200);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | INPCK));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 30);
}

// A pseudo-terminal forces 8 bits without parity, so the record is checked
// as built, and what the terminal keeps as applied.
TEST_F(SerialTest, OddParitySevenBitsTwoStopBits) {
    termios t;
    memset(&t, 0x55, sizeof t);
    make_termios(&t, 9600, 7, 'O', 2);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS7 | PARENB | PARODD | CSTOPB | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(INPCK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 30);
    for (int i = 0; i < NCCS; i++) {
        if (i == VMIN || i == VTIME) continue;
        EXPECT_EQ(t.c_cc[i], 0) << i;
    }

    make_termios(&t, 19200, 8, 'E', 1);
    EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS8 | PARENB | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(INPCK));

    make_termios(&t, 115200, 8, 'N', 1);
    EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag, 0u);

    ASSERT_GE(open_port(9600, 7, 'O', 2), 0);
    t = attrs();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_TRUE(t.c_cflag & PARODD);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_iflag & INPCK);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 30);
}

TEST_F(SerialTest, UnknownSpeedsGive115200) {
    ASSERT_GE(open_port(), 0);
    const std::pair<int, speed_t> known[] = {{2400, B2400},     {4800, B4800},     {9600, B9600},
                                             {19200, B19200},   {38400, B38400},   {57600, B57600},
                                             {115200, B115200}, {230400, B230400}, {460800, B460800}};
    for (auto [speed, code] : known) {
        ASSERT_EQ(set_opt(fd_, speed, 8, 'N', 1), 0);
        termios t = attrs();
        EXPECT_EQ(cfgetospeed(&t), code) << speed;
    }
    for (int speed : {1200, 921600, 0, -5}) {
        ASSERT_EQ(set_opt(fd_, speed, 8, 'N', 1), 0);
        termios t = attrs();
        EXPECT_EQ(cfgetispeed(&t), B115200) << speed;
        EXPECT_EQ(cfgetospeed(&t), B115200) << speed;
    }
    // An unknown size or parity adds nothing.
    ASSERT_EQ(set_opt(fd_, 115200, 6, 'X', 3), 0);
    termios t = attrs();
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
}

TEST_F(SerialTest, OpenFailures) {
    testing::internal::CaptureStdout();
    int r = uart_open("/nonexistent/smd8", 115200, 8, 'N', 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(r, 0);
    EXPECT_EQ(out, "open /nonexistent/smd8 error: " + std::to_string(r) + "\n");

    // Not a terminal: the attributes cannot be read, and the descriptor
    // opened for it is closed again.
    char tmpl[] = "/tmp/agw_serial_XXXXXX";
    int tmp = mkstemp(tmpl);
    ASSERT_GE(tmp, 0);
    close(tmp);
    int before = dup(0);
    close(before);
    testing::internal::CaptureStdout();
    r = uart_open(tmpl, 115200, 8, 'N', 1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "setupserial 1\nerrno=" + std::to_string(ENOTTY) + "\nset opt error: -1\n");
    int after = dup(0);
    close(after);
    EXPECT_EQ(after, before) << "the descriptor of the failed open leaked";
    unlink(tmpl);
}

TEST_F(SerialTest, ReadNeverBlocksAndTakesOnlyWhatWaits) {
    ASSERT_GE(open_port(), 0);
    char buf[400];
    memset(buf, 'x', sizeof buf);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(uart_read(fd_, buf, 100), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(buf[0], 'x');

    std::string data(300, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>('a' + i % 26);
    modem_says(data, 300);
    EXPECT_EQ(uart_read(fd_, buf, 100), 100);
    EXPECT_EQ(std::string(buf, 100), data.substr(0, 100));
    EXPECT_EQ(buf[100], 'x');   // not terminated, not cleared
    EXPECT_EQ(uart_datasize_in_com(fd_), 200);
    EXPECT_EQ(uart_read(fd_, buf, 400), 200);
    EXPECT_EQ(std::string(buf, 200), data.substr(100));
}

TEST_F(SerialTest, WriteReadWaitsClearsAndKeepsTheAnswerTerminated) {
    ASSERT_GE(open_port(), 0);
    modem_says("\r\nOK\r\n", 6);
    char buf[1024];
    memset(buf, 'x', sizeof buf);
    uint64_t slept = fake_sys::slept_us();
    EXPECT_EQ(uart_write_read(fd_, "AT\r\n", 4, buf, 250), 6);
    EXPECT_EQ(fake_sys::slept_us() - slept, 250000u);
    EXPECT_STREQ(buf, "\r\nOK\r\n");
    for (size_t i = 6; i < sizeof buf; i++) ASSERT_EQ(buf[i], 0) << i;
    EXPECT_EQ(modem_hears(4), "AT\r\n");

    // A flood of 1100 bytes: 1023 are taken, the buffer stays terminated
    // and the rest waits for the next read.
    modem_says(std::string(1100, 'A'), 1100);
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(uart_write_read(fd_, "AT\r\n", 4, buf, 0), 1023);
    EXPECT_EQ(buf[1023], '\0');
    EXPECT_EQ(strlen(buf), 1023u);
    EXPECT_EQ(uart_datasize_in_com(fd_), 77);
}

TEST_F(SerialTest, WriteGoesOutWhole) {
    ASSERT_GE(open_port(), 0);
    std::string pdu = "0011000A8110325476980008AA044F60597D\x1A";
    EXPECT_EQ(uart_write(fd_, pdu.data(), static_cast<int>(pdu.size())), static_cast<int>(pdu.size()));
    EXPECT_EQ(modem_hears(pdu.size()), pdu);
}

TEST_F(SerialTest, FlushSelectors) {
    ASSERT_GE(open_port(), 0);
    modem_says("abc", 3);
    EXPECT_EQ(uart_tx_clear(fd_), 0);   // output only: the input stays
    EXPECT_EQ(uart_datasize_in_com(fd_), 3);
    EXPECT_EQ(uart_rx_clear(fd_), 0);
    EXPECT_EQ(uart_datasize_in_com(fd_), 0);
    modem_says("def", 3);
    EXPECT_EQ(uart_flush(fd_, 5), 0);   // both directions
    EXPECT_EQ(uart_datasize_in_com(fd_), 0);
    EXPECT_EQ(uart_flush(-1, 1), -1);
}

TEST_F(SerialTest, OpeningDiscardsWhatCameBefore) {
    ASSERT_GE(open_port(), 0);
    modem_says("+CREG: 0,1\r\n", 12);
    int second = uart_open(slave_path_.c_str(), 115200, 8, 'N', 1);
    ASSERT_GE(second, 0);
    EXPECT_EQ(uart_datasize_in_com(second), 0);
    EXPECT_EQ(uart_datasize_in_com(fd_), 0);
    uart_close(second);
}

TEST_F(SerialTest, NegativeAndDeadDescriptors) {
    char buf[1024];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(uart_datasize_in_com(-1), -1);
    EXPECT_EQ(uart_read(-1, buf, 10), 0);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(uart_write(-1, "AT", 2), -1);
    EXPECT_EQ(uart_flush(-3, 0), -1);
    EXPECT_EQ(uart_write_read(-1, "AT", 2, buf, 10), 0);
    EXPECT_EQ(buf[0], '\0');
    uart_close(-1);

    // A descriptor that is not open: the query fails, the read gives 0.
    int dead = dup(0);
    close(dead);
    EXPECT_EQ(uart_datasize_in_com(dead), -2);
    EXPECT_EQ(uart_read(dead, buf, 10), 0);
}

}  // namespace
