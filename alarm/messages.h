// Records of the alarm engine and its event rings: the message records shared
// with the modem (msg/messages.h) and the phone lists.
#pragma once
#include <cstdint>

#include "msg/messages.h"

constexpr int PHONE_SLOT_LEN = 20;   // one slot of a phone list, NUL-padded
constexpr int MAX_PHONES = 256;      // 16 groups x 16 numbers

// A phone list: MAX_PHONES slots of PHONE_SLOT_LEN bytes.
using phone_slot = char[PHONE_SLOT_LEN];
