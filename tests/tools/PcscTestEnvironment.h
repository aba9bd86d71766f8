// The real-stack card tests need pcscd with the vpcd driver's two virtual readers. Without
// them a test skips with a clear message - except in CI (CI=true), where it fails, so that a
// broken test set-up cannot pass unnoticed. With them, every test starts with both readers
// idle, whatever the test before it left behind.
#pragma once

#include <PCSC/winscard.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tools/VirtualReaders.h"

namespace testcard {

// Empty when pcscd answers and lists both virtual readers; otherwise what is missing.
inline std::string pcscProblem() {
    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) return std::string("pcscd is not reachable: ") + pcsc_stringify_error(rv);
    DWORD length = 0;
    rv = SCardListReaders(context, nullptr, nullptr, &length);
    std::vector<char> buffer(length + 1, '\0');
    if (rv == SCARD_S_SUCCESS) rv = SCardListReaders(context, nullptr, buffer.data(), &length);
    SCardReleaseContext(context);
    if (rv != SCARD_S_SUCCESS) return std::string("pcscd lists no readers: ") + pcsc_stringify_error(rv);
    bool first = false, second = false;
    for (const char* p = buffer.data(); *p; p += std::strlen(p) + 1) {
        first = first || std::string(p) == kFirstReader;
        second = second || std::string(p) == kSecondReader;
    }
    if (!first || !second) return "pcscd does not list the vsmartcard-vpcd readers";
    return "";
}

inline bool runningInCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

}  // namespace testcard

// In a test body: skips (or, in CI, fails) when the real card stack is not there.
#define PELLIX_REQUIRE_PCSC()                                                                          \
    do {                                                                                               \
        const std::string problem_ = ::testcard::pcscProblem();                                        \
        if (!problem_.empty()) {                                                                       \
            if (::testcard::runningInCi()) FAIL() << problem_ << " (run scripts/start-test-services)"; \
            GTEST_SKIP() << problem_ << " (run scripts/start-test-services)";                          \
        }                                                                                              \
        const std::string busy_ = ::testcard::waitForIdleReaders(                                      \
            {::testcard::kFirstVirtualReader, ::testcard::kSecondVirtualReader});                      \
        ASSERT_EQ(busy_, "") << "the virtual readers are not idle";                                    \
    } while (0)
