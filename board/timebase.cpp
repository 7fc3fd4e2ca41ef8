#include "board/timebase.h"

#include <cstdio>
#include <cstdlib>
#include <sys/time.h>

#include "sys/sys.h"

uint32_t GetTimeTicks() {
    struct timeval tv;
    sys_gettimeofday(&tv);
    // Each caller gets its own reading; the count wraps at 2^32 ms.
    uint64_t ms = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
    return static_cast<uint32_t>(ms);
}

int32_t getMsec() { return static_cast<int32_t>(GetTimeTicks()); }

int32_t getDiffTime(int32_t a, int32_t b) {
    // Computed wide, so the difference of two extreme values cannot overflow.
    int64_t d = static_cast<int64_t>(a) - static_cast<int64_t>(b);
    return static_cast<int32_t>(d < 0 ? -d : d);
}

int ResetSIM7100() { return sys_system("init 6"); }
