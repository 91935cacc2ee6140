#include "platform/foundation/Date.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace {

using plat::Date;

TEST(DateTest, DescriptionsOfReferenceAndDistantDates) {
    EXPECT_EQ(Date().description(), "2001-01-01 00:00:00 +0000");
    EXPECT_EQ(Date::distantPast().timeIntervalSinceReferenceDate(), -63114076800.0);
    EXPECT_EQ(Date::distantFuture().timeIntervalSinceReferenceDate(), 63113904000.0);
    EXPECT_EQ(Date::distantPast().description(), "0001-01-01 00:00:00 +0000");
    EXPECT_EQ(Date::distantFuture().description(), "4001-01-01 00:00:00 +0000");
    EXPECT_EQ(Date::distantPast().iso8601String(), "0001-01-01T00:00:00.000Z");
    EXPECT_EQ(Date(59.999).description(), "2001-01-01 00:00:59 +0000");
}

TEST(DateTest, ConvertsToAndFrom1970) {
    EXPECT_EQ(Date::fromTimeIntervalSince1970(0).iso8601String(), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(Date::fromTimeIntervalSince1970(978307200).timeIntervalSinceReferenceDate(), 0.0);
    EXPECT_EQ(Date::fromTimeIntervalSince1970(1700000000).iso8601String(), "2023-11-14T22:13:20.000Z");
    EXPECT_EQ(Date(12.5).timeIntervalSince1970(), 978307212.5);
    EXPECT_EQ(Date(10).timeIntervalSinceDate(Date(4)), 6.0);
    EXPECT_EQ(Date(10).byAddingTimeInterval(-20), Date(-10));
    EXPECT_LT(Date(1), Date(2));
}

TEST(DateTest, TimesBefore1970TruncateTowardThePast) {
    EXPECT_EQ(Date::fromTimeIntervalSince1970(-1).iso8601String(), "1969-12-31T23:59:59.000Z");
    EXPECT_EQ(Date::fromTimeIntervalSince1970(-0.001).iso8601String(), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(Date::fromTimeIntervalSince1970(0.0009).iso8601String(), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(Date::fromTimeIntervalSince1970(-86400.0 * 365).description(), "1969-01-01 00:00:00 +0000");
}

TEST(DateTest, ISOTextRoundTripsEveryMillisecond) {
    for (int ms = 0; ms < 1000; ++ms) {
        char text[40];
        std::snprintf(text, sizeof text, "2023-04-05T06:07:08.%03dZ", ms);
        auto date = Date::fromISO8601(text);
        ASSERT_TRUE(date.has_value()) << text;
        EXPECT_EQ(date->iso8601String(), text);
    }
    for (const char* text :
         {"1969-07-20T20:17:40.250Z", "1900-03-01T00:00:00.000Z", "2400-02-29T23:59:59.999Z",
          "0001-01-01T00:00:00.001Z", "1582-10-15T00:00:00.000Z", "1582-10-04T12:00:00.000Z"}) {
        auto date = Date::fromISO8601(text);
        ASSERT_TRUE(date.has_value()) << text;
        EXPECT_EQ(date->iso8601String(), text);
    }
}

TEST(DateTest, ParsesZoneOffsetsAndFractions) {
    const Date utc = *Date::fromISO8601("2023-04-05T06:07:08Z");
    EXPECT_EQ(*Date::fromISO8601("2023-04-05T08:07:08+02:00"), utc);
    EXPECT_EQ(*Date::fromISO8601("2023-04-05T08:07:08+0200"), utc);
    EXPECT_EQ(*Date::fromISO8601("2023-04-05T00:37:08-05:30"), utc);
    EXPECT_EQ(*Date::fromISO8601("2023-04-05T06:07:08.5Z"), utc.byAddingTimeInterval(0.5));
    EXPECT_EQ(Date::fromISO8601("2023-04-05T06:07:08.123456789Z")->iso8601String(),
              "2023-04-05T06:07:08.123Z");
}

TEST(DateTest, RejectsMalformedOrImpossibleText) {
    for (const char* bad :
         {"", "2023-04-05", "2023-04-05T06:07:08", "2023-04-05 06:07:08Z", "2023-04-05T06:07:08.Z",
          "2023-04-05T06:07:08Zjunk", "2023-04-05T06:07:08+02", "2023-04-05T06:07:08+02:0",
          "2023-04-05T06:07:08+24:00", "2023-13-01T00:00:00Z", "2023-00-01T00:00:00Z", "2023-04-31T00:00:00Z",
          "2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2023-04-05T24:00:00Z", "2023-04-05T23:60:00Z",
          "2023-04-05T23:59:60Z", "1582-10-10T00:00:00Z", "-2023-04-05T06:07:08Z", "2023-4-05T06:07:08Z",
          "2023-04-05t06:07:08z",
          // Instants outside years 0000-9999, which the writer cannot
          // write in a form this reader takes.
          "9999-12-31T23:59:59.99999999999999999Z", "9999-12-31T23:59:59-01:00",
          "0000-01-01T00:00:00+00:01"}) {
        EXPECT_FALSE(Date::fromISO8601(bad).has_value()) << bad;
    }
    EXPECT_TRUE(Date::fromISO8601("2024-02-29T00:00:00Z").has_value());
    EXPECT_TRUE(Date::fromISO8601("1500-02-29T00:00:00Z").has_value());  // Julian leap year
    for (const char* edge : {"9999-12-31T23:59:59.999Z", "0000-01-01T00:00:00.000Z"})
        EXPECT_EQ(Date::fromISO8601(edge)->iso8601String(), edge);
}

TEST(DateTest, CalendarReformSkipsTenDays) {
    const Date firstGregorian = *Date::fromISO8601("1582-10-15T00:00:00Z");
    EXPECT_EQ(firstGregorian.byAddingTimeInterval(-86400).description(), "1582-10-04 00:00:00 +0000");
    EXPECT_EQ(*Date::fromISO8601("1582-10-04T00:00:00Z"), firstGregorian.byAddingTimeInterval(-86400));
}

TEST(DateTest, UnrepresentableDatesGiveEmptyText) {
    EXPECT_EQ(Date(std::numeric_limits<double>::quiet_NaN()).iso8601String(), "");
    EXPECT_EQ(Date(std::numeric_limits<double>::infinity()).description(), "");
    EXPECT_EQ(Date(1e300).iso8601String(), "");
    EXPECT_FALSE(Date(-3e13).description().empty());
}

TEST(DateTest, NowLiesBetweenTwoClockReadings) {
    auto seconds = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    const double before = seconds();
    const Date now = Date::now();
    const double after = seconds();
    EXPECT_LE(before, now.timeIntervalSince1970() + 1e-6);
    EXPECT_GE(after, now.timeIntervalSince1970() - 1e-6);
}

TEST(DateTest, NowSourceMayChangeWhileOtherThreadsReadTheDate) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&stop] {
            while (!stop.load())
                (void)Date::now();
        });
    for (int i = 0; i < 200; ++i) {
        Date::setNowSource([i] { return Date(i); });
        EXPECT_EQ(Date::now(), Date(i));
    }
    Date::setNowSource({});
    stop = true;
    for (auto& reader : readers)
        reader.join();
}

}  // namespace

