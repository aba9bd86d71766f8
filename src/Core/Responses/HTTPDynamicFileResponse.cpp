#include "Core/Responses/HTTPDynamicFileResponse.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "Platform/Text/StringEncoding.h"

std::shared_ptr<HTTPDynamicFileResponse> HTTPDynamicFileResponse::create(const std::optional<std::string>& filePath,
                                                                         const std::shared_ptr<HTTPConnection>& connection,
                                                                         std::string separator,
                                                                         ReplacementDictionary replacements) {
    const std::optional<uint64_t> length = fileLengthForResponse(filePath);
    if (!length) return nullptr;
    return std::shared_ptr<HTTPDynamicFileResponse>(
        new HTTPDynamicFileResponse(*filePath, *length, connection, std::move(separator), std::move(replacements)));
}

HTTPDynamicFileResponse::HTTPDynamicFileResponse(std::string filePath, uint64_t fileLength,
                                                 const std::shared_ptr<HTTPConnection>& connection,
                                                 std::string separator, ReplacementDictionary replacements)
    : HTTPAsyncFileResponse(std::move(filePath), fileLength, connection),
      separator_(std::move(separator)),
      replacements_(std::move(replacements)) {
    for (const auto& [key, value] : replacements_) longestKey_ = std::max(longestKey_, key.size());
}

const std::string* HTTPDynamicFileResponse::replacementFor(const uint8_t* key, size_t length) const {
    if (!platform::isValidUTF8({key, length})) return nullptr;
    const auto found = replacements_.find(std::string(reinterpret_cast<const char*>(key), length));
    return found == replacements_.end() ? nullptr : &found->second;
}

void HTTPDynamicFileResponse::processReadBuffer() {
    const size_t s = separator_.size();
    size_t n = readBufferOffset();
    if (s == 0) {
        // No separator frames any key: everything goes as it is.
        handOver(n);
        return;
    }
    // Separators are looked for at every position below the bound: the last s - 1 bytes,
    // which may begin a separator completed by the next read, are looked at again then.
    auto boundFor = [s](size_t bytes) { return bytes >= s ? bytes - s + 1 : 0; };
    size_t bound = boundFor(n);
    constexpr size_t kNone = SIZE_MAX;
    size_t open = kNone;  // position of a separator whose key has not been closed
    // A separator opened in bytes handed over already, whose key had grown too long for any
    // value: the next separator closes it and nothing is replaced.
    bool openBefore = keyTooLongIsOpen_;
    size_t i = 0;
    while (i < bound) {
        std::vector<uint8_t>& buffer = readBuffer();
        if (std::memcmp(buffer.data() + i, separator_.data(), s) != 0) {
            ++i;
            continue;
        }
        if (openBefore) {
            openBefore = false;
            i += s;
            continue;
        }
        if (open == kNone) {
            open = i;
            i += s;
            continue;
        }
        const size_t start = open;
        open = kNone;
        const std::string* value = replacementFor(buffer.data() + start + s, i - start - s);
        if (!value) {
            i += s;  // an unknown key stays, separators and all
            continue;
        }
        const size_t runEnd = i + s;
        const size_t runLength = runEnd - start;
        if (value->size() > runLength) {
            const size_t growth = value->size() - runLength;
            if (buffer.size() - n < growth && !growReadBuffer(std::max<size_t>(growth, 256))) return;
        }
        uint8_t* bytes = readBuffer().data();
        std::memmove(bytes + start + value->size(), bytes + runEnd, n - runEnd);
        std::memcpy(bytes + start, value->data(), value->size());
        n = n - runLength + value->size();
        bound = boundFor(n);
        i = start + value->size();
    }
    setReadBufferOffset(n);
    if (hasReadWholeFile()) {
        keyTooLongIsOpen_ = false;
        handOver(n);
        return;
    }
    // Everything before i has been decided - a replacement or a closing separator may end
    // beyond the bound - and is never looked at again: a byte scanned twice could count in
    // two separators, and the output would depend on where reads end.
    size_t decided = i;
    if (open != kNone) {
        // A key ends at the first separator after its opening one, and none begins before the
        // bound: once the key would be longer than every key the dictionary knows, nothing can
        // replace it, and its bytes go on instead of waiting for the rest of the file.
        if (bound > open + s + longestKey_) {
            openBefore = true;
        } else {
            decided = open;  // looked at again with the next read, when the key may end
        }
    }
    keyTooLongIsOpen_ = openBefore;
    handOver(decided);
}
