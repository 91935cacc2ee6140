#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using plat::Notification;
using plat::NotificationCenter;
using plat::ObserverToken;

// A non-owning sender handle: identity only, like a raw address.
std::shared_ptr<const void> unowned(const void* address) {
    return std::shared_ptr<const void>(std::shared_ptr<const void>(), address);
}

TEST(NotificationCenterTest, DeliversInRegistrationOrderFilteredByNameAndSender) {
    NotificationCenter center;
    auto s1 = std::make_shared<int>(1);
    auto s2 = std::make_shared<int>(2);
    std::vector<std::string> calls;
    center.addObserverForName("", nullptr, [&](const Notification& n) { calls.push_back("any:" + n.name); });
    center.addObserverForName("A", nullptr, [&](const Notification&) { calls.push_back("A"); });
    center.addObserverForName("A", s1, [&](const Notification& n) {
        EXPECT_EQ(n.object.get(), s1.get());
        calls.push_back("A/s1");
    });

    center.postNotificationName("A", s1);
    EXPECT_EQ(calls, (std::vector<std::string>{"any:A", "A", "A/s1"}));
    calls.clear();
    center.postNotificationName("A", s2);
    EXPECT_EQ(calls, (std::vector<std::string>{"any:A", "A"}));
    calls.clear();
    center.postNotificationName("A");
    center.postNotificationName("B", s1);
    EXPECT_EQ(calls, (std::vector<std::string>{"any:A", "A", "any:B"}));
}

// hasObserver answers whether a post would call anyone: the same filter as
// delivery (name or any name, sender or any sender, a sender that is gone
// matching nothing), and removed registrations count no more.
TEST(NotificationCenterTest, TellsWhetherAPostWouldReachAnObserver) {
    NotificationCenter center;
    auto s1 = std::make_shared<int>(1);
    auto s2 = std::make_shared<int>(2);
    EXPECT_FALSE(center.hasObserver("A", s1.get()));

    auto forS1 = center.addObserverForName("A", s1, [](const Notification&) {});
    EXPECT_TRUE(center.hasObserver("A", s1.get()));
    EXPECT_FALSE(center.hasObserver("A", s2.get()));
    EXPECT_FALSE(center.hasObserver("B", s1.get()));

    auto anySender = center.addObserverForName("B", nullptr, [](const Notification&) {});
    EXPECT_TRUE(center.hasObserver("B", s2.get()));
    EXPECT_TRUE(center.hasObserver("B", nullptr));
    EXPECT_FALSE(center.hasObserver("C", s2.get()));

    auto anyName = center.addObserverForName("", s2, [](const Notification&) {});
    EXPECT_TRUE(center.hasObserver("C", s2.get()));
    EXPECT_FALSE(center.hasObserver("C", s1.get()));
    center.removeObserver(anyName);
    center.removeObserver(anySender);
    EXPECT_FALSE(center.hasObserver("B", s2.get()));

    // A sender that is gone: whatever lives at its address later is another
    // object, which the registration does not observe.
    const void* address = s1.get();
    s1.reset();
    EXPECT_FALSE(center.hasObserver("A", address));
    center.removeObserver(forS1);
    EXPECT_EQ(center.observerCount(), 0u);
}

TEST(NotificationCenterTest, PassesUserInfoAndAcceptsPrebuiltNotifications) {
    NotificationCenter center;
    plat::Dictionary seen;
    center.addObserverForName("Saved", nullptr, [&](const Notification& n) { seen = n.userInfo; });
    center.postNotificationName("Saved", nullptr, plat::Dictionary{{"count", 3}});
    ASSERT_NE(seen.find("count"), nullptr);
    EXPECT_EQ(seen.find("count")->integerValue(), 3);
    center.postNotification(Notification("Saved", nullptr, plat::Dictionary{{"count", 4}}));
    EXPECT_EQ(seen.find("count")->integerValue(), 4);
}

// A class of the system that is not an Object, standing for a mesh or a task.
struct Mesh {
    int merges = 0;
};

