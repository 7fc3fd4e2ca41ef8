// Fills a journal under a scratch board root with N events of a busy site's
// mix (alarm change, SMS queued to three phones, three deliveries, entry end:
// six events per alarm), one second apart on a virtual clock that ends now.
// Prints "events seconds per_event_ms bytes" on standard error.
//   bench_journal_fill ROOT N
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "journal/journal.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench_journal_fill ROOT N\n");
        return 1;
    }
    long n = atol(argv[2]);
    sys_set_root(argv[1]);
    if (!journal_open()) return 1;
    uint64_t t = static_cast<uint64_t>(time(nullptr)) - static_cast<uint64_t>(n);
    auto t0 = std::chrono::steady_clock::now();
    const char *phones[3] = {"+491701234567", "+491719876543", "+491725550100"};
    for (long i = 0; i < n; i++) {
        fake_sys::set_now_us((t + static_cast<uint64_t>(i)) * 1000000ull);
        int alarm = static_cast<int>((i / 6) % 128);
        switch (i % 6) {
        case 0: journal_event(JK_ALARM_CHANGE, alarm, (i / 6) % 2 ? 0 : 1, JSRC_COIL, nullptr); break;
        case 1: journal_event(JK_SMS_QUEUED, alarm, 3, 3, "+491701234567,+491719876543,+491725550100"); break;
        case 5: journal_event(JK_ENTRY_END, alarm, 3, 0, nullptr); break;
        default: journal_event(JK_ATTEMPT, alarm, static_cast<int>(i % 6) - 2, 0, phones[i % 6 - 2]); break;
        }
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    journal_close();
    struct stat st {};
    stat(sys_path("/APP/journal.db").c_str(), &st);
    fprintf(stderr, "%ld %.2f %.3f %lld\n", n, s, 1000.0 * s / static_cast<double>(n), static_cast<long long>(st.st_size));
    return 0;
}
