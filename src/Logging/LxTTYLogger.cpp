#include "Logging/LxTTYLogger.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Logging/LxLog.h"
#include "Logging/LxTTYLoggerColorProfile.h"
#include "Platform/ThreadInfo.h"

namespace {

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    if (part.size() > text.size()) return false;
    for (size_t i = 0; i + part.size() <= text.size(); ++i) {
        size_t j = 0;
        while (j < part.size() &&
               std::tolower(static_cast<unsigned char>(text[i + j])) == std::tolower(static_cast<unsigned char>(part[j])))
            ++j;
        if (j == part.size()) return true;
    }
    return false;
}

// Hands all pieces to the descriptor. Normally one writev; a write cut short by a signal
// goes on with the rest, so that no line is lost or torn on a blocking descriptor. Any other
// failure (closed descriptor, full non-blocking pipe) drops the rest of the line quietly.
void writeAll(int fd, iovec* pieces, int count) {
    while (count > 0) {
        ssize_t written = ::writev(fd, pieces, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        size_t left = static_cast<size_t>(written);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        } else if (written == 0) {
            return;
        }
    }
}

// Reference colours of the 16-colour table, index for index with its codes.
constexpr uint8_t kColors16[16][3] = {
    {0, 0, 0},       {194, 54, 33},   {37, 188, 36},   {173, 173, 39},  {73, 46, 225},   {211, 56, 211},
    {51, 187, 200},  {203, 204, 205}, {129, 131, 131}, {252, 57, 31},   {49, 231, 34},   {234, 236, 35},
    {88, 51, 255},   {249, 53, 248},  {20, 240, 240},  {233, 235, 235},
};

