// The card status codes of the reader states, as every card-related reply carries them.
//
//   reader state   value  mapCardStatus  cardStateString
//   Missing        0      200            "TKSmartCardSlotStateMissing"
//   Empty          1      303            "TKSmartCardSlotStateEmpty"
//   Probing        2      301            "TKSmartCardSlotStateProbing"
//   MuteCard       3      300            "TKSmartCardSlotStateMuteCard"
//   ValidCard      4      302            "TKSmartCardSlotStateValidCard"
//   anything else         0              "NotSet"
//
// Stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <string>

class CardUtil {
public:
    // The state is compared as unsigned: every value above 4, negative ones included, is 0.
    static uint64_t mapCardStatus(int64_t state);
    static std::string cardStateString(int64_t state);
};
