// Modbus round trips against a slave on DEVICE: prints the median and the
// 90th percentile in microseconds of each operation as "name median p90".
//   read125  read 125 holding registers at 1000
//   coil     write one coil (250, no action in the daemon)
//   write100 write 100 holding registers at 1000
//   bad      a request with an unknown function (0x41), which the slave answers
//            with an exception, then a good read: the time until the good read
//            is answered
//   badcrc   a read whose CRC is broken (no answer), a 2 ms pause (a master
//            never sends before that much silence), then a good read retried
//            every 20 ms until answered: the time until it is answered
#include <modbus/modbus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/fakes/rtu_crc.h"

using Clock = std::chrono::steady_clock;

static void report(const char *name, std::vector<double> &v) {
    if (v.empty()) {
        printf("%s nan nan\n", name);
        return;
    }
    std::sort(v.begin(), v.end());
    printf("%s %.1f %.1f\n", name, v[v.size() / 2], v[v.size() * 9 / 10]);
}

static double us_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DEVICE [rounds]\n", argv[0]);
        return 2;
    }
    int rounds = argc > 2 ? atoi(argv[2]) : 200;
    if (rounds < 1) rounds = 1;
    modbus_t *ctx = modbus_new_rtu(argv[1], 115200, 'N', 8, 1);
    if (ctx == nullptr) return 1;
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 1, 0);
    if (modbus_connect(ctx) != 0) {
        fprintf(stderr, "connect: %s\n", modbus_strerror(errno));
        return 1;
    }
    uint16_t regs[125];
    for (int i = 0; i < 125; i++) regs[i] = static_cast<uint16_t>(i);
    std::vector<double> rd, coil, wr, bad, badcrc;
    int errors = 0;
    for (int r = 0; r < rounds; r++) {
        auto t0 = Clock::now();
        if (modbus_read_registers(ctx, 1000, 125, regs) != 125) errors++;
        rd.push_back(us_since(t0));
        t0 = Clock::now();
        if (modbus_write_bit(ctx, 250, r & 1) != 1) errors++;
        coil.push_back(us_since(t0));
        t0 = Clock::now();
        if (modbus_write_registers(ctx, 1000, 100, regs) != 100) errors++;
        wr.push_back(us_since(t0));
    }

    int bad_rounds = std::max(5, rounds / 10);
    for (int r = 0; r < bad_rounds; r++) {
        modbus_flush(ctx);
        uint8_t raw[] = {1, 0x41};   // the library adds the CRC
        auto t0 = Clock::now();
        modbus_send_raw_request(ctx, raw, sizeof raw);
        uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
        if (modbus_receive_confirmation(ctx, rsp) != 5) errors++;   // exception reply
        if (modbus_read_registers(ctx, 0, 1, regs) != 1) errors++;
        bad.push_back(us_since(t0));
    }

    modbus_set_response_timeout(ctx, 0, 20000);
    int fd = modbus_get_socket(ctx);
    for (int r = 0; r < bad_rounds; r++) {
        modbus_flush(ctx);
        uint8_t frame[8] = {1, 3, 0, 0, 0, 1, 0, 0};
        uint16_t crc = rtu_crc16(frame, 6) ^ 0x5A5A;
        frame[6] = static_cast<uint8_t>(crc & 0xFF);
        frame[7] = static_cast<uint8_t>(crc >> 8);
        auto t0 = Clock::now();
        if (write(fd, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) errors++;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        int tries = 0;
        while (modbus_read_registers(ctx, 0, 1, regs) != 1) {
            if (++tries == 50) {
                errors++;
                break;
            }
            modbus_flush(ctx);
        }
        badcrc.push_back(us_since(t0));
    }

    report("read125", rd);
    report("coil", coil);
    report("write100", wr);
    report("bad", bad);
    report("badcrc", badcrc);
    printf("errors %d\n", errors);
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}
