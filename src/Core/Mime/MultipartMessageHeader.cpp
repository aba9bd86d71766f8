#include "Core/Mime/MultipartMessageHeader.h"

#include "Logging/LxLogMacros.h"

namespace {

bool isWhiteSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

std::shared_ptr<const MultipartMessageHeader> MultipartMessageHeader::initWithData(std::span<const uint8_t> data,
                                                                                   platform::StringEncoding formEncoding) {
    std::shared_ptr<MultipartMessageHeader> header(new MultipartMessageHeader());
    auto addLine = [&](std::span<const uint8_t> line) {
        std::shared_ptr<const MultipartMessageHeaderField> field = MultipartMessageHeaderField::initWithData(line, formEncoding);
        if (!field) {
            LX_LOG_WARN(LogContextHttpServer, "MultipartFormDataParser: Failed to parse MIME header field. Input ASCII string:%@",
                        platform::stringFromBytes(line, platform::StringEncoding::ASCII));
            return;
        }
        header->fields_[field->name()] = std::move(field);
    };
    size_t lineStart = 0;
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] != '\r' || data[i + 1] != '\n') continue;
        // A CR LF followed by white space folds the next line into this one.
        if (i + 2 < data.size() && isWhiteSpace(data[i + 2])) continue;
        addLine(data.subspan(lineStart, i - lineStart));
        lineStart = i + 2;
        ++i;
    }
    if (lineStart < data.size()) addLine(data.subspan(lineStart));

    if (header->fields_.empty()) {
        header->fields_["Content-Type"] = std::shared_ptr<const MultipartMessageHeaderField>(
            new MultipartMessageHeaderField("Content-Type", std::string("text/plain")));
    }
    return header;
}

std::string MultipartMessageHeader::description() const {
    std::map<std::string, std::string> descriptions;
    for (const auto& [name, field] : fields_) descriptions[name] = field->description();
    return MultipartMessageHeaderField::describe(descriptions);
}
