// GPIO lines through sysfs ("/sys/class/gpio", resolved under the board root),
// the board's pin table and one small operation per pin role. Every access
// opens, reads or writes once, and closes.
#pragma once
#include <cstdint>

int GPIO_open(int gpio);
int GPIO_set_dir(int gpio, int out);
int GPIO_set_active(int gpio, int active_low);
int GPIO_set_value(int gpio, int value);
int GPIO_get_value(int gpio);
int GPIO_io_init(int gpio, int dir, int active_low, int value);
void InitGPIO();

uint8_t DIV(uint8_t ch);
int ONDO(uint8_t ch);
int OFFDO(uint8_t ch);
int DOV(uint8_t ch);
int AI0_LOW();
int AI0_HIGH();
int AI1_LOW();
int AI1_HIGH();
int STA_LED_ON();
int STA_LED_OFF();
int STA_LED_V();
int STA_LED_INVERSE();
int GPS_LED_ON();
int GPS_LED_OFF();
int GPS_LED_V();
int GPS_LED_INVERSE();
int PIN_INIT_V();
