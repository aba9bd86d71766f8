// A serial queue as the pool sees it. Internal to the dispatch layer.
#pragma once

#include <cstddef>
#include <memory>

namespace platform::detail {

// Something with tasks to run a batch of.
// A client is listed with the pool at most once at a time (a serial queue lists itself when it
// takes its turn, and again only when the pool has taken it): while it waits in the inbox, the
// inbox's link and reference live in the client itself.
class PoolClient {
public:
    virtual ~PoolClient() = default;
    // Runs up to `limit` tasks on the calling worker. Returns true when tasks remain: the client
    // keeps its turn and the caller runs or lists it again.
    virtual bool runBatch(std::size_t limit) = 0;

private:
    friend class Pool;
    friend class NextJobSlot;
    // Set while the client waits in the pool's inbox: the inbox's reference to it, and the
    // client listed before it.
    std::shared_ptr<PoolClient> inboxSelf_;
    PoolClient* inboxNext_ = nullptr;
    // Set while the client waits in a worker's next-job slot: the slot's reference to it.
    std::shared_ptr<PoolClient> slotSelf_;
};

}  // namespace platform::detail
