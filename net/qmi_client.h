// Our stand-in for the modem platform's QMI client library (the calls, the
// NAS and WDS messages the daemon uses, their record layouts), with an
// in-process data service behind it that tests script and that records every
// request. This unit is the only one to change when the board's library is
// linked instead.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Library results.
constexpr int QMI_NO_ERR = 0;
constexpr int QMI_INTERNAL_ERR = -1;
constexpr int QMI_SERVICE_ERR = -2;
constexpr int QMI_TIMEOUT_ERR = -3;
constexpr int QMI_PORT_NOT_OPEN_ERR = -5;
constexpr int QMI_CLIENT_PARAM_ERR = -6;
constexpr int QMI_CLIENT_ALLOC_FAILURE = -15;

// The result/error pair at the head of every response.
constexpr int32_t QMI_RESULT_SUCCESS_V01 = 0;
constexpr int32_t QMI_RESULT_FAILURE_V01 = 1;
constexpr int32_t QMI_ERR_NONE_V01 = 0;
constexpr int32_t QMI_ERR_INVALID_HANDLE_V01 = 0x09;
constexpr int32_t QMI_ERR_NO_EFFECT_V01 = 0x1A;
struct qmi_response_type_v01 {
    int32_t result;
    int32_t error;
};

// Services and messages.
constexpr int QMI_SVC_WDS = 0x01;
constexpr int QMI_SVC_NAS = 0x03;
constexpr unsigned QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01 = 0x20;
constexpr unsigned QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01 = 0x24;
constexpr unsigned QMI_WDS_START_NETWORK_INTERFACE_REQ_V01 = 0x20;
constexpr unsigned QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01 = 0x21;
constexpr unsigned QMI_WDS_GET_PKT_SRVC_STATUS_REQ_V01 = 0x22;

// Packet-service connection status.
constexpr int32_t QMI_WDS_CONNECTION_STATUS_DISCONNECTED_V01 = 1;
constexpr int32_t QMI_WDS_CONNECTION_STATUS_CONNECTED_V01 = 2;
constexpr int32_t QMI_WDS_CONNECTION_STATUS_AUTHENTICATING_V01 = 4;

struct nas_get_signal_strength_req_msg_v01 {
    uint8_t request_mask_valid;
    uint8_t reserved;
    uint16_t request_mask;
};
struct nas_signal_strength_type_v01 {
    int8_t sig_strength;   // dBm
    int32_t radio_if;
};
struct nas_get_signal_strength_resp_msg_v01 {
    qmi_response_type_v01 resp;
    nas_signal_strength_type_v01 signal_strength;
    uint8_t reserved[308];   // optional TLVs the daemon does not read
};

struct nas_serving_system_type_v01 {
    int32_t registration_state;
    int32_t cs_attach_state;
    int32_t ps_attach_state;
    int32_t selected_network;
    uint32_t radio_if_len;
    int32_t radio_if[16];
};
struct nas_get_serving_system_resp_msg_v01 {
    qmi_response_type_v01 resp;
    nas_serving_system_type_v01 serving_system;
    uint8_t reserved[1408];
};

struct wds_get_pkt_srvc_status_resp_msg_v01 {
    qmi_response_type_v01 resp;
    int32_t connection_status;
};

constexpr int QMI_WDS_APN_NAME_MAX_V01 = 150;
constexpr int QMI_WDS_USER_NAME_MAX_V01 = 127;
constexpr int QMI_WDS_PASSWORD_MAX_V01 = 127;
struct wds_start_network_interface_req_msg_v01 {
    uint8_t apn_name_valid;
    char apn_name[QMI_WDS_APN_NAME_MAX_V01 + 1];
    uint8_t username_valid;
    char username[QMI_WDS_USER_NAME_MAX_V01 + 1];
    uint8_t password_valid;
    char password[QMI_WDS_PASSWORD_MAX_V01 + 1];
    uint8_t reserved[74];   // optional TLVs the daemon leaves unset
};
struct wds_start_network_interface_resp_msg_v01 {
    qmi_response_type_v01 resp;
    uint32_t pkt_data_handle;
    uint8_t call_end_reason_valid;
    int32_t call_end_reason;
    uint8_t verbose_call_end_reason_valid;
    int32_t call_end_reason_type;
    int32_t verbose_call_end_reason;
};
struct wds_stop_network_interface_req_msg_v01 {
    uint32_t pkt_data_handle;
    uint8_t disable_autoconnect_valid;
    uint8_t disable_autoconnect;
};
struct wds_stop_network_interface_resp_msg_v01 {
    qmi_response_type_v01 resp;
};

