#include "platform/foundation/PropertyListSerialization.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/detail/BinaryPropertyList.h"

namespace plat {

std::string PropertyListUID::description() const {
    return std::string("<CFKeyedArchiverUID ") + std::to_string(value_) + ">";
}

Value PropertyListUID::make(uint64_t value) {
    static constexpr uint64_t kShared = 4096;
    static const std::vector<Value>* const shared = [] {
        auto* table = new std::vector<Value>();  // never destroyed: may be used during exit
        table->reserve(kShared);
        for (uint64_t i = 0; i < kShared; ++i)
            table->push_back(Value(std::make_shared<const PropertyListUID>(i)));
        return table;
    }();
    return value < kShared ? (*shared)[value] : Value(std::make_shared<const PropertyListUID>(value));
}

bool PropertyListUID::isEqual(const Object& other) const {
    auto* uid = dynamic_cast<const PropertyListUID*>(&other);
    return uid != nullptr && uid->value_ == value_;
}

namespace {

using Format = PropertyListSerialization::Format;

ErrorPtr readError(const std::string& reason) {
    return Error::make(
        CocoaErrorDomain, PropertyListReadCorruptError,
        Dictionary{{LocalizedDescriptionKey,
                    Value("The data couldn’t be read because it isn’t in the correct format.")},
                   {DebugDescriptionErrorKey, Value(reason)}});
}

ErrorPtr writeError(const std::string& reason) {
    return Error::make(
        CocoaErrorDomain, PropertyListWriteInvalidError,
        Dictionary{{LocalizedDescriptionKey, Value(reason)}, {DebugDescriptionErrorKey, Value(reason)}});
}

const PropertyListUID* asUID(const Value& v) {
    if (!v.isObject())
        return nullptr;
    const Object* object = v.asObject().get();
    // The class is final: comparing types is enough, and cheaper than a cast.
    return object && typeid(*object) == typeid(PropertyListUID) ? static_cast<const PropertyListUID*>(object)
                                                                : nullptr;
}

// --- Calendar arithmetic (proleptic Gregorian, UTC) ----------------------------

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

constexpr int64_t kUnixOffset = 978307200;  // seconds from 1970 to 2001
// Years 0 to 9999: the range the four-digit XML form can express.
constexpr double kFirstXMLSecond = -63145526400.0;
constexpr double kLastXMLSecond = 252423993599.0;

std::optional<std::string> xmlDateText(double since2001) {
    if (!(since2001 >= kFirstXMLSecond && since2001 < kLastXMLSecond + 1))
        return std::nullopt;
    auto total = static_cast<int64_t>(std::floor(since2001)) + kUnixOffset;
    int64_t days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
    auto secs = static_cast<unsigned>(total - days * 86400);
    int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02uZ", static_cast<unsigned>(y % 10000),
                  m % 100, d % 100, secs / 3600 % 100, secs / 60 % 60, secs % 60);
    return std::string(buf);
}

bool readDigits(std::string_view s, std::size_t& pos, std::size_t count, int& out) {
    if (pos + count > s.size())
        return false;
    out = 0;
    for (std::size_t i = 0; i < count; ++i) {
        char c = s[pos + i];
        if (c < '0' || c > '9')
            return false;
        out = out * 10 + (c - '0');
    }
    pos += count;
    return true;
}

bool expectChar(std::string_view s, std::size_t& pos, char c) {
    if (pos >= s.size() || s[pos] != c)
        return false;
    ++pos;
    return true;
}

// "YYYY-MM-DDTHH:MM:SS[.fff]Z"
std::optional<double> parseXMLDate(std::string_view s) {
    std::size_t p = 0;
    int y, mo, d, h, mi, sec;
    if (!readDigits(s, p, 4, y) || !expectChar(s, p, '-') || !readDigits(s, p, 2, mo) ||
        !expectChar(s, p, '-') || !readDigits(s, p, 2, d) || !expectChar(s, p, 'T') ||
        !readDigits(s, p, 2, h) || !expectChar(s, p, ':') || !readDigits(s, p, 2, mi) ||
        !expectChar(s, p, ':') || !readDigits(s, p, 2, sec))
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60)
        return std::nullopt;
    double fraction = 0;
    if (p < s.size() && s[p] == '.') {
        std::size_t start = p++;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9')
            ++p;
        if (p == start + 1)
            return std::nullopt;
        std::from_chars(s.data() + start, s.data() + p, fraction);
    }
    if (p + 1 != s.size() || s[p] != 'Z')
        return std::nullopt;
    int64_t days = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    return static_cast<double>(days * 86400 + h * 3600 + mi * 60 + sec - kUnixOffset) + fraction;
}

// --- Validity ------------------------------------------------------------------

