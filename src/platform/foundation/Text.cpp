#include "platform/foundation/Text.h"

#include <locale.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unicode/normalizer2.h>
#include <unicode/ucasemap.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/foundation/Error.h"

namespace plat::text {
namespace {

// One decoded character. Invalid input decodes as U+FFFD covering the
// maximal subpart of an ill-formed sequence (at least one byte).
struct Decoded {
    char32_t cp;
    uint8_t length;
    bool valid;
};

Decoded decodeAt(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80)
        return {b0, 1, true};
    int trail;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        trail = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        trail = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;  // overlong
        if (b0 == 0xED)
            hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        trail = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;  // overlong
        if (b0 == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        return {0xFFFD, 1, false};
    }
    uint8_t n = 1;
    for (int k = 0; k < trail; ++k) {
        if (i + n >= s.size())
            return {0xFFFD, n, false};
        const auto b = static_cast<unsigned char>(s[i + n]);
        if (b < lo || b > hi)
            return {0xFFFD, n, false};
        cp = (cp << 6) | (b & 0x3F);
        ++n;
        lo = 0x80;
        hi = 0xBF;
    }
    return {cp, n, true};
}

std::size_t utf16Units(char32_t cp) {
    return cp >= 0x10000 ? 2 : 1;
}

void appendUTF8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// White space and line breaks as the platform's whitespace-and-newline set.
bool isWhitespace(char32_t cp) {
    if (cp < 0x80)
        return cp == ' ' || (cp >= 0x09 && cp <= 0x0D);
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// The platform's white-space set: tab and the space separators.
bool isSpaceOrTab(char32_t cp) {
    if (cp < 0x80)
        return cp == ' ' || cp == '\t';
    return cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

// UTF-8 of UTF-16 text, with U+FFFD for each unpaired surrogate.
std::string lossyFromUTF16(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        else if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD;
        appendUTF8(out, cp);
    }
    return out;
}

std::size_t skipWhitespace(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const Decoded d = decodeAt(s, i);
        if (!d.valid || !isWhitespace(d.cp))
            break;
        i += d.length;
    }
    return i;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Index of the first byte at or after i that may start a non-ASCII character,
// stepping eight bytes at a time through ASCII runs.
std::size_t skipASCII(std::string_view s, std::size_t i) {
    while (i + 8 <= s.size()) {
        uint64_t word;
        std::memcpy(&word, s.data() + i, sizeof word);
        if ((word & 0x8080808080808080ULL) != 0)
            break;
        i += 8;
    }
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80)
        ++i;
    return i;
}

locale_t cLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// Length of the decimal floating-point prefix of s: [sign] digits [. digits]
// [e [sign] digits], with at least one mantissa digit; 0 when there is none.
std::size_t floatPrefixLength(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < s.size() && isDigit(s[i]))
        ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            ++j;
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j]))
                ++j;
            i = j;
        }
    }
    return i;
}

template <class T, class Parse>
T parseFloating(std::string_view s, Parse parse) {
    s.remove_prefix(skipWhitespace(s));
    const std::size_t n = floatPrefixLength(s);
    if (n == 0)
        return 0;
    const std::string prefix(s.substr(0, n));  // strto*_l needs a terminated string
    return parse(prefix.c_str(), nullptr, cLocale());
}

// --- Path helpers ---

// Collapses runs of slashes and drops a trailing slash (the root stays "/").
std::string fixSlashes(std::string_view p) {
    std::string out;
    out.reserve(p.size());
    for (char c : p) {
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out.push_back(c);
    }
    if (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

std::optional<std::string> homeOfUser(const std::string& name) {
    if (name.empty()) {
        const char* home = std::getenv("HOME");
        if (home != nullptr && *home != '\0')
            return std::string(home);
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
        passwd pw{};
        passwd* found = nullptr;
        const int rc = name.empty() ? getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found)
                                    : getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr || pw.pw_dir == nullptr)
            return std::nullopt;
        return std::string(pw.pw_dir);
    }
    return std::nullopt;
}

}  // namespace

// --- Number readers ---

