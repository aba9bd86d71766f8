#include "Logging/LxLog.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "Logging/LxLoggerNode.h"
#include "Platform/Dispatch/Group.h"
#include "Platform/Dispatch/Semaphore.h"
#include "Platform/PlainLog.h"
#include "Platform/ThreadInfo.h"

const char GlobalLoggingQueueIdentityKey = 0;

namespace {

// The hub's state, made once on first use and never released: loggers may still be writing
// while the process exits, and nothing here may be torn down under them.
struct Hub {
    Hub()
        : loggingQueue(platform::DispatchQueue::createSerial("log.hub")),
          queueSemaphore(LogMaxQueueSize),
          numProcessors(std::max(1u, platform::processorCount())) {
        loggers.reserve(4);
        loggingQueue->setSpecific(&GlobalLoggingQueueIdentityKey,
                                  const_cast<char*>(&GlobalLoggingQueueIdentityKey));
    }

    std::vector<std::shared_ptr<LxLoggerNode>> loggers;  // on loggingQueue only
    const std::shared_ptr<platform::DispatchQueue> loggingQueue;
    platform::Group loggingGroup;                        // waited for on loggingQueue only
    platform::Semaphore queueSemaphore;
    unsigned numProcessors;                              // on loggingQueue only
};

Hub& hub() {
    static Hub* const instance = new Hub();
    return *instance;
}

// A logger that throws must not stop the others or keep the semaphore count: the message is
// lost for that logger alone, and the fault is told on the plain log (never through the hub).
void deliver(const LxLoggerNode& node, const std::shared_ptr<const LxLogMessage>& message) {
    try {
        node.logger->logMessage(message);
    } catch (const std::exception& e) {
        platform::plainLog("LxLog: a logger failed to write a message: %s", e.what());
    } catch (...) {
        platform::plainLog("LxLog: a logger failed to write a message");
    }
}

void lt_log(const std::shared_ptr<const LxLogMessage>& message) {
    Hub& h = hub();
    if (h.numProcessors < 2) {
        for (const auto& node : h.loggers) node->loggerQueue->sync([&] { deliver(*node, message); });
    } else if (!h.loggers.empty()) {
        // Every logger but the last runs on its own queue in the group while the hub runs the
        // last one synchronously on that logger's queue: all of them in parallel, and a sync
        // onto an idle queue is the one hand-off a dispatch layer can make without waking a
        // second thread.
        const auto& last = h.loggers.back();
        for (auto it = h.loggers.begin(); it + 1 != h.loggers.end(); ++it) {
            auto node = *it;
            h.loggingGroup.async(node->loggerQueue, [node, message] { deliver(*node, message); });
        }
        last->loggerQueue->sync([&] { deliver(*last, message); });
        h.loggingGroup.wait();
    }
    h.queueSemaphore.signal();
}

void lt_addLogger(const std::shared_ptr<LxLogger>& logger) {
    std::shared_ptr<platform::DispatchQueue> queue = logger->loggerQueue();
    if (!queue) {
        std::optional<std::string> name = logger->loggerName();
        queue = platform::DispatchQueue::createSerial(name ? *name : std::string());
    }
    hub().loggers.push_back(LxLoggerNode::nodeWithLogger(logger, queue));
    queue->async([logger] { logger->didAddLogger(); });
}

void lt_removeLogger(const std::shared_ptr<LxLogger>& logger) {
    auto& loggers = hub().loggers;
    auto it = std::find_if(loggers.begin(), loggers.end(),
                           [&](const std::shared_ptr<LxLoggerNode>& node) { return node->logger == logger; });
    if (it == loggers.end()) return;
    (*it)->loggerQueue->async([logger] { logger->willRemoveLogger(); });
    loggers.erase(it);
}

void lt_removeAllLoggers() {
    auto& loggers = hub().loggers;
    for (const auto& node : loggers) {
        auto logger = node->logger;
        node->loggerQueue->async([logger] { logger->willRemoveLogger(); });
    }
    loggers.clear();
}

void lt_flush() {
    Hub& h = hub();
    for (const auto& node : h.loggers) {
        auto logger = node->logger;
        h.loggingGroup.async(node->loggerQueue, [logger] { logger->flush(); });
    }
    h.loggingGroup.wait();
}

// The per-class levels: classes join by registration, in that order.
struct LevelClass {
    std::type_index type;
    std::string name;
    int32_t (*getLevel)();
    void (*setLevel)(int32_t);
};

struct LevelRegistry {
    std::mutex mutex;
    std::vector<LevelClass> classes;  // guarded by mutex
};

LevelRegistry& levelRegistry() {
    static LevelRegistry* const registry = new LevelRegistry();
    return *registry;
}

}  // namespace

