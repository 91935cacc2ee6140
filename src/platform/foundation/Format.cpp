#include "platform/foundation/Format.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/foundation/Text.h"
#include "platform/foundation/Value.h"

namespace plat {
namespace {

constexpr int kMaxWidth = 65536;

enum class Length : uint8_t { None, Char, Short, Long, LongLong, LongDouble };

// One parsed conversion, with "*" widths already resolved.
struct Spec {
    bool left = false, plus = false, space = false, zero = false, alt = false;
    int width = 0;
    int precision = -1;  // -1: none given
    Length length = Length::None;
    char conversion = 0;
    std::size_t argIndex = 0;  // 1-based when positional, 0 otherwise
};

// Where to find the argument(s) of a conversion; resolved after parsing.
struct StarRef {
    bool present = false;
    std::size_t position = 0;  // 1-based when positional
};

struct ParsedSpec {
    Spec spec;
    StarRef widthStar, precisionStar;
};

const FormatArg& nilArg() {
    static const FormatArg nil;
    return nil;
}

// --- Parsing ---

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int readNumber(std::string_view f, std::size_t& i) {
    int64_t n = 0;
    while (i < f.size() && isDigit(f[i])) {
        n = std::min<int64_t>(n * 10 + (f[i] - '0'), kMaxWidth);
        ++i;
    }
    return static_cast<int>(n);
}

// Reads "N$" at i; leaves i unchanged and returns 0 when there is none.
std::size_t readPosition(std::string_view f, std::size_t& i) {
    std::size_t j = i;
    const int n = readNumber(f, j);
    if (j > i && j < f.size() && f[j] == '$' && n > 0) {
        i = j + 1;
        return static_cast<std::size_t>(n);
    }
    return 0;
}

void readFlags(std::string_view f, std::size_t& i, Spec& s) {
    for (; i < f.size(); ++i) {
        switch (f[i]) {
            case '-':
                s.left = true;
                break;
            case '+':
                s.plus = true;
                break;
            case ' ':
                s.space = true;
                break;
            case '0':
                s.zero = true;
                break;
            case '#':
                s.alt = true;
                break;
            case '\'':
                break;  // digit grouping: not used in the C locale
            default:
                return;
        }
    }
}

StarRef readStar(std::string_view f, std::size_t& i) {
    StarRef ref;
    if (i < f.size() && f[i] == '*') {
        ++i;
        ref.present = true;
        ref.position = readPosition(f, i);
    }
    return ref;
}

void readLength(std::string_view f, std::size_t& i, Spec& s) {
    if (i >= f.size())
        return;
    const char c = f[i];
    const bool twice = i + 1 < f.size() && f[i + 1] == c;
    if (c == 'h') {
        s.length = twice ? Length::Char : Length::Short;
        i += twice ? 2 : 1;
    } else if (c == 'l') {
        s.length = twice ? Length::LongLong : Length::Long;
        i += twice ? 2 : 1;
    } else if (c == 'q' || c == 'j' || c == 'z' || c == 't') {
        s.length = Length::LongLong;
        ++i;
    } else if (c == 'L') {
        s.length = Length::LongDouble;
        ++i;
    }
}

bool isConversion(char c) {
    switch (c) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
        case 'c':
        case 'C':
        case 's':
        case 'S':
        case 'p':
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
        case '@':
        case '%':
            return true;
        default:
            return false;
    }
}

// Parses the conversion that starts at f[start] == '%'. Sets `end` past what
// was read; returns false when it is not a conversion we format.
bool parseSpec(std::string_view f, std::size_t start, ParsedSpec& p, std::size_t& end) {
    std::size_t i = start + 1;
    Spec& s = p.spec;
    s.argIndex = readPosition(f, i);
    readFlags(f, i, s);
    p.widthStar = readStar(f, i);
    if (!p.widthStar.present)
        s.width = readNumber(f, i);
    // The platform also takes flags after the width ("%18#llx"), as the
    // crash report's image list writes them.
    readFlags(f, i, s);
    if (i < f.size() && f[i] == '.') {
        ++i;
        p.precisionStar = readStar(f, i);
        if (!p.precisionStar.present)
            s.precision = readNumber(f, i);
    }
    readLength(f, i, s);
    if (i >= f.size()) {
        end = f.size();
        return false;
    }
    s.conversion = f[i];
    end = i + 1;
    return isConversion(s.conversion);
}

// --- Argument access ---

class Args {
  public:
    explicit Args(std::span<const FormatArg> args) : args_(args) {}

