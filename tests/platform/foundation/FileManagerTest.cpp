#include "platform/foundation/FileManager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace {

using plat::FileManager;
using plat::SearchPathDirectory;
using testsupport::TempDir;

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string readText(const std::string& path) {
    auto data = FileManager::defaultManager().contentsAtPath(path);
    return data ? data->toString() : "<missing>";
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<std::string> listing(const std::string& path) {
    auto names = FileManager::defaultManager().contentsOfDirectoryAtPath(path);
    return names ? *names : std::vector<std::string>{"<error>"};
}

void expectFileError(const plat::ErrorPtr& error, int64_t code, const std::string& path) {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), plat::CocoaErrorDomain);
    EXPECT_EQ(error->code(), code);
    const plat::Value* filePath = error->userInfo().find(plat::FilePathErrorKey);
    ASSERT_NE(filePath, nullptr);
    EXPECT_EQ(filePath->stringValue(), path);
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_EQ(error->underlyingError()->domain(), plat::POSIXErrorDomain);
}

TEST(FileManagerTest, MissingItemsGiveNoSuchFileErrorsWhateverTheOperation) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string missing = (dir / "missing").string();

    EXPECT_FALSE(fm.fileExistsAtPath(missing));
    EXPECT_FALSE(fm.contentsAtPath(missing).has_value());
    auto read = fm.dataWithContentsOfFile(missing);
    ASSERT_FALSE(read.ok());
    expectFileError(read.error(), plat::FileReadNoSuchFileError, missing);
    EXPECT_EQ(read.error()->underlyingError()->code(), ENOENT);
    expectFileError(fm.removeItemAtPath(missing), plat::FileNoSuchFileError, missing);
    expectFileError(fm.attributesOfItemAtPath(missing).error(), plat::FileReadNoSuchFileError, missing);
    expectFileError(fm.contentsOfDirectoryAtPath(missing).error(), plat::FileReadNoSuchFileError, missing);
    expectFileError(fm.moveItemAtPath(missing, (dir / "x").string()), plat::FileNoSuchFileError, missing);
    expectFileError(fm.copyItemAtPath(missing, (dir / "x").string()), plat::FileReadNoSuchFileError, missing);
    expectFileError(fm.writeData(plat::Data::fromString("x"), (dir / "no/file").string(), true),
                    plat::FileNoSuchFileError, (dir / "no/file").string());

    for (const auto& error :
         {fm.removeItemAtPath(missing), read.error(), plat::Error::make(plat::POSIXErrorDomain, ENOENT)}) {
        EXPECT_TRUE(plat::isNoSuchFileError(error));
    }
    EXPECT_FALSE(plat::isNoSuchFileError(nullptr));
    EXPECT_FALSE(plat::isNoSuchFileError(plat::Error::make(plat::CocoaErrorDomain, 516)));
    EXPECT_FALSE(plat::isNoSuchFileError(plat::Error::make("OtherDomain", 4)));
}

TEST(FileManagerTest, PermissionDeniedGivesReadAndWriteCodes) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions are not enforced for root";
    }
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string secret = (dir / "secret").string();
    writeText(secret, "x");
    ::chmod(secret.c_str(), 0);
    EXPECT_EQ(fm.dataWithContentsOfFile(secret).error()->code(), plat::FileReadNoPermissionError);

    const std::string locked = (dir / "locked").string();
    ASSERT_EQ(fm.createDirectoryAtPath(locked, false), nullptr);
    ::chmod(locked.c_str(), 0500);
    EXPECT_EQ(fm.writeData(plat::Data::fromString("x"), locked + "/f", true)->code(),
              plat::FileWriteNoPermissionError);
    EXPECT_EQ(fm.writeData(plat::Data::fromString("x"), locked + "/f", false)->code(),
              plat::FileWriteNoPermissionError);
    EXPECT_EQ(fm.createDirectoryAtPath(locked + "/sub", true)->code(), plat::FileWriteNoPermissionError);
    ::chmod(locked.c_str(), 0700);
}

