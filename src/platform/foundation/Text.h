// Text helpers: the platform's string operations on UTF-8 std::string.
//
// Strings are UTF-8 bytes; where the platform counts characters it counts
// UTF-16 code units, so the UTF-16 helpers below translate between the two.
// Every function accepts any bytes: invalid UTF-8 never crashes, and where
// characters are counted or converted each maximal invalid subpart counts as
// one U+FFFD (the replacement character). All functions are pure and may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat::text {

// --- Number readers ---------------------------------------------------------
// As the platform reads numbers from strings: leading white space is skipped,
// then the longest prefix that forms a number is read; text without one gives 0.

// Optional sign and decimal digits; stops at the first non-digit ("0x10" is 0,
// "1e3" is 1). Out-of-range values saturate at INT64_MIN / INT64_MAX.
int64_t longLongValue(std::string_view s);
int64_t integerValue(std::string_view s);
// As longLongValue, saturating at INT32_MIN / INT32_MAX.
int32_t intValue(std::string_view s);
// A decimal floating-point prefix ("1e3" is 1000, " .5" is 0.5) read in the C
// locale whatever the process locale is. No hexadecimal, "inf" or "nan"
// forms. Overflow gives ±infinity.
double doubleValue(std::string_view s);
float floatValue(std::string_view s);
// True when, after white space, an optional sign and any leading zeros, the
// first character is one of "YyTt" or a digit 1-9.
bool boolValue(std::string_view s);

// --- UTF-8 and UTF-16 -------------------------------------------------------

// Number of UTF-16 code units the text takes.
std::size_t utf16Length(std::string_view s);
// Byte offset in s of UTF-16 index `index`. An index equal to the length gives
// s.size(); an index past the end gives nullopt. An index that falls between
// the two halves of a surrogate pair gives the offset of the pair's start, so
// a cut there never splits a character.
std::optional<std::size_t> utf8OffsetForUTF16Index(std::string_view s, std::size_t index);
// The UTF-16 range [location, location + length) of s, clamped to the text.
// Both ends are moved to the start of a surrogate pair they fall inside.
std::string utf16Substring(std::string_view s, std::size_t location, std::size_t length);
std::u16string toUTF16(std::string_view s);
// nullopt when the UTF-16 text holds an unpaired surrogate.
std::optional<std::string> fromUTF16(std::u16string_view s);
// Strict: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view s);

// The value of one hexadecimal digit (either case), or -1 for any other character.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
// The hexadecimal digit of the low four bits of `value`: "0"-"9", then
// "a"-"f", or "A"-"F" with upperCase.
constexpr char hexDigit(unsigned value, bool upperCase = false) {
    constexpr char kLower[] = "0123456789abcdef";
    constexpr char kUpper[] = "0123456789ABCDEF";
    return (upperCase ? kUpper : kLower)[value & 0xF];
}
// Appends the two hexadecimal digits of `byte`, high digit first.
inline void appendHexByte(std::string& out, uint8_t byte, bool upperCase = false) {
    out += hexDigit(byte >> 4, upperCase);
    out += hexDigit(byte, upperCase);
}
// s with each maximal invalid subpart replaced by U+FFFD.
std::string lossyUTF8(std::string_view s);

// --- Comparison and editing --------------------------------------------------

