#include "Platform/Dispatch/DispatchQueue.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <unordered_map>

#include "Platform/Dispatch/Semaphore.h"
#include "Platform/Dispatch/detail/Pool.h"
#include "Platform/Dispatch/detail/Reactor.h"
#include "Platform/Dispatch/detail/TaskList.h"
#include "Platform/PlainLog.h"
#include "Platform/ThreadInfo.h"

namespace platform {

// Queue-specific values are set about once in a queue's life and read by every socket
// operation ("am I on the socket queue?"), so reads take no lock: the first few keys sit in
// slots that a writer changes between two steps of a sequence number, and a reader that saw
// the number move (or odd, a change under way) reads again. Keys beyond the slots wait in a
// map under the writers' lock.
struct DispatchQueue::SpecificTable {
    static constexpr std::size_t kSlots = 4;

    void* get(const void* key) const {
        for (;;) {
            const uint32_t before = sequence.load(std::memory_order_seq_cst);
            if ((before & 1) != 0) continue;
            void* value = nullptr;
            bool found = false;
            for (std::size_t i = 0; i < kSlots && !found; ++i) {
                if (keys[i].load(std::memory_order_seq_cst) == key) {
                    value = values[i].load(std::memory_order_seq_cst);
                    found = true;
                }
            }
            if (sequence.load(std::memory_order_seq_cst) != before) continue;
            if (found) return value;
            break;
        }
        if (!hasOverflow.load(std::memory_order_seq_cst)) return nullptr;
        std::lock_guard<std::mutex> lock(mutex);
        auto it = overflow.find(key);
        return it == overflow.end() ? nullptr : it->second;
    }

    void set(const void* key, void* value) {
        std::lock_guard<std::mutex> lock(mutex);
        std::size_t slot = kSlots;
        std::size_t freeSlot = kSlots;
        for (std::size_t i = 0; i < kSlots; ++i) {
            const void* k = keys[i].load(std::memory_order_relaxed);
            if (k == key) slot = i;
            if (k == nullptr && freeSlot == kSlots) freeSlot = i;
        }
        if (slot == kSlots && !overflow.count(key) && value) slot = freeSlot;
        if (slot == kSlots) {
            if (value)
                overflow[key] = value;
            else
                overflow.erase(key);
            hasOverflow.store(!overflow.empty(), std::memory_order_seq_cst);
            return;
        }
        const uint32_t at = sequence.load(std::memory_order_relaxed);
        sequence.store(at + 1, std::memory_order_seq_cst);
        keys[slot].store(value ? key : nullptr, std::memory_order_seq_cst);
        values[slot].store(value, std::memory_order_seq_cst);
        sequence.store(at + 2, std::memory_order_seq_cst);
    }

    std::atomic<uint32_t> sequence{0};
    std::array<std::atomic<const void*>, kSlots> keys{};
    std::array<std::atomic<void*>, kSlots> values{};
    std::atomic<bool> hasOverflow{false};
    mutable std::mutex mutex;                         // writers, and readers of overflow
    std::unordered_map<const void*, void*> overflow;  // guarded by mutex
};

namespace {

// The serial queue whose task this thread runs; restored when the task ends.
thread_local DispatchQueue* tlsCurrentQueue = nullptr;

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(DispatchQueue* queue) : saved_(tlsCurrentQueue) { tlsCurrentQueue = queue; }
    ~CurrentQueueScope() { tlsCurrentQueue = saved_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    DispatchQueue* saved_;
};

class SerialQueue final : public DispatchQueue, public detail::PoolClient {
public:
    explicit SerialQueue(std::string label) : DispatchQueue(std::move(label)) {
        specifics_ = std::make_shared<SpecificTable>();
    }

    bool isSerial() const override { return true; }

    using DispatchQueue::async;
    void async(Task task) override { enqueue(std::make_unique<detail::CallableNode<Task>>(std::move(task))); }

    void enqueue(std::unique_ptr<detail::TaskNode> node) override {
        tasks_.pushNode(std::move(node));
        // A queue that has its turn already comes to the task by itself: submitting to it costs
        // the push and this load, and wakes nobody.
        if (scheduled_.load(std::memory_order_seq_cst) || scheduled_.exchange(true, std::memory_order_seq_cst)) return;
        scheduleTurn(self());
    }

