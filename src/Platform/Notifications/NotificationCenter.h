// A small notification centre: observers register for a name (and optionally one sender)
// and are called synchronously, on the posting thread, for every notification posted under
// that name.
//
// Threads: every operation may be called from any thread. post() calls the matching
// observers one after another on the caller's thread, outside the centre's lock, so an
// observer may itself post or add observers. removeObserver() returns only when no call of
// that observer is running on another thread, so after it returns the observer is never
// called again and whatever it captured may go; an observer that removes itself from inside
// its own call is allowed and does not wait for itself.
//
// Ownership: the centre keeps the observer functions until they are removed; the object of
// a notification is held by the notification while it is delivered.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

struct Notification {
    std::string name;
    std::shared_ptr<void> object;  // the sender, or nullptr
};

class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;
    using Token = uint64_t;

    // The process-wide centre (never destroyed).
    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // Calls observer for every notification named name; with a sender, only for those whose
    // object is that sender (compared by address). Returns the token that removes it.
    Token addObserver(std::string name, Observer observer, const void* sender = nullptr);
    // Removes the observer (an unknown token does nothing); see above for when it returns.
    void removeObserver(Token token);

    // Calls every matching observer, synchronously, in the order they were added.
    void post(const std::string& name, std::shared_ptr<void> object = nullptr);

private:
    struct Entry {
        Token token = 0;
        std::string name;
        const void* sender = nullptr;
        Observer observer;
        bool removed = false;                 // guarded by mutex_
        std::vector<std::thread::id> threads; // threads running a call; guarded by mutex_
    };

    std::mutex mutex_;
    std::condition_variable idle_;
    Token nextToken_ = 1;                        // guarded by mutex_
    std::vector<std::shared_ptr<Entry>> entries_;  // guarded by mutex_
};

}  // namespace platform
