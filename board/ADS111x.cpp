#include <cstdio>

#include "board/i2c.h"
#include "board/timebase.h"

namespace {
constexpr uint8_t kConversion = 0;
constexpr uint8_t kConfig = 1;
}  // namespace

int InitADC() {
    // AIN0-AIN1, +-2.048 V, continuous at 64 SPS, comparator off.
    static constexpr uint8_t cfg[2] = {0x04, 0x73};
    int ret = I2C_Write(ADC_ADDR, kConfig, 2, cfg);
    if (ret != 1) {
        printf("Set ADC ERROR, ret=%d\r\n", ret);
        return 0;
    }
    return 1;
}

uint16_t ReadADCRegister() {
    uint8_t b[2] = {};
    int ret = I2C_Read(ADC_ADDR, kConversion, 2, b);
    if (ret != 1) {
        printf("ADC>> Read Error, ret=%d\r\n", ret);
        return 0;
    }
    // Taken unsigned, as the raw register.
    return static_cast<uint16_t>(b[0] * 256u + b[1]);
}
