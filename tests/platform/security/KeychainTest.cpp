#include "platform/security/Keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace plat::security {
namespace {

GenericPassword item(std::string account, std::string value) {
    return {"app.Beacon", std::move(account), Data::fromString(value),
            kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly};
}

void exerciseBackend(Keychain& keychain) {
    GenericPassword out;
    EXPECT_EQ(keychain.copyMatching({"app.Beacon", "a"}, &out), errSecItemNotFound);
    EXPECT_EQ(keychain.add(item("a", "one")), errSecSuccess);
    EXPECT_EQ(keychain.add(item("a", "two")), errSecDuplicateItem);
    EXPECT_EQ(keychain.add(item("", "x")), errSecParam);
    EXPECT_EQ(keychain.add(item("b", "bee")), errSecSuccess);
    EXPECT_EQ(keychain.add({"other", "a", Data::fromString("o"), ""}), errSecSuccess);
    ASSERT_EQ(keychain.copyMatching({"app.Beacon", "a"}, &out), errSecSuccess);
    EXPECT_EQ(out.data, Data::fromString("one"));
    EXPECT_EQ(out.accessible, kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
    EXPECT_EQ(keychain.deleteMatching({"app.Beacon", "a"}), errSecSuccess);
    EXPECT_EQ(keychain.deleteMatching({"app.Beacon", "a"}), errSecItemNotFound);
    EXPECT_EQ(keychain.deleteMatching({"app.Beacon", std::nullopt}), errSecSuccess);  // the whole service
    EXPECT_EQ(keychain.copyMatching({"app.Beacon", "b"}, nullptr), errSecItemNotFound);
    EXPECT_EQ(keychain.copyMatching({"other", "a"}, &out), errSecSuccess);
}

TEST(KeychainTest, MemoryAndFileBackendsAgree) {
    MemoryKeychain memory;
    exerciseBackend(memory);
    testsupport::TempDir dir;
    FileKeychain file((dir / "keys" / "login.keychain").string());
    exerciseBackend(file);
}

TEST(KeychainTest, FileIsPrivateAndSurvivesReopen) {
    testsupport::TempDir dir;
    std::string path = (dir / "keys" / "login.keychain").string();
    {
        FileKeychain keychain(path);
        ASSERT_EQ(keychain.add(item("k", "v")), errSecSuccess);
    }
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir / "keys").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    FileKeychain reopened(path);
    GenericPassword out;
    ASSERT_EQ(reopened.copyMatching({"app.Beacon", "k"}, &out), errSecSuccess);
    EXPECT_EQ(out.data, Data::fromString("v"));
}

TEST(KeychainTest, DamagedFileIsReportedAndNeverOverwritten) {
    testsupport::TempDir dir;
    std::string path = (dir / "login.keychain").string();
    std::ofstream(path) << "not a property list";
    FileKeychain keychain(path);
    EXPECT_EQ(keychain.copyMatching({"app.Beacon", "k"}, nullptr), errSecDecode);
    EXPECT_EQ(keychain.add(item("k", "v")), errSecDecode);
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "not a property list");
}

TEST(KeychainTest, ConcurrentAddsFromTwoInstancesKeepEveryItem) {
    testsupport::TempDir dir;
    std::string path = (dir / "login.keychain").string();
    FileKeychain first(path);
    FileKeychain second(path);  // stands for another process: its own lock file descriptor
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Keychain& k = t % 2 ? static_cast<Keychain&>(first) : second;
            for (int i = 0; i < 10; ++i)
                EXPECT_EQ(k.add(item("t" + std::to_string(t) + "_" + std::to_string(i), "x")), errSecSuccess);
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(first.copyMatching({"app.Beacon", "t" + std::to_string(t) + "_" + std::to_string(i)},
                                         nullptr),
                      errSecSuccess);
}

}  // namespace
}  // namespace plat::security
