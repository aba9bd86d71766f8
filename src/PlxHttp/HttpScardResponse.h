// The API responder: the response object of every /scard request but loaddoc. It performs the
// whole operation while it is being created and then holds the JSON reply as its body.
//
// Dispatch (made at creation):
//   - path component 1 must be exactly "scard", else "Path not supported." and an empty body;
//   - GET logs "Unhandled URL. %@" as an error (context 0) and answers an empty body; POST
//     runs the operation; any other method answers an empty body;
//   - a POST goes through two stages, each of which may build a reply (the last one built is
//     sent). Stage A by the last path component: "scard" or "version" (exact) the version
//     reply; else "list" (any case) the reader list; else, with component 2 "status" (any
//     case), the status of the reader named by the last component. Stage B, with at least 3
//     components, by component 2 (exact): "apdu", "getref", "getdoc", "storedoc", "hashdoc",
//     "deletedoc", "disconnect".
// Every reply is status 200 with "Content-Type: application/json; charset=UTF-8", an empty
// body included; card and document failures travel in "errorcode", "errordetail" and
// "errormessage".
//
// Documents live in the user's temporary directory, one file per reference, named by its
// decimal text and AES-256 encrypted under the reference's key. A reference from a page is
// used only when it is decimal digits; any other text names no document, so that nothing
// outside that directory is ever read, written or removed.
//
// Threads: created on the connection queue, where the whole operation runs. Card exchanges
// and the document download block that queue (a download at most downloadWait(), 120 s); the
// download's completion runs on a loader thread and is handed over through a semaphore.
// Nothing a page sends can throw out of the creation.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Core/HTTPMessage.h"
#include "Core/Responses/HTTPDataResponse.h"
#include "Model/SessionKeyReference.h"
#include "Platform/Url/Url.h"
#include "Util/Bytes.h"

class SCDeleteDocRequest;
class SCGetDocRequest;
class SCHashDocRequest;
class SCStoreDocRequest;

class HttpScardResponse : public HTTPDataResponse {
public:
    // initWithUri:request: performs the operation of the request at this URL (the absolute
    // URL the connection resolved).
    HttpScardResponse(platform::Url uri, std::shared_ptr<HTTPMessage> request);
    // initWithUri: and initWithUriString: - no request, so no method: an empty body. The text
    // form answers nullptr when the text is no URL.
    explicit HttpScardResponse(platform::Url uri);
    static std::shared_ptr<HttpScardResponse> initWithUriString(std::string_view uriText);

    unsigned implementedOperations() const override { return kHttpHeaders; }
    std::map<std::string, std::string> httpHeaders() override;

    // Writes the bytes atomically, mode 0600, to the temporary directory under the
    // reference's decimal text (saveInTempFile: under a given name). False on failure.
    bool saveInTempFileWithRef(const SessionKeyReference& reference, const std::optional<ByteBuffer>& encryptedDoc);
    bool saveInTempFile(const std::string& fileName, const std::optional<ByteBuffer>& content);

    // How long getdoc waits for its download (120 seconds); tests lower it.
    static std::chrono::nanoseconds downloadWait();
    static void setDownloadWait(std::chrono::nanoseconds wait);

    // Whether a reference text from a page may name a document: decimal digits only.
    static bool isDocumentReference(const std::optional<std::string>& text);
    // The file of a document reference in the temporary directory; nothing when the text is
    // no document reference or there is no temporary directory.
    static std::optional<std::string> documentPath(const std::optional<std::string>& referenceText);

    const platform::Url& uri() const { return uri_; }

private:
    void processUri();
    void processGetRequest();
    void processPostRequest();
    void processPostStages();

    void versionReply();
    void listReply();
    void statusReply(const std::string& readerName);
    void apduReply(const std::string& readerName, std::span<const uint8_t> body);
    void getRefReply();
    void disconnectReply(std::span<const uint8_t> body);

    void processGetDocRequest(SCGetDocRequest& request);
    void processStoreDocRequest(const SCStoreDocRequest& request);
    void processHashDocRequest(const SCHashDocRequest& request);
    void processDeleteDocRequest(const SCDeleteDocRequest& request);

    // The JSON object, pretty-printed, becomes the body.
    void setJson(const nlohmann::json& object);

    platform::Url uri_;
    std::shared_ptr<HTTPMessage> request_;
    std::vector<std::string> components_;
};
