// UTF-8 <-> UCS-2, shared by the daemon (texts it composes itself) and agwctl
// (texts of the site file). SMS texts are UCS-2: one 16-bit unit per character
// of the basic multilingual plane.
#pragma once
#include <cstdint>
#include <string>

// Converts in into UCS-2 code units: "" on success, else the reason (out then
// holds the units converted before the fault).
std::string utf8_to_ucs2(const std::string &in, std::u16string &out);
// Surrogates (never produced above) come out as U+FFFD.
std::string ucs2_to_utf8(const std::u16string &in);
// The SMS body of a UTF-8 text: big-endian UCS-2 octets into out (cap bytes),
// cut at a whole character. Returns the byte count, -1 for invalid UTF-8.
int utf8_to_sms_ucs2(const char *in, uint8_t *out, int cap);
