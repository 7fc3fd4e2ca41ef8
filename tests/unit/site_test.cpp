// agwctl's site file: every class of bad input named by file, line and field,
// the round trip site -> image -> show -> site, and the UCS-2 text registers.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "modbus/config.h"
#include "modbus/regmap.h"
#include "tools/site.h"
#include "tests/unit/map_fixture.h"

namespace {
struct Map : test_map::Map {
    Map() { config_fill_defaults(); }
};

std::string example() {
    std::ifstream f(std::string(AGW_SOURCE_DIR) + "/tools/examples/site.toml");
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(Site, BadInputNamesFileLineAndField) {
    const std::string long54(54, 'x');
    struct Case { std::string toml, error; };
    const std::vector<Case> cases = {
        {"[[alarm]]\nnumber = 3\non = \"" + long54 + "yz\"\n", "s.toml:3: alarm.on: text needs 56 UCS-2 registers, 54 available"},
        {"[[alarm]]\nnumber = 3\non = \"" + long54 + "\"\noff = \"\xF0\x9F\x94\xA5\"\n",
         "s.toml:4: alarm.off: character U+1F525 is outside the basic multilingual plane"},
        {"[sms]\nvariable_text = \"" + std::string(17, 'v') + "\"\n", "s.toml:2: sms.variable_text: text needs 17"},
        {"[[group]]\nindex = 2\nnumbers = [\"+4917\", \"12a\"]\n", "s.toml:3: group.numbers[1]: \"12a\" is not a phone number"},
        {"[[group]]\nindex = 2\nnumbers = [\"" + std::string(20, '1') + "\"]\n", "s.toml:3: group.numbers[0]"},
        {"[[group]]\nindex = 2\nnumbers = [\"++1\"]\n", "s.toml:3: group.numbers[0]"},
        {"[[group]]\nindex = 16\n", "s.toml:2: group.index: must be 0 to 15"},
        {"[[alarm]]\nnumber = 128\n", "s.toml:2: alarm.number: must be 0 to 127"},
        {"[[alarm]]\nnumber = 1\ngroups = [3, 16]\n", "s.toml:3: alarm.groups: group index must be 0 to 15"},
        {"[[alarm]]\nnumber = 1\n[[alarm]]\nnumber = 1\n", "s.toml:4: alarm.number: alarm 1 given twice"},
        {"[serial]\nadress = 3\n", "s.toml:2: serial.adress: unknown key"},
        {"\n[[alarm]]\nnumber = 1\ntext = \"x\"\n", "s.toml:4: alarm.text: unknown key"},
        {"[serail]\n", "s.toml:1: serail: unknown key"},
        {"[serial]\nbaud = 12345\n", "s.toml:2: serial.baud: must be 2400"},
        {"[sim]\npin = 1234\n", "s.toml:2: sim.pin: must be four digits"},
        {"[[alarm]]\non = \"x\"\n", "alarm.number: missing"},
        {"[serial]\naddress = = 3\n", "s.toml:2: "},
        {"[acknowledgement]\nrounds = 101\n", "s.toml:2: acknowledgement.rounds: must be 0 to 100"},
        {"[acknowledgement]\ninterval = 5\nrepeat = 2\n", "s.toml:3: acknowledgement.repeat: unknown key"},
        {"[[alarm]]\nnumber = 1\nack = 1\n", "s.toml:3: alarm.ack: must be true or false"},
        {"[[alarm]]\nnumber = 1\nescalation_groups = [16]\n", "s.toml:3: alarm.escalation_groups: group index must be 0 to 15"},
        {"[journal]\nresume_minutes = -1\n", "s.toml:2: journal.resume_minutes: must be 0 to 65535"},
        {"[journal]\nresume = 5\n", "s.toml:2: journal.resume: unknown key"},
        {"[supervision]\nheartbeat_time = \"8:00\"\n", "s.toml:2: supervision.heartbeat_time: must be a local time"},
        {"[supervision]\nheartbeat_time = \"24:00\"\n", "s.toml:2: supervision.heartbeat_time: must be a local time"},
        {"[supervision]\nunit = \"hours\"\n", "s.toml:2: supervision.unit: must be \"minutes\" or \"seconds\""},
        {"[supervision]\nsilent_groups = [16]\n", "s.toml:2: supervision.silent_groups: group index must be 0 to 15"},
        {"[supervision]\nsilent_after = -1\n", "s.toml:2: supervision.silent_after: must be 0 to 65535"},
        {"[supervision]\nheartbeat = 1\n", "s.toml:2: supervision.heartbeat: unknown key"},
    };
    for (const Case &c : cases) {
        Site s = site_defaults();
        s.address = 99;  // must stay untouched on failure
        std::string err = site_parse(c.toml, "s.toml", s);
        EXPECT_NE(err.find(c.error), std::string::npos) << c.toml << "\n-> " << err;
        EXPECT_EQ(s.address, 99) << c.toml;
    }
}

// The example site -> image -> show (diff and --all) -> site gives the same image.
TEST(Site, RoundTripThroughImageAndShow) {
    Site site;
    ASSERT_EQ(site_parse(example(), "site.toml", site), "");
    std::vector<uint8_t> img(CONFIG_SIZE), again(CONFIG_SIZE);
    {
        Map m;
        site_to_map(site);
        config_to_image(img.data());
    }
    for (bool all : {false, true}) {
        Map m;
        config_from_image(img.data(), img.size());
        std::string shown = site_emit(site_from_map(), all);
        Site back;
        ASSERT_EQ(site_parse(shown, "shown.toml", back), "") << shown;
        EXPECT_EQ(back, site);
        Map m2;
        site_to_map(back);
        config_to_image(again.data());
        EXPECT_EQ(again, img);
    }
    // The acknowledgement settings land in their registers.
    {
        Map m;
        config_from_image(img.data(), img.size());
        EXPECT_EQ(hr_get(layout::HR_ACK_REQUIRED), 1u << 5);
        EXPECT_EQ(hr_get(layout::HR_ESCALATION_MASK + 5), 0x0002);
        EXPECT_EQ(hr_get(layout::HR_ACK_INTERVAL), 300);
        EXPECT_EQ(hr_get(layout::HR_ACK_ROUNDS), 3);
        EXPECT_EQ(hr_get(layout::HR_ACK_TELL_OTHERS), 1);
        EXPECT_EQ(hr_get(layout::HR_ACK_COMMAND), 0);
    }
    EXPECT_EQ(site.journal_resume_minutes, 30);
    EXPECT_EQ(img[layout::IMG_OFF_AO + 2 * layout::HR_JOURNAL_RESUME], 30);   // little-endian in the image
    // Unnamed settings keep their factory defaults.
    EXPECT_EQ(ucs2_to_utf8(site.alarms[7].on), "Channel7 ON");
    EXPECT_EQ(ucs2_to_utf8(site.alarms[5].off), "Channel5 OFF");
    EXPECT_EQ(site_emit(site_defaults(), false), "");
    // The self-supervision's registers, off by default.
    EXPECT_EQ(site_defaults().supervision, SiteSupervision{});
    Map m;
    site_to_map(site);
    EXPECT_EQ(hr_get(layout::HR_SUP_HEARTBEAT_GROUPS), 0x0002);
    EXPECT_EQ(hr_get(layout::HR_SUP_HEARTBEAT_TIME), 7 * 60 + 30);
    EXPECT_EQ(hr_get(layout::HR_SUP_SILENT_GROUPS), 0x0001);
    EXPECT_EQ(hr_get(layout::HR_SUP_SILENT_AFTER), 30);
    EXPECT_EQ(hr_get(layout::HR_SUP_OUTAGE_AFTER), 20);
    EXPECT_EQ(hr_get(layout::HR_SUP_FAILS_IN_ROW), 6);
    EXPECT_EQ(hr_get(layout::HR_SUP_DELIVER_GROUPS), 0x0002);
    EXPECT_EQ(hr_get(layout::HR_SUP_UNIT), 0);
    Site sec;
    ASSERT_EQ(site_parse("[supervision]\nunit = \"seconds\"\nheartbeat_every = 10\n", "s.toml", sec), "");
    site_to_map(sec);
    EXPECT_EQ(hr_get(layout::HR_SUP_UNIT), 1);
    EXPECT_EQ(hr_get(layout::HR_SUP_HEARTBEAT_EVERY), 10);
    EXPECT_EQ(site_from_map().supervision, sec.supervision);
}

TEST(Site, TextRegistersAreByteExchangedUcs2) {
    Map m;
    Site s = site_defaults();
    ASSERT_EQ(utf8_to_ucs2("Cö€", s.alarms[16].on), "");
    site_to_map(s);
    const int t = layout::alarm_text_reg(16);
    EXPECT_EQ(t, 12048);
    EXPECT_EQ(hr_get(t), 0x4300);
    EXPECT_EQ(hr_get(t + 1), 0xF600);
    EXPECT_EQ(hr_get(t + 2), 0xAC20);
    EXPECT_EQ(hr_get(t + 3), 0);
    EXPECT_EQ(ucs2_to_utf8(site_from_map().alarms[16].on), "Cö€");
    // Phone numbers as ASCII pairs, first character high.
    s.phones[8][1] = "+4917";
    site_to_map(s);
    EXPECT_EQ(hr_get(layout::phone_reg(8, 1)), 0x2B34);
    EXPECT_EQ(hr_get(layout::phone_reg(8, 1) + 2), 0x3700);
    EXPECT_EQ(layout::phone_reg(8, 1), 32068);
}
}  // namespace
