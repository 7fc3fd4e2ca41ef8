// The GPS state the modem supervisor publishes from its AT+CGPSINFO reads:
// gps_flag is 1 while the receiver has a fix, with its position in degrees.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> gps_flag;
extern std::atomic<float> gps_lat;
extern std::atomic<float> gps_log;
