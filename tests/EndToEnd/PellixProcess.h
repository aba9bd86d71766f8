// The built pellix program, run as a child process for the end-to-end tests.
//
// Each instance gets a private directory tree of its own (HOME, XDG_DATA_HOME and TMPDIR point
// into it), so that the keychain store, the NSS database and the stored documents start empty
// and never touch the user's. Standard output and standard error go to files in that tree.
//
// Listening is detected from the kernel's socket tables (/proc/net/tcp and tcp6), never by
// connecting: a connection is what makes pellix look up and provision its identity, and the
// tests must be able to tell the first connection from a readiness probe.
//
// Not thread-safe: one test thread drives it. The destructor stops the program (SIGTERM, then
// SIGKILL) and removes the directory tree.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace e2e {

inline constexpr int kPort = 31505;
// The origin a page of the allowed web site sends.
inline constexpr const char* kAllowedOrigin = "https://signer.pellix.com";

class PellixProcess {
public:
    PellixProcess();
    ~PellixProcess();
    PellixProcess(const PellixProcess&) = delete;
    PellixProcess& operator=(const PellixProcess&) = delete;

    // Starts the program and waits until it listens on 127.0.0.1 and ::1. False (with a
    // reason in error()) when another process holds the port for more than 30 seconds, the
    // program exits, or it does not listen within the limit.
    bool start(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // For a test that runs the program out of descriptors, called before start(). In the
    // sanitizer build a virtual call checks the object's type by reading it through a pipe;
    // with no descriptor free that read fails, and a sound object is reported as one with an
    // invalid vptr. Such reports then no longer stop the program; they stay in standard error
    // for the test to look at. Every other finding still stops it. No effect on other builds.
    void letTypeCheckReportsPass() { typeCheckReportsPass_ = true; }
    // Called before start(): the program runs with this descriptor limit, soft and hard (0,
    // the default: the test's own).
    void setDescriptorLimit(unsigned long limit) { descriptorLimit_ = limit; }
    // SIGTERM, then SIGKILL after the grace time. Harmless when not running.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(3));
    bool running();

    // The time from fork to both listening sockets being visible.
    std::chrono::microseconds startToListening() const { return startToListening_; }
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }

    const std::string& root() const { return root_; }
    const std::string& home() const { return home_; }
    const std::string& dataHome() const { return dataHome_; }
    const std::string& tmpDir() const { return tmpDir_; }

    std::string standardOutput() const;
    std::string standardError() const;

    // The certificate PEM blocks pellix wrote to standard output (one per certificate made).
    int certificatesWritten() const;
    // A file holding pellix's certificate: the one it wrote to standard output, else the
    // one in its keychain store. None before the identity exists.
    std::optional<std::string> certificateFile() const;
    // The certificate files in the keychain store (*.cert.pem below the data directory).
    int certificatesInStore() const;

    // Whether some process listens on the port on 127.0.0.1 and on ::1.
    static bool portListening();
    // Whether some process listens on the port at all.
    static bool portTaken();

private:
    std::string root_, home_, dataHome_, tmpDir_;
    pid_t pid_ = -1;
    std::string error_;
    std::chrono::microseconds startToListening_{0};
    bool typeCheckReportsPass_ = false;
    unsigned long descriptorLimit_ = 0;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Writes a file, creating or replacing it. False on failure.
bool writeFile(const std::string& path, const std::string& content);

}  // namespace e2e