    const FormatArg& take(std::size_t position) {
        if (position > 0)
            return at(position - 1);
        return at(next_++);
    }

  private:
    const FormatArg& at(std::size_t index) const { return index < args_.size() ? args_[index] : nilArg(); }

    std::span<const FormatArg> args_;
    std::size_t next_ = 0;
};

int64_t saturatingInt(double d) {
    if (std::isnan(d))
        return 0;
    if (d >= 9223372036854775808.0)
        return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

// An integer argument as sign and magnitude, so that every int64 and uint64
// value is representable; `bytes` is the size of the source type.
struct Integer {
    bool negative = false;
    uint64_t magnitude = 0;
    unsigned bytes = 8;
};

Integer fromSigned(int64_t v, unsigned bytes) {
    return {v < 0, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), bytes};
}

Integer integerOf(const FormatArg& a) {
    switch (a.kind()) {
        case FormatArg::Kind::Int:
            return fromSigned(a.intValue(), a.size());
        case FormatArg::Kind::UInt:
            return {false, a.uintValue(), a.size()};
        case FormatArg::Kind::Double: {
            const double d = a.doubleValue();
            if (d >= 18446744073709551615.0)
                return {false, std::numeric_limits<uint64_t>::max(), 8};
            if (d >= 0)
                return {false, static_cast<uint64_t>(d), 8};
            return fromSigned(saturatingInt(d), 8);
        }
        case FormatArg::Kind::Value: {
            const Value& v = a.value();
            if (v.kind() == Value::Kind::UInt)
                return {false, v.rawUInt(), 8};
            if (v.kind() == Value::Kind::Double)
                return integerOf(FormatArg(v.rawDouble()));
            return v.isNumber() ? fromSigned(v.longLongValue(), 8) : Integer{};
        }
        case FormatArg::Kind::Pointer:
            return {false, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(a.pointer())), 8};
        default:
            return {};
    }
}

double doubleOf(const FormatArg& a) {
    switch (a.kind()) {
        case FormatArg::Kind::Double:
            return a.doubleValue();
        case FormatArg::Kind::Int:
            return static_cast<double>(a.intValue());
        case FormatArg::Kind::UInt:
            return static_cast<double>(a.uintValue());
        case FormatArg::Kind::Value:
            return a.value().isNumber() ? a.value().doubleValue() : 0.0;
        default:
            return 0.0;
    }
}

// A "*" width or precision: an integer argument, anything else counts as 0.
int starValue(const FormatArg& a) {
    const Integer n = integerOf(a);
    const int64_t capped = static_cast<int64_t>(std::min<uint64_t>(n.magnitude, kMaxWidth));
    return static_cast<int>(n.negative ? -capped : capped);
}

void resolveStars(ParsedSpec& p, Args& args) {
    Spec& s = p.spec;
    if (p.widthStar.present) {
        const int w = starValue(args.take(p.widthStar.position));
        s.left = s.left || w < 0;
        s.width = w < 0 ? -w : w;
    }
    if (p.precisionStar.present) {
        const int prec = starValue(args.take(p.precisionStar.position));
        s.precision = prec < 0 ? -1 : prec;
    }
}

// --- Output ---

void pad(std::string& out, std::size_t count, char c) {
    out.append(count, c);
}

// Writes sign/prefix, zero padding and digits within the conversion's width.
void emitNumber(std::string& out, const Spec& s, std::string_view sign, std::string_view prefix,
                std::string_view digits, std::size_t zeros) {
    const std::size_t body = sign.size() + prefix.size() + zeros + digits.size();
    const std::size_t fill = static_cast<std::size_t>(s.width) > body ? s.width - body : 0;
    const bool zeroFill = s.zero && !s.left && s.precision < 0;
    if (!s.left && !zeroFill)
        pad(out, fill, ' ');
    out.append(sign);
    out.append(prefix);
    pad(out, zeros + (zeroFill ? fill : 0), '0');
    out.append(digits);
    if (s.left)
        pad(out, fill, ' ');
}