// Reference colours of terminal colours 16 to 255: the xterm six-level cube (16-231) and grey
// ramp (232-255), except where a common terminal was measured to show another colour (16, 21,
// 46, 51, 160, 196, 201, 226, 231, 232, 244, 255); those measured values stand.
constexpr uint8_t kColors256[240][3] = {
    {47, 49, 49}, {0, 0, 95}, {0, 0, 135}, {0, 0, 175}, {0, 0, 215}, {88, 51, 255},  // 16-21
    {0, 95, 0}, {0, 95, 95}, {0, 95, 135}, {0, 95, 175}, {0, 95, 215}, {0, 95, 255},  // 22-27
    {0, 135, 0}, {0, 135, 95}, {0, 135, 135}, {0, 135, 175}, {0, 135, 215}, {0, 135, 255},  // 28-33
    {0, 175, 0}, {0, 175, 95}, {0, 175, 135}, {0, 175, 175}, {0, 175, 215}, {0, 175, 255},  // 34-39
    {0, 215, 0}, {0, 215, 95}, {0, 215, 135}, {0, 215, 175}, {0, 215, 215}, {0, 215, 255},  // 40-45
    {27, 254, 30}, {0, 255, 95}, {0, 255, 135}, {0, 255, 175}, {0, 255, 215}, {42, 253, 252},  // 46-51
    {95, 0, 0}, {95, 0, 95}, {95, 0, 135}, {95, 0, 175}, {95, 0, 215}, {95, 0, 255},  // 52-57
    {95, 95, 0}, {95, 95, 95}, {95, 95, 135}, {95, 95, 175}, {95, 95, 215}, {95, 95, 255},  // 58-63
    {95, 135, 0}, {95, 135, 95}, {95, 135, 135}, {95, 135, 175}, {95, 135, 215}, {95, 135, 255},  // 64-69
    {95, 175, 0}, {95, 175, 95}, {95, 175, 135}, {95, 175, 175}, {95, 175, 215}, {95, 175, 255},  // 70-75
    {95, 215, 0}, {95, 215, 95}, {95, 215, 135}, {95, 215, 175}, {95, 215, 215}, {95, 215, 255},  // 76-81
    {95, 255, 0}, {95, 255, 95}, {95, 255, 135}, {95, 255, 175}, {95, 255, 215}, {95, 255, 255},  // 82-87
    {135, 0, 0}, {135, 0, 95}, {135, 0, 135}, {135, 0, 175}, {135, 0, 215}, {135, 0, 255},  // 88-93
    {135, 95, 0}, {135, 95, 95}, {135, 95, 135}, {135, 95, 175}, {135, 95, 215}, {135, 95, 255},  // 94-99
    {135, 135, 0}, {135, 135, 95}, {135, 135, 135}, {135, 135, 175}, {135, 135, 215}, {135, 135, 255},  // 100-105
    {135, 175, 0}, {135, 175, 95}, {135, 175, 135}, {135, 175, 175}, {135, 175, 215}, {135, 175, 255},  // 106-111
    {135, 215, 0}, {135, 215, 95}, {135, 215, 135}, {135, 215, 175}, {135, 215, 215}, {135, 215, 255},  // 112-117
    {135, 255, 0}, {135, 255, 95}, {135, 255, 135}, {135, 255, 175}, {135, 255, 215}, {135, 255, 255},  // 118-123
    {175, 0, 0}, {175, 0, 95}, {175, 0, 135}, {175, 0, 175}, {175, 0, 215}, {175, 0, 255},  // 124-129
    {175, 95, 0}, {175, 95, 95}, {175, 95, 135}, {175, 95, 175}, {175, 95, 215}, {175, 95, 255},  // 130-135
    {175, 135, 0}, {175, 135, 95}, {175, 135, 135}, {175, 135, 175}, {175, 135, 215}, {175, 135, 255},  // 136-141
    {175, 175, 0}, {175, 175, 95}, {175, 175, 135}, {175, 175, 175}, {175, 175, 215}, {175, 175, 255},  // 142-147
    {175, 215, 0}, {175, 215, 95}, {175, 215, 135}, {175, 215, 175}, {175, 215, 215}, {175, 215, 255},  // 148-153
    {175, 255, 0}, {175, 255, 95}, {175, 255, 135}, {175, 255, 175}, {175, 255, 215}, {175, 255, 255},  // 154-159
    {247, 56, 30}, {215, 0, 95}, {215, 0, 135}, {215, 0, 175}, {215, 0, 215}, {215, 0, 255},  // 160-165
    {215, 95, 0}, {215, 95, 95}, {215, 95, 135}, {215, 95, 175}, {215, 95, 215}, {215, 95, 255},  // 166-171
    {215, 135, 0}, {215, 135, 95}, {215, 135, 135}, {215, 135, 175}, {215, 135, 215}, {215, 135, 255},  // 172-177
    {215, 175, 0}, {215, 175, 95}, {215, 175, 135}, {215, 175, 175}, {215, 175, 215}, {215, 175, 255},  // 178-183
    {215, 215, 0}, {215, 215, 95}, {215, 215, 135}, {215, 215, 175}, {215, 215, 215}, {215, 215, 255},  // 184-189
    {215, 255, 0}, {215, 255, 95}, {215, 255, 135}, {215, 255, 175}, {215, 255, 215}, {215, 255, 255},  // 190-195
    {255, 61, 30}, {255, 0, 95}, {255, 0, 135}, {255, 0, 175}, {255, 0, 215}, {255, 59, 255},  // 196-201
    {255, 95, 0}, {255, 95, 95}, {255, 95, 135}, {255, 95, 175}, {255, 95, 215}, {255, 95, 255},  // 202-207
    {255, 135, 0}, {255, 135, 95}, {255, 135, 135}, {255, 135, 175}, {255, 135, 215}, {255, 135, 255},  // 208-213
    {255, 175, 0}, {255, 175, 95}, {255, 175, 135}, {255, 175, 175}, {255, 175, 215}, {255, 175, 255},  // 214-219
    {255, 215, 0}, {255, 215, 95}, {255, 215, 135}, {255, 215, 175}, {255, 215, 215}, {255, 215, 255},  // 220-225
    {251, 252, 15}, {255, 255, 95}, {255, 255, 135}, {255, 255, 175}, {255, 255, 215}, {254, 255, 255},  // 226-231
    {52, 53, 53}, {18, 18, 18}, {28, 28, 28}, {38, 38, 38}, {48, 48, 48}, {58, 58, 58},  // 232-237
    {68, 68, 68}, {78, 78, 78}, {88, 88, 88}, {98, 98, 98}, {108, 108, 108}, {118, 118, 118},  // 238-243
    {151, 152, 153}, {138, 138, 138}, {148, 148, 148}, {158, 158, 158}, {168, 168, 168}, {178, 178, 178},  // 244-249
    {188, 188, 188}, {198, 198, 198}, {208, 208, 208}, {218, 218, 218}, {228, 228, 228}, {240, 242, 242},  // 250-255
};

