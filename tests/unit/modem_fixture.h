// Shared set-up of the modem tests: virtual clock, scripted modem, a board root
// in a temporary directory and the modem unit back at its process-start state.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "modbus/slave.h"
#include "modem/sim7100.h"
#include "sys/sys.h"
#include "tests/fakes/serial_fake.h"
#include "tests/fakes/sys_fake.h"

class ModemTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        fake_serial::reset();
        modem_state_reset();
        char tmpl[] = "/tmp/agw_modem_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        sys_set_root(root_.c_str());
        modem_set_pin("1234");
        isDebug = 0;
        // Most cases start after the first pass.
        is_do_first_time_cmd = 1;
    }
    void TearDown() override {
        isDebug = 0;
        rmdir(root_.c_str());
        sys_set_root("");
    }

    // A modem with a ready SIM, registered, no GPS fix and an empty storage.
    static void healthy_modem() {
        fake_serial::answer("AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n");
        fake_serial::answer("AT+CREG?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n");
        fake_serial::answer("AT+CSQ", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
        fake_serial::answer("AT+CNSMOD?", "\r\n+CNSMOD: 0,8\r\n\r\nOK\r\n");
        fake_serial::answer("AT+CGPSINFO", "\r\n+CGPSINFO: ,,,,,,,,\r\n\r\nOK\r\n");
        fake_serial::answer("AT+CPMS?", "\r\n+CPMS: \"SM\",0,50,\"SM\",0,50,\"SM\",0,50\r\n\r\nOK\r\n");
    }

    // Virtual milliseconds between the writes of two recorded commands.
    static double ms_between(int first, int second) {
        auto s = fake_serial::sent();
        return (static_cast<double>(s.at(second).at_us) - static_cast<double>(s.at(first).at_us)) / 1000.0;
    }

    static std::string gprmc() {
        char out[200];
        modem_get_gprmc(out);
        return out;
    }
    static std::string imei() {
        char out[16];
        modem_get_imei(out);
        return out;
    }

    std::string root_;
};
