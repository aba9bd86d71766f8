#include "Logging/LxLoggerNode.h"

std::shared_ptr<LxLoggerNode> LxLoggerNode::nodeWithLogger(std::shared_ptr<LxLogger> logger,
                                                           std::shared_ptr<platform::DispatchQueue> loggerQueue) {
    return std::make_shared<LxLoggerNode>(std::move(logger), std::move(loggerQueue));
}

LxLoggerNode::LxLoggerNode(std::shared_ptr<LxLogger> logger, std::shared_ptr<platform::DispatchQueue> loggerQueue)
    : logger(std::move(logger)), loggerQueue(std::move(loggerQueue)) {}
