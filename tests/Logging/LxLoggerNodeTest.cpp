#include "Logging/LxLoggerNode.h"

#include <gtest/gtest.h>

#include "Logging/LoggingTestSupport.h"

namespace {

TEST(LxLoggerNodeTest, HoldsTheLoggerAndItsQueue) {
    auto logger = std::make_shared<logging_test::RecordingLogger>();
    auto node = LxLoggerNode::nodeWithLogger(logger, logger->loggerQueue());
    EXPECT_EQ(logger, node->logger);
    EXPECT_EQ(logger->loggerQueue(), node->loggerQueue);

    LxLoggerNode withoutQueue(logger, nullptr);
    EXPECT_EQ(nullptr, withoutQueue.loggerQueue);

    std::weak_ptr<logging_test::RecordingLogger> weak = logger;
    logger.reset();
    EXPECT_FALSE(weak.expired());  // the node keeps a registered logger alive
    node.reset();
    EXPECT_FALSE(weak.expired());  // ... and so does the other node

}

}  // namespace
