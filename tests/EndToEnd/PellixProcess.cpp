#include "EndToEnd/PellixProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kBeginCertificate = "-----BEGIN CERTIFICATE-----";
constexpr const char* kEndCertificate = "-----END CERTIFICATE-----";

// The local addresses that listen on the port, read from one of /proc/net/tcp or tcp6
// (state 0A is LISTEN; the local address is "HEXADDR:HEXPORT").
std::vector<std::string> listeningAddresses(const char* table) {
    std::vector<std::string> found;
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // column titles
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, "%04X", kPort);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (!(fields >> slot >> local >> remote >> state)) continue;
        const auto colon = local.rfind(':');
        if (colon == std::string::npos || state != "0A") continue;
        if (local.substr(colon + 1) == wanted) found.push_back(local.substr(0, colon));
    }
    return found;
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
    for (const auto& v : list) {
        if (v == value) return true;
    }
    return false;
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

bool PellixProcess::portListening() {
    const auto v4 = listeningAddresses("/proc/net/tcp");
    const auto v6 = listeningAddresses("/proc/net/tcp6");
    const bool loopback4 = contains(v4, "0100007F") || contains(v4, "00000000");
    const bool loopback6 = contains(v6, "00000000000000000000000001000000") ||
                           contains(v6, "00000000000000000000000000000000");
    return loopback4 && loopback6;
}

bool PellixProcess::portTaken() {
    return !listeningAddresses("/proc/net/tcp").empty() || !listeningAddresses("/proc/net/tcp6").empty();
}

PellixProcess::PellixProcess() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/pellix-e2e-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        error_ = std::string("mkdtemp failed: ") + std::strerror(errno);
        return;
    }
    root_ = buffer.data();
    home_ = root_ + "/home";
    dataHome_ = root_ + "/data";
    tmpDir_ = root_ + "/tmp";
    for (const auto& dir : {home_, dataHome_, tmpDir_}) ::mkdir(dir.c_str(), 0700);
}

PellixProcess::~PellixProcess() {
    stop();
    if (!root_.empty()) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
}

bool PellixProcess::start(std::chrono::milliseconds limit) {
    if (root_.empty()) return false;
    // Another run of the suite (or a pellix started by hand) may hold the port for a while.
    const auto portDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (portTaken()) {
        if (std::chrono::steady_clock::now() > portDeadline) {
            error_ = "port 31505 is taken by another process (a pellix left running?)";
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }

    // The child's environment: ours, with the private directories and without the colour
    // switches of the standard-error logger.
    std::vector<std::string> env;
    std::string ubsanOptions;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "HOME" || name == "XDG_DATA_HOME" || name == "TMPDIR" || name == "XcodeColors") continue;
        if (name == "UBSAN_OPTIONS" && typeCheckReportsPass_) {
            ubsanOptions = entry.substr(name.size() + 1);
            continue;
        }
        env.push_back(entry);
    }
    // The last setting of an option wins.
    if (typeCheckReportsPass_)
        env.push_back("UBSAN_OPTIONS=" + (ubsanOptions.empty() ? std::string() : ubsanOptions + ":") + "halt_on_error=0");
    env.push_back("HOME=" + home_);
    env.push_back("XDG_DATA_HOME=" + dataHome_);
    env.push_back("TMPDIR=" + tmpDir_);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string out = root_ + "/stdout.log";
    const std::string err = root_ + "/stderr.log";
    const pid_t parent = ::getpid();
    const auto started = std::chrono::steady_clock::now();
    pid_ = ::fork();
    if (pid_ < 0) {
        error_ = std::string("fork failed: ") + std::strerror(errno);
        return false;
    }
    if (pid_ == 0) {
        // The program must not outlive a test that crashes: it would keep the port.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int n = ::open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || n < 0) ::_exit(127);
        ::dup2(n, 0);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::chdir(root_.c_str());
        if (descriptorLimit_ != 0) {
            const rlimit descriptors{descriptorLimit_, descriptorLimit_};
            if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) ::_exit(127);
        }
        char* argv[] = {const_cast<char*>(PELLIX_BINARY), nullptr};
        ::execve(PELLIX_BINARY, argv, envp.data());
        ::_exit(127);
    }

    const auto deadline = started + limit;
    while (true) {
        if (portListening()) {
            startToListening_ =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
            return true;
        }
        if (!running()) {
            error_ = "pellix exited before it listened; standard error:\n" + standardError();
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            error_ = "pellix did not listen on 127.0.0.1 and ::1 port 31505 in time; standard error:\n" +
                     standardError();
            return false;
        }
        std::this_thread::sleep_for(500us);
    }
}

bool PellixProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        pid_ = -1;
        return false;
    }
    return r == 0;
}

void PellixProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(5ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string PellixProcess::standardOutput() const { return readFile(root_ + "/stdout.log"); }
std::string PellixProcess::standardError() const { return readFile(root_ + "/stderr.log"); }

int PellixProcess::certificatesWritten() const {
    const std::string out = standardOutput();
    int count = 0;
    for (auto at = out.find(kBeginCertificate); at != std::string::npos; at = out.find(kBeginCertificate, at + 1)) {
        ++count;
    }
    return count;
}

std::optional<std::string> PellixProcess::certificateFile() const {
    const std::string out = standardOutput();
    const auto begin = out.rfind(kBeginCertificate);
    const auto end = begin == std::string::npos ? begin : out.find(kEndCertificate, begin);
    if (end != std::string::npos) {
        const std::string path = root_ + "/pellix-certificate.pem";
        if (writeFile(path, out.substr(begin, end + std::strlen(kEndCertificate) - begin) + "\n")) return path;
    }
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dataHome_, ec), last; !ec && it != last; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > 9 && name.ends_with(".cert.pem")) return it->path().string();
    }
    return std::nullopt;
}

int PellixProcess::certificatesInStore() const {
    int count = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dataHome_, ec), last; !ec && it != last; it.increment(ec)) {
        if (it->path().filename().string().ends_with(".cert.pem")) ++count;
    }
    return count;
}

}  // namespace e2e
