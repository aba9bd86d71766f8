// Internal to the connection's implementation files (HTTPConnection*.cpp), not part of its
// interface: the name its log lines begin with, and small helpers every part uses.
#pragma once

#include <memory>
#include <string_view>

#include "Core/HTTPConnection.h"
#include "Core/detail/HTTPText.h"

// Every part of the connection logs as "HTTPConnection[0x...]: ", whichever file it is in.
#undef THIS_FILE
#define THIS_FILE (std::string_view("HTTPConnection"))

#include "Logging/LxLogMacros.h"

namespace core_detail {

inline std::shared_ptr<const ByteBuffer> bytesOf(std::string_view text) {
    return std::make_shared<const ByteBuffer>(text.begin(), text.end());
}

}  // namespace core_detail
