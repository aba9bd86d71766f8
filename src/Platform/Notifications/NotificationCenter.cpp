#include "Platform/Notifications/NotificationCenter.h"

#include <algorithm>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter();
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer, const void* sender) {
    auto entry = std::make_shared<Entry>();
    entry->name = std::move(name);
    entry->sender = sender;
    entry->observer = std::move(observer);
    std::lock_guard lock(mutex_);
    entry->token = nextToken_++;
    entries_.push_back(entry);
    return entry->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::unique_lock lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e->token == token; });
    if (it == entries_.end()) return;
    std::shared_ptr<Entry> entry = *it;
    entries_.erase(it);
    entry->removed = true;
    const auto self = std::this_thread::get_id();
    // A call running on this very thread is the caller itself: waiting for it would never end.
    idle_.wait(lock, [&] {
        return std::all_of(entry->threads.begin(), entry->threads.end(), [&](auto id) { return id == self; });
    });
}

void NotificationCenter::post(const std::string& name, std::shared_ptr<void> object) {
    std::vector<std::shared_ptr<Entry>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            if (e->name == name && (e->sender == nullptr || e->sender == object.get())) matching.push_back(e);
        }
    }
    const Notification notification{name, std::move(object)};
    const auto self = std::this_thread::get_id();
    for (const auto& e : matching) {
        {
            std::lock_guard lock(mutex_);
            if (e->removed) continue;
            e->threads.push_back(self);
        }
        e->observer(notification);
        std::lock_guard lock(mutex_);
        e->threads.erase(std::find(e->threads.begin(), e->threads.end(), self));
        idle_.notify_all();
    }
}

}  // namespace platform