TEST(FileManagerTest, CreatesDirectoriesWithAndWithoutIntermediates) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string deep = (dir / "a/b//c/").string();

    expectFileError(fm.createDirectoryAtPath(deep, false), plat::FileNoSuchFileError, deep);
    EXPECT_EQ(fm.createDirectoryAtPath(deep, true), nullptr);
    bool isDirectory = false;
    EXPECT_TRUE(fm.fileExistsAtPath((dir / "a/b/c").string(), &isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_EQ(fm.createDirectoryAtPath(deep, true), nullptr) << "an existing folder is fine";
    expectFileError(fm.createDirectoryAtPath((dir / "a").string(), false), plat::FileWriteFileExistsError,
                    (dir / "a").string());

    writeText((dir / "file").string(), "x");
    EXPECT_EQ(fm.createDirectoryAtPath((dir / "file").string(), true)->code(),
              plat::FileWriteFileExistsError);
    EXPECT_EQ(fm.createDirectoryAtPath((dir / "file/sub").string(), true)->code(),
              plat::FileWriteUnknownError);

    const plat::Dictionary attributes{{plat::FilePosixPermissions, 0750}};
    EXPECT_EQ(fm.createDirectoryAtPath((dir / "p/q").string(), true, &attributes), nullptr);
    EXPECT_EQ(modeOf((dir / "p").string()), 0750u);
    EXPECT_EQ(modeOf((dir / "p/q").string()), 0750u);
}

TEST(FileManagerTest, ListsDirectEntriesIncludingHiddenOnesSorted) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    for (const char* name : {"b", ".hidden", "a", "Z"}) {
        writeText((dir / name).string(), name);
    }
    ASSERT_EQ(fm.createDirectoryAtPath((dir / "sub/inner").string(), true), nullptr);
    EXPECT_EQ(listing(dir.str()), (std::vector<std::string>{".hidden", "Z", "a", "b", "sub"}));
    EXPECT_EQ(fm.contentsOfDirectoryAtPath((dir / "a").string()).error()->code(), plat::FileReadUnknownError);
}

// Folders whose entries take several reads of the listing buffer (long
// names, a thousand of them) are listed, copied, enumerated and removed whole.
TEST(FileManagerTest, FoldersLargerThanOneReadOfEntriesAreListedCopiedAndRemovedWhole) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string big = (dir / "big").string();
    ASSERT_EQ(fm.createDirectoryAtPath(big + "/inner", true), nullptr);
    std::vector<std::string> expected{"inner"};
    for (int i = 0; i < 1000; ++i) {
        std::string name = std::to_string(i) + "-" + std::string(100 + i % 50, 'n');
        writeText(big + "/" + name, std::to_string(i));
        expected.push_back(name);
        if (i % 100 == 0) {
            writeText(big + "/inner/" + name, "inner");
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listing(big), expected);

    const std::string copy = (dir / "copy").string();
    ASSERT_EQ(fm.copyItemAtPath(big, copy), nullptr);
    EXPECT_EQ(listing(copy), expected);
    EXPECT_EQ(listing(copy + "/inner").size(), 10u);
    EXPECT_EQ(readText(copy + "/999-" + std::string(149, 'n')), "999");

    std::size_t enumerated = 0;
    auto enumerator = fm.enumeratorAtPath(copy);
    ASSERT_TRUE(enumerator.has_value());
    while (enumerator->nextObject()) {
        ++enumerated;
    }
    EXPECT_EQ(enumerated, expected.size() + 10);

    EXPECT_EQ(fm.removeItemAtPath(big), nullptr);
    EXPECT_FALSE(fm.fileExistsAtPath(big));
    EXPECT_EQ(listing(dir.str()), std::vector<std::string>{"copy"});
    const std::string file = copy + "/" + expected.front();
    EXPECT_EQ(fm.contentsOfDirectoryAtPath(file).error()->code(), plat::FileReadUnknownError);
}

