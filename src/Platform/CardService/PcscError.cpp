#include "Platform/CardService/PcscError.h"

#include <PCSC/pcsclite.h>

namespace platform {

Error pcscError(LONG code) {
    return Error{kPcscErrorDomain, static_cast<long>(code), pcsc_stringify_error(code), ""};
}

}  // namespace platform
