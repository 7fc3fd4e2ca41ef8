#include "app/startup.h"

#include <pthread.h>

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "alarm/composer.h"
#include "alarm/dispatch.h"
#include "alarm/delivery.h"
#include "alarm/poll.h"
#include "board/gpio.h"
#include "board/i2c.h"
#include "board/led.h"
#include "board/timebase.h"
#include "journal/journal.h"
#include "journal/resume.h"
#include "modbus/config.h"
#include "modbus/regmap.h"
#include "modbus/slave.h"
#include "modem/sim7100.h"
#include "net/data_conn.h"
#include "net/telemetry.h"
#include "storage/sdcard.h"
#include "storage/voice_files.h"
#include "sys/sys.h"

namespace {
const char *const BANNER = "QOVRA_2019-06-19 v1.17";
constexpr uint32_t SUPERVISION_MS = 2000;
// Longer date or time words are no date: refusing them keeps the command short.
constexpr size_t DATE_ARG_MAX = 32;

struct worker {
    void *(*body)(void *);
    const char *fail_msg;
};
const worker WORKERS[] = {
    {thread_mb_slave_listen, "error: create thread_mb_slave_listen"},
    {thread_mb_slave_poll, "error: create thread_mb_slave_poll"},
    {thread_mb_edge_poll, "error: create thread_mb_edge_poll"},
    {thread_modem, "error: create thread_modem"},
    {thread_led, "error: create thread_led"},
    {thread_sms_buffer, "error: create thread_sms_buffer"},
    {thread_voice_buffer, "error: create thread_voice_buffer"},
};

bool start_thread(void *(*body)(void *), const char *fail_msg) {
    pthread_t t;
    if (pthread_create(&t, nullptr, body, nullptr) != 0) {
        puts(fail_msg);
        return false;
    }
    pthread_detach(t);
    return true;
}

void format_rtc(const rtc_time &t, char *out, size_t n) {
    snprintf(out, n, "%04d-%02d-%02d %02d:%02d:%02d [%d]", t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min,
             t.tm_sec, t.tm_wday);
}

// Sets the system clock from the command line, then the battery-backed clock
// from the system clock. The words go into a shell command, so only date and
// time characters are let through.
void set_clock_from_args(const char *date, const char *time) {
    if (!date_arg_ok(date) || !date_arg_ok(time)) {
        puts("date/time not set: arguments may hold only digits and - / : . (at most 32 each)\r");
        return;
    }
    char cmd[128];
    snprintf(cmd, sizeof cmd, "date -s \"%s %s\"", date, time);
    printf("cmd: %s\n", cmd);
    int st = sys_system(cmd);
    printf("had set system time: %d\n", st);

    char text[64];
    tm2rtc(nullptr, &Sysrtc);
    format_rtc(Sysrtc, text, sizeof text);
    printf("before RTC Time= %s\n", text);
    RTC_Write(Sysrtc.tm_sec, Sysrtc.tm_min, Sysrtc.tm_hour, Sysrtc.tm_mday, Sysrtc.tm_mon, Sysrtc.tm_year,
              Sysrtc.tm_wday);
    RTC_Read(&Sysrtc);
    format_rtc(Sysrtc, text, sizeof text);
    printf("RTC Time= %s\n", text);
}

int firmware_update_mode() {
    puts("FW Update, only do LED.\r");
    start_thread(thread_led, "error: create thread_led");
    int step = if_fw_update_error == 1 ? 6 : 5;
    journal_stop();   // the reboot below is a clean end
    sta_led_step = step;
    gps_flag = step;
    sys_sleep(10);
    ResetSIM7100();
    return 0;
}

// A stop asked for (SIGTERM, SIGINT) is carried out by the supervision loop,
// which can record it; a crash leaves only a marker, all a handler may do.
std::atomic<int> g_stop_signal{0};
void on_stop(int sig) { g_stop_signal = sig; }
void on_crash(int sig) {
    journal_crash_mark();
    signal(sig, SIG_DFL);
    raise(sig);
}
void install_signals() {
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, on_crash);
}
[[noreturn]] void stop_now() {
    printf("stopping on signal %d\r\n", g_stop_signal.load());
    journal_stop();
    fflush(stdout);
    _exit(0);
}

