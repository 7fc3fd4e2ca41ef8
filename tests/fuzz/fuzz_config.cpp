// The configuration file may come off the SD card or a half-written flash:
// the input is written as "/APP/config.ini" under a scratch board root, then
// checked and read into a map whose entries start as garbage. The check must
// follow the DI/DO rule, the read must give the file's image with zeros beyond
// its end, and a save must write that image back unchanged.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_util.h"
#include "modbus/config.h"
#include "modbus/regmap.h"
#include "sys/sys.h"

using fuzz_util::write_file;

namespace {

// The image holds little-endian words whatever the host's byte order.
bool same_words(const uint16_t *regs, const uint8_t *img, int n) {
    for (int i = 0; i < n; i++)
        if (regs[i] != static_cast<uint16_t>(img[2 * i] | (img[2 * i + 1] << 8))) return false;
    return true;
}

std::string g_root;
std::string g_file;
modbus_mapping_t *g_map = nullptr;


std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    check(fd >= 0);
    uint8_t buf[16384];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    close(fd);
    return out;
}

void fill_garbage(modbus_mapping_t *m) {
    memset(m->tab_input_bits, 0xA5, static_cast<size_t>(m->nb_input_bits));
    memset(m->tab_bits, 0xA5, static_cast<size_t>(m->nb_bits));
    memset(m->tab_input_registers, 0xA5, sizeof(uint16_t) * static_cast<size_t>(m->nb_input_registers));
    memset(m->tab_registers, 0xA5, sizeof(uint16_t) * static_cast<size_t>(m->nb_registers));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The file operations report every step on standard output.
    if (std::getenv("FUZZ_VERBOSE") == nullptr && std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    g_root = fuzz_util::make_scratch_root("config", {"/APP"});
    sys_set_root(g_root.c_str());
    g_file = sys_path("/APP/config.ini");
    check(g_file == g_root + "/APP/config.ini");

    g_map = modbus_mapping_new(MB_COILS, MB_DISCRETE, MB_HOLDING, MB_INPUT);
    check(g_map != nullptr);
    data_mapping.store(g_map);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    write_file(g_file, data, size);

    // The image as the file holds it: zeros beyond a short file's end, extra
    // bytes of a long file ignored.
    std::vector<uint8_t> img(CONFIG_SIZE, 0);
    memcpy(img.data(), data, size < img.size() ? size : img.size());

    bool flags_ok = true;
    for (int i = 0; i < CONFIG_OFF_AI; i++) flags_ok = flags_ok && img[static_cast<size_t>(i)] <= 1;
    check(check_config() == (flags_ok ? 0 : -1));

    data_mapping.store(g_map);
    fill_garbage(g_map);
    check(read_config() == 0);
    check(data_mapping.load() == g_map);
    // The file is little-endian like this host, so each table is a plain
    // stretch of the image (compared whole: a loop here would outweigh the read).
    check(memcmp(g_map->tab_input_bits, &img[CONFIG_OFF_DI], MB_DISCRETE) == 0);
    check(memcmp(g_map->tab_bits, &img[CONFIG_OFF_DO], MB_COILS) == 0);
    check(same_words(g_map->tab_input_registers, &img[CONFIG_OFF_AI], MB_INPUT));
    check(same_words(g_map->tab_registers, &img[CONFIG_OFF_AO], MB_HOLDING));

    // What was read is saved back byte for byte, at exactly the image's size.
    check(save_config() == 0);
    check(read_file(g_file) == img);
    check(check_config() == (flags_ok ? 0 : -1));
    return 0;
}
