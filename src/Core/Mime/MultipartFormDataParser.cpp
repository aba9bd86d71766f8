#include "Core/Mime/MultipartFormDataParser.h"

#include <string.h>

#include <algorithm>

#include "Core/Categories/LxData.h"
#include "Logging/LxLogMacros.h"

namespace {

using Span = std::span<const uint8_t>;

// The position of the first occurrence of needle in haystack at or after from, lying wholly
// inside it.
std::optional<size_t> find(Span haystack, size_t from, Span needle) {
    if (from > haystack.size() || needle.empty()) return std::nullopt;
    const void* at = ::memmem(haystack.data() + from, haystack.size() - from, needle.data(), needle.size());
    if (!at) return std::nullopt;
    return static_cast<size_t>(static_cast<const uint8_t*>(at) - haystack.data());
}

constexpr uint8_t kCRLF[] = {'\r', '\n'};
constexpr uint8_t kCRLFCRLF[] = {'\r', '\n', '\r', '\n'};

// The position just after the first CR LF at or after offset.
std::optional<size_t> offsetTillNewlineSinceOffset(size_t offset, Span data) {
    const std::optional<size_t> at = find(data, offset, kCRLF);
    if (!at) return std::nullopt;
    return *at + 2;
}

int hexDigitValue(uint8_t c) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        if (kDigits[i] == c) return i;
    }
    return 0;
}

void logInvalidHeader() {
    LX_LOG_ERROR(LogContextHttpServer,
                 "MultipartFormDataParser: MultipartFormDataParser: wrong input format, coulnd't get a valid header");
}

bool isBase64Character(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
}

}  // namespace

std::shared_ptr<MultipartFormDataParser> MultipartFormDataParser::initWithBoundary(std::optional<std::string> boundary,
                                                                                   platform::StringEncoding formEncoding) {
    if (!boundary) {
        LX_LOG_WARN(LogContextHttpServer, "MultipartFormDataParser: init with zero boundary");
        return nullptr;
    }
    std::shared_ptr<MultipartFormDataParser> parser(new MultipartFormDataParser());
    if (platform::stringFromBytes(*boundary, platform::StringEncoding::ASCII)) {
        const std::string line = "\r\n--" + *boundary;
        parser->boundaryData_ = Bytes(line.begin(), line.end());
    }
    parser->formEncoding_ = formEncoding;
    return parser;
}

// Notation: B is the boundary data ("\r\n--" and the boundary, b bytes long); the working
// data W is the pending bytes with the new ones after them; o walks through W.
bool MultipartFormDataParser::appendData(std::span<const uint8_t> data) {
    if (!boundaryData_) {
        LX_LOG_ERROR(LogContextHttpServer,
                     "MultipartFormDataParser: Trying to parse multipart without specifying a valid boundary");
        return false;
    }
    const Span boundary(*boundaryData_);
    const size_t b = boundary.size();

    Bytes joined;
    Span work = data;
    if (!pendingData_.empty()) {
        joined = std::move(pendingData_);
        joined.insert(joined.end(), data.begin(), data.end());
        work = joined;
    }
    pendingData_.clear();

    size_t o = 0;
    bool boundaryTailDecided = false;
    // Too short to hold a whole boundary: keep it, unless the two bytes after a boundary are
    // here and decide between a further part and the closing hyphens.
    if (!reachedEpilogue_ && work.size() <= b) {
        pendingData_.assign(work.begin(), work.end());
        if (!checkForContentEnd_ || work.size() < 2) return true;
        checkForContentEnd_ = false;
        waitingForCRLF_ = true;
        if (work[0] != '-' || work[1] != '-') return true;
        reachedEpilogue_ = true;
        o = 2;
        boundaryTailDecided = true;
    }

    for (;;) {
        // The two bytes after a boundary: "--" closes the body; anything else begins the rest
        // of a boundary line.
        if (checkForContentEnd_ && !boundaryTailDecided) {
            if (work.size() - o < 2) {
                pendingData_.assign(work.begin() + static_cast<ptrdiff_t>(o), work.end());
                return true;
            }
            checkForContentEnd_ = false;
            waitingForCRLF_ = true;
            if (work[o] == '-' && work[o + 1] == '-') {
                reachedEpilogue_ = true;
                o += 2;
            }
        }
        boundaryTailDecided = false;

        // The rest of the boundary line, up to its CR LF.
        if (waitingForCRLF_) {
            const std::optional<size_t> next = offsetTillNewlineSinceOffset(o, work);
            if (!next) {
                // A CR at the end may begin the line's CR LF; one that belongs to the boundary
                // itself (before o) may not.
                if (work.size() > o && work.back() == '\r') pendingData_.assign(1, '\r');
                else pendingData_.clear();
                return true;
            }
            o = *next;
            waitingForCRLF_ = false;
        }

        if (!processedPreamble_) {
            const std::optional<size_t> next = processPreamble(work);
            if (!next) return true;
            o = *next;
            continue;
        }

        if (reachedEpilogue_) {
            if (o < work.size()) {
                if (auto delegate = delegate_.lock()) delegate->processEpilogueData(work.subspan(o));
            }
            pendingData_.clear();
            return true;
        }

        if (!currentHeader_) {
            const std::optional<size_t> headerEnd = find(work, o, kCRLFCRLF);
            // A header still open after the limit is refused, so that the parser never keeps
            // (and searches and copies again with every piece) more of it. Unended, it needs at
            // least one byte more; either way the same body is refused however it is split.
            const size_t headerLength = headerEnd ? *headerEnd + 4 - o : work.size() - o + 1;
            if (headerLength > kMaxHeaderLength) {
                logInvalidHeader();
                // What is kept can end no header within the limit, so later pieces are refused too.
                const Span kept = work.subspan(o, std::min(work.size() - o, kMaxHeaderLength + 1));
                pendingData_.assign(kept.begin(), kept.end());
                return false;
            }
            if (!headerEnd) {
                pendingData_.assign(work.begin() + static_cast<ptrdiff_t>(o), work.end());
                return true;
            }
            // The header lines, each with its CR LF, without the empty line.
            currentHeader_ = MultipartMessageHeader::initWithData(work.subspan(o, *headerEnd + 2 - o), formEncoding_);
            if (!currentHeader_) {
                logInvalidHeader();
                pendingData_.assign(work.begin() + static_cast<ptrdiff_t>(o), work.end());
                return false;
            }
            if (auto delegate = delegate_.lock()) delegate->processStartOfPartWithHeader(currentHeader_);
            o = *headerEnd + 4;
        }

        if (const std::optional<size_t> end = find(work, o, boundary)) {
            deliverContent(work.subspan(o, *end - o));
            const std::shared_ptr<const MultipartMessageHeader> header = std::move(currentHeader_);
            currentHeader_.reset();
            if (auto delegate = delegate_.lock()) delegate->processEndOfPartWithHeader(header);
            o = *end + b;
            checkForContentEnd_ = true;
            continue;
        }
        // No whole boundary here: hand on what cannot be part of one and keep the last b
        // bytes, which may begin it.
        size_t keepFrom = o;
        if (work.size() - o > b) {
            keepFrom = work.size() - b;
            keepFrom -= numberOfBytesToLeavePendingWithData(work.subspan(o, keepFrom - o), currentEncoding_);
            deliverContent(work.subspan(o, keepFrom - o));
        }
        pendingData_.assign(work.begin() + static_cast<ptrdiff_t>(keepFrom), work.end());
        return true;
    }
}

