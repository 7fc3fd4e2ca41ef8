#include "net/qmi_client.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "sys/sys.h"

struct qmi_idl_service_object {
    int service;
    int32_t maj, min;
};

struct qmi_client_struct {
    bool in_use;
    int service;
    qmi_client_ind_cb ind_cb;
    void *ind_cb_data;
};

namespace {
// The library's own compatibility check: same major version and library version.
constexpr int32_t kIdlMajor = 1;
constexpr int32_t kLibraryVersion = 5;
constexpr int32_t kNasMinor = 0x31;
constexpr int32_t kWdsMinor = 0x1B;

qmi_idl_service_object g_nas_obj{QMI_SVC_NAS, kIdlMajor, kNasMinor};
qmi_idl_service_object g_wds_obj{QMI_SVC_WDS, kIdlMajor, kWdsMinor};

// Clients come from a fixed pool; the daemon never releases a working one.
std::array<qmi_client_struct, 8> g_clients{};

struct Service {
    int32_t conn_status = QMI_WDS_CONNECTION_STATUS_DISCONNECTED_V01;
    uint32_t next_handle = 0x5A17C0DE;
    uint32_t active_handle = 0;
    int connect_after = 0;
    int pending_polls = 0;
    int8_t rssi = -75;
    int32_t reg_state = 1;
    std::map<std::pair<int, unsigned>, int> lib_fail;
    std::map<std::pair<int, unsigned>, int32_t> resp_fail;
    bool object_fail_nas = false, object_fail_wds = false;
    int init_rc_nas = 0, init_rc_wds = 0;
    std::vector<qmi_service::request> log;
    int releases = 0;
    std::string conn_id;
    int next_qmi_hdl = 1;
};

std::mutex g_mu;
Service g_svc;

struct MsgShape {
    unsigned req_len, resp_len;
};

// Request size and response size of each message the service answers.
bool shape_of(int service, unsigned msg_id, MsgShape *out) {
    if (service == QMI_SVC_NAS && msg_id == QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01) {
        *out = {sizeof(nas_get_signal_strength_req_msg_v01), sizeof(nas_get_signal_strength_resp_msg_v01)};
    } else if (service == QMI_SVC_NAS && msg_id == QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01) {
        *out = {0, sizeof(nas_get_serving_system_resp_msg_v01)};
    } else if (service == QMI_SVC_WDS && msg_id == QMI_WDS_GET_PKT_SRVC_STATUS_REQ_V01) {
        *out = {0, sizeof(wds_get_pkt_srvc_status_resp_msg_v01)};
    } else if (service == QMI_SVC_WDS && msg_id == QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) {
        *out = {sizeof(wds_start_network_interface_req_msg_v01), sizeof(wds_start_network_interface_resp_msg_v01)};
    } else if (service == QMI_SVC_WDS && msg_id == QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01) {
        *out = {sizeof(wds_stop_network_interface_req_msg_v01), sizeof(wds_stop_network_interface_resp_msg_v01)};
    } else {
        return false;
    }
    return true;
}

bool valid_client(qmi_client_type c) {
    for (auto &slot : g_clients)
        if (&slot == c) return slot.in_use;
    return false;
}

qmi_response_type_v01 ok() { return {QMI_RESULT_SUCCESS_V01, QMI_ERR_NONE_V01}; }
qmi_response_type_v01 failed(int32_t err) { return {QMI_RESULT_FAILURE_V01, err}; }

// Answers one request into resp (already cleared, of the message's size). Under g_mu.
void answer(int service, unsigned msg_id, const void *req, void *resp) {
    Service &s = g_svc;
    auto rf = s.resp_fail.find({service, msg_id});
    if (service == QMI_SVC_NAS && msg_id == QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01) {
        nas_get_signal_strength_resp_msg_v01 r{};
        r.resp = ok();
        r.signal_strength.sig_strength = s.rssi;
        r.signal_strength.radio_if = 8;   // LTE
        if (rf != s.resp_fail.end()) r = {failed(rf->second), {}, {}};
        memcpy(resp, &r, sizeof r);
    } else if (service == QMI_SVC_NAS && msg_id == QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01) {
        nas_get_serving_system_resp_msg_v01 r{};
        r.resp = ok();
        r.serving_system.registration_state = s.reg_state;
        r.serving_system.ps_attach_state = s.reg_state == 1 ? 1 : 2;
        r.serving_system.selected_network = 2;   // 3GPP
        r.serving_system.radio_if_len = 1;
        r.serving_system.radio_if[0] = 8;
        if (rf != s.resp_fail.end()) r = {failed(rf->second), {}, {}};
        memcpy(resp, &r, sizeof r);
    } else if (service == QMI_SVC_WDS && msg_id == QMI_WDS_GET_PKT_SRVC_STATUS_REQ_V01) {
        wds_get_pkt_srvc_status_resp_msg_v01 r{};
        if (rf != s.resp_fail.end()) {
            r.resp = failed(rf->second);
        } else {
            r.resp = ok();
            if (s.conn_status == QMI_WDS_CONNECTION_STATUS_AUTHENTICATING_V01 && s.pending_polls >= 0) {
                if (s.pending_polls == 0)
                    s.conn_status = QMI_WDS_CONNECTION_STATUS_CONNECTED_V01;
                else
                    s.pending_polls--;
            }
            r.connection_status = s.conn_status;
        }
        memcpy(resp, &r, sizeof r);
    } else if (service == QMI_SVC_WDS && msg_id == QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) {
        wds_start_network_interface_resp_msg_v01 r{};
        if (rf != s.resp_fail.end()) {
            r.resp = failed(rf->second);
        } else if (s.conn_status == QMI_WDS_CONNECTION_STATUS_CONNECTED_V01) {
            r.resp = failed(QMI_ERR_NO_EFFECT_V01);
            r.pkt_data_handle = s.active_handle;
        } else {
            (void)req;
            r.resp = ok();
            s.active_handle = s.next_handle;
            r.pkt_data_handle = s.active_handle;
            s.pending_polls = s.connect_after;
            s.conn_status = s.connect_after < 0 ? QMI_WDS_CONNECTION_STATUS_DISCONNECTED_V01
                                                : QMI_WDS_CONNECTION_STATUS_AUTHENTICATING_V01;
            if (s.connect_after < 0) s.active_handle = 0;
        }
        memcpy(resp, &r, sizeof r);
    } else if (service == QMI_SVC_WDS && msg_id == QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01) {
        wds_stop_network_interface_resp_msg_v01 r{};
        wds_stop_network_interface_req_msg_v01 q;
        memcpy(&q, req, sizeof q);
        if (rf != s.resp_fail.end()) {
            r.resp = failed(rf->second);
        } else if (s.active_handle == 0 || q.pkt_data_handle != s.active_handle) {
            r.resp = failed(QMI_ERR_INVALID_HANDLE_V01);
        } else {
            r.resp = ok();
            s.active_handle = 0;
            s.conn_status = QMI_WDS_CONNECTION_STATUS_DISCONNECTED_V01;
        }
        memcpy(resp, &r, sizeof r);
    }
}
}  // namespace

