// The live objects of one kind (the server's connections, its web sockets) in the order they
// came, each held until its death is reported. A death names the object by its address, and
// the index finds it at once, so taking one out costs the same however many are live: a
// flood of short connections must not make every death walk the whole list.
//
// Not locked: the owner guards the list.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <unordered_map>
#include <utility>

namespace core_detail {

template <class T>
class LiveObjectList {
public:
    // Keeps the object at the end of the list; one already listed stays where it is.
    void add(std::shared_ptr<T> object) {
        const void* key = object.get();
        if (!object || index_.count(key) != 0) return;
        index_.emplace(key, order_.insert(order_.end(), std::move(object)));
    }

    // Takes the object at that address out and hands it back (to be let go outside the
    // owner's lock); nullptr when none is listed there.
    std::shared_ptr<T> remove(const void* object) {
        auto found = index_.find(object);
        if (found == index_.end()) return nullptr;
        std::shared_ptr<T> removed = std::move(*found->second);
        order_.erase(found->second);
        index_.erase(found);
        return removed;
    }

    // Every object, in the order they came.
    const std::list<std::shared_ptr<T>>& objects() const { return order_; }

    // Empties the list and hands its objects back, in order.
    std::list<std::shared_ptr<T>> takeAll() {
        index_.clear();
        return std::exchange(order_, {});
    }

    size_t size() const { return order_.size(); }

private:
    std::list<std::shared_ptr<T>> order_;
    std::unordered_map<const void*, typename std::list<std::shared_ptr<T>>::iterator> index_;
};

}  // namespace core_detail
