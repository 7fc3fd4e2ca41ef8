// agwctl's site file: every class of bad input named by file, line and field,
// the round trip site -> image -> show -> site, and the UCS-2 text registers.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
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

std::string source(const std::string &rel) {
    std::ifstream f(std::string(AGW_SOURCE_DIR) + "/" + rel);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}
std::string example() { return source("tools/examples/site.toml"); }

// ---- the configuration registers of the map ----
using namespace layout;
struct Block {
    std::string name;
    int first, count;
    uint16_t (*value)(int reg);   // a distinct non-zero value the register can hold
};
uint16_t any(int reg) {
    auto v = static_cast<uint16_t>(static_cast<unsigned>(reg) * 40503u + 17u);
    return v ? v : 1;
}
uint16_t flag(int) { return 1; }
uint16_t text(int reg) {   // a UCS-2 unit outside the surrogates, bytes exchanged
    auto c = static_cast<uint16_t>(0x100 + reg % 0xD000);
    return static_cast<uint16_t>((c & 0xFF) << 8 | c >> 8);
}
uint16_t digit_pair(int reg) { return static_cast<uint16_t>(('0' + reg % 10) << 8 | ('0' + reg / 10 % 10)); }
uint16_t last_digit(int reg) { return static_cast<uint16_t>(('0' + reg % 10) << 8); }   // the 20th byte stays 0
uint16_t dir_pair(int reg) { return static_cast<uint16_t>(('A' + reg % 26) << 8 | ('a' + reg % 26)); }

// What the site file must carry: every setting of the map, with the kind of
// value it holds.
std::vector<Block> config_blocks() {
    std::vector<Block> b = {
        {"HR_GROUP_MASK", HR_GROUP_MASK, ALARMS, any},
        {"HR_SMS_ENABLE", HR_SMS_ENABLE, HR_ENABLE_N, any},
        {"HR_VOICE_ENABLE", HR_VOICE_ENABLE, HR_ENABLE_N, any},
        {"HR_PIN", HR_PIN, HR_PIN_N, digit_pair},
        {"HR_SLAVE_ADDRESS", HR_SLAVE_ADDRESS, 1, [](int) -> uint16_t { return 123; }},
        {"HR_SERIAL", HR_SERIAL, 1, [](int) { return static_cast<uint16_t>(BAUDS[2].code << 8 | FRAMINGS[5].code); }},
        {"HR_VARIABLE_ON", HR_VARIABLE_ON, 1, flag},
        {"HR_EDGE_MODE", HR_EDGE_MODE, 1, flag},
        {"HR_EDGE_DELAY_127", HR_EDGE_DELAY_127, 1, any},
        {"HR_SENDER_FILTER", HR_SENDER_FILTER, 1, flag},
        {"HR_EDGE_DELAY", HR_EDGE_DELAY, ALARMS - 1, any},
        {"HR_VARIABLE_TEXT", HR_VARIABLE_TEXT, HR_VARIABLE_TEXT_N, text},
        {"HR_ACK_REQUIRED", HR_ACK_REQUIRED, HR_ENABLE_N, any},
        {"HR_ACK_INTERVAL", HR_ACK_INTERVAL, 1, any},
        {"HR_ACK_ROUNDS", HR_ACK_ROUNDS, 1, [](int r) { return static_cast<uint16_t>(1 + r % ACK_ROUNDS_MAX); }},
        {"HR_ACK_TELL_OTHERS", HR_ACK_TELL_OTHERS, 1, flag},
        {"HR_ESCALATION_MASK", HR_ESCALATION_MASK, ALARMS, any},
        {"HR_JOURNAL_RESUME", HR_JOURNAL_RESUME, 1, any},
        {"HR_SUP_HEARTBEAT_GROUPS", HR_SUP_HEARTBEAT_GROUPS, 1, any},
        {"HR_SUP_HEARTBEAT_TIME", HR_SUP_HEARTBEAT_TIME, 1,
         [](int r) { return static_cast<uint16_t>(1 + r % (SUP_MINUTES_PER_DAY - 1)); }},
        {"HR_SUP_HEARTBEAT_EVERY", HR_SUP_HEARTBEAT_EVERY, 1, any},
        {"HR_SUP_SILENT_GROUPS", HR_SUP_SILENT_GROUPS, 1, any},
        {"HR_SUP_SILENT_AFTER", HR_SUP_SILENT_AFTER, 1, any},
        {"HR_SUP_OUTAGE_AFTER", HR_SUP_OUTAGE_AFTER, 1, any},
        {"HR_SUP_FAILS_IN_ROW", HR_SUP_FAILS_IN_ROW, 1, any},
        {"HR_SUP_DELIVER_GROUPS", HR_SUP_DELIVER_GROUPS, 1, any},
        {"HR_SUP_UNIT", HR_SUP_UNIT, 1, flag},
        {"HR_DLR_ON", HR_DLR_ON, 1, flag},
        {"HR_DLR_WAIT", HR_DLR_WAIT, 1, any},
        {"HR_DLR_UNIT", HR_DLR_UNIT, 1, flag},
        {"HR_SMS_MORE_TO_SEND", HR_SMS_MORE_TO_SEND, 1, flag},
        {"HR_MODEM_SEND_TIMEOUT", HR_MODEM_SEND_TIMEOUT, 1,
         [](int r) {
             return static_cast<uint16_t>(MODEM_SEND_TIMEOUT_MIN + r % (MODEM_SEND_TIMEOUT_MAX - MODEM_SEND_TIMEOUT_MIN + 1));
         }},
        {"HR_MODEM_PLAY_DIR", HR_MODEM_PLAY_DIR, HR_MODEM_PLAY_DIR_N, dir_pair},
    };
    for (int i = 0; i < ALARMS; i++) {
        b.push_back({"alarm_text_reg(" + std::to_string(i) + ")", alarm_text_reg(i), TEXT_N, text});
        b.push_back({"alarm_off_text_reg(" + std::to_string(i) + ")", alarm_off_text_reg(i), TEXT_N, text});
    }
    for (int g = 0; g < GROUPS; g++)
        for (int n = 0; n < PHONES_PER_GROUP; n++) {
            std::string name = "phone_reg(" + std::to_string(g) + ", " + std::to_string(n) + ")";
            b.push_back({name, phone_reg(g, n), PHONE_N - 1, digit_pair});
            b.push_back({name + " + 9", phone_reg(g, n) + PHONE_N - 1, 1, last_digit});
        }
    return b;
}

