// SMS PDU codec. Everything works on caller buffers; a received PDU is hostile
// input, so the decoder checks every character it consumes and cuts every
// length it is given to the record's buffers.
#include "modem/sms_func.h"

#include <cstring>

// GSM 7-bit default alphabet in ISO-8859-1; the Greek capitals and the escape
// code have no 8-bit character and stand for themselves.
const unsigned char Table7Bit2Iso[128] = {
    0x40, 0xA3, 0x24, 0xA5, 0xE8, 0xE9, 0xF9, 0xEC,  // @ £ $ ¥ è é ù ì
    0xF2, 0xC7, 0x0A, 0xD8, 0xF8, 0x0D, 0xC5, 0xE5,  // ò Ç LF Ø ø CR Å å
    0x10, 0x5F, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,  // Δ _ Φ Γ Λ Ω Π Ψ
    0x18, 0x19, 0x1A, 0x1B, 0xC6, 0xE6, 0xDF, 0xC9,  // Σ Θ Ξ ESC Æ æ ß É
    0x20, 0x21, 0x22, 0x23, 0xA4, 0x25, 0x26, 0x27,  // space ! " # ¤ % & '
    0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0xA1, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47,  // ¡ A..G
    0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57,
    0x58, 0x59, 0x5A, 0xC4, 0xD6, 0xD1, 0xDC, 0xA7,  // X Y Z Ä Ö Ñ Ü §
    0xBF, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67,  // ¿ a..g
    0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77,
    0x78, 0x79, 0x7A, 0xE4, 0xF6, 0xF1, 0xFC, 0xE0,  // x y z ä ö ñ ü à
};

