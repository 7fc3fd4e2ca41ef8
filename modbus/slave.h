// The Modbus RTU slave on "/dev/ttyHSL3": context and map set-up, the listen
// thread, and the actions taken around libmodbus's reply (alarm triggers,
// dynamic SMS, clear commands, save, recovery and reboot keys).
#pragma once
#include <atomic>
#include <cstdint>
#include <modbus/modbus.h>

struct sys_config_t {
    uint32_t mb_address;
    int32_t baud;
    uint8_t data_bit;
    char parity;
    uint8_t stop_bit;
};

extern sys_config_t sys_config;
extern modbus_t *ctx;   // replaced by each initialisation; used by the listen thread
extern char modem_pin_code[5];

void modbus_slave_init();
// Factory defaults, saved, then a fresh initialisation (start-up check and recovery key).
void config_recovery();
void *thread_mb_slave_listen(void *);

// The per-request actions after modbus_reply, over the raw RTU request bytes
// as received (address, function, data, CRC); only requests that libmodbus
// accepts are acted on. Unit tests drive this directly.
void mb_handle_request(const uint8_t *req, int len);
// Before libmodbus replies: an alarm write it will accept is committed to
// the journal, so what the master sees acknowledged survives a power cut.
void mb_before_reply(const uint8_t *req, int len);

// Tables of the serial setting register (holding register 200).
int mb_baud_from_code(int code);                              // unknown code: 115200
void mb_framing_from_code(int code, char *parity, int *stop);  // unknown code: 'N', 1
// PIN characters from holding registers 180..181 (second hex digit of each byte).
void mb_derive_pin(uint16_t r180, uint16_t r181, char out[5]);
// Copies modem_pin_code under the lock that a re-initialisation writes it with.
void mb_get_pin(char out[5]);
