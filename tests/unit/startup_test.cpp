// Start-up helpers: the date-and-time argument filter and the status-LED rule.
#include <gtest/gtest.h>

#include "app/startup.h"
#include "modem/sim7100.h"
#include "net/data_conn.h"
#include "net/telemetry.h"

TEST(DateArg, AcceptsDateAndTimeWords) {
    for (const char *s : {"2024-03-05", "10:20:30", "2024/03/05", "10:20:30.5", "0", "12.03.2024",
                          "01234567890123456789012345678901"})
        EXPECT_TRUE(date_arg_ok(s)) << s;
}

TEST(DateArg, RefusesAnythingElse) {
    for (const char *s : {"", " ", "2024-03-05 10:20", "2024-03-05;reboot", "$(init 6)", "`id`", "10:20\"",
                          "now", "+1 day", "-s", "a", "10:20:30\n", "2024-03-05&", "012345678901234567890123456789012"})
        EXPECT_FALSE(date_arg_ok(s)) << s;
    EXPECT_FALSE(date_arg_ok(nullptr));
}

TEST(StatusLed, FirstMatchingRuleWins) {
    struct {
        int cpin, link, net, creg, step;
    } cases[] = {
        {1, 0, 0, 1, 4},     // the SIM waits for its PIN, whatever else holds
        {1, -1, -1, 0, 4},
        {0, 0, 0, 0, 3},     // telemetry push succeeded
        {2, -1, 0, 5, 2},    // data connection up
        {0, -1, -1, 1, 1},   // registered at home
        {0, -1, -1, 5, 1},   // roaming
        {0, -1, -1, 0, 0},
        {0, -1, -1, 2, 0},   // searching
        {2, -1, -1, 3, 0},
    };
    for (auto &c : cases) {
        modem_cpin_status = c.cpin;
        link_status = c.link;
        net_status = c.net;
        modem_creg = c.creg;
        EXPECT_EQ(status_led_step(), c.step) << c.cpin << " " << c.link << " " << c.net << " " << c.creg;
    }
    modem_cpin_status = 0;
    link_status = -1;
    net_status = -1;
    modem_creg = 0;
}