std::optional<std::string> invalidReason(const Value& v, std::size_t depth) {
    if (depth > PropertyListSerialization::kMaxDepth)
        return "Property list nested too deeply";
    switch (v.kind()) {
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::UInt:
        case Value::Kind::Double:
        case Value::Kind::Date:
        case Value::Kind::Data:
            return std::nullopt;
        case Value::Kind::String:
            if (!text::isValidUTF8(*v.asString()))
                return "Property list invalid for format (string is not UTF-8)";
            return std::nullopt;
        case Value::Kind::Array:
            for (const auto& item : *v.asArray())
                if (auto r = invalidReason(item, depth + 1))
                    return r;
            return std::nullopt;
        case Value::Kind::Dictionary:
            for (const auto& [key, item] : *v.asDictionary()) {
                if (!text::isValidUTF8(key))
                    return "Property list invalid for format (key is not UTF-8)";
                if (auto r = invalidReason(item, depth + 1))
                    return r;
            }
            return std::nullopt;
        case Value::Kind::Object:
            if (asUID(v))
                return std::nullopt;
            [[fallthrough]];
        default:
            return "Property list invalid for format (property lists cannot contain objects of type '" +
                   std::string(v.kindName()) + "')";
    }
}

// --- XML writer ------------------------------------------------------------------

constexpr const char* kXMLHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

class XMLWriter {
  public:
    std::optional<std::string> write(const Value& root) {
        out_ = kXMLHeader;
        if (!writeValue(root, 0))
            return std::nullopt;
        out_ += "</plist>\n";
        return std::move(out_);
    }
    const std::string& failure() const { return failure_; }

  private:
    void indent(std::size_t depth) { out_.append(depth, '\t'); }

    // Characters XML 1.0 cannot carry at all: C0 controls other than tab, line
    // feed and carriage return, and U+FFFE and U+FFFF (the text is UTF-8).
    static bool isXMLCharacterAt(std::string_view s, std::size_t i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20)
            return c == '\t' || c == '\n' || c == '\r';
        if (c == 0xEF && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xBF) {
            const auto last = static_cast<unsigned char>(s[i + 2]);
            return last != 0xBE && last != 0xBF;
        }
        return true;
    }

    // Carriage returns go out as character references: a reader turns a
    // literal one (or CR LF) into a line feed.
    bool escaped(std::string_view s) {
        for (std::size_t i = 0; i < s.size(); ++i) {
            const char c = s[i];
            if (!isXMLCharacterAt(s, i))
                return fail("Property list invalid for format (string holds a character XML cannot carry)");
            switch (c) {
                case '<':
                    out_ += "&lt;";
                    break;
                case '>':
                    out_ += "&gt;";
                    break;
                case '&':
                    out_ += "&amp;";
                    break;
                case '\r':
                    out_ += "&#13;";
                    break;
                default:
                    out_ += c;
            }
        }
        return true;
    }

    bool element(std::size_t depth, const char* tag, std::string_view content) {
        indent(depth);
        out_ += '<';
        out_ += tag;
        out_ += '>';
        if (!escaped(content))
            return false;
        out_ += "</";
        out_ += tag;
        out_ += ">\n";
        return true;
    }

    bool writeValue(const Value& v, std::size_t depth) {
        char buf[40];
        switch (v.kind()) {
            case Value::Kind::Bool:
                indent(depth);
                out_ += v.rawBool() ? "<true/>\n" : "<false/>\n";
                return true;
            case Value::Kind::Int:
                element(depth, "integer", std::to_string(v.rawInt()));
                return true;
            case Value::Kind::UInt:
                element(depth, "integer", std::to_string(v.rawUInt()));
                return true;
            case Value::Kind::Double:
                element(depth, "real", realText(v.rawDouble(), buf));
                return true;
            case Value::Kind::Date: {
                auto text = xmlDateText(v.asDate()->timeIntervalSinceReferenceDate());
                if (!text)
                    return fail("Property list invalid for format (date out of range for XML)");
                element(depth, "date", *text);
                return true;
            }
            case Value::Kind::Data:
                writeData(*v.asData(), depth);
                return true;
            case Value::Kind::String:
                return element(depth, "string", *v.asString());
            case Value::Kind::Array:
                return writeArray(*v.asArray(), depth);
            case Value::Kind::Dictionary:
                return writeDictionary(*v.asDictionary(), depth);
            default:
                if (auto* uid = asUID(v)) {
                    return writeDictionary(Dictionary{{"CF$UID", Value(uid->value())}}, depth);
                }
                return fail("Property list invalid for format");
        }
    }

    static std::string_view realText(double d, char (&buf)[40]) {
        if (std::isnan(d))
            return "nan";
        if (std::isinf(d))
            return d > 0 ? "+infinity" : "-infinity";
        auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 17);
        return {buf, static_cast<std::size_t>(r.ptr - buf)};
    }

    void writeData(const Data& data, std::size_t depth) {
        constexpr std::size_t kLine = 76;
        indent(depth);
        out_ += "<data>\n";
        std::string b64 = data.base64EncodedString();
        for (std::size_t i = 0; i < b64.size(); i += kLine) {
            indent(depth);
            out_.append(b64, i, kLine);
            out_ += '\n';
        }
        indent(depth);
        out_ += "</data>\n";
    }

    bool writeArray(const Array& items, std::size_t depth) {
        indent(depth);
        if (items.empty()) {
            out_ += "<array/>\n";
            return true;
        }
        out_ += "<array>\n";
        for (const auto& item : items)
            if (!writeValue(item, depth + 1))
                return false;
        indent(depth);
        out_ += "</array>\n";
        return true;
    }

    bool writeDictionary(const Dictionary& dict, std::size_t depth) {
        indent(depth);
        if (dict.empty()) {
            out_ += "<dict/>\n";
            return true;
        }
        out_ += "<dict>\n";
        std::vector<const Dictionary::Entry*> entries;
        entries.reserve(dict.size());
        for (const auto& entry : dict)
            entries.push_back(&entry);
        std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
        for (auto* entry : entries) {
            if (!element(depth + 1, "key", entry->first) || !writeValue(entry->second, depth + 1))
                return false;
        }
        indent(depth);
        out_ += "</dict>\n";
        return true;
    }

    bool fail(std::string reason) {
        failure_ = std::move(reason);
        return false;
    }

    std::string out_;
    std::string failure_;
};

