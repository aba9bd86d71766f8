#include "Core/Mime/MultipartMessageHeaderField.h"

#include <algorithm>

#include "Logging/LxLogMacros.h"
#include "Platform/Format.h"

namespace {

using Span = std::span<const uint8_t>;

std::optional<std::string> asciiText(Span bytes) { return platform::stringFromBytes(bytes, platform::StringEncoding::ASCII); }

// The value of one parameter: none for no bytes or bytes not valid in the encoding.
std::optional<std::string> extractParamValue(Span bytes, platform::StringEncoding encoding) {
    if (bytes.empty()) return std::nullopt;
    if (bytes.front() == '"') bytes = bytes.size() < 2 ? Span() : bytes.subspan(1, bytes.size() - 2);
    const std::optional<std::string> decoded = platform::stringFromBytes(bytes, encoding);
    if (!decoded) return std::nullopt;
    std::string value;
    value.reserve(decoded->size());
    for (size_t i = 0; i < decoded->size(); ++i) {
        if ((*decoded)[i] == '\\') {
            if (++i == decoded->size()) break;
        }
        value.push_back((*decoded)[i]);
    }
    return value;
}

}  // namespace

std::shared_ptr<const MultipartMessageHeaderField> MultipartMessageHeaderField::initWithData(
    std::span<const uint8_t> line, platform::StringEncoding encoding) {
    const auto colon = std::find(line.begin(), line.end(), ':');
    const size_t colonAt = static_cast<size_t>(colon - line.begin());
    if (colon == line.end() || colonAt + 2 >= line.size()) {
        LX_LOG_ERROR(LogContextHttpServer, "MultipartFormDataParser: Bad format.No colon in field header.");
        return nullptr;
    }
    std::optional<std::string> name = asciiText(line.first(colonAt));
    if (!name) {
        LX_LOG_ERROR(LogContextHttpServer, "MultipartFormDataParser: Bad MIME header name.");
        return nullptr;
    }
    // The value begins after the colon and the blank that follows it.
    const Span rest = line.subspan(colonAt + 2);
    const auto semicolon = std::find(rest.begin(), rest.end(), ';');
    if (semicolon == rest.end()) {
        std::optional<std::string> value = platform::stringFromBytes(rest, encoding);
        if (!value) {
            LX_LOG_ERROR(LogContextHttpServer, "MultipartFormDataParser: Bad MIME header value for header name: '%@'", *name);
            return nullptr;
        }
        return std::shared_ptr<const MultipartMessageHeaderField>(
            new MultipartMessageHeaderField(std::move(*name), std::move(value)));
    }
    const size_t semicolonAt = static_cast<size_t>(semicolon - rest.begin());
    std::shared_ptr<MultipartMessageHeaderField> field(
        new MultipartMessageHeaderField(std::move(*name), platform::stringFromBytes(rest.first(semicolonAt), encoding)));
    // The parameters begin after the ";" and the blank that follows it.
    const Span params = semicolonAt + 2 <= rest.size() ? rest.subspan(semicolonAt + 2) : Span();
    if (!field->parseHeaderValueBytes(params, encoding)) {
        LX_LOG_ERROR(LogContextHttpServer, "MultipartFormDataParser: Bad params for header with name '%@' and value '%@'",
                     field->name_, field->value_);
        LX_LOG_ERROR(LogContextHttpServer, "MultipartFormDataParser: Params str: %@", asciiText(params));
        return nullptr;
    }
    return field;
}

bool MultipartMessageHeaderField::parseHeaderValueBytes(std::span<const uint8_t> bytes, platform::StringEncoding encoding) {
    if (bytes.empty()) return true;
    std::optional<std::string> waitingName;
    bool insideQuotes = false;
    size_t start = 0;  // where the name or value being scanned begins
    size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t c = bytes[i];
        if (c == '"' && (i == 0 || bytes[i - 1] != '\\')) {
            insideQuotes = !insideQuotes;
        } else if (!insideQuotes && c == '=') {
            if (waitingName) return false;
            waitingName = asciiText(bytes.subspan(start, i - start));
            // A parameter name is a token: one that is not ASCII cannot be read.
            if (!waitingName) return false;
            start = i + 1;
        } else if (!insideQuotes && c == ';') {
            if (!waitingName) {
                LX_LOG_ERROR(LogContextHttpServer, "MultipartFormDataParser: Unexpected ';' when parsing header");
                return false;
            }
            if (std::optional<std::string> value = extractParamValue(bytes.subspan(start, i - start), encoding)) {
                params_[*waitingName] = std::move(*value);
            } else {
                LX_LOG_WARN(LogContextHttpServer, "MultipartFormDataParser: Failed to exctract paramValue for key %@ in header %@",
                            *waitingName, name_);
            }
            waitingName.reset();
            // The next name begins after the ";" and the blank that follows it.
            start = std::min(i + 2, bytes.size());
            i = start;
            continue;
        }
        ++i;
    }
    if (insideQuotes) {
        LX_LOG_WARN(LogContextHttpServer, "MultipartFormDataParser: unterminated quote in header %@", name_);
    }
    if (waitingName) {
        if (std::optional<std::string> value = extractParamValue(bytes.subspan(start), encoding)) {
            params_[*waitingName] = std::move(*value);
        } else {
            LX_LOG_ERROR(LogContextHttpServer, "MultipartFormDataParser: Failed to exctract paramValue for key %@ in header %@",
                         *waitingName, name_);
        }
    }
    return true;
}

std::string MultipartMessageHeaderField::describe(const std::map<std::string, std::string>& dictionary) {
    std::string text = "{\n";
    for (const auto& [key, value] : dictionary) text += "    " + key + " = " + value + ";\n";
    return text + "}";
}

std::string MultipartMessageHeaderField::description() const {
    return platform::format("%@:%@\n params: %@", name_, value_, describe(params_));
}
