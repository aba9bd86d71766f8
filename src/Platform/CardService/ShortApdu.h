// The bytes of a short command APDU from the fields a card object is given.
#pragma once

#include <cstdint>
#include <optional>

#include "Platform/CardService/SmartCard.h"

namespace platform {

// CLA INS P1 P2, then Lc and the data when data is given and not empty, then Le when le is
// given (its low 8 bits: 256 is written 00). nullopt when the data does not fit a short
// APDU (more than 255 bytes) or le is outside 0..256.
std::optional<Bytes> shortApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                               const std::optional<Bytes>& data, std::optional<int> le);

}  // namespace platform
