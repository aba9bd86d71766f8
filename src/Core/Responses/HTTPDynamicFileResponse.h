// A file response that fills in a template: every key framed by the separator (with a
// separator of "%%", the text %%name%%) that the dictionary knows is replaced by its value, as
// the file is read; a framed key the dictionary does not know stays as it is, separators and
// all. Separators pair up in the order they come (the third one opens a new key), and a
// replacement's text is never searched for separators. A separator or key split between two
// reads is still found: bytes that may begin one are held back until the next read, and the
// output is the same wherever reads end. Only what can still be replaced is held: at most the
// separator's length less one byte, or from an opening separator as far as the dictionary's
// longest key reaches; after that the bytes go on as they are. The body's length is not known
// beforehand, so it is sent chunked, and byte ranges do not apply (setOffset does nothing).
//
// Queues and failures as for HTTPAsyncFileResponse; the dictionary is fixed when the response
// is made.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Core/Responses/HTTPAsyncFileResponse.h"

class HTTPDynamicFileResponse : public HTTPAsyncFileResponse {
public:
    // Key texts to the texts that replace them.
    using ReplacementDictionary = std::map<std::string, std::string>;

    // initWithFilePath:forConnection:separator:replacementDictionary: - nullptr, after a
    // warning, as for HTTPAsyncFileResponse. An empty separator frames no key.
    static std::shared_ptr<HTTPDynamicFileResponse> create(const std::optional<std::string>& filePath,
                                                           const std::shared_ptr<HTTPConnection>& connection,
                                                           std::string separator, ReplacementDictionary replacements);

    unsigned implementedOperations() const override { return kIsChunked | kConnectionDidClose; }
    uint64_t contentLength() override { return 0; }
    void setOffset(uint64_t) override {}
    bool isDone() override { return hasReadAndHandedOverWholeFile(); }
    bool isChunked() override { return true; }

protected:
    void processReadBuffer() override;

private:
    HTTPDynamicFileResponse(std::string filePath, uint64_t fileLength, const std::shared_ptr<HTTPConnection>& connection,
                            std::string separator, ReplacementDictionary replacements);
    // The replacement for the key between two separators, when it is UTF-8 text the
    // dictionary knows.
    const std::string* replacementFor(const uint8_t* key, size_t length) const;

    const std::string separator_;
    const ReplacementDictionary replacements_;
    size_t longestKey_ = 0;  // in bytes, of the dictionary's keys
    // Read queue: a separator was opened in bytes already handed over, with a key too long to
    // be replaced; the next separator closes it.
    bool keyTooLongIsOpen_ = false;
};
