#include "SmartCard/ResponseAPDU.h"

#include "Platform/Format.h"
#include "Util/CommonUtil.h"

ResponseAPDU::ResponseAPDU(std::optional<ByteBuffer> replyData, std::uint16_t status)
    : status_(status), replyData_(std::move(replyData)) {}

ResponseAPDU ResponseAPDU::fromDictionary(const nlohmann::json& dictionary) {
    std::optional<std::string> text;
    if (dictionary.is_object()) {
        auto it = dictionary.find("apdu");
        if (it != dictionary.end() && it->is_string()) text = it->get<std::string>();
    }
    const std::optional<ByteBuffer> bytes = CommonUtil::dataFromHexString(text);
    if (!bytes || bytes->size() < 2) return ResponseAPDU(std::nullopt, 0);
    const std::size_t n = bytes->size();
    const auto status = static_cast<std::uint16_t>((*bytes)[n - 2] << 8 | (*bytes)[n - 1]);
    std::optional<ByteBuffer> data;
    if (n >= 3) data = ByteBuffer(bytes->begin(), bytes->end() - 2);
    return ResponseAPDU(std::move(data), status);
}

std::string ResponseAPDU::hexStringWithStatusCode() const {
    std::string text = CommonUtil::dataToHexString(replyData_).value_or("");
    text += platform::format("%x", static_cast<unsigned>(status_));
    return text;
}

ByteBuffer ResponseAPDU::dataWithStatusCode() const {
    ByteBuffer bytes = replyData_.value_or(ByteBuffer{});
    bytes.push_back(static_cast<std::uint8_t>(status_ >> 8));
    bytes.push_back(static_cast<std::uint8_t>(status_ & 0xFF));
    return bytes;
}

std::string ResponseAPDU::description() const {
    return platform::format("[%@] status: %x, data: %@", "ResponseAPDU", static_cast<unsigned>(status_),
                            Bytes::description(replyData_));
}
