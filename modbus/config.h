// The configuration file "/APP/config.ini": a little-endian image of the
// register map's four tables (DI and DO a byte each, AI and AO 16 bit each;
// sizes and offsets in map_layout.h). All operations work on the map
// data_mapping points to.
#pragma once
#include <cstddef>
#include <cstdint>

#include "modbus/map_layout.h"

constexpr int CONFIG_SIZE = layout::IMG_SIZE;
constexpr int CONFIG_OFF_DI = layout::IMG_OFF_DI, CONFIG_OFF_DO = layout::IMG_OFF_DO,
              CONFIG_OFF_AI = layout::IMG_OFF_AI, CONFIG_OFF_AO = layout::IMG_OFF_AO;

int save_config();          // 0 saved (whole image, atomically replaced), -1 failed
int read_config();          // 0 read (short file: zeros), -1 cannot open
int check_config();         // 0 passes, -1 cannot open or a DI/DO byte not 0/1
void set_config_default();  // factory defaults into the map
int64_t getSystemTime();    // wall clock in ms since the epoch

// The image without the file, for agwctl: the current map into img
// (CONFIG_SIZE bytes), an image of n bytes into the map (missing bytes read
// as 0), and the factory defaults without the messages.
void config_to_image(uint8_t *img);
void config_from_image(const uint8_t *img, size_t n);
void config_fill_defaults();
// True when img is a configuration image the daemon accepts: CONFIG_SIZE
// bytes, every DI and DO byte 0 or 1 (the check check_config makes).
bool config_image_ok(const uint8_t *img, size_t n);

// The default SIM PIN written into holding registers 180..181.
constexpr char DEFAULT_PIN[5] = "1234";
