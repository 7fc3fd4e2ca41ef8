// The cellular data connection through the modem's QMI interface: dial-up,
// status, hang-up, signal strength and serving system, and thread_net which
// keeps the connection as is_net asks. The start-up does not start it.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> is_net;       // initial 1
extern std::atomic<int32_t> net_status;   // 0 up, -1 down (initial)
extern char modem_APN[64];
extern char modem_usr[32];
extern char modem_pwd[32];

int QMI_Init();
int QMI_nas_getObj();
int QMI_wds_getObj();
int QMI_nas_getRSSI();
int QMI_nas_getRegStatus();
int QMI_wds_CheckDialupStatus();
int QMI_wds_dialup(const char *apn, const char *user, const char *password);
int QMI_wds_hangup();
int dialup_actions2();
int hangup_actions();
void *thread_net(void *);
