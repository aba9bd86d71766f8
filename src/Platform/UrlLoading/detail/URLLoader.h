// The process-wide owner of the loader threads: one thread per transfer, joined when it has
// finished (reaped at the next start) or at process exit, when `stopping()` turns true so
// that running transfers abort. Internal to the URL loading stand-in.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::detail {

class URLLoader {
public:
    static URLLoader& shared();
    ~URLLoader();

    // Runs the job on a new loader thread.
    void start(std::function<void()> job);
    bool stopping() const { return stopping_.load(std::memory_order_relaxed); }

private:
    struct Worker {
        std::thread thread;
        bool done = false;  // guarded by URLLoader::mutex_
    };
    URLLoader() = default;
    std::mutex mutex_;
    std::list<std::shared_ptr<Worker>> workers_;  // guarded by mutex_
    std::atomic<bool> stopping_{false};
};

}  // namespace platform::detail