static_assert(sizeof(nas_get_signal_strength_req_msg_v01) == 4);
static_assert(sizeof(nas_get_signal_strength_resp_msg_v01) == 324);
static_assert(sizeof(nas_get_serving_system_resp_msg_v01) == 1500);
static_assert(sizeof(wds_get_pkt_srvc_status_resp_msg_v01) == 12);
static_assert(sizeof(wds_start_network_interface_req_msg_v01) == 484);
static_assert(sizeof(wds_start_network_interface_resp_msg_v01) == 32);
static_assert(sizeof(wds_stop_network_interface_req_msg_v01) == 8);
static_assert(sizeof(wds_stop_network_interface_resp_msg_v01) == 8);

// Library calls.
struct qmi_idl_service_object;
struct qmi_client_struct;
using qmi_idl_service_object_type = qmi_idl_service_object *;
using qmi_client_type = qmi_client_struct *;
using qmi_client_error_type = int;
using qmi_client_ind_cb = void (*)(qmi_client_type user_handle, unsigned int msg_id, void *ind_buf,
                                   unsigned int ind_buf_len, void *ind_cb_data);
using qmi_sys_event_rx_hdlr = void (*)(int event_id, const void *event_info, void *user_data);

int qmi_init(qmi_sys_event_rx_hdlr event_rx_hdlr, void *user_data);
qmi_idl_service_object_type nas_get_service_object_internal_v01(int32_t idl_maj_version,
                                                                int32_t idl_min_version,
                                                                int32_t library_version);
qmi_idl_service_object_type wds_get_service_object_internal_v01(int32_t idl_maj_version,
                                                                int32_t idl_min_version,
                                                                int32_t library_version);
qmi_client_error_type qmi_client_init(const char *conn_id, qmi_idl_service_object_type service_obj,
                                      qmi_client_ind_cb ind_cb, void *ind_cb_data,
                                      qmi_client_type *user_handle);
qmi_client_error_type qmi_client_release(qmi_client_type user_handle);
qmi_client_error_type qmi_client_send_msg_sync(qmi_client_type user_handle, unsigned int msg_id,
                                               void *req_c_struct, unsigned int req_c_struct_len,
                                               void *resp_c_struct, unsigned int resp_c_struct_len,
                                               unsigned int timeout_msecs);

// The in-process data service behind the calls above. Tests script it; the
// defaults answer as a registered modem that connects at the first status query
// after a start request.
namespace qmi_service {
struct request {
    int service;                  // QMI_SVC_NAS or QMI_SVC_WDS
    unsigned msg_id;
    std::vector<uint8_t> req;     // request bytes as sent
    unsigned resp_len;
    unsigned timeout_ms;
};
void reset();                                   // defaults, no clients, no records
void set_conn_status(int32_t status);           // packet-service status now
void set_pkt_data_handle(uint32_t handle);      // handle given by the next start
void set_rssi(int8_t dbm);
void set_reg_state(int32_t state);
// After a start, the first n status queries answer "authenticating", the next
// one "connected"; n < 0: the connection never comes up.
void connect_after_polls(int n);
void fail_lib(int service, unsigned msg_id, int rc);         // library result of such sends
void fail_resp(int service, unsigned msg_id, int32_t error); // response error of such sends
void clear_failures();
void fail_object(int service, bool fail);       // get_service_object answers null
void fail_client_init(int service, int rc);     // qmi_client_init result (0: succeeds)
std::vector<request> requests();                // every send on a valid client, in order
int count(int service, unsigned msg_id);
void clear_requests();
int32_t conn_status();
uint32_t active_handle();                       // handle of the connection (0: none)
int clients();                                  // clients currently initialised
int releases();                                 // qmi_client_release calls so far
std::string last_conn_id();
}  // namespace qmi_service