// --- XML reader ------------------------------------------------------------------

class XMLReader {
  public:
    explicit XMLReader(std::string_view s) : s_(s) {}

    std::optional<Value> read() {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF")
            pos_ = 3;
        if (!skipMisc())
            return std::nullopt;
        std::optional<Value> root;
        if (startsWith("<plist")) {
            auto tag = readOpenTag();
            if (!tag || tag->selfClosing)
                return fail("Empty plist element");
            if (!skipMisc())
                return std::nullopt;
            root = readValue(0);
            if (!root || !skipMisc() || !readCloseTag("plist"))
                return fail("Malformed plist element");
        } else {
            root = readValue(0);
            if (!root)
                return std::nullopt;
        }
        if (!skipMisc())
            return std::nullopt;
        if (pos_ != s_.size())
            return fail("Junk after the property list");
        return root;
    }
    const std::string& failure() const { return failure_; }

  private:
    struct Tag {
        std::string name;
        bool selfClosing;
    };

    std::nullopt_t fail(std::string reason) {
        if (failure_.empty())
            failure_ = std::move(reason) + std::string(" at offset ") + std::to_string(pos_);
        return std::nullopt;
    }
    bool startsWith(std::string_view prefix) const { return s_.substr(pos_, prefix.size()) == prefix; }
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    void skipSpace() {
        while (pos_ < s_.size() && isSpace(s_[pos_]))
            ++pos_;
    }

    bool skipPast(std::string_view terminator) {
        auto at = s_.find(terminator, pos_);
        if (at == std::string_view::npos)
            return fail("Unterminated markup"), false;
        pos_ = at + terminator.size();
        return true;
    }

    // Skips white space, comments, processing instructions and a DOCTYPE.
    bool skipMisc() {
        for (;;) {
            skipSpace();
            if (startsWith("<!--")) {
                if (!skipPast("-->"))
                    return false;
            } else if (startsWith("<?")) {
                if (!skipPast("?>"))
                    return false;
            } else if (startsWith("<!DOCTYPE")) {
                if (!skipDoctype())
                    return false;
            } else {
                return true;
            }
        }
    }

    bool skipDoctype() {
        int brackets = 0;
        for (; pos_ < s_.size(); ++pos_) {
            char c = s_[pos_];
            if (c == '[')
                ++brackets;
            if (c == ']')
                --brackets;
            if (c == '>' && brackets <= 0) {
                ++pos_;
                return true;
            }
        }
        return fail("Unterminated DOCTYPE"), false;
    }