std::shared_ptr<platform::DispatchQueue> LxLog::loggingQueue() { return hub().loggingQueue; }

void LxLog::addLogger(std::shared_ptr<LxLogger> logger) {
    if (!logger) return;
    hub().loggingQueue->async([logger = std::move(logger)] { lt_addLogger(logger); });
}

void LxLog::removeLogger(const std::shared_ptr<LxLogger>& logger) {
    if (!logger) return;
    hub().loggingQueue->async([logger] { lt_removeLogger(logger); });
}

void LxLog::removeAllLoggers() { hub().loggingQueue->async([] { lt_removeAllLoggers(); }); }

void LxLog::logArgs(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
                    const char* function, int32_t line, LxLogTag tag, const char* format,
                    std::initializer_list<platform::FormatArg> args) {
    if (format == nullptr) return;
    auto message = std::make_shared<const LxLogMessage>(platform::formatString(format, args), level, flag, context,
                                                        file, function, line, std::move(tag), 0);
    queueLogMessage(std::move(message), asynchronous);
}

void LxLog::queueLogMessage(std::shared_ptr<const LxLogMessage> message, bool asynchronously) {
    if (!message) return;
    Hub& h = hub();
    h.queueSemaphore.wait();
    if (asynchronously) {
        h.loggingQueue->async([message = std::move(message)] { lt_log(message); });
    } else {
        h.loggingQueue->sync([&] { lt_log(message); });
    }
}

void LxLog::flushLog() { hub().loggingQueue->sync([] { lt_flush(); }); }

void LxLog::setProcessorCountForTesting(unsigned count) {
    hub().loggingQueue->sync([count] { hub().numProcessors = std::max(1u, count); });
}

void LxLog::registerClassEntry(std::type_index type, std::string name, int32_t (*getLevel)(),
                               void (*setLevel)(int32_t)) {
    LevelRegistry& r = levelRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const LevelClass& c : r.classes)
        if (c.type == type) return;
    r.classes.push_back(LevelClass{type, std::move(name), getLevel, setLevel});
}

bool LxLog::isRegisteredClass(std::type_index type) {
    LevelRegistry& r = levelRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return std::any_of(r.classes.begin(), r.classes.end(), [&](const LevelClass& c) { return c.type == type; });
}

std::vector<std::type_index> LxLog::registeredClasses() {
    LevelRegistry& r = levelRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::type_index> types;
    types.reserve(r.classes.size());
    for (const LevelClass& c : r.classes) types.push_back(c.type);
    return types;
}

std::vector<std::string> LxLog::registeredClassNames() {
    LevelRegistry& r = levelRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::string> names;
    names.reserve(r.classes.size());
    for (const LevelClass& c : r.classes) names.push_back(c.name);
    return names;
}

namespace {

// The level operations of a class, found under the registry's lock; they are called after
// it is released, so that a class's own level code may use the registry.
template <class Match>
const LevelClass* findClass(LevelRegistry& r, Match match) {
    for (const LevelClass& c : r.classes)
        if (match(c)) return &c;
    return nullptr;
}

int32_t levelOf(LevelRegistry& r, auto match) {
    int32_t (*getLevel)() = nullptr;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (const LevelClass* c = findClass(r, match)) getLevel = c->getLevel;
    }
    return getLevel ? getLevel() : -1;
}

void setLevelOf(LevelRegistry& r, auto match, int32_t level) {
    void (*setLevel)(int32_t) = nullptr;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (const LevelClass* c = findClass(r, match)) setLevel = c->setLevel;
    }
    if (setLevel) setLevel(level);
}

}  // namespace

int32_t LxLog::logLevelForClass(std::type_index type) {
    return levelOf(levelRegistry(), [&](const LevelClass& c) { return c.type == type; });
}

int32_t LxLog::logLevelForClassWithName(std::string_view name) {
    return levelOf(levelRegistry(), [&](const LevelClass& c) { return c.name == name; });
}

void LxLog::setLogLevel(int32_t level, std::type_index type) {
    setLevelOf(levelRegistry(), [&](const LevelClass& c) { return c.type == type; }, level);
}

void LxLog::setLogLevel(int32_t level, std::string_view className) {
    setLevelOf(levelRegistry(), [&](const LevelClass& c) { return c.name == className; }, level);
}