    bool runBatch(std::size_t limit) override {
        CurrentQueueScope scope(this);
        for (std::size_t n = 0; n < limit;) {
            detail::TaskList::Node* node = tasks_.pop();
            if (!node) {
                if (releaseTurn()) return false;
                continue;
            }
            if (n > 0) detail::Pool::betweenTasks();
            detail::runTaskCatching(*node, label());
            delete node;  // what the task captured goes before the next one runs
            ++n;
        }
        return !(tasks_.empty() && releaseTurn());  // true: the queue keeps its turn
    }

protected:
    bool syncInline(const std::function<void()>& task) override {
        if (scheduled_.load(std::memory_order_seq_cst) || scheduled_.exchange(true, std::memory_order_seq_cst))
            return false;
        // Held for the block: it may drop the caller's last reference to this queue.
        auto self = this->self();
        if (!tasks_.empty()) {
            // Tasks pushed before the turn was had (the caller's own, perhaps) come first: the
            // block takes its place behind them.
            scheduleTurn(std::move(self));
            return false;
        }
        // The turn is the block's: async() only queues behind it, and other sync callers wait
        // their turn, until the block ends.
        InlineTurn turn(std::move(self));
        auto runAsThisQueue = [&] {
            CurrentQueueScope scope(this);
            task();
        };
        std::shared_ptr<DispatchQueue> target = targetQueue();
        if (!target || target->heldByCaller()) {
            runAsThisQueue();
            return true;
        }
        // The target must be had as well, or the block would run alongside its tasks.
        return syncInlineOn(*target, runAsThisQueue);
    }

    bool runTurnForSync(const std::atomic<bool>& ran) override {
        // A task on a worker that posts to a queue and then syncs with it (a socket's new
        // delegate, then a block on its queue) finds the queue's turn in its own next-job
        // slot, where it would wait for the task, and the task for it, until another worker
        // took it over. The turn is had here instead, as that worker would have it.
        std::shared_ptr<detail::PoolClient> turn = detail::Pool::takeFromOwnSlot(this);
        if (!turn) return false;
        // One task at a time: nothing queued behind the block may run here, on a thread whose
        // caller holds a queue of its own up the stack (a task that synced with that queue
        // would wait for ever). Those tasks take the queue's next turn as usual.
        while (runBatch(1)) {
            if (ran.load(std::memory_order_relaxed)) {
                scheduleTurn(self());
                return true;
            }
        }
        return true;
    }

private:
    std::shared_ptr<SerialQueue> self() { return std::static_pointer_cast<SerialQueue>(shared_from_this()); }

    // Gives up the turn once the task list was found empty. False when a task came in
    // meanwhile and the turn was taken back: the caller goes on with it. A producer pushes
    // and then looks at the flag, the holder clears the flag and then looks at the list; both
    // in one total order, so one of the two always sees the other and no task is left behind.
    bool releaseTurn() {
        scheduled_.store(false, std::memory_order_seq_cst);
        if (tasks_.nothingPushedSinceEmpty()) return true;
        return scheduled_.exchange(true, std::memory_order_seq_cst);
    }

    // Gives the queue its next turn: a task on its target when it has one, else a place on
    // the pool's run list.
    static void scheduleTurn(std::shared_ptr<SerialQueue> queue) {
        if (std::shared_ptr<DispatchQueue> target = queue->targetQueue()) {
            target->async([queue = std::move(queue)]() mutable {
                if (queue->runBatch(detail::Pool::kBatch)) scheduleTurn(std::move(queue));
            });
        } else {
            detail::Pool::shared().submit(std::move(queue));
        }
    }

    // Ends an inline block's turn, also when the block throws: what was queued meanwhile is
    // handed to the pool, otherwise the queue is idle again.
    class InlineTurn {
    public:
        explicit InlineTurn(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}
        ~InlineTurn() {
            if (queue_->tasks_.empty() && queue_->releaseTurn()) return;
            scheduleTurn(std::move(queue_));
        }
        InlineTurn(const InlineTurn&) = delete;
        InlineTurn& operator=(const InlineTurn&) = delete;

    private:
        std::shared_ptr<SerialQueue> queue_;
    };

    detail::TaskList tasks_;
    // Set while the queue holds a turn: listed on the pool, being drained, or running an
    // inline sync block. Whoever sets it schedules the queue; whoever holds it drains.
    std::atomic<bool> scheduled_{false};
};

class ConcurrentQueue final : public DispatchQueue {
public:
    ConcurrentQueue() : DispatchQueue("global concurrent") { specifics_ = std::make_shared<SpecificTable>(); }

    bool isSerial() const override { return false; }

