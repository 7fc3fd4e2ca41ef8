// Every byte on the Modbus line is the master's (or the line noise's): each
// frame of the input goes through libmodbus's reply on a real RTU context (a
// pseudo-terminal of our own) and then through the listener's actions, with
// the fakes behind the seams and a scratch board root, so saves, recovery and
// reboot stay reachable and harmless. After each frame:
//   - the map pointer is valid; only a recovery key swaps it, and the new map
//     holds the factory defaults;
//   - the actions write no map entry outside those the listener owns;
//   - the configuration file is written exactly when a save, recovery or
//     reboot was asked for, and "init 6" runs exactly for the reboot key;
//   - the rings only move as the request allows.
//
// Input: byte 0 selects the setup, the rest is the frame(s).
//   bit 0 and bit 6 both set: the appended CRC is wrong
//   bit 1: init switch active        bit 2: SD card with voice files
//   bit 3: edge mode on              bit 4: alarms routed to phones, SMS and voice on
//   bit 5: SMS ring nearly full      bit 7: several frames, each preceded by its length
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <termios.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_util.h"
#include "alarm/composer.h"
#include "alarm/rings.h"
#include "modbus/config.h"
#include "modbus/regmap.h"
#include "modbus/slave.h"
#include "storage/sdcard.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"
#include "tests/fakes/rtu_crc.h"

using fuzz_util::write_file;

namespace {

constexpr uint16_t VALUE_ON = 0xFF00;
constexpr uint16_t RECOVERY_KEY[2] = {0x5A3C, 0xB7E1};
constexpr uint16_t REBOOT_KEY[2] = {0x6D29, 0xE48F};
constexpr size_t MAX_FRAME = MODBUS_RTU_MAX_ADU_LENGTH - 2;   // address .. data, CRC follows
constexpr int MAX_FRAMES = 32;

std::string g_root;
std::string g_config;
modbus_t *g_reply_ctx = nullptr;   // answers go to our own pseudo-terminal
// Debian's patched libmodbus refuses a single write (5, 6) that is not exactly
// 8 bytes; the unpatched 3.1.6 (the cross targets' copy) applies it itself.
// The listener only ever hands it complete frames, so with that library such
// frames are not fed in.
bool g_lib_refuses_short = true;
int g_master = -1;                 // its master end, drained after every frame
int g_line_master = -1;            // keeps the slave's own "/dev/ttyHSL3" alive
modbus_mapping_t *g_map = nullptr;
int g_switch = -1;                 // what gpio5/value holds now

// One copy of the four tables.
struct Tables {
    std::vector<uint8_t> di, coils;
    std::vector<uint16_t> ir, hr;
    void take(const modbus_mapping_t *m) {
        di.assign(m->tab_input_bits, m->tab_input_bits + m->nb_input_bits);
        coils.assign(m->tab_bits, m->tab_bits + m->nb_bits);
        ir.assign(m->tab_input_registers, m->tab_input_registers + m->nb_input_registers);
        hr.assign(m->tab_registers, m->tab_registers + m->nb_registers);
    }
    void put(modbus_mapping_t *m) const {
        memcpy(m->tab_input_bits, di.data(), di.size());
        memcpy(m->tab_bits, coils.data(), coils.size());
        memcpy(m->tab_input_registers, ir.data(), ir.size() * sizeof(uint16_t));
        memcpy(m->tab_registers, hr.data(), hr.size() * sizeof(uint16_t));
    }
};
Tables g_defaults;

off_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

int open_pty(std::string *slave_name) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    check(m >= 0);
    check(grantpt(m) == 0 && unlockpt(m) == 0);
    const char *name = ptsname(m);
    check(name != nullptr);
    *slave_name = name;
    check(fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK) == 0);
    check(fcntl(m, F_SETFD, FD_CLOEXEC) == 0);
    return m;
}

