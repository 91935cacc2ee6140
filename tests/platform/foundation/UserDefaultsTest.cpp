#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "support/TempDir.h"

namespace plat {
namespace {

TEST(UserDefaultsTest, EveryKindSurvivesAReopenWithItsKind) {
    testsupport::TempDir dir;
    std::string path = (dir / "app" / "defaults.plist").string();
    Dictionary nested{{"inner", Value(Array{Value(1), Value("x")})}};
    {
        UserDefaults defaults(path);
        defaults.setBool(true, "flag");
        defaults.setInteger(-42, "count");
        defaults.setDouble(0.25, "ratio");
        EXPECT_TRUE(defaults.setObject(Value("text"), "name"));
        EXPECT_TRUE(defaults.setObject(Value(Date(700000000.123)), "when"));
        EXPECT_TRUE(defaults.setObject(Value(Data::fromString("bytes")), "blob"));
        EXPECT_TRUE(defaults.setObject(Value(nested), "nested"));
        EXPECT_TRUE(defaults.setObject(Value(UINT64_MAX), "big"));
        defaults.setBool(false, "gone");
        defaults.removeObjectForKey("gone");
        EXPECT_EQ(defaults.lastWriteError(), nullptr);
    }
    UserDefaults reopened(path);
    EXPECT_TRUE(reopened.objectForKey("flag")->isBool());
    EXPECT_TRUE(reopened.boolForKey("flag"));
    EXPECT_EQ(reopened.integerForKey("count"), -42);
    EXPECT_EQ(reopened.doubleForKey("ratio"), 0.25);
    EXPECT_EQ(reopened.stringForKey("name"), "text");
    EXPECT_EQ(reopened.objectForKey("when")->asDate(), Date(700000000.123));
    EXPECT_EQ(reopened.dataForKey("blob")->toString(), "bytes");
    EXPECT_EQ(reopened.dictionaryForKey("nested"), nested);
    EXPECT_EQ(reopened.objectForKey("big")->rawUInt(), UINT64_MAX);
    EXPECT_FALSE(reopened.objectForKey("gone"));
}

TEST(UserDefaultsTest, PersistentValuesWinOverRegisteredOnesWhichAreNeverSaved) {
    testsupport::TempDir dir;
    std::string path = (dir / "defaults.plist").string();
    UserDefaults defaults(path);
    defaults.registerDefaults(Dictionary{{"enabled", Value(true)}, {"level", Value(3)}});
    EXPECT_TRUE(defaults.boolForKey("enabled"));
    defaults.setBool(false, "enabled");
    EXPECT_FALSE(defaults.boolForKey("enabled"));
    Dictionary all = defaults.dictionaryRepresentation();
    EXPECT_EQ(all.size(), 2u);
    EXPECT_EQ(*all.find("enabled"), Value(false));
    EXPECT_EQ(*all.find("level"), Value(3));
    defaults.removeObjectForKey("enabled");
    EXPECT_TRUE(defaults.boolForKey("enabled"));

    defaults.setInteger(1, "saved");
    UserDefaults reopened(path);
    EXPECT_FALSE(reopened.objectForKey("level"));
    EXPECT_EQ(reopened.integerForKey("saved"), 1);
}

TEST(UserDefaultsTest, TypedReadersCoerceAsThePlatformDoes) {
    testsupport::TempDir dir;
    UserDefaults defaults((dir / "defaults.plist").string());
    defaults.registerDefaults(Dictionary{{"yes", Value("YES")},
                                         {"true", Value("true")},
                                         {"one", Value("1")},
                                         {"no", Value("NO")},
                                         {"twelve", Value("12")},
                                         {"half", Value("0.5")},
                                         {"num", Value(5)},
                                         {"flag", Value(true)},
                                         {"blob", Value(Data::fromString("x"))},
                                         {"list", Value(Array{})}});
    EXPECT_TRUE(defaults.boolForKey("yes"));
    EXPECT_TRUE(defaults.boolForKey("true"));
    EXPECT_TRUE(defaults.boolForKey("one"));
    EXPECT_FALSE(defaults.boolForKey("no"));
    EXPECT_FALSE(defaults.boolForKey("missing"));
    EXPECT_FALSE(defaults.boolForKey("blob"));
    EXPECT_EQ(defaults.integerForKey("twelve"), 12);
    EXPECT_EQ(defaults.doubleForKey("half"), 0.5);
    EXPECT_EQ(defaults.integerForKey("flag"), 1);
    EXPECT_EQ(defaults.integerForKey("list"), 0);
    EXPECT_EQ(defaults.stringForKey("num"), "5");
    EXPECT_FALSE(defaults.stringForKey("blob"));
    EXPECT_FALSE(defaults.arrayForKey("num"));
    EXPECT_TRUE(defaults.arrayForKey("list"));
    EXPECT_FALSE(defaults.dictionaryForKey("list"));
    EXPECT_FALSE(defaults.dataForKey("list"));
}

TEST(UserDefaultsTest, ValuesThatAreNotPropertyListsAreRefused) {
    testsupport::TempDir dir;
    UserDefaults defaults((dir / "defaults.plist").string());
    defaults.setInteger(1, "k");
    EXPECT_FALSE(defaults.setObject(Value(), "k"));
    EXPECT_FALSE(defaults.setObject(Value(Decimal::fromString("1.5")), "k"));
    EXPECT_FALSE(defaults.setObject(Value(Array{Value(std::make_shared<Object>())}), "k"));
    EXPECT_EQ(defaults.integerForKey("k"), 1);
    // A key that no property list can hold would make every later write fail.
    EXPECT_FALSE(defaults.setObject(Value(2), "bad\xFF"));
    EXPECT_FALSE(defaults.objectForKey("bad\xFF"));
    defaults.setInteger(3, "after");
    EXPECT_EQ(defaults.lastWriteError(), nullptr);
    EXPECT_EQ(UserDefaults((dir / "defaults.plist").string()).integerForKey("after"), 3);
}

TEST(UserDefaultsTest, ConcurrentWritersLoseNoKey) {
    testsupport::TempDir dir;
    std::string path = (dir / "defaults.plist").string();
    UserDefaults defaults(path);
    constexpr int kThreads = 3, kKeys = 60;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kKeys; ++i) {
                std::string key = "k" + std::to_string(t) + "-" + std::to_string(i);
                defaults.setInteger(i, key);
                EXPECT_EQ(defaults.integerForKey(key), i);
                (void)defaults.dictionaryRepresentation();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_TRUE(defaults.synchronize());
    UserDefaults reopened(path);
    EXPECT_EQ(reopened.dictionaryRepresentation().size(), std::size_t(kThreads * kKeys));
    EXPECT_EQ(reopened.integerForKey("k2-59"), 59);
}

TEST(UserDefaultsTest, UnreadableFileIsMovedAsideAndTheDomainStartsEmpty) {
    testsupport::TempDir dir;
    std::string path = (dir / "defaults.plist").string();
    std::ofstream(path) << "this is not a property list";
    UserDefaults defaults(path);
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
    EXPECT_TRUE(std::filesystem::exists(path + ".corrupt"));
    defaults.setBool(true, "fresh");
    EXPECT_TRUE(UserDefaults(path).boolForKey("fresh"));
}

TEST(UserDefaultsTest, FailedWritesAreReportedAndKeptInMemory) {
    testsupport::TempDir dir;
    std::ofstream(dir / "blocker") << "a file where a folder should be";
    UserDefaults defaults((dir / "blocker" / "defaults.plist").string());
    defaults.setBool(true, "k");
    EXPECT_TRUE(defaults.boolForKey("k"));
    EXPECT_NE(defaults.lastWriteError(), nullptr);
    EXPECT_FALSE(defaults.synchronize());
}

TEST(UserDefaultsTest, FileThatCannotBeReadIsNeverOverwritten) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may read every file";
    testsupport::TempDir dir;
    std::string path = (dir / "defaults.plist").string();
    UserDefaults(path).setInteger(7, "kept");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    {
        UserDefaults defaults(path);
        defaults.setBool(true, "new");
        EXPECT_TRUE(defaults.boolForKey("new"));
        EXPECT_NE(defaults.lastWriteError(), nullptr);
        EXPECT_FALSE(defaults.synchronize());
    }
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(UserDefaults(path).integerForKey("kept"), 7);
}

TEST(UserDefaultsTest, StandardAndSuiteDefaultsLiveInTheConfigFolder) {
    testsupport::TempDir dir;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", dir.str().c_str(), 1);
    UserDefaults::resetStandardUserDefaults();
    auto standard = UserDefaults::standardUserDefaults();
    EXPECT_EQ(standard, UserDefaults::standardUserDefaults());
    std::string domain = Bundle::mainBundle().bundleIdentifier().value_or("kestrel");
    EXPECT_EQ(standard->path(), (dir / domain / "defaults.plist").string());
    auto suite = UserDefaults::create("group.test");
    ASSERT_NE(suite, nullptr);
    EXPECT_EQ(suite->path(), (dir / "group.test" / "defaults.plist").string());
    suite->setBool(true, "disableSync");
    EXPECT_TRUE(UserDefaults::create("group.test")->boolForKey("disableSync"));
    EXPECT_EQ(UserDefaults::create(""), nullptr);
    EXPECT_EQ(UserDefaults::create("a/b"), nullptr);
    UserDefaults::resetStandardUserDefaults();
    old ? ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace plat
