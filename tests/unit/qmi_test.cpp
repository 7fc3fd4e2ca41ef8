// The data connection against the scripted QMI data service, on the virtual clock.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "modem/sim7100.h"
#include "net/data_conn.h"
#include "net/qmi_client.h"
#include "tests/fakes/sys_fake.h"

namespace {
namespace qs = qmi_service;

constexpr uint64_t kSec = 1000000;

int starts() { return qs::count(QMI_SVC_WDS, QMI_WDS_START_NETWORK_INTERFACE_REQ_V01); }
int stops() { return qs::count(QMI_SVC_WDS, QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01); }
int status_queries() { return qs::count(QMI_SVC_WDS, QMI_WDS_GET_PKT_SRVC_STATUS_REQ_V01); }

qs::request last(int service, unsigned msg_id) {
    qs::request out{};
    for (const auto &r : qs::requests())
        if (r.service == service && r.msg_id == msg_id) out = r;
    return out;
}

std::string field(const std::vector<uint8_t> &req, size_t off, size_t size) {
    std::string s(reinterpret_cast<const char *>(req.data()) + off, size);
    return s.substr(0, s.find('\0'));
}

class Qmi : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        qs::reset();
        ASSERT_GT(QMI_Init(), 0);
        ASSERT_EQ(QMI_nas_getObj(), 0);
        ASSERT_EQ(QMI_wds_getObj(), 0);
        qs::clear_requests();
        is_net = 1;
        net_status = -1;
        memset(modem_APN, 0, sizeof modem_APN);
        memset(modem_usr, 0, sizeof modem_usr);
        memset(modem_pwd, 0, sizeof modem_pwd);
    }
};

TEST_F(Qmi, ClientsOpenOnRmnet0WithTheRightVersions) {
    EXPECT_EQ(qs::clients(), 2);
    EXPECT_EQ(qs::last_conn_id(), "rmnet0");
    // The library refuses other major or library versions.
    EXPECT_EQ(nas_get_service_object_internal_v01(2, 0x31, 5), nullptr);
    EXPECT_EQ(wds_get_service_object_internal_v01(1, 0x1B, 4), nullptr);
}