int64_t longLongValue(std::string_view s) {
    std::size_t i = skipWhitespace(s);
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    bool saturated = false;
    for (; i < s.size() && isDigit(s[i]); ++i) {
        if (saturated)
            continue;
        const auto digit = static_cast<uint64_t>(s[i] - '0');
        if (magnitude > (limit - digit) / 10) {
            saturated = true;
            magnitude = limit;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    if (!negative)
        return static_cast<int64_t>(magnitude);
    // Negating in unsigned arithmetic keeps INT64_MIN representable.
    return magnitude == limit ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(magnitude);
}

int64_t integerValue(std::string_view s) {
    return longLongValue(s);
}

int32_t intValue(std::string_view s) {
    const int64_t v = longLongValue(s);
    if (v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

double doubleValue(std::string_view s) {
    return parseFloating<double>(s, strtod_l);
}

float floatValue(std::string_view s) {
    return parseFloating<float>(s, strtof_l);
}

bool boolValue(std::string_view s) {
    std::size_t i = skipWhitespace(s);
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    while (i < s.size() && s[i] == '0')
        ++i;
    if (i >= s.size())
        return false;
    const char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// --- UTF-8 and UTF-16 ---

std::size_t utf16Length(std::string_view s) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t ascii = skipASCII(s, i);
        units += ascii - i;
        i = ascii;
        if (i >= s.size())
            break;
        const Decoded d = decodeAt(s, i);
        units += utf16Units(d.cp);
        i += d.length;
    }
    return units;
}

std::optional<std::size_t> utf8OffsetForUTF16Index(std::string_view s, std::size_t index) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < s.size();) {
        if (units == index)
            return i;
        const Decoded d = decodeAt(s, i);
        units += utf16Units(d.cp);
        if (units > index)
            return i;  // index falls inside a surrogate pair
        i += d.length;
    }
    if (units == index)
        return s.size();
    return std::nullopt;
}

std::string utf16Substring(std::string_view s, std::size_t location, std::size_t length) {
    const std::optional<std::size_t> start = utf8OffsetForUTF16Index(s, location);
    if (!start)
        return {};
    const std::string_view rest = s.substr(*start);
    // Units skipped before `start` may be fewer than `location` when the start
    // moved back over half a pair; measure the end from the real start.
    const std::size_t skipped = utf16Length(s.substr(0, *start));
    const std::size_t endIndex = length > std::numeric_limits<std::size_t>::max() - location
                                     ? std::numeric_limits<std::size_t>::max()
                                     : location + length;
    const std::optional<std::size_t> end = utf8OffsetForUTF16Index(rest, endIndex - skipped);
    return std::string(rest.substr(0, end.value_or(rest.size())));
}

std::u16string toUTF16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const Decoded d = decodeAt(s, i);
        i += d.length;
        if (d.cp >= 0x10000) {
            const char32_t v = d.cp - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(d.cp));
        }
    }
    return out;
}

std::optional<std::string> fromUTF16(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            return std::nullopt;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
                return std::nullopt;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        }
        appendUTF8(out, cp);
    }
    return out;
}

bool isValidUTF8(std::string_view s) {
    for (std::size_t i = skipASCII(s, 0); i < s.size(); i = skipASCII(s, i)) {
        const Decoded d = decodeAt(s, i);
        if (!d.valid)
            return false;
        i += d.length;
    }
    return true;
}

std::string lossyUTF8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const Decoded d = decodeAt(s, i);
        if (d.valid) {
            out.append(s.substr(i, d.length));
        } else {
            appendUTF8(out, 0xFFFD);
        }
        i += d.length;
    }
    return out;
}

// --- Comparison and editing ---

bool hasPrefix(std::string_view s, std::string_view prefix) {
    return !prefix.empty() && s.starts_with(prefix);
}

bool hasSuffix(std::string_view s, std::string_view suffix) {
    return !suffix.empty() && s.ends_with(suffix);
}