std::optional<size_t> MultipartFormDataParser::processPreamble(std::span<const uint8_t> work) {
    // The first boundary line need not follow a CR LF: the body may begin with it.
    const Span boundaryLine = Span(*boundaryData_).subspan(2);
    const size_t k = boundaryLine.size();
    if (const std::optional<size_t> at = find(work, 0, boundaryLine)) {
        if (*at > 0) {
            if (auto delegate = delegate_.lock()) delegate->processPreambleData(work.first(*at));
        }
        processedPreamble_ = true;
        waitingForCRLF_ = true;
        return *at + k;
    }
    const size_t keep = std::min(k, work.size());
    if (work.size() > keep) {
        if (auto delegate = delegate_.lock()) delegate->processPreambleData(work.first(work.size() - keep));
    }
    pendingData_.assign(work.end() - static_cast<ptrdiff_t>(keep), work.end());
    return std::nullopt;
}

void MultipartFormDataParser::deliverContent(std::span<const uint8_t> data) {
    if (data.empty()) return;
    auto delegate = delegate_.lock();
    if (!delegate) return;
    if (currentEncoding_ == ContentTransferEncodingBase64 || currentEncoding_ == ContentTransferEncodingQuotedPrintable) {
        const Bytes decoded = decodedDataFromData(data, currentEncoding_);
        delegate->processContent(decoded, currentHeader_);
    } else {
        delegate->processContent(data, currentHeader_);
    }
}

MultipartFormDataParser::Bytes MultipartFormDataParser::decodedDataFromData(std::span<const uint8_t> data, int32_t encoding) {
    switch (encoding) {
    case ContentTransferEncodingBase64:
        return LxData::base64Decoded(data);
    case ContentTransferEncodingQuotedPrintable:
        return decodedDataFromQuotedPrintableData(data);
    default:
        return Bytes(data.begin(), data.end());
    }
}

MultipartFormDataParser::Bytes MultipartFormDataParser::decodedDataFromQuotedPrintableData(std::span<const uint8_t> data) {
    Bytes result;
    result.reserve(data.size());
    size_t i = 0;
    while (i < data.size()) {
        if (data[i] != '=') {
            result.push_back(data[i++]);
            continue;
        }
        if (data.size() - i < 3) {
            LX_LOG_WARN(LogContextHttpServer, "MultipartFormDataParser: warning, trailing '=' in quoted printable data");
            // A lone CR after the "=" begins a soft line break; any other last byte stays.
            if (data.size() - i == 2 && data[i + 1] != '\r') result.push_back(data[i + 1]);
            break;
        }
        if (data[i + 1] == '\r') {
            i += data[i + 2] == '\n' ? 3 : 2;
            continue;
        }
        result.push_back(static_cast<uint8_t>((hexDigitValue(data[i + 1]) << 4) | hexDigitValue(data[i + 2])));
        i += 3;
    }
    return result;
}

size_t MultipartFormDataParser::numberOfBytesToLeavePendingWithData(std::span<const uint8_t> data, int32_t encoding) {
    const size_t n = data.size();
    if (encoding == ContentTransferEncodingQuotedPrintable) {
        if (n <= 2) return n;
        if (data[n - 2] == '=') return 2;
        if (data[n - 1] == '=') return 1;
        return 0;
    }
    if (encoding == ContentTransferEncodingBase64) {
        // Hold back the characters of an unfinished group of four (and whatever lies between
        // them), since the decoder drops a group that ends a piece unfinished.
        size_t characters = 0;
        for (uint8_t c : data) characters += isBase64Character(c) ? 1 : 0;
        size_t unfinished = characters % 4;
        size_t keepFrom = n;
        while (unfinished > 0 && keepFrom > 0) {
            if (isBase64Character(data[--keepFrom])) --unfinished;
        }
        return n - keepFrom;
    }
    return 0;
}
