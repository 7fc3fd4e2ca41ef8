// The SMS PDU codec: the worked examples byte for byte, the alphabet and its
// escape pairs, packing, numbers, decode/re-encode round trips and hostile
// received PDUs (every length cut, nothing read past the text).
#include "modem/sms_func.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

pdu_fields submit(const std::string &tpa, uint8_t dcs, const std::string &data, uint8_t toa = 0x81)
{
    pdu_fields f;
    std::memset(&f, 0, sizeof f);
    // A number of 21 or more characters fills the field without a terminator.
    std::memcpy(f.tpa, tpa.data(), tpa.size() < sizeof f.tpa ? tpa.size() : sizeof f.tpa);
    f.tp_toa = toa;
    f.tp_dcs = dcs;
    size_t n = data.size() < sizeof f.tp_ud ? data.size() : sizeof f.tp_ud;
    std::memcpy(f.tp_ud, data.data(), n);
    f.tp_udl = static_cast<uint8_t>(data.size() > 255 ? 255 : data.size());
    return f;
}

std::string encode(pdu_fields *f, int *result = nullptr)
{
    char out[PDU_TEXT_SIZE + 16];
    std::memset(out, 'X', sizeof out);
    int n = gsmEncodePdu(f, out);
    if (result) *result = n;
    EXPECT_LT(std::strlen(out), static_cast<size_t>(PDU_TEXT_SIZE));
    return out;
}

std::string encode(pdu_fields f, int *result = nullptr) { return encode(&f, result); }

std::string ud_string(const pdu_fields &f, int n)
{
    return std::string(reinterpret_cast<const char *>(f.tp_ud), static_cast<size_t>(n));
}

std::string hex(const std::string &bytes)
{
    std::vector<char> out(bytes.size() * 2 + 1);
    gsmBytes2String(reinterpret_cast<const unsigned char *>(bytes.data()), out.data(),
                    static_cast<int>(bytes.size()));
    return out.data();
}

std::string hex8(unsigned v)
{
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

// A DELIVER as a service centre builds it, from raw field texts.
std::string deliver(const std::string &sca_field, const std::string &oa_field, uint8_t dcs,
                    const std::string &scts, unsigned udl, const std::string &ud_hex)
{
    return sca_field + "04" + oa_field + "00" + hex8(dcs) + scts + hex8(udl) + ud_hex;
}

// The user data of an 8-bit text as 7-bit packed octets, and its septet count.
std::string packed7(const std::string &iso, int *septets)
{
    std::vector<unsigned char> codes(iso.size() * 2 + 2);
    int n = gsmIso27Bit(reinterpret_cast<const unsigned char *>(iso.data()), codes.data(),
                        static_cast<int>(iso.size()));
    codes[static_cast<size_t>(n)] = 0;
    std::vector<unsigned char> oct(codes.size());
    int m = gsmEncode7bit(codes.data(), oct.data(), n + 1);
    *septets = n;
    return hex(std::string(reinterpret_cast<char *>(oct.data()), static_cast<size_t>(m)));
}

std::string repeat(const std::string &s, int n)
{
    std::string r;
    for (int i = 0; i < n; i++) r += s;
    return r;
}

const std::string kSca = "0691214365870" "9";  // +1234567890
const std::string kOa = "0A811032547698";      // 0123456789
const std::string kScts = "62100221300423";    // 26/01/20 12:03:40, zone 32
const char kExample[] = "06912143658709040A8110325476980000621002213004230341E110";

// Every string of the record ends inside its field and the lengths keep to the limits.
void expect_sane(const pdu_fields &f, int r)
{
    EXPECT_LT(strnlen(f.sca, sizeof f.sca), sizeof f.sca);
    EXPECT_LT(strnlen(f.tpa, sizeof f.tpa), sizeof f.tpa);
    EXPECT_LT(strnlen(f.tp_scts, sizeof f.tp_scts), sizeof f.tp_scts);
    EXPECT_GE(r, PDU_UNDECODABLE);
    if (f.tp_dcs == 0) {
        EXPECT_LE(f.tp_udl, PDU_MAX_SEPTETS);
        EXPECT_LE(r, f.tp_udl);
        if (r >= 0) {
            EXPECT_EQ(f.tp_ud[r], 0);
        }
    } else {
        EXPECT_LE(f.tp_udl, PDU_MAX_OCTETS);
        if (r >= 0) {
            EXPECT_EQ(r, f.tp_udl);
        }
        EXPECT_EQ(f.tp_ud[f.tp_udl], 0);
    }
}

}  // namespace

TEST(SmsPduEncode, WorkedExamples)
{
    int n = 0;
    EXPECT_EQ(encode(submit("0123456789", 0, "ABC"), &n), "0011000A8110325476980000AA0341E110");
    EXPECT_EQ(n, 16);
    EXPECT_EQ(encode(submit("0123456789", 8, std::string("\x4F\x60\x59\x7D", 4)), &n),
              "0011000A8110325476980008AA044F60597D");
    EXPECT_EQ(n, 17);
}

TEST(SmsPduEncode, SevenBitLengthsAndFill)
{
    int n = 0;
    EXPECT_EQ(encode(submit("0123456789", 0, ""), &n), "0011000A8110325476980000AA00");
    EXPECT_EQ(n, 13);
    // 8 characters fill 7 octets exactly; 7 characters also take 7, the last
    // one holding one bit of data and 7 zero fill bits.
    EXPECT_EQ(encode(submit("0123456789", 0, "ABCDEFGH"), &n),
              "0011000A8110325476980000AA0841E19058341E91");
    EXPECT_EQ(n, 20);
    EXPECT_EQ(encode(submit("0123456789", 0, "ABCDEFG"), &n),
              "0011000A8110325476980000AA0741E19058341E01");
    EXPECT_EQ(n, 20);
    EXPECT_EQ(encode(submit("0123456789", 0, "hellohello"), &n),
              "0011000A8110325476980000AA0AE8329BFD4697D9EC37");
    EXPECT_EQ(n, 22);
}

