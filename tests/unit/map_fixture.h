// The register map for unit tests: a fresh map published in data_mapping and
// a temporary board root for the test's life, and the setters most tests need
// (phones, texts, enables), written with the layout's formulas.
#pragma once
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "modbus/map_layout.h"
#include "modbus/regmap.h"
#include "sys/sys.h"
#include "tests/unit/test_files.h"

namespace test_map {

// A fresh map published in data_mapping for the object's life; the map it
// replaced (a test may nest one inside another) is published again after it.
class Map {
public:
    Map()
        : prev_(data_mapping.exchange(
              modbus_mapping_new(layout::COILS, layout::DISCRETE, layout::HOLDING, layout::INPUT))) {}
    ~Map() { modbus_mapping_free(data_mapping.exchange(prev_)); }
    Map(const Map &) = delete;
    Map &operator=(const Map &) = delete;
    bool ok() const { return data_mapping.load() != nullptr; }

private:
    modbus_mapping_t *prev_;
};

// The map and a temporary board root. Construct in SetUp (after
// fake_sys::reset), destroy in TearDown.
class Scope {
public:
    explicit Scope(const char *name) : root_(test_files::temp_root(name)) { sys_set_root(root_.c_str()); }
    ~Scope() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;
    bool ok() const { return !root_.empty() && map_.ok(); }
    const std::filesystem::path &root() const { return root_; }

private:
    std::filesystem::path root_;
    Map map_;
};

// Phone n of group g: ASCII pairs, first character in the high byte.
inline void set_phone(int g, int n, const char *digits) {
    int r = layout::phone_reg(g, n);
    for (int i = 0; i < layout::PHONE_N; i++) hr_set(r + i, 0);
    size_t len = std::strlen(digits);
    for (size_t i = 0; i < len; i += 2) {
        uint16_t hi = static_cast<uint8_t>(digits[i]);
        uint16_t lo = i + 1 < len ? static_cast<uint8_t>(digits[i + 1]) : 0;
        hr_set(r + static_cast<int>(i / 2), static_cast<uint16_t>(hi << 8 | lo));
    }
}

// One ASCII character per text register: the character in the high byte.
inline void set_text(int first, const char *s) {
    for (int i = 0; s[i]; i++) hr_set(first + i, static_cast<uint16_t>(static_cast<uint8_t>(s[i]) << 8));
}

// Alarm n's bit in a 16-register bit table starting at first (enables, ack).
inline void set_bit(int first, int alarm, bool on) {
    int r = first + layout::enable_word(alarm);
    uint16_t bit = static_cast<uint16_t>(1u << layout::enable_bit(alarm));
    hr_set(r, on ? (hr_get(r) | bit) : (hr_get(r) & ~bit));
}

// Alarm n's SMS and voice enable bits.
inline void enable(int alarm, bool sms, bool voice) {
    set_bit(layout::HR_SMS_ENABLE, alarm, sms);
    set_bit(layout::HR_VOICE_ENABLE, alarm, voice);
}
}  // namespace test_map
