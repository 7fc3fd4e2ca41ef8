// Drives the PDU codec from a line protocol, so a script can check it against
// another implementation with many messages per run. One request per line,
// one answer line each; empty fields are written as '-'.
//
//   E <dcs> <toa> <number> <data hex> [R]   encode a SUBMIT (dcs, toa in
//     decimal; R: asking for a delivery report)
//     -> OK <octet count> <pdu hex>
//   D <text up to the line end>         decode a DELIVER
//     -> OK <result> <sca> <tpa> <pid> <dcs> <scts> <udl> <user data hex>
//        (user data: the decoded text for 7-bit, tp_udl octets otherwise)
//     -> ERR <result>                   undecodable
//   R <text up to the line end>         decode any received PDU (DCS groups, header, names)
//     -> OK <kind> <address hex> <alnum> <alphabet> <class> <mwi> <ref> <parts> <part> <text hex>
//        (address as its bytes in hex; text without the header, as published)
//     -> ERR <result>                   undecodable or compressed
//   S <text up to the line end>         decode a status report
//     -> OK <mr> <st> <recipient hex> <scts> <discharge time>
//     -> ERR 0                          not a status report
//   anything else -> ERR <reason>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modem/sms_func.h"

namespace {

const char *or_dash(const char *s) { return s[0] ? s : "-"; }

std::string hex_of(const unsigned char *p, int n)
{
    std::string out(static_cast<size_t>(n) * 2 + 1, '\0');
    gsmBytes2String(p, out.data(), n);
    out.resize(static_cast<size_t>(n) * 2);
    return n ? out : "-";
}

// Whole decimal number in 0..255, or -1.
int parse_u8(const char *s)
{
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end != 0 || v < 0 || v > 255) return -1;
    return static_cast<int>(v);
}

void do_encode(char *args)
{
    char *save = nullptr;
    const char *dcs_s = strtok_r(args, " ", &save);
    const char *toa_s = strtok_r(nullptr, " ", &save);
    const char *number = strtok_r(nullptr, " ", &save);
    const char *data = strtok_r(nullptr, " ", &save);
    const char *flag = strtok_r(nullptr, " ", &save);
    bool report = flag != nullptr && std::strcmp(flag, "R") == 0;
    if (!data) {
        std::printf("ERR usage: E <dcs> <toa> <number> <data hex>\n");
        return;
    }
    int dcs = parse_u8(dcs_s);
    int toa = parse_u8(toa_s);
    if (dcs < 0 || toa < 0) {
        std::printf("ERR bad dcs or toa\n");
        return;
    }
    pdu_fields f;
    std::memset(&f, 0, sizeof f);
    if (std::strcmp(number, "-") != 0) {
        // Like the record: 21 characters at most, not necessarily terminated.
        size_t n = strnlen(number, sizeof f.tpa);
        std::memcpy(f.tpa, number, n);
    }
    f.tp_dcs = static_cast<uint8_t>(dcs);
    f.tp_toa = static_cast<uint8_t>(toa);
    if (std::strcmp(data, "-") != 0) {
        size_t len = std::strlen(data);
        if (len % 2 != 0) {
            std::printf("ERR odd data hex\n");
            return;
        }
        unsigned char bytes[4096];
        int n = gsmString2Bytes(data, bytes, static_cast<int>(len < 2 * sizeof bytes ? len : 2 * sizeof bytes));
        std::memcpy(f.tp_ud, bytes, static_cast<size_t>(n) < sizeof f.tp_ud ? static_cast<size_t>(n) : sizeof f.tp_ud);
        f.tp_udl = static_cast<uint8_t>(n > 255 ? 255 : n);
    }
    char out[PDU_TEXT_SIZE];
    int n = gsmEncodePdu(&f, out, report);
    std::printf("OK %d %s\n", n, out);
}

void do_status_report(const char *text)
{
    pdu_status_report r;
    if (pdu_decode_status_report(text, &r) != 1) {
        std::printf("ERR 0\n");
        return;
    }
    std::printf("OK %u %u %s %s %s\n", r.mr, r.st,
                hex_of(reinterpret_cast<const unsigned char *>(r.recipient), static_cast<int>(std::strlen(r.recipient))).c_str(),
                or_dash(r.scts), or_dash(r.dt));
}

void do_decode(const char *text)
{
    pdu_fields f;
    int r = gsmDecodePdu(text, &f);
    if (r < 0) {
        std::printf("ERR %d\n", r);
        return;
    }
    int ud_len = f.tp_dcs == 0 ? r : f.tp_udl;
    std::printf("OK %d %s %s %u %u %s %u %s\n", r, or_dash(f.sca), or_dash(f.tpa), f.tp_pid, f.tp_dcs,
                or_dash(f.tp_scts), f.tp_udl, hex_of(f.tp_ud, ud_len).c_str());
}

void do_decode_rx(const char *text)
{
    static pdu_rx r;
    int k = pdu_decode_rx(text, &r);
    if (k < 0) {
        std::printf("ERR %d\n", k);
        return;
    }
    std::printf("OK %d %s %d %d %d %d %u %u %u %s\n", k,
                hex_of(reinterpret_cast<const unsigned char *>(r.address), static_cast<int>(std::strlen(r.address))).c_str(),
                r.address_alnum ? 1 : 0, r.coding.alphabet, r.coding.msg_class, r.coding.mwi, r.concat.ref,
                r.concat.total, r.concat.seq, hex_of(r.text, r.text_len).c_str());
}

}  // namespace

int main()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    static char line[16384];
    while (std::fgets(line, sizeof line, stdin)) {
        size_t len = std::strlen(line);
        if (len > 0 && line[len - 1] == '\n') {
            line[--len] = 0;
        } else if (!std::feof(stdin)) {
            // Longer than the buffer: drop the rest of it.
            int c;
            while ((c = std::getchar()) != EOF && c != '\n') {
            }
            std::printf("ERR line too long\n");
            continue;
        }
        if (line[0] == 'E' && line[1] == ' ') {
            do_encode(line + 2);
        } else if (line[0] == 'D' && line[1] == ' ') {
            do_decode(line + 2);
        } else if (line[0] == 'R' && line[1] == ' ') {
            do_decode_rx(line + 2);
        } else if (line[0] == 'S' && line[1] == ' ') {
            do_status_report(line + 2);
        } else if (line[0] == 'D' && line[1] == 0) {
            do_decode("");
        } else {
            std::printf("ERR unknown command\n");
        }
    }
    return 0;
}
