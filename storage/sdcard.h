// SD card detection and the updates taken from "/media/card/update" at start-up.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> if_sd_card;
extern int32_t if_config_exist;
extern int32_t if_fw_exist;
extern int32_t if_fw_update;
extern int32_t if_fw_update_error;
// An update that failed before (same card file) was skipped: the start goes on
// normally and shows pattern 6 for 10 s.
extern int32_t if_update_skipped;

void sd_card_init();
int check_if_config_update();   // 1 when a new configuration was installed
int check_if_fw_update();       // 0
// True when a listing line names exactly this file (name plus its line feed).
bool listing_names(const char *line, const char *name);
