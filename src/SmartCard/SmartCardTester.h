// A developer routine that drives the shared card manager directly, without the web API,
// against the first listed reader: session handling, chained reads and PIN verification on
// a test card. The running program never calls it; the tests do.
//
// Every method runs on the caller's thread and blocks as the card manager does. The replies
// are ignored except where a method says otherwise; nothing is logged beyond what the card
// manager logs.
#pragma once

#include <memory>
#include <string>

class SmartCardManager;

class SmartCardTester {
public:
    static constexpr const char* kFirstTestId = "1001";
    static constexpr const char* kSecondTestId = "2002";

    // Runs testSign.
    void run();
    // Logs the manager's reader names.
    void printSlot();
    // Selects the master file, the application and file 1300 and reads it whole: read binary
    // again from offset 255, 510, ... while the card answers 9000 with exactly 255 bytes.
    void readPki();
    void testTrasmit61xx();
    void testMultSessionRead();
    // Select and a probe under the first test id, then the same under the second one.
    void testMultiSessionForSlot(const std::string& slotName, const std::shared_ptr<SmartCardManager>& manager);
    // With two readers at least: reader 1, reader 2, reader 1 again.
    void testMultipleCard();
    void testVerifyPin();
    void testSign();
};
