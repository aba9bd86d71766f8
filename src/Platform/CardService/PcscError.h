// The error value of a failed PC/SC call: the PC/SC code and pcsc-lite's text for it.
#pragma once

#include <PCSC/winscard.h>

#include "Platform/Error.h"

namespace platform {

inline constexpr const char* kPcscErrorDomain = "PCSCErrorDomain";

Error pcscError(LONG code);

}  // namespace platform