TEST(SmsPduEncode, EscapePairsCountTwoAndReplaceTheText)
{
    pdu_fields f = submit("0123456789", 0, "a[1]");
    int n = 0;
    EXPECT_EQ(encode(&f, &n), "0011000A8110325476980000AA06E10D2FB6F101");
    EXPECT_EQ(n, 19);
    const unsigned char codes[] = {0x61, 0x1B, 0x3C, 0x31, 0x1B, 0x3E, 0x00};
    EXPECT_EQ(0, std::memcmp(f.tp_ud, codes, sizeof codes));
    EXPECT_EQ(f.tp_udl, 4);  // the record keeps the caller's character count
}

TEST(SmsPduEncode, Destinations)
{
    int n = 0;
    EXPECT_EQ(encode(submit("01234567890", 0, "ABC"), &n), "0011000B811032547698F00000AA0341E110");
    EXPECT_EQ(n, 17);
    EXPECT_EQ(encode(submit("4917012345678", 0, "", 0x91)), "0011000D91947110325476F80000AA00");
    EXPECT_EQ(encode(submit("", 8, "")), "001100008100" "08AA00");
    // A number longer than the field is cut at 20 digits, even when tpa is not terminated.
    std::string d = encode(submit("1234567890123456789012345", 0, ""));
    EXPECT_EQ(d, "0011001481" "21436587092143658709" "0000AA00");
}

TEST(SmsPduEncode, OtherCodingsCopyOctets)
{
    int n = 0;
    // 0x10 is the 7-bit alphabet with a class, which this codec treats as 8-bit data.
    EXPECT_EQ(encode(submit("0123456789", 0x10, "ABC"), &n), "0011000A8110325476980010AA03414243");
    EXPECT_EQ(n, 16);
    EXPECT_EQ(encode(submit("0123456789", 4, std::string("\x00\xFF\x1B", 3))),
              "0011000A8110325476980004AA0300FF1B");
    pdu_fields f = submit("0123456789", 4, "A[");
    encode(&f);
    EXPECT_EQ(ud_string(f, 3), std::string("A[\0", 3));  // not converted
}

TEST(SmsPduEncode, UserDataIsCutAtTheLimits)
{
    int n = 0;
    // UCS-2 150 octets -> 140.
    std::string e = encode(submit("0123456789", 8, repeat("\x4F\x60", 75)), &n);
    EXPECT_EQ(n, 13 + 140);
    EXPECT_EQ(e.substr(26, 2), "8C");
    EXPECT_EQ(e.substr(28), repeat("4F60", 70));
    // A user-data length beyond the buffer (255) reads no further than 140 octets.
    pdu_fields f = submit("0123456789", 4, repeat("z", 161));
    f.tp_udl = 255;
    e = encode(&f, &n);
    EXPECT_EQ(n, 13 + 140);
    EXPECT_EQ(e.substr(26), "8C" + repeat("7A", 140));
    // 160 7-bit characters are sent whole.
    e = encode(submit("0123456789", 0, repeat("A", 160)), &n);
    EXPECT_EQ(n, 13 + 140);
    EXPECT_EQ(e.substr(26), "A0" + repeat("C16030180C0683", 20));
    // Escape pairs beyond 160 codes: cut at the last whole pair.
    e = encode(submit("0123456789", 0, repeat("a", 159) + "["), &n);
    EXPECT_EQ(e.substr(26, 2), "9F");
    EXPECT_EQ(n, 13 + 140);
    e = encode(submit("0123456789", 0, repeat("[", 81)), &n);
    EXPECT_EQ(e.substr(26, 2), "A0");
    pdu_fields g = submit("0123456789", 0, repeat("[", 160));
    g.tp_udl = 255;
    e = encode(&g, &n);
    EXPECT_EQ(e.substr(26, 2), "A0");
    EXPECT_EQ(n, 13 + 140);
    EXPECT_EQ(g.tp_ud[159], 0x3C);
    EXPECT_EQ(g.tp_ud[160], 0);
}

TEST(SmsPduDecode, WorkedExample)
{
    pdu_fields f;
    std::memset(&f, 0x55, sizeof f);
    int r = gsmDecodePdu(kExample, &f);
    EXPECT_EQ(r, 3);
    EXPECT_STREQ(f.sca, "1234567890");
    EXPECT_STREQ(f.tpa, "0123456789");
    EXPECT_EQ(f.tp_pid, 0);
    EXPECT_EQ(f.tp_dcs, 0);
    EXPECT_STREQ(f.tp_scts, "26012012034032");
    EXPECT_EQ(f.tp_udl, 3);
    EXPECT_STREQ(reinterpret_cast<char *>(f.tp_ud), "ABC");
    expect_sane(f, r);
}

