#include "Logging/LxLogMessage.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <string>
#include <thread>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/ThreadInfo.h"

namespace {

TEST(LxLogMessageTest, KeepsTheCallsFieldsAndWhereItCameFrom) {
    const char* file = "/src/Core/HTTPServer.cpp";
    const char* function = "start";
    auto before = LxLogMessage::Clock::now();
    LxLogMessage message("text", 3, 2, 80, file, function, 42, LxLogTag("tag"), 0);
    auto after = LxLogMessage::Clock::now();

    EXPECT_EQ(3, message.logLevel);
    EXPECT_EQ(2, message.logFlag);
    EXPECT_EQ(80, message.logContext);
    EXPECT_EQ("text", *message.logMsg);
    EXPECT_LE(before, message.timestamp);
    EXPECT_GE(after, message.timestamp);
    EXPECT_EQ(file, message.file);  // kept as given without the option bits
    EXPECT_EQ(function, message.function);
    EXPECT_EQ(42, message.lineNumber);
    EXPECT_EQ(static_cast<uint32_t>(platform::currentThreadId()), message.machThreadID);
    ASSERT_NE(nullptr, message.queueLabel);
    EXPECT_STREQ(platform::DispatchQueue::mainQueueLabel(), message.queueLabel);  // the test runs on the main thread
    EXPECT_EQ(LxLogTag("tag"), message.tag);
    EXPECT_EQ(0, message.options);
    EXPECT_EQ("HTTPServer", std::string(*message.fileName()));
    EXPECT_EQ("start", message.methodName());
}

TEST(LxLogMessageTest, OptionBitsMakeOwnCopies) {
    char file[] = "/src/a.cpp";
    char function[] = "run";
    LxLogMessage message("x", 3, 1, 0, file, function, 1, std::nullopt, LxLogMessageCopyFile | LxLogMessageCopyFunction);
    EXPECT_NE(file, message.file);
    EXPECT_NE(function, message.function);
    file[6] = 'b';
    function[0] = 'f';
    EXPECT_STREQ("/src/a.cpp", message.file);
    EXPECT_STREQ("run", message.function);
}

TEST(LxLogMessageTest, MissingFileAndFunctionAreAbsent) {
    LxLogMessage message("x", 3, 1, 0, nullptr, nullptr, 0, std::nullopt, LxLogMessageCopyFile | LxLogMessageCopyFunction);
    EXPECT_EQ(nullptr, message.file);
    EXPECT_FALSE(message.fileName().has_value());
    EXPECT_FALSE(message.methodName().has_value());
}

TEST(LxLogMessageTest, ThreadIdIsLowerCaseHexWithoutPrefix) {
    LxLogMessage message("x", 3, 1, 0, nullptr, nullptr, 0, std::nullopt, 0);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%x", static_cast<unsigned>(platform::currentThreadId()));
    EXPECT_EQ(expected, message.threadID());
    EXPECT_EQ(std::string::npos, message.threadID().find_first_not_of("0123456789abcdef"));
    EXPECT_NE('0', message.threadID()[0]);
}

TEST(LxLogMessageTest, RecordsTheCallersQueueAndThreadName) {
    auto queue = platform::DispatchQueue::createSerial("test.caller");
    std::string label;
    uint32_t threadId = 0;
    uint32_t callerThreadId = 0;
    queue->sync([&] {
        LxLogMessage message("x", 3, 1, 0, nullptr, nullptr, 0, std::nullopt, 0);
        label = message.queueLabel;
        threadId = message.machThreadID;
        callerThreadId = static_cast<uint32_t>(platform::currentThreadId());
    });
    EXPECT_EQ("test.caller", label);
    EXPECT_EQ(callerThreadId, threadId);

    std::string name;
    std::thread named([&] {
        pthread_setname_np(pthread_self(), "caller-thread");
        LxLogMessage message("x", 3, 1, 0, nullptr, nullptr, 0, std::nullopt, 0);
        name = message.threadName;
    });
    named.join();
    EXPECT_EQ("caller-thread", name);

    // A thread nobody named carries only the program's name, which is no name of its own; it
    // runs on no queue.
    std::string unnamedName = "?";
    std::string unnamedLabel = "?";
    std::thread unnamed([&] {
        LxLogMessage message("x", 3, 1, 0, nullptr, nullptr, 0, std::nullopt, 0);
        unnamedName = message.threadName;
        unnamedLabel = message.queueLabel;
    });
    unnamed.join();
    EXPECT_EQ("", unnamedName);
    EXPECT_EQ("", unnamedLabel);
}

}  // namespace
