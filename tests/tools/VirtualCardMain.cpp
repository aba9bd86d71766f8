// pellix-virtual-card: the virtual test card as a program of its own, for trying pellix on a
// machine without a card reader. It plugs into the first virtual reader of the vpcd driver
// ("Virtual PCD 00 00"; --second for "Virtual PCD 00 01") and stays inserted until stopped.
//
// It answers like a small card: VERIFY (INS 20) with the PIN 31 32 33 34 ("1234") gives 90 00
// and any other PIN 63 C3; GET CHALLENGE (INS 84) gives Le (8 when 0) random bytes and 90 00;
// every other command gives 90 00.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

#include "tools/VirtualCard.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

testcard::Bytes answer(const testcard::Bytes& command) {
    if (command.size() >= 4 && command[1] == 0x20) {
        const testcard::Bytes pin{0x31, 0x32, 0x33, 0x34};
        bool ok = command.size() == 9 && command[4] == 4 && testcard::Bytes(command.begin() + 5, command.end()) == pin;
        return ok ? testcard::Bytes{0x90, 0x00} : testcard::Bytes{0x63, 0xC3};
    }
    if (command.size() >= 4 && command[1] == 0x84) {
        size_t length = command.size() >= 5 && command[4] != 0 ? command[4] : 8;
        static std::random_device random;
        testcard::Bytes reply(length);
        for (auto& b : reply) b = static_cast<uint8_t>(random());
        reply.push_back(0x90);
        reply.push_back(0x00);
        return reply;
    }
    return {0x90, 0x00};
}

}  // namespace

int main(int argc, char** argv) {
    bool second = argc > 1 && std::strcmp(argv[1], "--second") == 0;
    testcard::VirtualCard card(second ? testcard::VirtualCard::kSecondReaderPort : testcard::VirtualCard::kFirstReaderPort);
    card.setHandler(answer);
    if (!card.insert()) {
        std::fprintf(stderr, "pellix-virtual-card: the virtual reader holds a card or does not answer (is pcscd with vsmartcard-vpcd running?)\n");
        return 1;
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::printf("pellix-virtual-card: inserted in \"Virtual PCD 00 0%d\"; stop with Ctrl-C\n", second ? 1 : 0);
    std::fflush(stdout);
    while (!stopRequested && card.inserted()) ::usleep(100 * 1000);
    card.remove();
    return 0;
}
