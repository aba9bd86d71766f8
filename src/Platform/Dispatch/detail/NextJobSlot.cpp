#include "Platform/Dispatch/detail/NextJobSlot.h"

#include <pthread.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include "Platform/PlainLog.h"

namespace platform::detail {

NextJobSlot::Watch::Watch(Owner& owner, std::size_t maxSlots) : owner_(owner), seen_(maxSlots, 0) {}

void NextJobSlot::Watch::start(int64_t firstLook) {
    if (watched_.exchange(true, std::memory_order_seq_cst)) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        due_ = firstLook;
        if (!started_) {
            started_ = true;
            try {
                std::thread([this] { main(); }).detach();
            } catch (const std::system_error& e) {
                // The watch stays set, so that no submission tries again: a job then waits in
                // a slot for its batch to end, as it would without the watch.
                plainLog("Dispatch pool: cannot start the slot watch thread: %@", e.what());
            }
        }
    }
    cv_.notify_one();
}

void NextJobSlot::Watch::main() {
    pthread_setname_np(pthread_self(), "pellix-watch");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (due_ == 0) {
            cv_.wait(lock);
            continue;
        }
        const std::chrono::steady_clock::time_point due{std::chrono::nanoseconds(due_)};
        if (std::chrono::steady_clock::now() < due) {
            cv_.wait_until(lock, due);
            continue;
        }
        due_ = 0;
        lock.unlock();
        const int64_t next = look();
        lock.lock();
        // While the watch goes on, no submission starts it: the next look is ours to set.
        if (next != 0) due_ = next;
    }
}

int64_t NextJobSlot::Watch::look() {
    const int64_t now = nanosOf(std::chrono::steady_clock::now());
    const std::size_t slots = owner_.slotsInUse();
    bool inUse = false;  // a slot holds a job, or has been filled since the last look
    for (std::size_t i = 0; i < slots; ++i) {
        NextJobSlot& victim = owner_.slotAt(i);
        const int64_t since = victim.filledAt();
        if (since != seen_[i]) {
            seen_[i] = since;
            inUse = true;
        }
        if (Job job = victim.takeOutstayed(now))
            taken_.push_back(std::move(job));
        else if (victim.holdsJob())
            inUse = true;
    }
    if (!taken_.empty()) {
        // Its owner is held up by a long task: the job goes where an idle worker takes it.
        owner_.listTaken(taken_.data(), taken_.size());
        taken_.clear();
        interval_ = kPatience;
        inUse = true;
    } else {
        interval_ = std::min<std::chrono::nanoseconds>(2 * interval_, kWatchInterval);
    }
    if (inUse) return now + interval_.count();
    // The pool has gone quiet: the watch stops, and starts again with the next job put in a
    // slot. A job put there while it stopped is seen here or sees the watch stopped.
    interval_ = kPatience;
    watched_.store(false, std::memory_order_seq_cst);
    for (std::size_t i = 0; i < slots; ++i) {
        if (owner_.slotAt(i).holdsJob(std::memory_order_seq_cst)) {
            start(now + kPatienceNanos);
            break;
        }
    }
    return 0;
}

}  // namespace platform::detail
