// The real HTTP clients of the server tests, curl and Python's urllib, run as programs. A
// client that is not installed fails the test: scripts/install-deps installs both.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Keychain/Subprocess.h"

namespace real_clients {

struct Run {
    int exitStatus = -1;
    std::string output;     // standard output and error together
    bool timedOut = false;  // it ran past its time limit and was ended
};

// Runs the program found in $PATH with the arguments; a missing program fails the test.
inline Run run(const std::string& program, const std::vector<std::string>& arguments, const std::string& input = {}) {
    const std::optional<std::string> path = platform::Subprocess::findInPath(program);
    if (!path) {
        ADD_FAILURE() << program << " is not installed (scripts/install-deps installs it)";
        return {};
    }
    std::vector<std::string> argv{*path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const platform::Subprocess::Result result = platform::Subprocess::run(argv, input);
    if (!result.started) ADD_FAILURE() << program << " did not start: " << result.output;
    return {result.exitStatus, result.output, result.timedOut};
}

// curl with the arguments, silent but for errors; "-w %{http_code}" makes the output end with
// the last status code.
inline Run curl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--silent", "--show-error", "--max-time", "60"});
    return run("curl", arguments);
}

// The last status code of a curl run made with "-w %{http_code}".
inline int statusOf(const Run& run) {
    return run.output.size() >= 3 ? std::atoi(run.output.c_str() + run.output.size() - 3) : 0;
}

// Python 3 running a script given on its standard input.
inline Run python(const std::string& script, const std::vector<std::string>& arguments = {}) {
    std::vector<std::string> args{"-"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return run("python3", args, script);
}

}  // namespace real_clients