namespace {

constexpr unsigned char GSM_ESC = 0x1B;

// The extension table: 8-bit character and the code that follows the escape.
struct escape_pair {
    unsigned char iso;
    unsigned char code;
};
constexpr escape_pair kEscapes[] = {
    {0x0C, 0x0A}, {'^', 0x14}, {'{', 0x28}, {'}', 0x29}, {'\\', 0x2F},
    {'[', 0x3C},  {'~', 0x3D}, {']', 0x3E}, {'|', 0x40}, {0xA4, 0x65},
};

int escape_code_of(unsigned char iso)
{
    for (const escape_pair &e : kEscapes)
        if (e.iso == iso) return e.code;
    return -1;
}

int escape_iso_of(unsigned char code)
{
    for (const escape_pair &e : kEscapes)
        if (e.code == code) return e.iso;
    return -1;
}

int gsm_code_of(unsigned char iso)
{
    for (int i = 0; i < 128; i++)
        if (Table7Bit2Iso[i] == iso) return i;
    return iso;
}

// Converts at most n characters, stopping before a character whose codes would
// not fit in max_codes, so an escape pair is never split.
int iso_to_gsm(const unsigned char *src, unsigned char *dst, int n, int max_codes)
{
    int j = 0;
    for (int i = 0; i < n; i++) {
        int esc = escape_code_of(src[i]);
        if (esc >= 0) {
            if (j + 2 > max_codes) break;
            dst[j++] = GSM_ESC;
            dst[j++] = static_cast<unsigned char>(esc);
        } else {
            if (j + 1 > max_codes) break;
            dst[j++] = static_cast<unsigned char>(gsm_code_of(src[i]));
        }
    }
    dst[j] = 0;
    return j;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The cursor moves only over hex digits, so it stops at the text's NUL (or at
// the line end after the PDU) and never reads past it.
bool take_octet(const char *&p, uint8_t &v)
{
    int hi = hex_value(p[0]);
    if (hi < 0) return false;
    int lo = hex_value(p[1]);
    if (lo < 0) return false;
    v = static_cast<uint8_t>(hi << 4 | lo);
    p += 2;
    return true;
}

// Consumes n semi-octet characters; the first `keep` of them go to dst in
// upper case (so a lower-case filler 'f' is dropped like 'F').
bool take_semi_octets(const char *&p, int n, char *dst, int keep)
{
    for (int i = 0; i < n; i++) {
        char c = p[0];
        if (hex_value(c) < 0) return false;
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
        if (i < keep) dst[i] = c;
        p++;
    }
    return true;
}

bool take_octets(const char *&p, uint8_t *dst, int n)
{
    for (int i = 0; i < n; i++)
        if (!take_octet(p, dst[i])) return false;
    return true;
}

// Reads an address field of `chars` semi-octets into at most 20 digits.
bool take_number(const char *&p, int chars, char *dst)
{
    char semi[PDU_MAX_DIGITS];
    int keep = chars < PDU_MAX_DIGITS ? chars : PDU_MAX_DIGITS;
    if (!take_semi_octets(p, chars, semi, keep)) return false;
    gsmSerializeNumbers(semi, dst, keep);
    return true;
}

int undecodable(pdu_fields *out)
{
    std::memset(out, 0, sizeof *out);
    return PDU_UNDECODABLE;
}

}  // namespace

int gsmIso27Bit(const unsigned char *src, unsigned char *dst, int n)
{
    if (n < 0) n = 0;
    return iso_to_gsm(src, dst, n, 2 * n);
}

int gsm7Bit2Iso(const unsigned char *src, unsigned char *dst, int n)
{
    int j = 0;
    for (int i = 0; i < n; i++) {
        unsigned char code = src[i] & 0x7F;
        if (code == GSM_ESC && i + 1 < n) {
            int iso = escape_iso_of(src[i + 1] & 0x7F);
            if (iso >= 0) {
                dst[j++] = static_cast<unsigned char>(iso);
                i++;
                continue;
            }
        }
        dst[j++] = Table7Bit2Iso[code];
    }
    dst[j] = 0;
    return j;
}

int gsmEncode7bit(const unsigned char *src, unsigned char *dst, int n)
{
    unsigned carry = 0;
    int j = 0;
    for (int i = 0; i < n; i++) {
        unsigned code = src[i] & 0x7Fu;
        int s = i % 8;
        if (s == 0) {
            carry = code;
        } else {
            dst[j++] = static_cast<unsigned char>(((code << (8 - s)) | carry) & 0xFFu);
            carry = code >> s;
        }
    }
    return j;
}

int gsmDecode7bit(const unsigned char *src, unsigned char *dst, int n)
{
    unsigned carry = 0;
    int b = 0;
    int j = 0;
    for (int i = 0; i < n; i++) {
        unsigned octet = src[i];
        dst[j++] = static_cast<unsigned char>(((octet << b) | carry) & 0x7Fu);
        carry = octet >> (7 - b);
        b++;
        if (b == 7) {
            dst[j++] = static_cast<unsigned char>(carry);
            b = 0;
            carry = 0;
        }
    }
    dst[j] = 0;
    return j;
}

int gsmBytes2String(const unsigned char *src, char *dst, int n)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    int j = 0;
    for (int i = 0; i < n; i++) {
        dst[j++] = kHex[src[i] >> 4];
        dst[j++] = kHex[src[i] & 0x0F];
    }
    dst[j] = 0;
    return j;
}

int gsmString2Bytes(const char *src, unsigned char *dst, int n)
{
    int j = 0;
    for (int i = 0; i + 1 < n; i += 2) {
        if (src[i] == 0 || src[i + 1] == 0) break;
        unsigned char v[2];
        for (int k = 0; k < 2; k++) {
            unsigned char c = static_cast<unsigned char>(src[i + k]);
            int h = hex_value(static_cast<char>(c));
            // Other characters keep the modem-style "c - 55" reading.
            v[k] = static_cast<unsigned char>(h >= 0 ? h : c - 55);
        }
        dst[j++] = static_cast<unsigned char>(v[0] << 4 | (v[1] & 0x0F));
    }
    return j;
}

int gsmInvertNumbers(const char *src, char *dst, int n)
{
    int j = 0;
    for (int i = 0; i < n; i += 2) {
        dst[j++] = i + 1 < n ? src[i + 1] : 'F';
        dst[j++] = src[i];
    }
    dst[j] = 0;
    return j;
}

int gsmSerializeNumbers(const char *src, char *dst, int n)
{
    int j = 0;
    for (int i = 0; i < n; i += 2) {
        if (i + 1 < n) dst[j++] = src[i + 1];
        dst[j++] = src[i];
    }
    if (j > 0 && dst[j - 1] == 'F') j--;
    dst[j] = 0;
    return j;
}

