#include "Model/CardSessionInfo.h"

#include "Platform/Format.h"

std::string CardSessionInfo::description() const {
    return platform::format("@CardSessionInfo [slot: %@, sessionId: %@, opened: %@]", slotName_, sessionId_,
                            opened_ ? "YES" : "NO");
}
