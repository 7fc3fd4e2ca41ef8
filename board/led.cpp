#include "board/led.h"

#include "board/gpio.h"
#include "board/timebase.h"
#include "modem/gps.h"
#include "sys/sys.h"

std::atomic<int32_t> sta_led_step{1};
std::atomic<int32_t> gps_led_step{0};

namespace {
struct Blink {
    uint32_t on_ms, off_ms;
};
// Status patterns 1..6.
constexpr Blink kStaPattern[7] = {
    {0, 0}, {900, 100}, {500, 500}, {200, 200}, {100, 900}, {100, 100}, {100, 900},
};
constexpr Blink kGpsFix = {900, 100};

// Unsigned difference: the patterns survive the wrap of the tick count.
bool due(uint32_t since, uint32_t ms) { return static_cast<uint32_t>(GetTimeTicks() - since) >= ms; }

void status_rule(led_timers *t) {
    int32_t step = sta_led_step.load(std::memory_order_relaxed);
    if (step < 1 || step > 6) {
        STA_LED_ON();
        return;
    }
    const Blink &b = kStaPattern[step];
    // In firmware-update mode the GPS LED follows the status LED.
    bool both = step == 5 || step == 6;
    // A failed read counts as on.
    if (STA_LED_V() != 0) {
        if (due(t->sta, b.on_ms)) {
            STA_LED_OFF();
            if (both) GPS_LED_OFF();
            t->sta = GetTimeTicks();
        }
    } else if (due(t->sta, b.off_ms)) {
        STA_LED_ON();
        if (both) GPS_LED_ON();
        t->sta = GetTimeTicks();
    }
}

void gps_rule(led_timers *t) {
    int32_t step = gps_flag.load(std::memory_order_relaxed);
    gps_led_step.store(step, std::memory_order_relaxed);
    if (step == 5 || step == 6) return;
    if (step != 1) {
        GPS_LED_ON();
        return;
    }
    if (GPS_LED_V() != 0) {
        if (due(t->gps, kGpsFix.on_ms)) {
            GPS_LED_OFF();
            t->gps = GetTimeTicks();
        }
    } else if (due(t->gps, kGpsFix.off_ms)) {
        GPS_LED_ON();
        t->gps = GetTimeTicks();
    }
}
}  // namespace

void led_pass(led_timers *t) {
    status_rule(t);
    gps_rule(t);
}

void *thread_led(void *) {
    led_timers t;
    t.sta = t.gps = GetTimeTicks();
    for (;;) {
        led_pass(&t);
        // A short pause keeps the thread near idle: every pass opens the LED
        // files, and at 5 ms that alone cost about 1 % of a core. The blink
        // times are 100 ms or more, so 10 ms keeps each switch within a pass.
        sys_usleep(10000);
    }
    return nullptr;
}
