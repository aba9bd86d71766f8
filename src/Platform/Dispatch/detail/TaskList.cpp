#include "Platform/Dispatch/detail/TaskList.h"

#include <thread>

namespace platform::detail {

TaskList::~TaskList() {
    while (Node* node = pop()) delete node;
}

TaskList::Node* TaskList::awaitNext(Node* node) {
    for (int spins = 0;; ++spins) {
        if (Node* next = node->next.load(std::memory_order_acquire)) return next;
        // The producer was descheduled between its two steps: let it run.
        if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            std::this_thread::yield();
        }
    }
}

TaskList::Node* TaskList::pop() {
    Node* head = head_;
    Node* next = head->next.load(std::memory_order_acquire);
    if (head == &stub_) {
        if (!next) {
            if (tail_.load(std::memory_order_acquire) == &stub_) return nullptr;
            next = awaitNext(head);
        }
        // Step over the stub: it only stands in while the list is empty.
        head_ = next;
        head = next;
        next = next->next.load(std::memory_order_acquire);
    }
    if (!next) {
        if (tail_.load(std::memory_order_acquire) == head) {
            // head is the last node: the stub goes behind it, so that the list never runs
            // out of nodes while head is handed out.
            stub_.next.store(nullptr, std::memory_order_relaxed);
            link(&stub_);
        }
        next = awaitNext(head);
    }
    head_ = next;
    return head;
}

}  // namespace platform::detail
