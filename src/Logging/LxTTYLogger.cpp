#include "Logging/LxTTYLogger.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

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

LxTTYLogger::TerminalKind classifiedTerminal() {
    static const LxTTYLogger::TerminalKind kind =
        LxTTYLogger::terminalKindOf(std::getenv("TERM"), std::getenv("XcodeColors"));
    return kind;
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

LxTTYLogger::TerminalKind LxTTYLogger::terminalKind() { return classifiedTerminal(); }

std::shared_ptr<LxTTYLogger> LxTTYLogger::sharedInstance() {
    static const std::shared_ptr<LxTTYLogger> instance = [] {
        classifiedTerminal();
        return std::shared_ptr<LxTTYLogger>(new LxTTYLogger());
    }();
    return instance;
}

LxTTYLogger::LxTTYLogger()
    : LxAbstractLogger("log.hub.ttyLogger"),
      app_(platform::processName()),
      pid_(std::to_string(static_cast<int>(::getpid()))) {}

std::optional<std::string> LxTTYLogger::loggerName() const { return std::string("log.hub.ttyLogger"); }

LxTTYLogger::ColorPieces LxTTYLogger::colorPieces(const LxLogMessage&) const {
    // With colours off every piece is empty. The colour profiles (by tag, then by flag and
    // context) are the place that will supply the three codes once colours can be enabled.
    if (!colorsEnabled_) return {};
    return {};
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
