#include "modbus/slave.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "alarm/ack.h"
#include "alarm/composer.h"
#include "alarm/rings.h"
#include "alarm/supervision.h"
#include "board/gpio.h"
#include "modem/sim7100.h"
#include "board/timebase.h"
#include "journal/journal.h"
#include "journal/window.h"
#include "modbus/config.h"
#include "modbus/regmap.h"
#include "sys/sys.h"

sys_config_t sys_config = {1, 115200, 8, 'N', 1};
modbus_t *ctx = nullptr;
char modem_pin_code[5] = {0, 0, 0, 0, 0};

namespace {
std::mutex g_pin_mu;
// Listener only: the open change (journal) of each alarm written by the
// request being answered, 0 none; handed to the composer with the write.
uint64_t g_change_id[layout::ALARMS];

using namespace layout;
constexpr uint16_t VALUE_ON = ALARM_ON;
constexpr uint16_t DEFAULT_SERIAL = SERIAL_DEFAULT;

// libmodbus uses the response time-out twice, and the two uses need
// different values. modbus_reply sleeps it before the flush that follows an
// exception reply: kept short, one bad frame must not hold the line. After a
// request for another slave, modbus_receive waits it for that slave's reply,
// which PLCs send 10 to 50 ms later: waited too briefly, the foreign reply is
// read as a request and our master's next request swallowed as "the reply".
// The byte time-out has to bridge the pieces that USB adapters cut a frame
// into (their latency timer is 16 ms by default).
constexpr uint32_t FLUSH_PAUSE_US = 20000;
constexpr uint32_t FOREIGN_REPLY_US = 200000;
constexpr uint32_t BYTE_GAP_US = 40000;
constexpr uint64_t PORT_RETRY_US = 500000;

void set_line_timeouts(modbus_t *c) {
    modbus_set_response_timeout(c, 0, FLUSH_PAUSE_US);
    modbus_set_byte_timeout(c, 0, BYTE_GAP_US);
    // A CRC error flushes what is left of the frame, so the next one starts clean.
    modbus_set_error_recovery(c, MODBUS_ERROR_RECOVERY_PROTOCOL);
}

modbus_t *new_context(int slave) {
    std::string dev = sys_path("/dev/ttyHSL3");
    modbus_t *c = modbus_new_rtu(dev.c_str(), sys_config.baud, sys_config.parity, sys_config.data_bit,
                                 sys_config.stop_bit);
    if (c == nullptr) {
        printf("modbus_new_rtu %s fail: %s\n", dev.c_str(), modbus_strerror(errno));
        return nullptr;
    }
    modbus_set_slave(c, slave);
    modbus_set_debug(c, TRUE);
    set_line_timeouts(c);
    return c;
}

void release_context() {
    if (ctx != nullptr) {
        modbus_close(ctx);
        modbus_free(ctx);
        ctx = nullptr;
    }
}

// The register map to fill, unpublished. Without a map the slave could only
// answer exceptions and the other threads would read zeros: wait for memory
// instead.
modbus_mapping_t *fresh_map() {
    modbus_mapping_t *m;
    while ((m = regmap_spare()) == nullptr) {
        printf("register map cannot be created (%s), retrying in 1 s\n", modbus_strerror(errno));
        sys_sleep(1);
    }
    return m;
}

// Opens the port again after it was missing or hung up. libmodbus's own
// messages are held back, so an outage is reported once, not every attempt.
bool reopen_port(modbus_t *c, bool &reported) {
    modbus_set_debug(c, FALSE);
    int rc = modbus_connect(c);
    int err = errno;
    modbus_set_debug(c, TRUE);
    if (rc == 0) {
        if (reported) puts("Modbus port open again\r");
        reported = false;
        return true;
    }
    if (!reported) {
        printf("Modbus port %s cannot be opened (%s), retrying\r\n", sys_path("/dev/ttyHSL3").c_str(),
               strerror(err));
        reported = true;
    }
    return false;
}

// A stored slave address outside 1..247 answers nobody (0 is the broadcast)
// or is refused by libmodbus: the init switch's default takes its place.
uint32_t checked_address(uint16_t a) {
    if (a >= 1 && a <= 247) return a;
    printf("Modbus address %d refused (1..247), using 1\r\n", a);
    return 1;
}

// The line settings' codes are the layout's tables; the factory line is the
// default code's entry.
const layout::BaudCode *baud_entry(int code) {
    for (const auto &b : layout::BAUDS)
        if (b.code == code) return &b;
    return nullptr;
}

const layout::FramingCode *framing_entry(int code) {
    for (const auto &f : layout::FRAMINGS)
        if (f.code == code) return &f;
    return nullptr;
}

bool framing_known(int code) { return framing_entry(code) != nullptr; }

// What libmodbus accepted and stored: the daemon acts on nothing it refused
// with an exception reply (the same checks as modbus_reply's).
bool write_accepted(const uint8_t *req, int len) {
    modbus_mapping_t *m = data_mapping.load(std::memory_order_acquire);
    if (m == nullptr || len < 6) return false;
    int function = req[1];
    int a = (req[2] << 8) | req[3];
    int v = (req[4] << 8) | req[5];
    switch (function) {
    // libmodbus takes a single write only as a whole frame: 6 bytes and the CRC.
    case 5: return len == 8 && a < m->nb_bits && (v == VALUE_ON || v == 0);
    case 6: return len == 8 && a < m->nb_registers;
    case 15:
        return len >= 7 && v >= 1 && v <= MODBUS_MAX_WRITE_BITS && req[6] * 8 >= v && a + v <= m->nb_bits;
    case 16:
        return len >= 7 && v >= 1 && v <= MODBUS_MAX_WRITE_REGISTERS && req[6] == 2 * v &&
               a + v <= m->nb_registers;
    default: return true;
    }
}

// The log window (input registers 200..255) from sequence number cursor on,
// with the filters of holding registers 515..517.
void log_window_fill(uint64_t cursor) {
    static journal_record recs[8];   // the listener's alone
    int alarm = static_cast<int>(hr_get(HR_LOG_ALARM)) - 1;
    int64_t since = (static_cast<int64_t>(hr_get(HR_LOG_SINCE)) << 16) | hr_get(HR_LOG_SINCE + 1);
    int n = journal_read(cursor, alarm, since, recs, 8);
    uint16_t win[IR_LOG_N];
    journal_window_pack(recs, n < 0 ? 0 : n, cursor, win);
    for (int i = 0; i < IR_LOG_N; i++) ir_set(IR_LOG + i, win[i]);
}

void log_window_request(int function, int a, int q) {
    if (function == 4 && a == IR_LOG) {
        // Read: the next records wait in the window for the next read.
        log_window_fill((static_cast<uint64_t>(ir_get(IR_LOG_NEXT)) << 16) | ir_get(IR_LOG_NEXT + 1));
        return;
    }
    int n = function == 6 ? 1 : q;
    if ((function == 6 || function == 16) && a <= HR_LOG_SINCE + 1 && a + n > HR_LOG_CURSOR)
        log_window_fill((static_cast<uint64_t>(hr_get(HR_LOG_CURSOR)) << 16) | hr_get(HR_LOG_CURSOR + 1));
}

void alarm_trigger(int n, uint16_t v) {
    uint64_t change = 0;
    if (n >= 0 && n < ALARMS) {
        change = g_change_id[n];
        g_change_id[n] = 0;
    }
    if (hr_get(HR_EDGE_MODE) == 1) {
        edge_trigger_write(n, v, change);
    } else {
        // Kept in both modes: a later switch to edge mode compares with it.
        edge_trigger_note(n, v);
        modbus_do_fixed_sms(static_cast<uint16_t>(n), v, change);
    }
}

// Changes journalled before a reply that no write handed on (the request was
// refused after all): closed, so no restart composes them.
void settle_unused_changes() {
    for (uint64_t &id : g_change_id) {
        journal_change_settled(id, JCHANGE_ALL);
        id = 0;
    }
}

void dynamic_sms() {
    puts("Send Dynamic SMS");

    char number[21];
    regmap_phone(HR_DYN_PHONE, number);
    printf("Send Number Length:%d\n", static_cast<int>(strlen(number)));
    printf("Send Number:%s\n", number);

    uint8_t body[140] = {};
    int len = regmap_text(HR_DYN_TEXT, HR_DYN_TEXT_N, body, sizeof body);
    printf("Send SMS Contens Length:%d\n", len);

    // A number that fills all 20 bytes is kept whole: the ring's readers
    // terminate a full slot themselves.
    char phones[1][PHONE_SLOT_LEN] = {};
    memcpy(phones[0], number, PHONE_SLOT_LEN);
    sms_message msg{};
    memcpy(msg.text, body, static_cast<size_t>(len));
    msg.length = static_cast<uint8_t>(len);
    msg.mode = 8;

    int res = sms_event_put(msg, phones, 1);
    printf("res of sms_event_put() = %d\r\n", res);
    printf("sms_event_is_n()=%d\r\n", sms_event_is_n());
    if (res == -1) {
        if_send_sms_buffer_full = 1;
    } else {
        sms_dynamic_buffer_id = res;
        ir_set(IR_LAST_SLOT, static_cast<uint16_t>(res));
        if_send_sms_buffer_full = 0;
    }
}

// The master's acknowledge command; the register is a command and reads 0 again.
void ack_command() {
    uint16_t v = hr_get(HR_ACK_COMMAND);
    if (v == 0) return;
    hr_set(HR_ACK_COMMAND, 0);
    ack_master_command(v);
}

void single_write(int a, uint16_t v) {
    printf("request address:%d and data:%x\r\n", a, v);
    if (a <= 127) alarm_trigger(a, v);
    if (a == CO_DYNAMIC_SMS && v == VALUE_ON) dynamic_sms();
    if (a == CO_CLEAR_RX_SMS && v == VALUE_ON) {
        coil_set(CO_CLEAR_RX_SMS, 0);
        // Erases only a published message, and frees the registers last: the
        // poll thread publishes the next one only once discrete input 1 is 0.
        if (di_get(DI_RX_SMS) == 1) {
            for (int i = IR_RX_FIRST; i <= IR_RX_LAST; i++) ir_set(i, 0);
            ir_set(IR_RX_FLAGS, 0);
            di_set(DI_RX_SMS, 0);
        }
    }
    if (a == CO_CLEAR_QUEUE && v == VALUE_ON) {
        puts("clear all send buffer...\r");
        // The changes waiting for room go first: a dispatcher pass ending
        // between the two would otherwise move them into the emptied queue.
        alarm_waiting_clear_sms();
        sms_event_clean_all();
    }
    if (a == CO_SAVE) save_config();
    if (a == HR_ACK_COMMAND) ack_command();
    // A single write cannot move the slave's address or line settings: only a
    // deliberate write-multiple (or the init switch) can.
    if ((a == HR_SLAVE_ADDRESS || a == HR_SERIAL) && PIN_INIT_V() == 0) {
        if (a == HR_SLAVE_ADDRESS)
            hr_set(HR_SLAVE_ADDRESS, 1);
        else
            hr_set(HR_SERIAL, DEFAULT_SERIAL);
    }
}

void write_multiple_coils(int a, int q) {
    if (a > 127) return;
    for (int i = 0; i < q && a + i <= 127; i++) {
        uint8_t c = coil_get(a + i);
        printf("request address:%d and data:%x\r\n", a + i, c);
        alarm_trigger(a + i, c ? VALUE_ON : 0);
    }
}

void write_multiple_registers(int a, int q) {
    printf("request address:%x and data:%x\r\n", a, q);
    if (a == HR_PIN_CMD) puts("SET PIN CODE!!");
    if (a <= HR_ACK_COMMAND && HR_ACK_COMMAND < a + q) ack_command();
    if (a == HR_RECOVERY_KEY && q == 2 && hr_get(HR_RECOVERY_KEY) == RECOVERY_KEY[0] &&
        hr_get(HR_RECOVERY_KEY + 1) == RECOVERY_KEY[1])
        config_recovery();
    if (a == HR_REBOOT_KEY && q == 2 && hr_get(HR_REBOOT_KEY) == REBOOT_KEY[0] &&
        hr_get(HR_REBOOT_KEY + 1) == REBOOT_KEY[1]) {
        puts("Go Reset!!");
        hr_set(HR_REBOOT_KEY, 0);
        hr_set(HR_REBOOT_KEY + 1, 0);
        sys_sleep(1);
        save_config();
        sys_sleep(1);
        ResetSIM7100();
    }
}
}  // namespace

