#include "Platform/BundleInfo.h"

#include "Platform/BuildInfo.h"

namespace platform {

std::string BundleInfo::version() { return buildinfo::kVersion; }

}  // namespace platform
