// The header block of one part of a multipart/form-data body, split into fields by name.
//
// Lines end at every CR LF that is not followed by white space; a CR LF followed by white
// space folds the next line into this one (the CR LF and the white space stay in the value).
// Every line becomes a MultipartMessageHeaderField with the form encoding; a line that gives
// none is logged (context 80) and skipped; a later field of the same name (compared exactly,
// case included) replaces an earlier one. A block in which no line gives a field gets the
// one field "Content-Type" with the value "text/plain" and no parameters, the type a part
// without a header has.
//
// Immutable once made: its accessors may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>

#include "Core/Mime/MultipartMessageHeaderField.h"
#include "Platform/Text/StringEncoding.h"

// Content transfer encodings of a part's content. Only base64 and quoted-printable change the
// bytes; every other code leaves them as they are.
enum MultipartContentTransferEncoding : int32_t {
    ContentTransferEncodingUnknown = 0,
    ContentTransferEncodingBinary = 3,
    ContentTransferEncodingBase64 = 4,
    ContentTransferEncodingQuotedPrintable = 5,
};

class MultipartMessageHeader {
public:
    using Fields = std::map<std::string, std::shared_ptr<const MultipartMessageHeaderField>>;

    // The header of a block of header lines, each with its CR LF (the empty line that ends
    // the block left out).
    static std::shared_ptr<const MultipartMessageHeader> initWithData(std::span<const uint8_t> data,
                                                                      platform::StringEncoding formEncoding);

    const Fields& fields() const { return fields_; }
    // The content transfer encoding of the part: always unknown (0); the parser delivers
    // content as it arrives.
    int32_t encoding() const { return encoding_; }
    // The description of the fields, one "name = description;" entry each.
    std::string description() const;

private:
    MultipartMessageHeader() = default;

    Fields fields_;
    int32_t encoding_ = ContentTransferEncodingUnknown;
};