    std::optional<Tag> readOpenTag() {
        if (pos_ >= s_.size() || s_[pos_] != '<')
            return fail("Expected an element");
        ++pos_;
        std::size_t start = pos_;
        while (pos_ < s_.size() && !isSpace(s_[pos_]) && s_[pos_] != '>' && s_[pos_] != '/')
            ++pos_;
        Tag tag{std::string(s_.substr(start, pos_ - start)), false};
        if (tag.name.empty())
            return fail("Empty element name");
        // Attributes are skipped; quoted values may hold '>'.
        char quote = 0;
        for (; pos_ < s_.size(); ++pos_) {
            char c = s_[pos_];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                tag.selfClosing = s_[pos_ - 1] == '/';
                ++pos_;
                return tag;
            }
        }
        return fail("Unterminated element");
    }

    bool readCloseTag(std::string_view name) {
        if (!startsWith("</"))
            return fail("Expected closing tag"), false;
        pos_ += 2;
        if (s_.substr(pos_, name.size()) != name)
            return fail("Mismatched closing tag"), false;
        pos_ += name.size();
        skipSpace();
        if (pos_ >= s_.size() || s_[pos_] != '>')
            return fail("Malformed closing tag"), false;
        ++pos_;
        return true;
    }

    bool appendEntity(std::string& out) {
        auto end = s_.find(';', pos_);
        if (end == std::string_view::npos || end - pos_ > 12)
            return fail("Malformed entity"), false;
        std::string_view name = s_.substr(pos_ + 1, end - pos_ - 1);
        pos_ = end + 1;
        if (name == "lt")
            out += '<';
        else if (name == "gt")
            out += '>';
        else if (name == "amp")
            out += '&';
        else if (name == "quot")
            out += '"';
        else if (name == "apos")
            out += '\'';
        else if (name.size() > 1 && name[0] == '#')
            return appendCharacterReference(name.substr(1), out);
        else
            return fail("Unknown entity"), false;
        return true;
    }

    bool appendCharacterReference(std::string_view digits, std::string& out) {
        int base = 10;
        if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
            base = 16;
            digits.remove_prefix(1);
        }
        uint32_t cp = 0;
        auto r = std::from_chars(digits.data(), digits.data() + digits.size(), cp, base);
        if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size() || cp == 0 ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return fail("Invalid character reference"), false;
        std::u16string units;
        if (cp >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(cp);
        }
        out += text::fromUTF16(units).value_or("");
        return true;
    }

    // Character content up to the closing tag of `name`.
    std::optional<std::string> readText(std::string_view name) {
        std::string out;
        while (pos_ < s_.size()) {
            char c = s_[pos_];
            if (c == '&') {
                if (!appendEntity(out))
                    return std::nullopt;
            } else if (c != '<') {
                out += c;
                ++pos_;
            } else if (startsWith("<![CDATA[")) {
                auto end = s_.find("]]>", pos_);
                if (end == std::string_view::npos)
                    return fail("Unterminated CDATA");
                out.append(s_.substr(pos_ + 9, end - pos_ - 9));
                pos_ = end + 3;
            } else if (startsWith("<!--")) {
                if (!skipPast("-->"))
                    return std::nullopt;
            } else {
                if (!readCloseTag(name))
                    return std::nullopt;
                if (!text::isValidUTF8(out))
                    return fail("Text is not UTF-8");
                return out;
            }
        }
        return fail("Unterminated element");
    }

    std::optional<std::string> content(const Tag& tag) {
        if (tag.selfClosing)
            return std::string();
        return readText(tag.name);
    }

    std::optional<Value> readValue(std::size_t depth) {
        if (depth > PropertyListSerialization::kMaxDepth)
            return fail("Property list nested too deeply");
        auto tag = readOpenTag();
        if (!tag)
            return std::nullopt;
        const std::string& n = tag->name;
        if (n == "dict")
            return readDictionary(*tag, depth);
        if (n == "array")
            return readArray(*tag, depth);
        if (n == "true" || n == "false") {
            if (!tag->selfClosing && !readCloseTag(n))
                return std::nullopt;
            return Value(n == "true");
        }
        auto text = content(*tag);
        if (!text)
            return std::nullopt;
        if (n == "string")
            return Value(std::move(*text));
        if (n == "integer")
            return integerValue(*text);
        if (n == "real")
            return realValue(*text);
        if (n == "date")
            return dateValue(*text);
        if (n == "data")
            return dataValue(*text);
        return fail(std::string("Unknown element <") + n + ">");
    }

    std::optional<Value> readArray(const Tag& tag, std::size_t depth) {
        Array items;
        if (tag.selfClosing)
            return Value(std::move(items));
        for (;;) {
            if (!skipMisc())
                return std::nullopt;
            if (startsWith("</")) {
                if (!readCloseTag("array"))
                    return std::nullopt;
                return Value(std::move(items));
            }
            auto item = readValue(depth + 1);
            if (!item)
                return std::nullopt;
            items.push_back(std::move(*item));
        }
    }

    std::optional<Value> readDictionary(const Tag& tag, std::size_t depth) {
        Dictionary entries;
        if (tag.selfClosing)
            return Value(std::move(entries));
        for (;;) {
            if (!skipMisc())
                return std::nullopt;
            if (startsWith("</")) {
                if (!readCloseTag("dict"))
                    return std::nullopt;
                return dictionaryOrUID(std::move(entries));
            }
            auto keyTag = readOpenTag();
            if (!keyTag)
                return std::nullopt;
            if (keyTag->name != "key")
                return fail("Expected <key> in dictionary");
            auto key = content(*keyTag);
            if (!key || !skipMisc())
                return std::nullopt;
            if (startsWith("</"))
                return fail("Key without value in dictionary");
            auto item = readValue(depth + 1);
            if (!item)
                return std::nullopt;
            entries.set(std::move(*key), std::move(*item));
        }
    }

    static Value dictionaryOrUID(Dictionary entries) {
        if (entries.size() == 1) {
            const Value* uid = entries.find("CF$UID");
            if (uid && uid->isInteger() && uid->compare(Value(0)) >= 0)
                return Value(std::make_shared<const PropertyListUID>(uid->unsignedLongLongValue()));
        }
        return Value(std::move(entries));
    }

    static std::string_view trimmed(std::string_view s) {
        while (!s.empty() && isSpace(s.front()))
            s.remove_prefix(1);
        while (!s.empty() && isSpace(s.back()))
            s.remove_suffix(1);
        return s;
    }

    std::optional<Value> integerValue(std::string_view text) {
        text = trimmed(text);
        if (!text.empty() && text[0] == '+')
            text.remove_prefix(1);
        const char* end = text.data() + text.size();
        int64_t i;
        if (auto r = std::from_chars(text.data(), end, i);
            r.ec == std::errc() && r.ptr == end && !text.empty())
            return Value(i);
        uint64_t u;
        if (auto r = std::from_chars(text.data(), end, u);
            r.ec == std::errc() && r.ptr == end && !text.empty())
            return Value(u);
        return fail("Invalid <integer>");
    }

    std::optional<Value> realValue(std::string_view text) {
        std::string t(trimmed(text));
        if (t == "nan")
            return Value(std::nan(""));
        if (t == "+infinity" || t == "infinity" || t == "inf" || t == "+inf")
            return Value(HUGE_VAL);
        if (t == "-infinity" || t == "-inf")
            return Value(-HUGE_VAL);
        if (t.empty() || t[0] == '+')
            t.erase(0, t.empty() ? 0 : 1);
        double d = 0;
        auto r = std::from_chars(t.data(), t.data() + t.size(), d);
        if (r.ptr != t.data() + t.size() || t.empty())
            return fail("Invalid <real>");
        if (r.ec == std::errc::result_out_of_range)
            d = std::strtod(t.c_str(), nullptr);
        return Value(d);
    }

    std::optional<Value> dateValue(std::string_view text) {
        auto seconds = parseXMLDate(trimmed(text));
        if (!seconds)
            return fail("Invalid <date>");
        return Value(Date(*seconds));
    }

    std::optional<Value> dataValue(std::string_view text) {
        std::string compact;
        for (char c : text)
            if (!isSpace(c))
                compact += c;
        auto data = Data::fromBase64(compact);
        if (!data)
            return fail("Invalid base64 in <data>");
        return Value(std::move(*data));
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    std::string failure_;
};

