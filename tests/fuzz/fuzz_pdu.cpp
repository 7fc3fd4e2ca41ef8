// Received SMS are hostile: the input goes to the PDU decoder as hex text and
// to the modem-answer parser as a whole "+CMGRD:" answer; the same bytes also
// fill a record for the encoder. Every result must keep to its buffers.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "alarm/messages.h"
#include "modem/sim7100.h"
#include "modem/sms_func.h"

namespace {

void check(bool ok)
{
    if (!ok) std::abort();
}

bool terminated(const char *s, size_t size) { return strnlen(s, size) < size; }

void check_decoded(const pdu_fields &f, int r)
{
    check(terminated(f.sca, sizeof f.sca));
    check(terminated(f.tpa, sizeof f.tpa));
    check(terminated(f.tp_scts, sizeof f.tp_scts));
    if (r == PDU_UNDECODABLE) {
        static const pdu_fields zero{};
        check(std::memcmp(&f, &zero, sizeof f) == 0);
        return;
    }
    check(r >= 0);
    check(strnlen(f.tp_scts, sizeof f.tp_scts) <= 14);
    if (f.tp_dcs == 0) {
        check(f.tp_udl <= PDU_MAX_SEPTETS);
        check(r <= f.tp_udl);
        check(f.tp_ud[r] == 0);
    } else {
        check(f.tp_udl <= PDU_MAX_OCTETS);
        check(r == f.tp_udl);
        check(f.tp_ud[r] == 0);
    }
}

// Decoded fields sent back as a SUBMIT stay within the PDU text.
void check_reencode(const pdu_fields &f, int r)
{
    pdu_fields s{};
    std::memcpy(s.tpa, f.tpa, sizeof s.tpa);
    s.tp_dcs = f.tp_dcs;
    s.tp_pid = f.tp_pid;
    s.tp_toa = 0x81;
    std::memcpy(s.tp_ud, f.tp_ud, sizeof s.tp_ud);
    s.tp_udl = static_cast<uint8_t>(r);
    char out[PDU_TEXT_SIZE + 64];
    std::memset(out, 0x7F, sizeof out);
    int n = gsmEncodePdu(&s, out);
    size_t len = strnlen(out, sizeof out);
    check(len < PDU_TEXT_SIZE);
    check(n == static_cast<int>(len / 2) - 1);
    for (size_t i = 0; i < len; i++) check((out[i] >= '0' && out[i] <= '9') || (out[i] >= 'A' && out[i] <= 'F'));
}

// The raw bytes as an outgoing record: the encoder cuts whatever it is given.
void check_encode_raw(const uint8_t *data, size_t size)
{
    pdu_fields s{};
    std::memcpy(&s, data, size < sizeof s ? size : sizeof s);
    char out[PDU_TEXT_SIZE + 64];
    std::memset(out, 0x7F, sizeof out);
    int n = gsmEncodePdu(&s, out);
    size_t len = strnlen(out, sizeof out);
    check(len < PDU_TEXT_SIZE);
    check(n >= 0 && n <= (PDU_TEXT_SIZE - 2) / 2);
}

// Any received PDU: kind, sizes and text within the record.
void check_rx(const char *text, const char *upper)
{
    static pdu_rx r, u;
    int k = pdu_decode_rx(text, &r);
    check(k == PDU_UNDECODABLE || k == PDU_RX_COMPRESSED || (k >= PDU_RX_DELIVER && k <= PDU_RX_RESERVED));
    check(terminated(r.sca, sizeof r.sca));
    check(terminated(r.address, sizeof r.address));
    check(terminated(r.scts, sizeof r.scts) && terminated(r.dt, sizeof r.dt));
    check(r.text_len >= 0 && r.text_len <= PDU_RX_TEXT);
    if (k == PDU_RX_DELIVER) {
        check(r.text[r.text_len] == 0 || r.coding.alphabet != PDU_ALPHA_GSM7);
        if (r.coding.alphabet == PDU_ALPHA_UCS2) check(r.text_len % 2 == 0);
        if (r.concat.total != 0) check(r.concat.seq >= 1 && r.concat.seq <= r.concat.total);
        uint16_t units[PDU_RX_TEXT];
        int n = pdu_text_utf16(r.text, r.text_len, r.coding.alphabet == PDU_ALPHA_UCS2 ? 8 : 0, units, PDU_RX_TEXT);
        check(n >= 0 && n <= r.text_len);
        (void)pdu_scts_seconds(r.scts);
    }
    check(pdu_decode_rx(upper, &u) == k);
    check(std::strcmp(r.address, u.address) == 0 && std::strcmp(r.scts, u.scts) == 0);
    check(r.text_len == u.text_len && std::memcmp(r.text, u.text, sizeof r.text) == 0);
    check(r.concat.total == u.concat.total && r.concat.seq == u.concat.seq && r.concat.ref == u.concat.ref);
    pdu_status_report sr;
    check(pdu_decode_status_report(text, &sr) == (k == PDU_RX_STATUS_REPORT ? 1 : 0));
    check(terminated(sr.recipient, sizeof sr.recipient));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly the input plus a terminator, so a read past the NUL is caught.
    std::vector<char> text(size + 1);
    std::memcpy(text.data(), data, size);
    text[size] = 0;

    pdu_fields f;
    int r = gsmDecodePdu(text.data(), &f);
    check_decoded(f, r);
    if (r >= 0) check_reencode(f, r);

    // Upper- and lower-case hex mean the same PDU.
    std::vector<char> upper(text);
    for (char &c : upper)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    pdu_fields g;
    int r2 = gsmDecodePdu(upper.data(), &g);
    check(r2 == r);
    check(std::memcmp(&f, &g, sizeof f) == 0);

    check_encode_raw(data, size);
    check_rx(text.data(), upper.data());

    sms_message m;
    std::memset(&m, 0x55, sizeof m);
    if (gmSMS_getReadMsg(text.data(), &m) == 1) {
        check(terminated(m.phone, sizeof m.phone));
        check(terminated(m.time, sizeof m.time));
        check(m.length <= 160);
        check(m.text[m.length] == 0);
    }
    return 0;
}
