// The fixture of the file response tests: a server on the loopback interface whose document
// root is a scratch directory, and a connection class that serves a file under that root with
// the response the path's first segment names:
//   /<file>                the base lookup (HTTPFileResponse)
//   /async/<file>          HTTPAsyncFileResponse
//   /dynamic/<file>        HTTPDynamicFileResponse with the separator "%%" and kReplacements
//   /plain-dynamic/<file>  HTTPDynamicFileResponse with no separator
//   /shrink/<file>, /shrink-async/<file>  the sync or async response, after which the file is
//                          cut to kShrunkLength bytes
//   /vanish/<file>, /vanish-async/<file>  the same, after which the file is removed
// The last response made is kept for the test to look at.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "Core/HTTPConnection.h"
#include "Core/HTTPServer.h"
#include "Core/RealClients.h"
#include "tools/ScratchDirectory.h"
#include "Core/Responses/HTTPAsyncFileResponse.h"
#include "Core/Responses/HTTPDynamicFileResponse.h"
#include "Core/Responses/HTTPFileResponse.h"
#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"
#include "Platform/Files/FileManager.h"
#include "tools/Eventually.h"

namespace file_response_test {

constexpr size_t kShrunkLength = 100;

// The growth cases: each replacement is longer than the text it replaces, %%g10%% (7 bytes) by
// 10 bytes and %%g300%% (8 bytes) by 300.
inline const HTTPDynamicFileResponse::ReplacementDictionary kReplacements = {
    {"name", "Ada"},
    {"count", "3"},
    {"empty", ""},
    {"g10", std::string(17, 'x')},
    {"g300", std::string(308, 'y')},
};

// The last response a FileConnection made.
struct LastResponse {
    std::mutex mutex;
    std::shared_ptr<HTTPResponse> response;

    void set(std::shared_ptr<HTTPResponse> r) {
        std::lock_guard lock(mutex);
        response = std::move(r);
    }
    template <class T>
    std::shared_ptr<T> get() {
        std::lock_guard lock(mutex);
        return std::dynamic_pointer_cast<T>(response);
    }
};

inline LastResponse& lastResponse() {
    static LastResponse last;
    return last;
}

class FileConnection : public HTTPConnection {
public:
    using HTTPConnection::HTTPConnection;

    std::shared_ptr<HTTPResponse> httpResponseForMethod(const std::string& method, const std::string& path) override {
        const size_t slash = path.find('/', 1);
        const std::string kind = slash == std::string::npos ? "" : path.substr(1, slash - 1);
        const std::string rest = slash == std::string::npos ? path : path.substr(slash);
        std::shared_ptr<HTTPResponse> response;
        std::optional<std::string> file;
        const bool shrink = kind == "shrink" || kind == "shrink-async";
        const bool vanish = kind == "vanish" || kind == "vanish-async";
        const bool async = kind == "async" || kind == "shrink-async" || kind == "vanish-async";
        if (async || shrink || vanish || kind == "dynamic" || kind == "plain-dynamic") {
            file = filePathForURI(rest);
            if (!file) return nullptr;
        }
        if (async) {
            response = HTTPAsyncFileResponse::create(file, shared_from_this());
        } else if (kind == "dynamic") {
            response = HTTPDynamicFileResponse::create(file, shared_from_this(), "%%", kReplacements);
        } else if (kind == "plain-dynamic") {
            response = HTTPDynamicFileResponse::create(file, shared_from_this(), "", kReplacements);
        } else if (shrink || vanish) {
            response = HTTPFileResponse::create(file, shared_from_this());
        } else {
            response = HTTPConnection::httpResponseForMethod(method, path);
        }
        if (response && shrink) std::filesystem::resize_file(*file, kShrunkLength);
        if (response && vanish) std::filesystem::remove(*file);
        lastResponse().set(response);
        return response;
    }
};

inline std::string randomBytes(size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (auto& b : bytes) b = static_cast<char>(random());
    return bytes;
}

// The file's bytes; none when there is no file (curl makes none for an empty body).
inline std::string readFile(const std::string& path) {
    const auto bytes = platform::FileManager::contentsAtPath(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

class FileResponseTest : public ::testing::Test {
protected:
    void SetUp() override {
        LxLog::addLogger(logger_);
        lastResponse().set(nullptr);
        server_ = HTTPServer::create();
        server_->setConnectionClass<FileConnection>();
        server_->setInterface(std::string("127.0.0.1"));
        server_->setPort(0);
        server_->setDocumentRoot(root_.path());
        platform::Error error;
        ASSERT_TRUE(server_->start(&error)) << error.describe();
        port_ = server_->listeningPort();
    }
    void TearDown() override {
        server_->stop();
        LxLog::flushLog();
        LxLog::removeLogger(logger_);
        lastResponse().set(nullptr);
    }

    // Writes a file under the document root and answers its path.
    std::string addFile(const std::string& name, const std::string& bytes) {
        const std::string path = root_.join(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    // curl for the path into a scratch file: its exit status, the status code, the body and
    // the response header.
    struct Fetch {
        int exitStatus = -1;
        int status = 0;
        std::string body;
        std::string header;
    };
    Fetch fetch(const std::string& path, std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--dump-header", scratch_.join("header"), "--output", scratch_.join("body"),
                                       "--write-out", "%{http_code}", url(path)});
        std::filesystem::remove(scratch_.join("body"));
        const auto run = real_clients::curl(options);
        return {run.exitStatus, real_clients::statusOf(run), readFile(scratch_.join("body")), readFile(scratch_.join("header"))};
    }

    bool logged(const std::string& text) {
        LxLog::flushLog();
        for (const auto& t : logger_->texts()) {
            if (t == text) return true;
        }
        return false;
    }

    testtools::ScratchDirectory root_;
    testtools::ScratchDirectory scratch_;
    std::shared_ptr<HTTPServer> server_;
    uint16_t port_ = 0;
    std::shared_ptr<logging_test::RecordingLogger> logger_ = std::make_shared<logging_test::RecordingLogger>();
};

}  // namespace file_response_test
