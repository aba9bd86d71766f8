#include "PlxHttp/HttpScardResponse.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "Logging/LxLogMacros.h"
#include "Model/ApduKeyRef.h"
#include "Model/KeyReferenceCache.h"
#include "Model/PinProtectedApdu.h"
#include "Model/SCApduRequest.h"
#include "Model/SCApduResponse.h"
#include "Model/SCDeleteDocRequest.h"
#include "Model/SCDisconnectRequest.h"
#include "Model/SCGetDocRequest.h"
#include "Model/SCGetDocResponse.h"
#include "Model/SCHashDocRequest.h"
#include "Model/SCHashDocResponse.h"
#include "Model/SCReaderStatusResponse.h"
#include "Model/SCSlotsResponse.h"
#include "Model/SCStoreDocRequest.h"
#include "Model/SCStoreDocResponse.h"
#include "Model/SCVersionResponse.h"
#include "Platform/Dispatch/Semaphore.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Files/TemporaryDirectory.h"
#include "Platform/PlainLog.h"
#include "Platform/UrlLoading/HTTPCookie.h"
#include "Platform/UrlLoading/HTTPCookieStorage.h"
#include "Platform/UrlLoading/URLSession.h"
#include "SmartCard/CardUtil.h"
#include "SmartCard/SmartCardManager.h"
#include "Util/CommonUtil.h"
#include "Util/SessionKeyCache.h"

namespace {

constexpr const char* kJsonContentType = "application/json; charset=UTF-8";
constexpr const char* kCookieName = "PellixGetDoc";
constexpr auto kCookieLifetime = std::chrono::seconds(2592000);  // 30 days

std::atomic<int64_t> gDownloadWaitNanos{std::chrono::nanoseconds(std::chrono::seconds(120)).count()};

bool equalsIgnoringCase(const std::string& a, const char* b) {
    return a.find('\0') == std::string::npos && ::strcasecmp(a.c_str(), b) == 0;
}

std::span<const uint8_t> bodyOf(const std::shared_ptr<HTTPMessage>& request) {
    if (!request) return {};
    return request->body();
}

// What the download's completion hands to the waiting side; the completion may come after
// the wait has given up, so both sides hold it and it is guarded.
struct DownloadHandOver {
    platform::Semaphore done{0};
    std::mutex mutex;
    std::optional<ByteBuffer> data;         // guarded by mutex
    std::string mimeType;                   // guarded by mutex
    std::optional<platform::Error> error;   // guarded by mutex
};

// A fresh document key for a get or store reply, its reference set in the reply. Null when
// the cache could make none: the reply then carries the cache's "no key" error.
template <class Response>
std::shared_ptr<const SessionKeyReference> issueDocumentKey(SessionKeyCache& cache, Response& response) {
    auto reference = cache.generateKeyReference();
    if (!reference) {
        response.errorCode = SessionKeyCache::kNoKeyErrorCode;
        response.errorMessage = SessionKeyCache::kNoKeyErrorMessage;
        return nullptr;
    }
    response.sessionRef = reference->referenceNumber();
    return reference;
}

}  // namespace

// ---- Creation and dispatch ----

HttpScardResponse::HttpScardResponse(platform::Url uri, std::shared_ptr<HTTPMessage> request)
    : HTTPDataResponse(Buffer{}), uri_(std::move(uri)), request_(std::move(request)) {
    components_ = uri_.pathComponents();
    processUri();
}

HttpScardResponse::HttpScardResponse(platform::Url uri) : HTTPDataResponse(Buffer{}), uri_(std::move(uri)) {
    components_ = uri_.pathComponents();
}

std::shared_ptr<HttpScardResponse> HttpScardResponse::initWithUriString(std::string_view uriText) {
    auto url = platform::Url::parseReference(uriText);
    if (!url) return nullptr;
    return std::make_shared<HttpScardResponse>(std::move(*url));
}

std::map<std::string, std::string> HttpScardResponse::httpHeaders() { return {{"Content-Type", kJsonContentType}}; }

std::chrono::nanoseconds HttpScardResponse::downloadWait() { return std::chrono::nanoseconds(gDownloadWaitNanos.load()); }

