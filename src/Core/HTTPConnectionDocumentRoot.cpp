// HTTPConnection: the base lookup of a request's path under the document root, and the file
// response it serves.
#include "Core/HTTPConnection.h"

#include <filesystem>
#include <system_error>

#include "Core/Responses/HTTPFileResponse.h"
#include "Platform/Text/StringEncoding.h"

#include "Core/detail/HTTPConnectionInternal.h"

std::vector<std::string> HTTPConnection::directoryIndexFileNames() { return {"index.html", "index.htm"}; }

std::optional<std::string> HTTPConnection::filePathForURI(const std::string& path) { return filePathForURI(path, false); }

std::optional<std::string> HTTPConnection::filePathForURI(const std::string& path, bool allowDirectory) {
    const std::optional<std::string>& root = config_->documentRoot();
    if (!root) {
        LX_LOG_WARN(LogContextHttpServer, "%@[%p]: No configured document root", THIS_FILE, static_cast<const void*>(this));
        return std::nullopt;
    }
    if (root->empty()) {
        LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Document root is invalid file path", THIS_FILE,
                    static_cast<const void*>(this));
        return std::nullopt;
    }
    // The path of the URI, query and fragment dropped, escapes decoded.
    std::string_view target = path;
    const size_t cut = target.find_first_of("?#");
    if (cut != std::string_view::npos) target = target.substr(0, cut);
    std::optional<std::string> relative = platform::Url::percentDecode(target);
    // A NUL ("%00") names no file; the file calls would stop at it and serve the name before
    // it, past any check a subclass makes of the name's end.
    if (!relative || relative->find('\0') != std::string::npos) return std::nullopt;
    if (relative->empty() || relative->front() != '/') relative = "/" + *relative;

    std::string fullPath = HTTPConfig::standardizePath(*root + *relative);
    if (*relative == "/") fullPath += "/";
    const std::string prefix = (!root->empty() && root->back() == '/') ? *root : *root + "/";
    if (fullPath.compare(0, prefix.size(), prefix) != 0) {
        LX_LOG_WARN(LogContextHttpServer, "%@[%p]: Request for file outside document root", THIS_FILE,
                    static_cast<const void*>(this));
        return std::nullopt;
    }
    std::error_code ec;
    if (!allowDirectory && std::filesystem::is_directory(fullPath, ec)) {
        for (const std::string& name : directoryIndexFileNames()) {
            const std::string candidate = (fullPath.back() == '/' ? fullPath : fullPath + "/") + name;
            if (std::filesystem::exists(candidate, ec) && !std::filesystem::is_directory(candidate, ec)) return candidate;
        }
        return std::nullopt;
    }
    return fullPath;
}

std::shared_ptr<HTTPResponse> HTTPConnection::fileResponseForPath(const std::string& filePath) {
    return HTTPFileResponse::create(filePath, shared_from_this());
}

std::shared_ptr<HTTPResponse> HTTPConnection::httpResponseForMethod(const std::string&, const std::string& path) {
    return httpResponseForRequestFromDocumentRoot(path);
}

std::shared_ptr<HTTPResponse> HTTPConnection::httpResponseForRequestFromDocumentRoot(const std::string& path) {
    const std::optional<std::string> filePath = filePathForURI(path, false);
    if (!filePath) return nullptr;
    std::error_code ec;
    if (!std::filesystem::exists(*filePath, ec) || std::filesystem::is_directory(*filePath, ec)) return nullptr;
    return fileResponseForPath(*filePath);
}
