// The I2C bus "/dev/i2c-0" through i2c-dev combined transfers (I2C_RDWR).
// Device addresses are given in 8-bit form (7-bit address << 1). This is a
// seam: unit tests link register arrays for the RTC and ADC instead of i2c.cpp.
#pragma once
#include <cstdint>

extern int i2c_fd;

int InitI2C();   // 1 when the bus opens, else 0
int I2C_Write(uint8_t dev, uint8_t reg, uint8_t n, const uint8_t *data);  // 1, -1 open, -2 alloc, -3 transfer
int I2C_Read(uint8_t dev, uint8_t reg, uint8_t n, uint8_t *data);
