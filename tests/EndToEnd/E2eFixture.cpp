#include "EndToEnd/E2eFixture.h"

#include <sys/socket.h>

#include <iostream>

#include "tools/LoopbackClient.h"

namespace e2e {

using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

int rawConnection() {
    const int fd = testtools::connectClient(kPort);
    if (fd < 0) return -1;
    const timeval patience{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    return fd;
}

void PellixTest::SetUpTestSuite() {
    setUpError_.clear();
    process_ = std::make_unique<PellixProcess>();
    if (!process_->start()) {
        setUpError_ = process_->error();
        return;
    }
    // The first connection makes the identity; it cannot verify what does not exist yet.
    HttpsClient first(HttpsClient::Options::anyCertificate());
    const HttpReply reply = first.get("/");
    if (reply.status != 200) {
        setUpError_ = "the first connection got no page (" + reply.error + "); standard error:\n" +
                      process_->standardError();
        return;
    }
    const auto file = process_->certificateFile();
    if (!file) {
        setUpError_ = "pellix served TLS but left no certificate in its store or on standard output";
        return;
    }
    certificate_ = *file;
}

void PellixTest::TearDownTestSuite() {
    const auto* suite = ::testing::UnitTest::GetInstance()->current_test_suite();
    if (process_ && suite && suite->Failed()) {
        std::cerr << "---- pellix standard error ----\n" << process_->standardError() << "---- end ----\n";
    }
    process_.reset();
}

void PellixTest::SetUp() {
    ASSERT_TRUE(setUpError_.empty()) << setUpError_;
    ASSERT_TRUE(process_ && process_->running()) << "pellix is not running; standard error:\n"
                                                 << (process_ ? process_->standardError() : "");
}

void PellixTest::TearDown() {
    if (!setUpError_.empty() || !process_) return;
    EXPECT_TRUE(process_->running()) << "pellix ended during the test; standard error:\n" << process_->standardError();
    const std::string err = process_->standardError();
    for (const char* mark : {"ERROR: AddressSanitizer", "runtime error:", "WARNING: ThreadSanitizer"}) {
        EXPECT_EQ(err.find(mark), std::string::npos) << "pellix reported " << mark << ":\n" << err;
    }
}

std::unique_ptr<HttpsClient> PellixTest::connect(const std::string& address) const {
    return std::make_unique<HttpsClient>(HttpsClient::Options::trusting(certificate_, address));
}

}  // namespace e2e