TEST(DateTest, StrictReaderTakesOnlyMillisecondsAndZ) {
    for (const char* good : {"2021-03-04T05:06:07.089Z", "0001-01-01T00:00:00.001Z",
                             "9999-12-31T23:59:59.999Z", "1582-10-04T12:00:00.000Z"}) {
        const auto date = Date::fromStrictISO8601(good);
        ASSERT_TRUE(date.has_value()) << good;
        EXPECT_EQ(date->iso8601String(), good);
        EXPECT_EQ(*date, *Date::fromISO8601(good));
    }
    for (const char* bad :
         {"2023-04-05T06:07:08Z", "2023-04-05T06:07:08.1Z", "2023-04-05T06:07:08.12Z",
          "2023-04-05T06:07:08.1234Z", "2023-04-05T06:07:08.123+01:00", "2023-04-05T06:07:08.123+0000",
          "2023-04-05T06:07:08.123", "2023-04-05T06:07:08.123z", "2023-04-05T06:07:08.123Z ",
          " 2023-04-05T06:07:08.123Z", "2023-04-05T06:07:08.12aZ", "2023-02-29T06:07:08.123Z",
          "2023-04-05T24:07:08.123Z", ""}) {
        EXPECT_FALSE(Date::fromStrictISO8601(bad).has_value()) << bad;
    }
}

TEST(DateTest, NowFollowsAnInstalledSourceUntilRestored) {
    double seconds = 1000;
    const Date::NowSource previous = Date::setNowSource([&seconds] { return Date(seconds); });
    EXPECT_FALSE(previous);
    EXPECT_EQ(Date::now(), Date(1000));
    seconds += 60;
    EXPECT_EQ(Date::now(), Date(1060));
    EXPECT_EQ(Date(1000).timeIntervalSinceNow(), -60);

    // Installing another hands back the one it replaces.
    const Date::NowSource replaced = Date::setNowSource([] { return Date(5); });
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced(), Date(1060));
    EXPECT_EQ(Date::now(), Date(5));

    Date::setNowSource({});
    const double real = Date::now().timeIntervalSince1970();
    EXPECT_GT(real, 1.6e9);  // the system clock again, well after 2020
}
