#include "Platform/UrlLoading/detail/URLLoader.h"

#include <vector>

namespace platform::detail {

URLLoader& URLLoader::shared() {
    static URLLoader loader;
    return loader;
}

URLLoader::~URLLoader() {
    stopping_.store(true);
    std::list<std::shared_ptr<Worker>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.swap(workers_);
    }
    for (auto& w : all) {
        if (w->thread.joinable()) w->thread.join();
    }
}

void URLLoader::start(std::function<void()> job) {
    std::vector<std::shared_ptr<Worker>> finished;
    auto worker = std::make_shared<Worker>();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->done) {
            finished.push_back(*it);
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
    workers_.push_back(worker);
    // The new thread marks itself done under the mutex, which it cannot take before we
    // leave this call, so `worker->thread` is set by then.
    worker->thread = std::thread([this, worker, job = std::move(job)] {
        job();
        std::lock_guard<std::mutex> lk(mutex_);
        worker->done = true;
    });
    for (auto& w : finished) w->thread.join();  // already done: returns at once
}

}  // namespace platform::detail
