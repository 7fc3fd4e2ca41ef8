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
