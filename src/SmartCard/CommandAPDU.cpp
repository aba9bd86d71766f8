#include "SmartCard/CommandAPDU.h"

#include <string_view>

#include "Platform/PlainLog.h"
#include "Util/CommonUtil.h"

namespace {

// The byte of the digit pair at `position`; the caller has checked that both digits exist.
std::uint8_t pairAt(std::string_view digits, std::size_t position) {
    return CommonUtil::dataFromHexString(digits.substr(position, 2)).at(0);
}

}  // namespace

CommandAPDU::CommandAPDU(const std::optional<std::string>& text) { parseString(text); }

void CommandAPDU::parseString(const std::optional<std::string>& text) {
    *this = CommandAPDU();
    if (!text) return;

    const std::string digits = CommonUtil::cleanNonHexCharsFromHexString(std::string_view(*text));
    if (digits.size() < 8) {
        // Without a whole header there is nothing to classify; the command goes out as the
        // header 00 00 00 00, as a nil text does, and the card answers it.
        platform::plainLog("APDU header must be 4 bytes");
        return;
    }
    cla_ = pairAt(digits, 0);
    ins_ = pairAt(digits, 2);
    p1_ = pairAt(digits, 4);
    p2_ = pairAt(digits, 6);
    classType_ = 1;
    if (digits.size() < 10) return;

    const std::uint8_t b = pairAt(digits, 8);
    if (digits.size() == 10) {
        classType_ = 2;
        le_ = b;
        return;
    }
    const std::size_t dataEnd = 10 + 2 * static_cast<std::size_t>(b);
    if (digits.size() < dataEnd) {
        platform::plainLog("Data length must be equal to lc");
        return;
    }
    classType_ = 3;
    lc_ = b;
    commandData_ = CommonUtil::dataFromHexString(std::string_view(digits).substr(10, dataEnd - 10));
    if (digits.size() >= dataEnd + 2) {
        classType_ = 4;
        le_ = pairAt(digits, dataEnd);
    }
}

ByteBuffer CommandAPDU::getData() const {
    ByteBuffer bytes{cla_, ins_, p1_, p2_};
    const auto appendData = [&] {
        bytes.push_back(lc_);
        if (commandData_) bytes.insert(bytes.end(), commandData_->begin(), commandData_->end());
    };
    switch (classType_) {
    case 2:
        bytes.push_back(le_.value_or(0));
        break;
    case 3:
        appendData();
        break;
    case 4:
        appendData();
        bytes.push_back(le_.value_or(0));
        break;
    default:
        break;
    }
    return bytes;
}

std::string CommandAPDU::description() const {
    std::optional<std::string> le;
    if (le_) le = std::to_string(*le_);
    return platform::format("[%@] CLA:%0x, INS:%0x, P1:%0x, P2:%0x, Data:%@, Le:%@", "CommandAPDU",
                            static_cast<unsigned>(cla_), static_cast<unsigned>(ins_), static_cast<unsigned>(p1_),
                            static_cast<unsigned>(p2_), Bytes::description(commandData_), le);
}