// The only registers of the map that are no setting: the daemon's status and
// the master's requests and commands. The site file never carries them.
std::vector<Block> status_and_request_blocks() {
    return {
        {"HR_DYN_TEXT", HR_DYN_TEXT, HR_DYN_TEXT_N, nullptr},
        {"HR_DYN_PHONE", HR_DYN_PHONE, HR_DYN_PHONE_N, nullptr},
        {"HR_PIN_CMD", HR_PIN_CMD, 1, nullptr},
        {"HR_RECOVERY_KEY", HR_RECOVERY_KEY, static_cast<int>(std::size(RECOVERY_KEY)), nullptr},
        {"HR_REBOOT_KEY", HR_REBOOT_KEY, static_cast<int>(std::size(REBOOT_KEY)), nullptr},
        {"HR_LOG_CURSOR..HR_LOG_SINCE", HR_LOG_CURSOR, HR_LOG_SINCE + 2 - HR_LOG_CURSOR, nullptr},
        {"HR_ACK_COMMAND", HR_ACK_COMMAND, 1, nullptr},
        {"HR_ACK_ROUND", HR_ACK_ROUND, ALARMS, nullptr},
        {"HR_DLR_STATUS_FIRST", HR_DLR_STATUS_FIRST, HR_DLR_STATUS_N, nullptr},
    };
}

