// One reader entry of the reader list: the reader's name exactly as the card service lists
// it, the reader object, and the card status code of its current state (CardUtil).
//
// A plain value object, not thread-safe. The card manager keeps its own entries under its
// lock and hands callers copies (SmartCardManager::slotModels), so an entry a caller holds
// never changes under it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Platform/CardService/CardSlot.h"

class SCSlotModel {
public:
    SCSlotModel() = default;
    // Name and status only; the reader object stays empty.
    SCSlotModel(std::optional<std::string> name, int64_t status) : suffixedName_(std::move(name)), cardStatus_(status) {}

    // {"name": suffixedName, "cardstatus": cardStatus}; nil (nullopt) when the name is nil,
    // and the list reply leaves such entries out.
    std::optional<nlohmann::json> jsonDict() const;

    // "slot: %@, name: %@, cardStatus:%ld"
    std::string description() const;

    const std::optional<std::string>& suffixedName() const { return suffixedName_; }
    void setSuffixedName(std::optional<std::string> name) { suffixedName_ = std::move(name); }
    const std::shared_ptr<platform::CardSlot>& slot() const { return slot_; }
    void setSlot(std::shared_ptr<platform::CardSlot> slot) { slot_ = std::move(slot); }
    int64_t cardStatus() const { return cardStatus_; }
    void setCardStatus(int64_t status) { cardStatus_ = status; }

private:
    std::optional<std::string> suffixedName_;
    std::shared_ptr<platform::CardSlot> slot_;
    int64_t cardStatus_ = 0;
};