platform::Color colorOf(const uint8_t (&rgb)[3]) {
    return platform::Color::calibrated(rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0);
}

}  // namespace

LxTTYLogger::TerminalKind LxTTYLogger::terminalKindOf(const char* term, const char* xcodeColors) {
    TerminalKind kind;
    if (term != nullptr) {
        if (containsIgnoringCase(term, "color")) {
            kind.colorTTY = true;
            kind.colorTable256 = containsIgnoringCase(term, "256");
        }
    } else if (xcodeColors != nullptr && std::string_view(xcodeColors) == "YES") {
        kind.xcodeColorTTY = true;
    }
    return kind;
}

LxTTYLogger::ColorTables LxTTYLogger::initialize_colors_16() {
    ColorTables tables;
    for (int i = 0; i < 16; ++i) {
        const char* bold = i < 8 ? "" : "1;";
        tables.codes_fg.push_back(bold + std::to_string(30 + i % 8) + "m");
        tables.codes_bg.push_back(bold + std::to_string(40 + i % 8) + "m");
        tables.colors.push_back(colorOf(kColors16[i]));
    }
    return tables;
}

LxTTYLogger::ColorTables LxTTYLogger::initialize_colors_256() {
    ColorTables tables;
    for (int i = 0; i < 240; ++i) {
        const std::string n = std::to_string(i + 16);
        tables.codes_fg.push_back("38;5;" + n + "m");
        tables.codes_bg.push_back("48;5;" + n + "m");
        tables.colors.push_back(colorOf(kColors256[i]));
    }
    return tables;
}

LxTTYLogger::Terminal LxTTYLogger::terminalFor(TerminalKind kind) {
    Terminal terminal{kind, {}};
    if (kind.colorTTY) terminal.tables = kind.colorTable256 ? initialize_colors_256() : initialize_colors_16();
    return terminal;
}

const LxTTYLogger::Terminal& LxTTYLogger::terminal() {
    // Never destroyed: the logger may still write while the process exits.
    static const Terminal* const found =
        new Terminal(terminalFor(terminalKindOf(std::getenv("TERM"), std::getenv("XcodeColors"))));
    return *found;
}

LxTTYLogger::TerminalKind LxTTYLogger::terminalKind() { return terminal().kind; }

void LxTTYLogger::getRed(double* red, double* green, double* blue, const platform::Color& color) {
    color.getRed(red, green, blue);
}

size_t LxTTYLogger::codeIndexForColor(const platform::Color& color, const ColorTables& tables) {
    double r = 0, g = 0, b = 0;
    getRed(&r, &g, &b, color);
    double bestDistance = 100.0;
    size_t bestIndex = 0;
    for (size_t i = 0; i < tables.colors.size(); ++i) {
        double cr = 0, cg = 0, cb = 0;
        getRed(&cr, &cg, &cb, tables.colors[i]);
        const double distance = std::sqrt((r - cr) * (r - cr) + (g - cg) * (g - cg) + (b - cb) * (b - cb));
        // Strictly nearer only: of equally near colours the first stays.
        if (distance < bestDistance) {
            bestDistance = distance;
            bestIndex = i;
        }
    }
    return bestIndex;
}

