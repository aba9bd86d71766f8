// Serial dispatch queues over one shared pool of worker threads.
//
// A serial queue runs its tasks one at a time, in the order they were submitted, on whichever
// pool thread is free: a queue costs no thread of its own, so thousands of idle queues cost
// nothing but memory. The global concurrent queue runs its tasks in parallel and is meant for
// blocking work.
//
// Blocking inside a task (Semaphore::wait, Group::wait, DispatchQueue::sync) is allowed: the
// pool notices that one of its threads is blocked and lets another thread take its place, so
// that the queue being waited for still gets to run.
//
// A task that throws is caught; one line goes out through the plain log call and the queue
// goes on with its next task.
//
// All operations may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace platform {

using Task = std::function<void()>;

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    // A new serial queue with the given label (for diagnostics and the logger's queue label).
    static std::shared_ptr<DispatchQueue> createSerial(std::string label);
    // The one global concurrent queue for blocking work.
    static std::shared_ptr<DispatchQueue> globalConcurrent();

    virtual ~DispatchQueue() = default;

    const std::string& label() const { return label_; }
    virtual bool isSerial() const = 0;

    // Runs the task later on this queue. Returns at once.
    virtual void async(Task task) = 0;

    // Runs the task on this queue and returns when it has finished; what the task throws
    // reaches the caller. A serial queue that is idle (no task running, none queued) runs the
    // task on the caller's own thread, marked as running meanwhile: no other task of the queue
    // runs alongside, tasks submitted during it run after it, and current(), currentLabel()
    // and getSpecific() inside it answer for this queue. A busy queue takes the task in turn
    // and the caller waits for it. Called from a task of this queue, the task runs at once (it
    // holds the queue already); waiting for a queue whose task waits for the caller deadlocks.
    void sync(const std::function<void()>& task);

    // Runs fn on this queue and returns its result.
    template <class F>
    auto syncResult(F&& fn) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            sync([&] { fn(); });
        } else {
            std::optional<R> result;
            sync([&] { result.emplace(fn()); });
            return std::move(*result);
        }
    }

    // Runs the task on this queue once the delay has passed (at the earliest).
    void after(std::chrono::nanoseconds delay, Task task);

    // Queue-specific data: a value stored on this queue under a key (any address). Setting
    // nullptr removes the key.
    void setSpecific(const void* key, void* value);
    void* getSpecificOfQueue(const void* key) const;
    // The value under the key of the serial queue whose task the caller is running, or
    // nullptr when the caller runs on no serial queue or that queue has no such key.
    static void* getSpecific(const void* key);

    // The serial queue whose task the calling thread is running, or nullptr.
    static DispatchQueue* current();
    // The label of current(), or "" when the caller runs on no serial queue.
    static std::string currentLabel();

protected:
    explicit DispatchQueue(std::string label) : label_(std::move(label)) {}

    // Runs the task on the calling thread as this queue's own when the queue is idle, and
    // tells whether it did; false leaves the task to the queue's turn.
    virtual bool syncInline(const std::function<void()>& task);

private:
    std::string label_;

protected:
    struct SpecificTable;
    std::shared_ptr<SpecificTable> specifics_;
    friend class DispatchQueueAccess;
};

}  // namespace platform
