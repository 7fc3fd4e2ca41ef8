// The cellular data connection through the modem's QMI interface: dial-up,
// status, hang-up, signal strength and serving system, and thread_net which
// keeps the connection as is_net asks. The start-up does not start it.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "net/qmi_client.h"

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
void net_pass();                          // one pass of thread_net, its 1 s pause included

// Indications of the QMI services. ind_cb is not registered with any client;
// it prints a raw indication split by qmi_msg_decode.
struct qmi_msg_parts {
    uint16_t msg_len;            // as the header declares it
    uint16_t data_len;           // as the header declares it
    std::vector<uint8_t> data;   // the data bytes actually received (at most data_len)
};
int qmi_msg_decode(const void *buf, unsigned int len, qmi_msg_parts *out);   // 0, -1 short header
void ind_cb(qmi_client_type user_handle, unsigned int msg_id, void *ind_buf, unsigned int ind_buf_len,
            void *ind_cb_data);
