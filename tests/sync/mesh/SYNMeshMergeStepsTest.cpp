// The merge's set-up steps that only some file systems do (priming and
// repairing the mesh folder): taken, and taken before the cloud is listed,
// when the file system does them, whatever the merge's options; left out
// otherwise, the merge carrying the changes all the same.
#include <mutex>
#include <string>
#include <vector>

#include "MeshFixture.h"

namespace meshtest {
namespace {

// A cloud folder on disk that also primes and repairs, recording each of
// those calls and each listing, in order.
class PreparingCloud : public SYNLocalCloudFileSystem {
  public:
    PreparingCloud(std::string root, bool primes, bool repairs)
        : SYNLocalCloudFileSystem(std::move(root)), primes_(primes), repairs_(repairs) {}

    bool respondsToMember(OptionalMember member) const override {
        if (member == OptionalMember::PrimeForActivity) {
            return primes_;
        }
        if (member == OptionalMember::RepairMeshDirectory) {
            return repairs_;
        }
        return SYNLocalCloudFileSystem::respondsToMember(member);
    }
    void primeForActivityWithCompletion(Completion completion) override {
        log("prime");
        plat::dispatch::Queue::main().async([completion] { completion(nullptr); });
    }
    void repairMeshDirectory(const std::string& path, Completion completion) override {
        log("repair " + path);
        plat::dispatch::Queue::main().async([completion] { completion(nullptr); });
    }
    void contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) override {
        log("list");
        SYNLocalCloudFileSystem::contentsOfDirectoryAtPath(path, std::move(completion));
    }

    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    std::size_t count(const std::string& prefix) {
        std::size_t found = 0;
        for (const auto& call : calls()) {
            found += call.rfind(prefix, 0) == 0;
        }
        return found;
    }
    // Whether every call starting with `first` came before the first listing.
    bool before(const std::string& first) {
        bool listed = false;
        for (const auto& call : calls()) {
            listed = listed || call == "list";
            if (call.rfind(first, 0) == 0 && listed) {
                return false;
            }
        }
        return true;
    }

  private:
    void log(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    const bool primes_;
    const bool repairs_;
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

class MeshMergeStepsTest : public MeshTest {
  protected:
    static plat::ErrorPtr merge(const std::shared_ptr<SYNPersistentStoreMesh>& mesh, uint64_t options = 0) {
        return wait([&](SYNCompletion c) { mesh->mergeWithOptions(options, c); });
    }
    void addTask(const std::shared_ptr<SYNPersistentStoreMesh>& mesh, const std::string& title) {
        AppStore app(mesh->persistentStorePath());
        app.addTask(title);
        ASSERT_EQ(app.save(), nullptr);
    }
    std::shared_ptr<PreparingCloud> cloud(bool primes, bool repairs) {
        return std::make_shared<PreparingCloud>((root / "cloud").string(), primes, repairs);
    }
};

TEST_F(MeshMergeStepsTest, AFileSystemThatPrimesAndRepairsIsAskedBeforeTheListingsOfEveryMerge) {
    auto fsA = cloud(true, true);
    auto a = makeMesh("a", fsA);
    auto b = makeMesh("b", cloud(false, false));
    ASSERT_TRUE(a && b);
    ASSERT_EQ(enlist(a), nullptr);
    ASSERT_EQ(enlist(b), nullptr);

    addTask(a, "first");
    fsA->clear();
    ASSERT_EQ(merge(a), nullptr);
    EXPECT_EQ(fsA->count("prime"), 1u);
    EXPECT_EQ(fsA->count("repair "), 1u);
    EXPECT_EQ(fsA->count("repair " + a->cloudManager()->remoteMeshDirectory()), 1u);
    EXPECT_GT(fsA->count("list"), 0u);
    EXPECT_TRUE(fsA->before("prime"));
    EXPECT_TRUE(fsA->before("repair"));

    // Imports or exports only still look at the cloud first: primed and
    // repaired before, once each.
    for (uint64_t options : {uint64_t{SYNMergeOptionImportsOnly}, uint64_t{SYNMergeOptionExportsOnly}}) {
        fsA->clear();
        ASSERT_EQ(merge(a, options), nullptr);
        EXPECT_EQ(fsA->count("prime"), 1u) << options;
        EXPECT_EQ(fsA->count("repair "), 1u) << options;
        EXPECT_TRUE(fsA->before("prime")) << options;
        EXPECT_TRUE(fsA->before("repair")) << options;
    }

    ASSERT_EQ(merge(b), nullptr);
    EXPECT_EQ(AppStore(b->persistentStorePath()).tasks().size(), 1u);
    EXPECT_FLOAT_EQ(a->activityProgress(), 1.0f);
    EXPECT_FLOAT_EQ(b->activityProgress(), 1.0f);
}

TEST_F(MeshMergeStepsTest, AFileSystemThatNeitherPrimesNorRepairsIsNotAskedAndChangesStillCarry) {
    auto fsA = cloud(false, false);
    auto fsB = cloud(true, false);
    auto a = makeMesh("a", fsA);
    auto b = makeMesh("b", fsB);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(enlist(a), nullptr);
    ASSERT_EQ(enlist(b), nullptr);
    for (int round = 0; round < 3; ++round) {
        addTask(a, "a" + std::to_string(round));
        addTask(b, "b" + std::to_string(round));
        fsA->clear();
        fsB->clear();
        ASSERT_EQ(merge(a), nullptr);
        ASSERT_EQ(merge(b), nullptr);
        ASSERT_EQ(merge(a), nullptr);
        EXPECT_EQ(fsA->count("prime") + fsA->count("repair"), 0u);
        EXPECT_EQ(fsB->count("prime"), 1u);
        EXPECT_EQ(fsB->count("repair"), 0u);
        EXPECT_FLOAT_EQ(a->activityProgress(), 1.0f);
        EXPECT_FLOAT_EQ(b->activityProgress(), 1.0f);
    }
    EXPECT_EQ(AppStore(a->persistentStorePath()).tasks().size(), 6u);
    EXPECT_EQ(AppStore(b->persistentStorePath()).tasks().size(), 6u);
}

}  // namespace
}  // namespace meshtest
