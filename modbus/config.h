// The configuration file "/APP/config.ini": a 69576-byte little-endian image
// of the register map's four tables (DI 8 bytes, DO 256 bytes, AI 256 x 16 bit,
// AO 34400 x 16 bit). All operations work on the map data_mapping points to.
#pragma once
#include <cstdint>

constexpr int CONFIG_SIZE = 69576;
constexpr int CONFIG_OFF_DI = 0, CONFIG_OFF_DO = 8, CONFIG_OFF_AI = 264, CONFIG_OFF_AO = 776;

int save_config();          // 0 saved (whole image, atomically replaced), -1 failed
int read_config();          // 0 read (short file: zeros), -1 cannot open
int check_config();         // 0 passes, -1 cannot open or a DI/DO byte not 0/1
void set_config_default();  // factory defaults into the map
int64_t getSystemTime();    // wall clock in ms since the epoch

// The default SIM PIN written into holding registers 180..181.
constexpr char DEFAULT_PIN[5] = "1234";