// Empties the master's end. With a reply expected it waits for its first two
// bytes (a pseudo-terminal passes them on a moment later) and returns its
// function byte; 0 when there is none.
int drain(int fd, bool expect = false) {
    uint8_t buf[512];
    int got = 0, fn = 0;
    for (;;) {
        if (expect && got < 2) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) break;
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; i++, got++)
            if (got == 1) fn = buf[i];
    }
    return fn;
}

// A short 8 kHz 16-bit PCM file: RIFF header, "fmt " chunk, 4-byte "data"
// chunk. Written out whole: GCC 12 at -O3 takes piecewise vector inserts for
// out-of-bounds copies (-Warray-bounds).
std::vector<uint8_t> wav(int channels) {
    const auto ch = static_cast<uint8_t>(channels);
    const uint8_t bytes[] = {'R', 'I', 'F', 'F', 44, 0, 0, 0, 'W', 'A', 'V', 'E',
                             'f', 'm', 't', ' ', 16, 0, 0, 0,
                             1, 0, ch, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0,
                             'd', 'a', 't', 'a', 4, 0, 0, 0, 0x10, 0x00, 0xF0, 0xFF};
    return std::vector<uint8_t>(bytes, bytes + sizeof bytes);
}

void make_board() {
    g_root = fuzz_util::make_scratch_root(
        "modbus", {"/APP", "/dev", "/var", "/sim", "/sys", "/sys/class", "/sys/class/gpio",
                   "/sys/class/gpio/gpio5", "/media", "/media/card", "/media/card/voice"});
    sys_set_root(g_root.c_str());
    g_config = sys_path("/APP/config.ini");
    check(g_config == g_root + "/APP/config.ini");

    // Alarms 0..3 and 127 have good recordings, alarm 4 a stereo one.
    const std::vector<uint8_t> mono = wav(1), stereo = wav(2);
    char name[64];
    for (int n : {0, 1, 2, 3, 127})
        for (const char *edge : {"ON", "OFF"}) {
            snprintf(name, sizeof name, "/media/card/voice/DO%d_%s.wav", n, edge);
            write_file(sys_path(name), mono.data(), mono.size());
        }
    write_file(sys_path("/media/card/voice/DO4_ON.wav"), stereo.data(), stereo.size());

    // The slave's own line is a pseudo-terminal too, so a recovery's
    // re-initialisation opens a real port.
    std::string line;
    g_line_master = open_pty(&line);
    check(symlink(line.c_str(), sys_path("/dev/ttyHSL3").c_str()) == 0);
}

void set_switch(int on) {
    if (g_switch == on) return;
    write_file(sys_path("/sys/class/gpio/gpio5/value"), on ? "1\n" : "0\n", 2);
    g_switch = on;
}


// A phone number as ASCII pairs from register r on.
void put_number(int r, const char *digits) {
    for (size_t i = 0; digits[i] != 0; i += 2) {
        uint8_t lo = digits[i + 1] ? static_cast<uint8_t>(digits[i + 1]) : 0;
        hr_set(r + static_cast<int>(i / 2), static_cast<uint16_t>(static_cast<uint8_t>(digits[i]) << 8 | lo));
        if (!digits[i + 1]) break;
    }
}

void route_alarms() {
    put_number(phone_reg(0, 0), "0123456789");
    put_number(phone_reg(15, 15), "12345678901234567890");   // fills all 20 bytes
    put_number(phone_reg(3, 7), "+4912");
    for (int i = 0; i < 128; i++) hr_set(i, 0x8009);
    for (int r = 128; r < 144; r++) hr_set(r, 0xFFFF);
    hr_set(203, 1);
    for (int r = 383; r < 399; r++) hr_set(r, static_cast<uint16_t>(0x4100 + (r & 7)));
    put_number(469, "5551234");
    for (int r = 399; r < 469; r++) hr_set(r, 0x6800);
}