int mb_baud_from_code(int code) {
    const layout::BaudCode *b = baud_entry(code);
    return b ? b->baud : baud_entry(layout::SERIAL_DEFAULT >> 8)->baud;
}

void mb_framing_from_code(int code, char *parity, int *stop) {
    const layout::FramingCode *f = framing_entry(code);
    if (f == nullptr) f = framing_entry(layout::SERIAL_DEFAULT & 0xFF);
    if (parity) *parity = f->parity;
    if (stop) *stop = f->stop_bits;
}

// Each PIN character is the second hexadecimal digit of its byte: the digit
// itself for an ASCII digit, and a terminator for a byte below 0x10.
void mb_derive_pin(uint16_t r180, uint16_t r181, char out[5]) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(r180 >> 8), static_cast<uint8_t>(r180 & 0xFF),
                              static_cast<uint8_t>(r181 >> 8), static_cast<uint8_t>(r181 & 0xFF)};
    for (int i = 0; i < 4; i++) {
        char hex[4];
        snprintf(hex, sizeof hex, "%x", bytes[i]);
        out[i] = hex[1];
    }
    out[4] = '\0';
}

void config_recovery() {
    puts("Go Recovery!!");
    journal_event(JK_CONFIG, -1, 1, 0, nullptr);
    set_config_default();
    sys_sleep(1);
    save_config();
    sys_sleep(1);
    modbus_slave_init();
}