TEST(SmsPduDecode, Codings)
{
    pdu_fields f;
    int sept = 0;
    // An escape pair gives one character for two septets.
    std::string ud = packed7("a[1", &sept);
    ASSERT_EQ(sept, 4);
    EXPECT_EQ(gsmDecodePdu(deliver(kSca, kOa, 0, kScts, 4, ud).c_str(), &f), 3);
    EXPECT_EQ(f.tp_udl, 4);
    EXPECT_STREQ(reinterpret_cast<char *>(f.tp_ud), "a[1");

    // 8-bit data: octets unchanged, then a zero.
    EXPECT_EQ(gsmDecodePdu(deliver(kSca, kOa, 4, kScts, 3, "00FF41").c_str(), &f), 3);
    EXPECT_EQ(f.tp_dcs, 4);
    EXPECT_EQ(ud_string(f, 4), std::string("\x00\xFF\x41\x00", 4));
    // 0x10 is 8-bit data too.
    EXPECT_EQ(gsmDecodePdu(deliver(kSca, kOa, 0x10, kScts, 3, "414243").c_str(), &f), 3);
    EXPECT_EQ(ud_string(f, 4), std::string("ABC\0", 4));
    // UCS-2 octets stay big-endian as they came.
    EXPECT_EQ(gsmDecodePdu(deliver(kSca, kOa, 8, kScts, 4, "4F60597D").c_str(), &f), 4);
    EXPECT_EQ(f.tp_udl, 4);
    EXPECT_EQ(ud_string(f, 4), "\x4F\x60\x59\x7D");
    EXPECT_EQ(f.tp_ud[4], 0);

    // An odd originator loses its filler; a 7-septet text ends in fill bits.
    ud = packed7("ABCDEFG", &sept);
    EXPECT_EQ(gsmDecodePdu(deliver("00", "0B811032547698F0", 0, kScts, 7, ud).c_str(), &f), 7);
    EXPECT_STREQ(f.tpa, "01234567890");
    EXPECT_STREQ(f.sca, "");
    EXPECT_STREQ(reinterpret_cast<char *>(f.tp_ud), "ABCDEFG");
}

TEST(SmsPduDecode, DecodeThenReencodeGivesTheSameUserData)
{
    std::mt19937 rng(4711);
    const std::string alphabet = std::string("@$_!\"#%&'()*+,-./:;<=>?\n\r ") +
                                 "ABCXYZabcxyz0189[]{}\\^~|\x0C\xA4\xE9\xC7\xDF\xA1\xBF\xE0";
    for (int round = 0; round < 300; round++) {
        uint8_t dcs = round % 3 == 0 ? 0 : round % 3 == 1 ? 8 : 4;
        int digits = 1 + static_cast<int>(rng() % 20);
        std::string number;
        for (int i = 0; i < digits; i++) number += static_cast<char>('0' + rng() % 10);
        std::string oa = hex8(static_cast<unsigned>(digits)) + "91";
        std::string semi;
        for (int i = 0; i < digits; i += 2) {
            semi += i + 1 < digits ? number[static_cast<size_t>(i) + 1] : 'F';
            semi += number[static_cast<size_t>(i)];
        }
        oa += semi;

        std::string data;
        std::string ud;
        unsigned udl;
        if (dcs == 0) {
            int len = static_cast<int>(rng() % 81);  // escapes included, within 160 codes
            for (int i = 0; i < len; i++) data += alphabet[rng() % alphabet.size()];
            int sept = 0;
            ud = packed7(data, &sept);
            udl = static_cast<unsigned>(sept);
        } else {
            int len = static_cast<int>(rng() % 141) & (dcs == 8 ? ~1 : ~0);
            for (int i = 0; i < len; i++) data += static_cast<char>(rng() % 256);
            ud = hex(data);
            udl = static_cast<unsigned>(len);
        }
        std::string pdu = deliver(kSca, oa, dcs, kScts, udl, ud);
        SCOPED_TRACE(pdu);
        pdu_fields f;
        int r = gsmDecodePdu(pdu.c_str(), &f);
        ASSERT_EQ(r, static_cast<int>(data.size()));
        EXPECT_EQ(ud_string(f, r), data);
        EXPECT_STREQ(f.tpa, number.c_str());
        expect_sane(f, r);

        // Answer with the decoded fields: the SUBMIT carries the same user data.
        pdu_fields s = submit(f.tpa, f.tp_dcs, ud_string(f, r), 0x91);
        std::string e = encode(s);
        EXPECT_EQ(e, "001100" + oa + "00" + hex8(dcs) + "AA" + hex8(udl) + ud);
    }
}

