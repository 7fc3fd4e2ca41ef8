#include "sys/sys.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ctime>

void sys_usleep(uint64_t usec) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(usec / 1000000u);
    ts.tv_nsec = static_cast<long>((usec % 1000000u) * 1000u);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {
std::mutex g_wake_mu;
std::condition_variable g_wake_cv;
uint64_t g_wake_seq = 0;   // under g_wake_mu
}  // namespace

uint64_t sys_wake_seq() {
    std::lock_guard<std::mutex> l(g_wake_mu);
    return g_wake_seq;
}

void sys_wake() {
    {
        std::lock_guard<std::mutex> l(g_wake_mu);
        g_wake_seq++;
    }
    g_wake_cv.notify_all();
}

void sys_wait(uint64_t seq, uint64_t usec) {
    std::unique_lock<std::mutex> l(g_wake_mu);
    g_wake_cv.wait_for(l, std::chrono::microseconds(usec), [seq] { return g_wake_seq != seq; });
}

void sys_sleep(unsigned sec) { sys_usleep(static_cast<uint64_t>(sec) * 1000000u); }

void sys_gettimeofday(struct timeval *tv) { gettimeofday(tv, nullptr); }

uint64_t sys_monotonic_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

time_t sys_time() { return time(nullptr); }