// A failed card update is shown with pattern 6 for its first 10 s.
constexpr uint32_t UPDATE_FAULT_MS = 10000;

[[noreturn]] void supervise(bool show_update_fault) {
    uint32_t base = GetTimeTicks();
    const uint32_t start = base;
    if (show_update_fault) {
        puts("SD card update failed, see the messages above; alarms are served.\r");
        sta_led_step = 6;
    }
    for (;;) {
        if (g_stop_signal.load() != 0) stop_now();
        uint32_t elapsed = GetTimeTicks() - base;   // unsigned: a wrap of the ticks is harmless
        if (show_update_fault && GetTimeTicks() - start >= UPDATE_FAULT_MS) show_update_fault = false;
        if (elapsed >= SUPERVISION_MS && !show_update_fault) {
            sta_led_step = status_led_step();
            base = GetTimeTicks();
            continue;
        }
        uint32_t left = SUPERVISION_MS - elapsed;
        sys_usleep(static_cast<uint64_t>(left < 100 ? left : 100) * 1000u);
    }
}
}  // namespace

bool date_arg_ok(const char *s) {
    if (s == nullptr || s[0] == '\0') return false;
    size_t n = strnlen(s, DATE_ARG_MAX + 1);
    if (n > DATE_ARG_MAX) return false;
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if (!((c >= '0' && c <= '9') || c == '-' || c == '/' || c == ':' || c == '.')) return false;
    }
    return true;
}

int status_led_step() {
    if (modem_cpin_status == 1) return 4;
    if (link_status == 0) return 3;
    if (net_status == 0) return 2;
    int creg = modem_creg;
    if (creg == 1 || creg == 5) return 1;
    return 0;
}

int alarmgw_main(int argc, char **argv) {
    // Logs are followed live through pipes.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The AT port is opened without O_NOCTTY, so it can become the daemon's
    // controlling terminal; a hang-up of the modem's port must not end the
    // daemon (the supervisor just reopens the port on its next pass).
    signal(SIGHUP, SIG_IGN);

    modem_creg = 0;
    modem_csq = 0;
    if_sd_card = 0;
    if_fw_exist = 0;
    if_fw_update = 0;
    if_fw_update_error = 0;
    if_update_skipped = 0;

    printf("-- %s --\r\n", BANNER);

    InitGPIO();
    InitI2C();
    InitADC();
    ReadADCRegister();
    RTC_Read2sys(0);

    // Opened once the clock is set, before anything it records happens.
    journal_open();
    journal_start(BANNER);
    install_signals();

    sd_card_init();
    check_if_config_update();
    if (if_fw_exist != 0) check_if_fw_update();

    if (argc == 3) {
        set_clock_from_args(argv[1], argv[2]);
    } else if (argc == 2 && strcmp(argv[1], "-resetconfig") == 0) {
        puts("reset config, and save it.\r");
        modbus_slave_init();
        set_config_default();
        save_config();
        journal_event(JK_CONFIG, -1, 2, 0, nullptr);
    }

    if (if_fw_update != 0) return firmware_update_mode();

    modbus_slave_init();
    if (check_config() != 0) config_recovery();
    // Delivery-report status of a saved image is last run's: cleared.
    delivery_start();

    link_wav_to_var();
    check_wav_exist_format();
    // Interrupted deliveries go back into the rings before anything new arrives.
    journal_resume();

    for (const worker &w : WORKERS) start_thread(w.body, w.fail_msg);

    supervise(if_update_skipped != 0 || if_fw_update_error != 0);
}
