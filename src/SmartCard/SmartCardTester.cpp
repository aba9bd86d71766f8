#include "SmartCard/SmartCardTester.h"

#include "Platform/Format.h"
#include "Platform/PlainLog.h"
#include "SmartCard/SmartCardManager.h"

namespace {

constexpr const char* kSelectMasterFile = "00 A4 00 00 02 3F 00";
constexpr const char* kSelectApplication = "00 A4 04 0C 08 A0 00 00 00 63 50 4B 43";
constexpr const char* kSelectFile1300 = "A0 A4 02 00 02 13 00";
constexpr const char* kSelectFile1200 = "A0 A4 02 00 02 12 00";
constexpr const char* kReadBinary = "A0 B0 00 00 00";
constexpr const char* kTestPin = "35 38 30 36";
constexpr const char* kVerifyPin = "A0 20 00 82 08 %@ FF FF FF FF";
constexpr const char* kSignDigits = "A0 2A 9E 9A 08 31 32 33 34 35 36 37 38 00";
// SHA-1 of the empty text: a fixed 20-byte digest.
constexpr const char* kSignDigest = "A0 2A 9E 9A 14 DA 39 A3 EE 5E 6B 4B 0D 32 55 BF EF 95 60 18 90 AF D8 07 09 00";
constexpr const char* kProbe = "80 00 00 00 FF";

// READ BINARY offsets are 15 bits; a card that keeps answering full blocks stops there.
constexpr unsigned kLastOffset = 0x7FFF;

std::string firstSlot(const std::shared_ptr<SmartCardManager>& manager) {
    auto names = manager->slotNames();
    return names.empty() ? std::string() : names.front();
}

void send(const std::shared_ptr<SmartCardManager>& manager, const std::string& slot, const char* id,
          const std::string& apdu) {
    (void)manager->sendApduString(apdu, slot, std::string(id));
}

std::string verifyPin() { return platform::format(kVerifyPin, kTestPin); }

}  // namespace

void SmartCardTester::run() { testSign(); }

void SmartCardTester::printSlot() {
    auto names = SmartCardManager::sharedManager()->slotNames();
    std::string list = "(";
    for (size_t i = 0; i < names.size(); ++i) list += (i ? ",\n    \"" : "\n    \"") + names[i] + "\"";
    list += names.empty() ? ")" : "\n)";
    platform::plainLog("%@", list);
}

void SmartCardTester::readPki() {
    auto manager = SmartCardManager::sharedManager();
    const std::string slot = firstSlot(manager);
    send(manager, slot, kSecondTestId, kSelectMasterFile);
    send(manager, slot, kSecondTestId, kSelectApplication);
    send(manager, slot, kSecondTestId, kSelectFile1300);
    send(manager, slot, kSecondTestId, kReadBinary);
    CommandAPDU command{std::string(kReadBinary)};
    std::optional<ResponseAPDU> reply = manager->sendApduCommand(command, slot, std::string(kSecondTestId));
    unsigned offset = 0;
    while (reply && reply->status() == 0x9000 && reply->replyData() && reply->replyData()->size() == 255) {
        offset += 255;
        if (offset > kLastOffset) break;
        command = CommandAPDU{platform::format("A0 B0 %02X %02X 00", offset >> 8, offset & 0xFF)};
        reply = manager->sendApduCommand(command, slot, std::string(kSecondTestId));
    }
}

void SmartCardTester::testTrasmit61xx() {
    auto manager = SmartCardManager::sharedManager();
    const std::string slot = firstSlot(manager);
    send(manager, slot, kSecondTestId, kSelectMasterFile);
    send(manager, slot, kSecondTestId, kSelectApplication);
    send(manager, slot, kSecondTestId, kSelectFile1200);
    send(manager, slot, kSecondTestId, verifyPin());
    send(manager, slot, kSecondTestId, kSignDigits);
}

void SmartCardTester::testMultSessionRead() {
    auto manager = SmartCardManager::sharedManager();
    auto names = manager->slotNames();
    if (names.empty()) {
        platform::plainLog("No slot available.... ");
        return;
    }
    testMultiSessionForSlot(names.front(), manager);
}

void SmartCardTester::testMultiSessionForSlot(const std::string& slotName, const std::shared_ptr<SmartCardManager>& manager) {
    send(manager, slotName, kFirstTestId, kSelectMasterFile);
    send(manager, slotName, kFirstTestId, kProbe);
    send(manager, slotName, kSecondTestId, kSelectMasterFile);
    send(manager, slotName, kSecondTestId, kProbe);
}

void SmartCardTester::testMultipleCard() {
    auto manager = SmartCardManager::sharedManager();
    auto names = manager->slotNames();
    if (names.size() < 2) return;
    testMultiSessionForSlot(names[0], manager);
    testMultiSessionForSlot(names[1], manager);
    testMultiSessionForSlot(names[0], manager);
}

void SmartCardTester::testVerifyPin() {
    auto manager = SmartCardManager::sharedManager();
    const std::string slot = firstSlot(manager);
    send(manager, slot, kSecondTestId, kSelectMasterFile);
    send(manager, slot, kSecondTestId, kSelectApplication);
    send(manager, slot, kSecondTestId, verifyPin());
}

void SmartCardTester::testSign() {
    auto manager = SmartCardManager::sharedManager();
    auto names = manager->slotNames();
    if (names.empty()) return;
    const std::string& slot = names.front();
    send(manager, slot, kSecondTestId, kSelectMasterFile);
    send(manager, slot, kSecondTestId, kSelectApplication);
    send(manager, slot, kSecondTestId, verifyPin());
    send(manager, slot, kSecondTestId, kSelectFile1200);
    send(manager, slot, kSecondTestId, kSignDigest);
}
