// SMS PDU codec: SMS-SUBMIT encoding and SMS-DELIVER decoding with the GSM
// 7-bit default alphabet, 8-bit data and UCS-2. Pure functions: no I/O, no
// globals, no allocation. The decoder treats its input as hostile: every
// length taken from the PDU is cut to the buffers.
#pragma once
#include <cstdint>

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

int gsmEncodePdu(pdu_fields *src, char *out);
int gsmDecodePdu(const char *src, pdu_fields *out);
int gsmIso27Bit(const unsigned char *src, unsigned char *dst, int n);
int gsm7Bit2Iso(const unsigned char *src, unsigned char *dst, int n);
int gsmEncode7bit(const unsigned char *src, unsigned char *dst, int n);
int gsmDecode7bit(const unsigned char *src, unsigned char *dst, int n);
int gsmBytes2String(const unsigned char *src, char *dst, int n);
int gsmString2Bytes(const char *src, unsigned char *dst, int n);
int gsmInvertNumbers(const char *src, char *dst, int n);
int gsmSerializeNumbers(const char *src, char *dst, int n);
int gsmEncode8bit(const unsigned char *src, unsigned char *dst, int n);
int gsmEncodeUcs2(const unsigned char *src, unsigned char *dst, int n);
int gsmDecodeUcs2(const unsigned char *src, unsigned char *dst, int n);
int gsmDecode8bit(const unsigned char *src, unsigned char *dst, int n);
