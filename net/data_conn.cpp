#include "net/data_conn.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "modem/sim7100.h"
#include "sys/sys.h"

std::atomic<int32_t> is_net{1};
std::atomic<int32_t> net_status{-1};
char modem_APN[64];
char modem_usr[32];
char modem_pwd[32];

namespace {
constexpr const char *kConnId = "rmnet0";
constexpr unsigned kTimeoutMs = 15000;
constexpr unsigned kStartTimeoutMs = 30000;

int32_t qmi_hdl = -1;
qmi_idl_service_object_type srv_nas_obj = nullptr;
qmi_client_type qmi_nas_clnt_hdl = nullptr;
qmi_client_type qmi_wds_clnt_hdl = nullptr;
std::atomic<int32_t> nas_rc{0};
std::atomic<int32_t> wds_rc{0};

// The WDS records: thread_net dials and hangs up, the telemetry thread may
// hang up at the same time. The lock keeps each record whole; the sends
// themselves run on copies outside it.
std::mutex wds_mu;
wds_start_network_interface_req_msg_v01 start_req_msg;
wds_start_network_interface_resp_msg_v01 start_resp_msg;
wds_stop_network_interface_req_msg_v01 stop_req_msg;
wds_stop_network_interface_resp_msg_v01 stop_resp_msg;

// dBm -> CSQ-style level; -112 and -52 fall between the steps of the table.
int rssi_level(int a) {
    if (a <= -113) return 0;
    if (a >= -111 && a <= -53) return (a + 113) / 2;
    if (a >= -51 && a <= -1) return 31;
    return 99;
}

// Copies a text that may lack its terminator within src_size bytes.
void copy_text(char *dst, size_t dst_size, const char *src, size_t src_size) {
    size_t n = src ? strnlen(src, src_size) : 0;
    if (n >= dst_size) n = dst_size - 1;
    if (n > 0) memcpy(dst, src, n);
    dst[n] = '\0';
}
}  // namespace

int QMI_Init() {
    qmi_hdl = qmi_init(nullptr, nullptr);
    return qmi_hdl;
}

int QMI_nas_getObj() {
    srv_nas_obj = nas_get_service_object_internal_v01(1, 0x31, 5);
    if (srv_nas_obj == nullptr) {
        puts("main(): nas_get_service_object_v01() failed.");
        return -1;
    }
    nas_rc = qmi_client_init(kConnId, srv_nas_obj, nullptr, srv_nas_obj, &qmi_nas_clnt_hdl);
    if (nas_rc != QMI_NO_ERR) {
        printf("main(): qmi_client_init() failed. nas_rc=%d.\n", nas_rc.load());
        qmi_client_release(qmi_nas_clnt_hdl);
        return -1;
    }
    return 0;
}

int QMI_wds_getObj() {
    srv_nas_obj = wds_get_service_object_internal_v01(1, 0x1B, 5);
    if (srv_nas_obj == nullptr) {
        puts("main(): wds_get_service_object_v01() failed.");
        return -1;
    }
    wds_rc = qmi_client_init(kConnId, srv_nas_obj, nullptr, srv_nas_obj, &qmi_wds_clnt_hdl);
    if (wds_rc != QMI_NO_ERR) {
        printf("main(): qmi_client_init() failed. wds_rc=%d.\n", wds_rc.load());
        qmi_client_release(qmi_wds_clnt_hdl);
        return -1;
    }
    return 0;
}

int QMI_nas_getRSSI() {
    puts("main(): (QMI_NAS_GET_SIGNAL_STRENGTH_RESP_MSG_V01) Start.");
    nas_get_signal_strength_req_msg_v01 req{};
    nas_get_signal_strength_resp_msg_v01 resp{};
    nas_rc = qmi_client_send_msg_sync(qmi_nas_clnt_hdl, QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01, &req,
                                      sizeof req, &resp, sizeof resp, kTimeoutMs);
    if (nas_rc != QMI_NO_ERR) {
        // Nothing was measured: the response is not read.
        printf("main(): qmi_client_send_msg_sync() failed. nas_rc=%d.\n", nas_rc.load());
        return 0;
    }
    if (resp.resp.error != QMI_ERR_NONE_V01) {
        printf("main(): Error value=%d.\n", resp.resp.error);
        return 0;
    }
    int a = resp.signal_strength.sig_strength;
    printf("rssi=%d\n", a);
    return rssi_level(a);
}

