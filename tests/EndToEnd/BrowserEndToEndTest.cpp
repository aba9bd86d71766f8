// A real browser against the running program: headless Chromium loads a page of the allowed
// web site (https://signer.pellix.com, served by the test on 127.0.0.1 port 443 with a
// certificate from a test authority), trusts pellix's certificate through the NSS database
// pellix wrote when it made its identity, and the page's script calls the API with fetch -
// simple requests, since the program has no preflight handling. The page posts what it saw
// back to the test's server.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

extern char** environ;

#include "EndToEnd/E2eFixture.h"
#include "EndToEnd/PageServer.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kPageHtml = R"(<!doctype html>
<html><head><title>pellix browser test</title></head><body>
<script>
async function call(path) {
  try {
    // A string body makes a simple request (text/plain): the browser sends no preflight.
    const r = await fetch('https://localhost:31505/scard/' + path, {method: 'POST', body: '{}'});
    return {status: r.status, body: await r.json()};
  } catch (e) {
    return {error: String(e)};
  }
}
(async () => {
  const result = {origin: location.origin, version: await call('version'), list: await call('list')};
  await fetch('/result', {method: 'POST', body: JSON.stringify(result)});
  document.title = 'done';
})();
</script></body></html>
)";

// Runs a shell command; true when it exits 0.
bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

bool haveProgram(const std::string& name) { return run("command -v " + name + " >/dev/null 2>&1"); }

class BrowserTest : public PellixTest {};

TEST_F(BrowserTest, APageOfTheAllowedOriginCallsTheApiWithFetch) {
    for (const char* program : {"chromium", "certutil", "openssl"}) {
        if (!haveProgram(program)) {
            if (std::getenv("CI") && std::string(std::getenv("CI")) == "true") FAIL() << program << " is not installed";
            GTEST_SKIP() << program << " is not installed (run scripts/install-deps)";
        }
    }
    const std::string dir = pellix().root() + "/browser";
    fs::create_directories(dir);
    const std::string nssdb = "sql:" + pellix().home() + "/.pki/nssdb";
    ASSERT_TRUE(fs::exists(pellix().home() + "/.pki/nssdb")) << "pellix wrote no NSS database for the browsers";

    // A test authority and the site's certificate, trusted in the same database.
    const std::string q = "'" + dir + "'";
    ASSERT_TRUE(run("cd " + q + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                    " -keyout ca.key -out ca.pem -days 2 -subj /CN=pellix-e2e-authority"
                    " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign >/dev/null 2>&1"));
    ASSERT_TRUE(run("cd " + q + " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                    " -keyout site.key -out site.csr -subj /CN=signer.pellix.com >/dev/null 2>&1"
                    " && printf 'subjectAltName=DNS:signer.pellix.com\\nextendedKeyUsage=serverAuth\\n' > site.ext"
                    " && openssl x509 -req -in site.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
                    " -extfile site.ext -out site.pem >/dev/null 2>&1"));
    ASSERT_TRUE(run("certutil -d " + nssdb + " -A -t C,, -n pellix-e2e-authority -i " + q + "/ca.pem"));

    PageServer site(dir + "/site.pem", dir + "/site.key", kPageHtml);
    if (!site.start(443)) {
        if (std::getenv("CI") && std::string(std::getenv("CI")) == "true") FAIL() << site.error();
        GTEST_SKIP() << site.error();
    }

    // Everything the child needs is made before the fork: the page server's threads run.
    const std::string home = pellix().home();
    const std::string log = dir + "/chromium.log";
    const std::string profile = "--user-data-dir=" + dir + "/profile";
    std::vector<std::string> env = {"HOME=" + home};
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("HOME=", 0) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                     "--disable-background-networking", "--disable-component-update",
                                     "--disable-sync", "--disable-quic", "--disable-dev-shm-usage", profile,
                                     "--host-resolver-rules=MAP signer.pellix.com 127.0.0.1",
                                     "https://signer.pellix.com/"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t browser = ::fork();
    ASSERT_GE(browser, 0);
    if (browser == 0) {
        ::setpgid(0, 0);
        // The browser ends with the test program, whatever ends it, and holds none of its
        // descriptors: a browser left running with the machine-wide test lock open would keep
        // every other real-stack run waiting.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null = ::open("/dev/null", O_RDWR);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(null, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::close_range(3, ~0U, 0);
        ::execvpe("chromium", argv.data(), envp.data());
        ::_exit(127);
    }
    const auto result = site.waitForResult(60s);
    ::kill(-browser, SIGKILL);
    ::waitpid(browser, nullptr, 0);
    site.stop();
    ASSERT_TRUE(result) << "the page posted no result; chromium said:\n" << readFile(dir + "/chromium.log");

    const json seen = json::parse(*result, nullptr, false);
    std::cout << "the page saw: " << *result << "\n";
    ASSERT_TRUE(seen.is_object()) << *result;
    EXPECT_EQ(seen.value("origin", ""), kAllowedOrigin);
    EXPECT_EQ(seen["version"], json({{"status", 200}, {"body", {{"version", "1.4.0"}}}})) << seen.dump(2);
    ASSERT_EQ(seen["list"].value("status", 0), 200) << seen.dump(2);
    const json& list = seen["list"]["body"];
    EXPECT_TRUE(list.contains("errorcode") && list.contains("errordetail") && list["readers"].is_array()) << list.dump();
}

}  // namespace
}  // namespace e2e
