// SMS PDU codec: SMS-SUBMIT encoding and SMS-DELIVER decoding with the GSM
// 7-bit default alphabet, 8-bit data and UCS-2. Pure functions: no I/O, no
// globals, no allocation. The decoder treats its input as hostile: every
// length taken from the PDU is cut to the buffers.
#pragma once
#include <cstdint>

// Limits of the record's buffers.
constexpr int PDU_MAX_DIGITS = 20;    // sca, tpa
constexpr int PDU_MAX_SEPTETS = 160;  // 7-bit user data, in GSM codes
constexpr int PDU_MAX_OCTETS = 140;   // user data octets on the air
// Smallest output buffer for gsmEncodePdu: 19 header octets and 140 user-data
// octets as hexadecimal text, plus the terminating zero.
constexpr int PDU_TEXT_SIZE = 320;
// gsmDecodePdu: the text ends (NUL or a character that is not a hex digit)
// before the fields or the user data the PDU declares. The record is cleared.
constexpr int PDU_UNDECODABLE = -1;

struct pdu_fields {
    char sca[21];
    char tpa[21];
    uint8_t tp_pid;
    uint8_t tp_dcs;
    char tp_scts[16];
    uint8_t tp_ud[161];
    uint8_t tp_udl;
    uint8_t tp_toa;
};

extern const unsigned char Table7Bit2Iso[128];

// Encodes an SMS-SUBMIT into out (at least PDU_TEXT_SIZE bytes); returns the
// octet count for "AT+CMGS=". tpa is cut at 20 digits; the user data at 140
// octets, or for 7-bit text at the last whole character within 160 codes.
// For 7-bit coding tp_ud is overwritten with the GSM codes (tp_udl is kept).
// status_report: the first octet asks for a delivery report (TP-SRR, 0x31
// instead of 0x11).
constexpr uint8_t PDU_FO_SUBMIT = 0x11, PDU_FO_SRR = 0x20;
int gsmEncodePdu(pdu_fields *src, char *out, bool status_report = false);
// Decodes an SMS-DELIVER from hexadecimal text (upper or lower case); reading
// stops at the end of the PDU and never passes the text's NUL. Returns the
// user-data length (text characters for 7-bit, octets otherwise), or
// PDU_UNDECODABLE. Cuts: sca and tpa at 20 digits (the rest of the field is
// skipped), tp_udl at 160 septets (7-bit) or 140 octets; tp_ud is always
// followed by a zero. A service-centre length of 0 means no service-centre
// field at all (no type octet).
int gsmDecodePdu(const char *src, pdu_fields *out);
// dst holds 2 * n + 1 bytes.
int gsmIso27Bit(const unsigned char *src, unsigned char *dst, int n);
// dst holds n + 1 bytes; codes are taken modulo 128.
int gsm7Bit2Iso(const unsigned char *src, unsigned char *dst, int n);
// Packs n codes (taken modulo 128); dst holds n - (n + 7) / 8 bytes.
int gsmEncode7bit(const unsigned char *src, unsigned char *dst, int n);
// dst holds n + n / 7 + 1 bytes.
int gsmDecode7bit(const unsigned char *src, unsigned char *dst, int n);
int gsmBytes2String(const unsigned char *src, char *dst, int n);
// Accepts upper- and lower-case hex digits; stops early at a NUL (the result
// is then the number of whole octets read).
int gsmString2Bytes(const char *src, unsigned char *dst, int n);
// dst holds n + 2 bytes.
int gsmInvertNumbers(const char *src, char *dst, int n);
// dst holds n + 1 bytes.
int gsmSerializeNumbers(const char *src, char *dst, int n);
int gsmEncode8bit(const unsigned char *src, unsigned char *dst, int n);
int gsmEncodeUcs2(const unsigned char *src, unsigned char *dst, int n);
int gsmDecodeUcs2(const unsigned char *src, unsigned char *dst, int n);
int gsmDecode8bit(const unsigned char *src, unsigned char *dst, int n);

// ---- Received PDUs of any kind --------------------------------------------
// pdu_decode_rx reads what a modem's storage can hold: SMS-DELIVER (published),
// SMS-STATUS-REPORT (recorded) and anything else (logged and removed). The
// data coding scheme is read by its groups, the user-data header is taken
// apart (concatenation) and stripped, an alphanumeric originator is decoded.