TEST(FileManagerTest, RemovesWholeTreesWithoutFollowingLinks) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string outside = (dir / "outside").string();
    ASSERT_EQ(fm.createDirectoryAtPath(outside, false), nullptr);
    writeText(outside + "/keep", "keep");
    const std::string tree = (dir / "tree").string();
    ASSERT_EQ(fm.createDirectoryAtPath(tree + "/x/y/z", true), nullptr);
    writeText(tree + "/x/y/z/f", "f");
    writeText(tree + "/.h", "h");
    ASSERT_EQ(::symlink(outside.c_str(), (tree + "/x/link").c_str()), 0);
    EXPECT_EQ(fm.removeItemAtPath(tree), nullptr);
    EXPECT_FALSE(fm.fileExistsAtPath(tree));
    EXPECT_EQ(readText(outside + "/keep"), "keep");

    ASSERT_EQ(::symlink(outside.c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(fm.removeItemAtPath((dir / "link").string()), nullptr);
    EXPECT_TRUE(fm.fileExistsAtPath(outside + "/keep"));
    EXPECT_EQ(fm.removeItemAtPath(outside + "/keep"), nullptr);
    EXPECT_EQ(listing(outside), std::vector<std::string>{});
}

TEST(FileManagerTest, RemovalOfFilesFoldersAndPathsThroughLinksEndsAsTheWalkDid) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string folder = (dir / "folder").string();
    ASSERT_EQ(fm.createDirectoryAtPath(folder + "/empty", true), nullptr);
    writeText(folder + "/a", "a");
    writeText(folder + "/b", "b");
    ASSERT_EQ(::symlink(folder.c_str(), (dir / "via").c_str()), 0);

    // A file named with a trailing slash is not a folder: refused, kept.
    expectFileError(fm.removeItemAtPath(folder + "/a/"), plat::FileWriteUnknownError, folder + "/a/");
    EXPECT_EQ(readText(folder + "/a"), "a");
    // A file reached through a linked folder is the file itself.
    EXPECT_EQ(fm.removeItemAtPath((dir / "via").string() + "/a"), nullptr);
    EXPECT_FALSE(fm.fileExistsAtPath(folder + "/a"));
    EXPECT_EQ(fm.removeItemAtPath(folder + "/empty"), nullptr);
    EXPECT_EQ(listing(folder), std::vector<std::string>{"b"});
    // Removing a removed file again says it is missing.
    expectFileError(fm.removeItemAtPath(folder + "/a"), plat::FileNoSuchFileError, folder + "/a");
    expectFileError(fm.removeItemAtPath(""), plat::FileNoSuchFileError, "");
    EXPECT_EQ(readText(folder + "/b"), "b");
}

TEST(FileManagerTest, CopyRefusesAnExistingDestinationAndCopiesTreesExactly) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string src = (dir / "src").string();
    ASSERT_EQ(fm.createDirectoryAtPath(src + "/sub", true), nullptr);
    writeText(src + "/sub/f", "contents");
    ::chmod((src + "/sub/f").c_str(), 0640);
    ASSERT_EQ(::symlink("sub/f", (src + "/link").c_str()), 0);
    writeText((dir / "existing").string(), "old");

    expectFileError(fm.copyItemAtPath(src + "/sub/f", (dir / "existing").string()),
                    plat::FileWriteFileExistsError, (dir / "existing").string());
    EXPECT_EQ(readText((dir / "existing").string()), "old");

    const std::string dst = (dir / "dst").string();
    EXPECT_EQ(fm.copyItemAtPath(src, dst), nullptr);
    EXPECT_EQ(readText(dst + "/sub/f"), "contents");
    EXPECT_EQ(modeOf(dst + "/sub/f"), 0640u);
    EXPECT_EQ(fm.attributesOfItemAtPath(dst + "/link")->find(plat::FileType)->stringValue(),
              plat::FileTypeSymbolicLink);
    EXPECT_EQ(readText(dst + "/link"), "contents");
    EXPECT_EQ(readText(src + "/sub/f"), "contents");

    // Into itself: refused, and nothing is left behind.
    EXPECT_NE(fm.copyItemAtPath(src, src + "/sub/copy"), nullptr);
    EXPECT_FALSE(fm.fileExistsAtPath(src + "/sub/copy"));
}