TEST(SmsPduDecode, HostileLengthsAreCut)
{
    pdu_fields f;
    // Service-centre length 0: no service centre and no type octet.
    std::string body = deliver("00", kOa, 0, kScts, 3, "41E110");
    EXPECT_EQ(gsmDecodePdu(body.c_str(), &f), 3);
    EXPECT_STREQ(f.sca, "");
    EXPECT_STREQ(f.tpa, "0123456789");
    // A service centre over 10 octets keeps 20 digits and the rest stays aligned.
    std::string sca = "1F91" + repeat("2143658709", 6);  // 31 octets: type + 30
    EXPECT_EQ(gsmDecodePdu(deliver(sca, kOa, 0, kScts, 3, "41E110").c_str(), &f), 3);
    EXPECT_STREQ(f.sca, "12345678901234567890");
    EXPECT_STREQ(f.tpa, "0123456789");
    EXPECT_STREQ(reinterpret_cast<char *>(f.tp_ud), "ABC");
    // An originator of 48 digits keeps its first 20.
    std::string oa = "3081" + repeat("1032547698", 4) + "10325476";
    EXPECT_EQ(gsmDecodePdu(deliver(kSca, oa, 0, kScts, 3, "41E110").c_str(), &f), 3);
    EXPECT_STREQ(f.tpa, "01234567890123456789");
    EXPECT_STREQ(f.tp_scts, "26012012034032");
    // The largest originator the octet can name (255 digits).
    oa = "FF81" + repeat("10", 127) + "F0";
    EXPECT_EQ(gsmDecodePdu(deliver(kSca, oa, 0, kScts, 3, "41E110").c_str(), &f), 3);
    EXPECT_STREQ(f.tpa, "01010101010101010101");

    // 7-bit UDL 255: cut to 160 septets, which need only 140 octets.
    std::string pdu = deliver(kSca, kOa, 0, kScts, 255, repeat("C16030180C0683", 20));
    int r = gsmDecodePdu(pdu.c_str(), &f);
    EXPECT_EQ(r, 160);
    EXPECT_EQ(f.tp_udl, 160);
    EXPECT_EQ(ud_string(f, 161), repeat("A", 160) + std::string(1, '\0'));
    expect_sane(f, r);
    // 8-bit UDL 200: cut to 140 octets, then a zero.
    pdu = deliver(kSca, kOa, 4, kScts, 200, repeat("FF", 200));
    r = gsmDecodePdu(pdu.c_str(), &f);
    EXPECT_EQ(r, 140);
    EXPECT_EQ(f.tp_udl, 140);
    EXPECT_EQ(f.tp_ud[139], 0xFF);
    EXPECT_EQ(f.tp_ud[140], 0);
    expect_sane(f, r);
    pdu = deliver(kSca, kOa, 8, kScts, 255, repeat("4F60", 70));
    EXPECT_EQ(gsmDecodePdu(pdu.c_str(), &f), 140);
    // A 7-bit text whose last septet is a lone escape keeps it as 0x1B.
    std::string codes("A\x1B", 2);
    unsigned char oct[8];
    int m = gsmEncode7bit(reinterpret_cast<const unsigned char *>(codes.c_str()), oct, 3);
    pdu = deliver(kSca, kOa, 0, kScts, 2, hex(std::string(reinterpret_cast<char *>(oct), m)));
    EXPECT_EQ(gsmDecodePdu(pdu.c_str(), &f), 2);
    EXPECT_EQ(ud_string(f, 3), std::string("A\x1B\0", 3));
}

TEST(SmsPduDecode, TextEndsAndBadCharacters)
{
    pdu_fields f;
    const std::string full = kExample;
    // Every cut of the text before the end of the user data is undecodable,
    // and the record is left cleared.
    for (size_t len = 0; len < full.size(); len++) {
        std::memset(&f, 0x55, sizeof f);
        EXPECT_EQ(gsmDecodePdu(full.substr(0, len).c_str(), &f), PDU_UNDECODABLE) << len;
        EXPECT_EQ(f.sca[0], 0);
        EXPECT_EQ(f.tpa[0], 0);
        EXPECT_EQ(f.tp_ud[0], 0);
        EXPECT_EQ(f.tp_udl, 0);
    }
    // What follows the PDU in the modem answer is not read as part of it.
    EXPECT_EQ(gsmDecodePdu((full + "\r\n\r\nOK\r\n").c_str(), &f), 3);
    EXPECT_EQ(gsmDecodePdu((full + "7").c_str(), &f), 3);
    EXPECT_EQ(gsmDecodePdu((full + "FFFF").c_str(), &f), 3);
    EXPECT_STREQ(reinterpret_cast<char *>(f.tp_ud), "ABC");
    // Lower-case hex digits are hex digits.
    std::string lower = "06912143658709040a8110325476980000621002213004230341e110";
    EXPECT_EQ(gsmDecodePdu(lower.c_str(), &f), 3);
    EXPECT_STREQ(f.tpa, "0123456789");
    EXPECT_STREQ(reinterpret_cast<char *>(f.tp_ud), "ABC");
    EXPECT_EQ(gsmDecodePdu(deliver(kSca, "0b811032547698f0", 0, kScts, 3, "41e110").c_str(), &f), 3);
    EXPECT_STREQ(f.tpa, "01234567890");
    // A character that is not a hex digit anywhere in the PDU stops it short.
    for (size_t i = 0; i < full.size(); i++) {
        for (char bad : {'G', ' ', '+', '\r', 'g', '\x80'}) {
            std::string s = full;
            s[i] = bad;
            EXPECT_EQ(gsmDecodePdu(s.c_str(), &f), PDU_UNDECODABLE) << i << " " << bad;
        }
    }
    EXPECT_EQ(gsmDecodePdu(nullptr, &f), PDU_UNDECODABLE);
}