// --- Binary writer ---------------------------------------------------------------

using namespace detail::bplist;
namespace bplist = detail::bplist;

// Writes a binary list in two passes. The first walks the tree once: it
// numbers the objects (a value per occurrence, a string once), checks that
// each value may be written and adds up what the objects take. The second
// writes objects, offset table and trailer into a buffer of that size, which
// becomes the Data without a copy.
class BinaryWriter {
  public:
    // Empty when the tree holds something a property list cannot (too deep,
    // text that is not UTF-8, an object of another kind); invalidReason then
    // says what.
    std::optional<Data> write(const Value& root) {
        // Room for a store's metadata without growing (a few hundred objects).
        nodes_.reserve(512);
        refs_.reset(new uint64_t[refsCapacity_ = 1024]);
        add(root, 0);
        if (failed_)
            return std::nullopt;
        const std::size_t refSize = bytesFor(nodes_.size());
        const std::size_t objectsEnd = 8 + objectBytes_ + refsSize_ * refSize;
        const std::size_t offsetSize = bytesFor(objectsEnd);
        std::vector<uint8_t> out(objectsEnd + nodes_.size() * offsetSize + 32);
        uint8_t* const begin = out.data();
        std::memcpy(begin, "bplist00", 8);
        uint8_t* p = begin + 8;
        uint8_t* table = begin + objectsEnd;
        for (const Node& node : nodes_) {
            table = putBigEndian(table, static_cast<uint64_t>(p - begin), offsetSize);
            p = encode(p, node, refSize);
        }
        // The sizes added up in the first pass and the bytes written in the
        // second must agree; if they ever did not, the output would be
        // corrupt (or overrun the offset table), so it is refused outright.
        if (p != begin + objectsEnd)
            throw std::logic_error("binary property list: object sizes do not match what was written");
        plat::bplist::putTrailer(table, offsetSize, refSize, nodes_.size(), objectsEnd);
        return Data(std::move(out));
    }

  private:
    enum class Text : uint8_t { None, ASCII, UTF16 };

    // One object of the output: a value of the tree, or a dictionary key
    // (string). Views point into the tree being written, which outlives the
    // writer's use of them. A container's references are refs_[refsBegin,
    // refsBegin + refsCount).
    struct Node {
        const Value* value;
        const std::string* key;
        std::size_t refsBegin;
        std::size_t refsCount;
        Text text;
    };

    bool fail() {
        failed_ = true;
        return false;
    }

