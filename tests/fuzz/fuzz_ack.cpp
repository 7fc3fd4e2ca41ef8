// An SMS reply is outside text: any units from a recipient or from a stranger
// must be taken or left without a crash, a stranger never acknowledges, and a
// taken reply is printable ASCII words (ACK/OK and alarm numbers).
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "alarm/ack.h"
#include "alarm/composer.h"
#include "alarm/rings.h"
#include "modbus/regmap.h"
#include "sys/sys.h"
#include "tests/fuzz/fuzz_util.h"

namespace {
void set_phone(int g, int n, const char *digits) {
    int r = layout::phone_reg(g, n);
    size_t len = std::strlen(digits);
    for (size_t i = 0; i < len; i += 2)
        hr_set(r + static_cast<int>(i / 2),
               static_cast<uint16_t>(static_cast<uint8_t>(digits[i]) << 8 |
                                     (i + 1 < len ? static_cast<uint8_t>(digits[i + 1]) : 0)));
}

bool unacked(int a) {
    return ((ir_get(layout::IR_ACK_UNACKED + a / 16) >> (a % 16)) & 1) != 0;
}

void setup() {
    static bool done = false;
    if (done) return;
    done = true;
    char tmpl[] = "/tmp/agw_fuzz_ack_XXXXXX";
    check(mkdtemp(tmpl) != nullptr);
    sys_set_root(tmpl);
    data_mapping = modbus_mapping_new(layout::COILS, layout::DISCRETE, layout::HOLDING, layout::INPUT);
    check(data_mapping.load() != nullptr);
    set_phone(0, 0, "0611111111");
    set_phone(1, 0, "0644444444");
    for (int a : {5, 7}) {
        hr_set(layout::HR_GROUP_MASK + a, 0x0001);
        hr_set(layout::HR_ACK_REQUIRED, static_cast<uint16_t>(hr_get(layout::HR_ACK_REQUIRED) | 1u << a));
    }
    hr_set(layout::HR_ACK_TELL_OTHERS, 1);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    setup();
    if (size < 1) return 0;
    event_rings_reset();
    alarm_waiting_reset();
    ack_reset();
    modbus_do_fixed_sms(5, layout::ALARM_ON);
    modbus_do_fixed_sms(7, layout::ALARM_ON);
    const char *sender = (data[0] & 1) ? "0644444444" : "+33611111111";
    uint16_t units[200];
    int n = 0;
    for (size_t i = 1; i + 1 < size && n < 200; i += 2) units[n++] = static_cast<uint16_t>(data[i] << 8 | data[i + 1]);
    bool taken = ack_consume_reply(sender, units, n);
    if (data[0] & 1) {
        check(!taken);
        check(unacked(5) && unacked(7));
    }
    if (taken)
        for (int i = 0; i < n; i++) check(units[i] <= 0x7E || units[i] == 0x00A0);
    else
        check(unacked(5) && unacked(7));
    return 0;
}