TEST(SmsPduDecode, NeverReadsPastTheTerminator)
{
    // Each text sits at the very end of a page, its NUL the last readable byte.
    long page = sysconf(_SC_PAGESIZE);
    void *mem = mmap(nullptr, static_cast<size_t>(page) * 2, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    char *base = static_cast<char *>(mem);
    ASSERT_EQ(mprotect(base + page, static_cast<size_t>(page), PROT_NONE), 0);

    const std::string texts[] = {
        kExample,
        deliver("FF91", kOa, 0, kScts, 3, "41E110"),
        deliver(kSca, "FF81" + repeat("10", 40), 0, kScts, 3, "41E110"),
        deliver(kSca, kOa, 0, kScts, 160, repeat("C16030180C0683", 19)),
        deliver(kSca, kOa, 4, kScts, 140, repeat("FF", 139) + "F"),
        deliver(kSca, kOa, 8, kScts, 255, repeat("4F60", 60)),
    };
    pdu_fields f;
    for (const std::string &t : texts) {
        for (size_t len = 0; len <= t.size(); len++) {
            char *s = base + page - static_cast<long>(len) - 1;
            std::memcpy(s, t.data(), len);
            s[len] = 0;
            int r = gsmDecodePdu(s, &f);
            expect_sane(f, r);
            if (len < t.size() || &t != &texts[0]) {
                EXPECT_EQ(r, PDU_UNDECODABLE) << t.substr(0, len);
            }
        }
    }
    // Odd hex characters right before the end.
    char *s = base + page - 2;
    s[0] = '0';
    s[1] = 0;
    EXPECT_EQ(gsmDecodePdu(s, &f), PDU_UNDECODABLE);
    munmap(mem, static_cast<size_t>(page) * 2);
}

TEST(SmsPduDecode, RandomTextStaysInBounds)
{
    std::mt19937 rng(99);
    const char digits[] = "0123456789ABCDEFabcdef";
    char buf[700];
    for (int round = 0; round < 20000; round++) {
        size_t len = rng() % (sizeof buf - 1);
        // Mostly plausible headers, so that many inputs reach the user data.
        std::string s = round % 2 ? std::string(kExample).substr(0, rng() % 40) : "";
        for (size_t i = s.size(); i < len; i++) s += digits[rng() % (sizeof digits - 1)];
        if (rng() % 8 == 0 && !s.empty()) s[rng() % s.size()] = static_cast<char>(rng() % 256);
        std::memcpy(buf, s.c_str(), s.size() + 1);
        pdu_fields f;
        int r = gsmDecodePdu(buf, &f);
        expect_sane(f, r);
        if (HasFailure()) {
            ADD_FAILURE() << s;
            return;
        }
    }
}

TEST(SmsPduAlphabet, TableAndEscapes)
{
    EXPECT_EQ(Table7Bit2Iso[0x00], '@');
    EXPECT_EQ(Table7Bit2Iso[0x01], 0xA3);
    EXPECT_EQ(Table7Bit2Iso[0x02], '$');
    EXPECT_EQ(Table7Bit2Iso[0x09], 0xC7);
    EXPECT_EQ(Table7Bit2Iso[0x0A], 0x0A);
    EXPECT_EQ(Table7Bit2Iso[0x0D], 0x0D);
    EXPECT_EQ(Table7Bit2Iso[0x11], '_');
    EXPECT_EQ(Table7Bit2Iso[0x24], 0xA4);
    EXPECT_EQ(Table7Bit2Iso[0x40], 0xA1);
    EXPECT_EQ(Table7Bit2Iso[0x5B], 0xC4);
    EXPECT_EQ(Table7Bit2Iso[0x60], 0xBF);
    EXPECT_EQ(Table7Bit2Iso[0x7F], 0xE0);
    for (int c : {0x10, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B})
        EXPECT_EQ(Table7Bit2Iso[c], c);
    for (int c = 0x20; c <= 0x7E; c++) {
        bool ascii_same = c != 0x24 && c != 0x40 && !(c >= 0x5B && c <= 0x60) && c < 0x7B;
        if (ascii_same) {
            EXPECT_EQ(Table7Bit2Iso[c], c) << c;
        }
    }
    // Every 8-bit character of the table comes back unchanged, except 0xA4,
    // which goes out as the euro escape pair and comes back as 0xA4.
    for (int code = 0; code < 128; code++) {
        if (code == 0x1B) continue;
        unsigned char iso = Table7Bit2Iso[code];
        unsigned char codes[3], back[3];
        int n = gsmIso27Bit(&iso, codes, 1);
        if (iso == 0xA4) {
            EXPECT_EQ(n, 2);
        } else {
            ASSERT_EQ(n, 1);
            EXPECT_EQ(codes[0], code);
        }
        EXPECT_EQ(gsm7Bit2Iso(codes, back, n), 1);
        EXPECT_EQ(back[0], iso);
        EXPECT_EQ(back[1], 0);
    }
    const unsigned char iso[] = {0x0C, '^', '{', '}', '\\', '[', '~', ']', '|', 0xA4};
    const unsigned char ext[] = {0x0A, 0x14, 0x28, 0x29, 0x2F, 0x3C, 0x3D, 0x3E, 0x40, 0x65};
    unsigned char codes[21];
    ASSERT_EQ(gsmIso27Bit(iso, codes, 10), 20);
    EXPECT_EQ(codes[20], 0);
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(codes[2 * i], 0x1B);
        EXPECT_EQ(codes[2 * i + 1], ext[i]);
    }
    unsigned char text[21];
    ASSERT_EQ(gsm7Bit2Iso(codes, text, 20), 10);
    EXPECT_EQ(0, std::memcmp(text, iso, 10));
    EXPECT_EQ(text[10], 0);
    // An escape before a code outside the extension table stays, and the code
    // is converted on its own.
    const unsigned char odd[] = {0x1B, 0x41, 0x1B};
    ASSERT_EQ(gsm7Bit2Iso(odd, text, 3), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(text)), "\x1B" "A\x1B");
    // A character outside the table passes with its own value.
    const unsigned char other[] = {0xC0, 0x00};
    ASSERT_EQ(gsmIso27Bit(other, codes, 2), 2);
    EXPECT_EQ(codes[0], 0xC0);
    EXPECT_EQ(codes[1], 0x00);
}

