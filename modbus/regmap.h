// The register map: one libmodbus mapping that is at once configuration,
// command interface and status board. Every access re-reads data_mapping,
// because a re-initialisation swaps in a new map. Two maps take turns: the
// new one is filled while unpublished, and the replaced one is kept (never
// freed) as the spare of the next re-initialisation, which refills it only
// once the accesses still on it are over.
// Single registers are read and written as relaxed atomics: the map is shared
// by all threads without a lock, one 16-bit (or 8-bit) store at a time.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <modbus/modbus.h>

#include "modbus/map_layout.h"

constexpr int MB_COILS = layout::COILS;
constexpr int MB_DISCRETE = layout::DISCRETE;
constexpr int MB_HOLDING = layout::HOLDING;
constexpr int MB_INPUT = layout::INPUT;

extern std::atomic<modbus_mapping_t *> data_mapping;

// The map that is not published, zeroed once no access is on it any more;
// nullptr when memory is short. For the initialising thread only.
modbus_mapping_t *regmap_spare();
// While a fill target is set, the calling thread's accessors below work on
// it; every other thread keeps the published map.
void regmap_fill_begin(modbus_mapping_t *m);
void regmap_fill_end();

// Out-of-range addresses read 0 and are not written.
uint16_t hr_get(int addr);            // holding register
void hr_set(int addr, uint16_t v);
uint16_t ir_get(int addr);            // input register
void ir_set(int addr, uint16_t v);
uint8_t coil_get(int addr);
void coil_set(int addr, uint8_t v);
uint8_t di_get(int addr);             // discrete input
void di_set(int addr, uint8_t v);

// Start of the alarm text block of alarm i (ON text; OFF text at +54) and
// first register of phone n of group g: the layout's formulas.
using layout::alarm_text_reg;
using layout::phone_reg;

// Assembles a phone number from 10 ASCII-pair registers (high byte first,
// zero registers skipped) into out (21 bytes: up to 20 characters + NUL).
// Returns the number of bytes taken (two per non-zero register, so a zero low
// byte counts); the number is present when out[0] != 0.
int regmap_phone(int first_reg, char out[21]);
// Assembles a text body from n text registers (low byte first); zero
// registers are skipped unless keep_zero. Writes at most cap bytes; returns
// the byte count.
int regmap_text(int first_reg, int n, uint8_t *out, int cap, bool keep_zero = false);
