// SMS over AT: the mailboxes, the send and receive sequences against a
// scripted modem, and the hostile answers a received message can bring.
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "modbus/map_layout.h"
#include "modem/sms_func.h"
#include "modem/sms_rx.h"

#include "modbus/regmap.h"
#include "tests/unit/map_fixture.h"
#include "tests/unit/modem_fixture.h"

using fake_serial::answer;
using fake_serial::answer_once;

namespace {
const char *kPrompt = "\r\n> ";
const char *kSent = "\r\n+CMGS: 12\r\n\r\nOK\r\n";
// The stored message ABC from 0123456789, 26/01/20 12:03:40.
const char *kAbcPdu = "06912143658709040A8110325476980000621002213004230341E110";

std::string storage(int used, int total) {
    return "\r\n+CPMS: \"SM\"," + std::to_string(used) + "," + std::to_string(total) + ",\"SM\"," +
           std::to_string(used) + "," + std::to_string(total) + ",\"SM\",0,50\r\n\r\nOK\r\n";
}

sms_message ucs2(const char *phone, std::initializer_list<uint8_t> bytes) {
    sms_message m{};
    snprintf(m.phone, sizeof m.phone, "%s", phone);
    m.mode = 8;
    for (uint8_t b : bytes) m.text[m.length++] = b;
    return m;
}
}  // namespace

class SmsTest : public ModemTest {
protected:
    void SetUp() override {
        ModemTest::SetUp();
        healthy_modem();
    }
    // The two halves of the send, as the modem received them.
    static std::string count_cmd() { return at(fake_serial::find("AT+CMGS=")); }
    static std::string pdu_cmd() {
        int i = fake_serial::find("AT+CMGS=");
        return i < 0 ? "" : at(i + 1);
    }
    static std::string at(int i) {
        auto s = fake_serial::sent();
        return i < 0 || i >= static_cast<int>(s.size()) ? "" : s[static_cast<size_t>(i)].data;
    }
};

TEST_F(SmsTest, SendOneTakesTheMessageOnceUntilThePassFreesTheMailbox) {
    sms_message m = ucs2("0123456789", {0x4F, 0x60, 0x59, 0x7D});
    m.text[4] = 0xEE;   // beyond length: not copied
    strcpy(m.time, "xx");
    EXPECT_EQ(sms_send_one(m), 1);
    EXPECT_EQ(send_sms_status.load(), 1);
    EXPECT_EQ(is_send_sms.load(), 1);
    EXPECT_STREQ(send_sms.phone, "0123456789");
    EXPECT_EQ(send_sms.length, 4);
    EXPECT_EQ(send_sms.text[4], 0);
    EXPECT_STREQ(send_sms.time, "");

    sms_message other = ucs2("999", {0x41});
    EXPECT_EQ(sms_send_one(other), 0);
    EXPECT_STREQ(send_sms.phone, "0123456789");
    EXPECT_EQ(send_sms_status.load(), 1);

    // A length over the 160 bytes of the field is cut.
    is_send_sms = 0;
    sms_message big{};
    strcpy(big.phone, "1");
    big.length = 200;
    EXPECT_EQ(sms_send_one(big), 1);
    EXPECT_EQ(send_sms.length, 160);
}

TEST_F(SmsTest, SendSuccess) {
    answer("AT+CMGS=", kPrompt);
    answer("0011", kSent);
    int32_t status_during = -1, flag_during = -1;
    fake_serial::answer_with("0011", [&](const std::string &) {
        status_during = send_sms_status.load();
        flag_during = is_send_sms.load();
        return std::string(kSent);
    });
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x4F, 0x60, 0x59, 0x7D})), 1);
    testing::internal::CaptureStdout();
    get_modem_info();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_cmd(), "AT+CMGS=17\r");
    EXPECT_EQ(pdu_cmd(), "0011000A8110325476980008AA044F60597D\x1A");
    auto s = fake_serial::sent();
    EXPECT_EQ(s[static_cast<size_t>(fake_serial::find("AT+CMGS="))].wait_ms, 100);
    // Read as it arrives: the confirmation ends the send at once.
    EXPECT_EQ(s[static_cast<size_t>(fake_serial::find("0011"))].wait_ms, 100);
    EXPECT_LE(ms_between(fake_serial::find("0011"), fake_serial::find("0011") + 1), 200.0);
    EXPECT_EQ(status_during, 2);
    EXPECT_EQ(flag_during, 1);
    EXPECT_EQ(send_sms_status.load(), 3);
    EXPECT_EQ(is_send_sms.load(), 0);
    EXPECT_STREQ(send_sms_result, kSent);
    EXPECT_NE(out.find("====== Send SMS =======\nsend_sms_status --> 3\r\n====== End SMS ======\n"), std::string::npos);
}

TEST_F(SmsTest, ErrorToTheCountCommandSendsNoPdu) {
    strcpy(send_sms_result, "previous answer");
    answer("AT+CMGS=", "\r\nERROR\r\n");
    answer("0011", kSent);
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x00, 0x41})), 1);
    fake_serial::clear_sent();
    get_modem_info();
    int c = fake_serial::find("AT+CMGS=");
    ASSERT_GE(c, 0);
    EXPECT_EQ(fake_serial::find("0011"), -1);
    EXPECT_EQ(send_sms_status.load(), 4);
    EXPECT_EQ(is_send_sms.load(), 0);
    EXPECT_STREQ(send_sms_result, "previous answer");
    // About 100 ms after the count command ESC cancels the PDU input, then the pass goes on.
    EXPECT_DOUBLE_EQ(ms_between(c, c + 1), 100.0);
    EXPECT_EQ(fake_serial::sent()[static_cast<size_t>(c + 1)].data, "\x1B");
    EXPECT_EQ(fake_serial::sent()[static_cast<size_t>(c + 2)].data, "AT+CPMS?\r\n");

    // A stale ERROR before the prompt does not stand for the answer, and no
    // prompt at all is cancelled too.
    answer("AT+CMGS=", "");
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x00, 0x41})), 1);
    fake_serial::clear_sent();
    get_modem_info();
    c = fake_serial::find("AT+CMGS=");
    EXPECT_EQ(fake_serial::sent()[static_cast<size_t>(c + 1)].data, "\x1B");
    EXPECT_EQ(fake_serial::find("0011"), -1);
    EXPECT_EQ(send_sms_status.load(), 4);
}

