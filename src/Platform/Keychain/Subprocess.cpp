#include "Platform/Keychain/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace platform {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// A program that exits before reading all its input must not kill us with SIGPIPE. The signal is
// blocked in this thread only (the process's disposition is left alone) and a pending one is
// consumed before the mask is restored.
ssize_t writeWithoutSigpipe(int fd, const char* data, size_t size) {
    sigset_t pipeSet, previous;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
    ssize_t n = ::write(fd, data, size);
    int err = errno;
    if (n < 0 && err == EPIPE) {
        struct timespec zero{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = err;
    return n;
}

}  // namespace

Subprocess::Result Subprocess::run(const std::vector<std::string>& arguments, const std::string& input) {
    Result result;
    if (arguments.empty()) {
        result.output = "no program given";
        return result;
    }
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        result.output = std::string("cannot make a pipe: ") + std::strerror(errno);
        closeFd(in[0]);
        closeFd(in[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);

    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    closeFd(in[0]);
    closeFd(out[1]);
    if (rc != 0) {
        result.output = "cannot run " + arguments[0] + ": " + std::strerror(rc);
        closeFd(in[1]);
        closeFd(out[0]);
        return result;
    }
    result.started = true;
    // Our end of the input pipe must not block: a blocking write of more than the pipe holds
    // would wait for a child that is itself waiting for us to read its output.
    ::fcntl(in[1], F_SETFL, ::fcntl(in[1], F_GETFL) | O_NONBLOCK);

    // Feed the input and drain the output together, so neither side can fill a pipe and stall.
    size_t written = 0;
    if (input.empty()) closeFd(in[1]);
    while (out[0] >= 0) {
        struct pollfd fds[2];
        nfds_t count = 0;
        fds[count++] = {out[0], POLLIN, 0};
        if (in[1] >= 0) fds[count++] = {in[1], POLLOUT, 0};
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (count > 1 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = writeWithoutSigpipe(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if ((n < 0 && errno != EINTR && errno != EAGAIN) || written == input.size()) closeFd(in[1]);
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            char buffer[4096];
            ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                closeFd(out[0]);
            } else if (result.output.size() < kOutputLimit) {
                result.output.append(buffer, std::min(static_cast<size_t>(n), kOutputLimit - result.output.size()));
            }
        }
    }
    closeFd(in[1]);
    closeFd(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return result;
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::optional<std::string> Subprocess::findInPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty()) {
            std::string candidate = dir + "/" + program;
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace platform