TEST(FileManagerTest, MoveNeverReplacesAnExistingItem) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string a = (dir / "a").string();
    const std::string b = (dir / "b").string();
    writeText(a, "A");
    writeText(b, "B");
    expectFileError(fm.moveItemAtPath(a, b), plat::FileWriteFileExistsError, b);
    EXPECT_EQ(readText(a), "A");
    EXPECT_EQ(readText(b), "B");

    const std::string folder = (dir / "folder").string();
    ASSERT_EQ(fm.createDirectoryAtPath(folder, false), nullptr);
    EXPECT_EQ(fm.moveItemAtPath(a, folder)->code(), plat::FileWriteFileExistsError);
    EXPECT_EQ(fm.moveItemAtPath(a, folder + "/a"), nullptr);
    EXPECT_FALSE(fm.fileExistsAtPath(a));
    EXPECT_EQ(readText(folder + "/a"), "A");
    EXPECT_EQ(fm.moveItemAtPath(folder, (dir / "renamed").string()), nullptr);
    EXPECT_EQ(readText((dir / "renamed/a").string()), "A");
}

TEST(FileManagerTest, MoveAcrossFileSystemsCopiesAndRemovesTheSource) {
    TempDir dir;
    std::string other = "/dev/shm/kptest-XXXXXX";
    struct stat a, b;
    if (::mkdtemp(other.data()) == nullptr) {
        GTEST_SKIP() << "no second file system to move to";
    }
    auto& fm = FileManager::defaultManager();
    if (::stat(dir.str().c_str(), &a) != 0 || ::stat(other.c_str(), &b) != 0 || a.st_dev == b.st_dev) {
        EXPECT_EQ(fm.removeItemAtPath(other), nullptr);
        GTEST_SKIP() << "the folders share a file system";
    }
    const std::string tree = (dir / "tree").string();
    ASSERT_EQ(fm.createDirectoryAtPath(tree + "/sub", true), nullptr);
    writeText(tree + "/sub/f", "moved");
    writeText(other + "/taken", "stays");

    EXPECT_EQ(fm.moveItemAtPath(tree, other + "/taken")->code(), plat::FileWriteFileExistsError);
    EXPECT_EQ(fm.moveItemAtPath(tree, other + "/tree"), nullptr);
    EXPECT_FALSE(fm.fileExistsAtPath(tree));
    EXPECT_EQ(readText(other + "/tree/sub/f"), "moved");
    EXPECT_EQ(readText(other + "/taken"), "stays");
    EXPECT_EQ(fm.removeItemAtPath(other), nullptr);
}

TEST(FileManagerTest, AtomicWritesReplaceContentsKeepModeAndLeaveNoTemporaryFiles) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string path = (dir / "store.plist").string();
    EXPECT_EQ(fm.writeData(plat::Data::fromString("first"), path, true), nullptr);
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(fm.writeData(plat::Data::fromString("second"), path, true), nullptr);
    EXPECT_EQ(readText(path), "second");
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_TRUE(fm.createFileAtPath(path, plat::Data::fromString("third")));
    EXPECT_EQ(readText(path), "third");
    EXPECT_EQ(fm.writeData(plat::Data::fromString("4"), path, false), nullptr);
    EXPECT_EQ(readText(path), "4");

    // A folder in the way fails the rename; the temporary file goes too.
    ASSERT_EQ(fm.createDirectoryAtPath((dir / "folder").string(), false), nullptr);
    EXPECT_NE(fm.writeData(plat::Data::fromString("x"), (dir / "folder").string(), true), nullptr);
    EXPECT_EQ(listing(dir.str()), (std::vector<std::string>{"folder", "store.plist"}));
    EXPECT_FALSE(fm.createFileAtPath((dir / "missing/f").string()));
    EXPECT_EQ(readText((dir / "folder").string()), "<missing>");
}

