#include "Logging/LxTTYLoggerColorProfile.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "Platform/Format.h"

namespace {

constexpr char kEscapeIntroducer[] = "\033[";

struct Bytes {
    uint8_t r = 0, g = 0, b = 0;
};

// Components are 0..1 (platform::Color clamps them), so times 255 always fits a byte.
Bytes bytesOf(const platform::Color& color) {
    double r = 0, g = 0, b = 0;
    LxTTYLogger::getRed(&r, &g, &b, color);
    return {static_cast<uint8_t>(r * 255), static_cast<uint8_t>(g * 255), static_cast<uint8_t>(b * 255)};
}

// One side's code. side: "fg" or "bg", for the XcodeColors form.
void makeCode(const std::optional<platform::Color>& color, const Bytes& bytes, const LxTTYLogger::Terminal& terminal,
              const std::vector<std::string>& codes, const char* side, uint64_t& index,
              std::optional<std::string>& raw, std::string& code) {
    if (!color) return;
    if (terminal.kind.colorTTY) {
        index = LxTTYLogger::codeIndexForColor(*color, terminal.tables);
        // An empty table (never built for a colour terminal) leaves the code empty rather
        // than reading past it.
        if (index >= codes.size()) return;
        raw = codes[index];
        code = kEscapeIntroducer + *raw;
    } else if (terminal.kind.xcodeColorTTY) {
        char text[24];
        int n = std::snprintf(text, sizeof text, "%s%s%u,%u,%u;", kEscapeIntroducer, side, bytes.r, bytes.g, bytes.b);
        if (n > 0) code.assign(text, std::min<size_t>(static_cast<size_t>(n), sizeof text - 1));
    }
}

}  // namespace

LxTTYLoggerColorProfile::LxTTYLoggerColorProfile(std::optional<platform::Color> foreground,
                                                 std::optional<platform::Color> background, int32_t flag,
                                                 int32_t context, const LxTTYLogger::Terminal& terminal)
    : mask(flag), context(context) {
    Bytes fg;
    Bytes bg;
    if (foreground) fg = bytesOf(*foreground);
    if (background) bg = bytesOf(*background);
    fg_r = fg.r, fg_g = fg.g, fg_b = fg.b;
    bg_r = bg.r, bg_g = bg.g, bg_b = bg.b;

    makeCode(foreground, fg, terminal, terminal.tables.codes_fg, "fg", fgCodeIndex, fgCodeRaw, fgCode);
    makeCode(background, bg, terminal, terminal.tables.codes_bg, "bg", bgCodeIndex, bgCodeRaw, bgCode);

    if (terminal.kind.colorTTY)
        resetCode = "\033[0m";
    else if (terminal.kind.xcodeColorTTY)
        resetCode = "\033[;";
}

std::string LxTTYLoggerColorProfile::description() const {
    return platform::format("<LxTTYLoggerColorProfile: %p mask:%i ctxt:%i fg:%u,%u,%u bg:%u,%u,%u fgCode:%@ bgCode:%@>",
                            static_cast<const void*>(this), mask, context, fg_r, fg_g, fg_b, bg_r, bg_g, bg_b,
                            fgCodeRaw, bgCodeRaw);
}
