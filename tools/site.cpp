#include "tools/site.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "modbus/config.h"
#include "modbus/regmap.h"

using namespace layout;

namespace {
uint16_t to_reg(char16_t u) { return static_cast<uint16_t>(((u & 0xFF) << 8) | (u >> 8)); }
char16_t from_reg(uint16_t r) { return static_cast<char16_t>((r >> 8) | ((r & 0xFF) << 8)); }

std::u16string get_text(int first, int n) {
    std::u16string s;
    for (int i = 0; i < n; i++)
        if (uint16_t r = hr_get(first + i)) s.push_back(from_reg(r));
    return s;
}
void put_text(int first, int n, const std::u16string &s) {
    for (int i = 0; i < n; i++) hr_set(first + i, i < static_cast<int>(s.size()) ? to_reg(s[i]) : 0);
}
std::string get_phone(int first) {
    char buf[21];
    regmap_phone(first, buf);
    return buf;
}
void put_phone(int first, const std::string &s) {
    for (int i = 0; i < PHONE_N; i++) {
        size_t k = 2 * static_cast<size_t>(i);
        uint16_t hi = k < s.size() ? static_cast<uint8_t>(s[k]) : 0;
        uint16_t lo = k + 1 < s.size() ? static_cast<uint8_t>(s[k + 1]) : 0;
        hr_set(first + i, static_cast<uint16_t>(hi << 8 | lo));
    }
}
bool bit(int reg, int b) { return (hr_get(reg) >> b) & 1; }
void set_bit(int reg, int b, bool on) {
    uint16_t v = hr_get(reg);
    hr_set(reg, static_cast<uint16_t>(on ? v | (1u << b) : v & ~(1u << b)));
}

const char *parity_name(char p) { return p == 'O' ? "odd" : p == 'E' ? "even" : "none"; }
}  // namespace

bool play_dir_valid(const std::string &s) {
    if (s.size() > 2 * static_cast<size_t>(HR_MODEM_PLAY_DIR_N)) return false;
    for (char c : s)
        if (!play_dir_char_ok(c)) return false;
    return true;
}

