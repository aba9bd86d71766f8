// Runs an external program to completion without a shell: the given arguments, the given bytes
// on its standard input, its standard output and error collected together. Used for the NSS
// certutil tool. Blocks the calling thread until the program ends; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

class Subprocess {
public:
    struct Result {
        bool started = false;  // false: the program could not be run at all (see output)
        int exitStatus = -1;   // the exit code, or -1 when it ended by a signal
        std::string output;    // standard output and error, at most kOutputLimit bytes
    };
    static constexpr size_t kOutputLimit = 64 * 1024;

    // arguments[0] is the program's path.
    static Result run(const std::vector<std::string>& arguments, const std::string& input = {});

    // The first executable file named program in the directories of $PATH, or none.
    static std::optional<std::string> findInPath(const std::string& program);
};

}  // namespace platform
