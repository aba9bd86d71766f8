// Key-value style observation of the card service's objects: the reader manager's list of
// reader names and each reader's state.
//
// Registering an observer delivers the current value once, at once, on the registering
// thread, before the registration call returns; every later change is delivered on a thread
// of the card service (never on the registering thread's queue on purpose). The observer
// stays registered until its Observation is cancelled or destroyed. A delivery that has
// already started when cancel() is called may still finish after cancel() returns, so a
// handler must not assume its owner is alive: capture a weak reference.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

class ObserverRegistry;

// The token of one registered observer. Thread-safe.
class Observation {
public:
    ~Observation();
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;

    // Removes the observer. Returns false when it was no longer registered (cancelled
    // before, or its object is gone): the caller may report that, as the platform's
    // "observer not registered" exception.
    bool cancel();

private:
    friend class ObserverRegistry;
    Observation(std::weak_ptr<ObserverRegistry> registry, long id) : registry_(std::move(registry)), id_(id) {}

    std::weak_ptr<ObserverRegistry> registry_;
    const long id_;
};

// The observers of one observable value. Owned by the observable object through a
// shared_ptr, so that tokens may outlive it. Thread-safe; handlers run outside its lock.
class ObserverRegistry : public std::enable_shared_from_this<ObserverRegistry> {
public:
    using Handler = std::function<void()>;

    static std::shared_ptr<ObserverRegistry> create() { return std::shared_ptr<ObserverRegistry>(new ObserverRegistry); }

    // Registers the handler, runs it once at once on the calling thread, and returns its token.
    std::shared_ptr<Observation> add(Handler handler);

    // Runs every registered handler on the calling thread, one after the other.
    void notify();

    // Drops every observer (the object is going away).
    void clear();

    bool remove(long id);

private:
    ObserverRegistry() = default;

    struct Entry {
        long id;
        std::shared_ptr<Handler> handler;
    };
    std::mutex mutex_;
    long nextId_ = 1;                // guarded by mutex_
    std::vector<Entry> entries_;     // guarded by mutex_
};

}  // namespace platform
