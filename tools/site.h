// The site file of agwctl: a TOML description of one gateway's settings and
// its mapping onto the register map (through modbus/map_layout.h and the
// daemon's map code). Parsing never throws; errors name file, line and field.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "modbus/map_layout.h"
#include "msg/ucs2.h"   // UTF-8 <-> UCS-2 of the texts

struct SiteAlarm {
    std::u16string on, off;  // UCS-2 code units
    uint16_t groups = 0;     // bit g = phone group g
    bool sms = false, voice = false;
    uint16_t edge_delay = 0;
    bool ack = false;          // needs acknowledging
    uint16_t escalation = 0;   // groups added from round 2 on
    bool operator==(const SiteAlarm &) const = default;
};

// Self-supervision (holding registers 1000..1099); all zero = off.
struct SiteSupervision {
    uint16_t heartbeat_groups = 0;   // bit g = phone group g
    int heartbeat_time = 0;          // minutes after midnight, local time; SUP_MINUTES_PER_DAY: none
    uint16_t heartbeat_every = 0;    // 0 once a day
    uint16_t silent_groups = 0, silent_after = 0;
    uint16_t outage_after = 0, fails_in_row = 0, deliver_groups = 0;
    bool seconds = false;            // bounds and interval in seconds, not minutes
    bool operator==(const SiteSupervision &) const = default;
};

// Delivery reports (holding registers 1100..1102); all zero = off. The
// daemon's status registers after them are no setting and not carried.
struct SiteDelivery {
    bool request = false;   // alarm SMS ask the network for a report
    uint16_t wait = 0;      // how long a report is waited for; 0 = the default
    bool seconds = false;   // wait in seconds, not minutes
    bool operator==(const SiteDelivery &) const = default;
};

// Modem settings (holding registers 1140, 1150..1166); all zero = default.
struct SiteModem {
    bool keep_link_open = false;   // AT+CMMS=1 while more SMS wait
    uint16_t send_timeout = 0;     // s for the network's confirmation; 0 = the default
    std::string play_dir;          // ASCII; "" = the board's own directory
    bool operator==(const SiteModem &) const = default;
};

struct Site {
    int address = 1, baud = 115200, stop_bits = 1;
    char parity = 'N';
    std::string pin;
    bool sender_filter = true, append_variable = false, edge_mode = false;
    std::u16string variable_text;
    int journal_resume_minutes = 0;   // 0: the default bound of 60 minutes
    std::array<std::array<std::string, layout::PHONES_PER_GROUP>, layout::GROUPS> phones;
    std::array<SiteAlarm, layout::ALARMS> alarms;
    int ack_interval = 0, ack_rounds = 0;   // [acknowledgement]; 0 = the daemon's default
    bool ack_tell_others = false;
    SiteSupervision supervision;
    SiteDelivery delivery;
    SiteModem modem;
    bool operator==(const Site &) const = default;
};

// A phone number: optional '+' then digits, 1..19 characters in all.
bool phone_valid(const std::string &s);
// A directory the modem takes for its recordings: at most 32 of the
// characters it accepts (letters, digits, / : _ - . \), as the daemon reads
// holding registers 1151..1166.
bool play_dir_valid(const std::string &s);

// Settings of the map data_mapping points to, and back (only the registers
// the site file describes are written).
Site site_from_map();
void site_to_map(const Site &s);
// Factory defaults as a Site (builds a scratch map; data_mapping is restored).
Site site_defaults();

// Parses TOML text over the factory defaults into out. Returns "" or an error
// "file:line: field: reason" (the first one found).
std::string site_parse(const std::string &text, const std::string &file, Site &out);
// TOML text of s: what differs from the defaults, or everything with all.
std::string site_emit(const Site &s, bool all);

// Register ranges the site file covers, as pushed and read back.
struct RegRange { int first, count; };
const std::vector<RegRange> &site_ranges();
