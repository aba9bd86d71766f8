#include "Model/SCSlotModel.h"

#include "Platform/Format.h"

std::optional<nlohmann::json> SCSlotModel::jsonDict() const {
    if (!suffixedName_) return std::nullopt;
    return nlohmann::json{{"name", *suffixedName_}, {"cardstatus", cardStatus_}};
}

std::string SCSlotModel::description() const {
    std::optional<std::string> slot;
    if (slot_) slot = slot_->describe();
    return platform::format("slot: %@, name: %@, cardStatus:%ld", slot, suffixedName_, static_cast<long>(cardStatus_));
}