std::shared_ptr<LxTTYLogger> LxTTYLogger::sharedInstance() {
    static const std::shared_ptr<LxTTYLogger> instance = [] {
        terminal();
        return std::shared_ptr<LxTTYLogger>(new LxTTYLogger());
    }();
    return instance;
}

LxTTYLogger::LxTTYLogger()
    : LxAbstractLogger("log.hub.ttyLogger"),
      app_(platform::processName()),
      pid_(std::to_string(static_cast<int>(::getpid()))) {
    colorProfilesArray_.reserve(8);
    colorProfilesDict_.reserve(8);
}

std::optional<std::string> LxTTYLogger::loggerName() const { return std::string("log.hub.ttyLogger"); }

LxTTYLogger::ColorPieces LxTTYLogger::colorPieces(const LxLogMessage& message) const {
    if (!colorsEnabled_) return {};
    const LxTTYLoggerColorProfile* profile = nullptr;
    if (message.tag) {
        auto it = colorProfilesDict_.find(*message.tag);
        if (it != colorProfilesDict_.end()) profile = it->second.get();
    }
    if (profile == nullptr) {
        for (const Profile& candidate : colorProfilesArray_) {
            if ((candidate->mask & message.logFlag) != 0 && candidate->context == message.logContext) {
                profile = candidate.get();
                break;
            }
        }
    }
    if (profile == nullptr) return {};
    return {profile->fgCode, profile->bgCode, profile->resetCode};
}

bool LxTTYLogger::colorsEnabled() {
    return readThroughHub([&] { return colorsEnabled_; });
}

void LxTTYLogger::setColorsEnabled(bool enabled) {
    enqueueThroughHub([this, enabled] {
        colorsEnabled_ = enabled;
        if (colorProfilesArray_.empty()) loadDefaultColorProfiles();
    });
}

void LxTTYLogger::setProfile(Profile profile) {
    for (Profile& existing : colorProfilesArray_) {
        if (existing->mask == profile->mask && existing->context == profile->context) {
            existing = std::move(profile);
            return;
        }
    }
    colorProfilesArray_.push_back(std::move(profile));
}

void LxTTYLogger::setForegroundColor(std::optional<platform::Color> foreground,
                                     std::optional<platform::Color> background, int32_t flag, int32_t context) {
    performOrEnqueueThroughHub([this, foreground, background, flag, context] {
        setProfile(std::make_shared<const LxTTYLoggerColorProfile>(foreground, background, flag, context));
    });
}

void LxTTYLogger::setForegroundColor(std::optional<platform::Color> foreground,
                                     std::optional<platform::Color> background, const std::string& tag) {
    performOrEnqueueThroughHub([this, foreground, background, tag] {
        colorProfilesDict_[tag] = std::make_shared<const LxTTYLoggerColorProfile>(foreground, background, 0, 0);
    });
}

void LxTTYLogger::clearColorsForFlag(int32_t flag, int32_t context) {
    performOrEnqueueThroughHub([this, flag, context] {
        auto it = std::find_if(colorProfilesArray_.begin(), colorProfilesArray_.end(),
                               [&](const Profile& p) { return p->mask == flag && p->context == context; });
        if (it != colorProfilesArray_.end()) colorProfilesArray_.erase(it);
    });
}

void LxTTYLogger::clearColorsForTag(const std::string& tag) {
    performOrEnqueueThroughHub([this, tag] { colorProfilesDict_.erase(tag); });
}

void LxTTYLogger::clearColorsForAllFlags() {
    performOrEnqueueThroughHub([this] { colorProfilesArray_.clear(); });
}

