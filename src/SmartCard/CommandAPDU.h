// A command APDU parsed from the hexadecimal text a page sends: the header bytes, the command
// data and the expected length, classified by the four cases of ISO/IEC 7816-4 (short form
// only; Lc and Le are always one byte).
//
// Parsing never rejects a text: the card judges the command. The rules, on the text after
// CommonUtil::cleanNonHexCharsFromHexString:
//   - nil, or fewer than 8 digits (no complete header): every field stays at its initial
//     value (header 00 00 00 00, classType 0, no Le, no data); a short text also logs
//     "APDU header must be 4 bytes". The exchange transmits such a command as the bare
//     header 00 00 00 00, exactly as for a nil text.
//   - 8 or 9 digits: case 1.
//   - exactly 10: case 2, Le = digits 8-9.
//   - more: b = digits 8-9; with at least 10 + 2b digits case 3 (Lc = b, data = the b bytes
//     from digit 10), and with at least 12 + 2b digits case 4 (Le = the pair after the data);
//     with fewer, "Data length must be equal to lc" is logged and the command stays case 1.
//   Digits beyond what the case uses are ignored.
//
// A plain value object: not thread-safe, but no state is shared between instances. Callers
// that share one hold it in a std::shared_ptr.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Util/Bytes.h"

class CommandAPDU {
public:
    CommandAPDU() = default;
    // The command parsed from the text (may be nil) by parseString.
    explicit CommandAPDU(const std::optional<std::string>& text);

    // Resets every field, then fills them from the text (rules above).
    void parseString(const std::optional<std::string>& text);

    // The command's bytes: the header, then for case 2 the Le byte; case 3 Lc and the data;
    // case 4 Lc, the data and Le; nothing more for any other case.
    ByteBuffer getData() const;

    // "[CommandAPDU] CLA:%0x, INS:%0x, P1:%0x, P2:%0x, Data:%@, Le:%@"
    std::string description() const;

    std::uint8_t cla() const { return cla_; }
    std::uint8_t ins() const { return ins_; }
    std::uint8_t p1() const { return p1_; }
    std::uint8_t p2() const { return p2_; }
    // The length of the command data in cases 3 and 4, else 0.
    std::uint8_t lc() const { return lc_; }
    // 1 to 4: the ISO/IEC 7816-4 case; 0 when nothing was parsed.
    std::int64_t classType() const { return classType_; }
    // The expected reply length (0 to 255); nil in cases 1 and 3 and when nothing was parsed.
    const std::optional<std::uint8_t>& le() const { return le_; }
    // The command data (possibly empty in case 3 and 4 with Lc 0); nil in cases 1 and 2.
    const std::optional<ByteBuffer>& commandData() const { return commandData_; }

private:
    std::uint8_t cla_ = 0;
    std::uint8_t ins_ = 0;
    std::uint8_t p1_ = 0;
    std::uint8_t p2_ = 0;
    std::uint8_t lc_ = 0;
    std::int64_t classType_ = 0;
    std::optional<std::uint8_t> le_;
    std::optional<ByteBuffer> commandData_;
};