namespace {

using CaseMapFn = int32_t (*)(const UCaseMap*, char*, int32_t, const char*, int32_t, UErrorCode*);

std::string asciiMapped(std::string_view s, bool upper) {
    std::string out(s);
    for (char& c : out) {
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string icuMapped(std::string_view s, CaseMapFn fn) {
    // The root locale keeps results independent of the process locale.
    static UCaseMap* const map = [] {
        UErrorCode err = U_ZERO_ERROR;
        return ucasemap_open("", 0, &err);
    }();
    const std::string source = lossyUTF8(s);
    if (map == nullptr || source.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 4)) {
        return source;
    }
    std::string out(source.size() + 16, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode err = U_ZERO_ERROR;
        const int32_t n = fn(map, out.data(), static_cast<int32_t>(out.size()), source.data(),
                             static_cast<int32_t>(source.size()), &err);
        if (err == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(static_cast<std::size_t>(n));
            continue;
        }
        if (U_FAILURE(err))
            return source;
        out.resize(static_cast<std::size_t>(n));
        return out;
    }
    return source;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string lowercaseString(std::string_view s) {
    return isASCII(s) ? asciiMapped(s, false) : icuMapped(s, ucasemap_utf8ToLower);
}

std::string uppercaseString(std::string_view s) {
    return isASCII(s) ? asciiMapped(s, true) : icuMapped(s, ucasemap_utf8ToUpper);
}

int caseInsensitiveCompare(std::string_view a, std::string_view b) {
    if (isASCII(a) && isASCII(b)) {
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i) {
            const char x = asciiLower(a[i]), y = asciiLower(b[i]);
            if (x != y)
                return x < y ? -1 : 1;
        }
        return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
    }
    const std::u16string ua = toUTF16(a), ub = toUTF16(b);
    if (ua.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()) ||
        ub.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        return ua < ub ? -1 : (ua == ub ? 0 : 1);
    }
    UErrorCode err = U_ZERO_ERROR;
    const int r = u_strCaseCompare(ua.data(), static_cast<int32_t>(ua.size()), ub.data(),
                                   static_cast<int32_t>(ub.size()), U_FOLD_CASE_DEFAULT, &err);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

std::string trimmingWhitespace(std::string_view s) {
    const std::size_t start = skipWhitespace(s);
    std::size_t end = start;
    for (std::size_t i = start; i < s.size();) {
        const Decoded d = decodeAt(s, i);
        i += d.length;
        if (!d.valid || !isWhitespace(d.cp))
            end = i;
    }
    return std::string(s.substr(start, end - start));
}

namespace {

icu::UnicodeString unicodeOf(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string utf8Of(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

// The text normalised by `form`; the text unchanged (with U+FFFD for invalid
// UTF-8) should ICU fail to load its data.
icu::UnicodeString normalized(const icu::UnicodeString& s, bool composed) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* form =
        composed ? icu::Normalizer2::getNFCInstance(status) : icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status))
        return s;
    icu::UnicodeString out = form->normalize(s, status);
    return U_SUCCESS(status) ? out : s;
}

}  // namespace

std::string precomposedStringWithCanonicalMapping(std::string_view s) {
    return isASCII(s) ? std::string(s) : utf8Of(normalized(unicodeOf(s), true));
}

std::string decomposedStringWithCanonicalMapping(std::string_view s) {
    return isASCII(s) ? std::string(s) : utf8Of(normalized(unicodeOf(s), false));
}

int canonicalCompare(std::string_view a, std::string_view b) {
    if (a == b)
        return 0;
    const int c = normalized(unicodeOf(a), true).compareCodePointOrder(normalized(unicodeOf(b), true));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string trimmingSpacesAndTabs(std::string_view s) {
    std::size_t start = s.size(), end = 0;
    for (std::size_t i = 0; i < s.size();) {
        const Decoded d = decodeAt(s, i);
        if (!d.valid || !isSpaceOrTab(d.cp)) {
            start = std::min(start, i);
            end = i + d.length;
        }
        i += d.length;
    }
    return start < end ? std::string(s.substr(start, end - start)) : std::string();
}

bool isASCII(std::string_view s) {
    return skipASCII(s, 0) == s.size();
}

std::string stringByPaddingToLength(std::string_view s, std::size_t newLength, std::string_view pad,
                                    std::size_t padIndex) {
    std::u16string units = toUTF16(s);
    if (units.size() >= newLength) {
        units.resize(newLength);
        return lossyFromUTF16(units);
    }
    const std::u16string padUnits = toUTF16(pad);
    if (padIndex >= padUnits.size())
        throw Exception(RangeException, "stringByPaddingToLength: index " + std::to_string(padIndex) +
                                            " out of bounds for a pad of " + std::to_string(padUnits.size()) +
                                            " units");
    units.reserve(newLength);
    for (std::size_t i = padIndex; units.size() < newLength; i = (i + 1) % padUnits.size())
        units.push_back(padUnits[i]);
    return lossyFromUTF16(units);
}

std::vector<std::string> componentsSeparatedByString(std::string_view s, std::string_view separator) {
    if (separator.empty())
        return {std::string(s)};
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = s.find(separator, from)) != std::string_view::npos;
         from = at + separator.size()) {
        parts.emplace_back(s.substr(from, at - from));
    }
    parts.emplace_back(s.substr(from));
    return parts;
}

std::string stringByReplacingOccurrencesOfString(std::string_view s, std::string_view target,
                                                 std::string_view replacement) {
    if (target.empty())
        return std::string(s);
    std::string out;
    out.reserve(s.size());
    std::size_t from = 0;
    for (std::size_t at; (at = s.find(target, from)) != std::string_view::npos; from = at + target.size()) {
        out.append(s.substr(from, at - from));
        out.append(replacement);
    }
    out.append(s.substr(from));
    return out;
}

// --- Paths ---

std::string stringByAppendingPathComponent(std::string_view path, std::string_view component) {
    if (path.empty())
        return fixSlashes(component);
    std::string joined(path);
    joined.push_back('/');
    joined.append(component);
    return fixSlashes(joined);
}