void LxTTYLogger::clearColorsForAllTags() {
    performOrEnqueueThroughHub([this] { colorProfilesDict_.clear(); });
}

void LxTTYLogger::clearAllColors() {
    performOrEnqueueThroughHub([this] {
        colorProfilesArray_.clear();
        colorProfilesDict_.clear();
    });
}

void LxTTYLogger::loadDefaultColorProfiles() {
    setForegroundColor(platform::Color::calibrated(214 / 255.0, 57 / 255.0, 30 / 255.0), std::nullopt, LogFlagError);
    setForegroundColor(platform::Color::calibrated(204 / 255.0, 121 / 255.0, 32 / 255.0), std::nullopt,
                       LogFlagWarning);
}

void LxTTYLogger::logMessage(const std::shared_ptr<const LxLogMessage>& message) {
    LxLogText text = message->logMsg;
    bool formatted = false;
    if (formatter_) {
        text = formatter_->formatLogMessage(*message);
        // Only a text other than the record's own object counts as formatted; an equal copy
        // does.
        formatted = text.get() != message->logMsg.get();
    }
    if (!text) return;

    const ColorPieces colors = colorPieces(*message);
    const std::string& body = *text;
    static const char newline[] = "\n";
    const size_t newlineLength = (body.empty() || body.back() != '\n') ? 1 : 0;

    auto piece = [](const void* data, size_t length) { return iovec{const_cast<void*>(data), length}; };

    if (formatted) {
        iovec pieces[5] = {
            piece(colors.foreground.data(), colors.foreground.size()),
            piece(colors.background.data(), colors.background.size()),
            piece(body.data(), body.size()),
            piece(newline, newlineLength),
            piece(colors.reset.data(), colors.reset.size()),
        };
        writeAll(STDERR_FILENO, pieces, 5);
        return;
    }

    // The calendar fields in the local time zone; the milliseconds are the fraction of the
    // second truncated, so x.9999 s prints 999, never 1000. Seconds and fraction are both
    // taken by flooring, so they agree also for times before the epoch.
    using namespace std::chrono;
    const auto sinceEpoch = message->timestamp.time_since_epoch();
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const int millis = static_cast<int>(duration_cast<milliseconds>(sinceEpoch - wholeSeconds).count());
    const std::time_t seconds = static_cast<std::time_t>(wholeSeconds.count());
    std::tm local{};
    localtime_r(&seconds, &local);

    char timestamp[24];
    int printed = std::snprintf(timestamp, sizeof timestamp, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d",
                                static_cast<long>(local.tm_year) + 1900, static_cast<long>(local.tm_mon) + 1,
                                static_cast<long>(local.tm_mday), static_cast<long>(local.tm_hour),
                                static_cast<long>(local.tm_min), static_cast<long>(local.tm_sec), millis);
    // snprintf tells the length it wanted; only what fits in the buffer is written out.
    const size_t timestampLength = printed < 0 ? 0 : std::min<size_t>(static_cast<size_t>(printed), sizeof timestamp - 1);

    char thread[9];
    printed = std::snprintf(thread, sizeof thread, "%x", message->machThreadID);
    const size_t threadLength = printed < 0 ? 0 : std::min<size_t>(static_cast<size_t>(printed), sizeof thread - 1);

    iovec pieces[13] = {
        piece(colors.foreground.data(), colors.foreground.size()),
        piece(colors.background.data(), colors.background.size()),
        piece(timestamp, timestampLength),
        piece(" ", 1),
        piece(app_.data(), app_.size()),
        piece("[", 1),
        piece(pid_.data(), pid_.size()),
        piece(":", 1),
        piece(thread, threadLength),
        piece("] ", 2),
        piece(body.data(), body.size()),
        piece(newline, newlineLength),
        piece(colors.reset.data(), colors.reset.size()),
    };
    writeAll(STDERR_FILENO, pieces, 13);
}