TEST_F(SmsTest, MissingOrMisplacedConfirmationFails) {
    answer("AT+CMGS=", kPrompt);
    for (const char *reply : {"\r\nOK\r\n", "\r\n+CMGS: 12\r\n", "\r\nOK\r\n+CMGS: 12\r\n", "", "\r\nERROR\r\n"}) {
        answer_once("0011", reply);
        ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x00, 0x41})), 1);
        get_modem_info();
        EXPECT_EQ(send_sms_status.load(), 4) << reply;
        EXPECT_EQ(is_send_sms.load(), 0);
        EXPECT_STREQ(send_sms_result, reply);
    }
}

TEST_F(SmsTest, SlowNetworkIsWaitedForAsTheSettingSays) {
    answer("AT+CMGS=", kPrompt);
    answer("AT\r", "\r\nOK\r\n");
    // Confirmed in pieces after 3.5 s, 59 s and 150 s: sent, once.
    for (int delay : {3500, 59000, 150000}) {
        fake_serial::answer_with("0011", [delay](const std::string &) {
            fake_serial::inject("S: 7\r\n\r\nOK\r\n", delay + 50);
            return std::string("\r\n+CMG");
        }, delay);
        ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x00, 0x41})), 1);
        fake_serial::clear_sent();
        get_modem_info();
        EXPECT_EQ(send_sms_status.load(), 3) << delay;
        EXPECT_EQ(send_sms_error.load(), 0);
        EXPECT_EQ(fake_serial::count("0011"), 1);
        EXPECT_EQ(fake_serial::count("AT\r"), 0);
    }
    // Nothing within the default 180 s: failed, and the modem is brought
    // back in step ("AT" until OK) before the pass goes on.
    answer("0011", "");
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x00, 0x41})), 1);
    fake_serial::clear_sent();
    uint64_t t0 = fake_sys::slept_us();
    get_modem_info();
    EXPECT_EQ(send_sms_status.load(), 4);
    EXPECT_EQ(send_sms_error.load(), SMS_ERR_NO_CONFIRM);
    int pdu = fake_serial::find("0011");
    int at = fake_serial::find("AT\r");
    ASSERT_EQ(at, pdu + 1);
    EXPECT_EQ(fake_serial::find("AT+CPMS?"), at + 1);
    EXPECT_GE(ms_between(pdu, at), 180000.0);
    EXPECT_LT(fake_sys::slept_us() - t0, 200000000u);

    // A 20 s setting, and a confirmation after 22 s: caught while the modem
    // is brought back in step, so the message counts as sent (no second SMS).
    auto map = std::make_unique<test_map::Map>();
    ASSERT_TRUE(map->ok());
    hr_set(layout::HR_MODEM_SEND_TIMEOUT, 20);
    EXPECT_EQ(modem_send_timeout_s(), 20);
    answer("0011", "\r\n+CMGS: 9\r\n\r\nOK\r\n", 22000);
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x00, 0x41})), 1);
    fake_serial::clear_sent();
    get_modem_info();
    EXPECT_EQ(send_sms_status.load(), 3);
    EXPECT_EQ(send_sms_error.load(), 0);
    EXPECT_EQ(fake_serial::count("0011"), 1);
    hr_set(layout::HR_MODEM_SEND_TIMEOUT, 1);   // below the least: 10 s
    EXPECT_EQ(modem_send_timeout_s(), 10);
    map.reset();
    EXPECT_EQ(modem_send_timeout_s(), 180);
}

TEST_F(SmsTest, TheCauseOfAFailedSendIsPublished) {
    answer("AT+CMGS=", kPrompt);
    struct Case {
        const char *reply;
        int32_t error;
    } cases[] = {
        {"\r\n+CMS ERROR: 21\r\n", 21},
        {"\r\n+CMS ERROR: network timeout\r\n", 332},
        {"\r\n+CME ERROR: 14\r\n", 314},
        {"\r\n+CME ERROR: SIM busy\r\n", 314},
        {"\r\nERROR\r\n", SMS_ERR_PLAIN},
    };
    for (const Case &c : cases) {
        answer("0011", c.reply);
        ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x00, 0x41})), 1);
        get_modem_info();
        EXPECT_EQ(send_sms_status.load(), 4) << c.reply;
        EXPECT_EQ(send_sms_error.load(), c.error) << c.reply;
    }
    // An error to the count command carries its code too.
    answer("AT+CMGS=", "\r\n+CMS ERROR: 331\r\n");
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x00, 0x41})), 1);
    get_modem_info();
    EXPECT_EQ(send_sms_error.load(), 331);
    // A success clears it.
    answer("AT+CMGS=", kPrompt);
    answer("0011", kSent);
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x00, 0x41})), 1);
    get_modem_info();
    EXPECT_EQ(send_sms_status.load(), 3);
    EXPECT_EQ(send_sms_error.load(), 0);
    sms_message bad = ucs2("01x", {0x00, 0x41});
    ASSERT_EQ(sms_send_one(bad), 1);
    get_modem_info();
    EXPECT_EQ(send_sms_error.load(), SMS_ERR_BAD_NUMBER);
}