void mb_get_pin(char out[5]) {
    std::lock_guard<std::mutex> l(g_pin_mu);
    memcpy(out, modem_pin_code, 5);
}

void modbus_slave_init() {
    sys_config = {1, 115200, 8, 'N', 1};
    if_send_sms_buffer_full = 0;

    release_context();
    ctx = new_context(1);

    // The new map is filled before it is published: until then the other
    // threads keep reading the old one, never a half-filled map.
    modbus_mapping_t *m = fresh_map();
    regmap_fill_begin(m);
    set_config_default();
    read_config();

    if (PIN_INIT_V() != 0) {
        // The init switch forces the factory line settings, whatever the map says.
        di_set(DI_INIT_SWITCH, 1);
    } else {
        if (!(hr_get(HR_SLAVE_ADDRESS) == 1 && hr_get(HR_SERIAL) == DEFAULT_SERIAL)) {
            sys_config.mb_address = checked_address(hr_get(HR_SLAVE_ADDRESS));
            printf("mb_address:%d\n\r", static_cast<int>(sys_config.mb_address));
            release_context();
            uint16_t serial = hr_get(HR_SERIAL);
            if (serial != DEFAULT_SERIAL) {
                int baud_code = serial >> 8, framing_code = serial & 0xFF;
                if (baud_entry(baud_code) == nullptr)
                    printf("Modbus baud code %d refused, using %d\r\n", baud_code, mb_baud_from_code(-1));
                if (!framing_known(framing_code))
                    printf("Modbus framing code 0x%02X refused, using N,1\r\n", framing_code);
                sys_config.baud = mb_baud_from_code(baud_code);
                sys_config.data_bit = 8;
                int stop = 1;
                mb_framing_from_code(framing_code, &sys_config.parity, &stop);
                sys_config.stop_bit = static_cast<uint8_t>(stop);
                printf("Setting change:%c,%d,%d\n\r", sys_config.parity, sys_config.data_bit, sys_config.stop_bit);
            }
            ctx = new_context(static_cast<int>(sys_config.mb_address));
            // Every entry of the fresh map comes from the file, without defaults.
            regmap_fill_end();
            m = fresh_map();
            regmap_fill_begin(m);
            read_config();
        }
        di_set(DI_INIT_SWITCH, 0);
    }

    {
        std::lock_guard<std::mutex> l(g_pin_mu);
        mb_derive_pin(hr_get(HR_PIN), hr_get(HR_PIN + 1), modem_pin_code);
        modem_set_pin(modem_pin_code);
        printf("current pin code: %c%c%c%c\r\n", modem_pin_code[0], modem_pin_code[1], modem_pin_code[2],
               modem_pin_code[3]);
    }

    for (int i = 0; i < IR_IDENT_N; i++) ir_set(IR_IDENT + i, IDENT[i]);
    regmap_fill_end();
    data_mapping.store(m);   // sequentially consistent: regmap_spare counts on it

    if (ctx != nullptr) modbus_connect(ctx);
}

