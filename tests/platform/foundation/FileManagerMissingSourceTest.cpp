// Moves and removals of what is not there report the missing item, whatever
// else the path or the destination would have failed on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/foundation/FileManager.h"
#include "support/TempDir.h"

namespace {

using plat::FileManager;
using testsupport::TempDir;

void expectMissing(const plat::ErrorPtr& error, const std::string& path) {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), plat::CocoaErrorDomain);
    EXPECT_EQ(error->code(), plat::FileNoSuchFileError);
    const plat::Value* filePath = error->userInfo().find(plat::FilePathErrorKey);
    ASSERT_NE(filePath, nullptr);
    EXPECT_EQ(filePath->stringValue(), path);
}

TEST(FileManagerMissingSourceTest, AMissingSourceIsReportedWhateverTheDestination) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string missing = (dir / "missing").string();
    std::ofstream((dir / "taken").string()) << "stays";
    expectMissing(fm.moveItemAtPath(missing, (dir / "taken").string()), missing);
    expectMissing(fm.moveItemAtPath(missing, (dir / "no/folder/x").string()), missing);
    // Another file system is found before the missing name by a rename.
    std::string other = "/dev/shm/kptest-XXXXXX";
    if (::mkdtemp(other.data()) != nullptr) {
        expectMissing(fm.moveItemAtPath(missing, other + "/x"), missing);
        EXPECT_EQ(fm.removeItemAtPath(other), nullptr);
    }
    expectMissing(fm.removeItemAtPath((dir / "no/folder/x").string()), (dir / "no/folder/x").string());
    // A file on the way is no folder: not reported as missing.
    auto error = fm.removeItemAtPath((dir / "taken/x").string());
    ASSERT_NE(error, nullptr);
    EXPECT_FALSE(plat::isNoSuchFileError(error));
}

}  // namespace