TEST_F(SmsTest, LongDataIsCutByCoding) {
    answer("AT+CMGS=", kPrompt);
    answer("0011", kSent);
    sms_message m{};
    strcpy(m.phone, "0123456789");
    m.mode = 8;
    m.length = 150;
    for (int i = 0; i < 150; i++) m.text[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(sms_send_one(m), 1);
    get_modem_info();
    EXPECT_EQ(count_cmd(), "AT+CMGS=153\r");
    std::string pdu = pdu_cmd();
    ASSERT_EQ(pdu.size(), 2u * 154u + 1u);   // with the service-centre octet and Ctrl-Z
    EXPECT_EQ(pdu.substr(0, 28), "0011000A8110325476980008AA8C");
    EXPECT_EQ(pdu.substr(pdu.size() - 3), "8B\x1A");   // the 140th octet is the last

    // A 7-bit text of 160 characters goes whole.
    fake_serial::clear_sent();
    m.mode = 0;
    m.length = 160;
    for (int i = 0; i < 160; i++) m.text[i] = 'A';
    ASSERT_EQ(sms_send_one(m), 1);
    get_modem_info();
    EXPECT_EQ(count_cmd(), "AT+CMGS=153\r");
    EXPECT_EQ(pdu_cmd().substr(0, 28), "0011000A8110325476980000AAA0");

    // Escape pairs count twice: a last character that would need code 161
    // and 162 is left out whole.
    fake_serial::clear_sent();
    m.text[159] = '{';
    ASSERT_EQ(sms_send_one(m), 1);
    get_modem_info();
    EXPECT_EQ(count_cmd(), "AT+CMGS=153\r");
    EXPECT_EQ(pdu_cmd().substr(0, 28), "0011000A8110325476980000AA9F");
    EXPECT_EQ(send_sms_status.load(), 3);
}

TEST_F(SmsTest, PlusNumbersGoInternational) {
    answer("AT+CMGS=", kPrompt);
    answer("0011", kSent);
    ASSERT_EQ(sms_send_one(ucs2("+4912345678", {0x00, 0x41})), 1);
    get_modem_info();
    EXPECT_EQ(pdu_cmd(), "0011000A9194214365870008AA020041\x1A");
    EXPECT_EQ(send_sms_status.load(), 3);

    // Eleven digits: a final F semi-octet.
    fake_serial::clear_sent();
    ASSERT_EQ(sms_send_one(ucs2("01234567890", {0x00, 0x41})), 1);
    get_modem_info();
    EXPECT_EQ(pdu_cmd(), "0011000B811032547698F00008AA020041\x1A");
}

TEST_F(SmsTest, NumbersThatAreNotDialStringsAreNeverSent) {
    answer("AT+CMGS=", kPrompt);
    answer("0011", kSent);
    for (const char *bad : {"01234a6789", "0123;ATH", "", "+", "++49", "12 34", "0123456789012345678901", "49+1",
                            "*100#"}) {
        fake_serial::clear_sent();
        ASSERT_EQ(sms_send_one(ucs2(bad, {0x00, 0x41})), 1);
        testing::internal::CaptureStdout();
        get_modem_info();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(fake_serial::count("AT+CMGS"), 0) << bad;
        EXPECT_EQ(send_sms_status.load(), 4) << bad;
        EXPECT_EQ(send_sms_error.load(), SMS_ERR_BAD_NUMBER) << bad;
        EXPECT_EQ(is_send_sms.load(), 0);
    }
    // Twenty digits are still a number.
    fake_serial::clear_sent();
    ASSERT_EQ(sms_send_one(ucs2("01234567890123456789", {0x00, 0x41})), 1);
    get_modem_info();
    EXPECT_EQ(count_cmd(), "AT+CMGS=20\r");
    EXPECT_EQ(send_sms_status.load(), 3);
}

TEST_F(SmsTest, SendMsgBuildsTheWholeText) {
    char out[512];
    EXPECT_EQ(gmSMS_SendMsg(ucs2("0123456789", {0x4F, 0x60, 0x59, 0x7D}), out), 1);
    EXPECT_STREQ(out, "AT+CMGS=17\r0011000A8110325476980008AA044F60597D\x1A");
    sms_message abc{};
    strcpy(abc.phone, "0123456789");
    abc.length = 3;
    memcpy(abc.text, "ABC", 3);
    EXPECT_EQ(gmSMS_SendMsg(abc, out), 1);
    EXPECT_STREQ(out, "AT+CMGS=16\r0011000A8110325476980000AA0341E110\x1A");
    strcpy(abc.phone, "12\r\nATH");
    EXPECT_EQ(gmSMS_SendMsg(abc, out), 0);
    EXPECT_STREQ(out, "");
}

// ---- receiving ---------------------------------------------------------------

namespace {
// A SIM storage behind the scripted modem: +CPMS counts it, +CMGR reads an
// index (and marks it read), +CMGD removes one. Read latency per index.
struct Storage {
    std::map<int, std::string> pdus;
    std::map<int, int> stat;
    int total = 50;
    void install(int read_delay_ms = 0) {
        fake_serial::answer_with("AT+CPMS?", [this](const std::string &) {
            return storage(static_cast<int>(pdus.size()), total);
        });
        fake_serial::answer_with("AT+CMGR=", [this](const std::string &cmd) {
            int idx = atoi(cmd.c_str() + 8);
            auto it = pdus.find(idx);
            if (it == pdus.end()) return std::string("\r\nOK\r\n");
            std::string a = "\r\n+CMGR: " + std::to_string(stat[idx]) + ",,28\r\n" + it->second + "\r\n\r\nOK\r\n";
            stat[idx] = 1;
            return a;
        }, read_delay_ms);
        fake_serial::answer_with("AT+CMGD=", [this](const std::string &cmd) {
            pdus.erase(atoi(cmd.c_str() + 8));
            return std::string("\r\nOK\r\n");
        });
    }
};

// Swapped semi-octets of a digit text.
std::string swapped(const std::string &d) {
    std::string s;
    for (size_t i = 0; i < d.size(); i += 2) {
        s += i + 1 < d.size() ? d[i + 1] : 'F';
        s += d[i];
    }
    return s;
}

// A 7-bit DELIVER from 0123456789 sent at 26/01/20 12:mm:ss.
std::string gsm7_at(const std::string &text, int mm, int ss) {
    unsigned char codes[170], packed[160];
    int n = gsmIso27Bit(reinterpret_cast<const unsigned char *>(text.data()), codes, static_cast<int>(text.size()));
    codes[n] = 0;
    int o = gsmEncode7bit(codes, packed, n + 1);
    char hex[400];
    gsmBytes2String(packed, hex, o);
    char head[64];
    snprintf(head, sizeof head, "00040A8110325476980000%s%02X", swapped("26012012" + std::to_string(100 + mm).substr(1) +
                                                                          std::to_string(100 + ss).substr(1) + "00").c_str(), n);
    return head + std::string(hex);
}

// Part seq of total of a UCS-2 message (8-bit reference ref): units u0, u0 + 1, ...
std::string ucs2_part(int ref, int total, int seq, int units, uint16_t u0) {
    char head[96];
    snprintf(head, sizeof head, "00440A8110325476980008%s%02X050003%02X%02X%02X", swapped("26012012034000").c_str(),
             6 + 2 * units, ref, total, seq);
    std::string s = head;
    for (int i = 0; i < units; i++) {
        char u[8];
        snprintf(u, sizeof u, "%04X", static_cast<unsigned>(u0 + i));
        s += u;
    }
    return s;
}

// Takes the mailbox, releases it, returns the text (empty: nothing handed over).
std::string take(sms_rx_info *info = nullptr) {
    sms_message m{};
    if (sms_check_new_one_info(&m, info) != 1) return "";
    sms_rx_release();
    return std::string(reinterpret_cast<const char *>(m.text), m.length);
}
}  // namespace

TEST_F(SmsTest, ReceiveScansFromZeroAndKeepsTheMessageUntilReleased) {
    Storage st;
    st.pdus[1] = gsm7_at("ABC", 3, 40);
    st.pdus[2] = gsm7_at("DEF", 3, 41);
    st.install();
    // A slow read, echoed, in pieces, with an unsolicited code between its lines.
    std::string slow = "AT+CMGR=1\r\r\n+CMGR: 0,,28\r\n" + st.pdus[1] + "\r\n\r\nOK\r\n";
    fake_serial::answer_with("AT+CMGR=1", [slow](const std::string &) {
        fake_serial::inject(slow.substr(12, 20), 280);
        fake_serial::inject(slow.substr(32), 400);
        return slow.substr(0, 12) + "+CMTI: \"SM\",2\r\n";
    }, 150);
    testing::internal::CaptureStdout();
    get_modem_info();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("--> new SMS coming (2/50)\n"), std::string::npos);
    EXPECT_EQ(fake_serial::count("AT+CMGR="), 3);
    EXPECT_EQ(fake_serial::count("AT+CMGD"), 0);   // nothing goes before it is released
    ASSERT_EQ(is_new_sms.load(), 1);
    EXPECT_STREQ(recv_new_sms.phone, "0123456789");
    EXPECT_STREQ(recv_new_sms.time, "26/01/20 12:03:40");
    EXPECT_EQ(recv_new_sms.length, 3);
    EXPECT_EQ(recv_new_sms.mode, 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(recv_new_sms.text), "ABC");

    // While the mailbox is full, passes do not look at the storage.
    fake_serial::clear_sent();
    get_modem_info();
    EXPECT_EQ(fake_serial::count("AT+CPMS?"), 0);

    // Taken but not yet released (the master still reads it): kept, nothing new handed over.
    sms_message got{};
    sms_rx_info info{};
    ASSERT_EQ(sms_check_new_one_info(&got, &info), 1);
    EXPECT_EQ(info.flags, 0);
    EXPECT_FALSE(info.sender_alnum);
    EXPECT_EQ(memcmp(got.text, "ABC", 4), 0);
    get_modem_info();
    EXPECT_EQ(fake_serial::count("AT+CMGD"), 0);
    EXPECT_EQ(is_new_sms.load(), 0);
    EXPECT_EQ(fake_serial::count("AT+CMGR="), 0);   // both already held

    sms_rx_release();
    get_modem_info();
    EXPECT_EQ(fake_serial::commands()[static_cast<size_t>(fake_serial::find("AT+CMGD"))], "AT+CMGD=1\r\n");
    EXPECT_EQ(take(), "DEF");
    get_modem_info();
    EXPECT_EQ(fake_serial::count("AT+CMGD=2\r\n"), 1);
    EXPECT_TRUE(st.pdus.empty());
    EXPECT_EQ(sms_rx_held(), 0);

    // An empty mailbox leaves the caller's record untouched.
    sms_message untouched;
    memset(&untouched, 0x5A, sizeof untouched);
    EXPECT_EQ(sms_check_new_one(&untouched), 0);
    for (size_t i = 0; i < sizeof untouched; i++) ASSERT_EQ(reinterpret_cast<uint8_t *>(&untouched)[i], 0x5A);
}