void HttpScardResponse::setDownloadWait(std::chrono::nanoseconds wait) { gDownloadWaitNanos.store(wait.count()); }

void HttpScardResponse::setJson(const nlohmann::json& object) {
    // Texts that are not UTF-8 (a reader name, say) are replaced rather than thrown about.
    std::string text = object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    setData(Buffer(text.begin(), text.end()));
}

void HttpScardResponse::processUri() {
    if (!request_) return;
    if (components_.size() < 2 || components_[1] != "scard") {
        platform::plainLog("Path not supported.");
        return;
    }
    const std::string& method = request_->method();
    if (method == "GET") processGetRequest();
    else if (method == "POST") processPostRequest();
}

void HttpScardResponse::processGetRequest() {
    LX_LOG_ERROR(LogContextDefault, "Unhandled URL. %@", uri_.absoluteString());
}

void HttpScardResponse::processPostRequest() {
    // Whatever a page sends must end in a reply, never in an exception out of the connection.
    try {
        processPostStages();
    } catch (const std::exception& e) {
        platform::plainLog("Error processing request! %@", e.what());
        setData(Buffer{});
    }
}

void HttpScardResponse::processPostStages() {
    std::span<const uint8_t> body = bodyOf(request_);
    const size_t count = components_.size();
    const std::string last = components_.empty() ? std::string() : components_.back();

    // Stage A, by the last path component.
    if (last == "scard" || last == "version") {
        versionReply();
    } else if (equalsIgnoringCase(last, "list")) {
        listReply();
    } else if (count > 2 && equalsIgnoringCase(components_[2], "status")) {
        statusReply(last);
    }

    // Stage B, by path component 2.
    if (count < 3) return;
    const std::string& operation = components_[2];
    if (operation == "apdu") {
        // Without a reader segment there is no reader to talk to: the reply stays as it is.
        if (count > 3) apduReply(components_[3], body);
    } else if (operation == "getref") {
        getRefReply();
    } else if (operation == "getdoc") {
        SCGetDocRequest request(body);
        if (auto refusal = request.checkParameters()) setJson(refusal->jsonDict());
        else processGetDocRequest(request);
    } else if (operation == "storedoc") {
        processStoreDocRequest(SCStoreDocRequest(body));
    } else if (operation == "hashdoc") {
        processHashDocRequest(SCHashDocRequest(body));
    } else if (operation == "deletedoc") {
        processDeleteDocRequest(SCDeleteDocRequest(body));
    } else if (operation == "disconnect") {
        disconnectReply(body);
    }
}

// ---- Card operations ----

void HttpScardResponse::versionReply() { setJson(SCVersionResponse(CommonUtil::getVersionInfoFromPlist()).jsonDict()); }

void HttpScardResponse::listReply() {
    auto manager = SmartCardManager::sharedManager();
    auto slots = manager->slotModels();
    int64_t code = manager->errorCode();
    int64_t detail = manager->errorCodeNative();
    setJson(SCSlotsResponse(slots.value_or(std::vector<std::shared_ptr<SCSlotModel>>{}), code, detail).jsonDict());
}

void HttpScardResponse::statusReply(const std::string& readerName) {
    auto manager = SmartCardManager::sharedManager();
    auto slot = manager->slotWithName(readerName);
    int64_t state = slot ? static_cast<int64_t>(slot->state()) : 0;
    auto status = static_cast<int64_t>(CardUtil::mapCardStatus(state));
    setJson(SCReaderStatusResponse(status, manager->errorCode(), manager->errorCodeNative()).jsonDict());
}

void HttpScardResponse::apduReply(const std::string& readerName, std::span<const uint8_t> body) {
    SCApduRequest request(body);
    auto manager = SmartCardManager::sharedManager();
    manager->setIdleTimeSeconds(request.timeout);
    std::vector<ResponseAPDU> replies;
    for (const auto& command : request.requestAPDUs) {
        std::optional<std::string> text = command.apdu;
        if (command.isPinProtected()) text = PinProtectedApdu(*command.apdu).decodedApduInHexString();
        // A failed command does not stop the others: every command is tried.
        if (auto reply = manager->sendApduString(text, readerName, request.session)) replies.push_back(std::move(*reply));
    }
    setJson(SCApduResponse(std::move(replies), manager->errorCode(), manager->errorCodeNative()).jsonDict());
}