enum pdu_rx_kind {
    PDU_RX_DELIVER = 0,
    PDU_RX_SUBMIT = 1,         // a stored outgoing message
    PDU_RX_STATUS_REPORT = 2,
    PDU_RX_RESERVED = 3,
};
// pdu_decode_rx: the message is well formed but its text is compressed, which
// this gateway cannot expand.
constexpr int PDU_RX_COMPRESSED = -2;

enum pdu_alphabet { PDU_ALPHA_GSM7 = 0, PDU_ALPHA_8BIT = 1, PDU_ALPHA_UCS2 = 2 };

// The data coding scheme by its coding groups.
struct pdu_dcs_info {
    int alphabet;       // pdu_alphabet; reserved codings read as GSM 7-bit
    int msg_class;      // 0..3, -1 none
    bool compressed;
    int mwi;            // message waiting: -1 none, 0 discard, 1 store
    bool mwi_active;
    int mwi_type;       // 0 voice mail, 1 fax, 2 e-mail, 3 other
};
pdu_dcs_info pdu_read_dcs(uint8_t dcs);

// A part of a concatenated message; total 0: not a part.
struct pdu_concat {
    uint16_t ref;
    uint8_t total;
    uint8_t seq;        // 1..total
    bool wide;          // 16-bit reference
};

// Largest decoded text: 160 ISO-8859-1 characters, or 140 octets.
constexpr int PDU_RX_TEXT = 160;

struct pdu_rx {
    int kind;                  // pdu_rx_kind
    uint8_t first_octet;
    char sca[21];
    // DELIVER: the originator; STATUS-REPORT: the recipient. Digits with a
    // leading '+' for an international number ('*', '#', 'a'..'c' for the
    // other semi-octet values), or a name decoded from the GSM alphabet in
    // ISO-8859-1 (address_alnum).
    char address[24];
    uint8_t toa;
    bool address_alnum;
    uint8_t pid;
    uint8_t dcs;
    pdu_dcs_info coding;
    char scts[16];             // 14 digits: yyMMddhhmmss and the time zone
    bool has_udh;
    pdu_concat concat;
    // The text without its header: ISO-8859-1 for GSM 7-bit (one byte per
    // character), big-endian UTF-16 units for UCS-2 (an odd last octet is
    // dropped), the octets for 8-bit data.
    uint8_t text[PDU_RX_TEXT + 1];
    int text_len;
    // STATUS-REPORT only.
    uint8_t mr;
    uint8_t st;                // TP-ST
    char dt[16];               // discharge time, as scts
};

// Decodes hexadecimal PDU text (service-centre field first; length 0: none).
// Returns the kind, PDU_UNDECODABLE (record cleared) or PDU_RX_COMPRESSED.
// Only DELIVER and STATUS-REPORT are read past the first octet.
int pdu_decode_rx(const char *src, pdu_rx *out);

// TP-ST of a status report, by class (TS 23.040 9.2.3.15):
//   0x00..0x1F  transaction completed: 0x00 received by the phone, 0x01
//               forwarded but not confirmed, 0x02 replaced; the rest
//               reserved or service-centre specific, all taken as delivered
//   0x20..0x3F  temporary error, the service centre still tries: wait on
//   0x40..0x5F  permanent error (for example 0x41 incompatible destination,
//               0x45 service rejected, 0x48 validity period expired)
//   0x60..0x7F  temporary error, the service centre has stopped trying
//   0x80..0xFF  reserved
// The last three end the message undelivered: a failed phone.
enum pdu_st_class { PDU_ST_DELIVERED = 0, PDU_ST_PENDING = 1, PDU_ST_FAILED = 2 };
inline int pdu_st_class_of(uint8_t st) {
    if (st <= 0x1F) return PDU_ST_DELIVERED;
    if (st <= 0x3F) return PDU_ST_PENDING;
    return PDU_ST_FAILED;
}

// A decoded status report.
struct pdu_status_report {
    char recipient[24];
    uint8_t mr;
    uint8_t st;
    char scts[16];
    char dt[16];
};
// 1 when hex is a STATUS-REPORT (out filled), 0 otherwise.
int pdu_decode_status_report(const char *src, pdu_status_report *out);

// Seconds since 1970-01-01 UTC of a 14-digit time stamp (time zone applied);
// -1 when the digits are not a time stamp. Orders received messages.
long long pdu_scts_seconds(const char *scts);

// Text bytes of a decoded message (mode 0: ISO-8859-1 of the GSM alphabet,
// 8: big-endian UCS-2, other: octets) as UTF-16 units; returns the count.
int pdu_text_utf16(const uint8_t *text, int n, int mode, uint16_t *out, int cap);