std::string lastPathComponent(std::string_view path) {
    std::string fixed = fixSlashes(path);
    if (fixed == "/")
        return fixed;
    const std::size_t slash = fixed.rfind('/');
    return slash == std::string::npos ? fixed : fixed.substr(slash + 1);
}

std::string stringByDeletingLastPathComponent(std::string_view path) {
    std::string fixed = fixSlashes(path);
    if (fixed.empty() || fixed == "/")
        return fixed;
    const std::size_t slash = fixed.rfind('/');
    if (slash == std::string::npos)
        return {};
    if (slash == 0)
        return "/";
    return fixed.substr(0, slash);
}

std::string pathExtension(std::string_view path) {
    const std::string last = lastPathComponent(path);
    const std::size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return {};
    return last.substr(dot + 1);
}

std::string stringByDeletingPathExtension(std::string_view path) {
    std::string fixed = fixSlashes(path);
    const std::size_t slash = fixed.rfind('/');
    const std::size_t componentStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = fixed.rfind('.');
    if (dot == std::string::npos || dot <= componentStart)
        return fixed;
    fixed.resize(dot);
    return fixed;
}

std::optional<std::string> stringByAppendingPathExtension(std::string_view path, std::string_view extension) {
    if (extension.find('/') != std::string_view::npos)
        return std::nullopt;
    std::string fixed = fixSlashes(path);
    if (fixed.empty() || fixed == "/")
        return std::nullopt;
    fixed.push_back('.');
    fixed.append(extension);
    return fixed;
}

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> parts;
    if (path.empty())
        return parts;
    if (path.front() == '/')
        parts.emplace_back("/");
    bool named = false;
    for (const std::string& piece : componentsSeparatedByString(path, "/")) {
        if (piece.empty())
            continue;
        parts.push_back(piece);
        named = true;
    }
    if (named && path.size() > 1 && path.back() == '/')
        parts.emplace_back("/");
    return parts;
}

std::string stringByStandardizingPath(std::string_view path) {
    const std::string expanded = stringByExpandingTildeInPath(path);
    if (expanded.empty())
        return expanded;
    const bool absolute = expanded.front() == '/';
    std::vector<std::string> kept;
    for (std::string& piece : componentsSeparatedByString(expanded, "/")) {
        if (piece.empty() || piece == ".")
            continue;
        if (piece != "..") {
            kept.push_back(std::move(piece));
        } else if (!kept.empty() && kept.back() != "..") {
            kept.pop_back();
        } else if (!absolute) {
            kept.push_back(std::move(piece));
        }
    }
    std::string out = absolute ? "/" : "";
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i > 0)
            out.push_back('/');
        out.append(kept[i]);
    }
    return out.empty() ? "." : out;
}

std::string stringByResolvingSymlinksInPath(std::string_view path) {
    const std::string expanded = stringByExpandingTildeInPath(path);
    if (expanded.empty() || expanded.front() != '/')
        return stringByStandardizingPath(expanded);
    // Components still to walk, the next one last.
    std::vector<std::string> pending;
    for (std::string& piece : componentsSeparatedByString(expanded, "/"))
        pending.push_back(std::move(piece));
    std::reverse(pending.begin(), pending.end());
    std::vector<std::string> resolved;
    int hops = 0;
    bool exists = true;  // everything in `resolved` exists, so links below may be followed
    while (!pending.empty()) {
        std::string piece = std::move(pending.back());
        pending.pop_back();
        if (piece.empty() || piece == ".")
            continue;
        if (piece == "..") {
            if (!resolved.empty())
                resolved.pop_back();
            continue;
        }
        resolved.push_back(std::move(piece));
        if (!exists)
            continue;
        std::string current;
        for (const auto& part : resolved)
            current += "/" + part;
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0) {
            exists = false;
            continue;
        }
        if (!S_ISLNK(st.st_mode) || ++hops > 40)
            continue;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0)
            continue;
        target.resize(static_cast<std::size_t>(n));
        resolved.pop_back();
        if (target.front() == '/')
            resolved.clear();
        auto parts = componentsSeparatedByString(target, "/");
        for (auto it = parts.rbegin(); it != parts.rend(); ++it)
            pending.push_back(std::move(*it));
    }
    std::string out;
    for (const auto& part : resolved)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

bool isAbsolutePath(std::string_view path) {
    return !path.empty() && (path.front() == '/' || path.front() == '~');
}

std::string stringByExpandingTildeInPath(std::string_view path) {
    if (path.empty() || path.front() != '~')
        return std::string(path);
    const std::size_t slash = path.find('/');
    const std::string user(
        path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1));
    const std::optional<std::string> home = homeOfUser(user);
    if (!home)
        return std::string(path);
    std::string out = *home;
    if (slash != std::string_view::npos)
        out.append(path.substr(slash));
    return fixSlashes(out);
}

}  // namespace plat::text