void HttpScardResponse::getRefReply() {
    auto key = KeyReferenceCache::sharedCache()->generateApduKeyReference();
    if (!key) {
        setJson(SCErrorResponse(KeyReferenceCache::kNoKeyErrorCode, 0).jsonDict());
        return;
    }
    setJson(key->jsonDict());
}

void HttpScardResponse::disconnectReply(std::span<const uint8_t> body) {
    SCDisconnectRequest request(body);
    SmartCardManager::sharedManager()->closeCardSession(request.session);
    setData(Buffer{});
}

// ---- Document operations ----

bool HttpScardResponse::isDocumentReference(const std::optional<std::string>& text) {
    return text && !text->empty() && std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::string> HttpScardResponse::documentPath(const std::optional<std::string>& referenceText) {
    if (!isDocumentReference(referenceText)) return std::nullopt;
    auto dir = platform::TemporaryDirectory::path();
    if (!dir) return std::nullopt;
    return platform::TemporaryDirectory::join(*dir, *referenceText);
}

bool HttpScardResponse::saveInTempFile(const std::string& fileName, const std::optional<ByteBuffer>& content) {
    if (!content || fileName.empty() || fileName.find('/') != std::string::npos || fileName == "." || fileName == "..") return false;
    auto dir = platform::TemporaryDirectory::path();
    if (!dir) return false;
    return !platform::FileManager::writeAtomically(platform::TemporaryDirectory::join(*dir, fileName), *content);
}

bool HttpScardResponse::saveInTempFileWithRef(const SessionKeyReference& reference, const std::optional<ByteBuffer>& encryptedDoc) {
    return saveInTempFile(platform::format("%llu", static_cast<unsigned long long>(reference.referenceNumber())), encryptedDoc);
}

void HttpScardResponse::processGetDocRequest(SCGetDocRequest& request) {
    SCGetDocResponse response;
    const std::string urlText = *request.url;

    auto handOver = std::make_shared<DownloadHandOver>();
    auto fail = [&](const platform::Error& error) {
        platform::plainLog("Error retrieving document from %@, Error: %@", urlText, error.describe());
        response.errorCode = 500;
        response.errorMessage = error.description;
        setJson(response.jsonDict());
    };

    // A text that is no http or https URL cannot be fetched: answered like a failed download.
    auto url = platform::URLRequest::make(urlText);
    if (!url) {
        fail(platform::URLSession::loadingError().value_or(
            platform::Error{platform::kURLErrorDomain, platform::URLErrorUnsupportedURL, "unsupported URL", {}}));
        return;
    }

    auto configuration = platform::URLSessionConfiguration::defaultConfiguration();
    if (request.cookie) {
        auto expiry = platform::HTTPCookie::Clock::now() + kCookieLifetime;
        // A cookie text that cannot stand in a header is not stored; the download then fails
        // on the same check and the page gets its message.
        if (auto cookie = platform::HTTPCookie::make(kCookieName, *request.cookie, url->host(), "/", expiry)) {
            auto storage = configuration.cookieStorage ? configuration.cookieStorage : platform::HTTPCookieStorage::shared();
            storage->setCookie(*cookie);
        }
        configuration.additionalHeaders["Cookie"] = *request.cookie;
    }

    platform::URLSession::create(configuration)->download(*url, [handOver, urlText](auto data, auto response, auto error) {
        {
            std::lock_guard<std::mutex> lock(handOver->mutex);
            if (error) {
                platform::plainLog("Error retrieving document from %@, Error: %@", urlText, error->describe());
                handOver->error = std::move(error);
            } else {
                handOver->data = std::move(data);
                handOver->mimeType = response ? response->mimeType : std::string();
            }
        }
        handOver->done.signal();
    });

    if (!handOver->done.wait(downloadWait())) {
        // No completion in time: the reply carries what it has so far and nothing is stored.
        setJson(response.jsonDict());
        return;
    }
    std::optional<ByteBuffer> download;
    std::string mimeType;
    {
        std::lock_guard<std::mutex> lock(handOver->mutex);
        if (handOver->error) {
            response.errorCode = 500;
            response.errorMessage = handOver->error->description;
            setJson(response.jsonDict());
            return;
        }
        download = std::move(handOver->data);
        mimeType = handOver->mimeType;
    }
    if (!download) download.emplace();

    auto cache = SessionKeyCache::sharedCache();
    auto reference = issueDocumentKey(*cache, response);
    if (!reference) {
        setJson(response.jsonDict());
        return;
    }

    // With a key the document is the plaintext less its first 8 bytes; a plaintext shorter
    // than that counts as a failed decryption, and the download is kept as received.
    std::optional<ByteBuffer> document;
    if (request.key) {
        auto keyBytes = CommonUtil::dataFromHexString(request.key);
        std::optional<ByteBuffer> plaintext;
        if (request.keyAlgorithm == "AES") plaintext = Bytes::AES256DecryptWithKeyData(*download, keyBytes);
        else if (request.keyAlgorithm == "3DES") plaintext = Bytes::tripleDesDecryptWithKeyData(*download, keyBytes);
        else platform::plainLog("Unknown algorithm!");
        if (plaintext && plaintext->size() >= 8) document = ByteBuffer(plaintext->begin() + 8, plaintext->end());
    }

    if (request.hashAlgorithm) {
        const std::optional<ByteBuffer>& source = request.key ? document : download;
        if (source) {
            if (auto digest = Bytes::computeDigest(*source, *request.hashAlgorithm)) response.setDocumentHashData(*digest);
        }
    }

    auto encrypted = Bytes::AES256EncryptWithKeyData(document ? *document : *download, reference->data());
    if (!mimeType.empty()) cache->storeContentType(mimeType, reference->referenceNumber());
    if (!saveInTempFileWithRef(*reference, encrypted)) {
        response.errorMessage = "File creation failed.";
        response.errorCode = 501;
    }
    setJson(response.jsonDict());
}

void HttpScardResponse::processStoreDocRequest(const SCStoreDocRequest& request) {
    SCStoreDocResponse response;
    auto cache = SessionKeyCache::sharedCache();
    auto reference = issueDocumentKey(*cache, response);
    if (!reference) {
        setJson(response.jsonDict());
        return;
    }
    auto document = request.getDocumentData();
    std::optional<ByteBuffer> encrypted;
    if (document) encrypted = Bytes::AES256EncryptWithKeyData(*document, reference->data());
    if (saveInTempFileWithRef(*reference, encrypted)) {
        if (request.contentType) cache->storeContentType(*request.contentType, reference->referenceNumber());
    } else {
        response.errorMessage = "File creation failed.";
        response.errorCode = 501;
    }
    setJson(response.jsonDict());
}

void HttpScardResponse::processHashDocRequest(const SCHashDocRequest& request) {
    std::optional<ByteBuffer> digest;
    if (auto path = documentPath(request.sessionRef)) {
        auto key = SessionKeyCache::sharedCache()->getKeyFromRefString(*request.sessionRef);
        auto file = platform::FileManager::contentsAtPath(*path);
        if (file && request.hashAlgorithm) {
            // Without a key the file is decrypted with no key bytes, which does not give the
            // document back; the answer is then the failure below.
            if (auto plaintext = Bytes::AES256DecryptWithKeyData(*file, key)) digest = Bytes::computeDigest(*plaintext, *request.hashAlgorithm);
        }
    }
    SCHashDocResponse response(0, 0);
    if (digest) {
        response.setDocumentHashData(*digest);
    } else {
        response.errorMessage = "Failed to compute document hash. ";
        response.errorCode = 502;
    }
    setJson(response.jsonDict());
}

void HttpScardResponse::processDeleteDocRequest(const SCDeleteDocRequest& request) {
    if (auto path = documentPath(request.sessionRef)) {
        if (platform::FileManager::fileExistsAtPath(*path)) {
            if (auto error = platform::FileManager::removeItemAtPath(*path))
                platform::plainLog("Cannot delete file at path: %@; Error: %@", *path, error->describe());
        }
    }
    setData(Buffer{});
}
