// Process entry: start-up order, command line, firmware-update mode, thread
// launch and the status supervision loop.
#pragma once
#include <atomic>
#include <cstdint>

int alarmgw_main(int argc, char **argv);
// The status-LED step for the current modem and network state.
int status_led_step();
// True when a command-line date or time holds only digits and - / : .
bool date_arg_ok(const char *s);