TEST(SmsPduPacking, SevenBit)
{
    const unsigned char abcdefgh[] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 0};
    unsigned char oct[16];
    ASSERT_EQ(gsmEncode7bit(abcdefgh, oct, 9), 7);
    EXPECT_EQ(hex(std::string(reinterpret_cast<char *>(oct), 7)), "41E19058341E91");
    unsigned char codes[16];
    ASSERT_EQ(gsmDecode7bit(oct, codes, 7), 8);
    EXPECT_EQ(0, std::memcmp(codes, abcdefgh, 9));
    EXPECT_EQ(gsmDecode7bit(oct, codes, 0), 0);
    EXPECT_EQ(codes[0], 0);
    // Codes are 7-bit: a stray eighth bit does not spill into the next code.
    const unsigned char high[] = {0xC1, 'B', 0};
    ASSERT_EQ(gsmEncode7bit(high, oct, 3), 2);
    ASSERT_EQ(gsmDecode7bit(oct, codes, 2), 2);
    EXPECT_EQ(codes[0], 0x41);
    EXPECT_EQ(codes[1], 'B');
    // Round trip over every code in every position.
    std::vector<unsigned char> all(129), packed(129), back(160);
    for (int i = 0; i < 128; i++) all[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
    int m = gsmEncode7bit(all.data(), packed.data(), 129);
    EXPECT_EQ(m, 112);
    EXPECT_EQ(gsmDecode7bit(packed.data(), back.data(), m), 128);
    EXPECT_EQ(0, std::memcmp(back.data(), all.data(), 128));
}