TEST(NotificationCenterTest, NotificationsAndBoxedObjectsTravelInUserInfo) {
    NotificationCenter center;
    auto mesh = std::make_shared<Mesh>();
    const auto saved =
        std::make_shared<const Notification>("didSave", nullptr, plat::Dictionary{{"inserted", 3}});
    std::shared_ptr<const Notification> received;
    auto token = center.addObserverForName("merged", nullptr, [&](const Notification& n) {
        received = n.userInfo.find("saveNotification")->asObjectOf<Notification>();
        // The boxed object comes back as it went in, mutable.
        if (auto m = plat::BoxedObject<Mesh>::unbox(*n.userInfo.find("persistentStoreMesh")))
            ++m->merges;
        EXPECT_EQ(plat::BoxedObject<int>::unbox(*n.userInfo.find("persistentStoreMesh")), nullptr);
        EXPECT_EQ(plat::BoxedObject<Mesh>::unbox(*n.userInfo.find("saveNotification")), nullptr);
    });
    center.postNotificationName(
        "merged", nullptr,
        plat::Dictionary{
            {"saveNotification", plat::Value(saved)},
            {"persistentStoreMesh", plat::Value(plat::BoxedObject<Mesh>::make(mesh, "SYNMesh"))}});
    ASSERT_EQ(received, saved);
    EXPECT_EQ(received->userInfo.find("inserted")->longLongValue(), 3);
    EXPECT_EQ(mesh->merges, 1);

    // Boxes compare by the object they hold; notifications by identity.
    EXPECT_EQ(plat::Value(plat::BoxedObject<Mesh>::make(mesh)),
              plat::Value(plat::BoxedObject<Mesh>::make(mesh)));
    EXPECT_NE(plat::Value(plat::BoxedObject<Mesh>::make(mesh)),
              plat::Value(plat::BoxedObject<Mesh>::make(std::make_shared<Mesh>())));
    EXPECT_TRUE(plat::Value(plat::BoxedObject<Mesh>::make(nullptr)).isNull());
    EXPECT_EQ(plat::BoxedObject<Mesh>::make(mesh, "SYNMesh")->className(), "SYNMesh");
    EXPECT_NE(plat::Value(saved), plat::Value(std::make_shared<const Notification>(*saved)));
    const std::string text = saved->description();
    EXPECT_EQ(text.rfind("NSConcreteNotification 0x", 0), 0u) << text;
    EXPECT_NE(text.find("{name = didSave; userInfo = "), std::string::npos) << text;
    center.removeObserver(token);
}