int gsmEncode8bit(const unsigned char *src, unsigned char *dst, int n)
{
    if (n > 0) std::memcpy(dst, src, static_cast<size_t>(n));
    return n;
}

int gsmEncodeUcs2(const unsigned char *src, unsigned char *dst, int n)
{
    if (n > 0) std::memcpy(dst, src, static_cast<size_t>(n));
    return n;
}

int gsmDecodeUcs2(const unsigned char *src, unsigned char *dst, int n)
{
    if (n > 0) std::memcpy(dst, src, static_cast<size_t>(n));
    return n;
}

int gsmDecode8bit(const unsigned char *src, unsigned char *dst, int n)
{
    if (n < 0) n = 0;
    if (n > 0) std::memcpy(dst, src, static_cast<size_t>(n));
    dst[n] = 0;
    return n;
}

int gsmEncodePdu(pdu_fields *src, char *out, bool status_report)
{
    int pos = 0;
    int digits = static_cast<int>(strnlen(src->tpa, PDU_MAX_DIGITS));

    // No service centre (the modem's stored one), SUBMIT with relative
    // validity (and a report request when asked), message reference 0.
    const unsigned char fo = static_cast<unsigned char>(PDU_FO_SUBMIT | (status_report ? PDU_FO_SRR : 0));
    const unsigned char head[5] = {0x00, fo, 0x00, static_cast<unsigned char>(digits), src->tp_toa};
    pos += gsmBytes2String(head, out + pos, 5);
    pos += gsmInvertNumbers(src->tpa, out + pos, digits);

    unsigned char ud[PDU_MAX_OCTETS];
    int ud_octets;
    int udl;
    if (src->tp_dcs == 0) {
        // Every character takes at least one code, so 160 characters bound the input.
        int chars = src->tp_udl < PDU_MAX_SEPTETS ? src->tp_udl : PDU_MAX_SEPTETS;
        unsigned char codes[PDU_MAX_SEPTETS + 1];
        udl = iso_to_gsm(src->tp_ud, codes, chars, PDU_MAX_SEPTETS);
        std::memcpy(src->tp_ud, codes, static_cast<size_t>(udl) + 1);
        // One extra zero code flushes the last partial octet with zero fill.
        ud_octets = gsmEncode7bit(codes, ud, udl + 1);
    } else {
        udl = src->tp_udl < PDU_MAX_OCTETS ? src->tp_udl : PDU_MAX_OCTETS;
        ud_octets = src->tp_dcs == 8 ? gsmEncodeUcs2(src->tp_ud, ud, udl)
                                     : gsmEncode8bit(src->tp_ud, ud, udl);
    }

    const unsigned char mid[4] = {src->tp_pid, src->tp_dcs, 0xAA, static_cast<unsigned char>(udl)};
    pos += gsmBytes2String(mid, out + pos, 4);
    pos += gsmBytes2String(ud, out + pos, ud_octets);
    return (pos - 2) / 2;
}

