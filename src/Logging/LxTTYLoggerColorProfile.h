// One colour profile of the standard-error logger: the escape codes that colour the lines of
// messages with some flags and a context, or with one tag (LxTTYLogger::setForegroundColor).
//
// The codes are worked out once, when the profile is made, for the terminal the logger writes
// to: on a colour terminal the nearest colour of its tables, on an XcodeColors console the
// exact components, elsewhere nothing (every code empty). Immutable once made; the logger
// shares it read-only on its queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Logging/LxTTYLogger.h"
#include "Platform/Color.h"

class LxTTYLoggerColorProfile {
public:
    // A missing colour leaves that side's code empty. flag is the mask of flags the profile is
    // for (a tag profile passes 0 and 0).
    LxTTYLoggerColorProfile(std::optional<platform::Color> foreground, std::optional<platform::Color> background,
                            int32_t flag, int32_t context,
                            const LxTTYLogger::Terminal& terminal = LxTTYLogger::terminal());

    // "<LxTTYLoggerColorProfile: 0x... mask:1 ctxt:0 fg:214,57,30 bg:0,0,0 fgCode:38;5;160m bgCode:(null)>"
    std::string description() const;

    int32_t mask = 0;
    int32_t context = 0;
    // The components times 255, truncated; 0 for a missing colour.
    uint8_t fg_r = 0, fg_g = 0, fg_b = 0;
    uint8_t bg_r = 0, bg_g = 0, bg_b = 0;
    // On a colour terminal: the index of the nearest reference colour and its code from the
    // tables; otherwise 0 and std::nullopt.
    uint64_t fgCodeIndex = 0;
    std::optional<std::string> fgCodeRaw;
    uint64_t bgCodeIndex = 0;
    std::optional<std::string> bgCodeRaw;
    // The escape sequences written into the line ("" when none).
    std::string fgCode;
    std::string bgCode;
    std::string resetCode;
};