TEST_F(Qmi, InitFailuresAreReportedAndReleased) {
    qs::fail_object(QMI_SVC_NAS, true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_nas_getObj(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "main(): nas_get_service_object_v01() failed.\n");

    qs::fail_object(QMI_SVC_WDS, true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_wds_getObj(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "main(): wds_get_service_object_v01() failed.\n");

    qs::fail_object(QMI_SVC_NAS, false);
    qs::fail_object(QMI_SVC_WDS, false);
    qs::fail_client_init(QMI_SVC_NAS, QMI_INTERNAL_ERR);
    qs::fail_client_init(QMI_SVC_WDS, QMI_SERVICE_ERR);
    int released = qs::releases();
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_nas_getObj(), -1);
    EXPECT_EQ(QMI_wds_getObj(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "main(): qmi_client_init() failed. nas_rc=-1.\n"
              "main(): qmi_client_init() failed. wds_rc=-2.\n");
    EXPECT_EQ(qs::releases(), released + 2);
    EXPECT_EQ(qs::clients(), 2);   // the working clients of SetUp are not touched
}

TEST_F(Qmi, SignalStrengthTableEdges) {
    const struct {
        int dbm, level;
    } table[] = {{-128, 0}, {-113, 0}, {-112, 99}, {-111, 1}, {-110, 1}, {-109, 2}, {-54, 29}, {-53, 30},
                 {-52, 99}, {-51, 31}, {-1, 31},   {0, 99},    {1, 99},    {127, 99}};
    for (const auto &t : table) {
        qs::set_rssi(static_cast<int8_t>(t.dbm));
        testing::internal::CaptureStdout();
        EXPECT_EQ(QMI_nas_getRSSI(), t.level) << "dBm " << t.dbm;
        std::string out = testing::internal::GetCapturedStdout();
        if (t.dbm == -54) {
            EXPECT_EQ(out, "main(): (QMI_NAS_GET_SIGNAL_STRENGTH_RESP_MSG_V01) Start.\nrssi=-54\n");
        }
    }
    qs::request r = last(QMI_SVC_NAS, QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01);
    EXPECT_EQ(r.req, std::vector<uint8_t>(4, 0));
    EXPECT_EQ(r.resp_len, 324u);
    EXPECT_EQ(r.timeout_ms, 15000u);
}

TEST_F(Qmi, SignalStrengthErrors) {
    qs::set_rssi(-60);
    qs::fail_resp(QMI_SVC_NAS, QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01, 0x4A);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_nas_getRSSI(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("rssi="), std::string::npos);

    qs::clear_failures();
    qs::fail_lib(QMI_SVC_NAS, QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01, QMI_TIMEOUT_ERR);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_nas_getRSSI(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("main(): qmi_client_send_msg_sync() failed. nas_rc=-3.\n"), std::string::npos);
    EXPECT_EQ(out.find("rssi="), std::string::npos);
    EXPECT_EQ(fake_sys::slept_us(), 15 * kSec);   // the library waited its time-out
}

TEST_F(Qmi, ServingSystem) {
    qs::set_reg_state(1);
    EXPECT_EQ(QMI_nas_getRegStatus(), 1);
    qs::set_reg_state(3);
    EXPECT_EQ(QMI_nas_getRegStatus(), 3);
    qs::request r = last(QMI_SVC_NAS, QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01);
    EXPECT_TRUE(r.req.empty());
    EXPECT_EQ(r.resp_len, 1500u);
    EXPECT_EQ(r.timeout_ms, 15000u);

    qs::fail_resp(QMI_SVC_NAS, QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01, 3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_nas_getRegStatus(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "main(): (QMI_NAS_GET_SERVING_SYSTEM_RESP_MSG_V01) Start.\nmain(): Error value=3.\n");
    qs::clear_failures();
    qs::fail_lib(QMI_SVC_NAS, QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01, QMI_INTERNAL_ERR);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_nas_getRegStatus(), 0);
    testing::internal::GetCapturedStdout();
}

TEST_F(Qmi, PacketServiceStatus) {
    EXPECT_EQ(QMI_wds_CheckDialupStatus(), 1);
    qs::set_conn_status(2);
    EXPECT_EQ(QMI_wds_CheckDialupStatus(), 2);
    qs::request r = last(QMI_SVC_WDS, QMI_WDS_GET_PKT_SRVC_STATUS_REQ_V01);
    EXPECT_TRUE(r.req.empty());
    EXPECT_EQ(r.resp_len, 12u);
    EXPECT_EQ(r.timeout_ms, 15000u);

    qs::fail_lib(QMI_SVC_WDS, QMI_WDS_GET_PKT_SRVC_STATUS_REQ_V01, QMI_SERVICE_ERR);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_wds_CheckDialupStatus(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "main(): qmi_client_send_msg_sync() failed. rc=-2.\n");
    qs::clear_failures();
    qs::fail_resp(QMI_SVC_WDS, QMI_WDS_GET_PKT_SRVC_STATUS_REQ_V01, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_wds_CheckDialupStatus(), 0);
    testing::internal::GetCapturedStdout();
}

TEST_F(Qmi, DialupSendsTheTextsWithTheirValidFlags) {
    using Req = wds_start_network_interface_req_msg_v01;
    // Empty texts: flags set, strings empty.
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_wds_dialup(modem_APN, modem_usr, modem_pwd), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "main(): (QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start.\nAPN: \nUsername: \nPassword: \n");
    qs::request r = last(QMI_SVC_WDS, QMI_WDS_START_NETWORK_INTERFACE_REQ_V01);
    ASSERT_EQ(r.req.size(), 484u);
    EXPECT_EQ(r.resp_len, 32u);
    EXPECT_EQ(r.timeout_ms, 30000u);
    EXPECT_EQ(r.req[offsetof(Req, apn_name_valid)], 1);
    EXPECT_EQ(r.req[offsetof(Req, username_valid)], 1);
    EXPECT_EQ(r.req[offsetof(Req, password_valid)], 1);
    size_t nonzero = 0;
    for (uint8_t b : r.req) nonzero += b != 0;
    EXPECT_EQ(nonzero, 3u);   // only the three flags

    // Texts from the globals; a text filling its whole array is cut, not overrun.
    qs::set_conn_status(1);
    snprintf(modem_APN, sizeof modem_APN, "internet.example");
    snprintf(modem_usr, sizeof modem_usr, "user");
    memset(modem_pwd, 'p', sizeof modem_pwd);   // no terminator
    qs::connect_after_polls(0);
    EXPECT_EQ(dialup_actions2(), 0);
    r = last(QMI_SVC_WDS, QMI_WDS_START_NETWORK_INTERFACE_REQ_V01);
    EXPECT_EQ(field(r.req, offsetof(Req, apn_name), sizeof(Req::apn_name)), "internet.example");
    EXPECT_EQ(field(r.req, offsetof(Req, username), sizeof(Req::username)), "user");
    EXPECT_EQ(field(r.req, offsetof(Req, password), sizeof(Req::password)), std::string(31, 'p'));
}

TEST_F(Qmi, EstablishedConnectionIsNotDialledAgain) {
    qs::set_conn_status(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dialup_actions2(), 0);
    net_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(starts(), 0);
    EXPECT_EQ(status_queries(), 2);
    EXPECT_EQ(net_status, 0);
    EXPECT_EQ(out.find("had dialup!"), std::string::npos);   // isDebug stays 0
    EXPECT_EQ(fake_sys::slept_us(), 1 * kSec);            // only the pass's pause

    int32_t saved = isDebug;
    isDebug = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(dialup_actions2(), 0);
    out = testing::internal::GetCapturedStdout();
    isDebug = saved;
    EXPECT_EQ(out, "had dialup!\n");
    EXPECT_EQ(starts(), 0);
}

TEST_F(Qmi, DialupPollsFiftyTimesEveryHundredMilliseconds) {
    qs::connect_after_polls(-1);   // the start is accepted, the connection never comes up
    testing::internal::CaptureStdout();
    EXPECT_EQ(dialup_actions2(), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(starts(), 1);
    EXPECT_EQ(status_queries(), 51);
    EXPECT_EQ(fake_sys::slept_us(), 3 * kSec + 50 * 100000);
    EXPECT_NE(out.find("Dialup result=1\r\n"), std::string::npos);

    // The next pass of thread_net dials again.
    net_pass();
    EXPECT_EQ(net_status, -1);
    EXPECT_EQ(starts(), 2);
}

TEST_F(Qmi, DialupReadyAfterSomePolls) {
    qs::connect_after_polls(4);
    testing::internal::CaptureStdout();
    net_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(net_status, 0);
    EXPECT_NE(out.find("[0:4][1:4][2:4][3:4]dialup ready\n"), std::string::npos);
    EXPECT_EQ(fake_sys::slept_us(), 3 * kSec + 5 * 100000 + 1 * kSec);
    // Up now: the following passes only query.
    net_pass();
    net_pass();
    EXPECT_EQ(starts(), 1);
    EXPECT_EQ(net_status, 0);
    // The network drops it: dialled again.
    qs::set_conn_status(1);
    qs::connect_after_polls(0);
    net_pass();
    EXPECT_EQ(starts(), 2);
    EXPECT_EQ(net_status, 0);
}

TEST_F(Qmi, NotWantedSendsAStopOnEveryPass) {
    is_net = 0;
    for (int pass = 1; pass <= 3; pass++) {
        net_status = 0;
        testing::internal::CaptureStdout();
        net_pass();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(stops(), pass);
        EXPECT_EQ(net_status, -1);
        // No connection exists: the service refuses the stop.
        if (pass == 1) {
            EXPECT_EQ(out, "main(): Error value=9.\nQMI_wds_hangup() : 0\n");
        }
    }
    EXPECT_EQ(starts(), 0);
    EXPECT_EQ(status_queries(), 0);
    EXPECT_EQ(fake_sys::slept_us(), 3 * kSec);
}

TEST_F(Qmi, HangupCarriesTheHandleOfTheLastStart) {
    qs::set_pkt_data_handle(0xCAFEBABE);
    net_pass();
    ASSERT_EQ(net_status, 0);
    is_net = 0;
    testing::internal::CaptureStdout();
    net_pass();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "main(): QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01) Success.\nQMI_wds_hangup() : 1\n");
    qs::request r = last(QMI_SVC_WDS, QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01);
    ASSERT_EQ(r.req.size(), 8u);
    EXPECT_EQ(r.req, (std::vector<uint8_t>{0xBE, 0xBA, 0xFE, 0xCA, 0, 0, 0, 0}));
    EXPECT_EQ(r.resp_len, 8u);
    EXPECT_EQ(r.timeout_ms, 15000u);
    EXPECT_EQ(qs::conn_status(), 1);
    EXPECT_EQ(net_status, -1);
}

TEST_F(Qmi, StartAndStopErrors) {
    qs::fail_lib(QMI_SVC_WDS, QMI_WDS_START_NETWORK_INTERFACE_REQ_V01, QMI_TIMEOUT_ERR);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_wds_dialup("apn", "", ""), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake_sys::slept_us(), 30 * kSec);

    qs::clear_failures();
    qs::fail_resp(QMI_SVC_WDS, QMI_WDS_START_NETWORK_INTERFACE_REQ_V01, 14);
    int started = starts();
    testing::internal::CaptureStdout();
    EXPECT_EQ(dialup_actions2(), -1);   // the polls still run, nothing comes up
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(starts(), started + 1);
    EXPECT_EQ(status_queries(), 51);

    // The hang-up's own errors, then a good one.
    qs::clear_failures();
    qs::set_pkt_data_handle(77);
    EXPECT_EQ(QMI_wds_dialup("", "", ""), 1);
    qs::fail_lib(QMI_SVC_WDS, QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01, QMI_INTERNAL_ERR);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_wds_hangup(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "main(): qmi_client_send_msg_sync() failed. wds_rc=-1.\n");
    qs::clear_failures();
    qs::fail_resp(QMI_SVC_WDS, QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01, 26);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QMI_wds_hangup(), 0);
    testing::internal::GetCapturedStdout();
    qs::clear_failures();
    EXPECT_EQ(QMI_wds_hangup(), 1);
}

