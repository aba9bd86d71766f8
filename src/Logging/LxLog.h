// The logging hub: the one road by which the system's own code writes diagnostics through
// its loggers.
//
// A log call formats its text and makes the record (LxLogMessage) in the caller's thread,
// waits while 1000 messages are between their call and the end of their delivery
// (LogMaxQueueSize; the hub never drops a message, a caller that outruns the loggers waits),
// and passes the record to the hub's serial queue "log.hub". There the record is handed to
// every registered logger on that logger's own serial queue - in parallel on a host with two
// or more processors, one after the other on one - and the next message is handed out only
// when every logger has finished with this one.
//
// An asynchronous call returns once the record is queued; a synchronous one returns when
// every logger has written the message (errors are logged synchronously, warnings
// asynchronously). The hub applies no level test: every call reaches every logger.
//
// Threads: everything here may be called from any thread except the hub's queue and the
// loggers' queues: a log call, flushLog() or a logger's logFormatter() made from there waits
// for itself. Loggers and formatters never log through the hub.
//
// Adding and removing loggers is queued on the hub's queue like the messages: a logger gets
// the messages queued after its addition and none queued after its removal.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "Logging/LxLogMessage.h"
#include "Logging/LxLogger.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Format.h"

// Flags (one bit each), levels (the flags a call site lets through) and contexts.
inline constexpr int32_t LogFlagError = 1;
inline constexpr int32_t LogFlagWarning = 2;
inline constexpr int32_t LogFlagInfo = 4;
inline constexpr int32_t LogLevelWarning = LogFlagError | LogFlagWarning;
inline constexpr int32_t LogContextDefault = 0;
inline constexpr int32_t LogContextHttpServer = 80;

// At most this many messages are between their call and the end of their delivery.
inline constexpr long LogMaxQueueSize = 1000;

// The queue-specific key of the hub's queue (its value is the key's own address).
extern const char GlobalLoggingQueueIdentityKey;

// A class with its own log level: both static level operations present.
template <class T>
concept LxLogLevelClass = requires(int32_t level) {
    { T::lxLogLevel() } -> std::convertible_to<int32_t>;
    T::lxSetLogLevel(level);
};

class LxLog {
public:
    LxLog() = delete;

    // The hub's serial queue "log.hub".
    static std::shared_ptr<platform::DispatchQueue> loggingQueue();

    // Registers the logger (nullptr is ignored). The same logger added twice is registered
    // twice and gets every message twice. Returns at once.
    static void addLogger(std::shared_ptr<LxLogger> logger);
    // Unregisters the first registration of the logger (nullptr or an unknown logger: nothing).
    // Returns at once.
    static void removeLogger(const std::shared_ptr<LxLogger>& logger);
    static void removeAllLoggers();

    // The log call. A nullptr format does nothing at all (no record, no wait). The format is
    // printf-style with "%@" for a text (platform::format); file and function must outlive
    // the message (pass __FILE__ and __func__; the macros of LxLogMacros.h do).
    template <class... Args>
    static void log(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
                    const char* function, int32_t line, LxLogTag tag, const char* format, const Args&... args) {
        if (format == nullptr) return;
        logArgs(asynchronous, level, flag, context, file, function, line, std::move(tag), format,
                {platform::FormatArg(args)...});
    }
    // The same with the arguments already gathered.
    static void logArgs(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
                        const char* function, int32_t line, LxLogTag tag, const char* format,
                        std::initializer_list<platform::FormatArg> args);

    // Back-pressure and queueing of a made record (what the log call does after formatting).
    static void queueLogMessage(std::shared_ptr<const LxLogMessage> message, bool asynchronously);

    // Returns when every message queued before has been delivered and every logger's flush()
    // has run.
    static void flushLog();

    // Per-class levels. C++ has no list of classes to ask, so a class with both level
    // operations joins a registry (registerClass<T>("Name"), once, e.g. at start-up); the
    // operations below answer from it, in the order of registration. Thread-safe.
    template <LxLogLevelClass T>
    static void registerClass(std::string name) {
        registerClassEntry(typeid(T), std::move(name), +[]() -> int32_t { return T::lxLogLevel(); },
                           +[](int32_t level) { T::lxSetLogLevel(level); });
    }
    static bool isRegisteredClass(std::type_index type);
    static std::vector<std::type_index> registeredClasses();
    static std::vector<std::string> registeredClassNames();
    // The class's level, or -1 for a class that is not registered.
    static int32_t logLevelForClass(std::type_index type);
    static int32_t logLevelForClassWithName(std::string_view name);
    // Sets the class's level; a class that is not registered is ignored.
    static void setLogLevel(int32_t level, std::type_index type);
    static void setLogLevel(int32_t level, std::string_view className);

    // Test seam: the processor count that chooses parallel (2 or more) or one-after-the-other
    // delivery. Applied on the hub's queue; returns when it is in effect.
    static void setProcessorCountForTesting(unsigned count);

private:
    static void registerClassEntry(std::type_index type, std::string name, int32_t (*getLevel)(),
                                   void (*setLevel)(int32_t));
};