int qmi_init(qmi_sys_event_rx_hdlr, void *) {
    std::lock_guard<std::mutex> l(g_mu);
    return g_svc.next_qmi_hdl++;
}

qmi_idl_service_object_type nas_get_service_object_internal_v01(int32_t maj, int32_t, int32_t lib) {
    std::lock_guard<std::mutex> l(g_mu);
    if (g_svc.object_fail_nas || maj != kIdlMajor || lib != kLibraryVersion) return nullptr;
    return &g_nas_obj;
}

qmi_idl_service_object_type wds_get_service_object_internal_v01(int32_t maj, int32_t, int32_t lib) {
    std::lock_guard<std::mutex> l(g_mu);
    if (g_svc.object_fail_wds || maj != kIdlMajor || lib != kLibraryVersion) return nullptr;
    return &g_wds_obj;
}

qmi_client_error_type qmi_client_init(const char *conn_id, qmi_idl_service_object_type service_obj,
                                      qmi_client_ind_cb ind_cb, void *ind_cb_data,
                                      qmi_client_type *user_handle) {
    if (user_handle == nullptr) return QMI_CLIENT_PARAM_ERR;
    std::lock_guard<std::mutex> l(g_mu);
    *user_handle = nullptr;
    if (service_obj != &g_nas_obj && service_obj != &g_wds_obj) return QMI_CLIENT_PARAM_ERR;
    g_svc.conn_id = conn_id ? conn_id : "";
    if (g_svc.conn_id.rfind("rmnet", 0) != 0) return QMI_PORT_NOT_OPEN_ERR;
    int rc = service_obj->service == QMI_SVC_NAS ? g_svc.init_rc_nas : g_svc.init_rc_wds;
    if (rc != QMI_NO_ERR) return rc;
    for (auto &slot : g_clients) {
        if (slot.in_use) continue;
        slot = {true, service_obj->service, ind_cb, ind_cb_data};
        *user_handle = &slot;
        return QMI_NO_ERR;
    }
    return QMI_CLIENT_ALLOC_FAILURE;
}

qmi_client_error_type qmi_client_release(qmi_client_type user_handle) {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.releases++;
    if (!valid_client(user_handle)) return QMI_CLIENT_PARAM_ERR;
    user_handle->in_use = false;
    return QMI_NO_ERR;
}

