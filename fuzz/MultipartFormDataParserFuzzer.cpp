// libFuzzer target for the multipart/form-data parser. The first byte chooses the boundary's
// length (1 to 16) and the next bytes are the boundary; the byte after them seeds the piece
// lengths, and the rest is the body. The body is fed whole, in pieces of lengths from the
// seed, and byte by byte, each feed followed by the same trailer in one piece (see
// kTrailerLength). The pieces must report exactly the preamble, parts (headers, content,
// ends) and epilogue of the whole body, content compared joined per part since a split cuts
// it elsewhere; no feeding may read or write out of bounds, and no content may hold a whole
// boundary line. The quoted-printable decoder and a header parse get the raw body too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Core/Mime/MultipartFormDataParser.h"

namespace {

// The reports in order, pieces of one kind that follow each other joined: 'P' preamble,
// 'S' start of a part (its header), 'C' content, 'E' end of a part, 'X' epilogue.
struct Event {
    char kind;
    std::string data;
    bool operator==(const Event&) const = default;
};

struct Outcome {
    bool ok = true;
    std::vector<Event> events;
    std::vector<std::string> contents;
    size_t parts = 0, ends = 0;

    void add(char kind, std::string data) {
        const bool joins = kind == 'P' || kind == 'C' || kind == 'X';
        if (joins && !events.empty() && events.back().kind == kind) {
            events.back().data += data;
        } else {
            events.push_back({kind, std::move(data)});
        }
    }
};

// The parser has no call for the end of a body, so it cannot tell a body that stops from one
// that goes on: it keeps back what it cannot decide yet, and a piece no longer than the
// boundary line is kept whole. A split may therefore hold back more at the body's end than
// the whole body does (a header, the two bytes after a boundary, the last preamble bytes). A
// trailer longer than any boundary line, fed last in one piece, takes up whatever any feed
// kept back, so that every feed ends in the same state: a split must then report the very
// events of the whole body, nothing missing and nothing cut short.
constexpr size_t kTrailerLength = 64;
static_assert(kTrailerLength > 4 + 16, "longer than the longest boundary line");

// Whether a split feed reported what the whole body reported.
bool sameEvents(const Outcome& pieces, const Outcome& whole) {
    return pieces.ok == whole.ok && pieces.events == whole.events;
}

class Recorder : public MultipartFormDataParserDelegate {
public:
    void processPreambleData(std::span<const uint8_t> data) override {
        if (data.empty() || outcome.parts != 0) std::abort();
        outcome.add('P', std::string(data.begin(), data.end()));
    }
    void processStartOfPartWithHeader(const std::shared_ptr<const MultipartMessageHeader>& header) override {
        if (outcome.ends != outcome.parts) std::abort();  // the part before has ended
        ++outcome.parts;
        outcome.add('S', header->description());
        outcome.contents.emplace_back();
    }
    void processContent(std::span<const uint8_t> data, const std::shared_ptr<const MultipartMessageHeader>&) override {
        if (data.empty() || outcome.parts != outcome.ends + 1) std::abort();
        outcome.contents.back().append(data.begin(), data.end());
        outcome.add('C', std::string(data.begin(), data.end()));
    }
    void processEndOfPartWithHeader(const std::shared_ptr<const MultipartMessageHeader>&) override {
        if (outcome.parts != outcome.ends + 1) std::abort();
        ++outcome.ends;
        outcome.add('E', "");
    }
    void processEpilogueData(std::span<const uint8_t> data) override {
        if (data.empty() || outcome.parts != outcome.ends) std::abort();
        outcome.add('X', std::string(data.begin(), data.end()));
    }
    Outcome outcome;
};

// Feeds the body (whole when neither seed nor fixedStep is given), then the trailer in one piece.
Outcome feed(const std::string& boundary, std::span<const uint8_t> body, std::span<const uint8_t> trailer, uint32_t seed,
             size_t fixedStep) {
    auto parser = MultipartFormDataParser::initWithBoundary(boundary, platform::StringEncoding::UTF8);
    auto recorder = std::make_shared<Recorder>();
    parser->setDelegate(recorder);
    size_t at = 0;
    while (at < body.size() && recorder->outcome.ok) {
        size_t step = body.size();
        if (fixedStep) {
            step = fixedStep;
        } else if (seed) {
            seed = seed * 1103515245u + 12345u;
            step = 1 + (seed >> 16) % 64;
        }
        step = std::min(step, body.size() - at);
        // Each piece in a buffer of its own, so that a read past it is caught.
        const std::vector<uint8_t> piece(body.begin() + static_cast<ptrdiff_t>(at),
                                         body.begin() + static_cast<ptrdiff_t>(at + step));
        recorder->outcome.ok = parser->appendData(piece);
        at += step;
    }
    if (recorder->outcome.ok && !trailer.empty()) {
        const std::vector<uint8_t> last(trailer.begin(), trailer.end());
        recorder->outcome.ok = parser->appendData(last);
    }
    return recorder->outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t boundaryLength = 1 + data[0] % 16;
    if (size < 1 + boundaryLength + 1) return 0;
    const std::string boundary(reinterpret_cast<const char*>(data + 1), boundaryLength);
    const uint32_t seed = data[1 + boundaryLength];
    const std::span<const uint8_t> body(data + 2 + boundaryLength, size - 2 - boundaryLength);

    // The whole body and the trailer in one piece.
    std::vector<uint8_t> wholeBody(body.begin(), body.end());
    wholeBody.insert(wholeBody.end(), kTrailerLength, 'T');
    const std::span<const uint8_t> trailer = std::span<const uint8_t>(wholeBody).last(kTrailerLength);
    const Outcome whole = feed(boundary, wholeBody, {}, 0, 0);
    if (!sameEvents(feed(boundary, body, trailer, seed | 1, 0), whole)) {
        std::fprintf(stderr, "pieces from seed %u reported other events than the whole body\n", seed | 1);
        std::abort();
    }
    if (!sameEvents(feed(boundary, body, trailer, 0, 1), whole)) {
        std::fprintf(stderr, "byte by byte reported other events than the whole body\n");
        std::abort();
    }

    const std::string boundaryLine = "\r\n--" + boundary;
    for (const std::string& content : whole.contents) {
        if (content.find(boundaryLine) != std::string::npos) std::abort();
    }

    (void)MultipartFormDataParser::decodedDataFromQuotedPrintableData(body);
    (void)MultipartFormDataParser::decodedDataFromData(body, ContentTransferEncodingBase64);
    (void)MultipartFormDataParser::numberOfBytesToLeavePendingWithData(body, ContentTransferEncodingQuotedPrintable);
    (void)MultipartFormDataParser::numberOfBytesToLeavePendingWithData(body, ContentTransferEncodingBase64);
    (void)MultipartMessageHeader::initWithData(body, platform::StringEncoding::ISOLatin1)->description();
    return 0;
}
