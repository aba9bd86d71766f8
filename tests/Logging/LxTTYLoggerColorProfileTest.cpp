#include "Logging/LxTTYLoggerColorProfile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "Logging/LxTTYLogger.h"
#include "Platform/Color.h"

namespace {

using platform::Color;

Color rgb255(int r, int g, int b) { return Color::calibrated(r / 255.0, g / 255.0, b / 255.0); }

// One terminal of each kind, made once.
struct Terminals {
    const LxTTYLogger::Terminal colours256 = LxTTYLogger::terminalFor({true, true, false});
    const LxTTYLogger::Terminal colours16 = LxTTYLogger::terminalFor({true, false, false});
    const LxTTYLogger::Terminal xcodeConsole = LxTTYLogger::terminalFor({false, false, true});
    const LxTTYLogger::Terminal plain = LxTTYLogger::terminalFor({false, false, false});
};
const Terminals& terminals() {
    static const Terminals made;
    return made;
}
const LxTTYLogger::Terminal& terminal256() { return terminals().colours256; }
const LxTTYLogger::Terminal& terminal16() { return terminals().colours16; }
const LxTTYLogger::Terminal& xcodeConsole() { return terminals().xcodeConsole; }
const LxTTYLogger::Terminal& plainTerminal() { return terminals().plain; }

TEST(LxTTYLoggerColorTablesTest, CodesAndReferenceColours) {
    const auto tables16 = LxTTYLogger::initialize_colors_16();
    const auto tables256 = LxTTYLogger::initialize_colors_256();
    for (const auto& [tables, size] : {std::pair{&tables16, 16u}, std::pair{&tables256, 240u}}) {
        ASSERT_EQ(size, tables->colors.size());
        ASSERT_EQ(size, tables->codes_fg.size());
        ASSERT_EQ(size, tables->codes_bg.size());
    }
    struct Row {
        bool of256;
        size_t index;  // in the 256-colour table: the terminal colour less 16
        const char* fg;
        const char* bg;
        int r, g, b;
    };
    static constexpr Row rows[] = {
        {false, 0, "30m", "40m", 0, 0, 0},
        {false, 1, "31m", "41m", 194, 54, 33},
        {false, 7, "37m", "47m", 203, 204, 205},
        {false, 8, "1;30m", "1;40m", 129, 131, 131},
        {false, 12, "1;34m", "1;44m", 88, 51, 255},
        {false, 15, "1;37m", "1;47m", 233, 235, 235},
        {true, 16 - 16, "38;5;16m", "48;5;16m", 47, 49, 49},
        {true, 21 - 16, "38;5;21m", "48;5;21m", 88, 51, 255},
        {true, 46 - 16, "38;5;46m", "48;5;46m", 27, 254, 30},
        {true, 51 - 16, "38;5;51m", "48;5;51m", 42, 253, 252},
        {true, 160 - 16, "38;5;160m", "48;5;160m", 247, 56, 30},
        {true, 196 - 16, "38;5;196m", "48;5;196m", 255, 61, 30},
        {true, 201 - 16, "38;5;201m", "48;5;201m", 255, 59, 255},
        {true, 226 - 16, "38;5;226m", "48;5;226m", 251, 252, 15},
        {true, 231 - 16, "38;5;231m", "48;5;231m", 254, 255, 255},
        {true, 232 - 16, "38;5;232m", "48;5;232m", 52, 53, 53},
        {true, 244 - 16, "38;5;244m", "48;5;244m", 151, 152, 153},
        {true, 255 - 16, "38;5;255m", "48;5;255m", 240, 242, 242},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fg);
        const auto& tables = row.of256 ? tables256 : tables16;
        EXPECT_EQ(row.fg, tables.codes_fg[row.index]);
        EXPECT_EQ(row.bg, tables.codes_bg[row.index]);
        EXPECT_EQ(rgb255(row.r, row.g, row.b), tables.colors[row.index]);
    }
}

TEST(LxTTYLoggerColorTablesTest, OnlyAColourTerminalGetsTables) {
    EXPECT_EQ(240u, terminal256().tables.colors.size());
    EXPECT_EQ(16u, terminal16().tables.colors.size());
    EXPECT_TRUE(xcodeConsole().tables.colors.empty());
    EXPECT_TRUE(plainTerminal().tables.colors.empty());
}

TEST(LxTTYLoggerNearestColourTest, PureRedIsColour160NotTheBrighter196) {
    const size_t index = LxTTYLogger::codeIndexForColor(Color::calibrated(1, 0, 0), terminal256().tables);
    EXPECT_EQ(160u - 16u, index);
}

TEST(LxTTYLoggerNearestColourTest, EveryReferenceColourFindsItself) {
    for (const auto* terminal : {&terminal16(), &terminal256()}) {
        const auto& tables = terminal->tables;
        for (size_t i = 0; i < tables.colors.size(); ++i) {
            SCOPED_TRACE(tables.codes_fg[i]);
            EXPECT_EQ(i, LxTTYLogger::codeIndexForColor(tables.colors[i], tables));
        }
    }
}