// The library sends every field little-endian, as the modem reads it: the
// record holds those bytes, not the host's struct, so a big-endian board
// records what a little-endian one does. Only these fields are wider than a byte.
static void to_wire_order(int service, unsigned msg_id, std::vector<uint8_t> *req) {
    if constexpr (std::endian::native == std::endian::little) return;
    auto swap = [req](size_t off, size_t n) {
        if (off + n <= req->size()) std::reverse(req->begin() + off, req->begin() + off + n);
    };
    if (service == QMI_SVC_NAS && msg_id == QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01)
        swap(offsetof(nas_get_signal_strength_req_msg_v01, request_mask), 2);
    if (service == QMI_SVC_WDS && msg_id == QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01)
        swap(offsetof(wds_stop_network_interface_req_msg_v01, pkt_data_handle), 4);
}

qmi_client_error_type qmi_client_send_msg_sync(qmi_client_type user_handle, unsigned int msg_id,
                                               void *req_c_struct, unsigned int req_c_struct_len,
                                               void *resp_c_struct, unsigned int resp_c_struct_len,
                                               unsigned int timeout_msecs) {
    int rc = QMI_NO_ERR;
    {
        std::lock_guard<std::mutex> l(g_mu);
        if (!valid_client(user_handle)) return QMI_CLIENT_PARAM_ERR;
        int service = user_handle->service;
        qmi_service::request rec{service, msg_id, {}, resp_c_struct_len, timeout_msecs};
        if (req_c_struct != nullptr && req_c_struct_len > 0) {
            const auto *b = static_cast<const uint8_t *>(req_c_struct);
            rec.req.assign(b, b + req_c_struct_len);
            to_wire_order(service, msg_id, &rec.req);
        }
        g_svc.log.push_back(std::move(rec));

        MsgShape shape;
        if (!shape_of(service, msg_id, &shape)) return QMI_SERVICE_ERR;
        if (req_c_struct_len != shape.req_len || (shape.req_len > 0 && req_c_struct == nullptr) ||
            resp_c_struct == nullptr || resp_c_struct_len < shape.resp_len)
            return QMI_CLIENT_PARAM_ERR;
        auto lf = g_svc.lib_fail.find({service, msg_id});
        if (lf != g_svc.lib_fail.end()) {
            rc = lf->second;
        } else {
            memset(resp_c_struct, 0, resp_c_struct_len);
            answer(service, msg_id, req_c_struct, resp_c_struct);
        }
    }
    // A modem that does not answer keeps the caller for the whole time-out.
    if (rc == QMI_TIMEOUT_ERR) sys_usleep(static_cast<uint64_t>(timeout_msecs) * 1000u);
    return rc;
}

namespace qmi_service {
void reset() {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc = Service{};
    for (auto &slot : g_clients) slot = {};
}
void set_conn_status(int32_t status) {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.conn_status = status;
    if (status == QMI_WDS_CONNECTION_STATUS_CONNECTED_V01 && g_svc.active_handle == 0)
        g_svc.active_handle = g_svc.next_handle;
    if (status == QMI_WDS_CONNECTION_STATUS_DISCONNECTED_V01) g_svc.active_handle = 0;
}
void set_pkt_data_handle(uint32_t handle) {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.next_handle = handle;
}
void set_rssi(int8_t dbm) {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.rssi = dbm;
}
void set_reg_state(int32_t state) {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.reg_state = state;
}
void connect_after_polls(int n) {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.connect_after = n;
}
void fail_lib(int service, unsigned msg_id, int rc) {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.lib_fail[{service, msg_id}] = rc;
}
void fail_resp(int service, unsigned msg_id, int32_t error) {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.resp_fail[{service, msg_id}] = error;
}
void clear_failures() {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.lib_fail.clear();
    g_svc.resp_fail.clear();
}
void fail_object(int service, bool fail) {
    std::lock_guard<std::mutex> l(g_mu);
    (service == QMI_SVC_NAS ? g_svc.object_fail_nas : g_svc.object_fail_wds) = fail;
}
void fail_client_init(int service, int rc) {
    std::lock_guard<std::mutex> l(g_mu);
    (service == QMI_SVC_NAS ? g_svc.init_rc_nas : g_svc.init_rc_wds) = rc;
}
std::vector<request> requests() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_svc.log;
}
int count(int service, unsigned msg_id) {
    std::lock_guard<std::mutex> l(g_mu);
    int n = 0;
    for (const auto &r : g_svc.log)
        if (r.service == service && r.msg_id == msg_id) n++;
    return n;
}
void clear_requests() {
    std::lock_guard<std::mutex> l(g_mu);
    g_svc.log.clear();
}
int32_t conn_status() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_svc.conn_status;
}
uint32_t active_handle() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_svc.active_handle;
}
int clients() {
    std::lock_guard<std::mutex> l(g_mu);
    int n = 0;
    for (const auto &slot : g_clients) n += slot.in_use ? 1 : 0;
    return n;
}
int releases() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_svc.releases;
}
std::string last_conn_id() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_svc.conn_id;
}
}  // namespace qmi_service
