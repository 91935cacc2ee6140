// A mesh's progress notifications are built only for an observer: observed
// by its sender or by name alone, a merge reports the same progress either
// way, and an unobserved mesh still keeps its progress.
#include <gtest/gtest.h>

#include "MeshFixture.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"

namespace {

using namespace meshtest;

std::vector<double> fractions(const std::vector<plat::Notification>& notes) {
    std::vector<double> out;
    for (const auto& note : notes) {
        out.push_back(info(note, SYNProgressFractionKey).doubleValue());
    }
    return out;
}

class MeshProgressObserversTest : public MeshTest {
  protected:
    static plat::ErrorPtr merge(const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        return wait([&](SYNCompletion c) { mesh->mergeWithCompletion(c); });
    }
    static void addTasks(const std::shared_ptr<SYNPersistentStoreMesh>& mesh, const std::string& prefix) {
        AppStore app(mesh->persistentStorePath());
        for (int i = 0; i < 3; ++i) {
            app.addTask(prefix + std::to_string(i), i);
        }
        ASSERT_EQ(app.save(), nullptr);
    }
};

TEST_F(MeshProgressObserversTest, ObserversBySenderOrByNameSeeTheSameProgressAndNoneIsNeeded) {
    auto a = makeMesh("a");
    auto b = makeMesh("b");
    ASSERT_TRUE(a && b);
    ASSERT_EQ(enlist(a), nullptr);
    ASSERT_EQ(enlist(b), nullptr);

    // Unobserved: nothing to post, the progress is kept all the same.
    addTasks(a, "first");
    ASSERT_EQ(merge(a), nullptr);
    ASSERT_EQ(merge(b), nullptr);
    EXPECT_FLOAT_EQ(a->activityProgress(), 1.0f);
    EXPECT_FLOAT_EQ(b->activityProgress(), 1.0f);
    EXPECT_EQ(AppStore(b->persistentStorePath()).tasks().size(), 3u);

    // Observed by sender and by name alone (the latter also hears b).
    ActivityLog bySender(a);
    std::vector<plat::Notification> byName;
    auto token = plat::NotificationCenter::defaultCenter().addObserverForName(
        SYNPersistentStoreMeshDidMakeProgressWithActivityNotification, nullptr,
        [&](const plat::Notification& note) {
            EXPECT_TRUE(MainLoop::isMainThread());
            if (note.object.get() == a.get()) {
                byName.push_back(note);
            }
        });
    addTasks(a, "second");
    ASSERT_EQ(merge(a), nullptr);
    ASSERT_EQ(merge(b), nullptr);
    plat::NotificationCenter::defaultCenter().removeObserver(token);
    const auto heard =
        fractions(bySender.named(SYNPersistentStoreMeshDidMakeProgressWithActivityNotification));
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard, fractions(byName));
    EXPECT_DOUBLE_EQ(heard.back(), 1.0);
    for (std::size_t i = 1; i < heard.size(); ++i) {
        EXPECT_GE(heard[i], heard[i - 1]);
    }
    for (const auto& note : bySender.named(SYNPersistentStoreMeshDidMakeProgressWithActivityNotification)) {
        EXPECT_TRUE(note.userInfo.contains(SYNMeshActivityKey));
    }
    EXPECT_EQ(AppStore(b->persistentStorePath()).tasks().size(), 6u);

    // Observers gone: a's later merge is heard by none of them.
    const auto before = byName.size();
    addTasks(a, "third");
    ASSERT_EQ(merge(a), nullptr);
    EXPECT_EQ(byName.size(), before);
    EXPECT_FLOAT_EQ(a->activityProgress(), 1.0f);
}

}  // namespace