TEST(LxTTYLoggerNearestColourTest, OfEquallyNearColoursTheLowerIndexWins) {
    // Components 0, 0.5 and 1 are exact in binary, so both distances are exactly 0.5.
    LxTTYLogger::ColorTables tables;
    tables.colors = {Color::calibrated(0, 0, 1), Color::calibrated(0, 0, 0), Color::calibrated(1, 0, 0)};
    tables.codes_fg = tables.codes_bg = {"a", "b", "c"};
    EXPECT_EQ(1u, LxTTYLogger::codeIndexForColor(Color::calibrated(0.5, 0, 0), tables));
    // The same colours in the other order: still the first of the two.
    std::swap(tables.colors[1], tables.colors[2]);
    EXPECT_EQ(1u, LxTTYLogger::codeIndexForColor(Color::calibrated(0.5, 0, 0), tables));

    EXPECT_EQ(0u, LxTTYLogger::codeIndexForColor(Color::calibrated(0.3, 0.6, 0.9), LxTTYLogger::ColorTables{}));
}

TEST(LxTTYLoggerColorProfileTest, CodesForEachKindOfTerminal) {
    struct Case {
        const char* name;
        const LxTTYLogger::Terminal& terminal;
        const char* fgCode;
        const char* bgCode;
        const char* resetCode;
    };
    // Foreground pure red, background colour 21's reference (88, 51, 255).
    const Case cases[] = {
        {"256 colours", terminal256(), "\033[38;5;160m", "\033[48;5;21m", "\033[0m"},
        {"16 colours", terminal16(), "\033[1;31m", "\033[1;44m", "\033[0m"},
        {"XcodeColors", xcodeConsole(), "\033[fg255,0,0;", "\033[bg88,51,255;", "\033[;"},
        {"plain", plainTerminal(), "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LxTTYLoggerColorProfile profile(Color::calibrated(1, 0, 0), rgb255(88, 51, 255), 1, 80, c.terminal);
        EXPECT_EQ(1, profile.mask);
        EXPECT_EQ(80, profile.context);
        EXPECT_EQ(c.fgCode, profile.fgCode);
        EXPECT_EQ(c.bgCode, profile.bgCode);
        EXPECT_EQ(c.resetCode, profile.resetCode);
    }
    LxTTYLoggerColorProfile red(Color::calibrated(1, 0, 0), std::nullopt, 1, 0, terminal256());
    EXPECT_EQ(std::string("\x1b\x5b\x30\x6d", 4), red.resetCode);
    EXPECT_EQ(144u, red.fgCodeIndex);
    EXPECT_EQ("38;5;160m", red.fgCodeRaw);
}

TEST(LxTTYLoggerColorProfileTest, MissingColoursGiveEmptyCodesAndZeroComponents) {
    for (const auto* terminal : {&terminal256(), &terminal16(), &xcodeConsole(), &plainTerminal()}) {
        LxTTYLoggerColorProfile none(std::nullopt, std::nullopt, 2, 0, *terminal);
        EXPECT_EQ("", none.fgCode);
        EXPECT_EQ("", none.bgCode);
        EXPECT_FALSE(none.fgCodeRaw.has_value());
        EXPECT_FALSE(none.bgCodeRaw.has_value());
        EXPECT_EQ(0, none.fg_r + none.fg_g + none.fg_b + none.bg_r + none.bg_g + none.bg_b);
    }
    LxTTYLoggerColorProfile backgroundOnly(std::nullopt, Color::calibrated(0, 0, 1), 2, 0, terminal16());
    EXPECT_EQ("", backgroundOnly.fgCode);
    EXPECT_EQ("\033[44m", backgroundOnly.bgCode);
    EXPECT_EQ("\033[0m", backgroundOnly.resetCode);  // the reset is the terminal's, not the colours'
}

TEST(LxTTYLoggerColorProfileTest, ComponentsAreTimes255Truncated) {
    // 0.999 * 255 = 254.7 and 0.5 * 255 = 127.5: both truncated. Out-of-range components were
    // clamped by the colour, so they never wrap around a byte.
    LxTTYLoggerColorProfile profile(Color::calibrated(0.999, 0.5, 1.7), Color::calibrated(-3, 0.004, 1),
                                    1, 0, xcodeConsole());
    EXPECT_EQ(254, profile.fg_r);
    EXPECT_EQ(127, profile.fg_g);
    EXPECT_EQ(255, profile.fg_b);
    EXPECT_EQ(0, profile.bg_r);
    EXPECT_EQ(1, profile.bg_g);
    EXPECT_EQ(255, profile.bg_b);
    EXPECT_EQ("\033[fg254,127,255;", profile.fgCode);
    EXPECT_EQ("\033[bg0,1,255;", profile.bgCode);
}

TEST(LxTTYLoggerColorProfileTest, Description) {
    LxTTYLoggerColorProfile profile(rgb255(214, 57, 30), std::nullopt, 1, 80, terminal256());
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(&profile));
    EXPECT_EQ(std::string("<LxTTYLoggerColorProfile: ") + address +
                  " mask:1 ctxt:80 fg:214,57,30 bg:0,0,0 fgCode:38;5;160m bgCode:(null)>",
              profile.description());
}

}  // namespace
