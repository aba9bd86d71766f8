// The task list of a serial queue: many threads add tasks, one drains them. Internal to the
// dispatch layer.
//
// An intrusive list after D. Vyukov's multi-producer single-consumer queue: push() is one
// atomic exchange and never waits for another thread, so producers never contend for a lock
// with each other or with the consumer. Tasks come out in the order their pushes took effect,
// which keeps each producer's own order.
//
// push() may be called from any thread. Everything else belongs to the consumer: the one
// thread that holds the queue's turn (a serial queue hands the turn over with an atomic flag,
// which also orders one consumer's steps before the next one's).
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "Platform/Dispatch/DispatchQueue.h"

namespace platform::detail {

class TaskList {
public:
    using Node = TaskNode;

    TaskList() = default;
    TaskList(const TaskList&) = delete;
    TaskList& operator=(const TaskList&) = delete;
    ~TaskList();

    // Adds a task at the end and takes ownership of it (the consumer deletes what it pops).
    // Any thread.
    void pushNode(std::unique_ptr<Node> node) { link(node.release()); }
    template <class F>
    void push(F&& fn) {
        pushNode(std::make_unique<CallableNode<std::decay_t<F>>>(std::forward<F>(fn)));
    }

    // Consumer only: the first task, or nullptr when the list is empty. A push that has begun
    // but not yet linked its node is waited for (it is a few instructions away from done).
    Node* pop();

    // Consumer only: true when no task is left, counting a push that has begun.
    bool empty() const { return head_ == &stub_ && nothingPushedSinceEmpty(); }

    // True when nothing has been pushed since the consumer last found the list empty. Reads
    // only the producers' end, so a thread that has just given up the turn right after
    // finding the list empty may ask whether something came in meanwhile. (Once a task has
    // been taken since, the stub may already stand behind a task still to be taken: only
    // empty() tells then.)
    bool nothingPushedSinceEmpty() const { return tail_.load(std::memory_order_seq_cst) == &stub_; }

private:
    void link(Node* node) {
        // seq_cst: a producer that then finds the queue scheduled relies on the consumer seeing
        // this node when it gives up its turn (see SerialQueue).
        Node* prev = tail_.exchange(node, std::memory_order_seq_cst);
        prev->next.store(node, std::memory_order_release);
    }
    // The next node after `node`, waiting through a push that has swapped the tail but not yet
    // linked its node.
    static Node* awaitNext(Node* node);

    Node stub_;
    std::atomic<Node*> tail_{&stub_};  // producers' end
    Node* head_ = &stub_;              // consumer's end; consumer only
};

}  // namespace platform::detail
