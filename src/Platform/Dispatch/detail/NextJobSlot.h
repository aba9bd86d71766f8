// A pool worker's next-job slot, and the watch that keeps a job from waiting there behind a
// long task. Internal to the dispatch layer; the pool (Pool.h) owns one slot per worker and one
// watch for them all.
//
// The first job submitted from a task that runs on a worker waits in that worker's slot and
// runs on the same thread right after the current batch, with no wake-up. A job that has
// waited there longer than kPatience may be taken by whoever comes by: the owner between two
// tasks, an idle or spinning worker, or the watch.
//
// The slot watch: a worker that is busy with one long task cannot hand on its slot, and the
// other workers may all be asleep. So while slots are in use, the pool's watch thread looks at
// them now and then: first when the job that started the watch reaches its patience, then at
// intervals that grow to kWatchInterval while it finds nothing to take. What has waited past
// its patience goes to the inbox, which wakes a worker for it. The watch stops when a look
// finds every slot empty and none filled since the last look; the next job put in a slot
// starts it again. A busy hop from queue to queue thus costs the watch a look a millisecond,
// and an idle pool nothing. The watch's thread starts with the first job put in a slot and
// lives as long as the process. (It is not the reactor thread: a reactor woken by a timer
// every millisecond slowed a single connection's requests by a sixth.)
//
// What holds, and the memory orders it rests on:
// - Only the slot's own worker fills it, and only when it finds it empty. Nobody else fills
//   it, so an empty slot seen by the owner (even with a relaxed load) is empty; a filled one
//   it sees may already have been emptied by another, and then only costs the job a place in
//   the run list instead of the slot.
// - A fill writes the client's slotSelf_ and the fill time, then publishes the client pointer
//   with a seq_cst store, which releases both. Every emptying is an acquire read-modify-write
//   (the owner's exchange, anyone else's compare-and-swap) that reads that store, so whoever
//   empties the slot sees that fill's slotSelf_ and moves the reference out: whoever empties
//   the slot owns the job. A fill changes null to a client and an emptying changes a client
//   to null, both on the one atomic, so each fill is emptied exactly once.
// - The fill time is relaxed. Read after an acquire load of the pointer, it is the time of
//   that fill or of a later one; a later one only makes the job look younger than it is, so
//   it is taken later, never twice.
// - A client is listed at most once at a time, so a pointer in the slot stands for that
//   client's one listing. Between another thread's look (the pointer, and a fill time past
//   its patience) and its compare-and-swap, the owner may empty the slot, run the client and
//   fill the slot again with the same client. The compare-and-swap then succeeds on the new
//   fill: its acquire reads the new fill's store, so it moves the new fill's reference, and
//   the owner's exchange later finds the slot empty. The old fill was emptied by the owner
//   alone and the new one by the thief alone, so the client runs once for each listing: the
//   new one only starts before its patience has run out.
// - The watch never leaves a filled slot unwatched: a submitter fills the slot and then reads
//   whether the watch runs; the watch, stopping, clears that flag and then reads every slot.
//   All four are seq_cst, so at least one of the two sees the other's write and starts the
//   watch again; the flag's exchange lets only one of them start it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Dispatch/detail/PoolClient.h"

namespace platform::detail {

class NextJobSlot {
public:
    using Job = std::shared_ptr<PoolClient>;
    class Watch;

    static constexpr std::chrono::microseconds kPatience{20};
    static constexpr int64_t kPatienceNanos = std::chrono::nanoseconds(kPatience).count();
    // The longest the slot watch waits between two looks while slots are in use.
    static constexpr std::chrono::microseconds kWatchInterval{1000};

    // Nanoseconds of the steady clock: the slots' fill times and the times they are judged by.
    static int64_t nanosOf(std::chrono::steady_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    }