int QMI_nas_getRegStatus() {
    puts("main(): (QMI_NAS_GET_SERVING_SYSTEM_RESP_MSG_V01) Start.");
    nas_get_serving_system_resp_msg_v01 resp{};
    nas_rc = qmi_client_send_msg_sync(qmi_nas_clnt_hdl, QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01, nullptr, 0,
                                      &resp, sizeof resp, kTimeoutMs);
    if (nas_rc != QMI_NO_ERR) {
        printf("main(): qmi_client_send_msg_sync() failed. nas_rc=%d.\n", nas_rc.load());
        return 0;
    }
    if (resp.resp.error != QMI_ERR_NONE_V01) {
        printf("main(): Error value=%d.\n", resp.resp.error);
        return 0;
    }
    return resp.serving_system.registration_state;
}

int QMI_wds_CheckDialupStatus() {
    wds_get_pkt_srvc_status_resp_msg_v01 resp{};
    int rc = qmi_client_send_msg_sync(qmi_wds_clnt_hdl, QMI_WDS_GET_PKT_SRVC_STATUS_REQ_V01, nullptr, 0,
                                      &resp, sizeof resp, kTimeoutMs);
    if (rc != QMI_NO_ERR) {
        printf("main(): qmi_client_send_msg_sync() failed. rc=%d.\n", rc);
        return 0;
    }
    if (resp.resp.error != QMI_ERR_NONE_V01) {
        printf("main(): Error value=%d.\n", resp.resp.error);
        return 0;
    }
    return resp.connection_status;
}

int QMI_wds_dialup(const char *apn, const char *user, const char *password) {
    puts("main(): (QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start.");
    wds_start_network_interface_req_msg_v01 req;
    wds_start_network_interface_resp_msg_v01 resp;
    {
        std::lock_guard<std::mutex> l(wds_mu);
        memset(&start_req_msg, 0, sizeof start_req_msg);
        memset(&start_resp_msg, 0, sizeof start_resp_msg);
        start_req_msg.apn_name_valid = 1;
        copy_text(start_req_msg.apn_name, sizeof start_req_msg.apn_name, apn, sizeof start_req_msg.apn_name);
        start_req_msg.username_valid = 1;
        copy_text(start_req_msg.username, sizeof start_req_msg.username, user, sizeof start_req_msg.username);
        start_req_msg.password_valid = 1;
        copy_text(start_req_msg.password, sizeof start_req_msg.password, password,
                  sizeof start_req_msg.password);
        req = start_req_msg;
        resp = start_resp_msg;
    }
    printf("APN: %s\n", req.apn_name);
    printf("Username: %s\n", req.username);
    printf("Password: %s\n", req.password);
    int rc = qmi_client_send_msg_sync(qmi_wds_clnt_hdl, QMI_WDS_START_NETWORK_INTERFACE_REQ_V01, &req,
                                      sizeof req, &resp, sizeof resp, kStartTimeoutMs);
    wds_rc = rc;
    {
        // The packet-data handle stays here for the hang-up.
        std::lock_guard<std::mutex> l(wds_mu);
        start_resp_msg = resp;
    }
    if (rc != QMI_NO_ERR) {
        printf("main(): qmi_client_send_msg_sync() failed. wds_rc=%d.\n", rc);
        return 0;
    }
    if (resp.resp.error != QMI_ERR_NONE_V01) {
        printf("main(): Error value=%d.\n", resp.resp.error);
        return 0;
    }
    return 1;
}

