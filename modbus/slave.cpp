#include "modbus/slave.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "alarm/composer.h"
#include "alarm/rings.h"
#include "board/gpio.h"
#include "board/timebase.h"
#include "modbus/config.h"
#include "modbus/regmap.h"
#include "sys/sys.h"

sys_config_t sys_config = {1, 115200, 8, 'N', 1};
modbus_t *ctx = nullptr;
char modem_pin_code[5] = {0, 0, 0, 0, 0};

namespace {
std::mutex g_pin_mu;   // the modem thread reads the PIN while a recovery rewrites it

constexpr uint16_t RECOVERY_KEY[2] = {0x5A3C, 0xB7E1};
constexpr uint16_t REBOOT_KEY[2] = {0x6D29, 0xE48F};
constexpr uint16_t VALUE_ON = 0xFF00;
constexpr uint16_t DEFAULT_SERIAL = 0x0A03;
constexpr uint16_t kIdent[6] = {0x0101, 0x0700, 0x07E3, 0x0613, 0xC0A5, 0x0218};

// libmodbus sleeps the response time-out before it flushes after an illegal
// quantity or an unknown function, and waits the byte time-out for the rest of
// a cut frame. Its 500 ms defaults would let one bad frame block the line for
// half a second; a few character times are enough to let a broken frame's
// tail arrive before the flush.
void set_line_timeouts(modbus_t *c, int baud) {
    uint32_t char_us = baud > 0 ? static_cast<uint32_t>(11000000 / baud) : 1000;
    uint32_t us = 4 * char_us;
    if (us < 3000) us = 3000;
    modbus_set_response_timeout(c, 0, us);
    modbus_set_byte_timeout(c, 0, us);
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
    set_line_timeouts(c, sys_config.baud);
    return c;
}

void release_context() {
    if (ctx != nullptr) {
        modbus_close(ctx);
        modbus_free(ctx);
        ctx = nullptr;
    }
}

// Every map ever published. A replaced map is never freed, because another
// thread may still be reading it; keeping it listed keeps it reachable (the
// list itself is never destroyed, not even at exit).
std::mutex g_maps_mu;
std::vector<modbus_mapping_t *> *const g_maps = new std::vector<modbus_mapping_t *>;

// Without a map the slave could only answer exceptions and the other threads
// would read zeros: wait for memory instead.
void publish_new_map() {
    modbus_mapping_t *m;
    while ((m = modbus_mapping_new(MB_COILS, MB_DISCRETE, MB_HOLDING, MB_INPUT)) == nullptr) {
        printf("register map cannot be created (%s), retrying in 1 s\n", modbus_strerror(errno));
        sys_sleep(1);
    }
    {
        std::lock_guard<std::mutex> l(g_maps_mu);
        g_maps->push_back(m);
    }
    data_mapping.store(m, std::memory_order_release);
}

void alarm_trigger(int n, uint16_t v) {
    if (hr_get(208) == 1) {
        edge_trigger_write(n, v);
    } else {
        // Kept in both modes: a later switch to edge mode compares with it.
        edge_trigger_note(n, v);
        modbus_do_fixed_sms(static_cast<uint16_t>(n), v);
    }
}

void dynamic_sms() {
    puts("Send Dynamic SMS");

    char number[21];
    regmap_phone(469, number);
    printf("Send Number Length:%d\n", static_cast<int>(strlen(number)));
    printf("Send Number:%s\n", number);

    uint8_t body[140] = {};
    int len = regmap_text(399, 70, body, sizeof body);
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
        ir_set(16, static_cast<uint16_t>(res));
        if_send_sms_buffer_full = 0;
    }
}

void single_write(int a, uint16_t v) {
    printf("request address:%d and data:%x\r\n", a, v);
    if (a <= 127) alarm_trigger(a, v);
    if (a == 128 && v == VALUE_ON) dynamic_sms();
    if (a == 199 && v == VALUE_ON) {
        coil_set(199, 0);
        di_set(1, 0);
        for (int i = 30; i <= 127; i++) ir_set(i, 0);
    }
    if (a == 200 && v == VALUE_ON) {
        puts("clear all send buffer...\r");
        sms_event_clean_all();
    }
    if (a == 209) save_config();
    // A single write cannot move the slave's address or line settings: only a
    // deliberate write-multiple (or the init switch) can.
    if ((a == 199 || a == 200) && PIN_INIT_V() == 0) {
        if (a == 199)
            hr_set(199, 1);
        else
            hr_set(200, DEFAULT_SERIAL);
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
    if (a == 506) puts("SET PIN CODE!!");
    if (a == 508 && q == 2 && hr_get(508) == RECOVERY_KEY[0] && hr_get(509) == RECOVERY_KEY[1])
        config_recovery();
    if (a == 510 && q == 2 && hr_get(510) == REBOOT_KEY[0] && hr_get(511) == REBOOT_KEY[1]) {
        puts("Go Reset!!");
        hr_set(510, 0);
        hr_set(511, 0);
        sys_sleep(1);
        save_config();
        sys_sleep(1);
        ResetSIM7100();
    }
}
}  // namespace

