#include "Platform/CardService/PcscError.h"

#include <PCSC/pcsclite.h>

namespace platform {

Error pcscError(LONG code) {
    return Error{kPcscErrorDomain, static_cast<long>(code), pcsc_stringify_error(code), ""};
}

bool pcscServiceLost(LONG code) {
    return code == SCARD_E_NO_SERVICE || code == SCARD_E_SERVICE_STOPPED || code == SCARD_E_INVALID_HANDLE ||
           code == SCARD_F_COMM_ERROR;
}

}  // namespace platform
