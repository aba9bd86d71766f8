#include "Platform/CardService/Observation.h"

#include <algorithm>

namespace platform {

Observation::~Observation() { cancel(); }

bool Observation::cancel() {
    std::shared_ptr<ObserverRegistry> registry = registry_.lock();
    return registry && registry->remove(id_);
}

std::shared_ptr<Observation> ObserverRegistry::add(Handler handler) {
    auto shared = std::make_shared<Handler>(std::move(handler));
    long id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = nextId_++;
        entries_.push_back({id, shared});
    }
    auto token = std::shared_ptr<Observation>(new Observation(weak_from_this(), id));
    (*shared)();  // the initial delivery, on the registering thread
    return token;
}

void ObserverRegistry::notify() {
    std::vector<std::shared_ptr<Handler>> handlers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry& e : entries_) handlers.push_back(e.handler);
    }
    for (const auto& h : handlers) (*h)();
}

void ObserverRegistry::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

bool ObserverRegistry::remove(long id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [id](const Entry& e) { return e.id == id; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

}  // namespace platform
