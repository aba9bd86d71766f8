// The stored-document reader (loaddoc): the plaintext of the document named by a reference
// text, served with the content type remembered for it.
//
// The whole read happens at creation: the reference's key from the document-key cache (when
// there is none, "Key not found to decrypt the file. sessionRef: %@" is logged and the file is
// decrypted with no key bytes), the file of that name in the temporary directory, AES-256
// decryption; no plaintext gives an empty body. The file stays. A reference text that is not
// decimal digits names no document. Status 200 in every case.
//
// Created and used on the connection queue.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "Core/Responses/HTTPDataResponse.h"

class PlxFileResponse : public HTTPDataResponse {
public:
    explicit PlxFileResponse(std::optional<std::string> sessionRef);

    unsigned implementedOperations() const override { return kHttpHeaders; }
    // {"Content-Type": the remembered type}, asked when the connection builds the header; no
    // field when none is remembered (or the remembered text could not stand in a header).
    std::map<std::string, std::string> httpHeaders() override;

    const std::optional<std::string>& sessionRef() const { return sessionRef_; }

private:
    std::optional<std::string> sessionRef_;
};
