// Descriptions of values and collections, with the platform's texts.
#include "platform/foundation/Value.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/foundation/Text.h"
#include "platform/foundation/detail/ValueInternals.h"

namespace plat {
namespace {

void appendIndent(std::string& out, int level) {
    out.append(static_cast<std::size_t>(level) * 4, ' ');
}

bool isPlainCharacter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '$' || c == ':' || c == '/';
}

void appendEscapedUnit(std::string& out, char16_t unit) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\U%04x", static_cast<unsigned>(unit));
    out += buf;
}

// Old-style property-list quoting, as the platform uses inside collection
// descriptions: plain words stay bare; anything else is quoted, with quotes,
// backslashes and control characters escaped and non-ASCII text written as
// \Uxxxx UTF-16 units.
void appendQuotedIfNeeded(std::string& out, std::string_view s) {
    if (!s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return isPlainCharacter(c); })) {
        out += s;
        return;
    }
    out += '"';
    const bool ascii =
        std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const std::u16string units = ascii ? std::u16string(s.begin(), s.end()) : text::toUTF16(s);
    for (char16_t unit : units) {
        switch (unit) {
            case u'"':
                out += "\\\"";
                break;
            case u'\\':
                out += "\\\\";
                break;
            case u'\n':
                out += "\\n";
                break;
            case u'\t':
                out += "\\t";
                break;
            case u'\r':
                out += "\\r";
                break;
            default:
                if (unit < 0x20 || unit >= 0x7f)
                    appendEscapedUnit(out, unit);
                else
                    out += static_cast<char>(unit);
        }
    }
    out += '"';
}

// Order of keys in a dictionary description: UTF-16 code unit order.
bool keyLess(const std::string* a, const std::string* b) {
    auto isAscii = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    };
    if (isAscii(*a) || isAscii(*b))
        return *a < *b;
    return text::toUTF16(*a) < text::toUTF16(*b);
}

void describeAt(const Value& v, int level, std::string& out);

// A member of a collection: containers print themselves at the next level,
// everything else as its (quoted) description.
void describeMember(const Value& v, int level, std::string& out) {
    switch (v.kind()) {
        case Value::Kind::Array:
        case Value::Kind::Dictionary:
        case Value::Kind::Set:
            describeAt(v, level, out);
            break;
        case Value::Kind::Data:
            out += v.asData()->description();
            break;
        case Value::Kind::String:
            appendQuotedIfNeeded(out, *v.asString());
            break;
        default:
            appendQuotedIfNeeded(out, v.description());
    }
}

void describeElements(const Array& elements, int level, std::string& out) {
    for (std::size_t i = 0; i < elements.size(); ++i) {
        appendIndent(out, level + 1);
        describeMember(elements[i], level + 1, out);
        out += i + 1 < elements.size() ? ",\n" : "\n";
    }
}

void describeDictionary(const Dictionary& d, int level, std::string& out) {
    std::vector<const Dictionary::Entry*> entries;
    entries.reserve(d.size());
    for (const auto& entry : d)
        entries.push_back(&entry);
    std::stable_sort(
        entries.begin(), entries.end(),
        [](const Dictionary::Entry* a, const Dictionary::Entry* b) { return keyLess(&a->first, &b->first); });
    for (const Dictionary::Entry* entry : entries) {
        appendIndent(out, level + 1);
        appendQuotedIfNeeded(out, entry->first);
        out += " = ";
        describeMember(entry->second, level + 1, out);
        out += ";\n";
    }
}

// Containers describe themselves at an indent level and, as on the platform,
// start with that level's indentation even when they follow "key = ".
void describeAt(const Value& v, int level, std::string& out) {
    appendIndent(out, level);
    if (const Array* a = v.asArray()) {
        out += "(\n";
        describeElements(*a, level, out);
        appendIndent(out, level);
        out += ")";
    } else if (const Dictionary* d = v.asDictionary()) {
        out += "{\n";
        describeDictionary(*d, level, out);
        appendIndent(out, level);
        out += "}";
    } else if (const Set* s = v.asSet()) {
        out += "{(\n";
        describeElements(s->values(), level, out);
        appendIndent(out, level);
        out += ")}";
    }
}

}  // namespace

void detail::describeCollection(const Value& v, std::string& out) {
    describeAt(v, 0, out);
}

std::string Value::description() const {
    switch (kind_) {
        case Kind::Null:
            return "<null>";
        case Kind::Date:
            return plat::Date(u_.d).description();
        case Kind::Data:
            return asData()->description();
        case Kind::Object:
            return asObject()->description();
        case Kind::Array:
        case Kind::Dictionary:
        case Kind::Set: {
            std::string out;
            detail::describeCollection(*this, out);
            return out;
        }
        default:
            return stringValue();
    }
}

}  // namespace plat
