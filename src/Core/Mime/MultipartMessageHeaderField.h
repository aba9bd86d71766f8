// One header line of a part of a multipart/form-data body: its name, its value, and the
// parameters that follow the first ";" of the line, as in
//     Content-Disposition: form-data; name="file"; filename="a.txt"
// (name "Content-Disposition", value "form-data", params name = file and filename = a.txt).
//
// Reading a line (initWithData, the line without its CR LF):
// - the name is the ASCII text before the first ":", taken as it is (no trimming); the colon
//   must not be one of the line's last two bytes;
// - the value starts one byte after the colon (the blank that follows it) and runs to the
//   first ";" or the end, decoded with the given encoding;
// - the parameters start one byte after that ";": "name=value" pairs, each ended by ";" and
//   the one byte after it. A value in double quotes loses its first and last byte; in every
//   value a backslash is dropped and the byte after it kept as it is, so \" is a quote that
//   does not end a quoted value and \\ is one backslash. A ";" or "=" inside quotes is no
//   separator.
// A line that gives no field is logged (context 80) and answered with nullptr.
//
// Immutable once made: its accessors may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "Platform/Text/StringEncoding.h"

class MultipartMessageHeader;

class MultipartMessageHeaderField {
public:
    using Params = std::map<std::string, std::string>;

    // The field of one header line, or nullptr when the line gives none (its reason logged).
    static std::shared_ptr<const MultipartMessageHeaderField> initWithData(std::span<const uint8_t> line,
                                                                           platform::StringEncoding encoding);

    const std::string& name() const { return name_; }
    // The value before the first ";"; nullopt when those bytes are not valid in the encoding
    // (a line without parameters then gives no field at all).
    const std::optional<std::string>& value() const { return value_; }
    const Params& params() const { return params_; }
    // "name:value\n params: {...}".
    std::string description() const;

    // The description of a dictionary of texts: "{\n    key = value;\n}".
    static std::string describe(const std::map<std::string, std::string>& dictionary);

private:
    friend class MultipartMessageHeader;
    MultipartMessageHeaderField(std::string name, std::optional<std::string> value)
        : name_(std::move(name)), value_(std::move(value)) {}

    // Reads the parameter list after the first ";" into params_; false when it cannot be read.
    bool parseHeaderValueBytes(std::span<const uint8_t> bytes, platform::StringEncoding encoding);

    std::string name_;
    std::optional<std::string> value_;
    Params params_;
};
