// Writes what must be byte-identical on every architecture, so a native run and
// one under qemu (big-endian s390x, 32-bit armhf) can be compared byte for byte
// by tools/cross/endian_check:
//   endian_dump write DIR    DIR/config.ini (defaults plus a register pattern),
//                            DIR/pdu.txt (SUBMIT encodings and DELIVER decodes),
//                            DIR/qmi.txt (headers of raw QMI messages, split)
//   endian_dump read FILE    every register a configuration image gives, as text
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "modbus/config.h"
#include "modbus/regmap.h"
#include "modem/sms_func.h"
#include "net/data_conn.h"
#include "sys/sys.h"

namespace {

modbus_mapping_t *new_map()
{
    modbus_mapping_t *m = modbus_mapping_new(MB_COILS, MB_DISCRETE, MB_HOLDING, MB_INPUT);
    data_mapping = m;
    return m;
}

int write_all(const char *dir)
{
    mkdir((std::string(dir) + "/APP").c_str(), 0755);
    sys_set_root(dir);
    modbus_mapping_t *m = new_map();
    set_config_default();
    // Values whose two bytes differ, so a swapped store shows.
    for (int i = 0; i < MB_HOLDING; i += 97) m->tab_registers[i] = static_cast<uint16_t>(0x1234 + i);
    for (int i = 0; i < MB_INPUT; i += 5) m->tab_input_registers[i] = static_cast<uint16_t>(0xA55A ^ i);
    for (int i = 0; i < MB_COILS; i += 3) m->tab_bits[i] = 1;
    m->tab_input_bits[5] = 1;
    int rc = save_config();
    data_mapping = nullptr;
    modbus_mapping_free(m);
    if (rc != 0) {
        std::fprintf(stderr, "endian_dump: save_config failed in %s/APP\n", dir);
        return 1;
    }

    std::string path = std::string(dir) + "/pdu.txt";
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return 1;
    const struct { uint8_t dcs; const char *tpa; const char *text; } submits[] = {
        {0, "491701234567", "Alarm input 3 on"},
        {8, "0171987654", "\x00\x41\x20\xAC"},          // UCS2: "A€"
        {4, "112", "\x01\x02\xFE\xFF"},
    };
    for (const auto &s : submits) {
        pdu_fields p;
        std::memset(&p, 0, sizeof p);
        std::snprintf(p.tpa, sizeof p.tpa, "%s", s.tpa);
        p.tp_dcs = s.dcs;
        p.tp_toa = s.dcs == 0 ? 0x91 : 0x81;
        size_t n = s.dcs == 0 ? std::strlen(s.text) : 4;
        std::memcpy(p.tp_ud, s.text, n);
        p.tp_udl = static_cast<uint8_t>(n);
        char out[PDU_TEXT_SIZE] = {};
        int octets = gsmEncodePdu(&p, out);
        std::fprintf(f, "E %d %s\n", octets, out);
    }
    const char *delivers[] = {
        "07919471060040340409D0E474989E0600004280132190234004D4F29C0E",
        "0791947106004034040C9194710132547600084280132190234004004120AC",
    };
    for (const char *d : delivers) {
        pdu_fields p;
        std::memset(&p, 0, sizeof p);
        int rc2 = gsmDecodePdu(d, &p);
        char hex[2 * sizeof p.tp_ud + 1] = {};
        gsmBytes2String(p.tp_ud, hex, p.tp_udl < sizeof p.tp_ud ? p.tp_udl : 0);
        std::fprintf(f, "D %d %s %s %d %d %s %d %s\n", rc2, p.sca, p.tpa, p.tp_pid, p.tp_dcs, p.tp_scts,
                     p.tp_udl, hex);
    }
    std::fclose(f);

    path = std::string(dir) + "/qmi.txt";
    f = std::fopen(path.c_str(), "w");
    if (!f) return 1;
    const std::vector<std::vector<uint8_t>> msgs = {
        {0x01, 0x24, 0x00, 0x05, 0x00, 0x10, 0x02, 0x00, 0xB5, 0xFF},
        {0x04, 0x00, 0x01, 0x03, 0x02, 0xAA, 0xBB, 0xCC},
        {0x22, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
    };
    for (const auto &msg : msgs) {
        qmi_msg_parts p;
        int rc2 = qmi_msg_decode(msg.data(), static_cast<unsigned>(msg.size()), &p);
        std::fprintf(f, "%d %u %u", rc2, p.msg_len, p.data_len);
        for (uint8_t b : p.data) std::fprintf(f, " %02X", b);
        std::fprintf(f, "\n");
    }
    std::fclose(f);
    return 0;
}

int read_image(const char *file)
{
    std::string root(file);
    size_t cut = root.rfind("/APP/config.ini");
    if (cut == std::string::npos) {
        std::fprintf(stderr, "endian_dump: the image must be ROOT/APP/config.ini\n");
        return 2;
    }
    root.resize(cut);
    sys_set_root(root.c_str());
    modbus_mapping_t *m = new_map();
    if (read_config() != 0) return 1;
    for (int i = 0; i < MB_DISCRETE; i++) std::printf("DI %d %u\n", i, m->tab_input_bits[i]);
    for (int i = 0; i < MB_COILS; i++) std::printf("DO %d %u\n", i, m->tab_bits[i]);
    for (int i = 0; i < MB_INPUT; i++) std::printf("AI %d %u\n", i, m->tab_input_registers[i]);
    for (int i = 0; i < MB_HOLDING; i++) std::printf("AO %d %u\n", i, m->tab_registers[i]);
    data_mapping = nullptr;
    modbus_mapping_free(m);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "write") == 0) return write_all(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "read") == 0) return read_image(argv[2]);
    std::fprintf(stderr, "usage: endian_dump write DIR | read ROOT/APP/config.ini\n");
    return 2;
}