    // Strings are written once; other values once per occurrence, in the
    // order of a depth-first walk (a dictionary's keys before its values).
    // Most strings of a list repeat (the same few keys in dictionary after
    // dictionary), so the lookup is the common path: the hash is computed
    // inline and each slot holds its text, so a hit reads no node.
    uint64_t addString(const std::string& s, const Value* value, const std::string* key) {
        const std::size_t hash = textHash(s.data(), s.size());
        if (2 * (stringCount_ + 1) > stringSlots_.size())
            growStrings();
        const std::size_t mask = stringSlots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            StringSlot& slot = stringSlots_[i];
            if (slot.node == 0) {
                slot = {hash, nodes_.size() + 1, s.data(), s.size()};
                ++stringCount_;
                break;
            }
            if (slot.hash == hash && slot.size == s.size() &&
                plat::bplist::sameBytes(slot.data, s.data(), s.size()))
                return slot.node - 1;
        }
        Text form = Text::ASCII;
        if (isASCII(s)) {
            objectBytes_ += markerSize(s.size()) + s.size();
        } else if (!text::isValidUTF8(s)) {
            fail();
        } else {
            form = Text::UTF16;
            const std::size_t units = text::utf16Length(s);
            objectBytes_ += markerSize(units) + 2 * units;
        }
        nodes_.push_back({value, key, 0, 0, form});
        return nodes_.size() - 1;
    }

    // The last 1 to 7 bytes as one word: two overlapping four-byte loads, or
    // the first, middle and last byte (the length is hashed separately).
    static uint64_t tailWord(const char* p, std::size_t n) {
        if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + n - 4, 4);
            return uint64_t{a} << 32 | b;
        }
        return uint64_t{static_cast<uint8_t>(p[0])} << 16 | uint64_t{static_cast<uint8_t>(p[n / 2])} << 8 |
               static_cast<uint8_t>(p[n - 1]);
    }

    // A multiply-and-fold hash over eight bytes at a time (the texts are
    // mostly short keys); only the table's probing depends on it.
    static std::size_t textHash(const char* p, std::size_t n) {
        constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;
        uint64_t h = (n + 1) * kMul;
        for (; n >= 8; p += 8, n -= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            h = (h ^ w) * kMul;
            h ^= h >> 29;
        }
        if (n > 0) {
            h = (h ^ tailWord(p, n)) * kMul;
        }
        h ^= h >> 32;
        return static_cast<std::size_t>(h ^ (h >> 15));
    }

    void growStrings() {
        std::vector<StringSlot> old(std::max<std::size_t>(128, stringSlots_.size() * 2));
        old.swap(stringSlots_);
        const std::size_t mask = stringSlots_.size() - 1;
        for (const StringSlot& slot : old) {
            if (slot.node == 0)
                continue;
            std::size_t i = slot.hash & mask;
            while (stringSlots_[i].node != 0)
                i = (i + 1) & mask;
            stringSlots_[i] = slot;
        }
    }

    // A scalar's node and what it takes.
    uint64_t addScalar(const Value& v, std::size_t bytes) {
        objectBytes_ += bytes;
        nodes_.push_back({&v, nullptr, 0, 0, Text::None});
        return nodes_.size() - 1;
    }

    // Refuses what invalidReason refuses: nesting beyond kMaxDepth, text
    // that is not UTF-8 and values of other kinds. After a failure the walk
    // only unwinds.
    uint64_t add(const Value& v, std::size_t depth) {
        if (depth > PropertyListSerialization::kMaxDepth)
            return fail();
        switch (v.kind()) {
            case Value::Kind::Bool:
                return addScalar(v, 1);
            case Value::Kind::Int: {
                const int64_t i = v.rawInt();
                return addScalar(v, integerSize(static_cast<uint64_t>(i), i < 0));
            }
            case Value::Kind::UInt:
                return addScalar(v, integerSize(v.rawUInt(), false));
            case Value::Kind::Double:
            case Value::Kind::Date:
                return addScalar(v, 9);
            case Value::Kind::Data: {
                const std::size_t length = v.asData()->length();
                return addScalar(v, markerSize(length) + length);
            }
            case Value::Kind::String:
                return addString(*v.asString(), &v, nullptr);
            case Value::Kind::Array: {
                const Array& a = *v.asArray();
                const uint64_t index = addContainer(v, a.size());
                const std::size_t begin = nodes_[index].refsBegin;
                for (std::size_t i = 0; i < a.size() && !failed_; ++i) {
                    const uint64_t r = addChild(a[i], depth + 1);
                    refs_[begin + i] = r;
                }
                return index;
            }
            case Value::Kind::Dictionary: {
                const Dictionary& d = *v.asDictionary();
                const std::size_t n = d.size();
                const uint64_t index = addContainer(v, n);
                const std::size_t begin = nodes_[index].refsBegin;
                std::size_t i = 0;
                for (const auto& entry : d) {
                    const uint64_t r = addString(entry.first, nullptr, &entry.first);
                    refs_[begin + i++] = r;
                }
                for (const auto& entry : d) {
                    if (failed_)
                        break;
                    const uint64_t r = addChild(entry.second, depth + 1);
                    refs_[begin + i++] = r;
                }
                return index;
            }
            case Value::Kind::Object:
                if (const PropertyListUID* uid = asUID(v))
                    return addScalar(v, 1 + bytesFor(uid->value()));
                return fail();
            default:
                return fail();
        }
    }

    // A container's child: strings (the commonest) go straight to the
    // string table, anything else through add.
    uint64_t addChild(const Value& v, std::size_t depth) {
        if (v.kind() == Value::Kind::String && depth <= PropertyListSerialization::kMaxDepth)
            return addString(*v.asString(), &v, nullptr);
        return add(v, depth);
    }

    // A container's node, its marker counted and its references' room taken
    // (their size follows from the number of objects, known at the end).
    uint64_t addContainer(const Value& v, std::size_t count) {
        const std::size_t refs = v.isArray() ? count : 2 * count;
        const std::size_t begin = refsSize_;
        if (begin + refs > refsCapacity_)
            growRefs(begin + refs);
        refsSize_ = begin + refs;
        objectBytes_ += markerSize(count);
        nodes_.push_back({&v, nullptr, begin, refs, Text::None});
        return nodes_.size() - 1;
    }

    void growRefs(std::size_t needed) {
        const std::size_t capacity = std::max(needed, 2 * refsCapacity_);
        std::unique_ptr<uint64_t[]> grown(new uint64_t[capacity]);
        std::copy(refs_.get(), refs_.get() + refsSize_, grown.get());
        refs_ = std::move(grown);
        refsCapacity_ = capacity;
    }

    static uint8_t* putDouble(uint8_t* p, uint8_t marker, double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        *p++ = marker;
        return putBigEndian(p, bits, 8);
    }

    static uint8_t* putText(uint8_t* p, std::string_view s, Text form) {
        if (form == Text::ASCII) {
            p = putMarker(p, 0x5, s.size());
            if (!s.empty())
                std::memcpy(p, s.data(), s.size());
            return p + s.size();
        }
        const std::u16string units = text::toUTF16(s);
        p = putMarker(p, 0x6, units.size());
        for (char16_t u : units)
            p = putBigEndian(p, u, 2);
        return p;
    }

    uint8_t* encode(uint8_t* p, const Node& node, std::size_t refSize) const {
        if (node.key)
            return putText(p, *node.key, node.text);
        const Value& v = *node.value;
        switch (v.kind()) {
            case Value::Kind::Bool:
                *p++ = v.rawBool() ? 0x09 : 0x08;
                return p;
            case Value::Kind::Int: {
                const int64_t i = v.rawInt();
                return putInteger(p, static_cast<uint64_t>(i), i < 0);
            }
            case Value::Kind::UInt:
                return putInteger(p, v.rawUInt(), false);
            case Value::Kind::Double:
                return putDouble(p, 0x23, v.rawDouble());
            case Value::Kind::Date:
                return putDouble(p, 0x33, v.asDate()->timeIntervalSinceReferenceDate());
            case Value::Kind::Data: {
                const std::string_view bytes = v.asData()->view();
                p = putMarker(p, 0x4, bytes.size());
                if (!bytes.empty())
                    std::memcpy(p, bytes.data(), bytes.size());
                return p + bytes.size();
            }
            case Value::Kind::String:
                return putText(p, *v.asString(), node.text);
            case Value::Kind::Array:
            case Value::Kind::Dictionary: {
                const bool array = v.isArray();
                p = putMarker(p, array ? 0xA : 0xD, array ? node.refsCount : node.refsCount / 2);
                const uint64_t* ref = refs_.get() + node.refsBegin;
                if (refSize == 1) {
                    for (std::size_t i = 0; i < node.refsCount; ++i)
                        *p++ = static_cast<uint8_t>(ref[i]);
                    return p;
                }
                for (std::size_t i = 0; i < node.refsCount; ++i)
                    p = putBigEndian(p, ref[i], refSize);
                return p;
            }
            default: {
                const uint64_t uid = asUID(v)->value();
                const std::size_t n = bytesFor(uid);
                *p++ = static_cast<uint8_t>(0x80 | (n - 1));
                return putBigEndian(p, uid, n);
            }
        }
    }

    std::vector<Node> nodes_;
    // The containers' references, each container's run filled in as its
    // children are added (so the room is not cleared first).
    std::unique_ptr<uint64_t[]> refs_;
    std::size_t refsSize_ = 0;
    std::size_t refsCapacity_ = 0;
    std::size_t objectBytes_ = 0;  // the objects' bytes, less their references
    bool failed_ = false;
    // Open-addressed table of the strings written so far (node + 1; 0 is empty).
    // The slot keeps a view of its text (in the tree being written).
    struct StringSlot {
        std::size_t hash = 0;
        uint64_t node = 0;
        const char* data = nullptr;
        std::size_t size = 0;
    };
    std::vector<StringSlot> stringSlots_;
    std::size_t stringCount_ = 0;
};

