#include "sys/sys.h"

#include <cerrno>
#include <ctime>

void sys_usleep(uint64_t usec) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(usec / 1000000u);
    ts.tv_nsec = static_cast<long>((usec % 1000000u) * 1000u);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void sys_sleep(unsigned sec) { sys_usleep(static_cast<uint64_t>(sec) * 1000000u); }

void sys_gettimeofday(struct timeval *tv) { gettimeofday(tv, nullptr); }

time_t sys_time() { return time(nullptr); }