TEST(NotificationCenterTest, SenderIsMatchedByIdentityOnlyWhileItLives) {
    NotificationCenter center;
    auto sender = std::make_shared<std::string>("sender");
    const void* address = sender.get();
    auto twin = std::make_shared<std::string>("sender");  // equal, not identical
    int calls = 0;
    center.addObserverForName("N", sender, [&](const Notification&) { ++calls; });

    center.postNotificationName("N", twin);
    EXPECT_EQ(calls, 0);
    center.postNotificationName("N", unowned(address));
    EXPECT_EQ(calls, 1);
    sender.reset();
    // Whatever lives at the old address now is another object.
    center.postNotificationName("N", unowned(address));
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, RemovesByTokenAndByOwner) {
    NotificationCenter center;
    int ownerA = 0, ownerB = 0;
    std::vector<std::string> calls;
    center.addObserver(&ownerA, "N", nullptr, [&](const Notification&) { calls.push_back("a1"); });
    center.addObserver(&ownerA, "", nullptr, [&](const Notification&) { calls.push_back("a2"); });
    auto b = center.addObserver(&ownerB, "N", nullptr, [&](const Notification&) { calls.push_back("b"); });
    auto plain = center.addObserverForName("N", nullptr, [&](const Notification&) { calls.push_back("p"); });
    EXPECT_EQ(center.observerCount(), 4u);

    center.removeObserver(&ownerA);
    center.postNotificationName("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"b", "p"}));

    calls.clear();
    center.removeObserver(plain);
    center.removeObserver(plain);  // twice is harmless
    center.removeObserver(ObserverToken());
    center.postNotificationName("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"b"}));
    EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenterTest, ChangesFromInsideACallbackApplyAsExpected) {
    NotificationCenter center;
    std::vector<std::string> calls;
    ObserverToken self, later, added;
    self = center.addObserverForName("N", nullptr, [&](const Notification&) {
        calls.push_back("self");
        center.removeObserver(self);
        center.removeObserver(later);
        added =
            center.addObserverForName("N", nullptr, [&](const Notification&) { calls.push_back("added"); });
    });
    later = center.addObserverForName("N", nullptr, [&](const Notification&) { calls.push_back("later"); });

    // The removed later observer is skipped at once; the new one waits for
    // the next post.
    center.postNotificationName("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"self"}));
    center.postNotificationName("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"self", "added"}));
}

// Removes another registration when destroyed, as owners often do.
class RemovesOnDestruction {
  public:
    RemovesOnDestruction(NotificationCenter& center, ObserverToken token) : center_(center), token_(token) {}
    ~RemovesOnDestruction() { center_.removeObserver(token_); }

  private:
    NotificationCenter& center_;
    ObserverToken token_;
};

TEST(NotificationCenterTest, RemovalReleasesTheBlockAndWhatItCaptured) {
    NotificationCenter center;
    auto other = center.addObserverForName("X", nullptr, [](const Notification&) {});
    auto guard = std::make_shared<RemovesOnDestruction>(center, other);
    std::weak_ptr<RemovesOnDestruction> weakGuard = guard;
    auto token = std::make_shared<ObserverToken>();
    // The block holds its own token: no cycle may keep it alive.
    *token = center.addObserverForName("N", nullptr, [guard, token](const Notification&) {});
    guard.reset();
    EXPECT_FALSE(weakGuard.expired());

    center.removeObserver(*token);
    EXPECT_TRUE(weakGuard.expired());
    EXPECT_EQ(center.observerCount(), 0u) << "the captured owner removed its registration";
}

TEST(NotificationCenterTest, ExceptionFromAnObserverReachesThePosterAndLeavesTheCentreUsable) {
    NotificationCenter center;
    int calls = 0;
    auto thrower = center.addObserverForName(
        "N", nullptr, [](const Notification&) { throw std::runtime_error("observer failed"); });
    center.addObserverForName("N", nullptr, [&](const Notification&) { ++calls; });
    EXPECT_THROW(center.postNotificationName("N"), std::runtime_error);
    EXPECT_EQ(calls, 0);
    center.removeObserver(thrower);
    center.postNotificationName("N");
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, DefaultCenterIsOneInstance) {
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

// Set by a posting thread for the post it runs, so the observer knows whether
// that post started after the removal had returned.
thread_local bool postStartedAfterRemoval = false;

TEST(NotificationCenterTest, ConcurrentPostsAddsAndRemovalsAreSafeAndRemovalIsEffective) {
    NotificationCenter center;
    std::atomic<bool> removed{false};
    std::atomic<bool> stop{false};
    std::atomic<int> lateDeliveries{0};
    std::atomic<long> deliveries{0};
    std::atomic<int> postsAfterRemoval{0};
    auto watched = center.addObserverForName("N", nullptr, [&](const Notification&) {
        if (postStartedAfterRemoval) {
            ++lateDeliveries;
        }
    });

    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                postStartedAfterRemoval = removed.load();
                center.postNotificationName("N");
                if (postStartedAfterRemoval) {
                    ++postsAfterRemoval;
                }
            }
        });
    }
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            int owner = i;
            for (int round = 0; round < 300; ++round) {
                auto token =
                    center.addObserverForName("N", nullptr, [&](const Notification&) { ++deliveries; });
                center.addObserver(&owner, "", nullptr, [&](const Notification&) { ++deliveries; });
                center.removeObserver(token);
                center.removeObserver(&owner);
            }
        });
    }
    threads[3].join();
    threads[4].join();
    center.removeObserver(watched);
    removed.store(true);
    while (postsAfterRemoval.load() < 300) {
        std::this_thread::yield();
    }
    stop.store(true);
    for (int i = 0; i < 3; ++i) {
        threads[i].join();
    }
    EXPECT_EQ(lateDeliveries.load(), 0);
    EXPECT_EQ(center.observerCount(), 0u);
}

}  // namespace
