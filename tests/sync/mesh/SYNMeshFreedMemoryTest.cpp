// Which merges look for freed memory to hand back after their integration:
// those that may have freed much (the first of a mesh, the first after an
// enlist or a rebase, one that imported many files since the last look),
// not every small merge.
#include "MeshFixture.h"

namespace meshtest {
namespace {

class FreedMemoryTest : public MeshTest {
  protected:
    static plat::ErrorPtr merge(const std::shared_ptr<SYNPersistentStoreMesh>& mesh, uint64_t options) {
        return wait([&](SYNCompletion c) { mesh->mergeWithOptions(options, c); });
    }
    static plat::ErrorPtr saveAndMerge(const std::shared_ptr<SYNPersistentStoreMesh>& mesh,
                                       const std::string& title) {
        AppStore app(mesh->persistentStorePath());
        app.addTask(title);
        if (auto error = app.save()) {
            return error;
        }
        return merge(mesh, SYNMergeOptionSkipRebase);
    }
};

TEST_F(FreedMemoryTest, OnlyMergesThatMayHaveFreedMuchLookForIt) {
    auto a = makeMesh("a");
    auto b = makeMesh("b");
    ASSERT_EQ(enlist(a), nullptr);
    ASSERT_EQ(merge(a, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(a->numberOfFreedMemoryLooks(), 1u);  // the first after the enlist
    ASSERT_EQ(saveAndMerge(a, "first"), nullptr);
    EXPECT_EQ(a->numberOfFreedMemoryLooks(), 1u);  // nothing imported

    ASSERT_EQ(enlist(b), nullptr);
    ASSERT_EQ(merge(b, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(b->numberOfFreedMemoryLooks(), 1u);

    // One file for each save of a: b's next merge takes them all up.
    const auto between = SYNPersistentStoreMesh::FilesImportedBetweenFreedMemoryLooks;
    for (uint64_t i = 0; i + 1 < between; ++i) {
        ASSERT_EQ(saveAndMerge(a, "save " + std::to_string(i)), nullptr);
    }
    ASSERT_EQ(merge(b, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(b->numberOfFreedMemoryLooks(), 1u) << "fewer files than the threshold";
    ASSERT_EQ(saveAndMerge(a, "one more"), nullptr);
    ASSERT_EQ(merge(b, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(b->numberOfFreedMemoryLooks(), 2u) << "the files add up across merges";
    ASSERT_EQ(saveAndMerge(a, "after the look"), nullptr);
    ASSERT_EQ(merge(b, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(b->numberOfFreedMemoryLooks(), 2u);

    // A rebase rewrites the store's events: the merge after it looks.
    ASSERT_EQ(merge(b, SYNMergeOptionForceRebase), nullptr);
    EXPECT_EQ(b->numberOfFreedMemoryLooks(), 3u);
    ASSERT_EQ(merge(b, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(b->numberOfFreedMemoryLooks(), 3u);
    EXPECT_EQ(AppStore(b->persistentStorePath()).tasks().size(), between + 2);

    // A mesh made anew on the same store looks at its first merge.
    a->dismantle();
    a = makeMesh("a");
    ASSERT_EQ(merge(a, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(a->numberOfFreedMemoryLooks(), 1u);
}

}  // namespace
}  // namespace meshtest
