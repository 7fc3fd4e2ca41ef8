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
int gsmEncodePdu(pdu_fields *src, char *out);
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
