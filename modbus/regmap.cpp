#include "modbus/regmap.h"

#include <atomic>
#include <cstring>
#include <thread>

std::atomic<modbus_mapping_t *> data_mapping{nullptr};

namespace {
thread_local modbus_mapping_t *t_fill = nullptr;
// The two maps that take turns, set once each before their first publication,
// and the number of accesses in progress on each.
std::atomic<modbus_mapping_t *> g_pool[2] = {nullptr, nullptr};
std::atomic<int> g_users[2] = {0, 0};

// One access to the map. A reader announces the map it is on, so that a
// re-initialisation never refills a map under a reader that loaded the
// pointer just before the swap; then it checks the map is still the
// published one (the announcement and the check against the publication are
// sequentially consistent, so one of the two sides always sees the other).
struct Access {
    modbus_mapping_t *m = nullptr;
    int slot = -1;
    Access() {
        if (t_fill != nullptr) {
            m = t_fill;
            return;
        }
        for (;;) {
            m = data_mapping.load();
            if (m == nullptr) return;
            slot = m == g_pool[0].load(std::memory_order_relaxed)   ? 0
                   : m == g_pool[1].load(std::memory_order_relaxed) ? 1
                                                                    : -1;
            if (slot < 0) return;
            g_users[slot].fetch_add(1);
            if (data_mapping.load() == m) return;
            g_users[slot].fetch_sub(1, std::memory_order_release);
        }
    }
    ~Access() {
        if (slot >= 0) g_users[slot].fetch_sub(1, std::memory_order_release);
    }
    Access(const Access &) = delete;
    Access &operator=(const Access &) = delete;
};

template <typename T>
void zero(T *table, int n) {
    for (int i = 0; i < n; i++) std::atomic_ref<T>(table[i]).store(0, std::memory_order_relaxed);
}
template <typename T>
T load(T *table, int n, int addr) {
    if (table == nullptr || addr < 0 || addr >= n) return 0;
    return std::atomic_ref<T>(table[addr]).load(std::memory_order_relaxed);
}
template <typename T>
void store(T *table, int n, int addr, T v) {
    if (table == nullptr || addr < 0 || addr >= n) return;
    std::atomic_ref<T>(table[addr]).store(v, std::memory_order_relaxed);
}
}  // namespace

uint16_t hr_get(int addr) {
    Access a;
    modbus_mapping_t *m = a.m;
    return m ? load(m->tab_registers, m->nb_registers, addr) : 0;
}
void hr_set(int addr, uint16_t v) {
    Access a;
    modbus_mapping_t *m = a.m;
    if (m) store(m->tab_registers, m->nb_registers, addr, v);
}
uint16_t ir_get(int addr) {
    Access a;
    modbus_mapping_t *m = a.m;
    return m ? load(m->tab_input_registers, m->nb_input_registers, addr) : 0;
}
void ir_set(int addr, uint16_t v) {
    Access a;
    modbus_mapping_t *m = a.m;
    if (m) store(m->tab_input_registers, m->nb_input_registers, addr, v);
}
uint8_t coil_get(int addr) {
    Access a;
    modbus_mapping_t *m = a.m;
    return m ? load(m->tab_bits, m->nb_bits, addr) : 0;
}
void coil_set(int addr, uint8_t v) {
    Access a;
    modbus_mapping_t *m = a.m;
    if (m) store(m->tab_bits, m->nb_bits, addr, v);
}
uint8_t di_get(int addr) {
    Access a;
    modbus_mapping_t *m = a.m;
    return m ? load(m->tab_input_bits, m->nb_input_bits, addr) : 0;
}
void di_set(int addr, uint8_t v) {
    Access a;
    modbus_mapping_t *m = a.m;
    if (m) store(m->tab_input_bits, m->nb_input_bits, addr, v);
}

modbus_mapping_t *regmap_spare() {
    modbus_mapping_t *pub = data_mapping.load();
    for (int i = 0; i < 2; i++) {
        modbus_mapping_t *slot = g_pool[i].load(std::memory_order_relaxed);
        if (slot == nullptr) {
            slot = modbus_mapping_new(MB_COILS, MB_DISCRETE, MB_HOLDING, MB_INPUT);
            g_pool[i].store(slot, std::memory_order_relaxed);
        }
        if (slot == nullptr || slot == pub) continue;
        // Late readers finish their one access first (a single load or store).
        while (g_users[i].load(std::memory_order_acquire) != 0) std::this_thread::yield();
        zero(slot->tab_bits, slot->nb_bits);
        zero(slot->tab_input_bits, slot->nb_input_bits);
        zero(slot->tab_input_registers, slot->nb_input_registers);
        zero(slot->tab_registers, slot->nb_registers);
        return slot;
    }
    return nullptr;
}

void regmap_fill_begin(modbus_mapping_t *m) { t_fill = m; }
void regmap_fill_end() { t_fill = nullptr; }

int regmap_phone(int first_reg, char out[21]) {
    std::memset(out, 0, 21);
    int len = 0;
    for (int i = 0; i < 10; i++) {
        uint16_t r = hr_get(first_reg + i);
        if (r == 0) continue;
        // Two bytes per non-zero register, a zero low byte included; the
        // string itself ends at its first zero byte.
        out[len++] = static_cast<char>(r >> 8);
        out[len++] = static_cast<char>(r & 0xFF);
    }
    return len;
}

int regmap_text(int first_reg, int n, uint8_t *out, int cap, bool keep_zero) {
    int len = 0;
    for (int i = 0; i < n; i++) {
        uint16_t r = hr_get(first_reg + i);
        if (r == 0 && !keep_zero) continue;
        if (len + 2 > cap) break;
        out[len++] = static_cast<uint8_t>(r & 0xFF);
        out[len++] = static_cast<uint8_t>(r >> 8);
    }
    return len;
}