TEST(FileManagerTest, AttributesGiveSizeTypePermissionsAndModificationDate) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string path = (dir / "f").string();
    writeText(path, "12345");
    ::chmod(path.c_str(), 0604);
    const struct timespec times[2] = {{1000000000, 0}, {1000000000, 500000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    auto attributes = fm.attributesOfItemAtPath(path);
    ASSERT_TRUE(attributes.ok());
    EXPECT_EQ(attributes->find(plat::FileSize)->unsignedLongLongValue(), 5u);
    EXPECT_TRUE(attributes->find(plat::FileSize)->isInteger());
    EXPECT_EQ(attributes->find(plat::FileType)->stringValue(), plat::FileTypeRegular);
    EXPECT_EQ(attributes->find(plat::FilePosixPermissions)->unsignedLongLongValue(), 0604u);
    auto date = attributes->find(plat::FileModificationDate)->asDate();
    ASSERT_TRUE(date.has_value());
    EXPECT_DOUBLE_EQ(date->timeIntervalSince1970(), 1000000000.5);

    EXPECT_EQ(fm.attributesOfItemAtPath(dir.str())->find(plat::FileType)->stringValue(),
              plat::FileTypeDirectory);
}

TEST(FileManagerTest, StandardFoldersFollowTheXDGVariables) {
    TempDir dir;
    const std::string home = (dir / "home").string();
    const std::string data = (dir / "data").string();
    const FileManager fm(plat::EnvironmentMap{
        {"HOME", home + "/"}, {"XDG_DATA_HOME", data + "/"}, {"XDG_CACHE_HOME", "relative/ignored"}});
    using D = SearchPathDirectory;
    const auto paths = [&](D d, unsigned mask) { return fm.searchPathsForDirectory(d, mask); };
    using V = std::vector<std::string>;
    EXPECT_EQ(paths(D::ApplicationSupportDirectory, plat::UserDomainMask), V{data});
    EXPECT_EQ(paths(D::LibraryDirectory, plat::UserDomainMask), V{data});
    EXPECT_EQ(paths(D::CachesDirectory, plat::UserDomainMask), V{home + "/.cache"});
    EXPECT_EQ(paths(D::PreferencesDirectory, plat::UserDomainMask), V{home + "/.config"});
    EXPECT_EQ(paths(D::DocumentDirectory, plat::UserDomainMask), V{home + "/Documents"});
    EXPECT_EQ(paths(D::DownloadsDirectory, plat::UserDomainMask), V{home + "/Downloads"});
    EXPECT_EQ(paths(D::MoviesDirectory, plat::UserDomainMask), V{home + "/Videos"});
    EXPECT_EQ(paths(D::ApplicationSupportDirectory, plat::AllDomainsMask),
              (V{data, "/usr/local/share", "/usr/share"}));
    EXPECT_EQ(paths(D::CachesDirectory, plat::LocalDomainMask), V{});
    EXPECT_EQ(paths(D::ApplicationSupportDirectory, plat::NetworkDomainMask), V{});
    EXPECT_EQ(paths(static_cast<D>(1), plat::UserDomainMask), V{});

    // The XDG folders exist afterwards, private; the others are left alone.
    EXPECT_EQ(modeOf(data), 0700u);
    EXPECT_EQ(modeOf(home + "/.cache"), 0700u);
    EXPECT_EQ(modeOf(home + "/.config"), 0700u);
    EXPECT_FALSE(fm.fileExistsAtPath(home + "/Documents"));

    const FileManager defaults(plat::EnvironmentMap{{"HOME", home}});
    EXPECT_EQ(defaults.searchPathsForDirectory(D::ApplicationSupportDirectory, plat::UserDomainMask),
              V{home + "/.local/share"});
    const auto urls = defaults.URLsForDirectory(D::CachesDirectory, plat::UserDomainMask);
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_TRUE(urls[0].isFileURL());
    EXPECT_EQ(urls[0].path(), home + "/.cache");
    EXPECT_FALSE(FileManager(plat::EnvironmentMap{}).homeDirectory().empty());
}

TEST(FileManagerTest, TemporaryDirectoryIsPrivateToTheUser) {
    TempDir dir;
    const FileManager fm(plat::EnvironmentMap{{"TMPDIR", dir.str() + "/"}});
    const std::string expected = dir.str() + "/kestrel-" + std::to_string(::geteuid());
    EXPECT_EQ(fm.temporaryDirectory(), expected);
    EXPECT_EQ(modeOf(expected), 0700u);
    ::chmod(expected.c_str(), 0777);
    EXPECT_EQ(fm.temporaryDirectory(), expected);
    EXPECT_EQ(modeOf(expected), 0700u) << "widened permissions are narrowed again";

    // A link planted under the name is not followed.
    TempDir other;
    const FileManager planted(plat::EnvironmentMap{{"TMPDIR", other.str()}});
    const std::string name = other.str() + "/kestrel-" + std::to_string(::geteuid());
    ASSERT_EQ(::symlink(dir.str().c_str(), name.c_str()), 0);
    const std::string chosen = planted.temporaryDirectory();
    EXPECT_NE(chosen, name);
    EXPECT_EQ(chosen.rfind(name + "-", 0), 0u);
    EXPECT_EQ(modeOf(chosen), 0700u);
    EXPECT_EQ(planted.temporaryDirectory(), chosen);
}

TEST(FileManagerTest, URLOperationsRefuseOtherSchemes) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    auto web = plat::URL::URLWithString("https://example.com/x");
    ASSERT_TRUE(web.has_value());
    EXPECT_EQ(fm.removeItemAtURL(*web)->code(), plat::FileWriteUnsupportedSchemeError);
    const auto folder = plat::URL::fileURLWithPath((dir / "made by url").string());
    EXPECT_EQ(fm.createDirectoryAtURL(folder, false), nullptr);
    EXPECT_TRUE(fm.fileExistsAtPath((dir / "made by url").string()));
    EXPECT_EQ(fm.removeItemAtURL(folder), nullptr);
    EXPECT_FALSE(fm.fileExistsAtPath((dir / "made by url").string()));
}