// Truncates to the modifier's width for hh and h (as C's conversion would);
// a negative value of an unsigned conversion wraps at the wider of its own
// size and the modifier's.
Integer applyLength(Integer n, const Spec& s, bool isSigned) {
    const unsigned bits = s.length == Length::Char ? 8 : s.length == Length::Short ? 16 : 0;
    const uint64_t raw = n.negative ? 0 - n.magnitude : n.magnitude;
    if (bits != 0) {
        const uint64_t mask = (uint64_t{1} << bits) - 1;
        const uint64_t low = raw & mask;
        const bool high = isSigned && (low >> (bits - 1)) != 0;
        return high ? Integer{true, (mask + 1) - low, bits / 8} : Integer{false, low, bits / 8};
    }
    if (!isSigned && n.negative) {
        const unsigned modBytes = s.length == Length::None ? 4 : 8;
        const unsigned bytes = std::max(n.bytes, modBytes);
        return {false, bytes >= 8 ? raw : raw & ((uint64_t{1} << (bytes * 8)) - 1), bytes};
    }
    return n;
}

void formatInteger(std::string& out, const Spec& s, const FormatArg& a) {
    const char c = s.conversion;
    const bool isSigned = c == 'd' || c == 'i';
    const Integer n = applyLength(integerOf(a), s, isSigned);
    const int base = c == 'o' ? 8 : (c == 'x' || c == 'X') ? 16 : 10;
    char buf[32];
    std::size_t len = 0;
    if (!(n.magnitude == 0 && s.precision == 0)) {
        len = static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, n.magnitude, base).ptr - buf);
    }
    if (c == 'X') {
        for (std::size_t k = 0; k < len; ++k) {
            if (buf[k] >= 'a' && buf[k] <= 'f')
                buf[k] = static_cast<char>(buf[k] - 'a' + 'A');
        }
    }
    std::size_t zeros = s.precision > static_cast<int>(len) ? s.precision - len : 0;
    std::string_view prefix;
    if (s.alt && base == 8 && zeros == 0 && (len == 0 || buf[0] != '0'))
        zeros = 1;
    if (s.alt && base == 16 && n.magnitude != 0)
        prefix = c == 'X' ? "0X" : "0x";
    std::string_view sign;
    if (n.negative)
        sign = "-";
    else if (isSigned && s.plus)
        sign = "+";
    else if (isSigned && s.space)
        sign = " ";
    emitNumber(out, s, sign, prefix, std::string_view(buf, len), zeros);
}

void formatPointer(std::string& out, const Spec& s, const FormatArg& a) {
    const Integer n = integerOf(a);
    const uint64_t bits = n.negative ? 0 - n.magnitude : n.magnitude;
    char buf[32];
    const auto len = static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, bits, 16).ptr - buf);
    Spec plain = s;
    plain.precision = -1;
    emitNumber(out, plain, {}, "0x", std::string_view(buf, len), 0);
}

locale_t cLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

void formatFloating(std::string& out, const Spec& s, const FormatArg& a) {
    char spec[32];
    char* p = spec;
    *p++ = '%';
    if (s.left)
        *p++ = '-';
    if (s.plus)
        *p++ = '+';
    if (s.space)
        *p++ = ' ';
    if (s.zero)
        *p++ = '0';
    if (s.alt)
        *p++ = '#';
    *p++ = '*';
    *p++ = '.';
    *p++ = '*';
    *p++ = s.conversion;
    *p = '\0';
    const double d = doubleOf(a);
    const int precision = s.precision;  // negative means "not given" to snprintf too
    // snprintf honours LC_NUMERIC; switch this thread to C for the call.
    const locale_t previous = uselocale(cLocale());
    char small[256];
    int n = std::snprintf(small, sizeof small, spec, s.width, precision, d);
    if (n >= static_cast<int>(sizeof small)) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(n) + 1);
        std::snprintf(out.data() + at, static_cast<std::size_t>(n) + 1, spec, s.width, precision, d);
        out.resize(at + static_cast<std::size_t>(n));
    } else if (n > 0) {
        out.append(small, static_cast<std::size_t>(n));
    }
    uselocale(previous);
}

std::string integerText(const FormatArg& a) {
    const Integer n = integerOf(a);
    char buf[32];
    char* p = buf;
    if (n.negative)
        *p++ = '-';
    p = std::to_chars(p, buf + sizeof buf, n.magnitude).ptr;
    return std::string(buf, p);
}

