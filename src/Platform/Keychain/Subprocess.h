// Runs external programs without a shell: the NSS certutil tool and the openssl tool.
//
// Every child runs in a session of its own, so it has no controlling terminal: a tool that
// would ask for a password on the terminal fails instead of waiting for an answer that never
// comes. Its standard input is /dev/null unless run() is given bytes for it. A child that is
// still running when its time-out has passed is ended (SIGKILL to its process group) and
// counts as failed.
//
// The calls block the calling thread until the child has ended or been ended; callable from
// any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Subprocess {
public:
    struct Result {
        bool started = false;   // false: the program could not be run at all (see output)
        int exitStatus = -1;    // the exit code, or -1 when it ended by a signal
        bool timedOut = false;  // it overran its time-out and was ended
        std::string output;     // standard output and error, at most kOutputLimit bytes
    };
    static constexpr size_t kOutputLimit = 64 * 1024;
    // Far longer than any tool run takes, short enough that a child that hangs holds up its
    // caller (the connection queue, during first-use provisioning) only briefly.
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

    // Runs the program to completion. arguments[0] is the program's path. Standard output and
    // error are collected together; input, when not empty, is the child's standard input.
    static Result run(const std::vector<std::string>& arguments, const std::string& input = {},
                      std::chrono::milliseconds timeout = kDefaultTimeout);

    // A started child whose standard input, output and error are /dev/null, for a caller that
    // watches it by polling. The owner ends a child that still runs when it lets go of it.
    class Child {
    public:
        Child(Child&& other) noexcept;
        Child& operator=(Child&& other) noexcept;
        Child(const Child&) = delete;
        Child& operator=(const Child&) = delete;
        ~Child();

        // Whether it still runs; collects its exit status once it has ended.
        bool running();
        // The exit code once it has ended, -1 when it ended by a signal or still runs.
        int exitStatus() const { return exitStatus_; }
        // Ends it (and whatever it started) and waits for it.
        void terminate();

    private:
        friend class Subprocess;
        explicit Child(pid_t pid) : pid_(pid) {}
        pid_t pid_ = -1;  // -1 once collected
        int exitStatus_ = -1;
    };

    // The descriptor by which a child started with a file of ours (spawn) has it open, and the
    // path by which the child opens that file again.
    static constexpr int kPassedDescriptor = 3;
    static constexpr const char* kPassedFilePath = "/dev/fd/3";

    // std::nullopt when the program cannot be started. When `passedFile` is an open descriptor
    // the child has that file open as kPassedDescriptor: a file handed over this way reaches the
    // child as the very file the caller holds, whatever has happened to the path it was made at.
    static std::optional<Child> spawn(const std::vector<std::string>& arguments, int passedFile = -1);

    // The first executable file named program in the directories of $PATH, or none.
    static std::optional<std::string> findInPath(const std::string& program);
};

}  // namespace platform