const Block *find(const std::vector<Block> &bs, int reg) {
    for (const Block &b : bs)
        if (reg >= b.first && reg < b.first + b.count) return &b;
    return nullptr;
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
        {"[delivery_reports]\nrequest = 1\n", "s.toml:2: delivery_reports.request: must be true or false"},
        {"[delivery_reports]\nwait = 65536\n", "s.toml:2: delivery_reports.wait: must be 0 to 65535"},
        {"[delivery_reports]\nunit = \"hours\"\n", "s.toml:2: delivery_reports.unit: must be \"minutes\" or \"seconds\""},
        {"[delivery_reports]\ndelivered = 1\n", "s.toml:2: delivery_reports.delivered: unknown key"},
        {"[modem]\nsend_timeout = 9\n", "s.toml:2: modem.send_timeout: must be 0 (the default, 180 s) or 10 to 3600"},
        {"[modem]\nsend_timeout = 3601\n", "s.toml:2: modem.send_timeout: must be 0 (the default, 180 s) or 10 to 3600"},
        {"[modem]\nplay_directory = \"E: /\"\n", "s.toml:2: modem.play_directory: must be at most 32 letters"},
        {"[modem]\nplay_directory = \"" + std::string(33, 'd') + "\"\n", "s.toml:2: modem.play_directory: must be"},
        {"[modem]\nplay_directory = 3\n", "s.toml:2: modem.play_directory: must be"},
        {"[modem]\nkeep_link_open = \"yes\"\n", "s.toml:2: modem.keep_link_open: must be true or false"},
        {"[modem]\ncmms = 1\n", "s.toml:2: modem.cmms: unknown key"},
        {"[supervision]\nheartbeat_time = \"none\"\n", "s.toml:2: supervision.heartbeat_time: must be a local time"},
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
    // The delivery-report and modem settings land in theirs.
    {
        Map m;
        config_from_image(img.data(), img.size());
        EXPECT_EQ(hr_get(layout::HR_DLR_ON), 1);
        EXPECT_EQ(hr_get(layout::HR_DLR_WAIT), 30);
        EXPECT_EQ(hr_get(layout::HR_DLR_UNIT), 0);
        EXPECT_EQ(hr_get(layout::HR_MODEM_SEND_TIMEOUT), 240);
        EXPECT_EQ(hr_get(layout::HR_SMS_MORE_TO_SEND), 1);
        EXPECT_EQ(hr_get(layout::HR_MODEM_PLAY_DIR), 0);
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

// Every holding register the layout names is either a setting the site file
// carries or one of the status and request registers above: a register added
// to the layout without either fails here.
TEST(Site, EveryRegisterOfTheLayoutIsASettingOrStatus) {
    const std::string h = source("modbus/map_layout.h");
    ASSERT_FALSE(h.empty());
    const std::vector<Block> conf = config_blocks(), other = status_and_request_blocks();
    for (const Block &b : conf)
        for (int r = b.first; r < b.first + b.count; r++)
            EXPECT_EQ(find(other, r), nullptr) << b.name << ": register " << r << " is both";
    std::map<std::string, std::string> defs;
    // Each "HR_NAME = value" (value up to the next ',' or ';'), read by hand:
    // <regex> trips GCC's uninitialised-use warning under the sanitizers.
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    for (size_t i = h.find("HR_"); i != std::string::npos; i = h.find("HR_", i + 1)) {
        if (i > 0 && word(h[i - 1])) continue;
        size_t e = i + 3;
        while (e < h.size() && (std::isupper(static_cast<unsigned char>(h[e])) || std::isdigit(static_cast<unsigned char>(h[e])) || h[e] == '_')) e++;
        size_t k = e;
        while (k < h.size() && space(h[k])) k++;
        if (k >= h.size() || h[k] != '=' || (k + 1 < h.size() && h[k + 1] == '=')) continue;
        k++;
        while (k < h.size() && space(h[k])) k++;
        size_t end = h.find_first_of(",;", k);
        if (end == std::string::npos || end == k) continue;
        std::string v = h.substr(k, end - k);
        while (!v.empty() && space(v.back())) v.pop_back();
        defs[h.substr(i, e - i)] = v;
    }
    EXPECT_GE(defs.size(), 50u);
    auto value = [&](const std::string &name) {
        const std::string &v = defs[name];
        if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) {
            ADD_FAILURE() << name << " = " << v << ": write it as a number, or teach this test its value";
            return -1;
        }
        return std::stoi(v);
    };
    auto ends = [](const std::string &s, const std::string &t) {
        return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
    };
    for (const auto &[name, _] : defs) {
        if (ends(name, "_N")) continue;   // a block's size
        int first = value(name), n = 1;
        // A reserved area's start (_FIRST) names its registers one by one.
        if (defs.count(name + "_N") && !ends(name, "_FIRST")) n = value(name + "_N");
        for (int r = first; r >= 0 && r < first + n; r++)
            EXPECT_TRUE(find(conf, r) || find(other, r))
                << name << ": holding register " << r << " is neither carried by the site file nor listed as status";
    }
}

// Every setting filled with a distinct non-zero value (every other register
// with something else), image -> site file (shown, then parsed) -> image: the
// settings come back as they were, and nothing else is carried.
TEST(Site, EveryConfigurationRegisterSurvivesImageSiteImage) {
    const std::vector<Block> conf = config_blocks();
    std::vector<uint16_t> want(HOLDING), defaults(HOLDING);
    std::vector<uint8_t> img(CONFIG_SIZE), again(CONFIG_SIZE);
    {
        Map m;
        for (int r = 0; r < HOLDING; r++) defaults[r] = hr_get(r);
        for (int r = 0; r < HOLDING; r++) hr_set(r, static_cast<uint16_t>(0xA55A ^ r) | 0x8000);
        want = defaults;
        for (const Block &b : conf)
            for (int r = b.first; r < b.first + b.count; r++) {
                want[r] = b.value(r);
                ASSERT_NE(want[r], 0) << b.name;
                hr_set(r, want[r]);
            }
        config_to_image(img.data());
    }
    for (bool all : {false, true}) {
        std::string shown;
        {
            Map m;
            config_from_image(img.data(), img.size());
            shown = site_emit(site_from_map(), all);
        }
        Site back;
        ASSERT_EQ(site_parse(shown, "shown.toml", back), "") << shown;
        Map m;
        site_to_map(back);
        std::set<std::string> told;   // one message a block
        for (int r = 0; r < HOLDING; r++) {
            if (hr_get(r) == want[r]) continue;
            const Block *b = find(conf, r);
            if (!told.insert(b ? b->name : "no setting").second) continue;
            ADD_FAILURE() << "holding register " << r << " (" << (b ? b->name : "no setting") << "): 0x" << std::hex
                          << hr_get(r) << ", expected 0x" << want[r] << std::dec << (all ? " (--all)" : "");
        }
    }
}

// push writes and reads back every setting and never a status or request register.
TEST(Site, PushRangesHoldEverySettingAndNoStatus) {
    auto pushed = [](int reg) {
        for (const RegRange &r : site_ranges())
            if (reg >= r.first && reg < r.first + r.count) return true;
        return false;
    };
    for (const Block &b : config_blocks())
        for (int r = b.first; r < b.first + b.count; r++) EXPECT_TRUE(pushed(r)) << b.name << " " << r;
    for (const Block &b : status_and_request_blocks())
        for (int r = b.first; r < b.first + b.count; r++) EXPECT_FALSE(pushed(r)) << b.name << " " << r;
}

// Register values the daemon reads as another one come out of show as the
// setting the gateway uses, so the file parses again and means the same.
TEST(Site, ValuesTheDaemonReadsAlikeShowAsTheirSetting) {
    struct Case { int reg; uint16_t value; std::string shown; };
    const std::vector<Case> cases = {
        {HR_SUP_HEARTBEAT_TIME, SUP_MINUTES_PER_DAY + 7, "heartbeat_time = \"off\"\n"},
        {HR_SUP_HEARTBEAT_TIME, 23 * 60 + 59, "heartbeat_time = \"23:59\"\n"},
        {HR_ACK_ROUNDS, ACK_ROUNDS_MAX + 1, "rounds = 100\n"},
        {HR_MODEM_SEND_TIMEOUT, 3, "send_timeout = 10\n"},
        {HR_MODEM_SEND_TIMEOUT, 60000, "send_timeout = 3600\n"},
        {HR_MODEM_PLAY_DIR, 0x453A, "play_directory = \"E:\"\n"},
        {HR_DLR_ON, 7, "request = true\n"},
    };
    for (const Case &c : cases) {
        std::string shown;
        {
            Map m;
            hr_set(c.reg, c.value);
            shown = site_emit(site_from_map(), false);
        }
        EXPECT_NE(shown.find(c.shown), std::string::npos) << c.reg << " = " << c.value << ":\n" << shown;
        Site back;
        EXPECT_EQ(site_parse(shown, "shown.toml", back), "") << shown;
    }
    // A directory with a character the modem refuses is no setting: the board's own.
    Map m;
    hr_set(HR_MODEM_PLAY_DIR, 0x453A);
    hr_set(HR_MODEM_PLAY_DIR + 1, 0x2022);   // ' "'
    EXPECT_EQ(site_from_map().modem.play_dir, "");
    // "off" stands for every heartbeat time past the day's last minute.
    Site off;
    ASSERT_EQ(site_parse("[supervision]\nheartbeat_groups = [1]\nheartbeat_time = \"off\"\n", "s.toml", off), "");
    site_to_map(off);
    EXPECT_EQ(hr_get(HR_SUP_HEARTBEAT_TIME), SUP_MINUTES_PER_DAY);
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