TEST_F(SmsTest, EmptyOrUnreadableStorageReadsNothing) {
    for (const std::string &a : {storage(0, 50), std::string("\r\n+CPMS: \"SM\"\r\nOK\r\n"), std::string("ERROR"),
                                 std::string("+CPMS: \"SM\",3")}) {
        answer_once("AT+CPMS?", a);
        fake_serial::clear_sent();
        get_modem_info();
        EXPECT_EQ(fake_serial::count("AT+CMGR"), 0) << a;
        EXPECT_EQ(is_new_sms.load(), 0);
    }
}

TEST_F(SmsTest, SlowReadsAreWaitedForAndNoIndexIsDeletedUnread) {
    // 2.5 s per read: each answer is awaited before the next command.
    Storage st;
    st.pdus[0] = gsm7_at("ONE", 3, 40);
    st.pdus[1] = gsm7_at("TWO", 3, 41);
    st.install(2500);
    get_modem_info();
    int r0 = fake_serial::find("AT+CMGR=0");
    ASSERT_GE(r0, 0);
    EXPECT_EQ(fake_serial::commands()[static_cast<size_t>(r0 + 1)], "AT+CMGR=1\r\n");
    EXPECT_GE(ms_between(r0, r0 + 1), 2500.0);
    EXPECT_EQ(take(), "ONE");
    get_modem_info();
    EXPECT_EQ(take(), "TWO");
    get_modem_info();
    EXPECT_EQ(fake_serial::count("AT+CMGD=0\r\n"), 1);
    EXPECT_EQ(fake_serial::count("AT+CMGD=1\r\n"), 1);
    EXPECT_EQ(fake_serial::count("AT+CMGR="), 2);   // each read once

    // A read that does not end within its time-out: the channel is
    // resynchronised after the late answer, nothing is deleted, and the
    // message is read again on a later pass.
    fake_serial::reset();
    healthy_modem();
    Storage late;
    late.pdus[0] = gsm7_at("LATE", 3, 42);
    late.install(20000);
    get_modem_info();
    EXPECT_EQ(is_new_sms.load(), 0);
    EXPECT_EQ(fake_serial::count("AT+CMGD"), 0);
    int r = fake_serial::find("AT+CMGR=0");
    ASSERT_GE(r, 0);
    auto sent = fake_serial::sent();
    // The next command waits for the read's time-out and a quiet channel.
    if (static_cast<size_t>(r + 1) < sent.size()) {
        EXPECT_GE(ms_between(r, r + 1), 5500.0);
    }
    EXPECT_EQ(late.pdus.size(), 1u);
    late.install(100);
    get_modem_info();
    EXPECT_EQ(take(), "LATE");

    // An echoed answer that names another index is not taken for this one.
    get_modem_info();   // LATE removed
    fake_serial::reset();
    healthy_modem();
    Storage other;
    other.pdus[0] = gsm7_at("W", 3, 43);
    other.install();
    answer("AT+CMGR=0", "AT+CMGR=5\r\r\n+CMGR: 0,,28\r\n" + other.pdus[0] + "\r\n\r\nOK\r\n");
    get_modem_info();
    EXPECT_EQ(is_new_sms.load(), 0);
    EXPECT_EQ(fake_serial::count("AT+CMGD"), 0);
    EXPECT_EQ(sms_rx_held(), 0);
}

