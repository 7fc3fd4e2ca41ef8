// Reference for the Modbus round-trip benchmark: a bare libmodbus RTU server
// answering from a map of the daemon's size, with the same debug trace, and
// nothing else around modbus_reply (library time-outs left at their defaults).
#include <modbus/modbus.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "modbus/map_layout.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    modbus_t *ctx = modbus_new_rtu(argv[1], 115200, 'N', 8, 1);
    if (ctx == nullptr) return 1;
    modbus_set_slave(ctx, 1);
    modbus_set_debug(ctx, 1);
    modbus_mapping_t *map = modbus_mapping_new(layout::COILS, layout::DISCRETE, layout::HOLDING, layout::INPUT);
    if (map == nullptr || modbus_connect(ctx) != 0) return 1;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        int n = modbus_receive(ctx, req);
        if (n < 0) {
            printf("receive error: %s\n", modbus_strerror(errno));
            continue;
        }
        if (n == 0) continue;
        modbus_reply(ctx, req, n, map);
    }
}
