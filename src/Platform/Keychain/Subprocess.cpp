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
#include <thread>

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

// Starts arguments[0] in a session of its own (no controlling terminal), with a plain signal
// state, and with the descriptors the caller's file actions set up. 0 or the spawn error.
int spawnProcess(const std::vector<std::string>& arguments, posix_spawn_file_actions_t* actions, pid_t& pid) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    // Ignored signals stay ignored across exec; a tool must not inherit our SIGPIPE handling.
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = ::posix_spawn(&pid, argv[0], actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return rc;
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Ends the child's whole process group (the child leads it) and collects the child.
int killAndReap(pid_t pid) {
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return exitCodeOf(status);
}

// Collects the child if it has ended; its exit code, or none while it runs.
std::optional<int> tryReap(pid_t pid) {
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r == 0) return std::nullopt;
    return r == pid ? exitCodeOf(status) : -1;
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 60000));
}

}  // namespace

Subprocess::Result Subprocess::run(const std::vector<std::string>& arguments, const std::string& input,
                                   std::chrono::milliseconds timeout) {
    Result result;
    if (arguments.empty()) {
        result.output = "no program given";
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if ((!input.empty() && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(out, O_CLOEXEC) != 0) {
        result.output = std::string("cannot make a pipe: ") + std::strerror(errno);
        closeFd(in[0]);
        closeFd(in[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in[0] >= 0) {
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    pid_t pid = -1;
    int rc = spawnProcess(arguments, &actions, pid);
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
    if (in[1] >= 0) ::fcntl(in[1], F_SETFL, ::fcntl(in[1], F_GETFL) | O_NONBLOCK);

    // Feed the input and drain the output together, so neither side can fill a pipe and stall.
    size_t written = 0;
    while (out[0] >= 0) {
        const int wait = remainingMs(deadline);
        if (wait == 0) {
            result.timedOut = true;
            break;
        }
        struct pollfd fds[2];
        nfds_t count = 0;
        fds[count++] = {out[0], POLLIN, 0};
        if (in[1] >= 0) fds[count++] = {in[1], POLLOUT, 0};
        if (::poll(fds, count, wait) < 0) {
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
    // The output has ended; the child may still be on its way out (or have closed its output
    // and gone on running).
    std::optional<int> exit;
    while (!result.timedOut && !(exit = tryReap(pid))) {
        if (remainingMs(deadline) == 0) {
            result.timedOut = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (result.timedOut) {
        killAndReap(pid);
        result.exitStatus = -1;
    } else {
        result.exitStatus = *exit;
    }
    return result;
}

std::optional<Subprocess::Child> Subprocess::spawn(const std::vector<std::string>& arguments, int passedFile) {
    if (arguments.empty()) return std::nullopt;
    // A file on a number the child's own descriptors take is handed over from another number:
    // the child's standard streams would overwrite it first, and a dup2 onto its own number
    // would leave it close-on-exec.
    int renumbered = -1;
    if (passedFile >= 0 && passedFile <= kPassedDescriptor) {
        renumbered = ::fcntl(passedFile, F_DUPFD_CLOEXEC, kPassedDescriptor + 1);
        if (renumbered < 0) return std::nullopt;
        passedFile = renumbered;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (passedFile >= 0) posix_spawn_file_actions_adddup2(&actions, passedFile, kPassedDescriptor);
    pid_t pid = -1;
    int rc = spawnProcess(arguments, &actions, pid);
    posix_spawn_file_actions_destroy(&actions);
    if (renumbered >= 0) ::close(renumbered);
    if (rc != 0) return std::nullopt;
    return Child(pid);
}

Subprocess::Child::Child(Child&& other) noexcept : pid_(other.pid_), exitStatus_(other.exitStatus_) {
    other.pid_ = -1;
}

Subprocess::Child& Subprocess::Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        terminate();
        pid_ = other.pid_;
        exitStatus_ = other.exitStatus_;
        other.pid_ = -1;
    }
    return *this;
}

Subprocess::Child::~Child() { terminate(); }

bool Subprocess::Child::running() {
    if (pid_ < 0) return false;
    auto exit = tryReap(pid_);
    if (!exit) return true;
    exitStatus_ = *exit;
    pid_ = -1;
    return false;
}

void Subprocess::Child::terminate() {
    if (pid_ < 0) return;
    if (running()) {
        killAndReap(pid_);
        exitStatus_ = -1;
        pid_ = -1;
    }
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
