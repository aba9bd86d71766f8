// The standard-error logger: every message of the hub as one line on file descriptor 2,
// handed over in one gathered write (writev), so that lines of other writers never cut
// into it.
//
// Line format, for a message without a formatter:
//     "YYYY-MM-DD HH:MM:SS:mmm <process>[<pid>:<thread id in hex>] <text>\n"
// in the local time zone; note the colon before the milliseconds. A text that already ends
// in a newline gets no second one. With a formatter that returns a text other than the
// record's own, the line is that text and the newline alone; a formatter returning nullptr
// drops the message for this logger.
//
// One instance per process (sharedInstance()), made on first use and never destroyed. The
// hub calls logMessage() on the logger's queue "log.hub.ttyLogger" only.
//
// Colours: the terminal is classified from "TERM" and "XcodeColors" when the class is first
// used, and a colour terminal gets its colour tables then. A line can be coloured by colour
// profiles, chosen by the message's tag or by its flag and context; its foreground and
// background codes go before the line and the reset code after it. Colours are off until
// setColorsEnabled(true), and this program never turns them on: its lines carry no escape
// codes, whatever the terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Logging/LxAbstractLogger.h"
#include "Platform/Color.h"

class LxTTYLoggerColorProfile;

class LxTTYLogger final : public LxAbstractLogger {
public:
    // What the environment says of the terminal.
    struct TerminalKind {
        bool colorTTY = false;        // "TERM" contains "color" (any case)
        bool colorTable256 = false;   // ... and also "256": the 256-colour tables
        bool xcodeColorTTY = false;   // no "TERM", and "XcodeColors" is exactly "YES"

        friend bool operator==(const TerminalKind&, const TerminalKind&) = default;
    };
    // The classification of the given values (nullptr: the variable is not set).
    static TerminalKind terminalKindOf(const char* term, const char* xcodeColors);

    // The colour tables of a colour terminal: reference colours and, index for index, the
    // foreground and background codes that follow the escape introducer "\033[".
    struct ColorTables {
        std::vector<std::string> codes_fg;
        std::vector<std::string> codes_bg;
        std::vector<platform::Color> colors;
    };
    // The 16 colours of a colour terminal ("30m"/"40m" to "1;37m"/"1;47m").
    static ColorTables initialize_colors_16();
    // Terminal colours 16 to 255 of a 256-colour terminal ("38;5;16m"/"48;5;16m" on), 240
    // entries: index i is colour i + 16.
    static ColorTables initialize_colors_256();

    // A terminal: its kind and the tables it asks for (none unless it is a colour terminal).
    struct Terminal {
        TerminalKind kind;
        ColorTables tables;
    };
    static Terminal terminalFor(TerminalKind kind);

    // The single instance; the first call classifies the terminal and makes it.
    static std::shared_ptr<LxTTYLogger> sharedInstance();
    // The terminal found when the class was first used; it never changes afterwards.
    static const Terminal& terminal();
    static TerminalKind terminalKind();

    // The colour's red, green and blue components, 0 to 1.
    static void getRed(double* red, double* green, double* blue, const platform::Color& color);
    // The index of the reference colour nearest to the colour (Euclidean distance over red,
    // green and blue); of equally near ones the first; 0 for empty tables.
    static size_t codeIndexForColor(const platform::Color& color, const ColorTables& tables = terminal().tables);

    void logMessage(const std::shared_ptr<const LxLogMessage>& message) override;
    std::optional<std::string> loggerName() const override;

    // Colours. The changes below (all but colorsEnabled and setColorsEnabled) run at once
    // when called on the logger's queue; from anywhere else they return at once and are made
    // on the logger's queue after every message already queued with the hub. Colours given
    // are matched to the terminal when the profile is made; std::nullopt leaves that side
    // uncoloured.

    // Whether lines are coloured. Waits for the hub's queue and then the logger's queue, so it
    // sees every change asked before; never call it from either queue.
    bool colorsEnabled();
    // Switches colouring, always by way of the hub's queue (also when called on the logger's
    // queue); when no profile by flag exists by then, the two default profiles are loaded.
    void setColorsEnabled(bool enabled);
    // The profile for messages that carry one of the flags and exactly this context: replaces
    // the profile set for the same flag and context, in its place, or is added after the others.
    void setForegroundColor(std::optional<platform::Color> foreground, std::optional<platform::Color> background,
                            int32_t flag, int32_t context = 0);
    // The profile for messages with this tag; it wins over every profile by flag.
    void setForegroundColor(std::optional<platform::Color> foreground, std::optional<platform::Color> background,
                            const std::string& tag);
    // Removes the profile set for exactly this flag (mask) and context; a profile for other
    // flags that include it stays.
    void clearColorsForFlag(int32_t flag, int32_t context = 0);
    void clearColorsForTag(const std::string& tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();
    // Errors (flag 1, context 0) in orange-red, warnings (flag 2, context 0) in orange.
    void loadDefaultColorProfiles();

private:
    LxTTYLogger();

    using Profile = std::shared_ptr<const LxTTYLoggerColorProfile>;

    struct ColorPieces {
        std::string_view foreground;
        std::string_view background;
        std::string_view reset;
    };
    // The colour codes of the message's line: those of the profile for its tag, else of the
    // first profile for one of its flags and its context; empty without one or while colours
    // are off. They point into a profile, which stays while logMessage runs (both on the
    // logger's queue).
    ColorPieces colorPieces(const LxLogMessage& message) const;

    void setProfile(Profile profile);

    const std::string app_;         // the process name, converted once
    const std::string pid_;         // the process id as decimal text

    // On the logger's queue only.
    bool colorsEnabled_ = false;
    std::vector<Profile> colorProfilesArray_;                     // by flag and context, in order of first setting
    std::unordered_map<std::string, Profile> colorProfilesDict_;  // by tag
};