    // Whether it holds a job, by a look that orders nothing unless asked to.
    bool holdsJob(std::memory_order order = std::memory_order_relaxed) const { return next_.load(order) != nullptr; }
    // When it was last filled (nanosOf).
    int64_t filledAt() const { return since_.load(std::memory_order_relaxed); }
    // Whether it holds a job that has waited kPatience by `now` (nanosOf).
    bool outstayed(int64_t now) const {
        return next_.load(std::memory_order_relaxed) && now - since_.load(std::memory_order_relaxed) >= kPatienceNanos;
    }

    // On the owning worker's thread, the slot found empty: puts the job there. Returns when.
    int64_t fill(Job client) {
        PoolClient* const waiting = client.get();
        waiting->slotSelf_ = std::move(client);
        const int64_t now = nanosOf(std::chrono::steady_clock::now());
        since_.store(now, std::memory_order_relaxed);
        next_.store(waiting, std::memory_order_seq_cst);
        return now;
    }

    // On the owning worker's thread: empties the slot; null when it held nothing.
    Job takeOwn() {
        if (!next_.load(std::memory_order_relaxed)) return nullptr;
        PoolClient* const client = next_.exchange(nullptr, std::memory_order_acquire);
        return client ? std::move(client->slotSelf_) : nullptr;
    }

    // On the owning worker's thread: empties the slot when it holds `client`; null otherwise.
    // Only the owner fills the slot, so what it holds now is `client` or, once another took
    // it, nothing.
    Job takeOwnIf(const PoolClient* client) {
        if (next_.load(std::memory_order_relaxed) != client) return nullptr;
        PoolClient* const taken = next_.exchange(nullptr, std::memory_order_acquire);
        return taken ? std::move(taken->slotSelf_) : nullptr;
    }

    // Empties the slot when its job has waited there for kPatience by `now` (nanosOf); null
    // when there is none, or when its owner took it first.
    Job takeOutstayed(int64_t now) {
        PoolClient* client = next_.load(std::memory_order_acquire);
        if (!client || now - since_.load(std::memory_order_relaxed) < kPatienceNanos) return nullptr;
        // The owner may empty the slot at the same moment, and even fill it again with the same
        // client: then the job taken is the new one, a little early, which does no harm.
        if (!next_.compare_exchange_strong(client, nullptr, std::memory_order_acquire, std::memory_order_relaxed))
            return nullptr;
        return std::move(client->slotSelf_);
    }

private:
    // The job waiting, holding the client's slotSelf_.
    std::atomic<PoolClient*> next_{nullptr};
    std::atomic<int64_t> since_{0};  // when next_ was last filled (nanosOf)
};

class NextJobSlot::Watch {
public:
    // The slots the watch looks after, and where it lists the jobs it takes from them.
    class Owner {
    public:
        // How many slots, from the first, have ever been used: the watch looks at these.
        virtual std::size_t slotsInUse() const = 0;
        virtual NextJobSlot& slotAt(std::size_t index) = 0;
        // Lists jobs taken from slots where an idle worker takes them, and wakes one.
        virtual void listTaken(Job* jobs, std::size_t count) = 0;

    protected:
        ~Owner() = default;
    };

    // Looks after at most `maxSlots` slots of the owner.
    Watch(Owner& owner, std::size_t maxSlots);

    // A slot was filled at `filledAt` (nanosOf): starts the watch unless it runs already.
    void slotFilled(int64_t filledAt) {
        if (!watched_.load(std::memory_order_seq_cst)) start(filledAt + kPatienceNanos);
    }

private:
    // Starts the watch, unless it runs already, with a first look at `firstLook`.
    void start(int64_t firstLook);
    void main();
    // One look, on the watch's thread. Returns when to look next (nanosOf), or 0 when the
    // watch has stopped.
    int64_t look();

    Owner& owner_;
    // Set while the watch runs: a look is due.
    std::atomic<bool> watched_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    int64_t due_ = 0;                          // guarded by mutex_; the next look, 0: none
    bool started_ = false;                     // guarded by mutex_
    // Touched only by the watch's thread.
    std::chrono::nanoseconds interval_{kPatience};
    std::vector<int64_t> seen_;                // each slot's fill time at the last look
    std::vector<Job> taken_;
};

}  // namespace platform::detail
