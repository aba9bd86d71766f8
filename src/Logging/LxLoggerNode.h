// The hub's entry for one registered logger: the logger and the serial queue it is called on.
// Both are held strongly, so a registered logger lives at least as long as its entry.
// Made and read on the hub's queue only.
#pragma once

#include <memory>

#include "Logging/LxLogger.h"
#include "Platform/Dispatch/DispatchQueue.h"

class LxLoggerNode {
public:
    static std::shared_ptr<LxLoggerNode> nodeWithLogger(std::shared_ptr<LxLogger> logger,
                                                        std::shared_ptr<platform::DispatchQueue> loggerQueue);
    LxLoggerNode(std::shared_ptr<LxLogger> logger, std::shared_ptr<platform::DispatchQueue> loggerQueue);

    const std::shared_ptr<LxLogger> logger;
    const std::shared_ptr<platform::DispatchQueue> loggerQueue;
};
