// NotificationCenter: named notifications delivered synchronously to observers
// (the platform's notification centre).
//
// An observer registers for a name (empty: every name) and a sender (null:
// every sender) and gets a block. Senders are compared by identity: an
// observer registered for a sender owned by a shared_ptr matches only while
// that object is alive, so a later object at the same address never matches.
//
// Threads: every member may be called from any thread, also from inside an
// observer's block. postNotification calls the matching observers on the
// posting thread, in registration order, without holding the centre's lock.
// Observers added while a post runs are not called by that post. A removal is
// effective for every post that starts after removeObserver returns, and for
// the rest of a post running on the same thread (an observer that removes
// itself or a later observer from inside a block). A post already running on
// another thread may still make one last call to an observer being removed,
// so an observer's block must stay safe to run until the remover is sure no
// such post runs (the block itself is kept alive by the post).
//
// Exceptions thrown by a block reach the poster; later observers of that post
// are then not called.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

namespace plat {

// A posted notification: its name, its sender (any shared object, or null)
// and its user info. A notification is an Object, so it can travel inside
// another notification's user info:
//   info.set("managedObjectContextSaveNotification", Value(std::make_shared<const Notification>(saved)));
//   auto inner = info.find("managedObjectContextSaveNotification")->asObjectOf<Notification>();
// It compares by identity and prints "NSConcreteNotification 0x…
// {name = …}".
struct Notification : Object {
    std::string name;
    std::shared_ptr<const void> object;
    Dictionary userInfo;

    Notification() = default;
    explicit Notification(std::string name, std::shared_ptr<const void> object = nullptr,
                          Dictionary userInfo = {})
        : name(std::move(name)), object(std::move(object)), userInfo(std::move(userInfo)) {}

    std::string description() const override;
    std::string className() const override { return "NSNotification"; }
};

// One registration. Opaque: callers keep the token only to remove it.
class NotificationObserver;
using ObserverToken = std::shared_ptr<NotificationObserver>;

class NotificationCenter {
  public:
    using Block = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process-wide centre; never destroyed, so posting during exit is safe.
    static NotificationCenter& defaultCenter();

    // Registers block for notifications named name (empty: any name) from
    // sender (null: any sender). The returned token removes the registration.
    ObserverToken addObserverForName(std::string name, std::shared_ptr<const void> sender, Block block);
    // As addObserverForName, and records owner so that removeObserver(owner)
    // removes every registration made for it. owner is only compared, never
    // dereferenced.
    ObserverToken addObserver(const void* owner, std::string name, std::shared_ptr<const void> sender,
                              Block block);

    // Removes one registration; removing twice or a null token does nothing.
    void removeObserver(const ObserverToken& token);
    // Removes every registration made with addObserver for owner.
    void removeObserver(const void* owner);

    void postNotification(const Notification& notification);
    void postNotificationName(std::string name, std::shared_ptr<const void> sender = nullptr,
                              Dictionary userInfo = {});

    // Number of live registrations (for diagnostics and tests).
    std::size_t observerCount() const;
    // Whether a post of a notification named `name` from `sender` would call
    // any observer registered now: a poster whose notification is costly to
    // build (a user info of many objects) builds it only then. An observer
    // added after this answer may miss that post, as it would miss a post
    // already running.
    bool hasObserver(std::string_view name, const void* sender) const;

  private:
    // The block lives in the list, not in the token, so a block may capture its
    // own token: it is released once removed and no running post uses it.
    struct Entry {
        std::shared_ptr<NotificationObserver> observer;
        std::shared_ptr<const Block> block;
    };
    using List = std::vector<Entry>;

    ObserverToken add(const void* owner, std::string name, std::shared_ptr<const void> sender, Block block);
    template <class Pred>
    void removeIf(Pred pred) EXCLUDES(mutex_);

    mutable Mutex mutex_;
    // Copy-on-write: a post takes the current list under the lock and walks it
    // after releasing it; add and remove install a new list.
    std::shared_ptr<const List> observers_ GUARDED_BY(mutex_);
};

}  // namespace plat
