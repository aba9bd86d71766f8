#include "Platform/CardService/PcscSmartCard.h"

#include <PCSC/pcsclite.h>

#include "Platform/CardService/PcscError.h"
#include "Platform/CardService/ShortApdu.h"
#include "Platform/Format.h"

namespace platform {
namespace {

// A reply of the largest short APDU answer plus room for the extended ones some readers give.
constexpr size_t kMaxReply = 65536 + 2;
// A card that keeps answering 61xx is cut off after this much data.
constexpr size_t kMaxChainedData = 65536;

Error noSession() { return pcscError(SCARD_E_INVALID_HANDLE); }

}  // namespace

PcscSmartCard::PcscSmartCard(std::string readerName)
    : readerName_(std::move(readerName)), queue_(DispatchQueue::createSerial("pellix.pcsc.card")) {}

PcscSmartCard::~PcscSmartCard() { close(); }

void PcscSmartCard::beginSession(BeginReply reply) {
    auto self = shared_from_this();
    queue_->async([self, reply = std::move(reply)] {
        if (self->open_) {
            reply(true, std::nullopt);
            return;
        }
        LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &self->context_);
        if (rv != SCARD_S_SUCCESS) {
            self->context_ = 0;
            reply(false, pcscError(rv));
            return;
        }
        rv = SCardConnect(self->context_, self->readerName_.c_str(), SCARD_SHARE_SHARED,
                          SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &self->handle_, &self->protocol_);
        if (rv == SCARD_S_SUCCESS) {
            rv = SCardBeginTransaction(self->handle_);
            if (rv != SCARD_S_SUCCESS) {
                SCardDisconnect(self->handle_, SCARD_LEAVE_CARD);
                self->handle_ = 0;
            }
        }
        if (rv != SCARD_S_SUCCESS) {
            SCardReleaseContext(self->context_);
            self->context_ = 0;
            reply(false, pcscError(rv));
            return;
        }
        self->open_ = true;
        reply(true, std::nullopt);
    });
}

LONG PcscSmartCard::transmit(const Bytes& apdu, Bytes& reply) {
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    reply.assign(kMaxReply, 0);
    DWORD length = static_cast<DWORD>(reply.size());
    LONG rv = SCardTransmit(handle_, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, reply.data(), &length);
    reply.resize(rv == SCARD_S_SUCCESS ? length : 0);
    return rv;
}

void PcscSmartCard::sendIns(uint8_t ins, uint8_t p1, uint8_t p2, std::optional<Bytes> data, std::optional<int> le,
                            SendReply reply) {
    auto self = shared_from_this();
    const uint8_t cla = this->cla();
    queue_->async([self, cla, ins, p1, p2, data = std::move(data), le, reply = std::move(reply)] {
        if (!self->open_) {
            reply(std::nullopt, 0, noSession());
            return;
        }
        std::optional<Bytes> apdu = shortApdu(cla, ins, p1, p2, data, le);
        if (!apdu) {
            reply(std::nullopt, 0, pcscError(SCARD_E_INVALID_PARAMETER));
            return;
        }
        Bytes answer;
        LONG rv = self->transmit(*apdu, answer);
        // A card that asks for the right Le gets the command again with it.
        if (rv == SCARD_S_SUCCESS && answer.size() == 2 && answer[0] == 0x6C) {
            std::optional<Bytes> again = shortApdu(cla, ins, p1, p2, data, answer[1] == 0 ? 256 : answer[1]);
            if (again) rv = self->transmit(*again, answer);
        }
        Bytes collected;
        // Reply data waiting on the card is fetched with GET RESPONSE until the card is done.
        while (rv == SCARD_S_SUCCESS && answer.size() >= 2 && answer[answer.size() - 2] == 0x61 &&
               collected.size() < kMaxChainedData) {
            collected.insert(collected.end(), answer.begin(), answer.end() - 2);
            const uint8_t more = answer.back();
            Bytes getResponse{cla, 0xC0, 0x00, 0x00, more};
            rv = self->transmit(getResponse, answer);
        }
        if (rv != SCARD_S_SUCCESS) {
            reply(std::nullopt, 0, pcscError(rv));
            return;
        }
        if (answer.size() < 2) {
            reply(std::nullopt, 0, pcscError(SCARD_F_COMM_ERROR));
            return;
        }
        collected.insert(collected.end(), answer.begin(), answer.end() - 2);
        const uint16_t sw = static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
        reply(collected.empty() ? std::nullopt : std::optional<Bytes>(std::move(collected)), sw, std::nullopt);
    });
}

void PcscSmartCard::close() {
    if (handle_) {
        if (open_) SCardEndTransaction(handle_, SCARD_LEAVE_CARD);
        SCardDisconnect(handle_, SCARD_LEAVE_CARD);
        handle_ = 0;
    }
    if (context_) {
        SCardReleaseContext(context_);
        context_ = 0;
    }
    open_ = false;
}

void PcscSmartCard::endSession() {
    if (DispatchQueue::current() == queue_.get()) {
        close();
        return;
    }
    auto self = shared_from_this();
    queue_->sync([self] { self->close(); });
}

std::string PcscSmartCard::describe() const { return format("<SmartCard %@>", readerName_); }

}  // namespace platform
