#include "platform/foundation/Format.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "support/CommaLocale.h"

namespace {

using plat::format;

using testsupport::CommaLocale;

struct Case {
    std::string got;
    std::string want;
};

void expectAll(const std::vector<Case>& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
    }
}

class Named : public plat::Object {
  public:
    explicit Named(std::string name) : name_(std::move(name)) {}
    std::string description() const override { return "<Named " + name_ + ">"; }

  private:
    std::string name_;
};

enum Color { Red, Green, Blue };

TEST(Format, SignedIntegersWithFlagsWidthsAndPrecision) {
    expectAll({
        {format("%d", 42), "42"},
        {format("%i", -7), "-7"},
        {format("%-5d|", 42), "42   |"},
        {format("%5d|", 42), "   42|"},
        {format("%05d", -42), "-0042"},
        {format("%+d %+d", 5, -5), "+5 -5"},
        {format("% d", 5), " 5"},
        {format("%.3d", 7), "007"},
        {format("%5.3d|", -7), " -007|"},
        {format("%05.3d|", 7), "  007|"},  // a precision turns zero padding off
        {format("%.0d|", 0), "|"},
        {format("%lld", std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
        {format("%lld", std::numeric_limits<int64_t>::max()), "9223372036854775807"},
        {format("%ld %lu %zu %zd %td %tu %qd %lli", 1L, 2UL, std::size_t{3}, 4, 5, 6u, 7LL, 8),
         "1 2 3 4 5 6 7 8"},
        {format("%+03ld:%02ld", 2L, 0L), "+02:00"},
        {format("%+03ld:%02ld", -5L, 30L), "-05:30"},
        {format("%-4ld%s", 3L, "x"), "3   x"},
        {format("%d", true), "1"},
        {format("%d", Blue), "2"},
        {format("%c%c", 'o', 'k'), "ok"},
    });
}

TEST(Format, UnsignedHexAndOctal) {
    expectAll({
        {format("%llu", std::numeric_limits<uint64_t>::max()), "18446744073709551615"},
        {format("%u", 3000000000u), "3000000000"},
        {format("%x %X", 255, 255), "ff FF"},
        {format("%#x %#X %#x", 255, 255, 0), "0xff 0XFF 0"},
        {format("%08x", 0xbeef), "0000beef"},
        {format("%#010x", 0xbeef), "0x0000beef"},
        {format("%02x%02x", 0x0a, 0xff), "0aff"},
        {format("%o %#o %#o", 8, 8, 0), "10 010 0"},
        {format("%0*llx", 16, 0xabcULL), "0000000000000abc"},
        {format("%0*llx", 8, 0x123456789ULL), "123456789"},  // wider values keep every digit
        {format("0x%016llx", 0xdeadbeefULL), "0x00000000deadbeef"},
        // Flags after the width count as flags.
        {format("%18#llx - %18#llx", 0x100000000ULL, 0x100003fffULL),
         "       0x100000000 -        0x100003fff"},
        {format("%10#llx|", 0x1000ULL), "    0x1000|"},
        {format("%5-d|", 42), "42   |"},
    });
}

TEST(Format, LengthModifiersTruncateAndWrapLikeC) {
    expectAll({
        {format("%hhd", 300), "44"},
        {format("%hd", 70000), "4464"},
        {format("%hhd", 200u), "-56"},
        {format("%hhu", -1), "255"},
        {format("%hx", -1), "ffff"},
        {format("%x", -1), "ffffffff"},                   // int: 32-bit two's complement
        {format("%lx", -1), "ffffffffffffffff"},          // widened by the modifier
        {format("%x", int64_t{-1}), "ffffffffffffffff"},  // its own size is 64 bits
        {format("%u", -1), "4294967295"},
        {format("%u", int8_t{-1}), "4294967295"},                                      // promoted as C would
        {format("%d", std::numeric_limits<uint64_t>::max()), "18446744073709551615"},  // typed: no sign flip
    });
}

TEST(Format, FloatingPoint) {
    expectAll({
        {format("%f", 1.5), "1.500000"},
        {format("%05.1f", 3.14159), "003.1"},
        {format("%.3f", 2.0f), "2.000"},
        {format("%-8.2f|", -1.005), "-1.00   |"},
        {format("%.0f", 2.5), "2"},
        {format("%e", 12345.678), "1.234568e+04"},
        {format("%E", 0.0), "0.000000E+00"},
        {format("%g %g", 0.0001, 100000.0), "0.0001 100000"},
        {format("%G", 1e-10), "1E-10"},
        {format("%#.3g", 1.0), "1.00"},
        {format("%+.1f", 2.0), "+2.0"},
        {format("%f", 3), "3.000000"},  // integers convert
        {format("%F", std::numeric_limits<double>::infinity()), "INF"},
        {format("%f", -std::numeric_limits<double>::infinity()), "-inf"},
        {format("%10.4f|", M_PI), "    3.1416|"},
        {format("%a", 1.0), "0x1p+0"},
    });
    EXPECT_EQ(format("%.1f", 1e300).size(), 303u);  // longer than any stack buffer
}

TEST(Format, NumbersUseTheCLocaleWhateverTheProcessLocale) {
    std::string decimal, integer;
    {
        CommaLocale comma;
        if (!comma.ok())
            GTEST_SKIP() << "no locale with a decimal comma can be set up";
        EXPECT_EQ(format("%.1f", 1.5).find(','), std::string::npos);
        decimal = format("%.2f %g %e %a", 1.5, 0.25, 1.5, 0.5);
        integer = format("%d", 1234567);
        char reference[16];
        std::snprintf(reference, sizeof reference, "%.1f", 1.5);
        EXPECT_STREQ(reference, "1,5");  // the locale really is in force
    }
    EXPECT_EQ(decimal, "1.50 0.25 1.500000e+00 0x1p-1");
    EXPECT_EQ(integer, "1234567");
}

TEST(Format, ObjectsStringsAndNil) {
    const plat::ObjectPtr nilObject;
    const plat::ErrorPtr noError;
    const auto named = std::make_shared<Named>("n");
    const char* nullText = nullptr;
    const std::optional<std::string> absent;
    const std::optional<std::string> present = "here";
    expectAll({
        {format("%@", nilObject), "(null)"},
        {format("%@", noError), "(null)"},
        {format("%@", nullptr), "(null)"},
        {format("%@ %s", named, named), "<Named n> <Named n>"},
        {format("%@", named.get()), "<Named n>"},
        {format("%@", static_cast<const Named*>(nullptr)), "(null)"},
        {format("%@", std::string("text")), "text"},
        {format("%@", std::string_view("view")), "view"},
        {format("%@|%@", absent, present), "(null)|here"},
        {format("%s", nullText), "(null)"},
        {format("%s", "abc"), "abc"},
        {format("%@", 42), "42"},
        {format("%@", -42LL), "-42"},
        {format("%s", 7u), "7"},
        {format("%@", "%d"), "%d"},  // arguments are never read as formats
        {format("%6s|%-6s|", "ab", "cd"), "    ab|cd    |"},
        {format("%10@|", std::string("abc")), "       abc|"},
        {format("%-5@|", nilObject), "(null)|"},
        {format("%-8@|", nilObject), "(null)  |"},
        {format("%.2s", "abcdef"), "ab"},
        {format("%.*s", 3, "abcdef"), "abc"},
        {format("%-35S|", "name"), "name                               |"},
        {format("%-6s|", "h\xC3\xA9"), "h\xC3\xA9    |"},  // widths count characters, not bytes
    });
    EXPECT_EQ(format("%.1s", "\xF0\x9F\x98\x80z"), "");  // never half an emoji
    EXPECT_EQ(format("%.2s", "\xF0\x9F\x98\x80z"), "\xF0\x9F\x98\x80");
}

TEST(Format, ValuesPrintTheirDescription) {
    EXPECT_EQ(format("%@", plat::Value("x")), "x");
    EXPECT_EQ(format("%@", plat::Value(int64_t{3})), "3");
    EXPECT_EQ(format("%@", plat::Value()), plat::Value().description());
    EXPECT_EQ(format("%d", plat::Value(int64_t{-5})), "-5");
    EXPECT_EQ(format("%llu", plat::Value(std::numeric_limits<uint64_t>::max())), "18446744073709551615");
    EXPECT_EQ(format("%.1f", plat::Value(2.5)), "2.5");
    EXPECT_EQ(format("%d", plat::Value("12")), "0");  // not a number
    const auto error = plat::Error::make("Domain", 7);
    EXPECT_EQ(format("%@", error), error->description());
}

TEST(Format, CharactersAndPointers) {
    expectAll({
        {format("%c", 'A'), "A"},
        {format("%3c|%-3c|", 'x', 'y'), "  x|y  |"},
        {format("%c", 0xE9), "\xC3\xA9"},
        {format("%C", 0x1F600), "\xF0\x9F\x98\x80"},
        {format("%C", 0xD800), "\xEF\xBF\xBD"},  // a lone surrogate is no character
        {format("[%c]", 0), "[]"},
        {format("%c", static_cast<signed char>(-23)), "\xC3\xA9"},  // the byte 0xE9
        {format("%c", -1), "\xEF\xBF\xBD"},
        {format("%c", "xyz"), "x"},
        {format("%p", static_cast<const void*>(nullptr)), "0x0"},
        {format("%p", reinterpret_cast<const void*>(uintptr_t{0x1234})), "0x1234"},
        {format("%8p|", reinterpret_cast<const void*>(uintptr_t{0xab})), "    0xab|"},
        {format("%p", nullptr), "0x0"},
    });
}

TEST(Format, MissingExtraAndPositionalArguments) {
    expectAll({
        {format("%d %@ %s %f %c|%p"), "0 (null) (null) 0.000000 |0x0"},
        {format("%d and %d", 1), "1 and 0"},
        {format("%d", 1, 2, 3), "1"},
        {format("%2$@ %1$@", "a", "b"), "b a"},
        {format("%1$d %1$d", 7), "7 7"},
        {format("%3$@", "a", "b"), "(null)"},
        {format("%2$*1$d|", 4, 7), "   7|"},
        {format("%*d|", -4, 7), "7   |"},
        {format("%.*f", -1, 1.5), "1.500000"},  // a negative precision counts as none
        {format("%*d|", "wide", 7), "7|"},      // a width that is no number counts as 0
        {format("%d", "text"), "0"},
        {format("%d %d %d", 3.9, -3.9, std::nan("")), "3 -3 0"},
    });
}

TEST(Format, MalformedFormatsAreCopiedLiterally) {
    expectAll({
        {format("100%%"), "100%"},
        {format("%%d", 5), "%d"},
        {format("abc%"), "abc%"},
        {format("%5", 1), "%5"},
        {format("%-"), "%-"},
        {format("%ld%", 3L), "3%"},
        {format("%k|%d", 9), "%k|9"},
        {format("%n", 1), "%n"},  // never writes through an argument
        {format("%K = %@", "key"), "%K = key"},
        {format(""), ""},
        {format(std::string_view("a\0b%d", 5), 1), std::string("a\0b1", 4)},
    });
    // Widths are capped, so a hostile format cannot ask for gigabytes.
    EXPECT_EQ(format("%999999999999d", 1).size(), 65536u);
    EXPECT_EQ(format("%.999999999999f", 1.0).size(), 65538u);
    EXPECT_EQ(format("%*d", std::numeric_limits<int64_t>::min(), 1).size(), 65536u);
}

TEST(Format, QuotedMessagesComeOutExactly) {
    const plat::ObjectPtr nil;
    EXPECT_EQ(format("%lli_%@_%lli", 12LL, std::string("ABC"), 3LL), "12_ABC_3");
    EXPECT_EQ(format("%lli_%@_%@", 12LL, std::string("uid"), nil), "12_uid_(null)");
    EXPECT_EQ(format("_%luof%lu", 1UL, 3UL), "_1of3");
    EXPECT_EQ(format("  %-60s  <<<  %-70s line %d", "msg", "func", 12),
              "  msg" + std::string(57, ' ') + "  <<<  func" + std::string(66, ' ') + " line 12");
    EXPECT_EQ(format("%6s: 0x%016llx ", "rip", 0x401000ULL), "   rip: 0x0000000000401000 ");
    EXPECT_EQ(format("Sending %tu/%tu log", std::size_t{1}, std::size_t{2}), "Sending 1/2 log");
}

}  // namespace
