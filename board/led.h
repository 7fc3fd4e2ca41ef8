// The LED thread: shows sta_led_step on the status LED and gps_flag on the GPS
// LED as blink patterns on the millisecond tick.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> sta_led_step;   // initial 1
extern std::atomic<int32_t> gps_led_step;

void *thread_led(void *);
// One pass of the LED loop with the thread's two timers (no pause).
struct led_timers {
    uint32_t sta;
    uint32_t gps;
};
void led_pass(led_timers *t);
