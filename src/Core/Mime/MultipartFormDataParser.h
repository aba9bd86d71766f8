// A streaming parser of multipart/form-data request bodies.
//
// Made with the boundary of the request's "Content-Type" and fed the body in pieces of any
// size with appendData; it tells its delegate, in order: the preamble (bytes before the first
// boundary line), for each part its start with the parsed header, its content as it arrives,
// and its end, then the epilogue (bytes after the line of the closing boundary). Pieces are
// never empty; the same body gives the same parts and the same bytes however it is split,
// and no content piece holds a byte of a boundary line (bytes that may begin a boundary are
// held back until the next piece decides). Content is delivered as it was sent (no transfer
// decoding). A part's header must end with an empty line; a body that stops early simply
// leaves its last part open.
//
// Bytes kept between calls: at most the boundary line's length while reading content, and
// the unfinished header block of the part being read, which may be at most kMaxHeaderLength
// bytes long (a longer one is refused).
//
// Threads: a parser and its delegate calls belong to one thread at a time. The delegate is
// called synchronously from inside appendData and must not call back into the parser; the
// byte spans it is handed are valid only during the call (a delegate that keeps bytes copies
// them). The parser holds its delegate weakly.
//
// Logs (context 80): a part header line that gives no field is skipped with a warning, and a
// boundary without an ASCII form is an error at every appendData.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Core/Mime/MultipartMessageHeader.h"
#include "Platform/Text/StringEncoding.h"

// What the parser tells; every call is optional (the defaults ignore it).
class MultipartFormDataParserDelegate {
public:
    virtual ~MultipartFormDataParserDelegate() = default;

    // Bytes before the first boundary line (in one or several pieces).
    virtual void processPreambleData(std::span<const uint8_t> data) { (void)data; }
    // A part's header block is complete.
    virtual void processStartOfPartWithHeader(const std::shared_ptr<const MultipartMessageHeader>& header) { (void)header; }
    // A piece of the part's content.
    virtual void processContent(std::span<const uint8_t> data, const std::shared_ptr<const MultipartMessageHeader>& header) {
        (void)data, (void)header;
    }
    // The part's content ended at a boundary.
    virtual void processEndOfPartWithHeader(const std::shared_ptr<const MultipartMessageHeader>& header) { (void)header; }
    // Bytes after the line of the closing boundary (in one or several pieces).
    virtual void processEpilogueData(std::span<const uint8_t> data) { (void)data; }
};

class MultipartFormDataParser {
public:
    using Bytes = std::vector<uint8_t>;

    // The longest header block of a part that is taken: its lines with their CR LFs and the
    // empty line that ends it. No encoder writes one anywhere near as long.
    static constexpr size_t kMaxHeaderLength = 16384;

    // A parser for one body with that boundary; header values and parameters are read in the
    // form encoding. No boundary: logs "MultipartFormDataParser: init with zero boundary" and
    // answers nullptr.
    static std::shared_ptr<MultipartFormDataParser> initWithBoundary(std::optional<std::string> boundary,
                                                                     platform::StringEncoding formEncoding);

    // Takes the next piece of the body: true when it was processed (or kept until more
    // arrives); false when a part header could not be read or does not end within
    // kMaxHeaderLength bytes, or when the boundary has no ASCII form (nothing is then
    // touched). After false the body cannot be parsed further.
    bool appendData(std::span<const uint8_t> data);

    std::shared_ptr<MultipartFormDataParserDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<MultipartFormDataParserDelegate> delegate) { delegate_ = std::move(delegate); }
    platform::StringEncoding formEncoding() const { return formEncoding_; }
    void setFormEncoding(platform::StringEncoding encoding) { formEncoding_ = encoding; }

    // The content transfer decodings: base64 (the lenient decoding of LxData),
    // quoted-printable, and the bytes unchanged for every other code.
    static Bytes decodedDataFromData(std::span<const uint8_t> data, int32_t encoding);
    // Quoted-printable: "=" CR LF is a soft line break (dropped), "=" CR drops both, "=" and
    // two upper-case hexadecimal digits give one byte (a digit outside 0-9A-F counts 0). An
    // "=" with fewer than two bytes after it is logged as a warning; it is dropped, and so is
    // a lone CR after it, while any other last byte is kept.
    static Bytes decodedDataFromQuotedPrintableData(std::span<const uint8_t> data);
    // How many of a content piece's last bytes to hold back so that its decoding never cuts
    // an escape (quoted-printable) or a group of four (base64) in two; 0 for other codes.
    static size_t numberOfBytesToLeavePendingWithData(std::span<const uint8_t> data, int32_t encoding);

private:
    MultipartFormDataParser() = default;

    // The position just past the preamble's boundary line start, or nullopt after handing on
    // what cannot be the boundary and keeping the rest.
    std::optional<size_t> processPreamble(std::span<const uint8_t> work);
    void deliverContent(std::span<const uint8_t> data);

    Bytes pendingData_;
    std::optional<Bytes> boundaryData_;  // "\r\n--" and the boundary; none without an ASCII form
    std::shared_ptr<const MultipartMessageHeader> currentHeader_;
    bool waitingForCRLF_ = false;
    bool reachedEpilogue_ = false;
    bool processedPreamble_ = false;
    bool checkForContentEnd_ = false;
    std::weak_ptr<MultipartFormDataParserDelegate> delegate_;
    int32_t currentEncoding_ = ContentTransferEncodingBinary;
    platform::StringEncoding formEncoding_ = platform::StringEncoding::UTF8;
};
