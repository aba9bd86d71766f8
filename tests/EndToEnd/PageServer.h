// The web site of the browser test: an HTTPS server on 127.0.0.1 port 443 that serves one
// page for https://signer.pellix.com (the browser maps the name to 127.0.0.1) and takes the
// page's results back as a POST to /result.
//
// Each connection is served on a thread of its own (a browser opens connections it never
// uses); stop() and the destructor close the listener and join every thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class PageServer {
public:
    PageServer(std::string certificateFile, std::string keyFile, std::string page);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    // Listens on 127.0.0.1:port. False with a reason in error() when it cannot.
    bool start(int port = 443);
    void stop();
    const std::string& error() const { return error_; }

    // The body of the first POST to /result, or none when none came within the limit.
    std::optional<std::string> waitForResult(std::chrono::milliseconds limit);

private:
    void acceptLoop();
    void serve(int fd);

    const std::string certificateFile_, keyFile_, page_;
    std::string error_;
    void* context_ = nullptr;  // SSL_CTX*
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::condition_variable resultArrived_;
    std::optional<std::string> result_;   // guarded by mutex_
    std::vector<std::thread> workers_;    // guarded by mutex_
};

}  // namespace e2e