void fill_sms_ring() {
    sms_message m{};
    m.length = 2;
    m.mode = 8;
    char phones[1][PHONE_SLOT_LEN] = {"0123456789"};
    for (int i = 0; i < EVT_SLOTS - 2; i++) check(sms_event_put(m, phones, 1) >= 0);
}

bool map_valid(const modbus_mapping_t *m) {
    return m != nullptr && m->nb_bits == MB_COILS && m->nb_input_bits == MB_DISCRETE &&
           m->nb_registers == MB_HOLDING && m->nb_input_registers == MB_INPUT && m->tab_bits != nullptr &&
           m->tab_input_bits != nullptr && m->tab_registers != nullptr && m->tab_input_registers != nullptr;
}

// The entries the listener's actions (and the composer behind them) write,
// as ascending [first, last] ranges; everything between them must stay.
struct Range {
    int first, last;
};
constexpr Range OWNED_DI[] = {{1, 1}};
constexpr Range OWNED_COILS[] = {{199, 199}};
// Input registers: the last slot, the received SMS with its flags, the
// acknowledgement state (a master's acknowledgement) and the log window (a
// master's cursor write). Holding: line settings, the reboot key, the
// acknowledge command (read back as 0) and the rounds it ends.
constexpr Range OWNED_IR[] = {{layout::IR_LAST_SLOT, layout::IR_LAST_SLOT},
                              {layout::IR_RX_FLAGS, layout::IR_RX_LAST},
                              {layout::IR_ACK_ACTIVE, layout::IR_LOG + layout::IR_LOG_N - 1}};
constexpr Range OWNED_HR[] = {{199, 200},
                              {510, 511},
                              {layout::HR_ACK_COMMAND, layout::HR_ACK_COMMAND},
                              {layout::HR_ACK_ROUND, layout::HR_ACK_ROUND + layout::ALARMS - 1}};

// Compared a stretch at a time: an element loop here would cost more than the
// request it checks.
template <typename T, size_t N>
bool only_owned(const std::vector<T> &before, const T *after, const Range (&owned)[N]) {
    size_t from = 0;
    for (const Range &r : owned) {
        const size_t to = static_cast<size_t>(r.first);
        if (memcmp(before.data() + from, after + from, (to - from) * sizeof(T)) != 0) return false;
        from = static_cast<size_t>(r.last) + 1;
    }
    return memcmp(before.data() + from, after + from, (before.size() - from) * sizeof(T)) == 0;
}

bool is_defaults(const modbus_mapping_t *m, int switch_on) {
    Tables t;
    t.take(m);
    Tables want = g_defaults;
    want.di[3] = switch_on ? 1 : 0;
    return t.di == want.di && t.coils == want.coils && t.ir == want.ir && t.hr == want.hr;
}

int count_cmd(const char *text) {
    int n = 0;
    for (const auto &c : fake_sys::commands()) n += c == text;
    return n;
}

