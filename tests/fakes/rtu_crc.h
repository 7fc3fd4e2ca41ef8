// The Modbus RTU CRC (polynomial 0xA001, initial 0xFFFF) for tests and benches that build
// frames by hand; sent low byte first.
#pragma once
#include <cstddef>
#include <cstdint>

inline uint16_t rtu_crc16(const uint8_t *p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int b = 0; b < 8; b++) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}