int gsmDecodePdu(const char *src, pdu_fields *out)
{
    std::memset(out, 0, sizeof *out);
    if (src == nullptr) return PDU_UNDECODABLE;
    const char *p = src;
    uint8_t v;

    // Service centre: length in octets including the type octet; 0 means none.
    uint8_t sca_len;
    if (!take_octet(p, sca_len)) return undecodable(out);
    if (sca_len > 0) {
        if (!take_octet(p, v)) return undecodable(out);
        if (!take_number(p, (sca_len - 1) * 2, out->sca)) return undecodable(out);
    }

    if (!take_octet(p, v)) return undecodable(out);  // first octet, not interpreted

    // Originator: length in semi-octets, then the type (not kept).
    uint8_t oa_len;
    if (!take_octet(p, oa_len)) return undecodable(out);
    if (!take_octet(p, v)) return undecodable(out);
    if (!take_number(p, oa_len + (oa_len & 1), out->tpa)) return undecodable(out);

    if (!take_octet(p, out->tp_pid)) return undecodable(out);
    if (!take_octet(p, out->tp_dcs)) return undecodable(out);
    char scts[14];
    if (!take_semi_octets(p, 14, scts, 14)) return undecodable(out);
    gsmSerializeNumbers(scts, out->tp_scts, 14);

    uint8_t udl;
    if (!take_octet(p, udl)) return undecodable(out);

    if (out->tp_dcs == 0) {
        int septets = udl < PDU_MAX_SEPTETS ? udl : PDU_MAX_SEPTETS;
        int octets = (septets * 7 + 7) / 8;
        uint8_t packed[PDU_MAX_OCTETS];
        uint8_t codes[PDU_MAX_SEPTETS + 1];
        if (!take_octets(p, packed, octets)) return undecodable(out);
        gsmDecode7bit(packed, codes, octets);
        out->tp_udl = static_cast<uint8_t>(septets);
        return gsm7Bit2Iso(codes, out->tp_ud, septets);
    }

    int octets = udl < PDU_MAX_OCTETS ? udl : PDU_MAX_OCTETS;
    uint8_t raw[PDU_MAX_OCTETS];
    if (!take_octets(p, raw, octets)) return undecodable(out);
    out->tp_udl = static_cast<uint8_t>(octets);
    if (out->tp_dcs == 8) return gsmDecodeUcs2(raw, out->tp_ud, octets);
    return gsmDecode8bit(raw, out->tp_ud, octets);
}

// ---- Received PDUs of any kind --------------------------------------------

