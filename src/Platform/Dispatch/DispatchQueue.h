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
// Target queues: a serial queue may target another serial queue. It then runs its tasks as
// tasks of the target: in its own order, and never alongside a task of the target or of any
// other queue that targets the target (the target may itself target a further queue, and so
// on up the chain). Inside such a task current() and currentLabel() still answer for the
// queue itself, and getSpecific() finds the queue's own values first, then those of its
// target, then those of the target's target. The caller of a task holds every queue of that
// chain: a sync() onto any of them runs at once.
//
// All operations may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace platform {

using Task = std::function<void()>;

namespace detail {

// One task as a serial queue lists it: the link of the queue's list and the callable in one
// allocation.
struct TaskNode {
    std::atomic<TaskNode*> next{nullptr};
    virtual ~TaskNode() = default;
    virtual void run() {}
};

template <class F>
struct CallableNode final : TaskNode {
    template <class G>
    explicit CallableNode(G&& g) : fn(std::forward<G>(g)) {}
    void run() override {
        if constexpr (std::is_same_v<F, Task>) {
            if (!fn) return;  // an empty task does nothing
        }
        fn();
    }
    F fn;
};

}  // namespace detail

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
    // The same for any other callable. A serial queue keeps the callable in its own record of
    // the task, which makes one allocation per task where a Task made first makes two.
    template <class F>
        requires(!std::is_same_v<std::decay_t<F>, Task> && std::is_invocable_v<std::decay_t<F>&>)
    void async(F&& fn) {
        enqueue(std::make_unique<detail::CallableNode<std::decay_t<F>>>(std::forward<F>(fn)));
    }

    // Runs the task on this queue and returns when it has finished; what the task throws
    // reaches the caller. A serial queue that is idle (no task running, none queued) runs the
    // task on the caller's own thread, marked as running meanwhile: no other task of the queue
    // runs alongside, tasks submitted during it run after it, and current(), currentLabel()
    // and getSpecific() inside it answer for this queue. A queue with a target runs it so only
    // when its target chain is idle too (or held by the caller). A busy queue takes the task
    // in turn and the caller waits for it. Called from a task of this queue (or of a queue
    // that targets it), the task runs at once (the caller holds the queue already); waiting
    // for a queue whose task waits for the caller deadlocks.
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

    // The queue this serial queue runs its tasks on (see above); nullptr, the default, runs
    // them on the pool. A target that is not a serial queue means the pool, and a target whose
    // chain leads back to this queue is refused (the queue keeps its target). Set it before
    // the queue gets work: a change applies from the queue's next turn on.
    void setTargetQueue(std::shared_ptr<DispatchQueue> target);
    std::shared_ptr<DispatchQueue> targetQueue() const;
    // True when this queue is `queue` or runs its tasks on it through its chain of targets:
    // then no task of this queue ever runs alongside one of `queue`.
    bool runsOn(const DispatchQueue& queue) const;
    // True when the calling thread runs a task of this queue or of a queue that runs on it.
    bool heldByCaller() const;

    // Queue-specific data: a value stored on this queue under a key (any address). Setting
    // nullptr removes the key.
    void setSpecific(const void* key, void* value);
    void* getSpecificOfQueue(const void* key) const;
    // The value under the key of the serial queue whose task the caller is running, or of
    // the first queue of its target chain that has the key; nullptr when the caller runs on
    // no serial queue or no queue of the chain has the key.
    static void* getSpecific(const void* key);

    // The serial queue whose task the calling thread is running, or nullptr.
    static DispatchQueue* current();
    // The label of the queue the caller runs on: current()'s; on the main thread outside any
    // queue's task, the main queue's (mainQueueLabel()), since the main thread is the main
    // queue's; "" elsewhere (a thread of no queue, a task of the global concurrent queue).
    static std::string currentLabel();
    // The label of the main queue: the queue of the main thread's own code.
    static const char* mainQueueLabel() { return "main-thread"; }
    // Whether the calling thread is one of the pool's workers, which run the tasks of every
    // queue and all bear the pool's one thread name.
    static bool currentThreadIsPoolWorker();

protected:
    explicit DispatchQueue(std::string label) : label_(std::move(label)) {}

    // Takes one task for async(). The default runs it through async(Task).
    virtual void enqueue(std::unique_ptr<detail::TaskNode> node);

    // Runs the task on the calling thread as this queue's own when the queue is idle, and
    // tells whether it did; false leaves the task to the queue's turn.
    virtual bool syncInline(const std::function<void()>& task);
    static bool syncInlineOn(DispatchQueue& queue, const std::function<void()>& task) { return queue.syncInline(task); }
    // After sync() queued its block: when the queue's turn waits behind the caller's own task,
    // runs that turn on the calling thread until `ran` is set, and tells whether it did; false
    // leaves the block to whichever thread takes the turn.
    virtual bool runTurnForSync(const std::atomic<bool>& ran);

private:
    std::string label_;
    mutable std::mutex targetMutex_;
    std::shared_ptr<DispatchQueue> target_;  // guarded by targetMutex_
    // target_ is set; lets a queue without a target (nearly all) skip the lock.
    std::atomic<bool> hasTarget_{false};

protected:
    struct SpecificTable;
    std::shared_ptr<SpecificTable> specifics_;
    friend class DispatchQueueAccess;
};

}  // namespace platform
