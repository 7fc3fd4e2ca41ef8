// Fake of the I2C bus for unit tests: register arrays for the RX6110SA clock
// (device 0x64) and the ADS111x converter (device 0x90), failure injection and
// a record of every write. Linked in place of board/i2c.cpp.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

namespace fake_i2c {
struct write_rec {
    uint8_t dev;
    uint8_t reg;
    std::vector<uint8_t> data;
};

void reset();                              // registers 0, no failure, no records
std::array<uint8_t, 256> &rtc();           // the clock's byte registers
void set_adc_conversion(uint16_t v);       // conversion register (pointer 0)
uint16_t adc_config();                     // last configuration written (pointer 1)
// Every transfer returns this code instead (-1 bus does not open, -2, -3);
// 0 restores normal transfers. An unknown device always fails with -3.
void fail_with(int code);
std::vector<write_rec> writes();
int reads();                               // number of read transfers
}  // namespace fake_i2c
