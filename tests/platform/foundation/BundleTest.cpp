#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Locale.h"
#include "support/TempDir.h"

namespace {

using plat::Bundle;
using testsupport::TempDir;

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>org.example.planner</string>
	<key>CFBundleShortVersionString</key>
	<string>2.1</string>
	<key>CFBundleVersion</key>
	<integer>210</integer>
	<key>CFBundleExecutable</key>
	<string>planner</string>
	<key>ForwarderEnabled</key>
	<false/>
</dict>
</plist>
)";

TEST(BundleTest, ReadsItsInfoPropertyListOnFirstUse) {
    TempDir dir;
    writeText((dir / "Info.plist").string(), kInfoPlist);
    Bundle bundle(dir.str());

    EXPECT_EQ(bundle.bundlePath(), dir.str());
    ASSERT_NE(bundle.infoDictionary(), nullptr);
    EXPECT_EQ(bundle.bundleIdentifier(), "org.example.planner");
    EXPECT_EQ(bundle.shortVersionString(), "2.1");
    // Present but not a string: the typed accessor has nothing, the raw value is there.
    EXPECT_EQ(bundle.version(), std::nullopt);
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleVersion")->integerValue(), 210);
    EXPECT_EQ(bundle.name(), "planner") << "falls back to the executable name";
    EXPECT_EQ(bundle.executablePath(), (dir / "planner").string());
    auto forwarder = bundle.objectForInfoDictionaryKey("ForwarderEnabled");
    ASSERT_TRUE(forwarder.has_value());
    EXPECT_TRUE(forwarder->isBool());
    EXPECT_FALSE(forwarder->boolValue());
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("Missing"), std::nullopt);
}

TEST(BundleTest, MissingOrUnsuitableInfoGivesNoDictionary) {
    TempDir dir;
    EXPECT_EQ(Bundle(dir.str()).infoDictionary(), nullptr);
    writeText((dir / "Info.plist").string(), "<plist version=\"1.0\"><array/></plist>");
    EXPECT_EQ(Bundle(dir.str()).infoDictionary(), nullptr);
    writeText((dir / "Info.plist").string(), "not a property list \x01\x02");
    Bundle damaged(dir.str());
    EXPECT_EQ(damaged.infoDictionary(), nullptr);
    EXPECT_EQ(damaged.bundleIdentifier(), std::nullopt);
    EXPECT_EQ(damaged.name(), std::nullopt);
    EXPECT_EQ(damaged.executablePath(), std::nullopt);
}

TEST(BundleTest, SetInfoDictionaryReplacesTheFileAndEarlierSnapshotsStayValid) {
    TempDir dir;
    writeText((dir / "Info.plist").string(), kInfoPlist);
    Bundle bundle(dir.str());
    bundle.setInfoDictionary(
        plat::Dictionary{{"CFBundleIdentifier", "set.by.program"}, {"CFBundleName", "Set"}});
    auto snapshot = bundle.infoDictionary();
    EXPECT_EQ(bundle.bundleIdentifier(), "set.by.program");
    EXPECT_EQ(bundle.name(), "Set");

    bundle.setInfoDictionary(std::nullopt);
    EXPECT_EQ(bundle.infoDictionary(), nullptr);
    EXPECT_EQ(bundle.shortVersionString(), std::nullopt) << "the file is not read again";
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ(snapshot->find("CFBundleName")->stringValue(), "Set");
}

TEST(BundleTest, FindsResourcesInTheResourcesFolderOrTheOneSet) {
    TempDir dir;
    auto& fm = plat::FileManager::defaultManager();
    ASSERT_EQ(fm.createDirectoryAtPath((dir / "Resources/Models/Model.momd").string(), true), nullptr);
    writeText((dir / "Resources/Defaults.plist").string(), "x");
    writeText((dir / "Resources/b.cer").string(), "x");
    writeText((dir / "Resources/a.cer").string(), "x");
    writeText((dir / "Resources/README").string(), "x");
    Bundle bundle(dir.str());

    EXPECT_EQ(bundle.resourcePath(), (dir / "Resources").string());
    EXPECT_EQ(bundle.pathForResource("Defaults", "plist"), (dir / "Resources/Defaults.plist").string());
    EXPECT_EQ(bundle.pathForResource("README", ""), (dir / "Resources/README").string());
    EXPECT_EQ(bundle.pathForResource("Model", "momd", "Models"),
              (dir / "Resources/Models/Model.momd").string());
    EXPECT_EQ(bundle.pathForResource("Defaults", "json"), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("", "plist"), std::nullopt);
    EXPECT_EQ(
        bundle.pathsForResourcesOfType("cer"),
        (std::vector<std::string>{(dir / "Resources/a.cer").string(), (dir / "Resources/b.cer").string()}));
    EXPECT_TRUE(bundle.pathsForResourcesOfType("cer", "Missing").empty());

    bundle.setResourcePath((dir / "Resources/Models").string());
    EXPECT_EQ(bundle.pathForResource("Model", "momd"), (dir / "Resources/Models/Model.momd").string());
    EXPECT_EQ(bundle.pathForResource("Defaults", "plist"), std::nullopt);
}

TEST(BundleTest, PreferredLocalizationMatchesTheUsersLanguagesOrTheDevelopmentRegion) {
    TempDir dir;
    auto& fm = plat::FileManager::defaultManager();
    for (const char* folder : {"Resources/de-DE.lproj", "Resources/fr.lproj", "Resources/pt_BR.lproj"})
        ASSERT_EQ(fm.createDirectoryAtPath((dir / folder).string(), true), nullptr);
    writeText((dir / "Resources/es.lproj").string(), "a file, not a localisation");
    Bundle bundle(dir.str());
    EXPECT_EQ(bundle.localizations(), (std::vector<std::string>{"de-DE", "fr", "pt_BR"}));
    EXPECT_EQ(bundle.developmentLocalization(), "en");
    struct Case {
        std::vector<std::string> languages;
        std::string expected;
    };
    for (const Case& c : {Case{{"fr-CA", "de"}, "fr"}, Case{{"de"}, "de-DE"}, Case{{"pt-BR"}, "pt_BR"},
                          Case{{"es", "it"}, "en"}, Case{{"ja", "DE-de"}, "de-DE"}, Case{{}, "en"}}) {
        EXPECT_EQ(bundle.preferredLocalizations(c.languages), std::vector<std::string>{c.expected})
            << c.expected;
    }
    bundle.setInfoDictionary(plat::Dictionary{{"CFBundleDevelopmentRegion", "fr"}});
    EXPECT_EQ(bundle.developmentLocalization(), "fr");
    EXPECT_EQ(bundle.preferredLocalizations(),
              bundle.preferredLocalizations(plat::Locale::preferredLanguages()));
}

TEST(BundleTest, MainBundleIsTheExecutablesFolder) {
    auto& main = Bundle::mainBundle();
    EXPECT_EQ(&main, &Bundle::mainBundle());
    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string executable = exe;
    EXPECT_EQ(main.executablePath(), executable);
    EXPECT_EQ(main.bundlePath(), executable.substr(0, executable.find_last_of('/')));
    EXPECT_EQ(main.resourcePath(), main.bundlePath() + "/Resources");
}

TEST(BundleTest, LocalizedStringsAreTheValueOrElseTheKey) {
    Bundle bundle("/nonexistent");
    EXPECT_EQ(bundle.localizedStringForKey("Not signed in.", ""), "Not signed in.");
    EXPECT_EQ(bundle.localizedStringForKey("key", "Value", "Table"), "Value");
}

}  // namespace