// --- Binary reader ---------------------------------------------------------------

class BinaryReader {
  public:
    explicit BinaryReader(std::string_view s) : s_(s) {}

    std::optional<Value> read() {
        const char* why = nullptr;
        if (!r_.open(s_, why))
            return fail(why);
        const uint64_t count = r_.objectCount();
        memo_.assign(count, std::nullopt);
        state_.assign(count, 0);
        weight_.assign(count, 0);
        // Every reference costs at least a byte, and writers share only
        // scalars or the odd repeated object, so real lists stay far below
        // this; only sharing that multiplies (arrays holding the same array
        // twice, level after level) reaches it.
        weightLimit_ = std::max<uint64_t>(uint64_t{1} << 16, 16 * uint64_t{s_.size()});
        return object(r_.topObject(), 0);
    }
    const std::string& failure() const { return failure_; }

  private:
    std::nullopt_t fail(std::string reason) {
        if (failure_.empty())
            failure_ = std::move(reason);
        return std::nullopt;
    }

    std::optional<Value> object(uint64_t index, std::size_t depth) {
        if (index >= memo_.size())
            return fail("Object reference out of range");
        if (memo_[index])
            return memo_[index];
        if (state_[index] == 1)
            return fail("Reference cycle");
        if (depth > PropertyListSerialization::kMaxDepth)
            return fail("Property list nested too deeply");
        state_[index] = 1;
        const char* why = nullptr;
        auto offset = r_.offsetOf(index, why);
        if (!offset)
            return fail(why);
        uint64_t weight = 1;
        auto v = decode(*offset, depth, weight);
        if (!v)
            return std::nullopt;
        if (weight > weightLimit_)
            return fail("Shared objects expand beyond the size limit");
        weight_[index] = weight;
        state_[index] = 2;
        memo_[index] = v;
        return v;
    }

