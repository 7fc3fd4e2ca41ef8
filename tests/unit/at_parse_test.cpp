// The named parsers of modem answers: each answer kind, its numeric and
// verbose forms, and the lines they must not take.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modem/at_parse.h"

namespace {
at_line L(const std::string &s) { return at_line{s.c_str(), s.size()}; }

std::vector<std::string> lines(const char *text) {
    std::vector<std::string> out;
    const char *c = text;
    at_line l;
    while (at_next_line(&c, &l)) out.emplace_back(l.p, l.len);
    return out;
}
}  // namespace

TEST(AtParse, LineIteratorSkipsBlankLinesAndKeepsAPartLine) {
    EXPECT_EQ(lines("\r\n+CMGS: 7\r\n\r\nOK\r\n"), (std::vector<std::string>{"+CMGS: 7", "OK"}));
    EXPECT_EQ(lines(""), std::vector<std::string>{});
    EXPECT_EQ(lines("\r\n\n\r"), std::vector<std::string>{});
    const char *text = "OK\r\nVOICE CALL: BE";
    const char *c = text;
    at_line l;
    ASSERT_TRUE(at_next_line(&c, &l));
    EXPECT_TRUE(at_line_whole(l));
    ASSERT_TRUE(at_next_line(&c, &l));
    EXPECT_EQ(std::string(l.p, l.len), "VOICE CALL: BE");
    EXPECT_FALSE(at_line_whole(l));
    EXPECT_FALSE(at_next_line(&c, &l));
}

TEST(AtParse, Cmgs) {
    int mr = -1;
    EXPECT_TRUE(at_parse_cmgs(L("+CMGS: 42"), &mr));
    EXPECT_EQ(mr, 42);
    EXPECT_TRUE(at_parse_cmgs(L("+CMGS:0"), &mr));
    EXPECT_EQ(mr, 0);
    for (const char *bad : {"+CMGS: ", "+CMGS: 256", "+CMGS: x", "+CMGS", "CMGS: 4", "+CMGS: 99999999999"})
        EXPECT_FALSE(at_parse_cmgs(L(bad), &mr)) << bad;
}

TEST(AtParse, ErrorsInNumericAndVerboseForm) {
    struct Case {
        const char *line;
        int kind, code;
    } cases[] = {
        {"ERROR", AT_ERR_PLAIN, -1},
        {"+CME ERROR: 14", AT_ERR_CME, 14},
        {"+CME ERROR: SIM busy", AT_ERR_CME, 14},
        {"+CME ERROR: sim BUSY ", AT_ERR_CME, 14},
        {"+CME ERROR: no network service", AT_ERR_CME, 30},
        {"+CME ERROR: something new", AT_ERR_CME, -1},
        {"+CMS ERROR: 500", AT_ERR_CMS, 500},
        {"+CMS ERROR:1", AT_ERR_CMS, 1},
        {"+CMS ERROR: network timeout", AT_ERR_CMS, 332},
        {"+CMS ERROR: SIM busy", AT_ERR_CMS, 314},
        {"+CMS ERROR: 12abc", AT_ERR_CMS, -1},
    };
    for (const Case &c : cases) {
        at_error e{0, 0};
        ASSERT_TRUE(at_parse_error(L(c.line), &e)) << c.line;
        EXPECT_EQ(e.kind, c.kind) << c.line;
        EXPECT_EQ(e.code, c.code) << c.line;
    }
    at_error e;
    for (const char *bad : {"OK", "ERRORS", "NO CARRIER", "+CMGS: 1", "+CME ERRO"})
        EXPECT_FALSE(at_parse_error(L(bad), &e)) << bad;
    ASSERT_TRUE(at_find_error("\r\n+CMGS: 3\r\n\r\n+CMS ERROR: 42\r\n", &e));
    EXPECT_EQ(e.code, 42);
    EXPECT_FALSE(at_find_error("\r\nOK\r\n", &e));
}

TEST(AtParse, CregAnswerAndReport) {
    int n = 9, stat = 9;
    EXPECT_TRUE(at_parse_creg(L("+CREG: 0,1"), &n, &stat));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(stat, 1);
    EXPECT_TRUE(at_parse_creg(L("+CREG: 2,5,\"1A2B\",\"00C3D4E5\""), &n, &stat));
    EXPECT_EQ(n, 2);
    EXPECT_EQ(stat, 5);
    EXPECT_TRUE(at_parse_creg(L("+CREG: 3"), &n, &stat));
    EXPECT_EQ(n, -1);
    EXPECT_EQ(stat, 3);
    EXPECT_TRUE(at_parse_creg(L("+CREG: 1,\"1A2B\",\"00C3\""), &n, &stat));
    EXPECT_EQ(n, -1);
    EXPECT_EQ(stat, 1);
    for (const char *bad : {"+CREG: ", "+CREG: x,1", "+CREG: 1,", "+CREG: 1 junk", "+CGREG: 0,1"})
        EXPECT_FALSE(at_parse_creg(L(bad), &n, &stat)) << bad;
}

TEST(AtParse, Csq) {
    int rssi = 0, ber = 0;
    EXPECT_TRUE(at_parse_csq(L("+CSQ: 23,99"), &rssi, &ber));
    EXPECT_EQ(rssi, 23);
    EXPECT_EQ(ber, 99);
    for (const char *bad : {"+CSQ: 23", "+CSQ: ,99", "+CSQ:", "CSQ: 1,2"}) EXPECT_FALSE(at_parse_csq(L(bad), &rssi, &ber));
}

TEST(AtParse, CallNotices) {
    struct Case {
        const char *line;
        int kind, code;
    } cases[] = {
        {"VOICE CALL: RING", CN_RING, -1},       {"VOICE CALL: BEGIN", CN_BEGIN, -1},
        {"VOICE CALL: END: 000105", CN_END, -1}, {"VOICE CALL: END", CN_END, -1},
        {"NO CARRIER", CN_NO_CARRIER, -1},       {"BUSY", CN_BUSY, -1},
        {"NO ANSWER", CN_NO_ANSWER, -1},         {"NO DIALTONE", CN_NO_DIALTONE, -1},
        {"ERROR", CN_ERROR, -1},                 {"+CME ERROR: 30", CN_ERROR, 30},
        {"+CME ERROR: no network service", CN_ERROR, 30},
        {"+WAVSTATE: wav play stop", CN_WAV_STOP, -1},
        {"OK", CN_NONE, -1},                     {"RING", CN_NONE, -1},
        {"BUSYBOX", CN_NONE, -1},                {"+CMS ERROR: 1", CN_NONE, -1},
    };
    for (const Case &c : cases) {
        int code = 7;
        EXPECT_EQ(at_call_notice(L(c.line), &code), c.kind) << c.line;
        EXPECT_EQ(code, c.code) << c.line;
    }
}

TEST(AtParse, CmsClasses) {
    for (int c : {1, 8, 10, 21, 28, 29, 30, 50, 96, 304, 129}) EXPECT_EQ(at_cms_class(c), CMS_PERMANENT) << c;
    for (int c : {27, 38, 41, 42, 47, 192, 314, 331, 332}) EXPECT_EQ(at_cms_class(c), CMS_TEMPORARY) << c;
    for (int c : {0, 255, 302, 500, 512, -1}) EXPECT_EQ(at_cms_class(c), CMS_OTHER) << c;
}
