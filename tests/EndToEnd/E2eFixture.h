// The fixture of the end-to-end suites: one running pellix per test suite, whose identity
// has been made by a first connection, and a verifying HTTPS client for each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "EndToEnd/HttpsClient.h"
#include "EndToEnd/PellixProcess.h"

namespace e2e {

class PellixTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    // The program must have survived the test: a crash (or a sanitizer's abort) fails it.
    void TearDown() override;

    // A new connection that trusts pellix's certificate only.
    std::unique_ptr<HttpsClient> connect(const std::string& address = "127.0.0.1") const;

    static PellixProcess& pellix() { return *process_; }
    static const std::string& certificate() { return certificate_; }

private:
    static inline std::unique_ptr<PellixProcess> process_;
    static inline std::string certificate_;
    static inline std::string setUpError_;
};

// Polls the condition every 20 ms until it holds or the limit has passed.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

// A raw TCP connection to 127.0.0.1:31505, whose blocking sends and receives give up after
// 5 s; -1 when it cannot be made.
int rawConnection();

}  // namespace e2e
