#include "Core/HTTPConfig.h"

#include <vector>

std::shared_ptr<HTTPConfig> HTTPConfig::initWithServer(std::weak_ptr<HTTPServer> server,
                                                       std::optional<std::string> documentRoot,
                                                       std::shared_ptr<platform::DispatchQueue> queue,
                                                       HTTPConnectionTimeouts timeouts) {
    std::shared_ptr<HTTPConfig> config(new HTTPConfig());
    config->server_ = std::move(server);
    if (documentRoot) {
        std::string root = standardizePath(*documentRoot);
        if (!root.empty() && root.back() == '/') root += '/';
        config->documentRoot_ = std::move(root);
    }
    config->queue_ = std::move(queue);
    config->timeouts_ = timeouts;
    return config;
}

std::shared_ptr<HTTPConfig> HTTPConfig::initWithServer(std::weak_ptr<HTTPServer> server,
                                                       std::optional<std::string> documentRoot) {
    std::shared_ptr<HTTPConfig> config(new HTTPConfig());
    config->server_ = std::move(server);
    config->documentRoot_ = std::move(documentRoot);
    return config;
}

std::string HTTPConfig::standardizePath(const std::string& path) {
    if (path.empty()) return path;
    const bool absolute = path.front() == '/';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == ".") {
            // nothing
        } else if (part == "..") {
            if (!parts.empty() && parts.back() != "..") parts.pop_back();
            else if (!absolute) parts.push_back(part);
        } else {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    std::string result;
    if (absolute) result.push_back('/');
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) result.push_back('/');
        result.append(parts[i]);
    }
    if (result.empty()) return std::string(1, '.');
    return result;
}
