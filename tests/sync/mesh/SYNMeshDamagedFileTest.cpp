// A damaged file in the shared folder, as a folder sync service leaves one
// (truncated mid-copy) or a careless hand (overwritten): the other machines
// go on merging and uploading, and once the machine that made it has written
// it again, every machine holds the same tasks.
#include <filesystem>
#include <fstream>

#include "MeshFixture.h"
#include "support/TempDir.h"

namespace meshtest {
namespace {

namespace fs = std::filesystem;

class DamagedFileTest : public MeshTest, public ::testing::WithParamInterface<bool> {
  protected:
    static plat::ErrorPtr merge(const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        return wait([&](SYNCompletion c) { mesh->mergeWithCompletion(c); });
    }

    // The event file in the cloud folder whose content mentions the text.
    std::optional<fs::path> eventFileMentioning(const std::string& text) {
        for (const auto& entry : fs::directory_iterator(root / "cloud" / "main" / "events")) {
            if (testsupport::readFile(entry.path()).value_or("").find(text) != std::string::npos) {
                return entry.path();
            }
        }
        return std::nullopt;
    }
};

TEST_P(DamagedFileTest, OtherMachinesGoOnAndTheMakerWritesItAgain) {
    const bool truncated = GetParam();
    auto desk = makeMesh("desk");
    auto laptop = makeMesh("laptop");
    ASSERT_EQ(enlist(desk), nullptr);
    ASSERT_EQ(enlist(laptop), nullptr);
    AppStore deskApp(desk->persistentStorePath());
    AppStore laptopApp(laptop->persistentStorePath());

    deskApp.addTask("Buy milk", 1);
    ASSERT_EQ(deskApp.save(), nullptr);
    ASSERT_EQ(merge(desk), nullptr);
    deskApp.addTask("Buy bread", 2);
    ASSERT_EQ(deskApp.save(), nullptr);
    ASSERT_EQ(merge(desk), nullptr);

    auto damaged = eventFileMentioning("Buy bread");
    ASSERT_TRUE(damaged);
    const auto whole = testsupport::readFile(*damaged).value();
    std::ofstream(*damaged, std::ios::trunc | std::ios::binary)
        << (truncated ? whole.substr(0, whole.size() / 2) : std::string(whole.size(), '\0'));

    // The laptop merges without the damaged event and still uploads its own.
    laptopApp.addTask("Call mum", 3);
    ASSERT_EQ(laptopApp.save(), nullptr);
    ASSERT_EQ(merge(laptop), nullptr);
    ASSERT_EQ(merge(laptop), nullptr) << "and again: nothing stays stuck";
    for (const auto& [path, why] : laptop->cloudManager()->unusableRemoteFiles()) {
        EXPECT_NE(path.find(damaged->filename().string()), std::string::npos) << path;
        EXPECT_NE(why.find(truncated ? "is a damaged JSON event file" : "is neither a JSON nor a binary"),
                  std::string::npos)
            << why;
        EXPECT_EQ(why.find("SQLite"), std::string::npos) << why;
    }
    EXPECT_EQ(laptop->cloudManager()->unusableRemoteFiles().size(), 1u);
    EXPECT_TRUE(eventFileMentioning("Call mum")) << "the laptop's own event was uploaded";
    laptopApp.context->reset();
    EXPECT_EQ(laptopApp.tasks().count("Buy milk"), 1u);
    EXPECT_EQ(laptopApp.tasks().count("Buy bread"), 0u);

    // The desk writes its event again; then both hold every task.
    ASSERT_EQ(merge(desk), nullptr);
    ASSERT_EQ(merge(laptop), nullptr);
    ASSERT_EQ(merge(desk), nullptr);
    const std::map<std::string, int64_t> all{{"Buy milk", 1}, {"Buy bread", 2}, {"Call mum", 3}};
    deskApp.context->reset();
    laptopApp.context->reset();
    EXPECT_EQ(deskApp.tasks(), all);
    EXPECT_EQ(laptopApp.tasks(), all);
}

INSTANTIATE_TEST_SUITE_P(Damage, DamagedFileTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Truncated" : "Overwritten"; });

}  // namespace
}  // namespace meshtest
