// The card object of the PC/SC backend. A session is a connection to the reader in shared
// mode plus a PC/SC transaction, so that the card is this program's alone from
// beginSession to endSession and free for other programs (gpg-agent, browsers) outside it.
//
// Each card object has a serial queue of its own: beginSession and sendIns run there and
// reply there; endSession waits for that queue (inline when called on it).
#pragma once

#include <PCSC/winscard.h>

#include <memory>
#include <mutex>
#include <string>

#include "Platform/CardService/SmartCard.h"
#include "Platform/Dispatch/DispatchQueue.h"

namespace platform {

class PcscSmartCard : public SmartCard, public std::enable_shared_from_this<PcscSmartCard> {
public:
    explicit PcscSmartCard(std::string readerName);
    ~PcscSmartCard() override;

    void beginSession(BeginReply reply) override;
    void sendIns(uint8_t ins, uint8_t p1, uint8_t p2, std::optional<Bytes> data, std::optional<int> le,
                 SendReply reply) override;
    void endSession() override;
    std::string describe() const override;

private:
    // Runs on queue_ only.
    void close();
    LONG transmit(const Bytes& apdu, Bytes& reply);

    const std::string readerName_;
    const std::shared_ptr<DispatchQueue> queue_;
    // Touched on queue_ only (and by the destructor, when nothing else can run).
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE handle_ = 0;
    DWORD protocol_ = 0;
    bool open_ = false;
};

}  // namespace platform