bool phone_valid(const std::string &s) {
    size_t start = (!s.empty() && s[0] == '+') ? 1 : 0;
    if (s.size() <= start || s.size() > PHONE_MAX_CHARS) return false;
    for (size_t i = start; i < s.size(); i++)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

Site site_from_map() {
    Site s;
    s.address = hr_get(HR_SLAVE_ADDRESS);
    uint16_t ser = hr_get(HR_SERIAL);
    // A code outside the tables leaves the daemon's default in force.
    for (auto b : BAUDS)
        if (b.code == ser >> 8) s.baud = b.baud;
    for (auto f : FRAMINGS)
        if (f.code == (ser & 0xFF)) { s.parity = f.parity; s.stop_bits = f.stop_bits; }
    for (int i = 0; i < HR_PIN_N; i++) {
        uint16_t r = hr_get(HR_PIN + i);
        for (uint8_t c : {static_cast<uint8_t>(r >> 8), static_cast<uint8_t>(r & 0xFF)})
            if (c) s.pin += static_cast<char>(c);
    }
    s.sender_filter = hr_get(HR_SENDER_FILTER) != 0;
    s.append_variable = hr_get(HR_VARIABLE_ON) == 1;
    s.edge_mode = hr_get(HR_EDGE_MODE) == 1;
    s.journal_resume_minutes = hr_get(HR_JOURNAL_RESUME);
    s.variable_text = get_text(HR_VARIABLE_TEXT, HR_VARIABLE_TEXT_N);
    for (int g = 0; g < GROUPS; g++)
        for (int n = 0; n < PHONES_PER_GROUP; n++) s.phones[g][n] = get_phone(phone_reg(g, n));
    for (int i = 0; i < ALARMS; i++) {
        SiteAlarm &a = s.alarms[i];
        a.on = get_text(alarm_text_reg(i), TEXT_N);
        a.off = get_text(alarm_off_text_reg(i), TEXT_N);
        a.groups = hr_get(HR_GROUP_MASK + i);
        a.sms = bit(HR_SMS_ENABLE + enable_word(i), enable_bit(i));
        a.voice = bit(HR_VOICE_ENABLE + enable_word(i), enable_bit(i));
        a.edge_delay = hr_get(edge_delay_reg(i));
        a.ack = bit(HR_ACK_REQUIRED + enable_word(i), enable_bit(i));
        a.escalation = hr_get(HR_ESCALATION_MASK + i);
    }
    s.ack_interval = hr_get(HR_ACK_INTERVAL);
    // The daemon takes more rounds than the most as the most.
    s.ack_rounds = std::min<int>(hr_get(HR_ACK_ROUNDS), ACK_ROUNDS_MAX);
    s.ack_tell_others = hr_get(HR_ACK_TELL_OTHERS) == 1;
    SiteSupervision &v = s.supervision;
    v.heartbeat_groups = hr_get(HR_SUP_HEARTBEAT_GROUPS);
    // Every value past the day's last minute means "no heartbeat": one of them
    // stands for all, never a time of day.
    v.heartbeat_time = std::min<int>(hr_get(HR_SUP_HEARTBEAT_TIME), SUP_MINUTES_PER_DAY);
    v.heartbeat_every = hr_get(HR_SUP_HEARTBEAT_EVERY);
    v.silent_groups = hr_get(HR_SUP_SILENT_GROUPS);
    v.silent_after = hr_get(HR_SUP_SILENT_AFTER);
    v.outage_after = hr_get(HR_SUP_OUTAGE_AFTER);
    v.fails_in_row = hr_get(HR_SUP_FAILS_IN_ROW);
    v.deliver_groups = hr_get(HR_SUP_DELIVER_GROUPS);
    v.seconds = hr_get(HR_SUP_UNIT) == 1;
    s.delivery.request = hr_get(HR_DLR_ON) != 0;
    s.delivery.wait = hr_get(HR_DLR_WAIT);
    s.delivery.seconds = hr_get(HR_DLR_UNIT) == 1;
    SiteModem &m = s.modem;
    m.keep_link_open = hr_get(HR_SMS_MORE_TO_SEND) == 1;
    // The daemon holds a time-out to its bounds; 0 stays the default.
    uint16_t t = hr_get(HR_MODEM_SEND_TIMEOUT);
    m.send_timeout = t == 0 ? 0 : static_cast<uint16_t>(std::clamp<int>(t, MODEM_SEND_TIMEOUT_MIN, MODEM_SEND_TIMEOUT_MAX));
    for (int i = 0; i < HR_MODEM_PLAY_DIR_N; i++) {
        uint16_t r = hr_get(HR_MODEM_PLAY_DIR + i);
        for (char c : {static_cast<char>(r >> 8), static_cast<char>(r & 0xFF)})
            if (c) m.play_dir += c;
    }
    // A character the daemon refuses makes it use its own directory.
    if (!play_dir_valid(m.play_dir)) m.play_dir.clear();
    return s;
}

void site_to_map(const Site &s) {
    hr_set(HR_SLAVE_ADDRESS, static_cast<uint16_t>(s.address));
    uint16_t baud = 10, framing = 3;
    for (auto b : BAUDS)
        if (b.baud == s.baud) baud = b.code;
    for (auto f : FRAMINGS)
        if (f.parity == s.parity && f.stop_bits == s.stop_bits) framing = f.code;
    hr_set(HR_SERIAL, static_cast<uint16_t>(baud << 8 | framing));
    for (int i = 0; i < HR_PIN_N; i++) {
        auto c = [&](size_t k) { return k < s.pin.size() ? static_cast<uint8_t>(s.pin[k]) : 0; };
        hr_set(HR_PIN + i, static_cast<uint16_t>(c(2 * i) << 8 | c(2 * i + 1)));
    }
    hr_set(HR_SENDER_FILTER, s.sender_filter ? 1 : 0);
    hr_set(HR_VARIABLE_ON, s.append_variable ? 1 : 0);
    hr_set(HR_EDGE_MODE, s.edge_mode ? 1 : 0);
    hr_set(HR_JOURNAL_RESUME, static_cast<uint16_t>(s.journal_resume_minutes));
    put_text(HR_VARIABLE_TEXT, HR_VARIABLE_TEXT_N, s.variable_text);
    for (int g = 0; g < GROUPS; g++)
        for (int n = 0; n < PHONES_PER_GROUP; n++) put_phone(phone_reg(g, n), s.phones[g][n]);
    for (int i = 0; i < ALARMS; i++) {
        const SiteAlarm &a = s.alarms[i];
        put_text(alarm_text_reg(i), TEXT_N, a.on);
        put_text(alarm_off_text_reg(i), TEXT_N, a.off);
        hr_set(HR_GROUP_MASK + i, a.groups);
        set_bit(HR_SMS_ENABLE + enable_word(i), enable_bit(i), a.sms);
        set_bit(HR_VOICE_ENABLE + enable_word(i), enable_bit(i), a.voice);
        hr_set(edge_delay_reg(i), a.edge_delay);
        set_bit(HR_ACK_REQUIRED + enable_word(i), enable_bit(i), a.ack);
        hr_set(HR_ESCALATION_MASK + i, a.escalation);
    }
    hr_set(HR_ACK_INTERVAL, static_cast<uint16_t>(s.ack_interval));
    hr_set(HR_ACK_ROUNDS, static_cast<uint16_t>(s.ack_rounds));
    hr_set(HR_ACK_TELL_OTHERS, s.ack_tell_others ? 1 : 0);
    const SiteSupervision &v = s.supervision;
    hr_set(HR_SUP_HEARTBEAT_GROUPS, v.heartbeat_groups);
    hr_set(HR_SUP_HEARTBEAT_TIME, static_cast<uint16_t>(v.heartbeat_time));
    hr_set(HR_SUP_HEARTBEAT_EVERY, v.heartbeat_every);
    hr_set(HR_SUP_SILENT_GROUPS, v.silent_groups);
    hr_set(HR_SUP_SILENT_AFTER, v.silent_after);
    hr_set(HR_SUP_OUTAGE_AFTER, v.outage_after);
    hr_set(HR_SUP_FAILS_IN_ROW, v.fails_in_row);
    hr_set(HR_SUP_DELIVER_GROUPS, v.deliver_groups);
    hr_set(HR_SUP_UNIT, v.seconds ? 1 : 0);
    hr_set(HR_DLR_ON, s.delivery.request ? 1 : 0);
    hr_set(HR_DLR_WAIT, s.delivery.wait);
    hr_set(HR_DLR_UNIT, s.delivery.seconds ? 1 : 0);
    const SiteModem &m = s.modem;
    hr_set(HR_SMS_MORE_TO_SEND, m.keep_link_open ? 1 : 0);
    hr_set(HR_MODEM_SEND_TIMEOUT, m.send_timeout);
    for (int i = 0; i < HR_MODEM_PLAY_DIR_N; i++) {
        auto c = [&](size_t k) { return k < m.play_dir.size() ? static_cast<uint8_t>(m.play_dir[k]) : 0; };
        hr_set(HR_MODEM_PLAY_DIR + i, static_cast<uint16_t>(c(2 * i) << 8 | c(2 * i + 1)));
    }
}

Site site_defaults() {
    static const Site defaults = [] {
        modbus_mapping_t *m = modbus_mapping_new(COILS, DISCRETE, HOLDING, INPUT);
        modbus_mapping_t *old = data_mapping.exchange(m);
        config_fill_defaults();
        Site s = site_from_map();
        data_mapping.store(old);
        modbus_mapping_free(m);
        return s;
    }();
    return defaults;
}

const std::vector<RegRange> &site_ranges() {
    // 0..398 in one run (routing, enables, PIN, line, modes, delays, variable
    // text): the registers between them are stored only, and a write-multiple
    // request there has no command meaning, so one run costs fewer requests.
    static const std::vector<RegRange> r = [] {
        std::vector<RegRange> v{{0, HR_VARIABLE_TEXT + HR_VARIABLE_TEXT_N}};
        for (int k = 0; k < ALARMS / 16; k++) v.push_back({alarm_text_reg(16 * k), TEXT_GROUP_SPAN});
        v.push_back({group_reg(0), 8 * PHONE_BLOCK});
        v.push_back({group_reg(8), 8 * PHONE_BLOCK});
        // The acknowledgement settings, without the acknowledge command (611).
        v.push_back({HR_ACK_REQUIRED, HR_ACK_TELL_OTHERS + 1 - HR_ACK_REQUIRED});
        v.push_back({HR_ESCALATION_MASK, ALARMS});
        v.push_back({HR_JOURNAL_RESUME, 1});
        v.push_back({HR_SUP_FIRST, HR_SUP_N});
        // The delivery-report settings; their status registers (1120..1130)
        // are the daemon's and stay out.
        v.push_back({HR_DLR_ON, HR_DLR_UNIT + 1 - HR_DLR_ON});
        v.push_back({HR_SMS_MORE_TO_SEND, 1});
        // 1150..1166 in one request.
        v.push_back({HR_MODEM_SEND_TIMEOUT, HR_MODEM_PLAY_DIR + HR_MODEM_PLAY_DIR_N - HR_MODEM_SEND_TIMEOUT});
        return v;
    }();
    return r;
}

// ---- parsing ----

namespace {
struct Parser {
    std::string file, err;
    bool fail(const toml::node *n, const std::string &field, const std::string &why) {
        if (!err.empty()) return false;
        int line = n ? static_cast<int>(n->source().begin.line) : 0;
        err = file + ":" + std::to_string(line) + ": " + field + ": " + why;
        return false;
    }
    bool known(const toml::table &t, const std::string &where, std::initializer_list<const char *> keys) {
        for (auto &&[k, v] : t) {
            bool ok = false;
            for (const char *x : keys) ok = ok || k.str() == x;
            if (!ok) return fail(&v, where + std::string(k.str()), "unknown key");
        }
        return true;
    }
    bool integer(const toml::table &t, const char *key, const std::string &field, long lo, long hi, long &out,
                 bool required = false) {
        const toml::node *n = t.get(key);
        if (!n) return required ? fail(&t, field, "missing") : true;
        auto v = n->value<int64_t>();
        if (!n->is_integer() || !v) return fail(n, field, "must be an integer");
        if (*v < lo || *v > hi) return fail(n, field, "must be " + std::to_string(lo) + " to " + std::to_string(hi));
        out = static_cast<long>(*v);
        return true;
    }
    bool boolean(const toml::table &t, const char *key, const std::string &field, bool &out) {
        const toml::node *n = t.get(key);
        if (!n) return true;
        if (!n->is_boolean()) return fail(n, field, "must be true or false");
        out = *n->value<bool>();
        return true;
    }
    bool text(const toml::table &t, const char *key, const std::string &field, int regs, std::u16string &out) {
        const toml::node *n = t.get(key);
        if (!n) return true;
        if (!n->is_string()) return fail(n, field, "must be a string");
        std::string why = utf8_to_ucs2(*n->value<std::string>(), out);
        if (!why.empty()) return fail(n, field, why);
        if (static_cast<int>(out.size()) > regs)
            return fail(n, field, "text needs " + std::to_string(out.size()) + " UCS-2 registers, " +
                                      std::to_string(regs) + " available");
        return true;
    }
    // A list of group indexes as a bit mask.
    bool groups(const toml::table &t, const char *key, const std::string &field, uint16_t &out) {
        const toml::node *gn = t.get(key);
        if (!gn) return true;
        const toml::array *arr = gn->as_array();
        if (!arr) return fail(gn, field, "must be a list of group indexes");
        uint16_t mask = 0;
        for (const toml::node &x : *arr) {
            auto v = x.value<int64_t>();
            if (!x.is_integer() || *v < 0 || *v >= GROUPS) return fail(&x, field, "group index must be 0 to 15");
            mask = static_cast<uint16_t>(mask | 1u << *v);
        }
        out = mask;
        return true;
    }
    const toml::array *array_of_tables(const toml::table &root, const char *key) {
        const toml::node *n = root.get(key);
        if (!n) return nullptr;
        if (!n->is_array_of_tables()) {
            fail(n, key, std::string("must be written as [[") + key + "]]");
            return nullptr;
        }
        return n->as_array();
    }
};
}  // namespace

std::string site_parse(const std::string &text, const std::string &file, Site &out) {
    Parser p{file, ""};
    Site s = site_defaults();
    toml::table root;
    try {
        root = toml::parse(text, file);
    } catch (const toml::parse_error &e) {
        return file + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    }
    if (!p.known(root, "", {"serial", "sim", "sms", "journal", "group", "alarm", "acknowledgement", "supervision",
                         "delivery_reports", "modem"}))
        return p.err;

    auto section = [&](const char *key) -> const toml::table * {
        const toml::node *n = root.get(key);
        if (!n) return nullptr;
        if (!n->is_table()) {
            p.fail(n, key, std::string("must be a [") + key + "] section");
            return nullptr;
        }
        return n->as_table();
    };
    if (const toml::table *t = section("serial")) {
        long addr = s.address, baud = s.baud, data = 8, stop = s.stop_bits;
        if (!p.known(*t, "serial.", {"address", "baud", "parity", "data_bits", "stop_bits"}) ||
            !p.integer(*t, "address", "serial.address", 1, 247, addr) ||
            !p.integer(*t, "baud", "serial.baud", 0, 1000000, baud) ||
            !p.integer(*t, "data_bits", "serial.data_bits", 8, 8, data) ||
            !p.integer(*t, "stop_bits", "serial.stop_bits", 1, 2, stop))
            return p.err;
        bool known_baud = false;
        for (auto b : BAUDS) known_baud = known_baud || b.baud == baud;
        if (!known_baud)
            return p.fail(t->get("baud"), "serial.baud", "must be 2400, 4800, 9600, 19200, 38400, 57600 or 115200"), p.err;
        if (const toml::node *n = t->get("parity")) {
            auto v = n->value<std::string>();
            if (v == "none") s.parity = 'N';
            else if (v == "odd") s.parity = 'O';
            else if (v == "even") s.parity = 'E';
            else return p.fail(n, "serial.parity", "must be \"none\", \"odd\" or \"even\""), p.err;
        }
        s.address = static_cast<int>(addr);
        s.baud = static_cast<int>(baud);
        s.stop_bits = static_cast<int>(stop);
    }
    if (!p.err.empty()) return p.err;
    if (const toml::table *t = section("sim")) {
        if (!p.known(*t, "sim.", {"pin"})) return p.err;
        if (const toml::node *n = t->get("pin")) {
            auto v = n->value<std::string>();
            bool ok = n->is_string() && v->size() == 4;
            for (char c : v.value_or("")) ok = ok && c >= '0' && c <= '9';
            if (!ok) return p.fail(n, "sim.pin", "must be four digits in quotes"), p.err;
            s.pin = *v;
        }
    }
    if (!p.err.empty()) return p.err;
    if (const toml::table *t = section("sms")) {
        if (!p.known(*t, "sms.", {"sender_filter", "variable_text", "append_variable_text", "edge_mode"}) ||
            !p.boolean(*t, "sender_filter", "sms.sender_filter", s.sender_filter) ||
            !p.boolean(*t, "append_variable_text", "sms.append_variable_text", s.append_variable) ||
            !p.boolean(*t, "edge_mode", "sms.edge_mode", s.edge_mode) ||
            !p.text(*t, "variable_text", "sms.variable_text", HR_VARIABLE_TEXT_N, s.variable_text))
            return p.err;
    }
    if (!p.err.empty()) return p.err;
    if (const toml::table *t = section("acknowledgement")) {
        long interval = s.ack_interval, rounds = s.ack_rounds;
        if (!p.known(*t, "acknowledgement.", {"interval", "rounds", "tell_others"}) ||
            !p.integer(*t, "interval", "acknowledgement.interval", 0, 65535, interval) ||
            !p.integer(*t, "rounds", "acknowledgement.rounds", 0, ACK_ROUNDS_MAX, rounds) ||
            !p.boolean(*t, "tell_others", "acknowledgement.tell_others", s.ack_tell_others))
            return p.err;
        s.ack_interval = static_cast<int>(interval);
        s.ack_rounds = static_cast<int>(rounds);
    }
    if (!p.err.empty()) return p.err;
    if (const toml::table *t = section("journal")) {
        long m = 0;
        if (!p.known(*t, "journal.", {"resume_minutes"}) ||
            !p.integer(*t, "resume_minutes", "journal.resume_minutes", 0, 65535, m))
            return p.err;
        s.journal_resume_minutes = static_cast<int>(m);
    }
    if (!p.err.empty()) return p.err;
    if (const toml::table *t = section("supervision")) {
        SiteSupervision &v = s.supervision;
        long every = v.heartbeat_every, silent = v.silent_after, outage = v.outage_after, fails = v.fails_in_row;
        if (!p.known(*t, "supervision.", {"unit", "heartbeat_groups", "heartbeat_time", "heartbeat_every",
                                          "silent_groups", "silent_after", "outage_after", "failures_in_row",
                                          "deliver_groups"}) ||
            !p.groups(*t, "heartbeat_groups", "supervision.heartbeat_groups", v.heartbeat_groups) ||
            !p.groups(*t, "silent_groups", "supervision.silent_groups", v.silent_groups) ||
            !p.groups(*t, "deliver_groups", "supervision.deliver_groups", v.deliver_groups) ||
            !p.integer(*t, "heartbeat_every", "supervision.heartbeat_every", 0, 65535, every) ||
            !p.integer(*t, "silent_after", "supervision.silent_after", 0, 65535, silent) ||
            !p.integer(*t, "outage_after", "supervision.outage_after", 0, 65535, outage) ||
            !p.integer(*t, "failures_in_row", "supervision.failures_in_row", 0, 65535, fails))
            return p.err;
        if (const toml::node *n = t->get("unit")) {
            auto u = n->value<std::string>();
            if (u == "minutes") v.seconds = false;
            else if (u == "seconds") v.seconds = true;
            else return p.fail(n, "supervision.unit", "must be \"minutes\" or \"seconds\""), p.err;
        }
        if (const toml::node *n = t->get("heartbeat_time")) {
            auto hm = n->value<std::string>();
            int h = -1, m = -1;
            char end = 0;
            if (hm == "off") {
                v.heartbeat_time = SUP_MINUTES_PER_DAY;
            } else if (!hm || std::sscanf(hm->c_str(), "%2d:%2d%c", &h, &m, &end) != 2 || h < 0 || h > 23 || m < 0 ||
                       m > 59 || hm->size() != 5) {
                return p.fail(n, "supervision.heartbeat_time",
                              "must be a local time \"HH:MM\" (00:00 to 23:59) or \"off\""), p.err;
            } else {
                v.heartbeat_time = h * 60 + m;
            }
        }
        v.heartbeat_every = static_cast<uint16_t>(every);
        v.silent_after = static_cast<uint16_t>(silent);
        v.outage_after = static_cast<uint16_t>(outage);
        v.fails_in_row = static_cast<uint16_t>(fails);
    }
    if (!p.err.empty()) return p.err;
    // A unit word as the self-supervision's: "minutes" (the default) or "seconds".
    auto unit = [&](const toml::table &t, const std::string &field, bool &seconds) {
        const toml::node *n = t.get("unit");
        if (!n) return true;
        auto u = n->value<std::string>();
        if (u == "minutes") seconds = false;
        else if (u == "seconds") seconds = true;
        else return p.fail(n, field, "must be \"minutes\" or \"seconds\"");
        return true;
    };
    if (const toml::table *t = section("delivery_reports")) {
        SiteDelivery &d = s.delivery;
        long wait = d.wait;
        if (!p.known(*t, "delivery_reports.", {"request", "wait", "unit"}) ||
            !p.boolean(*t, "request", "delivery_reports.request", d.request) ||
            !p.integer(*t, "wait", "delivery_reports.wait", 0, 65535, wait) ||
            !unit(*t, "delivery_reports.unit", d.seconds))
            return p.err;
        d.wait = static_cast<uint16_t>(wait);
    }
    if (!p.err.empty()) return p.err;
    if (const toml::table *t = section("modem")) {
        SiteModem &m = s.modem;
        long timeout = m.send_timeout;
        if (!p.known(*t, "modem.", {"send_timeout", "play_directory", "keep_link_open"}) ||
            !p.boolean(*t, "keep_link_open", "modem.keep_link_open", m.keep_link_open) ||
            !p.integer(*t, "send_timeout", "modem.send_timeout", 0, 65535, timeout))
            return p.err;
        // The daemon would hold another time-out to its bounds: refused here,
        // so the file says what the gateway does.
        if (timeout != 0 && (timeout < MODEM_SEND_TIMEOUT_MIN || timeout > MODEM_SEND_TIMEOUT_MAX))
            return p.fail(t->get("send_timeout"), "modem.send_timeout",
                          "must be 0 (the default, " + std::to_string(MODEM_SEND_TIMEOUT_DEFAULT) + " s) or " +
                              std::to_string(MODEM_SEND_TIMEOUT_MIN) + " to " + std::to_string(MODEM_SEND_TIMEOUT_MAX)),
                   p.err;
        m.send_timeout = static_cast<uint16_t>(timeout);
        if (const toml::node *n = t->get("play_directory")) {
            auto d = n->value<std::string>();
            if (!n->is_string() || !play_dir_valid(*d))
                return p.fail(n, "modem.play_directory",
                              "must be at most " + std::to_string(2 * HR_MODEM_PLAY_DIR_N) +
                                  " letters, digits and / : _ - . \\ in quotes (\"\": the board's own directory)"),
                       p.err;
            m.play_dir = *d;
        }
    }
    if (!p.err.empty()) return p.err;

    std::set<long> seen;
    if (const toml::array *groups = p.array_of_tables(root, "group")) {
        for (const toml::node &gn : *groups) {
            const toml::table &t = *gn.as_table();
            long g = 0;
            if (!p.known(t, "group.", {"index", "numbers"}) ||
                !p.integer(t, "index", "group.index", 0, GROUPS - 1, g, true))
                return p.err;
            if (!seen.insert(g).second) return p.fail(t.get("index"), "group.index", "group " + std::to_string(g) + " given twice"), p.err;
            std::array<std::string, PHONES_PER_GROUP> nums{};
            if (const toml::node *n = t.get("numbers")) {
                const toml::array *a = n->as_array();
                if (!a) return p.fail(n, "group.numbers", "must be a list of strings"), p.err;
                if (a->size() > PHONES_PER_GROUP) return p.fail(n, "group.numbers", "at most 16 numbers"), p.err;
                for (size_t k = 0; k < a->size(); k++) {
                    auto v = (*a)[k].value<std::string>();
                    std::string f = "group.numbers[" + std::to_string(k) + "]";
                    if (!(*a)[k].is_string()) return p.fail(&(*a)[k], f, "must be a string"), p.err;
                    // "" keeps a slot empty, so later numbers keep their place.
                    if (!v->empty() && !phone_valid(*v))
                        return p.fail(&(*a)[k], f, "\"" + *v + "\" is not a phone number ('+' optional, then digits, at most 19 characters)"), p.err;
                    nums[k] = *v;
                }
            }
            s.phones[g] = nums;
        }
    }
    if (!p.err.empty()) return p.err;

    seen.clear();
    if (const toml::array *alarms = p.array_of_tables(root, "alarm")) {
        for (const toml::node &an : *alarms) {
            const toml::table &t = *an.as_table();
            long n = 0, delay = 0;
            if (!p.known(t, "alarm.", {"number", "on", "off", "groups", "sms", "voice", "edge_delay", "ack",
                                       "escalation_groups"}) ||
                !p.integer(t, "number", "alarm.number", 0, ALARMS - 1, n, true))
                return p.err;
            if (!seen.insert(n).second) return p.fail(t.get("number"), "alarm.number", "alarm " + std::to_string(n) + " given twice"), p.err;
            SiteAlarm &a = s.alarms[n];
            delay = a.edge_delay;
            if (!p.text(t, "on", "alarm.on", TEXT_N, a.on) || !p.text(t, "off", "alarm.off", TEXT_N, a.off) ||
                !p.boolean(t, "sms", "alarm.sms", a.sms) || !p.boolean(t, "voice", "alarm.voice", a.voice) ||
                !p.boolean(t, "ack", "alarm.ack", a.ack) ||
                !p.integer(t, "edge_delay", "alarm.edge_delay", 0, 65535, delay))
                return p.err;
            a.edge_delay = static_cast<uint16_t>(delay);
            if (!p.groups(t, "groups", "alarm.groups", a.groups) ||
                !p.groups(t, "escalation_groups", "alarm.escalation_groups", a.escalation))
                return p.err;
        }
    }
    if (!p.err.empty()) return p.err;
    out = s;
    return "";
}

// ---- emitting ----

namespace {
std::string quote(const std::string &s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') { o += '\\'; o += static_cast<char>(c); }
        else if (c < 0x20 || c == 0x7F) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04X", c);
            o += b;
        } else o += static_cast<char>(c);
    }
    return o + "\"";
}
std::string quote16(const std::u16string &s) { return quote(ucs2_to_utf8(s)); }
std::string group_list(uint16_t mask) {
    std::string o = "[";
    for (int g = 0; g < GROUPS; g++)
        if (mask >> g & 1) o += (o.size() > 1 ? ", " : "") + std::to_string(g);
    return o + "]";
}
}  // namespace

