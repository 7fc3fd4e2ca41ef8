// Named parsers of the modem's answers: a line iterator over an answer buffer
// and one parser per answer kind (+CMGS, +CMS/+CME ERROR in numeric and
// verbose form, +CREG, +CSQ, call notices), plus the classification of the
// +CMS ERROR codes. Every parser reads one line of untrusted text, bounded by
// its length, and never writes past its outputs.
//
// +CMS ERROR classes (3GPP TS 24.011 RP causes, TS 27.005 codes):
//   permanent (the phone is given up at once):
//     1 unassigned number, 8 operator determined barring, 10 call barred,
//     21 short message transfer rejected, 28 unidentified subscriber,
//     29 facility rejected, 30 unknown subscriber, 50 facility not subscribed,
//     69 facility not implemented, 81 invalid reference, 95..99 invalid or
//     unknown message, 111 protocol error, 127 interworking,
//     128..254 TP-FCS (TS 23.040: TP-PID/DCS/command errors, SC rejects)
//     except 192,
//     304 invalid PDU mode parameter, 305 invalid text mode parameter
//   temporary (retried with a growing pause, like an outage):
//     27 destination out of service, 38 network out of order,
//     41 temporary failure, 42 congestion, 47 resources unavailable,
//     192 SC busy,
//     300 ME failure, 301 SMS service reserved, 314 SIM busy, 331 no network
//     service, 332 network time-out, 320 memory failure
//   any other code: an ordinary failure (three in a row give the phone up).
#pragma once
#include <cstddef>
#include <cstdint>

// One line of an answer: not terminated, len bytes from p.
struct at_line {
    const char *p;
    size_t len;
};

// Next non-empty line from *cursor (lines end at CR or LF; the last one may
// be unterminated). Advances *cursor; false at the end of the text.
bool at_next_line(const char **cursor, at_line *out);
// True when the line ends before the end of the text (a whole line).
bool at_line_whole(const at_line &l);

// "+CMGS: <mr>": the message reference (0..255).
bool at_parse_cmgs(const at_line &l, int *mr);

enum at_error_kind { AT_ERR_PLAIN = 1, AT_ERR_CME = 2, AT_ERR_CMS = 3 };
struct at_error {
    int kind;   // at_error_kind
    int code;   // numeric code; a verbose text known to the table gives its number; -1 unknown / plain ERROR
};
// "ERROR", "+CME ERROR: <n|text>", "+CMS ERROR: <n|text>".
bool at_parse_error(const at_line &l, at_error *out);
// The first error line in a whole answer.
bool at_find_error(const char *answer, at_error *out);

// "+CREG: <n>,<stat>[,...]" (the answer; *n >= 0) or "+CREG: <stat>[,...]"
// (the unsolicited report; *n = -1).
bool at_parse_creg(const at_line &l, int *n, int *stat);
// "+CSQ: <rssi>,<ber>".
bool at_parse_csq(const at_line &l, int *rssi, int *ber);

// Call progress notices and call-ending result codes.
enum at_call_notice {
    CN_NONE = 0,
    CN_RING,          // VOICE CALL: RING (the far end rings)
    CN_BEGIN,         // VOICE CALL: BEGIN / CONNECT (the network connected the call)
    CN_END,           // VOICE CALL: END[: <time>]
    CN_NO_CARRIER,    // NO CARRIER
    CN_BUSY,          // BUSY
    CN_NO_ANSWER,     // NO ANSWER
    CN_NO_DIALTONE,   // NO DIALTONE / NO DIAL TONE
    CN_ERROR,         // ERROR or +CME ERROR (code in *code)
    CN_WAV_STOP,      // +WAVSTATE: wav play stop
    CN_DTMF,          // +RXDTMF: <key> (the key's character in *code)
};
int at_call_notice(const at_line &l, int *code);

enum at_cms_class { CMS_OTHER = 0, CMS_PERMANENT = 1, CMS_TEMPORARY = 2 };
int at_cms_class(int code);
// The +CME ERROR number of a verbose text (TS 27.007 9.2), -1 unknown.
int at_cme_code(const char *text, size_t len);
