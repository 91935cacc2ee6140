// The shared part of every queue kind, and the per-thread record of which
// queues' blocks the thread is running. Internal to the dispatch layer.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Mutex.h"

namespace plat::dispatch::detail {

class QueueImpl : public std::enable_shared_from_this<QueueImpl> {
  public:
    QueueImpl(std::string label, QualityOfService qos);
    virtual ~QueueImpl() = default;

    virtual void async(Block block) = 0;
    virtual void sync(const Block& block) = 0;
    // async() of `block` as work of `group`, which was entered for it and is
    // left once the block has run.
    virtual void asyncInGroup(Block block, Group* group);
    virtual bool isCurrent() const;
    virtual bool isMain() const { return false; }

    const std::string& label() const { return label_; }
    QualityOfService qualityOfService() const { return qos_; }

    void setClock(std::shared_ptr<Clock> clock);
    std::shared_ptr<Clock> clock() const;
    void setSpecific(const void* key, std::shared_ptr<void> value);
    std::shared_ptr<void> getSpecific(const void* key) const;

  private:
    const std::string label_;
    const QualityOfService qos_;
    mutable Mutex mutex_;
    std::shared_ptr<Clock> clock_ GUARDED_BY(mutex_);
    std::unordered_map<const void*, std::shared_ptr<void>> specifics_ GUARDED_BY(mutex_);
};

// While alive, records that the calling thread runs a block of `queue`.
// Frames nest (a sync from inside a block pushes another).
class Frame {
  public:
    explicit Frame(const QueueImpl* queue);
    ~Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    static bool contains(const QueueImpl* queue);
    static const Frame* top();

    const QueueImpl* const queue;
    const Frame* const previous;
};

// The pool band that serves a quality of service.
int bandFor(QualityOfService qos);

// The main queue's implementation (MainLoop.cpp).
const std::shared_ptr<QueueImpl>& mainQueueImpl();

}  // namespace plat::dispatch::detail
