#include "modbus/regmap.h"

#include <atomic>
#include <cstring>

std::atomic<modbus_mapping_t *> data_mapping{nullptr};

namespace {
thread_local modbus_mapping_t *t_fill = nullptr;
modbus_mapping_t *g_pool[2] = {nullptr, nullptr};   // only the initialising thread touches it

modbus_mapping_t *current() {
    return t_fill != nullptr ? t_fill : data_mapping.load(std::memory_order_acquire);
}

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
    modbus_mapping_t *m = current();
    return m ? load(m->tab_registers, m->nb_registers, addr) : 0;
}
void hr_set(int addr, uint16_t v) {
    modbus_mapping_t *m = current();
    if (m) store(m->tab_registers, m->nb_registers, addr, v);
}
uint16_t ir_get(int addr) {
    modbus_mapping_t *m = current();
    return m ? load(m->tab_input_registers, m->nb_input_registers, addr) : 0;
}
void ir_set(int addr, uint16_t v) {
    modbus_mapping_t *m = current();
    if (m) store(m->tab_input_registers, m->nb_input_registers, addr, v);
}
uint8_t coil_get(int addr) {
    modbus_mapping_t *m = current();
    return m ? load(m->tab_bits, m->nb_bits, addr) : 0;
}
void coil_set(int addr, uint8_t v) {
    modbus_mapping_t *m = current();
    if (m) store(m->tab_bits, m->nb_bits, addr, v);
}
uint8_t di_get(int addr) {
    modbus_mapping_t *m = current();
    return m ? load(m->tab_input_bits, m->nb_input_bits, addr) : 0;
}
void di_set(int addr, uint8_t v) {
    modbus_mapping_t *m = current();
    if (m) store(m->tab_input_bits, m->nb_input_bits, addr, v);
}

modbus_mapping_t *regmap_spare() {
    modbus_mapping_t *pub = data_mapping.load(std::memory_order_acquire);
    for (auto &slot : g_pool) {
        if (slot == nullptr) slot = modbus_mapping_new(MB_COILS, MB_DISCRETE, MB_HOLDING, MB_INPUT);
        if (slot == nullptr || slot == pub) continue;
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
