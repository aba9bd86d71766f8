// What a connection is handed when it is made: the server that made it (not owned: the server
// outlives its connections), the document root of the file lookup (none in this system), the
// queue the connection runs on (the server passes its one connection queue), and the
// connection's time-outs.
//
// Immutable once made; callable from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Platform/Dispatch/DispatchQueue.h"

class HTTPServer;

// The connection's socket time-outs in seconds. The production values are these; tests lower
// them to see an idle connection close without waiting half a minute.
struct HTTPConnectionTimeouts {
    // A header line, and every read of a request body (a body piece, a chunk size line, the
    // CRLF after a chunk, a footer line). A kept connection waits this long for the next
    // request: the idle deadline ends every session.
    double read = 30.0;
    // A response header, a chunk size line or the chunk CRLF, the chunked footer, the
    // closing boundary of a multi-range body, and every error reply.
    double write = 30.0;
};

class HTTPConfig {
public:
    // initWithServer:documentRoot:queue: - the root is standardized (dot and dot-dot
    // components resolved, a trailing "/" removed except for the root itself), then one "/"
    // is appended when it still ends in "/"; the queue is kept when one is given.
    static std::shared_ptr<HTTPConfig> initWithServer(std::weak_ptr<HTTPServer> server,
                                                      std::optional<std::string> documentRoot,
                                                      std::shared_ptr<platform::DispatchQueue> queue,
                                                      HTTPConnectionTimeouts timeouts = {});
    // initWithServer:documentRoot: - the root is kept unchanged and there is no queue (the
    // connection then makes its own).
    static std::shared_ptr<HTTPConfig> initWithServer(std::weak_ptr<HTTPServer> server,
                                                      std::optional<std::string> documentRoot);

    // The server, or nullptr once it is gone.
    std::shared_ptr<HTTPServer> server() const { return server_.lock(); }
    const std::optional<std::string>& documentRoot() const { return documentRoot_; }
    const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }
    const HTTPConnectionTimeouts& timeouts() const { return timeouts_; }

    // The standardized form of a path (see initWithServer:documentRoot:queue:).
    static std::string standardizePath(const std::string& path);

private:
    HTTPConfig() = default;

    std::weak_ptr<HTTPServer> server_;
    std::optional<std::string> documentRoot_;
    std::shared_ptr<platform::DispatchQueue> queue_;
    HTTPConnectionTimeouts timeouts_;
};