namespace {

// An address field: length (useful semi-octets), type, value. Numbers are cut
// at 20 digits; a name at 11 characters.
bool take_address(const char *&p, char *dst, size_t cap, uint8_t *toa, bool *alnum)
{
    uint8_t len;
    if (!take_octet(p, len) || !take_octet(p, *toa)) return false;
    int octets = (len + 1) / 2;
    *alnum = ((*toa >> 4) & 0x07) == 5;
    if (*alnum) {
        uint8_t raw[128] = {};
        if (!take_octets(p, raw, octets)) return false;
        int use = octets < 11 ? octets : 11;
        uint8_t codes[16];
        gsmDecode7bit(raw, codes, use);
        int n = len * 4 / 7;
        int max = use * 8 / 7;
        if (n > max) n = max;
        if (n > 11) n = 11;
        unsigned char iso[16];
        int m = gsm7Bit2Iso(codes, iso, n);
        if (static_cast<size_t>(m) >= cap) m = static_cast<int>(cap) - 1;
        std::memcpy(dst, iso, static_cast<size_t>(m));
        dst[m] = 0;
        return true;
    }
    char digits[PDU_MAX_DIGITS + 1];
    if (!take_number(p, octets * 2, digits)) return false;
    size_t j = 0;
    if (((*toa >> 4) & 0x07) == 1 && digits[0] != 0) dst[j++] = '+';
    for (size_t i = 0; digits[i] != 0 && j + 1 < cap; i++) {
        char c = digits[i];
        static constexpr char kOther[] = "*#abc";   // semi-octets A..E
        if (c >= 'A' && c <= 'E') c = kOther[c - 'A'];
        dst[j++] = c;
    }
    dst[j] = 0;
    return true;
}

bool take_time(const char *&p, char *dst)
{
    char semi[14];
    if (!take_semi_octets(p, 14, semi, 14)) return false;
    // Pairs swapped; a time zone octet keeps both of its digits (no 'F' drop).
    for (int i = 0; i < 14; i += 2) {
        dst[i] = semi[i + 1];
        dst[i + 1] = semi[i];
    }
    dst[14] = 0;
    return true;
}

int rx_undecodable(pdu_rx *out)
{
    std::memset(out, 0, sizeof *out);
    return PDU_UNDECODABLE;
}

// Concatenation elements of a user-data header (udh: header octets after UDHL).
void read_udh(const uint8_t *udh, int n, pdu_concat *c)
{
    int i = 0;
    while (i + 2 <= n) {
        int iei = udh[i], len = udh[i + 1];
        const uint8_t *d = udh + i + 2;
        if (i + 2 + len > n) break;
        pdu_concat k{};
        if (iei == 0x00 && len == 3) k = {d[0], d[1], d[2], false};
        if (iei == 0x08 && len == 4) k = {static_cast<uint16_t>(d[0] << 8 | d[1]), d[2], d[3], true};
        // A count or number of 0, or a number beyond the count: the element is ignored.
        if (k.total != 0 && k.seq != 0 && k.seq <= k.total) *c = k;
        i += 2 + len;
    }
}

int take_deliver(const char *&p, pdu_rx *out)
{
    if (!take_address(p, out->address, sizeof out->address, &out->toa, &out->address_alnum)) return rx_undecodable(out);
    if (!take_octet(p, out->pid) || !take_octet(p, out->dcs)) return rx_undecodable(out);
    if (!take_time(p, out->scts)) return rx_undecodable(out);
    uint8_t udl;
    if (!take_octet(p, udl)) return rx_undecodable(out);
    out->coding = pdu_read_dcs(out->dcs);
    out->has_udh = (out->first_octet & 0x40) != 0;
    bool septets = out->coding.alphabet == PDU_ALPHA_GSM7 && !out->coding.compressed;
    int units = udl;
    if (septets && units > PDU_MAX_SEPTETS) units = PDU_MAX_SEPTETS;
    if (!septets && units > PDU_MAX_OCTETS) units = PDU_MAX_OCTETS;
    int octets = septets ? (units * 7 + 7) / 8 : units;
    uint8_t raw[PDU_MAX_OCTETS];
    if (!take_octets(p, raw, octets)) return rx_undecodable(out);

    int udh_octets = 0;
    if (out->has_udh && octets > 0) {
        udh_octets = raw[0] + 1;
        if (udh_octets > octets) return rx_undecodable(out);
        read_udh(raw + 1, raw[0], &out->concat);
    }
    if (out->coding.compressed) return PDU_RX_COMPRESSED;
    if (septets) {
        uint8_t codes[PDU_MAX_OCTETS + PDU_MAX_OCTETS / 7 + 2];
        gsmDecode7bit(raw, codes, octets);
        // The text starts at the first septet boundary after the header (fill bits).
        int skip = (udh_octets * 8 + 6) / 7;
        if (skip > units) return rx_undecodable(out);
        out->text_len = gsm7Bit2Iso(codes + skip, out->text, units - skip);
    } else {
        int n = octets - udh_octets;
        if (out->coding.alphabet == PDU_ALPHA_UCS2) n &= ~1;
        std::memcpy(out->text, raw + udh_octets, static_cast<size_t>(n));
        out->text[n] = 0;
        out->text_len = n;
    }
    return PDU_RX_DELIVER;
}

int take_status_report(const char *&p, pdu_rx *out)
{
    if (!take_octet(p, out->mr)) return rx_undecodable(out);
    if (!take_address(p, out->address, sizeof out->address, &out->toa, &out->address_alnum)) return rx_undecodable(out);
    if (!take_time(p, out->scts) || !take_time(p, out->dt)) return rx_undecodable(out);
    if (!take_octet(p, out->st)) return rx_undecodable(out);
    return PDU_RX_STATUS_REPORT;
}

long long days_from_civil(int y, int m, int d)
{
    y -= m <= 2;
    long long era = y / 400;
    int yoe = y - static_cast<int>(era * 400);
    int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;   // days since 1970-01-01
}

}  // namespace

pdu_dcs_info pdu_read_dcs(uint8_t dcs)
{
    pdu_dcs_info c{PDU_ALPHA_GSM7, -1, false, -1, false, 0};
    int group = dcs >> 4;
    if (group < 8) {   // general data coding, with or without automatic deletion
        c.compressed = (dcs & 0x20) != 0;
        if (dcs & 0x10) c.msg_class = dcs & 0x03;
        int a = (dcs >> 2) & 0x03;
        c.alphabet = a == 1 ? PDU_ALPHA_8BIT : a == 2 ? PDU_ALPHA_UCS2 : PDU_ALPHA_GSM7;
    } else if (group >= 0xC && group <= 0xE) {   // message waiting indication
        c.mwi = group == 0xC ? 0 : 1;
        c.alphabet = group == 0xE ? PDU_ALPHA_UCS2 : PDU_ALPHA_GSM7;
        c.mwi_active = (dcs & 0x08) != 0;
        c.mwi_type = dcs & 0x03;
    } else if (group == 0xF) {   // data coding / message class
        c.alphabet = (dcs & 0x04) ? PDU_ALPHA_8BIT : PDU_ALPHA_GSM7;
        c.msg_class = dcs & 0x03;
    }
    // Groups 8..B are reserved: read as the default alphabet.
    return c;
}