    using DispatchQueue::async;
    void async(Task task) override {
        // Tasks of the concurrent queue run on no serial queue: current() is nullptr in them.
        detail::Pool::shared().submitConcurrent([task = std::move(task)] {
            CurrentQueueScope scope(nullptr);
            task();
        });
    }
};

}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

std::shared_ptr<DispatchQueue> DispatchQueue::globalConcurrent() {
    // Never destroyed, as the pool it feeds: the pool's workers, the card service's monitor
    // and every other thread that outlives main may still post to it while the process runs
    // its exit-time destructors.
    static const auto* queue = new std::shared_ptr<DispatchQueue>(std::make_shared<ConcurrentQueue>());
    return *queue;
}

void DispatchQueue::sync(const std::function<void()>& task) {
    if (heldByCaller()) {
        // Waiting for our own queue would never end; the caller already holds it, so running
        // the block here keeps the queue's one-at-a-time promise.
        plainLog("Dispatch queue \"%@\": sync called on the queue it runs on; running inline", label());
        CurrentQueueScope scope(this);
        task();
        return;
    }
    if (syncInline(task)) return;
    Semaphore done;
    std::exception_ptr failure;
    std::atomic<bool> ran{false};
    async([&] {
        try {
            task();
        } catch (...) {
            failure = std::current_exception();
        }
        ran.store(true, std::memory_order_relaxed);
        done.signal();
    });
    runTurnForSync(ran);
    done.wait();
    // The block's exception belongs to the caller that waits for it.
    if (failure) std::rethrow_exception(failure);
}

bool DispatchQueue::syncInline(const std::function<void()>&) { return false; }

bool DispatchQueue::runTurnForSync(const std::atomic<bool>&) { return false; }

void DispatchQueue::enqueue(std::unique_ptr<detail::TaskNode> node) {
    std::shared_ptr<detail::TaskNode> held(std::move(node));
    async(Task([held] { held->run(); }));
}

void DispatchQueue::after(std::chrono::nanoseconds delay, Task task) {
    if (delay <= std::chrono::nanoseconds::zero()) {
        async(std::move(task));
        return;
    }
    auto self = shared_from_this();
    detail::Reactor::shared().addTimer(detail::Reactor::deadlineAfter(delay),
                                       [self, task = std::move(task)]() mutable { self->async(std::move(task)); });
}

void DispatchQueue::setTargetQueue(std::shared_ptr<DispatchQueue> target) {
    if (!isSerial()) {
        plainLog("Dispatch queue \"%@\": only a serial queue can have a target; left as it is", label());
        return;
    }
    if (target && !target->isSerial()) target.reset();
    // One change of any chain at a time, so that two changes cannot close a loop together.
    static std::mutex chainMutex;
    std::lock_guard<std::mutex> chainLock(chainMutex);
    if (target && target->runsOn(*this)) {
        plainLog("Dispatch queue \"%@\": target \"%@\" runs on this queue already; target left as it is", label(),
                 target->label());
        return;
    }
    std::lock_guard<std::mutex> lock(targetMutex_);
    target_ = std::move(target);
    hasTarget_.store(target_ != nullptr, std::memory_order_release);
}

std::shared_ptr<DispatchQueue> DispatchQueue::targetQueue() const {
    if (!hasTarget_.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard<std::mutex> lock(targetMutex_);
    return target_;
}

bool DispatchQueue::runsOn(const DispatchQueue& queue) const {
    std::shared_ptr<DispatchQueue> next;  // keeps the queue under inspection alive
    for (const DispatchQueue* q = this; q; q = next.get()) {
        if (q == &queue) return true;
        next = q->targetQueue();
    }
    return false;
}

bool DispatchQueue::heldByCaller() const {
    DispatchQueue* queue = tlsCurrentQueue;
    return queue && queue->runsOn(*this);
}

void DispatchQueue::setSpecific(const void* key, void* value) { specifics_->set(key, value); }

void* DispatchQueue::getSpecificOfQueue(const void* key) const { return specifics_->get(key); }

void* DispatchQueue::getSpecific(const void* key) {
    std::shared_ptr<DispatchQueue> next;  // keeps the queue under inspection alive
    for (const DispatchQueue* queue = tlsCurrentQueue; queue; queue = next.get()) {
        if (void* value = queue->getSpecificOfQueue(key)) return value;
        next = queue->targetQueue();
    }
    return nullptr;
}

DispatchQueue* DispatchQueue::current() { return tlsCurrentQueue; }

bool DispatchQueue::currentThreadIsPoolWorker() { return detail::onPoolWorker(); }

std::string DispatchQueue::currentLabel() {
    if (DispatchQueue* queue = tlsCurrentQueue) return queue->label();
    return isMainThread() ? std::string(mainQueueLabel()) : std::string();
}

}  // namespace platform