void mb_handle_request(const uint8_t *req, int len) {
    if (req == nullptr || len < 1) return;
    int slave = req[0];
    if (static_cast<uint32_t>(slave) != sys_config.mb_address) {
        printf("Modbus Address:%d, inValid!!\r\n", slave);
        return;
    }
    if (!write_accepted(req, len)) return;
    int function = req[1];
    int a = (req[2] << 8) | req[3];
    uint16_t v = static_cast<uint16_t>((req[4] << 8) | req[5]);
    switch (function) {
    case 5:
    case 6: single_write(a, v); break;
    case 15: write_multiple_coils(a, v); break;
    case 16: write_multiple_registers(a, v); break;
    default: break;
    }
    log_window_request(function, a, v);
    settle_unused_changes();
}

void mb_before_reply(const uint8_t *req, int len) {
    if (req == nullptr || len < 6 || static_cast<uint32_t>(req[0]) != sys_config.mb_address) return;
    if (!write_accepted(req, len)) return;
    int function = req[1];
    int a = (req[2] << 8) | req[3];
    uint16_t v = static_cast<uint16_t>((req[4] << 8) | req[5]);
    int alarms[ALARMS];
    uint16_t values[ALARMS];
    bool open[ALARMS];
    uint64_t ids[ALARMS];
    int n = 0, source = JSRC_COIL;
    if ((function == 5 || function == 6) && a < ALARMS && (v == VALUE_ON || v == 0)) {
        source = function == 5 ? JSRC_COIL : JSRC_REGISTER;
        alarms[n] = a;
        values[n++] = v;
    } else if (function == 15) {
        source = JSRC_WRITE_MULTIPLE;
        for (int i = 0; i < v && a + i < ALARMS && 7 + i / 8 < len; i++) {
            alarms[n] = a + i;
            values[n++] = ((req[7 + i / 8] >> (i % 8)) & 1) ? VALUE_ON : 0;
        }
    }
    // Each change stays open in the journal until its entries are queued
    // (the composer closes it in their commits), so a restart composes what
    // waited for room or for its edge delay. In edge mode a write of the value
    // the alarm has already is no change: history only.
    const bool edge = hr_get(HR_EDGE_MODE) == 1;
    for (int i = 0; i < n; i++) open[i] = !edge || edge_trigger_is_change(alarms[i], values[i]);
    // The one synchronous write on the reply's path, and the only one of an
    // alarm write that needs no entry: the master is told only what is on disk.
    if (n > 0 && journal_alarm_writes(alarms, values, n, source, open, ids) != 0)
        for (int i = 0; i < n; i++) g_change_id[alarms[i]] = ids[i];
}

