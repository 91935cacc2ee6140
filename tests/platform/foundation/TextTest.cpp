#include "platform/foundation/Text.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "support/CommaLocale.h"

namespace {

using namespace plat::text;

using testsupport::CommaLocale;

// --- Numbers ---

struct IntegerCase {
    const char* text;
    int64_t expected;
};

class LongLongValueTest : public testing::TestWithParam<IntegerCase> {};

TEST_P(LongLongValueTest, ReadsTheLeadingIntegerAndSaturates) {
    EXPECT_EQ(longLongValue(GetParam().text), GetParam().expected) << '"' << GetParam().text << '"';
    EXPECT_EQ(integerValue(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LongLongValueTest,
    testing::Values(IntegerCase{"", 0}, IntegerCase{"   ", 0}, IntegerCase{"42", 42},
                    IntegerCase{"  +12abc", 12}, IntegerCase{"-17", -17}, IntegerCase{"\t\n 7", 7},
                    IntegerCase{"0x10", 0}, IntegerCase{"1e3", 1}, IntegerCase{"12.9", 12},
                    IntegerCase{"abc", 0}, IntegerCase{"+", 0}, IntegerCase{"-", 0}, IntegerCase{"--5", 0},
                    IntegerCase{"+-5", 0}, IntegerCase{"- 5", 0},
                    IntegerCase{"0000000000000000000000000042", 42},
                    IntegerCase{"9223372036854775807", std::numeric_limits<int64_t>::max()},
                    IntegerCase{"9223372036854775808", std::numeric_limits<int64_t>::max()},
                    IntegerCase{"99999999999999999999999999", std::numeric_limits<int64_t>::max()},
                    IntegerCase{"-9223372036854775808", std::numeric_limits<int64_t>::min()},
                    IntegerCase{"-9223372036854775809", std::numeric_limits<int64_t>::min()},
                    IntegerCase{"-99999999999999999999999999x", std::numeric_limits<int64_t>::min()},
                    IntegerCase{"\xC2\xA0 5", 5},  // no-break space is white space
                    IntegerCase{"\xE3\x80\x80"
                                "8",
                                8},  // ideographic space
                    IntegerCase{"\xFF"
                                "5",
                                0}));

TEST(TextNumbers, IntValueSaturatesAtThirtyTwoBits) {
    EXPECT_EQ(intValue("2147483647"), 2147483647);
    EXPECT_EQ(intValue("2147483648"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(intValue("-2147483649"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(intValue("9223372036854775808"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(intValue(" -12 "), -12);
}

TEST(TextNumbers, DoubleValueReadsADecimalPrefix) {
    EXPECT_EQ(doubleValue("1e3"), 1000.0);
    EXPECT_EQ(doubleValue(" .5"), 0.5);
    EXPECT_EQ(doubleValue("-2.5e-1xyz"), -0.25);
    EXPECT_EQ(doubleValue("+3."), 3.0);
    EXPECT_EQ(doubleValue("7e"), 7.0);  // exponent without digits is not read
    EXPECT_EQ(doubleValue("7e+"), 7.0);
    EXPECT_EQ(doubleValue("1,5"), 1.0);  // a comma is never a decimal separator
    EXPECT_EQ(doubleValue(""), 0.0);
    EXPECT_EQ(doubleValue("."), 0.0);
    EXPECT_EQ(doubleValue("-"), 0.0);
    EXPECT_EQ(doubleValue("e5"), 0.0);
    EXPECT_EQ(doubleValue("0x1p3"), 0.0);  // no hexadecimal floats
    EXPECT_EQ(doubleValue("nan"), 0.0);
    EXPECT_EQ(doubleValue("inf"), 0.0);
    EXPECT_TRUE(std::isinf(doubleValue("1e999")));
    EXPECT_GT(doubleValue("1e999"), 0);
    EXPECT_EQ(doubleValue("1e-999"), 0.0);
    EXPECT_EQ(doubleValue("0.1"), 0.1);  // correctly rounded
    EXPECT_EQ(floatValue("0.1"), 0.1f);
    EXPECT_TRUE(std::isinf(floatValue("1e39")));  // beyond float, not undefined
    EXPECT_EQ(floatValue("  -2.5"), -2.5f);
}

TEST(TextNumbers, DoubleValueIgnoresTheProcessLocale) {
    CommaLocale comma;
    if (!comma.ok())
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    EXPECT_EQ(doubleValue("1.5"), 1.5);
    EXPECT_EQ(doubleValue("1,5"), 1.0);
    EXPECT_EQ(floatValue("2.25"), 2.25f);
    EXPECT_EQ(strtod("1,5", nullptr), 1.5);  // the locale really is in force
}

struct BoolCase {
    const char* text;
    bool expected;
};

class BoolValueTest : public testing::TestWithParam<BoolCase> {};

TEST_P(BoolValueTest, FollowsThePlatformRule) {
    EXPECT_EQ(boolValue(GetParam().text), GetParam().expected) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(Table, BoolValueTest,
                         testing::Values(BoolCase{"", false}, BoolCase{"YES", true}, BoolCase{"yes", true},
                                         BoolCase{"Y", true}, BoolCase{"true", true}, BoolCase{"TRUE", true},
                                         BoolCase{"t", true}, BoolCase{"NO", false}, BoolCase{"false", false},
                                         BoolCase{"0", false}, BoolCase{"000", false}, BoolCase{"0001", true},
                                         BoolCase{"1", true}, BoolCase{"9", true}, BoolCase{"-1", true},
                                         BoolCase{"+5", true}, BoolCase{"-0", false}, BoolCase{"  y", true},
                                         BoolCase{"x", false}, BoolCase{"0.5", false}, BoolCase{"00y", true},
                                         BoolCase{"--1", false}, BoolCase{"on", false}));

// --- UTF-8 and UTF-16 ---

const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units

TEST(TextUTF16, CountsUnitsOfEmojiCombiningAndInvalidText) {
    EXPECT_EQ(utf16Length(""), 0u);
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("a" + kEmoji + "b"), 4u);
    EXPECT_EQ(utf16Length("e\xCC\x81"), 2u);  // e + combining acute: two characters
    EXPECT_EQ(utf16Length("\xC3\xA9"), 1u);   // precomposed é
    EXPECT_EQ(utf16Length("\xE2\x82\xAC"), 1u);
    EXPECT_EQ(utf16Length("\xFF\xFE"), 2u);      // each invalid byte is one U+FFFD
    EXPECT_EQ(utf16Length("\xF0\x9F\x98"), 1u);  // truncated emoji: one maximal subpart
    EXPECT_EQ(utf16Length("\xED\xA0\x80"), 3u);  // encoded surrogate: three invalid bytes
}

TEST(TextUTF16, LongTextsCountTheSameAsShortOnes) {
    // Long ASCII runs are skipped a word at a time; characters after them count.
    const std::string ascii13(13, 'x'), ascii9(9, 'y');
    EXPECT_EQ(utf16Length(ascii13 + kEmoji + ascii9 + "\xC3\xA9" + ascii13), 13u + 2 + 9 + 1 + 13);
    EXPECT_EQ(utf16Length(std::string(64, 'a') + "\xFF" + std::string(7, 'b')), 72u);
    EXPECT_TRUE(isValidUTF8(ascii13 + kEmoji + ascii9));
    EXPECT_FALSE(isValidUTF8(std::string(16, 'a') + "\x80" + std::string(16, 'a')));
    EXPECT_FALSE(isValidUTF8(std::string(23, 'a') + "\xC3"));
    EXPECT_EQ(uppercaseString(std::string(20, 'a') + "\xC3\xA9"), std::string(20, 'A') + "\xC3\x89");
}

TEST(TextUTF16, OffsetsNeverSplitASurrogatePair) {
    const std::string s = "a" + kEmoji + "b";  // bytes: a(0) emoji(1..4) b(5)
    EXPECT_EQ(utf8OffsetForUTF16Index(s, 0), 0u);
    EXPECT_EQ(utf8OffsetForUTF16Index(s, 1), 1u);
    EXPECT_EQ(utf8OffsetForUTF16Index(s, 2), 1u);  // inside the pair: moved to its start
    EXPECT_EQ(utf8OffsetForUTF16Index(s, 3), 5u);
    EXPECT_EQ(utf8OffsetForUTF16Index(s, 4), 6u);
    EXPECT_EQ(utf8OffsetForUTF16Index(s, 5), std::nullopt);
    EXPECT_EQ(utf8OffsetForUTF16Index("", 0), 0u);
    EXPECT_EQ(utf8OffsetForUTF16Index("", 1), std::nullopt);
}

TEST(TextUTF16, SubstringsAreClampedAndKeepPairsWhole) {
    const std::string s = "a" + kEmoji + "b";
    EXPECT_EQ(utf16Substring(s, 0, 1), "a");
    EXPECT_EQ(utf16Substring(s, 1, 2), kEmoji);
    EXPECT_EQ(utf16Substring(s, 2, 2), kEmoji + "b");  // start inside the pair moves back
    EXPECT_EQ(utf16Substring(s, 0, 2), "a");           // end inside the pair moves back
    EXPECT_EQ(utf16Substring(s, 2, 0), "");
    EXPECT_EQ(utf16Substring(s, 3, 100), "b");
    EXPECT_EQ(utf16Substring(s, 4, 1), "");
    EXPECT_EQ(utf16Substring(s, 99, 1), "");
    EXPECT_EQ(utf16Substring(s, 1, std::numeric_limits<std::size_t>::max()), kEmoji + "b");
    EXPECT_EQ(utf16Substring("e\xCC\x81x", 0, 1), "e");  // combining marks count on their own
}

TEST(TextUTF16, ConvertsBothWaysAndRejectsUnpairedSurrogates) {
    const std::string s = "h\xC3\xA9" + kEmoji;
    const std::u16string u = toUTF16(s);
    EXPECT_EQ(u, (std::u16string{u'h', 0x00E9, 0xD83D, 0xDE00}));
    EXPECT_EQ(fromUTF16(u), s);
    EXPECT_EQ(fromUTF16(std::u16string{0xD83D}), std::nullopt);
    EXPECT_EQ(fromUTF16(std::u16string{0xDE00, 0xD83D}), std::nullopt);
    EXPECT_EQ(fromUTF16(std::u16string{0xD83D, u'x'}), std::nullopt);
    EXPECT_EQ(fromUTF16(u""), "");
    EXPECT_EQ(toUTF16("a\xFF"), (std::u16string{u'a', 0xFFFD}));
}

TEST(TextUTF8, ValidationIsStrict) {
    EXPECT_TRUE(isValidUTF8(""));
    EXPECT_TRUE(isValidUTF8("plain"));
    EXPECT_TRUE(isValidUTF8("\xC3\xA9\xE2\x82\xAC" + kEmoji + "\xF4\x8F\xBF\xBF"));
    EXPECT_FALSE(isValidUTF8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(isValidUTF8("\xE0\x80\xAF"));      // overlong three-byte form
    EXPECT_FALSE(isValidUTF8("\xF0\x80\x80\xAF"));  // overlong four-byte form
    EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(isValidUTF8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUTF8("\xF0\x9F\x98"));      // truncated
    EXPECT_FALSE(isValidUTF8("\x80"));              // lone continuation
    EXPECT_FALSE(isValidUTF8(std::string("ok\xFE", 3)));
}

TEST(TextUTF8, LossyDecodingReplacesEachMaximalSubpart) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(lossyUTF8("fine " + kEmoji), "fine " + kEmoji);
    EXPECT_EQ(lossyUTF8("\xF0\x9F\x98"
                        "x"),
              fffd + "x");
    EXPECT_EQ(lossyUTF8("\xC0\xAF"), fffd + fffd);
    EXPECT_EQ(lossyUTF8("\xED\xA0\x80"), fffd + fffd + fffd);
    // The classic example: F1 80 80 | E1 80 | C2 are three maximal subparts.
    EXPECT_EQ(lossyUTF8("a\xF1\x80\x80\xE1\x80\xC2"
                        "b"),
              "a" + fffd + fffd + fffd + "b");
    EXPECT_EQ(lossyUTF8("\x80\x80"), fffd + fffd);
    EXPECT_TRUE(isValidUTF8(lossyUTF8("\xFF\xC3\x28\xE2\x28\xA1")));
}

// --- Comparison and editing ---

TEST(TextEditing, EmptyPrefixesAndSuffixesNeverMatch) {
    EXPECT_FALSE(hasPrefix("abc", ""));
    EXPECT_FALSE(hasSuffix("abc", ""));
    EXPECT_FALSE(hasPrefix("", ""));
    EXPECT_TRUE(hasPrefix("/one/two", "/one"));
    EXPECT_FALSE(hasPrefix("/on", "/one"));
    EXPECT_TRUE(hasSuffix("file.synevent", ".synevent"));
    EXPECT_FALSE(hasSuffix("Abc", "C"));
}

TEST(TextEditing, CaseMappingCoversUnicode) {
    EXPECT_EQ(uppercaseString("hello, World 1"), "HELLO, WORLD 1");
    EXPECT_EQ(lowercaseString("HELLO, World 1"), "hello, world 1");
    EXPECT_EQ(uppercaseString("stra\xC3\x9F"
                              "e"),
              "STRASSE");
    EXPECT_EQ(lowercaseString("\xC3\x84\xC3\x96\xC3\x9C"), "\xC3\xA4\xC3\xB6\xC3\xBC");
    EXPECT_EQ(lowercaseString("I"), "i");  // root rules, never a dotless i
    EXPECT_EQ(uppercaseString(kEmoji + "a"), kEmoji + "A");
    EXPECT_EQ(uppercaseString("a\xFF"), "A\xEF\xBF\xBD");  // invalid bytes become U+FFFD
}

TEST(TextEditing, CaseInsensitiveCompareOrders) {
    EXPECT_EQ(caseInsensitiveCompare("abc", "ABC"), 0);
    EXPECT_EQ(caseInsensitiveCompare("a", "B"), -1);
    EXPECT_EQ(caseInsensitiveCompare("b", "A"), 1);
    EXPECT_EQ(caseInsensitiveCompare("apple", "Apples"), -1);
    EXPECT_EQ(caseInsensitiveCompare("", ""), 0);
    EXPECT_EQ(caseInsensitiveCompare("", "a"), -1);
    EXPECT_EQ(caseInsensitiveCompare("\xC3\x84pfel", "\xC3\xA4PFEL"), 0);
    EXPECT_EQ(caseInsensitiveCompare("stra\xC3\x9F"
                                     "e",
                                     "STRASSE"),
              0);
    // UTF-16 order puts U+FF21 after a supplementary character.
    EXPECT_EQ(caseInsensitiveCompare("\xEF\xBD\x81", kEmoji), 1);
}

TEST(TextEditing, TrimmingRemovesUnicodeWhitespaceAtBothEnds) {
    EXPECT_EQ(trimmingWhitespace("  a b \t\n"), "a b");
    EXPECT_EQ(trimmingWhitespace("\xC2\xA0x\xE3\x80\x80"), "x");
    EXPECT_EQ(trimmingWhitespace(" \r\n\t "), "");
    EXPECT_EQ(trimmingWhitespace(""), "");
    EXPECT_EQ(trimmingWhitespace("x"), "x");
    EXPECT_EQ(trimmingWhitespace(" \xFF "), "\xFF");  // invalid bytes are kept, not trimmed
}

TEST(TextEditing, TrimmingSpacesAndTabsKeepsLineBreaks) {
    struct Case {
        const char* in;
        const char* out;
    };
    for (const Case& c : {Case{" \tAll \t", "All"}, Case{"a\n", "a\n"}, Case{"\n a \r", "\n a \r"},
                          Case{"\xC2\xA0x\xE2\x80\x83", "x"}, Case{" \t ", ""}, Case{"", ""},
                          Case{" a b ", "a b"}, Case{" \xFF ", "\xFF"}}) {
        EXPECT_EQ(trimmingSpacesAndTabs(c.in), c.out) << c.in;
    }
}

TEST(TextEditing, ASCIICheck) {
    EXPECT_TRUE(isASCII(""));
    EXPECT_TRUE(isASCII(std::string("key-\x7F\x01\0", 7)));
    EXPECT_FALSE(isASCII("caf\xC3\xA9"));
    EXPECT_FALSE(isASCII(std::string(40, 'a') + "\x80"));  // past the eight-byte fast path
}

TEST(TextEditing, PaddingRepeatsThePatternOrCuts) {
    struct Case {
        const char* in;
        std::size_t length;
        const char* pad;
        std::size_t index;
        const char* out;
    };
    for (const Case& c : {
             Case{"(", 2, "?,", 0, "(?"},
             Case{"(", 6, "?,", 0, "(?,?,?"},
             Case{"ab", 5, "xyz", 1, "abyzx"},
             Case{"abcdef", 3, "", 0, "abc"},  // cutting needs no pad
             Case{"abc", 3, "", 0, "abc"},
             Case{"a😀", 2, "-", 0, "a\xEF\xBF\xBD"},  // a cut inside a pair leaves U+FFFD
             Case{"a", 3, "😀", 0, "a😀"},
             Case{"a", 2, "😀", 1, "a\xEF\xBF\xBD"},
         }) {
        EXPECT_EQ(stringByPaddingToLength(c.in, c.length, c.pad, c.index), c.out) << c.in << " " << c.length;
    }
    EXPECT_THROW(stringByPaddingToLength("a", 3, "", 0), plat::Exception);
    EXPECT_THROW(stringByPaddingToLength("a", 3, "?,", 2), plat::Exception);
}

TEST(TextEditing, CanonicalComparisonAndNormalForms) {
    const std::string composed = "caf\xC3\xA9";     // é as one character
    const std::string decomposed = "cafe\xCC\x81";  // e + combining acute
    EXPECT_EQ(canonicalCompare(composed, decomposed), 0);
    EXPECT_EQ(precomposedStringWithCanonicalMapping(decomposed), composed);
    EXPECT_EQ(decomposedStringWithCanonicalMapping(composed), decomposed);
    EXPECT_EQ(precomposedStringWithCanonicalMapping("plain"), "plain");
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    for (const Case& c : {Case{"a", "b", -1}, Case{"b", "a", 1}, Case{"", "", 0}, Case{"", "a", -1},
                          // code point order, not UTF-16 order: U+FF5E sorts before U+1F600
                          Case{"\xEF\xBD\x9E", "😀", -1}, Case{"Z", "a", -1},
                          // "Å" (A + ring) equals U+00C5 and the angstrom sign U+212B
                          Case{"A\xCC\x8A", "\xE2\x84\xAB", 0}, Case{"\xC3\x85", "\xE2\x84\xAB", 0}}) {
        EXPECT_EQ(canonicalCompare(c.a, c.b), c.order) << c.a << " / " << c.b;
    }
}

TEST(TextEditing, SplitsAndReplaces) {
    using V = std::vector<std::string>;
    EXPECT_EQ(componentsSeparatedByString("a,b,,c", ","), (V{"a", "b", "", "c"}));
    EXPECT_EQ(componentsSeparatedByString(",", ","), (V{"", ""}));
    EXPECT_EQ(componentsSeparatedByString("", ","), (V{""}));
    EXPECT_EQ(componentsSeparatedByString("abc", ""), (V{"abc"}));
    EXPECT_EQ(componentsSeparatedByString("a::b", "::"), (V{"a", "b"}));
    EXPECT_EQ(stringByReplacingOccurrencesOfString("aaa", "aa", "b"), "ba");
    EXPECT_EQ(stringByReplacingOccurrencesOfString("a.b.c", ".", ""), "abc");
    EXPECT_EQ(stringByReplacingOccurrencesOfString("abc", "", "x"), "abc");
    EXPECT_EQ(stringByReplacingOccurrencesOfString("xx", "x", "xx"), "xxxx");
}

// --- Paths ---

struct PathCase {
    const char* input;
    const char* expected;
};

class LastPathComponentTest : public testing::TestWithParam<PathCase> {};
TEST_P(LastPathComponentTest, Table) {
    EXPECT_EQ(lastPathComponent(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Paths, LastPathComponentTest,
                         testing::Values(PathCase{"/tmp/scratch.tiff", "scratch.tiff"},
                                         PathCase{"/tmp/scratch/", "scratch"},
                                         PathCase{"/tmp/scratch", "scratch"},
                                         PathCase{"scratch///", "scratch"}, PathCase{"a//b", "b"},
                                         PathCase{"/", "/"}, PathCase{"//", "/"}, PathCase{"", ""},
                                         PathCase{"name", "name"}));

class DeletingLastPathComponentTest : public testing::TestWithParam<PathCase> {};
TEST_P(DeletingLastPathComponentTest, Table) {
    EXPECT_EQ(stringByDeletingLastPathComponent(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Paths, DeletingLastPathComponentTest,
                         testing::Values(PathCase{"/tmp/scratch.tiff", "/tmp"},
                                         PathCase{"/tmp/lock/", "/tmp"}, PathCase{"/tmp/", "/"},
                                         PathCase{"/tmp", "/"}, PathCase{"/", "/"}, PathCase{"//", "/"},
                                         PathCase{"scratch.tiff", ""}, PathCase{"a/b", "a"},
                                         PathCase{"a//b//", "a"}, PathCase{"//a//b", "/a"},
                                         PathCase{"", ""}));

struct JoinCase {
    const char* path;
    const char* component;
    const char* expected;
};

class AppendingPathComponentTest : public testing::TestWithParam<JoinCase> {};
TEST_P(AppendingPathComponentTest, Table) {
    EXPECT_EQ(stringByAppendingPathComponent(GetParam().path, GetParam().component), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Paths, AppendingPathComponentTest,
    testing::Values(JoinCase{"/tmp", "scratch.tiff", "/tmp/scratch.tiff"},
                    JoinCase{"/tmp/", "scratch.tiff", "/tmp/scratch.tiff"}, JoinCase{"/tmp/", "/x", "/tmp/x"},
                    JoinCase{"/tmp/cloud", "/mesh/events", "/tmp/cloud/mesh/events"},
                    JoinCase{"/", "x", "/x"}, JoinCase{"", "scratch.tiff", "scratch.tiff"},
                    JoinCase{"", "/x/", "/x"}, JoinCase{"/tmp", "", "/tmp"}, JoinCase{"/tmp/", "", "/tmp"},
                    JoinCase{"", "", ""}, JoinCase{"a", "b/c/", "a/b/c"},
                    JoinCase{"/tmp//", "a//b", "/tmp/a/b"}));

class PathExtensionTest : public testing::TestWithParam<PathCase> {};
TEST_P(PathExtensionTest, Table) {
    EXPECT_EQ(pathExtension(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Paths, PathExtensionTest,
                         testing::Values(PathCase{"/tmp/scratch.tiff", "tiff"},
                                         PathCase{".scratch.tiff", "tiff"}, PathCase{"/tmp/scratch", ""},
                                         PathCase{"/tmp/", ""}, PathCase{"/tmp/scratch..tiff", "tiff"},
                                         PathCase{"/tmp/.hidden", ""}, PathCase{"/tmp/scratch.tiff/", "tiff"},
                                         PathCase{"/a.b/c", ""}, PathCase{"scratch.", ""}, PathCase{"", ""},
                                         PathCase{"/", ""}));

class DeletingPathExtensionTest : public testing::TestWithParam<PathCase> {};
TEST_P(DeletingPathExtensionTest, Table) {
    EXPECT_EQ(stringByDeletingPathExtension(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Paths, DeletingPathExtensionTest,
                         testing::Values(PathCase{"/tmp/scratch.tiff", "/tmp/scratch"},
                                         PathCase{"/tmp/", "/tmp"}, PathCase{"scratch.bundle/", "scratch"},
                                         PathCase{"scratch..tiff", "scratch."}, PathCase{".tiff", ".tiff"},
                                         PathCase{"/tmp/.hidden", "/tmp/.hidden"}, PathCase{"/", "/"},
                                         PathCase{"/a.b/c", "/a.b/c"},
                                         PathCase{"12_store_3.synevent", "12_store_3"},
                                         PathCase{"a.tar.gz", "a.tar"}, PathCase{"", ""}));

struct ExtensionCase {
    const char* path;
    const char* extension;
    std::optional<std::string> expected;
};

class AppendingPathExtensionTest : public testing::TestWithParam<ExtensionCase> {};
TEST_P(AppendingPathExtensionTest, Table) {
    EXPECT_EQ(stringByAppendingPathExtension(GetParam().path, GetParam().extension), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Paths, AppendingPathExtensionTest,
                         testing::Values(ExtensionCase{"/tmp/scratch.old", "tiff", "/tmp/scratch.old.tiff"},
                                         ExtensionCase{"/tmp/scratch.", "tiff", "/tmp/scratch..tiff"},
                                         ExtensionCase{"/tmp/", "tiff", "/tmp.tiff"},
                                         ExtensionCase{"scratch", "tiff", "scratch.tiff"},
                                         ExtensionCase{"12_a_3", "synevent", "12_a_3.synevent"},
                                         ExtensionCase{"", "tiff", std::nullopt},
                                         ExtensionCase{"/", "tiff", std::nullopt},
                                         ExtensionCase{"//", "tiff", std::nullopt},
                                         ExtensionCase{"a", "b/c", std::nullopt}));

TEST(TextPaths, ComponentsMarkRootAndTrailingSlash) {
    using V = std::vector<std::string>;
    EXPECT_EQ(pathComponents("tmp/scratch"), (V{"tmp", "scratch"}));
    EXPECT_EQ(pathComponents("/tmp/scratch"), (V{"/", "tmp", "scratch"}));
    EXPECT_EQ(pathComponents("/tmp/scratch/"), (V{"/", "tmp", "scratch", "/"}));
    EXPECT_EQ(pathComponents("//tmp//scratch"), (V{"/", "tmp", "scratch"}));
    EXPECT_EQ(pathComponents("/"), (V{"/"}));
    EXPECT_EQ(pathComponents("//"), (V{"/"}));
    EXPECT_EQ(pathComponents(""), V{});
}

// Points HOME somewhere known for the life of the object.
class HomeOverride {
  public:
    explicit HomeOverride(const char* home) {
        const char* old = getenv("HOME");
        hadHome_ = old != nullptr;
        if (hadHome_)
            previous_ = old;
        setenv("HOME", home, 1);
    }
    ~HomeOverride() {
        if (hadHome_) {
            setenv("HOME", previous_.c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }

  private:
    bool hadHome_ = false;
    std::string previous_;
};

TEST(TextPaths, StandardizingCollapsesDotsSlashesAndTilde) {
    HomeOverride home("/home/tester");
    EXPECT_EQ(stringByStandardizingPath("/a//b/./c/"), "/a/b/c");
    EXPECT_EQ(stringByStandardizingPath("/a/b/../c"), "/a/c");
    EXPECT_EQ(stringByStandardizingPath("/../.."), "/");
    EXPECT_EQ(stringByStandardizingPath("/a/.."), "/");
    EXPECT_EQ(stringByStandardizingPath("~/x/../y/"), "/home/tester/y");
    EXPECT_EQ(stringByStandardizingPath("~"), "/home/tester");
    EXPECT_EQ(stringByStandardizingPath("a/./b/"), "a/b");
    EXPECT_EQ(stringByStandardizingPath("../a/../../b"), "../../b");
    EXPECT_EQ(stringByStandardizingPath("a/.."), ".");
    EXPECT_EQ(stringByStandardizingPath("/"), "/");
    EXPECT_EQ(stringByStandardizingPath(""), "");
    EXPECT_EQ(stringByStandardizingPath("/a/b.c/..d"), "/a/b.c/..d");
}

TEST(TextPaths, TildeExpansion) {
    HomeOverride home("/home/tester/");
    EXPECT_EQ(stringByExpandingTildeInPath("~"), "/home/tester");
    EXPECT_EQ(stringByExpandingTildeInPath("~/"), "/home/tester");
    EXPECT_EQ(stringByExpandingTildeInPath("~/a/b"), "/home/tester/a/b");
    EXPECT_EQ(stringByExpandingTildeInPath("/x/~"), "/x/~");
    EXPECT_EQ(stringByExpandingTildeInPath("a~"), "a~");
    EXPECT_EQ(stringByExpandingTildeInPath("~root/x"), "/root/x");
    EXPECT_EQ(stringByExpandingTildeInPath("~no-such-user-here/x"), "~no-such-user-here/x");
    EXPECT_TRUE(isAbsolutePath("/a"));
    EXPECT_TRUE(isAbsolutePath("~/a"));
    EXPECT_FALSE(isAbsolutePath("a/b"));
    EXPECT_FALSE(isAbsolutePath(""));
}

}  // namespace