TEST(FileManagerTest, EnumeratorWalksDepthFirstWithOwnAttributesAndSkips) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string root = dir.str();
    ASSERT_EQ(fm.createDirectoryAtPath(root + "/b/inner", true), nullptr);
    ASSERT_EQ(fm.createDirectoryAtPath(root + "/skipped/deep", true), nullptr);
    ASSERT_EQ(fm.createDirectoryAtPath(root + "/.hidden", true), nullptr);
    writeText(root + "/a.txt", "12345");
    writeText(root + "/b/inner/f", "x");
    writeText(root + "/skipped/deep/g", "x");
    writeText(root + "/.hidden/h", "x");
    ASSERT_EQ(::symlink((root + "/b").c_str(), (root + "/link").c_str()), 0);

    auto walk = fm.enumeratorAtPath(root);
    ASSERT_TRUE(walk);
    std::vector<std::string> seen;
    while (auto entry = walk->nextObject()) {
        const plat::Value* type = walk->fileAttributes().find(plat::FileType);
        ASSERT_NE(type, nullptr) << *entry;
        seen.push_back(*entry + " " + type->stringValue() + " " + std::to_string(walk->level()));
        if (*entry == "a.txt") {
            EXPECT_EQ(walk->fileAttributes().find(plat::FileSize)->unsignedLongLongValue(), 5u);
        }
        if (*entry == "skipped")
            walk->skipDescendants();
    }
    const std::vector<std::string> expected = {
        ".hidden NSFileTypeDirectory 1", ".hidden/h NSFileTypeRegular 2", "a.txt NSFileTypeRegular 1",
        "b NSFileTypeDirectory 1",       "b/inner NSFileTypeDirectory 2", "b/inner/f NSFileTypeRegular 3",
        "link NSFileTypeSymbolicLink 1",  // not followed
        "skipped NSFileTypeDirectory 1",
    };
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(walk->nextObject());  // stays at the end

    EXPECT_FALSE(fm.enumeratorAtPath(root + "/missing"));
    EXPECT_FALSE(fm.enumeratorAtPath(root + "/a.txt"));
    EXPECT_FALSE(fm.enumeratorAtURL(*plat::URL::URLWithString("http://h/x")));
    auto empty = fm.enumeratorAtURL(plat::URL::fileURLWithPath(root + "/b/inner/", true));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->nextObject(), "f");
}