void *thread_mb_slave_listen(void *) {
    // Records a start-up resume filled keep their slot.
    for (auto &s : sms_buffer_status)
        if (s.status.load() == 0) s.slot = -1;
    edge_trigger_reset(true);   // a change resumed in its delay stays

    uint8_t req[MODBUS_MAX_ADU_LENGTH];
    bool port_reported = false;
    bool reply_to_ignore = false;   // libmodbus takes the next frame as another slave's reply
    modbus_t *seen = nullptr;
    for (;;) {
        modbus_t *c = ctx;   // a recovery command replaces it between requests
        if (c == nullptr) {
            puts("modbus: no slave context\r");
            sys_sleep(1);
            continue;
        }
        if (c != seen) {
            seen = c;
            reply_to_ignore = false;
        }
        // Never into libmodbus without an open port: its select would be
        // handed descriptor -1, which the hardened library aborts on.
        if (modbus_get_socket(c) < 0 && !reopen_port(c, port_reported)) {
            sys_usleep(PORT_RETRY_US);
            continue;
        }
        memset(req, 0, sizeof req);
        modbus_set_response_timeout(c, 0, reply_to_ignore ? FOREIGN_REPLY_US : FLUSH_PAUSE_US);
        bool ignoring = reply_to_ignore;
        int rc = modbus_receive(c, req);
        reply_to_ignore = false;
        if (ignoring) modbus_set_response_timeout(c, 0, FLUSH_PAUSE_US);
        if (rc < 0) {
            int err = errno;
            printf("receive error: %s\n", modbus_strerror(err));
            // A port that hung up (an unplugged adapter) fails every receive
            // at once: close it, and reopen it above until it is back.
            if (err == EBADF || err == EIO || err == ECONNRESET || err == ENXIO || err == ENODEV)
                modbus_close(c);
            continue;
        }
        if (rc == 0) {
            // libmodbus drops a request for another slave before it replies,
            // and then the reply to it, which is no request to report.
            if (!ignoring) {
                printf("Modbus Address:%d, inValid!!\r\n", req[0]);
                reply_to_ignore = true;
            }
            continue;
        }
        // A request for us (or a broadcast): the master is alive.
        supervision_master_request();
        mb_before_reply(req, rc);
        int sent = modbus_reply(c, req, rc, data_mapping.load(std::memory_order_acquire));
        puts("reply mb-poll");
        // An exception reply (address, function | 0x80, code, CRC) refused it.
        if (sent == 5) {
            settle_unused_changes();
            continue;
        }
        mb_handle_request(req, rc);
    }
    return nullptr;
}
