#include "platform/foundation/RegularExpression.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using plat::RegularExpression;

RegularExpression compile(std::string_view pattern, unsigned options = 0) {
    auto made = RegularExpression::make(pattern, options);
    EXPECT_TRUE(made.ok()) << pattern;
    return std::move(made).value();
}

TEST(RegularExpressionTest, WholeTextMatchesTable) {
    struct Case {
        const char* pattern;
        const char* text;
        bool matches;
    };
    const char* name = "^[a-zA-Z0-9]((\\.(?!(\\.|$)))|[_a-zA-Z0-9]){3,99}$";
    for (const Case& c : {
             Case{"^[a-zA-Z][a-zA-Z0-9]*$", "abc123", true},
             Case{"^[a-zA-Z][a-zA-Z0-9]*$", "1abc", false},
             Case{"^[a-zA-Z][a-zA-Z0-9]*$", "", false},
             Case{name, "abc.def", true},
             Case{name, "abc..def", false},
             Case{name, "abc.", false},
             Case{name, "ab_c", true},
             Case{name, "abc", false},  // four characters at least
             Case{"a.c", "a\nc", false},
         }) {
        EXPECT_EQ(compile(c.pattern).matchesWholeText(c.text), c.matches) << c.pattern << " / " << c.text;
    }
    EXPECT_TRUE(compile("a.c", RegularExpression::DotMatchesLineSeparators).matchesWholeText("a\nc"));
    // Without anchors the whole text must still match.
    EXPECT_FALSE(compile("b").matchesWholeText("abc"));
}

TEST(RegularExpressionTest, FirstMatchGivesGroupsInUTF16Ranges) {
    const auto re = compile("(\\w+)@(x)?(\\w+)");
    const auto match = re.firstMatch("😀 me@host and you@there");
    ASSERT_TRUE(match.has_value());
    EXPECT_EQ(match->numberOfRanges(), 4u);
    EXPECT_EQ(match->range(0), (RegularExpression::Range{3, 7}));  // the emoji is two UTF-16 units
    EXPECT_EQ(match->group(1), "me");
    EXPECT_EQ(match->range(2).location, RegularExpression::Range::npos);
    EXPECT_EQ(match->group(2), std::nullopt);
    EXPECT_EQ(match->group(3), "host");
    EXPECT_EQ(match->group(9), std::nullopt);
    EXPECT_EQ(re.numberOfMatches("😀 me@host and you@there"), 2u);
    EXPECT_EQ(re.matches("a@b c@d")[1].group(0), "c@d");
    EXPECT_FALSE(re.firstMatch("nothing here").has_value());
    EXPECT_EQ(re.numberOfCaptureGroups(), 3u);
}

TEST(RegularExpressionTest, ReplacesWithTemplatesAndOptions) {
    struct Case {
        const char* pattern;
        unsigned options;
        const char* text;
        const char* replacement;
        const char* expected;
    };
    for (const Case& c : {
             Case{"token", RegularExpression::CaseInsensitive, "a TOKEN b Token", "***", "a *** b ***"},
             Case{"(\\w+) (\\w+)", 0, "hello world", "$2$1", "worldhello"},
             Case{"(/Users/[^/]+/)", 0, "/Users/jane/app/x", "/Users/USER/", "/Users/USER/app/x"},
             Case{":[^\"]+", 0, "{\"k\":\"p:secret\"}", ":***", "{\"k\":\"p:***\"}"},
             Case{"x", 0, "abc", "y", "abc"},
             Case{"a", 0, "aa", "\\$1", "$1$1"},
             Case{"a.b", RegularExpression::IgnoreMetacharacters, "axb a.b", "!", "axb !"},
         }) {
        EXPECT_EQ(compile(c.pattern, c.options).replacingMatches(c.text, c.replacement), c.expected)
            << c.pattern;
    }
    EXPECT_EQ(compile("a").replacingMatches("a", "$7"), std::nullopt);  // no group 7
}

TEST(RegularExpressionTest, RefusedPatternsGiveTheInvalidValueError) {
    for (const char* bad : {"(unclosed", "[a-", "a{2,1}", "*a", "(?<n>a)(?<n>b)"}) {
        auto made = RegularExpression::make(bad);
        ASSERT_FALSE(made.ok()) << bad;
        EXPECT_EQ(made.error()->domain(), plat::CocoaErrorDomain);
        EXPECT_EQ(made.error()->code(), 2048);
        EXPECT_EQ(made.error()->localizedDescription(), std::string("The value “") + bad + "” is invalid.");
        ASSERT_NE(made.error()->userInfo().find("NSInvalidValue"), nullptr);
        EXPECT_EQ(*made.error()->userInfo().find("NSInvalidValue")->asString(), bad);
    }
}

TEST(RegularExpressionTest, EscapedPatternAndTemplateAreLiteral) {
    const std::string literal = "a.b*c$(d)\\e[f]^g|h?+{i}/";
    const auto re = compile(RegularExpression::escapedPattern(literal));
    EXPECT_TRUE(re.matchesWholeText(literal));
    EXPECT_FALSE(re.matchesWholeText("aXb*c$(d)\\e[f]^g|h?+{i}/"));
    EXPECT_EQ(compile("x").replacingMatches("x", RegularExpression::escapedTemplate("$1\\n")), "$1\\n");
}

TEST(RegularExpressionTest, LongInputsDoNotExhaustTheStack) {
    const std::string big(1024 * 1024, 'a');  // beyond ICU's default backtracking limit
    EXPECT_TRUE(compile("(a|b)*").matchesWholeText(big));
    EXPECT_EQ(compile("a+").numberOfMatches(big + "b" + big), 2u);
}

TEST(RegularExpressionTest, OneExpressionServesManyThreads) {
    const auto re = compile("(\\d+)-(\\d+)");
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&re, &wrong, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string text = "x" + std::to_string(t) + "-" + std::to_string(i);
                const auto match = re.firstMatch(text);
                if (!match || match->group(2) != std::to_string(i))
                    ++wrong;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