// The text %@, %s and %S print for an argument.
std::string textOf(const FormatArg& a) {
    switch (a.kind()) {
        case FormatArg::Kind::String:
            return std::string(a.stringValue());
        case FormatArg::Kind::Nil:
            return "(null)";
        case FormatArg::Kind::Value:
            return a.value().description();
        case FormatArg::Kind::Object:
            return a.object().description();
        case FormatArg::Kind::Int:
        case FormatArg::Kind::UInt:
            return integerText(a);
        case FormatArg::Kind::Double:
            return Value(a.doubleValue()).description();
        case FormatArg::Kind::Pointer: {
            if (a.pointer() == nullptr)
                return "(null)";
            std::string out;
            formatPointer(out, Spec{}, a);
            return out;
        }
    }
    return {};
}

// Appends text cut to the precision and padded to the width, both counted in
// UTF-16 units.
void emitText(std::string& out, const Spec& s, std::string_view text) {
    if (s.precision >= 0) {
        text = text.substr(0, text::utf8OffsetForUTF16Index(text, s.precision).value_or(text.size()));
    }
    std::size_t fill = 0;
    if (s.width > 0) {
        const std::size_t units = text::utf16Length(text);
        fill = static_cast<std::size_t>(s.width) > units ? s.width - units : 0;
    }
    if (!s.left)
        pad(out, fill, ' ');
    out.append(text);
    if (s.left)
        pad(out, fill, ' ');
}

void formatString(std::string& out, const Spec& s, const FormatArg& a) {
    if (a.kind() == FormatArg::Kind::String) {
        emitText(out, s, a.stringValue());  // no copy for the common case
    } else {
        emitText(out, s, textOf(a));
    }
}

// UTF-8 for a character code; codes that name no character give U+FFFD and
// 0 gives nothing (C would write a NUL byte).
std::string characterText(uint64_t cp) {
    if (cp == 0)
        return {};
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    const bool pair = cp >= 0x10000;
    const char16_t units[2] = {
        static_cast<char16_t>(pair ? 0xD800 + ((cp - 0x10000) >> 10) : cp),
        static_cast<char16_t>(pair ? 0xDC00 + ((cp - 0x10000) & 0x3FF) : 0),
    };
    return text::fromUTF16(std::u16string_view(units, pair ? 2 : 1)).value_or("");
}

// %c and %C take a character code; a string gives its first character.
void formatCharacter(std::string& out, const Spec& s, const FormatArg& a) {
    std::string ch;
    if (a.kind() == FormatArg::Kind::String) {
        const std::string_view str = a.stringValue();
        ch = str.substr(0, text::utf8OffsetForUTF16Index(str, 1).value_or(str.size()));
    } else if (a.kind() != FormatArg::Kind::Nil) {
        const Integer n = integerOf(a);
        // A negative char is a byte above 0x7F, as C's unsigned char conversion reads it.
        const uint64_t code = !n.negative ? n.magnitude : n.bytes == 1 ? 256 - n.magnitude : 0xFFFD;
        ch = characterText(code);
    }
    Spec noPrecision = s;
    noPrecision.precision = -1;
    emitText(out, noPrecision, ch);
}

void formatOne(std::string& out, const Spec& s, const FormatArg& a) {
    switch (s.conversion) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            formatInteger(out, s, a);
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            formatFloating(out, s, a);
            break;
        case 'c':
        case 'C':
            formatCharacter(out, s, a);
            break;
        case 'p':
            formatPointer(out, s, a);
            break;
        default:
            formatString(out, s, a);
            break;  // '@', 's', 'S'
    }
}

}  // namespace

std::string formatArgs(std::string_view fmt, std::span<const FormatArg> list) {
    std::string out;
    out.reserve(fmt.size() + 24 * list.size());
    Args args(list);
    std::size_t i = 0;
    while (i < fmt.size()) {
        const std::size_t percent = fmt.find('%', i);
        if (percent == std::string_view::npos) {
            out.append(fmt.substr(i));
            break;
        }
        out.append(fmt.substr(i, percent - i));
        ParsedSpec parsed;
        std::size_t end = percent;
        if (!parseSpec(fmt, percent, parsed, end)) {
            out.append(fmt.substr(percent, end - percent));  // not ours: copied as written
        } else if (parsed.spec.conversion == '%') {
            out.push_back('%');
        } else {
            resolveStars(parsed, args);
            formatOne(out, parsed.spec, args.take(parsed.spec.argIndex));
        }
        i = end;
    }
    return out;
}

}  // namespace plat