TEST(SmsPduNumbers, SemiOctetsAndHex)
{
    char out[32];
    EXPECT_EQ(gsmInvertNumbers("12345", out, 5), 6);
    EXPECT_STREQ(out, "2143F5");
    EXPECT_EQ(gsmInvertNumbers("1234", out, 4), 4);
    EXPECT_STREQ(out, "2143");
    EXPECT_EQ(gsmInvertNumbers("", out, 0), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(gsmSerializeNumbers("2143F5", out, 6), 5);
    EXPECT_STREQ(out, "12345");
    EXPECT_EQ(gsmSerializeNumbers("2143", out, 4), 4);
    EXPECT_STREQ(out, "1234");

    const unsigned char bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(gsmBytes2String(bytes, out, 4), 8);
    EXPECT_STREQ(out, "000FA5FF");
    unsigned char back[8];
    EXPECT_EQ(gsmString2Bytes("000FA5FF", back, 8), 4);
    EXPECT_EQ(0, std::memcmp(back, bytes, 4));
    EXPECT_EQ(gsmString2Bytes("000fa5ff", back, 8), 4);
    EXPECT_EQ(0, std::memcmp(back, bytes, 4));
    // The text's end stops the conversion even when n says more.
    EXPECT_EQ(gsmString2Bytes("A5F", back, 40), 1);
    EXPECT_EQ(back[0], 0xA5);

    unsigned char copy[8];
    EXPECT_EQ(gsmDecode8bit(bytes, copy, 4), 4);
    EXPECT_EQ(0, std::memcmp(copy, bytes, 4));
    EXPECT_EQ(copy[4], 0);
    EXPECT_EQ(gsmEncode8bit(bytes, copy, 3), 3);
    EXPECT_EQ(gsmEncodeUcs2(bytes, copy, 4), 4);
    EXPECT_EQ(gsmDecodeUcs2(bytes, copy, 2), 2);
}

// ---- Received PDUs of any kind ----------------------------------------------
// Vectors built from the field layouts of TS 23.040 and confirmed with an
// independent decoder; the time stamp is 26/01/20 12:03:40, zone 0.

namespace {
// DELIVER from 0123456789 (national) with the given DCS and user data.
std::string dlv(const std::string &dcs, const std::string &udl_ud, const std::string &fo = "04")
{
    return "00" + fo + "0A811032547698" + "00" + dcs + "62100221300400" + udl_ud;
}
std::string text_of(const pdu_rx &r) { return std::string(reinterpret_cast<const char *>(r.text), static_cast<size_t>(r.text_len)); }
}  // namespace

TEST(SmsPduRx, DataCodingGroups)
{
    struct row {
        uint8_t dcs;
        int alphabet, cls;
        bool compressed;
        int mwi;
    } rows[] = {
        {0x00, PDU_ALPHA_GSM7, -1, false, -1}, {0x04, PDU_ALPHA_8BIT, -1, false, -1},
        {0x08, PDU_ALPHA_UCS2, -1, false, -1}, {0x0C, PDU_ALPHA_GSM7, -1, false, -1},   // reserved alphabet
        {0x10, PDU_ALPHA_GSM7, 0, false, -1},  {0x11, PDU_ALPHA_GSM7, 1, false, -1},
        {0x15, PDU_ALPHA_8BIT, 1, false, -1},  {0x18, PDU_ALPHA_UCS2, 0, false, -1},
        {0x19, PDU_ALPHA_UCS2, 1, false, -1},  {0x20, PDU_ALPHA_GSM7, -1, true, -1},
        {0x3A, PDU_ALPHA_UCS2, 2, true, -1},   {0x48, PDU_ALPHA_UCS2, -1, false, -1},   // automatic deletion
        {0x53, PDU_ALPHA_GSM7, 3, false, -1},  {0x80, PDU_ALPHA_GSM7, -1, false, -1},   // reserved group
        {0xC0, PDU_ALPHA_GSM7, -1, false, 0},  {0xC8, PDU_ALPHA_GSM7, -1, false, 0},
        {0xD8, PDU_ALPHA_GSM7, -1, false, 1},  {0xE0, PDU_ALPHA_UCS2, -1, false, 1},
        {0xEB, PDU_ALPHA_UCS2, -1, false, 1},  {0xF0, PDU_ALPHA_GSM7, 0, false, -1},
        {0xF1, PDU_ALPHA_GSM7, 1, false, -1},  {0xF6, PDU_ALPHA_8BIT, 2, false, -1},
    };
    for (const row &r : rows) {
        pdu_dcs_info c = pdu_read_dcs(r.dcs);
        EXPECT_EQ(c.alphabet, r.alphabet) << std::hex << int(r.dcs);
        EXPECT_EQ(c.msg_class, r.cls) << std::hex << int(r.dcs);
        EXPECT_EQ(c.compressed, r.compressed) << std::hex << int(r.dcs);
        EXPECT_EQ(c.mwi, r.mwi) << std::hex << int(r.dcs);
    }
    EXPECT_TRUE(pdu_read_dcs(0xC8).mwi_active);
    EXPECT_EQ(pdu_read_dcs(0xEB).mwi_type, 3);
}

TEST(SmsPduRx, TheAlphabetDecidesTheTextWhateverTheClass)
{
    pdu_rx r;
    for (const char *dcs : {"00", "10", "11", "F0", "F1", "C0", "D8", "0C", "80"}) {
        ASSERT_EQ(pdu_decode_rx(dlv(dcs, "02C834").c_str(), &r), PDU_RX_DELIVER) << dcs;
        EXPECT_EQ(text_of(r), "Hi") << dcs;
        EXPECT_EQ(r.coding.alphabet, PDU_ALPHA_GSM7) << dcs;
        EXPECT_STREQ(r.address, "0123456789");
        EXPECT_STREQ(r.scts, "26012012034000");
    }
    for (const char *dcs : {"08", "18", "19", "E0", "48"}) {
        ASSERT_EQ(pdu_decode_rx(dlv(dcs, "0400480069").c_str(), &r), PDU_RX_DELIVER) << dcs;
        EXPECT_EQ(text_of(r), std::string("\0H\0i", 4)) << dcs;
        EXPECT_EQ(r.coding.alphabet, PDU_ALPHA_UCS2) << dcs;
    }
    for (const char *dcs : {"04", "F4", "15"}) {
        ASSERT_EQ(pdu_decode_rx(dlv(dcs, "03C83400").c_str(), &r), PDU_RX_DELIVER) << dcs;
        EXPECT_EQ(text_of(r), std::string("\xC8\x34\x00", 3)) << dcs;
    }
    // Compressed text is refused, clearly, rather than shown as octets.
    EXPECT_EQ(pdu_decode_rx(dlv("20", "02C834").c_str(), &r), PDU_RX_COMPRESSED);
    EXPECT_EQ(pdu_decode_rx(dlv("2A", "0400480069").c_str(), &r), PDU_RX_COMPRESSED);
}

TEST(SmsPduRx, Originators)
{
    pdu_rx r;
    // An alphanumeric name (type of number 101) in the GSM alphabet.
    ASSERT_EQ(pdu_decode_rx("00040ED0416650DA6C1DAF00006210022130040002C834", &r), PDU_RX_DELIVER);
    EXPECT_TRUE(r.address_alnum);
    EXPECT_STREQ(r.address, "ALARM-GW");
    EXPECT_EQ(text_of(r), "Hi");
    // 0xD1 as well; a name longer than 11 characters is cut there.
    std::string pdu = "00040ED0416650DA6C1DAF00006210022130040002C834";
    pdu[7] = '1';
    ASSERT_EQ(pdu_decode_rx(pdu.c_str(), &r), PDU_RX_DELIVER);
    EXPECT_STREQ(r.address, "ALARM-GW");
    ASSERT_EQ(pdu_decode_rx("000427D0C16030180C0683C16030180C0683C16030180C02000062100221300400" "02C834", &r), PDU_RX_DELIVER);
    EXPECT_EQ(strlen(r.address), 11u);
    // International numbers keep their '+'; the other semi-octets are named.
    ASSERT_EQ(pdu_decode_rx("00040A91103254769800006210022130040002C834", &r), PDU_RX_DELIVER);
    EXPECT_STREQ(r.address, "+0123456789");
    EXPECT_FALSE(r.address_alnum);
    ASSERT_EQ(pdu_decode_rx("000404A1BAEC00006210022130040002C834", &r), PDU_RX_DELIVER);
    EXPECT_STREQ(r.address, "*#ac");
}

TEST(SmsPduRx, HeaderIsStrippedAndConcatenationRead)
{
    pdu_rx r;
    // 7-bit, 8-bit reference: 6 header octets, then one fill bit.
    ASSERT_EQ(pdu_decode_rx("00440A8110325476980000621002213004000C050003420302906536FB0D", &r), PDU_RX_DELIVER);
    EXPECT_TRUE(r.has_udh);
    EXPECT_EQ(text_of(r), "Hello");
    EXPECT_EQ(r.concat.ref, 0x42);
    EXPECT_EQ(r.concat.total, 3);
    EXPECT_EQ(r.concat.seq, 2);
    EXPECT_FALSE(r.concat.wide);
    // 7-bit, 16-bit reference: 7 header octets, no fill bits; an escape pair.
    ASSERT_EQ(pdu_decode_rx("00440A8110325476980000621002213004000C06080412340202C8F40605", &r), PDU_RX_DELIVER);
    EXPECT_EQ(text_of(r), "Hi{");
    EXPECT_EQ(r.concat.ref, 0x1234);
    EXPECT_TRUE(r.concat.wide);
    // UCS-2 after a 7-octet header stays aligned.
    ASSERT_EQ(pdu_decode_rx("00440A8110325476980008621002213004000B0608041234020100410042", &r), PDU_RX_DELIVER);
    EXPECT_EQ(text_of(r), std::string("\0A\0B", 4));
    EXPECT_EQ(r.concat.seq, 1);
    EXPECT_EQ(r.concat.total, 2);
    // A part number of 0 or beyond the count: no concatenation, text still clean.
    ASSERT_EQ(pdu_decode_rx("00440A8110325476980000621002213004000C050003420304906536FB0D", &r), PDU_RX_DELIVER);
    EXPECT_EQ(r.concat.total, 0);
    EXPECT_EQ(text_of(r), "Hello");
    // Other elements are skipped; a header longer than the user data is undecodable.
    ASSERT_EQ(pdu_decode_rx("00440A8110325476980004621002213004000B080101AA00034202024142", &r), PDU_RX_DELIVER);
    EXPECT_EQ(text_of(r), "AB");
    EXPECT_EQ(r.concat.seq, 2);
    EXPECT_EQ(pdu_decode_rx("00440A8110325476980004621002213004000309AABB", &r), PDU_UNDECODABLE);
    EXPECT_EQ(pdu_decode_rx("00440A81103254769800006210022130040002090000", &r), PDU_UNDECODABLE);
}

TEST(SmsPduRx, SurrogatePairsPassThrough)
{
    pdu_rx r;
    ASSERT_EQ(pdu_decode_rx("00040A811032547698000862100221300400060078D83DDE00", &r), PDU_RX_DELIVER);
    ASSERT_EQ(r.text_len, 6);
    uint16_t u[8];
    ASSERT_EQ(pdu_text_utf16(r.text, r.text_len, 8, u, 8), 3);
    EXPECT_EQ(u[0], 0x0078);
    EXPECT_EQ(u[1], 0xD83D);
    EXPECT_EQ(u[2], 0xDE00);
    // An odd octet count drops the half unit.
    ASSERT_EQ(pdu_decode_rx("00040A811032547698000862100221300400050078D83DDE", &r), PDU_RX_DELIVER);
    EXPECT_EQ(r.text_len, 4);
    // GSM text to UTF-16: euro and the Greek capitals.
    const uint8_t gsm[] = {'A', 0xA4, 0x10, 0x1A, 0xE9};
    ASSERT_EQ(pdu_text_utf16(gsm, 5, 0, u, 8), 5);
    EXPECT_EQ(u[1], 0x20AC);
    EXPECT_EQ(u[2], 0x0394);
    EXPECT_EQ(u[3], 0x039E);
    EXPECT_EQ(u[4], 0x00E9);
}

TEST(SmsPduRx, FirstOctetDecidesTheKind)
{
    pdu_rx r;
    // A stored SUBMIT and a reserved type are named, not read as a DELIVER.
    EXPECT_EQ(pdu_decode_rx("0011000A8110325476980000AA0341E110", &r), PDU_RX_SUBMIT);
    EXPECT_EQ(pdu_decode_rx("0003FFFF", &r), PDU_RX_RESERVED);
    // A status report: reference 0x2A for +0123456789, delivered (TP-ST 0).
    const char *sr = "0006" "2A" "0A911032547698" "62100221300400" "62100221400400" "00";
    ASSERT_EQ(pdu_decode_rx(sr, &r), PDU_RX_STATUS_REPORT);
    EXPECT_EQ(r.mr, 0x2A);
    EXPECT_EQ(r.st, 0);
    EXPECT_STREQ(r.address, "+0123456789");
    EXPECT_STREQ(r.dt, "26012012044000");
    pdu_status_report s;
    ASSERT_EQ(pdu_decode_status_report(sr, &s), 1);
    EXPECT_STREQ(s.recipient, "+0123456789");
    EXPECT_EQ(s.mr, 0x2A);
    EXPECT_STREQ(s.scts, "26012012034000");
    EXPECT_EQ(pdu_decode_status_report("0006" "2A" "0A911032547698" "6210022130040062100221400400" "45", &s), 1);
    EXPECT_EQ(s.st, 0x45);
    EXPECT_EQ(pdu_decode_status_report(dlv("00", "02C834").c_str(), &s), 0);
    EXPECT_EQ(pdu_decode_status_report("0006" "2A" "0A9110325476986210", &s), 0);   // cut short
}

TEST(SmsPduRx, TimeStampsOrderAcrossZones)
{
    long long t = pdu_scts_seconds("26012012034000");
    ASSERT_GT(t, 0);
    EXPECT_EQ(pdu_scts_seconds("26012012034100"), t + 1);
    // +01:00 (4 quarters) is an hour earlier in UTC; 0x80 | 4 is -01:00.
    EXPECT_EQ(pdu_scts_seconds("26012013034004"), t);
    EXPECT_EQ(pdu_scts_seconds("26012011034084"), t);
    EXPECT_EQ(pdu_scts_seconds("260120110340A0"), t + 4 * 3600);   // 11:03:40 at UTC-05:00
    EXPECT_EQ(pdu_scts_seconds("26013212034000"), -1);
    EXPECT_EQ(pdu_scts_seconds("2601201203"), -1);
    EXPECT_EQ(pdu_scts_seconds(nullptr), -1);
    EXPECT_EQ(pdu_scts_seconds("00010100000000"), 946684800LL);
}

TEST(SmsPduRx, HostileInputStaysInBounds)
{
    pdu_rx r;
    std::mt19937 rng(7);
    const char *hex = "0123456789ABCDEF";
    for (int i = 0; i < 20000; i++) {
        std::string s = i % 2 ? dlv(i % 4 == 1 ? "08" : "00", "") : "0044";
        if (i % 2 == 0) s += "0A811032547698" "00" + std::string(i % 8 == 0 ? "08" : "00") + "62100221300400";
        int n = static_cast<int>(rng() % 300);
        for (int k = 0; k < n; k++) s += hex[rng() % 16];
        int kind = pdu_decode_rx(s.c_str(), &r);
        if (kind == PDU_UNDECODABLE) continue;
        ASSERT_LE(r.text_len, PDU_RX_TEXT);
        ASSERT_LT(strnlen(r.address, sizeof r.address), sizeof r.address);
        if (r.coding.alphabet == PDU_ALPHA_UCS2) {
            ASSERT_EQ(r.text_len % 2, 0);
        }
    }
}
