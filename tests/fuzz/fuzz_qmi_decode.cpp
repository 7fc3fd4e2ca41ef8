// Raw indications as the modem might send them: the declared lengths must
// never take the decoder past the bytes received.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/data_conn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 70000) return 0;
    // An exact-size copy, so any read past the end is caught.
    std::vector<uint8_t> buf(data, data + size);
    qmi_msg_parts p;
    int rc = qmi_msg_decode(buf.data(), static_cast<unsigned>(buf.size()), &p);
    if (size < 5) {
        if (rc != -1) abort();
        return 0;
    }
    if (rc != 0) abort();
    if (p.msg_len != (data[1] | (data[2] << 8)) || p.data_len != (data[3] | (data[4] << 8))) abort();
    size_t want = size - 5 < p.data_len ? size - 5 : p.data_len;
    if (p.data.size() != want || (want > 0 && memcmp(p.data.data(), data + 5, want) != 0)) abort();
    if (size > 0 && (data[0] & 1)) ind_cb(nullptr, data[0], buf.data(), static_cast<unsigned>(buf.size()), nullptr);
    return 0;
}
