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
    std::size_t eventFilesInCloud() const {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry :
             std::filesystem::directory_iterator(root / "cloud" / "main" / "events")) {
            ++count;
        }
        return count;
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

    // a's files reach b one merge at a time (a save event, and a merge
    // event when a's merge made one): b looks once they add up.
    const auto between = SYNPersistentStoreMesh::FilesImportedBetweenFreedMemoryLooks;
    uint64_t atLook = b->cloudManager()->numberOfFilesTakenForImport();
    uint64_t looks = b->numberOfFreedMemoryLooks();
    bool skipped = false, looked = false;
    for (int i = 0; i < 12; ++i) {
        const auto before = eventFilesInCloud();
        ASSERT_EQ(saveAndMerge(a, "save " + std::to_string(i)), nullptr);
        const auto made = eventFilesInCloud() - before;
        const auto takenBefore = b->cloudManager()->numberOfFilesTakenForImport();
        ASSERT_EQ(merge(b, SYNMergeOptionSkipRebase), nullptr);
        const auto taken = b->cloudManager()->numberOfFilesTakenForImport();
        EXPECT_EQ(taken - takenBefore, made);
        if (taken - atLook >= between) {
            EXPECT_EQ(b->numberOfFreedMemoryLooks(), ++looks) << "after " << taken - atLook << " files";
            atLook = taken;
            looked = true;
        } else {
            EXPECT_EQ(b->numberOfFreedMemoryLooks(), looks) << "after " << taken - atLook << " files";
            skipped = true;
        }
    }
    EXPECT_TRUE(skipped);
    EXPECT_TRUE(looked);

    // A rebase rewrites the store's events: the merge after it looks.
    looks = b->numberOfFreedMemoryLooks();
    ASSERT_EQ(merge(b, SYNMergeOptionForceRebase), nullptr);
    EXPECT_EQ(b->numberOfFreedMemoryLooks(), looks + 1);
    ASSERT_EQ(merge(b, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(b->numberOfFreedMemoryLooks(), looks + 1);
    EXPECT_EQ(AppStore(b->persistentStorePath()).tasks().size(), 13u);

    // One large event file is enough, however few files came with it.
    const auto filesBefore = b->cloudManager()->numberOfFilesTakenForImport();
    ASSERT_EQ(saveAndMerge(a, std::string(SYNPersistentStoreMesh::BytesImportedBetweenFreedMemoryLooks, 'x')),
              nullptr);
    ASSERT_EQ(merge(b, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_LT(b->cloudManager()->numberOfFilesTakenForImport() - filesBefore, between);
    EXPECT_EQ(b->numberOfFreedMemoryLooks(), looks + 2);
    EXPECT_EQ(AppStore(b->persistentStorePath()).tasks().size(), 14u);

    // A mesh made anew on the same store looks at its first merge.
    a->dismantle();
    a = makeMesh("a");
    ASSERT_EQ(merge(a, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(a->numberOfFreedMemoryLooks(), 1u);
}

}  // namespace
}  // namespace meshtest
