#include "PlxHttp/PlxFileResponse.h"

#include "Platform/Files/FileManager.h"
#include "Platform/PlainLog.h"
#include "Platform/UrlLoading/HTTPCookie.h"
#include "PlxHttp/HttpScardResponse.h"
#include "Util/Bytes.h"
#include "Util/SessionKeyCache.h"

PlxFileResponse::PlxFileResponse(std::optional<std::string> sessionRef)
    : HTTPDataResponse(Buffer{}), sessionRef_(std::move(sessionRef)) {
    std::optional<ByteBuffer> key;
    if (HttpScardResponse::isDocumentReference(sessionRef_)) key = SessionKeyCache::sharedCache()->getKeyFromRefString(*sessionRef_);
    if (!key) platform::plainLog("Key not found to decrypt the file. sessionRef: %@", sessionRef_);

    auto path = HttpScardResponse::documentPath(sessionRef_);
    if (!path) return;
    auto file = platform::FileManager::contentsAtPath(*path);
    if (!file) return;
    if (auto plaintext = Bytes::AES256DecryptWithKeyData(*file, key)) setData(std::move(*plaintext));
}

std::map<std::string, std::string> PlxFileResponse::httpHeaders() {
    if (!HttpScardResponse::isDocumentReference(sessionRef_)) return {};
    auto type = SessionKeyCache::sharedCache()->contentTypeForReferenceString(*sessionRef_);
    // A page chose this text (storedoc); one with a line break would split the header.
    if (!type || !platform::HTTPCookie::isHeaderSafe(*type)) return {};
    return {{"Content-Type", *type}};
}