int pdu_decode_rx(const char *src, pdu_rx *out)
{
    std::memset(out, 0, sizeof *out);
    if (src == nullptr) return PDU_UNDECODABLE;
    const char *p = src;
    uint8_t sca_len, v;
    if (!take_octet(p, sca_len)) return rx_undecodable(out);
    if (sca_len > 0) {
        if (!take_octet(p, v)) return rx_undecodable(out);
        if (!take_number(p, (sca_len - 1) * 2, out->sca)) return rx_undecodable(out);
    }
    if (!take_octet(p, out->first_octet)) return rx_undecodable(out);
    out->kind = out->first_octet & 0x03;
    out->coding = pdu_read_dcs(0);
    if (out->kind == PDU_RX_DELIVER) return take_deliver(p, out);
    if (out->kind == PDU_RX_STATUS_REPORT) return take_status_report(p, out);
    return out->kind;
}

int pdu_decode_status_report(const char *src, pdu_status_report *out)
{
    std::memset(out, 0, sizeof *out);
    pdu_rx local;
    if (pdu_decode_rx(src, &local) != PDU_RX_STATUS_REPORT) return 0;
    std::memcpy(out->recipient, local.address, sizeof out->recipient);
    out->mr = local.mr;
    out->st = local.st;
    std::memcpy(out->scts, local.scts, sizeof out->scts);
    std::memcpy(out->dt, local.dt, sizeof out->dt);
    return 1;
}

long long pdu_scts_seconds(const char *scts)
{
    if (scts == nullptr) return -1;
    int d[14];
    for (int i = 0; i < 14; i++) {
        char c = scts[i];
        if (c < '0' || c > '9') {
            // The first time-zone digit carries the sign in its bit 3.
            if (i == 12 && c >= 'A' && c <= 'F') {
                d[i] = hex_value(c);
                continue;
            }
            return -1;
        }
        d[i] = c - '0';
    }
    int y = 2000 + d[0] * 10 + d[1], mo = d[2] * 10 + d[3], da = d[4] * 10 + d[5];
    int h = d[6] * 10 + d[7], mi = d[8] * 10 + d[9], s = d[10] * 10 + d[11];
    if (mo < 1 || mo > 12 || da < 1 || da > 31 || h > 23 || mi > 59 || s > 59) return -1;
    bool west = (d[12] & 0x08) != 0;
    int quarters = (d[12] & 0x07) * 10 + d[13];
    long long t = days_from_civil(y, mo, da) * 86400LL + h * 3600 + mi * 60 + s;
    // Local time = UTC + zone: back to UTC.
    return t + (west ? 1 : -1) * quarters * 900LL;
}

int pdu_text_utf16(const uint8_t *text, int n, int mode, uint16_t *out, int cap)
{
    int j = 0;
    if (mode == 8) {
        for (int i = 0; i + 1 < n && j < cap; i += 2) out[j++] = static_cast<uint16_t>(text[i] << 8 | text[i + 1]);
        return j;
    }
    // The Greek capitals of the GSM alphabet stand as their codes 0x10, 0x12..0x1A.
    static constexpr uint16_t kGreek[11] = {0x0394, 0, 0x03A6, 0x0393, 0x039B, 0x03A9,
                                            0x03A0, 0x03A8, 0x03A3, 0x0398, 0x039E};
    for (int i = 0; i < n && j < cap; i++) {
        uint16_t u = text[i];
        if (mode == 0) {
            if (u == 0xA4) u = 0x20AC;
            else if (u >= 0x10 && u <= 0x1A && kGreek[u - 0x10] != 0) u = kGreek[u - 0x10];
        }
        out[j++] = u;
    }
    return j;
}