TEST_F(SmsTest, MessagesGoInTheOrderTheNetworkSentThem) {
    // Freed low indexes are reused: storage order 1, 2, 4, 5, 3.
    Storage st;
    st.pdus[0] = gsm7_at("m1", 3, 1);
    st.pdus[1] = gsm7_at("m2", 3, 2);
    st.pdus[2] = gsm7_at("m4", 3, 4);
    st.pdus[3] = gsm7_at("m5", 3, 5);
    st.pdus[4] = gsm7_at("m3", 3, 3);
    st.install();
    std::vector<std::string> got;
    for (int i = 0; i < 12 && got.size() < 5; i++) {
        get_modem_info();
        std::string t = take();
        if (!t.empty()) got.push_back(t);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"m1", "m2", "m3", "m4", "m5"}));
}

TEST_F(SmsTest, LongMessagePartsAreJoinedInOrderAndCutAtACharacter) {
    // Three UCS-2 parts of 67 units stored as 3, 1, 2: one message, the first
    // 80 units (the registers' room), flagged as cut.
    Storage st;
    st.pdus[0] = ucs2_part(7, 3, 3, 67, 0x0500);
    st.pdus[1] = ucs2_part(7, 3, 1, 67, 0x0100);
    st.pdus[2] = ucs2_part(7, 3, 2, 67, 0x0300);
    st.pdus[3] = gsm7_at("later", 4, 0);
    st.install();
    get_modem_info();
    sms_message m{};
    sms_rx_info info{};
    ASSERT_EQ(sms_check_new_one_info(&m, &info), 1);
    EXPECT_EQ(m.mode, 8);
    ASSERT_EQ(m.length, 160);
    for (int i = 0; i < 67; i++) ASSERT_EQ(m.text[2 * i] << 8 | m.text[2 * i + 1], 0x0100 + i) << i;
    for (int i = 67; i < 80; i++) ASSERT_EQ(m.text[2 * i] << 8 | m.text[2 * i + 1], 0x0300 + i - 67) << i;
    EXPECT_EQ(info.flags, layout::RX_FLAG_CUT);
    EXPECT_EQ(info.parts, 3);
    EXPECT_EQ(info.parts_present, 3);
    sms_rx_release();
    get_modem_info();
    for (int i = 0; i < 3; i++) EXPECT_EQ(fake_serial::count("AT+CMGD=" + std::to_string(i) + "\r\n"), 1) << i;
    EXPECT_EQ(take(), "later");

    // A surrogate pair across the cut is never halved.
    fake_serial::reset();
    healthy_modem();
    Storage pair;
    std::string p1 = ucs2_part(9, 2, 1, 67, 0x0041);
    std::string p2 = ucs2_part(9, 2, 2, 14, 0x0041);
    // Units 79 and 80 of the whole text: D83D DE00.
    p2.replace(p2.size() - 8, 8, "D83DDE00");
    pair.pdus[0] = p1;
    pair.pdus[1] = p2;
    pair.install();
    get_modem_info();
    ASSERT_EQ(sms_check_new_one_info(&m, &info), 1);
    EXPECT_EQ(m.length, 158);
    EXPECT_EQ(info.flags, layout::RX_FLAG_CUT);
    sms_rx_release();
}

TEST_F(SmsTest, MissingPartsArePublishedAfterTheBound) {
    Storage st;
    st.pdus[0] = ucs2_part(0x42, 3, 3, 2, 0x0063);
    st.pdus[1] = ucs2_part(0x42, 3, 1, 2, 0x0061);
    st.install();
    get_modem_info();
    EXPECT_EQ(is_new_sms.load(), 0);
    EXPECT_EQ(sms_rx_held(), 2);
    fake_sys::set_now_us(fake_sys::now_us() + (layout::RX_PARTS_WAIT_S - 30) * 1000000ull);
    get_modem_info();
    EXPECT_EQ(is_new_sms.load(), 0);
    EXPECT_EQ(fake_serial::count("AT+CMGR="), 2);   // held parts are not read again
    fake_sys::set_now_us(fake_sys::now_us() + 60 * 1000000ull);
    get_modem_info();
    sms_message m{};
    sms_rx_info info{};
    ASSERT_EQ(sms_check_new_one_info(&m, &info), 1);
    EXPECT_EQ(info.flags, layout::RX_FLAG_PARTS_MISSING);
    EXPECT_EQ(info.parts_present, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.text), m.length), std::string("\0a\0b\0c\0d", 8));
}