    // weight becomes the number of values the object stands for, counting
    // shared children once per reference.
    std::optional<Value> decode(uint64_t at, std::size_t depth, uint64_t& weight) {
        const uint8_t m = r_.markerAt(at);
        const char* why = nullptr;
        switch (m >> 4) {
            case 0x8: {
                auto uid = r_.uid(at);
                if (!uid)
                    return fail("Bad UID");
                return PropertyListUID::make(*uid);
            }
            case 0xA:
            case 0xD: {
                auto c = r_.container(at, why);
                if (!c)
                    return fail(why);
                return (m >> 4) == 0xA ? array(*c, depth, weight) : dictionary(*c, depth, weight);
            }
            default: {
                auto v = r_.scalar(at, why);
                if (!v)
                    return fail(why);
                return v;
            }
        }
    }

    // The child's weight added to total, saturating above the limit.
    void addWeight(uint64_t& total, uint64_t child) const {
        total = std::min(total + child, weightLimit_ + 1);
    }

    std::optional<Value> array(const bplist::Reader::Container& c, std::size_t depth, uint64_t& weight) {
        Array items;
        items.reserve(c.count);
        for (uint64_t i = 0; i < c.count; ++i) {
            uint64_t r = r_.refAt(c, i);
            auto item = object(r, depth + 1);
            if (!item)
                return std::nullopt;
            addWeight(weight, weight_[r]);
            items.push_back(std::move(*item));
        }
        return Value(std::move(items));
    }

    std::optional<Value> dictionary(const bplist::Reader::Container& c, std::size_t depth, uint64_t& weight) {
        Dictionary entries;
        entries.reserve(c.count);
        for (uint64_t i = 0; i < c.count; ++i) {
            auto key = object(r_.refAt(c, i), depth + 1);
            if (!key)
                return std::nullopt;
            if (!key->isString())
                return fail("Dictionary key is not a string");
            uint64_t r = r_.refAt(c, c.count + i);
            auto item = object(r, depth + 1);
            if (!item)
                return std::nullopt;
            addWeight(weight, weight_[r]);
            entries.set(*key->asString(), std::move(*item));
        }
        return Value(std::move(entries));
    }

    std::string_view s_;
    bplist::Reader r_;
    std::vector<std::optional<Value>> memo_;
    std::vector<uint8_t> state_;  // 0 unread, 1 being read, 2 read
    std::vector<uint64_t> weight_;
    uint64_t weightLimit_ = 0;
    std::string failure_;
};

bool looksLikeXML(std::string_view s) {
    if (s.substr(0, 3) == "\xEF\xBB\xBF")
        s.remove_prefix(3);
    while (!s.empty() && (s[0] == ' ' || s[0] == '\t' || s[0] == '\n' || s[0] == '\r'))
        s.remove_prefix(1);
    return !s.empty() && s[0] == '<';
}

}  // namespace

bool PropertyListSerialization::propertyList(const Value& plist, Format format) {
    if (format == Format::OpenStep)
        return false;
    if (invalidReason(plist, 0))
        return false;
    return format == Format::Binary || XMLWriter().write(plist).has_value();
}

Result<Data> PropertyListSerialization::dataWithPropertyList(const Value& plist, Format format) {
    if (format != Format::XML && format != Format::Binary)
        return writeError("Property list format not supported for writing");
    if (format == Format::Binary) {
        // The writer checks as it walks; only a refused tree is walked again,
        // for the reason.
        if (auto data = BinaryWriter().write(plist))
            return std::move(*data);
        auto reason = invalidReason(plist, 0);
        return writeError(reason ? *reason : "Property list invalid for format");
    }
    if (auto reason = invalidReason(plist, 0))
        return writeError(*reason);
    XMLWriter writer;
    auto text = writer.write(plist);
    if (!text)
        return writeError(writer.failure());
    return Data(text->data(), text->size());
}

Result<Value> PropertyListSerialization::propertyListWithData(const Data& data, Format* format) {
    std::string_view bytes = data.view();
    if (bytes.substr(0, 8) == "bplist00") {
        BinaryReader reader(bytes);
        auto v = reader.read();
        if (!v)
            return readError(reader.failure());
        if (format)
            *format = Format::Binary;
        return std::move(*v);
    }
    if (!looksLikeXML(bytes))
        return readError("Not a property list in a supported format");
    XMLReader reader(bytes);
    auto v = reader.read();
    if (!v)
        return readError(reader.failure());
    if (format)
        *format = Format::XML;
    return std::move(*v);
}

Result<Value> PropertyListSerialization::propertyListWithContentsOfFile(const std::string& path,
                                                                        Format* format) {
    auto data = FileManager::defaultManager().dataWithContentsOfFile(path);
    if (!data)
        return data.error();
    return propertyListWithData(*data, format);
}

ErrorPtr PropertyListSerialization::writePropertyListToFile(const Value& plist, const std::string& path,
                                                            Format format) {
    auto data = dataWithPropertyList(plist, format);
    if (!data)
        return data.error();
    return FileManager::defaultManager().writeData(*data, path, true);
}

}  // namespace plat
