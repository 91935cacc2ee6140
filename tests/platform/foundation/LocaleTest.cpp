#include "platform/foundation/Locale.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/foundation/TimeZone.h"
#include "support/TempDir.h"

namespace {

using plat::EnvironmentMap;
using plat::Locale;
using plat::TimeZone;

struct LanguagesCase {
    EnvironmentMap environment;
    std::vector<std::string> expected;
};

class PreferredLanguagesTest : public ::testing::TestWithParam<LanguagesCase> {};

TEST_P(PreferredLanguagesTest, FollowLanguageListThenLocale) {
    EXPECT_EQ(Locale::preferredLanguages(GetParam().environment), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, PreferredLanguagesTest,
    ::testing::Values(
        LanguagesCase{{{"LANG", "de_DE.UTF-8"}}, {"de-DE"}}, LanguagesCase{{{"LANG", "C"}}, {"en"}},
        LanguagesCase{{{"LANG", "POSIX"}}, {"en"}}, LanguagesCase{{{"LANG", "C.UTF-8"}}, {"en"}},
        LanguagesCase{{}, {"en"}},
        LanguagesCase{{{"LANGUAGE", "fr_CA:fr:en_US"}, {"LANG", "de_DE.UTF-8"}}, {"fr-CA", "fr", "en-US"}},
        LanguagesCase{{{"LANGUAGE", ""}, {"LC_ALL", "pt_BR.UTF-8"}, {"LANG", "de_DE"}}, {"pt-BR"}},
        LanguagesCase{{{"LANGUAGE", "::de::de:!!:"}, {"LANG", "fr_FR"}}, {"de"}},
        LanguagesCase{{{"LANGUAGE", "garbage!"}, {"LANG", "fr_FR"}}, {"fr-FR"}},
        LanguagesCase{{{"LC_MESSAGES", "sr_RS.UTF-8@latin"}, {"LANG", "de_DE"}}, {"sr-Latn-RS"}},
        LanguagesCase{{{"LANG", "es_419.UTF-8"}}, {"es-419"}},
        LanguagesCase{{{"LANG", "ca_ES.UTF-8@valencia"}}, {"ca-ES"}},
        LanguagesCase{{{"LANGUAGE", "zh_Hant_TW"}}, {"zh-Hant-TW"}}));

struct IdentifierCase {
    EnvironmentMap environment;
    const char* expected;
};

class LocaleIdentifierTest : public ::testing::TestWithParam<IdentifierCase> {};

TEST_P(LocaleIdentifierTest, ComesFromTheFirstSetLocaleVariable) {
    EXPECT_EQ(Locale::currentLocaleIdentifier(GetParam().environment), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, LocaleIdentifierTest,
    ::testing::Values(IdentifierCase{{{"LC_ALL", "fr_FR.UTF-8"}, {"LC_MESSAGES", "de_DE"}, {"LANG", "it_IT"}},
                                     "fr_FR"},
                      IdentifierCase{{{"LC_ALL", ""}, {"LC_MESSAGES", "de_DE"}, {"LANG", "it_IT"}}, "de_DE"},
                      IdentifierCase{{{"LANG", "it_IT.ISO-8859-1"}}, "it_IT"},
                      IdentifierCase{{{"LANG", "EN_us"}}, "en_US"}, IdentifierCase{{{"LANG", "C"}}, "en_US"},
                      IdentifierCase{{{"LANG", "POSIX"}}, "en_US"}, IdentifierCase{{}, "en_US"},
                      IdentifierCase{{{"LANG", "sr_RS@cyrillic"}}, "sr_Cyrl_RS"},
                      IdentifierCase{{{"LANG", "en"}}, "en"}, IdentifierCase{{{"LANG", "x"}}, "en_US"},
                      IdentifierCase{{{"LANGUAGE", "fr"}}, "en_US"}));

TEST(LocaleTest, SplitsIdentifiersIntoLanguageScriptAndRegion) {
    const Locale serbian("sr_Latn_RS");
    EXPECT_EQ(serbian.languageCode(), "sr");
    EXPECT_EQ(serbian.scriptCode(), "Latn");
    EXPECT_EQ(serbian.countryCode(), "RS");
    const Locale english("en");
    EXPECT_EQ(english.languageCode(), "en");
    EXPECT_EQ(english.countryCode(), std::nullopt);
    EXPECT_EQ(english.scriptCode(), std::nullopt);
    EXPECT_EQ(Locale("").languageCode(), std::nullopt);
    EXPECT_EQ(Locale::currentLocale(EnvironmentMap{{"LANG", "de_AT.UTF-8"}}).countryCode(), "AT");
    EXPECT_EQ(Locale::languageTagFromPOSIXLocale("nb_NO.UTF-8"), "nb-NO");
    EXPECT_EQ(Locale::identifierFromPOSIXLocale("nb_NO.UTF-8"), "nb_NO");
}

TEST(TimeZoneTest, NameComesFromTZThenTheSystemFiles) {
    testsupport::TempDir dir;
    const std::string timezoneFile = (dir / "timezone").string();
    const std::string link = (dir / "localtime").string();
    EXPECT_EQ(TimeZone::resolveName(":Europe/Paris", timezoneFile, link), "Europe/Paris");
    EXPECT_EQ(TimeZone::resolveName("/usr/share/zoneinfo/America/New_York", timezoneFile, link),
              "America/New_York");
    EXPECT_EQ(TimeZone::resolveName("", timezoneFile, link), "UTC");
    EXPECT_EQ(TimeZone::resolveName(std::nullopt, timezoneFile, link), "UTC");

    ASSERT_EQ(::symlink("/usr/share/zoneinfo/Asia/Tokyo", link.c_str()), 0);
    EXPECT_EQ(TimeZone::resolveName(std::nullopt, timezoneFile, link), "Asia/Tokyo");
    std::ofstream(timezoneFile) << "Europe/Berlin\n";
    EXPECT_EQ(TimeZone::resolveName(std::nullopt, timezoneFile, link), "Europe/Berlin");
    EXPECT_EQ(TimeZone::resolveName("EST5EDT", timezoneFile, link), "EST5EDT");
}

// Rule strings in TZ need no time-zone database.
class TimeZoneOffsetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    }
    void TearDown() override {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    std::optional<std::string> saved_;
};

TEST_F(TimeZoneOffsetTest, OffsetsAndAbbreviationsFollowTheLocalRulesAndDaylightSavingTime) {
    const plat::Date winter = plat::Date::fromTimeIntervalSince1970(1704067200);  // 2024-01-01 UTC
    const plat::Date summer = plat::Date::fromTimeIntervalSince1970(1719792000);  // 2024-07-01 UTC

    ::setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    const TimeZone zone = TimeZone::localTimeZone();
    EXPECT_EQ(zone.name(), "EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(zone.secondsFromGMT(winter), -5 * 3600);
    EXPECT_EQ(zone.abbreviation(winter), "EST");
    EXPECT_EQ(zone.secondsFromGMT(summer), -4 * 3600);
    EXPECT_EQ(zone.abbreviation(summer), "EDT");

    ::setenv("TZ", "XST-05:30", 1);
    EXPECT_EQ(TimeZone::localTimeZone().secondsFromGMT(winter), 5 * 3600 + 1800);
    EXPECT_EQ(TimeZone::localTimeZone().abbreviation(summer), "XST");

    ::setenv("TZ", "", 1);
    EXPECT_EQ(TimeZone::localTimeZone().name(), "UTC");
    EXPECT_EQ(TimeZone::localTimeZone().secondsFromGMT(summer), 0);
    EXPECT_EQ(TimeZone::localTimeZone().secondsFromGMT(plat::Date(1e300)), 0)
        << "out of range is not a crash";
}

}  // namespace