TEST_F(SmsTest, StatusReportsAndOtherKindsAreRecordedAndRemovedNeverHandedOver) {
    Storage st;
    st.pdus[0] = "0006" "2A" "0A911032547698" "62100221300400" "62100221400400" "00";   // status report
    st.pdus[1] = "0011000A8110325476980000AA0341E110";                                    // a stored SUBMIT
    st.pdus[2] = "00040A8110325476980020621002213004000241E1";                            // compressed
    st.pdus[3] = "06912143658709040A8110325476980000621002213004230341";                  // cut short
    st.pdus[4] = gsm7_at("ok", 3, 40);
    st.install();
    testing::internal::CaptureStdout();
    get_modem_info();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("--> SMS 0: status report for +0123456789, reference 42, status 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("--> SMS 1: not a received message (first octet), removed; answer in hex:\n"), std::string::npos);
    EXPECT_NE(out.find("--> SMS 2: compressed text, which cannot be shown, removed; answer in hex:\n"), std::string::npos);
    EXPECT_NE(out.find("--> SMS 3: undecodable PDU, removed; answer in hex:\n"), std::string::npos);
    // The whole answer survives in the log.
    const std::string cut = "06912143658709040A8110325476980000621002213004230341";
    char hex[2 * 60 + 1];
    gsmBytes2String(reinterpret_cast<const unsigned char *>(cut.data()), hex, static_cast<int>(cut.size()));
    EXPECT_NE(out.find(hex), std::string::npos);
    for (int i = 0; i < 4; i++) EXPECT_EQ(fake_serial::count("AT+CMGD=" + std::to_string(i) + "\r\n"), 1) << i;
    EXPECT_EQ(take(), "ok");
}

TEST_F(SmsTest, HostilePdusAreLoggedAndTheScanGoesOn) {
    const std::vector<std::string> hostile = {
        "ZZZZ",                                                         // not hexadecimal
        "06912143658709040A811032547698000062100221300423",             // ends before the user data
        "06912143658709040A81103254769800006210022130042399",           // length far beyond the data
        "FF91",                                                          // service centre longer than the text
        "",                                                              // no PDU line at all
        "0691214365870904FF91",                                          // originator longer than any buffer
    };
    Storage st;
    for (size_t i = 0; i < hostile.size(); i++) st.pdus[static_cast<int>(i)] = hostile[i];
    st.pdus[static_cast<int>(hostile.size())] = kAbcPdu;
    st.install();
    testing::internal::CaptureStdout();
    get_modem_info();
    std::string out = testing::internal::GetCapturedStdout();
    for (size_t i = 0; i < hostile.size(); i++)
        EXPECT_NE(out.find("--> SMS " + std::to_string(i) + ": undecodable PDU, removed; answer in hex:\n"), std::string::npos)
            << hostile[i];
    EXPECT_EQ(take(), "ABC");
}

TEST_F(SmsTest, ARestartBeforeTheReleaseDeliversTheMessageAgain) {
    // Read (and so marked read) and handed over, then the process restarts:
    // the message is still stored and comes again; nothing is lost.
    Storage st;
    st.pdus[3] = gsm7_at("again", 3, 40);
    st.install();
    get_modem_info();
    sms_message m{};
    ASSERT_EQ(sms_check_new_one_info(&m, nullptr), 1);
    EXPECT_EQ(st.stat[3], 1);
    modem_state_reset();
    is_do_first_time_cmd = 1;
    get_modem_info();
    EXPECT_EQ(fake_serial::count("AT+CMGD"), 0);
    EXPECT_EQ(take(), "again");
}

TEST_F(SmsTest, StorageCapacityFromTheModemIsBounded) {
    answer("AT+CPMS?", "\r\n+CPMS: \"SM\",5,2000000000,\"SM\",5,50\r\n\r\nOK\r\n");
    answer("AT+CMGR=", "\r\nOK\r\n");
    get_modem_info();
    EXPECT_EQ(fake_serial::count("AT+CMGR="), 255);
}

TEST_F(SmsTest, ReadAnswerParsing) {
    sms_message m;
    memset(&m, 0x33, sizeof m);
    sms_message before = m;
    EXPECT_EQ(gmSMS_getReadMsg("\r\nOK\r\n", &m), 0);
    EXPECT_EQ(gmSMS_getReadMsg("+CMGRD: 0\r\n06912143658709040A8110325476980000621002213004230341E110", &m), 0);
    EXPECT_EQ(gmSMS_getReadMsg("+CMGRD: 0,,28", &m), 0);
    EXPECT_EQ(gmSMS_getReadMsg("+CMGRD: 0,,28\r", &m), 0);
    EXPECT_EQ(sms_read_answer("+CMGRD: 0,,28\r\nXYZ\r\n", &m), -1);
    EXPECT_EQ(gmSMS_getReadMsg("+CMGRD: 0,,28\r\nXYZ\r\n", &m), 0);
    EXPECT_EQ(memcmp(&m, &before, sizeof m), 0);

    // Lower-case hexadecimal and a PDU that ends the text are read as well.
    std::string lower = kAbcPdu;
    for (auto &c : lower) c = static_cast<char>(tolower(c));
    EXPECT_EQ(gmSMS_getReadMsg(("+CMGRD: 0,\"\",28\r\n" + lower).c_str(), &m), 1);
    EXPECT_STREQ(m.phone, "0123456789");
    EXPECT_STREQ(m.time, "26/01/20 12:03:40");

    // An 8-bit message keeps its octets.
    EXPECT_EQ(gmSMS_getReadMsg("+CMGRD: 0,,20\r\n0891683108200805F0040D91683167012345F6000462107211704523050102030405\r\n",
                               &m),
              1);
    EXPECT_EQ(m.mode, 4);
    EXPECT_EQ(m.length, 5);
    EXPECT_STREQ(m.phone, "8613761032546");
    EXPECT_STREQ(m.time, "26/01/27 11:07:54");
    EXPECT_EQ(memcmp(m.text, "\x01\x02\x03\x04\x05", 6), 0);
}

TEST_F(SmsTest, StrcpyWithStrIsBounded) {
    char dst[8];
    memset(dst, 'x', sizeof dst);
    EXPECT_EQ(strcpyWithStr(dst, sizeof dst, "abc,def", ","), 1);
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(strcpyWithStr(dst, sizeof dst, ",def", ","), 1);
    EXPECT_STREQ(dst, "");
    EXPECT_EQ(strcpyWithStr(dst, sizeof dst, "0123456789abcdef\r\n", "\r\n"), 1);
    EXPECT_STREQ(dst, "0123456");
    strcpy(dst, "keep");
    EXPECT_EQ(strcpyWithStr(dst, sizeof dst, "no delimiter", ","), 0);
    EXPECT_STREQ(dst, "keep");
    EXPECT_EQ(strcpyWithStr(dst, 1, "abc,", ","), 1);
    EXPECT_STREQ(dst, "");
    EXPECT_EQ(strcpyWithStr(dst, 0, "abc,", ","), 0);
}

TEST_F(SmsTest, PrintSmsShowsTextOrOctets) {
    sms_message m{};
    strcpy(m.phone, "0123456789");
    strcpy(m.time, "26/01/20 12:03:40");
    m.length = 3;
    memcpy(m.text, "ABC", 3);
    testing::internal::CaptureStdout();
    printSMS(m);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\r\n------------------\r\nphone number = 0123456789\r\nreceive time = 26/01/20 12:03:40\r\n"
              "mode = 0\r\nmessage length = 3\r\nmessage = ABC\r\n\r\n------------------\r\n");
    m.mode = 8;
    m.length = 2;
    m.text[0] = 0x4F;
    m.text[1] = 0x60;
    testing::internal::CaptureStdout();
    printSMS(m);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\r\n------------------\r\nphone number = 0123456789\r\nreceive time = 26/01/20 12:03:40\r\n"
              "mode = 8\r\nmessage length = 2\r\nmessage = \r\n4F 60 \r\n------------------\r\n");
}

