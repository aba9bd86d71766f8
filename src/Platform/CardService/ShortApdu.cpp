#include "Platform/CardService/ShortApdu.h"

namespace platform {

std::optional<Bytes> shortApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                               const std::optional<Bytes>& data, std::optional<int> le) {
    if (data && data->size() > 255) return std::nullopt;
    if (le && (*le < 0 || *le > 256)) return std::nullopt;
    Bytes apdu{cla, ins, p1, p2};
    if (data && !data->empty()) {
        apdu.push_back(static_cast<uint8_t>(data->size()));
        apdu.insert(apdu.end(), data->begin(), data->end());
    }
    if (le) apdu.push_back(static_cast<uint8_t>(*le & 0xFF));
    return apdu;
}

}  // namespace platform