// False for an empty prefix or suffix, as on the platform.
bool hasPrefix(std::string_view s, std::string_view prefix);
bool hasSuffix(std::string_view s, std::string_view suffix);
// Full Unicode case mapping, independent of the process locale ("ß" upper-
// cases to "SS").
std::string lowercaseString(std::string_view s);
std::string uppercaseString(std::string_view s);
// -1, 0 or 1, comparing case-folded text in UTF-16 code unit order.
int caseInsensitiveCompare(std::string_view a, std::string_view b);
// The text in Unicode normalisation form C (composed) or D (decomposed);
// invalid UTF-8 reads as U+FFFD.
std::string precomposedStringWithCanonicalMapping(std::string_view s);
std::string decomposedStringWithCanonicalMapping(std::string_view s);
// -1, 0 or 1, comparing by canonical equivalence: identical bytes are equal;
// otherwise both texts in NFC are compared by Unicode code point ("é" as one
// character equals "e" with a combining accent).
int canonicalCompare(std::string_view a, std::string_view b);
// Removes white space and line breaks (ASCII and Unicode) from both ends.
std::string trimmingWhitespace(std::string_view s);
// Removes only the platform's white-space set from both ends: tab and the
// space separators (U+0020, U+00A0, U+2000-U+200A, ...), never line breaks.
std::string trimmingSpacesAndTabs(std::string_view s);
// True when every byte is ASCII (the text can be encoded as ASCII).
bool isASCII(std::string_view s);
// s cut or extended to newLength UTF-16 units; the extension repeats pad
// beginning at its unit padIndex ("(" padded to 6 with "?," gives "(?,?,?").
// A cut or a pad that splits a surrogate pair leaves U+FFFD for the half.
// Throws plat::Exception (RangeException) when padding is needed and pad is
// empty or padIndex is not inside it, as the platform raises.
std::string stringByPaddingToLength(std::string_view s, std::size_t newLength, std::string_view pad,
                                    std::size_t padIndex);
// Splits at every occurrence of separator; adjacent separators give empty
// components. An empty separator gives { s }.
std::vector<std::string> componentsSeparatedByString(std::string_view s, std::string_view separator);
// Replaces non-overlapping occurrences from left to right; an empty target
// leaves s unchanged.
std::string stringByReplacingOccurrencesOfString(std::string_view s, std::string_view target,
                                                 std::string_view replacement);

// --- Paths ---------------------------------------------------------------------
// The platform's string path rules: "/" separates components, runs of slashes
// count as one, and a trailing slash is ignored except for the root "/".

// Joins with exactly one slash and drops a trailing one: "/tmp/" + "/x" is
// "/tmp/x", "" + "x" is "x", "/tmp" + "" is "/tmp".
std::string stringByAppendingPathComponent(std::string_view path, std::string_view component);
// "/tmp/scratch/" gives "scratch", "/" gives "/", "" gives "".
std::string lastPathComponent(std::string_view path);
// "/tmp/scratch" gives "/tmp", "/tmp" gives "/", "/" gives "/", "a" gives "".
std::string stringByDeletingLastPathComponent(std::string_view path);
// Text after the last dot of the last component; "" when there is none or the
// only dot starts the component (".hidden").
std::string pathExtension(std::string_view path);
// Removes ".ext" from the last component, if it has one (see pathExtension);
// "/tmp/.hidden" stays as it is, "scratch.bundle/" gives "scratch".
std::string stringByDeletingPathExtension(std::string_view path);
// "/tmp/" + "tiff" gives "/tmp.tiff". nullopt, as the platform's nil, when
// the path is "" or "/" or the extension holds a slash.
std::optional<std::string> stringByAppendingPathExtension(std::string_view path, std::string_view extension);
// "/tmp/scratch" gives { "/", "tmp", "scratch" }; a trailing slash adds a
// final "/" component; "" gives {}.
std::vector<std::string> pathComponents(std::string_view path);
// Expands a leading tilde, collapses slashes, removes "." components, resolves
// ".." lexically (".." above the root stays at the root; leading ".." of a
// relative path are kept) and drops a trailing slash.
std::string stringByStandardizingPath(std::string_view path);
// An absolute path (after tilde expansion) with every symbolic link of its
// existing part resolved, "." and ".." applied to the resolved folders, and
// slashes collapsed; the part below the first missing component is kept as
// standardised text. Relative paths are only standardised. A loop of links
// (more than 40 hops) leaves the rest unresolved. Reads the file system.
std::string stringByResolvingSymlinksInPath(std::string_view path);
// Starts with "/" or "~".
bool isAbsolutePath(std::string_view path);
// "~" and "~/..." use $HOME (or the password database when HOME is unset);
// "~name/..." uses that user's home. Unknown users leave the path unchanged.
std::string stringByExpandingTildeInPath(std::string_view path);

}  // namespace plat::text