TEST(FileManagerTest, UserNameComesFromThePasswordDatabaseOrTheInjectedEnvironment) {
    const std::string name = FileManager::defaultManager().userName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_EQ(FileManager(plat::EnvironmentMap{{"USER", "peer-b"}}).userName(), "peer-b");
    EXPECT_EQ(FileManager(plat::EnvironmentMap{}).userName(), name);

    // The account's name is kept for the process once looked up: threads
    // asking at once all get it.
    std::vector<std::string> seen(4);
    std::vector<std::thread> threads;
    for (auto& each : seen) {
        threads.emplace_back([&each] { each = FileManager().userName(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(seen, std::vector<std::string>(4, name));
}

TEST(FileManagerTest, BackupExclusionSucceedsOnlyForExistingItems) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    EXPECT_EQ(fm.setExcludedFromBackup(plat::URL::fileURLWithPath(dir.str(), true), true), nullptr);
    const std::string missing = dir.str() + "/missing";
    expectFileError(fm.setExcludedFromBackup(plat::URL::fileURLWithPath(missing), true),
                    plat::FileNoSuchFileError, missing);
    EXPECT_EQ(fm.setExcludedFromBackup(*plat::URL::URLWithString("http://h/x"), true)->code(),
              plat::FileWriteUnsupportedSchemeError);
}

}  // namespace

namespace {

// Sets the umask for one scope.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

}  // namespace

TEST(FileManagerTest, CopiesNeverCarrySetuidSetgidOrStickyBitsAndFollowTheUmask) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string src = (dir / "tool").string();
    writeText(src, "#!/bin/sh\n");
    ASSERT_EQ(::chmod(src.c_str(), 06755), 0);
    ASSERT_EQ(modeOf(src), 06755u) << "the file system keeps setuid bits for the owner";
    const std::string folder = (dir / "shared").string();
    ASSERT_EQ(fm.createDirectoryAtPath(folder, false), nullptr);
    ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);

    ScopedUmask mask(077);
    ASSERT_EQ(fm.copyItemAtPath(src, (dir / "copy").string()), nullptr);
    EXPECT_EQ(modeOf((dir / "copy").string()), 0700u);
    ASSERT_EQ(fm.copyItemAtPath(folder, (dir / "folder-copy").string()), nullptr);
    EXPECT_EQ(modeOf((dir / "folder-copy").string()), 0700u);
}

TEST(FileManagerTest, ReadingAFifoOrDeviceIsRefusedWithoutBlocking) {
    TempDir dir;
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Without a writer, a blocking open would never return.
    auto read = FileManager::defaultManager().dataWithContentsOfFile(fifo);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error()->domain(), plat::CocoaErrorDomain);
    EXPECT_FALSE(FileManager::defaultManager().contentsAtPath("/dev/zero"));
    ASSERT_EQ(::symlink("/dev/zero", (dir / "zero").c_str()), 0);
    EXPECT_FALSE(FileManager::defaultManager().dataWithContentsOfFile((dir / "zero").string()).ok());
}
