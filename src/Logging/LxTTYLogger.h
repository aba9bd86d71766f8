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
// used, but colours are off and no colour profile exists, so the colour pieces of every line
// (foreground, background, reset) are empty; colorPieces() is where the colour profiles will
// supply them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Logging/LxAbstractLogger.h"

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

    // The single instance; the first call classifies the terminal and makes it.
    static std::shared_ptr<LxTTYLogger> sharedInstance();
    // The terminal kind found when the class was first used.
    static TerminalKind terminalKind();

    void logMessage(const std::shared_ptr<const LxLogMessage>& message) override;
    std::optional<std::string> loggerName() const override;

private:
    LxTTYLogger();

    struct ColorPieces {
        std::string_view foreground;
        std::string_view background;
        std::string_view reset;
    };
    // The colour codes of the message's line; empty while colours are off.
    ColorPieces colorPieces(const LxLogMessage& message) const;

    const std::string app_;         // the process name, converted once
    const std::string pid_;         // the process id as decimal text
    bool colorsEnabled_ = false;    // on the logger's queue only; never switched on yet
};