// One frame through the reply and the actions, with the checks above.
void one_frame(const uint8_t *frame, size_t len, bool bad_crc, int switch_on, std::vector<modbus_mapping_t *> *retired) {
    if (len > MAX_FRAME) len = MAX_FRAME;
    if (!g_lib_refuses_short && len >= 2 && (frame[1] == 5 || frame[1] == 6) && len != 6) return;
    // libmodbus reads a request from a full receive buffer, as the listener's.
    std::array<uint8_t, MODBUS_RTU_MAX_ADU_LENGTH> buf{};
    memcpy(buf.data(), frame, len);
    uint16_t crc = rtu_crc16(buf.data(), len);
    if (bad_crc) crc ^= 0x00FF;
    buf[len] = static_cast<uint8_t>(crc & 0xFF);
    buf[len + 1] = static_cast<uint8_t>(crc >> 8);
    const int total = static_cast<int>(len + 2);

    drain(g_master);
    int sent = len >= 2 ? modbus_reply(g_reply_ctx, buf.data(), total, data_mapping.load()) : 0;
    // What libmodbus refused with an exception is not acted on.
    const bool refused = (drain(g_master, sent > 0) & 0x80) != 0;

    modbus_mapping_t *m = data_mapping.load();
    check(map_valid(m));
    Tables before;
    before.take(m);

    // The actions see the CRC too: a short frame's CRC bytes become its fields.
    const bool addressed = buf[0] == sys_config.mb_address;
    const bool acted = addressed && total >= 6 && !refused;
    const int fn = acted ? buf[1] : -1;
    const int a = acted ? (buf[2] << 8 | buf[3]) : -1;
    const uint16_t v = acted ? static_cast<uint16_t>(buf[4] << 8 | buf[5]) : 0;
    const bool single = fn == 5 || fn == 6;
    const bool edge = hr_get(208) == 1;
    const bool recovery = fn == 16 && a == 508 && v == 2 && hr_get(508) == RECOVERY_KEY[0] &&
                          hr_get(509) == RECOVERY_KEY[1];
    const bool reboot = fn == 16 && a == 510 && v == 2 && hr_get(510) == REBOOT_KEY[0] && hr_get(511) == REBOOT_KEY[1];
    const bool save = (single && a == 209) || recovery || reboot;
    const int sms_n = sms_event_is_n(), voice_n = voice_event_is_n();
    const int init6 = count_cmd("init 6");
    unlink(g_config.c_str());

    // An exact copy: the actions must not read past the bytes received.
    std::vector<uint8_t> req(buf.begin(), buf.begin() + total);
    mb_handle_request(req.data(), total);

    modbus_mapping_t *now = data_mapping.load();
    check(map_valid(now));
    check((now != m) == recovery);
    if (now != m) retired->push_back(m);

    check(file_size(g_config) == (save ? CONFIG_SIZE : -1));
    check(count_cmd("init 6") == init6 + (reboot ? 1 : 0));

    const int sms_after = sms_event_is_n(), voice_after = voice_event_is_n();
    check(sms_after >= 0 && sms_after <= EVT_SLOTS - 1 && voice_after >= 0 && voice_after <= EVT_SLOTS - 1);

    if (recovery) {
        check(is_defaults(now, switch_on));
        check(sms_after == sms_n && voice_after == voice_n);
        return;
    }
    check(only_owned(before.di, now->tab_input_bits, OWNED_DI));
    check(only_owned(before.coils, now->tab_bits, OWNED_COILS));
    check(only_owned(before.ir, now->tab_input_registers, OWNED_IR));
    check(only_owned(before.hr, now->tab_registers, OWNED_HR));

    if (!single && fn != 15) {
        check(sms_after == sms_n && voice_after == voice_n);
        if (reboot) check(hr_get(510) == 0 && hr_get(511) == 0);
        return;
    }
    if (fn == 15) {
        const int alarms = a > 127 ? 0 : std::min<int>(v, 128 - a);
        check(sms_after >= sms_n && sms_after <= sms_n + alarms);
        check(voice_after >= voice_n && voice_after <= voice_n + alarms);
        if (edge) check(sms_after == sms_n && voice_after == voice_n);
        return;
    }

    // Single writes.
    if (a <= 127 && edge) {
        const edge_trigger t = edge_trigger_get(a);
        check(t.value == v);
        check(t.delay == before.hr[static_cast<size_t>(a == 127 ? 209 : 256 + a)]);
    }
    if (a <= 127 && !edge) {
        check(sms_after == sms_n || sms_after == sms_n + 1);
        check(voice_after == voice_n || voice_after == voice_n + 1);
    } else if (a == 128 && v == VALUE_ON) {
        if (sms_n < EVT_SLOTS - 1) {
            check(sms_after == sms_n + 1);
            check(sms_dynamic_buffer_id.load() == now->tab_input_registers[16]);
            check(if_send_sms_buffer_full.load() == 0);
        } else {
            check(sms_after == sms_n && if_send_sms_buffer_full.load() == 1);
        }
        check(voice_after == voice_n);
    } else if (a == 200 && v == VALUE_ON) {
        check(sms_after <= 1 && voice_after == voice_n);
    } else {
        check(sms_after == sms_n && voice_after == voice_n);
    }
    if (a == 199 && v == VALUE_ON) {
        check(now->tab_bits[199] == 0 && now->tab_input_bits[1] == 0);
        for (int i = 30; i <= 127; i++) check(now->tab_input_registers[i] == 0);
    }
    // Only the init switch lets a single write move the slave's address or line.
    if (a == 199) check(now->tab_registers[199] == (switch_on ? before.hr[199] : 1));
    if (a == 200) check(now->tab_registers[200] == (switch_on ? before.hr[200] : layout::SERIAL_DEFAULT));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The listener, the composer and libmodbus's own trace report every step.
    if (std::getenv("FUZZ_VERBOSE") == nullptr && std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    make_board();

    std::string name;
    g_master = open_pty(&name);
    g_reply_ctx = modbus_new_rtu(name.c_str(), 115200, 'N', 8, 1);
    check(g_reply_ctx != nullptr);
    modbus_set_slave(g_reply_ctx, 1);
    // An illegal request makes libmodbus sleep the response time-out before it
    // flushes; a microsecond keeps such frames as cheap as the others.
    check(modbus_set_response_timeout(g_reply_ctx, 0, 1) == 0);
    check(modbus_connect(g_reply_ctx) == 0);

    {   // Which libmodbus: a 4-byte write of register 0, with its CRC.
        modbus_mapping_t *probe = modbus_mapping_new(0, 0, 1, 0);
        check(probe != nullptr);
        uint8_t req[6] = {1, 6, 0, 0, 0, 0};
        uint16_t crc = rtu_crc16(req, 4);
        req[4] = static_cast<uint8_t>(crc & 0xFF);
        req[5] = static_cast<uint8_t>(crc >> 8);
        modbus_reply(g_reply_ctx, req, 6, probe);
        drain(g_master, true);
        g_lib_refuses_short = probe->tab_registers[0] == 0;
        modbus_mapping_free(probe);
    }

    g_map = modbus_mapping_new(MB_COILS, MB_DISCRETE, MB_HOLDING, MB_INPUT);
    check(g_map != nullptr);
    data_mapping.store(g_map);
    set_config_default();
    g_defaults.take(g_map);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t setup = data[0];
    const bool bad_crc = (setup & 0x41) == 0x41;
    const int switch_on = (setup & 0x02) ? 1 : 0;

    fake_sys::reset();
    event_rings_reset();
    edge_trigger_reset();
    sys_config = {1, 115200, 8, 'N', 1};
    data_mapping.store(g_map);
    g_defaults.put(g_map);
    set_switch(switch_on);
    if_sd_card.store((setup & 0x04) ? 1 : 0);
    if (setup & 0x08) hr_set(208, 1);
    if (setup & 0x10) route_alarms();
    if (setup & 0x20) fill_sms_ring();

    // Maps replaced by a recovery belong to the register map module, which
    // keeps two of them for good and hands them out in turn.
    std::vector<modbus_mapping_t *> retired;
    const uint8_t *p = data + 1;
    size_t left = size - 1;
    if (!(setup & 0x80)) {
        one_frame(p, left, bad_crc, switch_on, &retired);
    } else {
        for (int f = 0; f < MAX_FRAMES && left > 0; f++) {
            size_t len = p[0];
            p++;
            left--;
            if (len > left) len = left;
            one_frame(p, len, bad_crc, switch_on, &retired);
            p += len;
            left -= len;
            // Give the edge thread two passes to fire short delays.
            edge_poll_pass();
            edge_poll_pass();
        }
    }

    data_mapping.store(g_map);
    return 0;
}