int QMI_wds_hangup() {
    wds_stop_network_interface_req_msg_v01 req;
    wds_stop_network_interface_resp_msg_v01 resp{};
    {
        std::lock_guard<std::mutex> l(wds_mu);
        memset(&stop_req_msg, 0, sizeof stop_req_msg);
        stop_req_msg.pkt_data_handle = start_resp_msg.pkt_data_handle;
        req = stop_req_msg;
    }
    int rc = qmi_client_send_msg_sync(qmi_wds_clnt_hdl, QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01, &req,
                                      sizeof req, &resp, sizeof resp, kTimeoutMs);
    wds_rc = rc;
    {
        std::lock_guard<std::mutex> l(wds_mu);
        stop_resp_msg = resp;
    }
    if (rc != QMI_NO_ERR) {
        printf("main(): qmi_client_send_msg_sync() failed. wds_rc=%d.\n", rc);
        return 0;
    }
    if (resp.resp.error != QMI_ERR_NONE_V01) {
        printf("main(): Error value=%d.\n", resp.resp.error);
        return 0;
    }
    puts("main(): QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01) Success.");
    return 1;
}

int dialup_actions2() {
    if (QMI_wds_CheckDialupStatus() == QMI_WDS_CONNECTION_STATUS_CONNECTED_V01) {
        if (isDebug) puts("had dialup!");
        return 0;
    }
    char apn[sizeof modem_APN], usr[sizeof modem_usr], pwd[sizeof modem_pwd];
    copy_text(apn, sizeof apn, modem_APN, sizeof modem_APN);
    copy_text(usr, sizeof usr, modem_usr, sizeof modem_usr);
    copy_text(pwd, sizeof pwd, modem_pwd, sizeof modem_pwd);
    printf("Dialup result=%d\r\n", QMI_wds_dialup(apn, usr, pwd));
    sys_sleep(3);
    for (int i = 0; i < 50; i++) {
        sys_usleep(100 * 1000);
        int st = QMI_wds_CheckDialupStatus();
        if (st == QMI_WDS_CONNECTION_STATUS_CONNECTED_V01) {
            puts("dialup ready");
            return 0;
        }
        printf("[%d:%d]", i, st);
    }
    return -1;
}

int hangup_actions() {
    printf("QMI_wds_hangup() : %d\n", QMI_wds_hangup());
    return 1;
}

void net_pass() {
    if (is_net.load() != 0) {
        net_status = dialup_actions2();
    } else {
        hangup_actions();
        net_status = -1;
    }
    sys_sleep(1);
}

void *thread_net(void *) {
    for (;;) net_pass();
    return nullptr;
}

// Header: one byte not examined, message length and data length (16-bit
// little-endian each), then the data. The lengths come from the modem, so the
// data kept is bounded by the bytes actually received.
int qmi_msg_decode(const void *buf, unsigned int len, qmi_msg_parts *out) {
    constexpr unsigned kHeader = 5;
    if (out == nullptr) return -1;
    out->msg_len = 0;
    out->data_len = 0;
    out->data.clear();
    if (buf == nullptr || len < kHeader) {
        printf("qmi_msg_decode(): indication of %u bytes is shorter than its header.\n", buf ? len : 0u);
        return -1;
    }
    const auto *b = static_cast<const uint8_t *>(buf);
    out->msg_len = static_cast<uint16_t>(b[1] | (b[2] << 8));
    printf("qmi_msg_decode(): msg_len=%d.\n", out->msg_len);
    out->data_len = static_cast<uint16_t>(b[3] | (b[4] << 8));
    printf("qmi_msg_decode(): data_len=%d.\n", out->data_len);
    unsigned avail = len - kHeader;
    unsigned n = out->data_len;
    if (n > avail) {
        printf("qmi_msg_decode(): data_len=%d exceeds the %u bytes received.\n", out->data_len, avail);
        n = avail;
    }
    out->data.assign(b + kHeader, b + kHeader + n);
    return 0;
}

void ind_cb(qmi_client_type, unsigned int msg_id, void *ind_buf, unsigned int ind_buf_len, void *) {
    printf("ind_cb(): Start. msg id =%d\n", static_cast<int>(msg_id));
    qmi_msg_parts parts;
    if (qmi_msg_decode(ind_buf, ind_buf_len, &parts) == 0) {
        printf("ind_cb(): Now print data in the msg: ");
        for (uint8_t byte : parts.data) printf("%02x ", byte);
        printf("\n");
    }
    printf("ind_cb(): End\n");
}
