#include "SmartCard/CardUtil.h"

namespace {

constexpr int64_t kCardStatus[5] = {200, 303, 301, 300, 302};
constexpr const char* kStateNames[5] = {
    "TKSmartCardSlotStateMissing", "TKSmartCardSlotStateEmpty", "TKSmartCardSlotStateProbing",
    "TKSmartCardSlotStateMuteCard", "TKSmartCardSlotStateValidCard",
};

}  // namespace

uint64_t CardUtil::mapCardStatus(int64_t state) {
    const auto index = static_cast<uint64_t>(state);
    return index < 5 ? static_cast<uint64_t>(kCardStatus[index]) : 0;
}

std::string CardUtil::cardStateString(int64_t state) {
    const auto index = static_cast<uint64_t>(state);
    return index < 5 ? kStateNames[index] : "NotSet";
}