// A dispatcher in another thread: a verdict it reads always belongs to the
// message the mailbox last accepted from it.
TEST_F(SmsTest, FinalStatusIsPublishedBeforeTheMailboxIsFreed) {
    answer("AT+CMGS=", kPrompt);
    // Odd destinations fail, even ones are sent.
    fake_serial::answer_with("0011", [](const std::string &pdu) {
        // The last destination digit is the high nibble of the last address octet.
        char last = pdu.at(18);
        return ((last - '0') % 2) ? std::string("\r\nERROR\r\n") : std::string(kSent);
    });
    constexpr int kMessages = 40;
    std::atomic<int> wrong{0}, done{0};
    std::thread dispatcher([&] {
        for (int i = 0; i < kMessages; i++) {
            char phone[16];
            snprintf(phone, sizeof phone, "012345678%d", i % 10);
            sms_message m = ucs2(phone, {0x00, 0x41});
            while (sms_send_one(m) == 0) std::this_thread::yield();
            int32_t st;
            while ((st = send_sms_status.load(std::memory_order_acquire)) != 3 && st != 4) std::this_thread::yield();
            if (st != ((i % 2) ? 4 : 3)) wrong++;
            done++;
        }
    });
    while (done.load() < kMessages) get_modem_info();
    dispatcher.join();
    EXPECT_EQ(wrong.load(), 0);
}

namespace {
bool is_status_query(const std::string &c) {
    for (const char *q : {"AT+CPIN?", "AT+CREG?", "AT+CSQ", "AT+CNSMOD?", "AT+CGPSINFO", "AT+CPMS?"})
        if (c.rfind(q, 0) == 0) return true;
    return false;
}
}  // namespace

// While the last status answers are fresh, an offered SMS wakes the modem at
// once and goes out before any status query; once stale, the round runs first.
TEST_F(SmsTest, WaitingSmsGoesBeforeFreshStatusQueries) {
    answer("AT+CMGS=", kPrompt);
    answer("0011", kSent);
    get_modem_info();   // the status round: answers fresh from now on
    ASSERT_TRUE(modem_status_fresh());
    size_t mark = fake_serial::sent().size();
    uint64_t slept = fake_sys::slept_us();
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x41})), 1);
    modem_pause();   // a waiting message ends the pause at once
    EXPECT_EQ(fake_sys::slept_us(), slept);
    get_modem_info();
    auto s = fake_serial::commands();
    ASSERT_GT(s.size(), mark);
    EXPECT_EQ(s[mark].rfind("AT+CMGS=", 0), 0u) << s[mark];
    for (size_t i = mark; i < s.size(); i++) EXPECT_FALSE(is_status_query(s[i])) << s[i];
    EXPECT_EQ(send_sms_status.load(), 3);

    // Stale answers: the whole round (and the storage check) come first.
    fake_sys::set_now_us(fake_sys::now_us() + MODEM_STATUS_FRESH_US);
    EXPECT_FALSE(modem_status_fresh());
    mark = fake_serial::sent().size();
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x42})), 1);
    get_modem_info();
    s = fake_serial::commands();
    int cmgs = -1, creg = -1, csq = -1;
    for (size_t i = mark; i < s.size(); i++) {
        if (cmgs < 0 && s[i].rfind("AT+CMGS=", 0) == 0) cmgs = static_cast<int>(i);
        if (s[i].rfind("AT+CREG?", 0) == 0) creg = static_cast<int>(i);
        if (s[i].rfind("AT+CSQ", 0) == 0) csq = static_cast<int>(i);
    }
    ASSERT_GE(cmgs, 0);
    EXPECT_GE(creg, 0);
    EXPECT_LT(creg, cmgs);
    EXPECT_LT(csq, cmgs);
    EXPECT_EQ(send_sms_status.load(), 3);
}

// A long burst with a 2 s network confirmation per SMS: registration and
// signal are still asked at least every 10 s, and never between an offered SMS
// and its send while the answers are fresh.
TEST_F(SmsTest, StatusIsRenewedDuringALongBurst) {
    answer("AT+CMGS=", kPrompt);
    answer("0011", kSent, 2000);
    get_modem_info();
    int sent = 0;
    for (int n = 0; n < 40; n++) {
        ASSERT_EQ(sms_send_one(ucs2("0123456789", {static_cast<uint8_t>('A' + n % 26)})), 1);
        bool fresh = modem_status_fresh();
        size_t mark = fake_serial::sent().size();
        get_modem_info();
        auto s = fake_serial::commands();
        for (size_t i = mark; fresh && i < s.size() && s[i].rfind("AT+CMGS=", 0) != 0; i++)
            EXPECT_FALSE(is_status_query(s[i])) << "message " << n << ": " << s[i];
        if (send_sms_status.load() == 3) sent++;
        modem_pause();
    }
    EXPECT_EQ(sent, 40);
    auto s = fake_serial::sent();
    std::vector<uint64_t> creg, csq;
    for (const auto &c : s) {
        if (c.data.rfind("AT+CREG?", 0) == 0) creg.push_back(c.at_us);
        if (c.data.rfind("AT+CSQ", 0) == 0) csq.push_back(c.at_us);
    }
    ASSERT_GE(creg.size(), 8u);   // 40 sends of 2 s: some 80 s
    for (size_t i = 1; i < creg.size(); i++) EXPECT_LE(creg[i] - creg[i - 1], 10000000u) << i;
    for (size_t i = 1; i < csq.size(); i++) EXPECT_LE(csq[i] - csq[i - 1], 10000000u) << i;
    // And far fewer rounds than sends: the burst is not paced by them.
    EXPECT_LT(creg.size(), 30u);
}