int mb_baud_from_code(int code) {
    switch (code) {
    case 4: return 2400;
    case 5: return 4800;
    case 6: return 9600;
    case 7: return 19200;
    case 8: return 38400;
    case 9: return 57600;
    case 10: return 115200;
    default: return 115200;
    }
}

void mb_framing_from_code(int code, char *parity, int *stop) {
    char p = 'N';
    int s = 1;
    switch (code) {
    case 0x03: p = 'N'; s = 1; break;
    case 0x0B: p = 'N'; s = 2; break;
    case 0x23: p = 'O'; s = 1; break;
    case 0x2B: p = 'O'; s = 2; break;
    case 0x43: p = 'E'; s = 1; break;
    case 0x4B: p = 'E'; s = 2; break;
    default: break;
    }
    if (parity) *parity = p;
    if (stop) *stop = s;
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

    publish_new_map();
    set_config_default();
    read_config();

    if (PIN_INIT_V() != 0) {
        // The init switch forces the factory line settings, whatever the map says.
        di_set(3, 1);
    } else {
        if (!(hr_get(199) == 1 && hr_get(200) == DEFAULT_SERIAL)) {
            sys_config.mb_address = hr_get(199);
            printf("mb_address:%d\n\r", static_cast<int>(sys_config.mb_address));
            release_context();
            uint16_t serial = hr_get(200);
            if (serial != DEFAULT_SERIAL) {
                sys_config.baud = mb_baud_from_code(serial >> 8);
                sys_config.data_bit = 8;
                int stop = 1;
                mb_framing_from_code(serial & 0xFF, &sys_config.parity, &stop);
                sys_config.stop_bit = static_cast<uint8_t>(stop);
                printf("Setting change:%c,%d,%d\n\r", sys_config.parity, sys_config.data_bit, sys_config.stop_bit);
            }
            ctx = new_context(static_cast<int>(sys_config.mb_address));
            // Every entry of the fresh map comes from the file, without defaults.
            publish_new_map();
            read_config();
        }
        di_set(3, 0);
    }

    {
        std::lock_guard<std::mutex> l(g_pin_mu);
        mb_derive_pin(hr_get(180), hr_get(181), modem_pin_code);
        printf("current pin code: %c%c%c%c\r\n", modem_pin_code[0], modem_pin_code[1], modem_pin_code[2],
               modem_pin_code[3]);
    }

    for (int i = 0; i < 6; i++) ir_set(19 + i, kIdent[i]);

    if (ctx != nullptr) modbus_connect(ctx);
}

void mb_handle_request(const uint8_t *req, int len) {
    if (req == nullptr || len < 1) return;
    int slave = req[0];
    if (static_cast<uint32_t>(slave) != sys_config.mb_address) {
        printf("Modbus Address:%d, inValid!!\r\n", slave);
        return;
    }
    if (len < 6) return;
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
}

void *thread_mb_slave_listen(void *) {
    for (auto &s : sms_buffer_status) s.slot = -1;
    edge_trigger_reset();

    uint8_t req[MODBUS_MAX_ADU_LENGTH];
    for (;;) {
        modbus_t *c = ctx;   // a recovery command replaces it between requests
        if (c == nullptr) {
            puts("modbus: no slave context\r");
            sys_sleep(1);
            continue;
        }
        memset(req, 0, sizeof req);
        int rc = modbus_receive(c, req);
        if (rc < 0) {
            int err = errno;
            printf("receive error: %s\n", modbus_strerror(err));
            // A port that is not open (or hung up) fails every receive at
            // once: reopen it once a second rather than spin.
            if (err == EBADF || err == EIO || err == ECONNRESET || modbus_get_socket(c) < 0) {
                sys_sleep(1);
                modbus_close(c);
                modbus_connect(c);
            }
            continue;
        }
        if (rc == 0) {
            // libmodbus drops a request for another slave before it replies.
            printf("Modbus Address:%d, inValid!!\r\n", req[0]);
            continue;
        }
        modbus_reply(c, req, rc, data_mapping.load(std::memory_order_acquire));
        puts("reply mb-poll");
        mb_handle_request(req, rc);
    }
    return nullptr;
}