std::string site_emit(const Site &s, bool all) {
    const Site d = site_defaults();
    std::ostringstream o;
    auto want = [&](bool differs) { return all || differs; };
    std::ostringstream sec;
    if (want(s.address != d.address)) sec << "address = " << s.address << "\n";
    if (want(s.baud != d.baud)) sec << "baud = " << s.baud << "\n";
    if (want(s.parity != d.parity)) sec << "parity = \"" << parity_name(s.parity) << "\"\n";
    if (all) sec << "data_bits = 8\n";
    if (want(s.stop_bits != d.stop_bits)) sec << "stop_bits = " << s.stop_bits << "\n";
    if (!sec.str().empty()) o << "[serial]\n" << sec.str() << "\n";
    if (want(s.pin != d.pin)) o << "[sim]\npin = " << quote(s.pin) << "\n\n";
    sec.str("");
    if (want(s.sender_filter != d.sender_filter)) sec << "sender_filter = " << (s.sender_filter ? "true" : "false") << "\n";
    if (want(s.variable_text != d.variable_text)) sec << "variable_text = " << quote16(s.variable_text) << "\n";
    if (want(s.append_variable != d.append_variable)) sec << "append_variable_text = " << (s.append_variable ? "true" : "false") << "\n";
    if (want(s.edge_mode != d.edge_mode)) sec << "edge_mode = " << (s.edge_mode ? "true" : "false") << "\n";
    if (!sec.str().empty()) o << "[sms]\n" << sec.str() << "\n";
    sec.str("");
    if (want(s.ack_interval != d.ack_interval)) sec << "interval = " << s.ack_interval << "\n";
    if (want(s.ack_rounds != d.ack_rounds)) sec << "rounds = " << s.ack_rounds << "\n";
    if (want(s.ack_tell_others != d.ack_tell_others)) sec << "tell_others = " << (s.ack_tell_others ? "true" : "false") << "\n";
    if (!sec.str().empty()) o << "[acknowledgement]\n" << sec.str() << "\n";
    if (want(s.journal_resume_minutes != d.journal_resume_minutes))
        o << "[journal]\n# minutes a queued alarm may wait over a restart (0: 60)\nresume_minutes = "
          << s.journal_resume_minutes << "\n\n";
    for (int g = 0; g < GROUPS; g++) {
        if (!want(s.phones[g] != d.phones[g])) continue;
        int last = PHONES_PER_GROUP;
        while (last > 0 && s.phones[g][last - 1].empty()) last--;
        o << "[[group]]\nindex = " << g << "\nnumbers = [";
        for (int n = 0; n < last; n++) o << (n ? ", " : "") << quote(s.phones[g][n]);
        o << "]\n\n";
    }
    for (int i = 0; i < ALARMS; i++) {
        const SiteAlarm &a = s.alarms[i], &b = d.alarms[i];
        if (!want(!(a == b))) continue;
        o << "[[alarm]]\nnumber = " << i << "\n";
        if (want(a.on != b.on)) o << "on = " << quote16(a.on) << "\n";
        if (want(a.off != b.off)) o << "off = " << quote16(a.off) << "\n";
        if (want(a.groups != b.groups)) o << "groups = " << group_list(a.groups) << "\n";
        if (want(a.sms != b.sms)) o << "sms = " << (a.sms ? "true" : "false") << "\n";
        if (want(a.voice != b.voice)) o << "voice = " << (a.voice ? "true" : "false") << "\n";
        if (want(a.edge_delay != b.edge_delay)) o << "edge_delay = " << a.edge_delay << "\n";
        if (want(a.ack != b.ack)) o << "ack = " << (a.ack ? "true" : "false") << "\n";
        if (want(a.escalation != b.escalation)) o << "escalation_groups = " << group_list(a.escalation) << "\n";
        o << "\n";
    }
    const SiteSupervision &v = s.supervision, &dv = d.supervision;
    sec.str("");
    if (want(v.seconds != dv.seconds)) sec << "unit = \"" << (v.seconds ? "seconds" : "minutes") << "\"\n";
    if (want(v.heartbeat_groups != dv.heartbeat_groups)) sec << "heartbeat_groups = " << group_list(v.heartbeat_groups) << "\n";
    if (want(v.heartbeat_time != dv.heartbeat_time)) {
        char hm[16] = "off";
        if (v.heartbeat_time < SUP_MINUTES_PER_DAY) snprintf(hm, sizeof hm, "%02d:%02d", v.heartbeat_time / 60, v.heartbeat_time % 60);
        sec << "heartbeat_time = \"" << hm << "\"\n";
    }
    if (want(v.heartbeat_every != dv.heartbeat_every)) sec << "heartbeat_every = " << v.heartbeat_every << "\n";
    if (want(v.silent_groups != dv.silent_groups)) sec << "silent_groups = " << group_list(v.silent_groups) << "\n";
    if (want(v.silent_after != dv.silent_after)) sec << "silent_after = " << v.silent_after << "\n";
    if (want(v.outage_after != dv.outage_after)) sec << "outage_after = " << v.outage_after << "\n";
    if (want(v.fails_in_row != dv.fails_in_row)) sec << "failures_in_row = " << v.fails_in_row << "\n";
    if (want(v.deliver_groups != dv.deliver_groups)) sec << "deliver_groups = " << group_list(v.deliver_groups) << "\n";
    if (!sec.str().empty()) o << "[supervision]\n" << sec.str() << "\n";
    const SiteDelivery &r = s.delivery, &dr = d.delivery;
    sec.str("");
    if (want(r.request != dr.request)) sec << "request = " << (r.request ? "true" : "false") << "\n";
    if (want(r.wait != dr.wait)) sec << "wait = " << r.wait << "\n";
    if (want(r.seconds != dr.seconds)) sec << "unit = \"" << (r.seconds ? "seconds" : "minutes") << "\"\n";
    if (!sec.str().empty()) o << "[delivery_reports]\n" << sec.str() << "\n";
    const SiteModem &m = s.modem, &dm = d.modem;
    sec.str("");
    if (want(m.send_timeout != dm.send_timeout)) sec << "send_timeout = " << m.send_timeout << "\n";
    if (want(m.play_dir != dm.play_dir)) sec << "play_directory = " << quote(m.play_dir) << "\n";
    if (want(m.keep_link_open != dm.keep_link_open)) sec << "keep_link_open = " << (m.keep_link_open ? "true" : "false") << "\n";
    if (!sec.str().empty()) o << "[modem]\n" << sec.str() << "\n";
    return o.str();
}