// AT+CMMS=1 (keep the network's link open for more messages): asked for only
// with the setting on and more SMS waiting behind the one sent; not asked again
// while the link is surely still open; never again once the module refused it.
TEST_F(SmsTest, MoreToSendKeepsTheLinkOnlyWhenSetAndMoreWait) {
    answer("AT+CMGS=", kPrompt);
    answer("0011", kSent, 500);
    answer("AT+CMMS=1", "\r\nOK\r\n");
    get_modem_info();   // status answers fresh: sends follow at once
    auto send = [](int more) {
        send_sms_more = more;
        fake_serial::clear_sent();
        ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x41})), 1);
        get_modem_info();
        EXPECT_EQ(send_sms_status.load(), 3);
        EXPECT_EQ(fake_serial::count("0011"), 1);
    };
    auto later = [](uint64_t us) { fake_sys::set_now_us(fake_sys::now_us() + us); };

    // The setting off (no map, or zero): never asked, whatever waits.
    send(1);
    EXPECT_EQ(fake_serial::count("AT+CMMS"), 0);
    test_map::Map map;
    ASSERT_TRUE(map.ok());
    send(1);
    EXPECT_EQ(fake_serial::count("AT+CMMS"), 0);

    hr_set(layout::HR_SMS_MORE_TO_SEND, 1);
    send(1);
    int cmms = fake_serial::find("AT+CMMS=1\r\n"), cmgs = fake_serial::find("AT+CMGS=");
    ASSERT_GE(cmms, 0);
    EXPECT_LT(cmms, cmgs);
    send(1);   // right after the last answer: still on, not asked again
    EXPECT_EQ(fake_serial::count("AT+CMMS"), 0);
    later(3000000);   // longer than the module surely keeps it
    send(1);
    EXPECT_EQ(fake_serial::count("AT+CMMS=1"), 1);
    later(3000000);
    send(0);          // nothing behind: the link is let go
    EXPECT_EQ(fake_serial::count("AT+CMMS"), 0);

    // A module without the command: the SMS goes all the same, and the
    // command is not tried again in this run.
    answer("AT+CMMS=1", "\r\nERROR\r\n");
    later(3000000);
    send(1);
    EXPECT_EQ(fake_serial::count("AT+CMMS=1"), 1);
    later(3000000);
    send(1);
    EXPECT_EQ(fake_serial::count("AT+CMMS"), 0);
    // Until the modem unit starts again.
    sms_more_to_send_reset();
    later(3000000);
    send(1);
    EXPECT_EQ(fake_serial::count("AT+CMMS=1"), 1);
}

// ---- delivery reports ----------------------------------------------------------

TEST_F(SmsTest, DeliveryReportsAreAskedForAnnouncedAndQueuedForTheMatcher) {
    test_map::Map map;
    ASSERT_TRUE(map.ok());
    answer("AT", "\r\nOK\r\n");
    healthy_modem();
    // Off, as every existing image: the indications as always.
    is_do_first_time_cmd = 0;
    get_modem_info();
    EXPECT_EQ(fake_serial::count("AT+CNMI=2,1,0,0,0\r\n"), 1);
    EXPECT_EQ(fake_serial::count("AT+CNMI=2,1,0,2,"), 0);
    // Switched on: stored status reports announced too, made once.
    hr_set(layout::HR_DLR_ON, 1);
    get_modem_info();
    get_modem_info();
    EXPECT_EQ(fake_serial::count("AT+CNMI=2,1,0,2,0\r\n"), 1);
    EXPECT_EQ(fake_serial::count("AT+CNMI="), 2);

    // The report request is in the first octet; the reference is published.
    answer("AT+CMGS=", kPrompt);
    answer("0031", "\r\n+CMGS: 77\r\n\r\nOK\r\n");
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x4F, 0x60}), true), 1);
    get_modem_info();
    EXPECT_EQ(pdu_cmd(), "0031000A8110325476980008AA024F60\x1A");
    EXPECT_EQ(send_sms_status.load(), 3);
    EXPECT_EQ(send_sms_srr.load(), 1);
    EXPECT_EQ(send_sms_mr.load(), 77);
    // Without the request the first octet stays 0x11; a failed send has no reference.
    answer("0011", "\r\n+CMS ERROR: 500\r\n");
    fake_serial::clear_sent();
    ASSERT_EQ(sms_send_one(ucs2("0123456789", {0x4F, 0x60})), 1);
    get_modem_info();
    EXPECT_EQ(pdu_cmd(), "0011000A8110325476980008AA024F60\x1A");
    EXPECT_EQ(send_sms_srr.load(), 0);
    EXPECT_EQ(send_sms_mr.load(), -1);

    // Stored reports: each recorded, removed and queued, the queue bounded
    // (the oldest give way).
    Storage st;
    const int n = SMS_REPORT_QUEUE + 8;
    for (int i = 0; i < n; i++) {
        char mr[3];
        snprintf(mr, sizeof mr, "%02X", i);
        st.pdus[i] = std::string("0006") + mr + "0A911032547698" "62100221300400" "62100221400400" "41";
    }
    st.install();
    get_modem_info();
    EXPECT_TRUE(st.pdus.empty());
    sms_report r{};
    std::vector<int> mrs;
    while (sms_report_take(&r) == 1) {
        EXPECT_EQ(r.st, 0x41);
        EXPECT_STREQ(r.recipient, "+0123456789");
        mrs.push_back(r.mr);
    }
    ASSERT_EQ(static_cast<int>(mrs.size()), SMS_REPORT_QUEUE);
    EXPECT_EQ(mrs.front(), n - SMS_REPORT_QUEUE);
    EXPECT_EQ(mrs.back(), n - 1);
}
