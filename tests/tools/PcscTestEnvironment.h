// The real-stack card tests need pcscd with the vpcd driver's two virtual readers. Without
// them a test skips with a clear message - except in CI (CI=true), where it fails, so that a
// broken test set-up cannot pass unnoticed.
#pragma once

#include <PCSC/winscard.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace testcard {

inline constexpr const char* kFirstReader = "Virtual PCD 00 00";
inline constexpr const char* kSecondReader = "Virtual PCD 00 01";

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

// Waits until pcscd sees both virtual readers empty: a card that an earlier test removed
// takes pcscd a moment to notice. False when they are not empty within the time-out.
inline bool waitForEmptyReaders(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool empty = false;
    while (!empty && std::chrono::steady_clock::now() < deadline) {
        SCARD_READERSTATE states[2] = {};
        states[0].szReader = kFirstReader;
        states[1].szReader = kSecondReader;
        SCardGetStatusChange(context, 0, states, 2);
        empty = (states[0].dwEventState & SCARD_STATE_EMPTY) && (states[1].dwEventState & SCARD_STATE_EMPTY);
        if (!empty) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    SCardReleaseContext(context);
    return empty;
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
        ASSERT_TRUE(::testcard::waitForEmptyReaders()) << "the virtual readers still hold a card";      \
    } while (0)