TEST_F(Qmi, HangupFromAnotherThreadWhileDialling) {
    // The telemetry thread hangs up while thread_net works the same records.
    qs::connect_after_polls(2);
    std::thread t([] {
        for (int i = 0; i < 20; i++) net_pass();
    });
    for (int i = 0; i < 20; i++) hangup_actions();
    t.join();
    EXPECT_GE(starts(), 1);
    EXPECT_EQ(stops(), 20);
}

TEST(QmiDecode, SplitsTheHeader) {
    const std::vector<uint8_t> ind = {0x04, 0x08, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC};
    qmi_msg_parts p;
    testing::internal::CaptureStdout();
    ASSERT_EQ(qmi_msg_decode(ind.data(), static_cast<unsigned>(ind.size()), &p), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(p.msg_len, 8);
    EXPECT_EQ(p.data_len, 3);
    EXPECT_EQ(p.data, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));

    // Fewer data bytes declared than received: only those are taken.
    const std::vector<uint8_t> more = {0, 0x01, 0x01, 0x01, 0x00, 0x11, 0x22};
    ASSERT_EQ(qmi_msg_decode(more.data(), static_cast<unsigned>(more.size()), &p), 0);
    EXPECT_EQ(p.msg_len, 0x101);
    EXPECT_EQ(p.data, (std::vector<uint8_t>{0x11}));
}

TEST(QmiDecode, LengthsLargerThanTheBufferAreBounded) {
    // Exact-size heap copies, so the address sanitizer sees any read past them.
    auto *ind = new uint8_t[7]{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02};
    qmi_msg_parts p;
    testing::internal::CaptureStdout();
    ASSERT_EQ(qmi_msg_decode(ind, 7, &p), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(p.msg_len, 65535);
    EXPECT_EQ(p.data_len, 65535);
    EXPECT_EQ(p.data, (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_NE(out.find("exceeds the 2 bytes received"), std::string::npos);

    ASSERT_EQ(qmi_msg_decode(ind, 5, &p), 0);   // header only
    EXPECT_TRUE(p.data.empty());
    EXPECT_EQ(qmi_msg_decode(ind, 4, &p), -1);   // not even a header
    EXPECT_EQ(qmi_msg_decode(nullptr, 100, &p), -1);
    delete[] ind;
}

TEST(QmiDecode, IndicationHandlerPrintsTheData) {
    std::vector<uint8_t> ind = {0x01, 0x07, 0x00, 0x02, 0x00, 0x0F, 0xA0};
    testing::internal::CaptureStdout();
    ind_cb(nullptr, 0x25, ind.data(), static_cast<unsigned>(ind.size()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ind_cb(): Start. msg id =37\n"
              "qmi_msg_decode(): msg_len=7.\n"
              "qmi_msg_decode(): data_len=2.\n"
              "ind_cb(): Now print data in the msg: 0f a0 \n"
              "ind_cb(): End\n");
    testing::internal::CaptureStdout();
    ind_cb(nullptr, 1, ind.data(), 3, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Now print data"), std::string::npos);
    EXPECT_NE(out.find("ind_cb(): End\n"), std::string::npos);
}
}  // namespace
