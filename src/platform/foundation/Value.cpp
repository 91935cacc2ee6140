#include "platform/foundation/Value.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>

#include "platform/foundation/Text.h"

namespace plat {

// --- PositionIndex ---------------------------------------------------------------

namespace detail {

void PositionIndex::erase(std::size_t hash, std::size_t position, std::size_t count) {
    const uint32_t tag = static_cast<uint32_t>(hash);
    const uint32_t stored = static_cast<uint32_t>(position + 1);
    if (Slot* slot = table_.findIf(tag, [&](const Slot& s) { return s.position == stored; }))
        table_.erase(slot);
    if (position + 1 == count)
        return;
    table_.forEachMutable([&](Slot& s) {
        if (s.position > stored)
            --s.position;
    });
}

}  // namespace detail

namespace {

// Finalizer of MurmurHash3: spreads every input bit over the whole word, so
// that the low bits the position index keeps are well mixed.
std::size_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return static_cast<std::size_t>(h);
}

std::size_t keyHash(std::string_view key) {
    return mix(std::hash<std::string_view>()(key));
}

// Key equality that settles most unequal pairs without calling memcmp.
bool sameKey(const std::string& a, const std::string& b) {
    return a.size() == b.size() && (a.empty() || (a.front() == b.front() && a.back() == b.back())) &&
           std::memcmp(a.data(), b.data(), a.size()) == 0;
}

constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;
constexpr std::size_t kNaNHash = 0x7ff8000000000000ULL;

int sign(int v) {
    return (v > 0) - (v < 0);
}

// Truncation toward zero, saturating at the type's range; NaN gives 0.
int64_t saturatingInt64(double d) {
    if (std::isnan(d))
        return 0;
    if (d >= kTwo63)
        return INT64_MAX;
    if (d <= -kTwo63)
        return INT64_MIN;
    return static_cast<int64_t>(d);
}

uint64_t saturatingUInt64(double d) {
    if (std::isnan(d) || d <= 0)
        return 0;
    if (d >= kTwo64)
        return UINT64_MAX;
    return static_cast<uint64_t>(d);
}

int32_t saturatingInt32(double d) {
    if (std::isnan(d))
        return 0;
    if (d >= 2147483648.0)
        return INT32_MAX;
    if (d <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(d);
}

// An unsigned reading of text: the platform's signed reader, widened to the
// unsigned range for non-negative values it had to saturate.
uint64_t unsignedValueOfText(std::string_view s) {
    const int64_t signedValue = text::longLongValue(s);
    if (signedValue != INT64_MAX)
        return static_cast<uint64_t>(signedValue);
    std::size_t i = s.find_first_of("0123456789");
    uint64_t value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(s[i] - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

// --- Numeric comparison ------------------------------------------------------------

int compareDoubles(double a, double b) {
    // NaN sorts below every number and equals NaN.
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) == std::isnan(b) ? 0 : (std::isnan(a) ? -1 : 1);
    return a < b ? -1 : (a > b ? 1 : 0);
}

// Exact comparison of an integer with a double: the double's integral part is
// compared as an integer, then its fraction decides.
int compareInt64Double(int64_t i, double d) {
    if (std::isnan(d))
        return 1;
    if (d >= kTwo63)
        return -1;
    if (d < -kTwo63)
        return 1;
    const double t = std::trunc(d);
    const int64_t ti = static_cast<int64_t>(t);
    if (i != ti)
        return i < ti ? -1 : 1;
    return d > t ? -1 : (d < t ? 1 : 0);
}

int compareUInt64Double(uint64_t u, double d) {
    if (std::isnan(d))
        return 1;
    if (d < 0)
        return 1;
    if (d >= kTwo64)
        return -1;
    const double t = std::trunc(d);
    const uint64_t tu = static_cast<uint64_t>(t);
    if (u != tu)
        return u < tu ? -1 : 1;
    return d > t ? -1 : 0;
}

int compareInt64UInt64(int64_t i, uint64_t u) {
    if (i < 0)
        return -1;
    const uint64_t v = static_cast<uint64_t>(i);
    return v < u ? -1 : (v > u ? 1 : 0);
}

// A number of any kind, booleans read as 0 and 1. Kinds are ordered so that a
// pair needs handling only with the lower kind first.
struct Number {
    enum Kind { Signed, Unsigned, Floating, Exact } kind;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    const Decimal* decimal = nullptr;
};

Number numberOf(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Bool:
            return {Number::Signed, v.rawBool() ? 1 : 0};
        case Value::Kind::Int:
            return {Number::Signed, v.rawInt()};
        case Value::Kind::UInt:
            return {Number::Unsigned, 0, v.rawUInt()};
        case Value::Kind::Double:
            return {Number::Floating, 0, 0, v.rawDouble()};
        default:
            return {Number::Exact, 0, 0, 0, v.asDecimal()};
    }
}

int compareOrdered(const Number& a, const Number& b) {
    switch (a.kind) {
        case Number::Signed:
            switch (b.kind) {
                case Number::Signed:
                    return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
                case Number::Unsigned:
                    return compareInt64UInt64(a.i, b.u);
                case Number::Floating:
                    return compareInt64Double(a.i, b.d);
                case Number::Exact:
                    return Decimal::fromInt64(a.i).compare(*b.decimal);
            }
            break;
        case Number::Unsigned:
            switch (b.kind) {
                case Number::Unsigned:
                    return a.u < b.u ? -1 : (a.u > b.u ? 1 : 0);
                case Number::Floating:
                    return compareUInt64Double(a.u, b.d);
                case Number::Exact:
                    return Decimal::fromUInt64(a.u).compare(*b.decimal);
                default:
                    break;
            }
            break;
        case Number::Floating:
            if (b.kind == Number::Floating)
                return compareDoubles(a.d, b.d);
            return -b.decimal->compareToDouble(a.d);
        case Number::Exact:
            return a.decimal->compare(*b.decimal);
    }
    return 0;
}

int compareNumbers(const Value& a, const Value& b) {
    const Number x = numberOf(a);
    const Number y = numberOf(b);
    return x.kind <= y.kind ? compareOrdered(x, y) : -compareOrdered(y, x);
}

// --- Hashing ----------------------------------------------------------------------
// Equal numbers of different kinds must hash alike: every integral value that an
// integer kind can hold hashes as that integer, other doubles by their bits.

std::size_t hashInteger(uint64_t twosComplement) {
    return mix(twosComplement);
}

std::size_t hashDouble(double d) {
    if (std::isnan(d))
        return kNaNHash;
    if (d == std::trunc(d)) {
        if (d >= -kTwo63 && d < kTwo63)
            return hashInteger(static_cast<uint64_t>(static_cast<int64_t>(d)));
        if (d >= 0 && d < kTwo64)
            return hashInteger(static_cast<uint64_t>(d));
    }
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    return mix(bits);
}

std::size_t hashDecimal(const Decimal& dec) {
    if (dec.isNaN())
        return kNaNHash;
    const double nearest = dec.toDouble();
    if (dec.compareToDouble(nearest) == 0)
        return hashDouble(nearest);
    if (dec.isInteger()) {
        if (!dec.isNegative() && dec.compare(Decimal::fromUInt64(UINT64_MAX)) <= 0)
            return hashInteger(dec.toUInt64());
        if (dec.isNegative() && dec.compare(Decimal::fromInt64(INT64_MIN)) >= 0)
            return hashInteger(static_cast<uint64_t>(dec.toInt64()));
    }
    return dec.hash();
}

std::size_t combineOrdered(std::size_t seed, std::size_t h) {
    return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

// --- Descriptions -------------------------------------------------------------------

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

namespace detail {

template <class T, class... Args>
Payload* box(Args&&... args) {
    return new Box<T>(std::forward<Args>(args)...);
}

}  // namespace detail

// --- Dictionary ----------------------------------------------------------------

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    for (const Entry& entry : entries)
        set(entry.first, entry.second);
}
Dictionary::Dictionary(const Dictionary& other) = default;
Dictionary::Dictionary(Dictionary&& other) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary& other) = default;
Dictionary& Dictionary::operator=(Dictionary&& other) noexcept = default;
Dictionary::~Dictionary() = default;

std::optional<std::size_t> Dictionary::positionOf(std::string_view key) const {
    if (index_.active())
        return index_.find(keyHash(key), [&](std::size_t p) { return entries_[p].first == key; });
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].first == key)
            return i;
    }
    return std::nullopt;
}

const Value* Dictionary::find(std::string_view key) const {
    const auto p = positionOf(key);
    return p ? &entries_[*p].second : nullptr;
}

Value* Dictionary::find(std::string_view key) {
    const auto p = positionOf(key);
    return p ? &entries_[*p].second : nullptr;
}

void Dictionary::set(std::string key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
        return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (index_.active())
        index_.insert(entries_.size() - 1, [this](std::size_t i) { return keyHash(entries_[i].first); });
    else if (entries_.size() > detail::PositionIndex::kThreshold)
        rebuildIndex();
}

void Dictionary::reserve(std::size_t count) {
    entries_.reserve(count);
    if (count > detail::PositionIndex::kThreshold && count > entries_.size())
        index_.rebuild(
            entries_.size(), [this](std::size_t i) { return keyHash(entries_[i].first); }, count);
}

Dictionary Dictionary::fromEntries(std::vector<Entry> entries) {
    Dictionary d;
    d.entries_ = std::move(entries);
    d.mergeRepeatedKeys();
    return d;
}

// Folds every repeated key into its first occurrence, keeping the last value,
// and leaves the index built for the remaining entries.
void Dictionary::mergeRepeatedKeys() {
    if (entries_.size() <= detail::PositionIndex::kThreshold)
        mergeRepeatedKeysByScan();
    else
        mergeRepeatedKeysByIndex();
    if (entries_.size() <= detail::PositionIndex::kThreshold)
        index_.clear();
}

void Dictionary::mergeRepeatedKeysByScan() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& entry = entries_[i];
        auto first = std::find_if(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(kept),
                                  [&](const Entry& e) { return sameKey(e.first, entry.first); });
        if (first != entries_.begin() + static_cast<std::ptrdiff_t>(kept))
            first->second = std::move(entry.second);
        else if (kept++ != i)
            entries_[kept - 1] = std::move(entry);
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
}

// Entries move down over the repeated ones as they go, so the index always
// holds the final positions of the entries kept so far.
void Dictionary::mergeRepeatedKeysByIndex() {
    index_.prepare(entries_.size());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& entry = entries_[i];
        const std::size_t hash = keyHash(entry.first);
        const auto first = index_.find(hash, [&](std::size_t p) { return entries_[p].first == entry.first; });
        if (first) {
            entries_[*first].second = std::move(entry.second);
            continue;
        }
        if (kept != i)
            entries_[kept] = std::move(entry);
        index_.add(hash, kept++);
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
}

bool Dictionary::erase(std::string_view key) {
    const auto p = positionOf(key);
    if (!p)
        return false;
    if (index_.active())
        index_.erase(keyHash(key), *p, entries_.size());
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(*p));
    if (entries_.size() <= detail::PositionIndex::kThreshold)
        index_.clear();
    return true;
}

void Dictionary::clear() {
    entries_.clear();
    index_.clear();
}

void Dictionary::rebuildIndex() {
    if (entries_.size() <= detail::PositionIndex::kThreshold)
        index_.clear();
    else
        index_.rebuild(entries_.size(), [this](std::size_t i) { return keyHash(entries_[i].first); });
}

std::vector<std::string> Dictionary::keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const Entry& entry : entries_)
        out.push_back(entry.first);
    return out;
}

bool Dictionary::operator==(const Dictionary& other) const {
    if (size() != other.size())
        return false;
    for (const Entry& entry : entries_) {
        const Value* theirs = other.find(entry.first);
        if (theirs == nullptr || !(*theirs == entry.second))
            return false;
    }
    return true;
}

// --- Set --------------------------------------------------------------------------

Set::Set(std::initializer_list<Value> values) {
    for (const Value& v : values)
        insert(v);
}

Array::const_iterator Set::begin() const {
    return values_.begin();
}
Array::const_iterator Set::end() const {
    return values_.end();
}

std::optional<std::size_t> Set::positionOf(const Value& v) const {
    if (index_.active())
        return index_.find(v.hash(), [&](std::size_t p) { return values_[p] == v; });
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (values_[i] == v)
            return i;
    }
    return std::nullopt;
}

bool Set::contains(const Value& v) const {
    return positionOf(v).has_value();
}

bool Set::insert(Value v) {
    if (positionOf(v))
        return false;
    values_.push_back(std::move(v));
    if (index_.active())
        index_.insert(values_.size() - 1, [this](std::size_t i) { return values_[i].hash(); });
    else if (values_.size() > detail::PositionIndex::kThreshold)
        rebuildIndex();
    return true;
}

bool Set::erase(const Value& v) {
    const auto p = positionOf(v);
    if (!p)
        return false;
    if (index_.active())
        index_.erase(v.hash(), *p, values_.size());
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(*p));
    if (values_.size() <= detail::PositionIndex::kThreshold)
        index_.clear();
    return true;
}

void Set::rebuildIndex() {
    if (values_.size() <= detail::PositionIndex::kThreshold)
        index_.clear();
    else
        index_.rebuild(values_.size(), [this](std::size_t i) { return values_[i].hash(); });
}

bool Set::operator==(const Set& other) const {
    if (size() != other.size())
        return false;
    return std::all_of(values_.begin(), values_.end(), [&](const Value& v) { return other.contains(v); });
}

// --- Value: construction and views ------------------------------------------------

Value::Value(const char* s) : Value() {
    if (s != nullptr) {
        kind_ = Kind::String;
        u_.p = detail::box<std::string>(s);
    }
}
Value::Value(std::string s) : kind_(Kind::String) {
    u_.p = detail::box<std::string>(std::move(s));
}
Value::Value(std::string_view s) : kind_(Kind::String) {
    u_.p = detail::box<std::string>(s);
}
Value::Value(plat::Decimal d) : kind_(Kind::Decimal), ntype_(NumberType::Decimal) {
    u_.p = detail::box<plat::Decimal>(std::move(d));
}
Value::Value(plat::Data d) : kind_(Kind::Data) {
    u_.p = detail::box<plat::Data>(std::move(d));
}
Value::Value(plat::Array a) : kind_(Kind::Array) {
    u_.p = detail::box<plat::Array>(std::move(a));
}
Value::Value(plat::Dictionary d) : kind_(Kind::Dictionary) {
    u_.p = detail::box<plat::Dictionary>(std::move(d));
}
Value::Value(plat::Set s) : kind_(Kind::Set) {
    u_.p = detail::box<plat::Set>(std::move(s));
}
Value::Value(ObjectPtr o) : Value() {
    if (o != nullptr) {
        kind_ = Kind::Object;
        u_.p = detail::box<ObjectPtr>(std::move(o));
    }
}

void Value::replaceDictionary(plat::Dictionary d) {
    static_cast<detail::Box<plat::Dictionary>*>(u_.p)->value = std::move(d);
}

void Value::destroyPayload() noexcept {
    switch (kind_) {
        case Kind::Decimal:
            delete static_cast<detail::Box<plat::Decimal>*>(u_.p);
            break;
        case Kind::String:
            delete static_cast<detail::Box<std::string>*>(u_.p);
            break;
        case Kind::Data:
            delete static_cast<detail::Box<plat::Data>*>(u_.p);
            break;
        case Kind::Array:
            delete static_cast<detail::Box<plat::Array>*>(u_.p);
            break;
        case Kind::Dictionary: {
            // A small dictionary is freed before its entries, in the order
            // dictionaryFilledBy() allocates them: the allocator then frees a
            // large tree markedly faster.
            auto* box = static_cast<detail::Box<plat::Dictionary>*>(u_.p);
            plat::Dictionary entries;
            if (box->value.size() <= kAdjacentEntries)
                entries = std::move(box->value);
            delete box;
            break;
        }
        case Kind::Set:
            delete static_cast<detail::Box<plat::Set>*>(u_.p);
            break;
        case Kind::Object:
            delete static_cast<detail::Box<ObjectPtr>*>(u_.p);
            break;
        default:
            break;
    }
}

const char* Value::kindName() const {
    static constexpr const char* kNames[] = {"null",       "bool",   "int",   "uint", "double",
                                             "decimal",    "string", "data",  "date", "array",
                                             "dictionary", "set",    "object"};
    return kNames[static_cast<std::size_t>(kind_)];
}

std::optional<plat::Date> Value::asDate() const {
    return kind_ == Kind::Date ? std::optional<plat::Date>(plat::Date(u_.d)) : std::nullopt;
}
ObjectPtr Value::asObject() const {
    return kind_ == Kind::Object ? payload<ObjectPtr>() : nullptr;
}

const Value* Value::find(std::string_view key) const {
    const plat::Dictionary* d = asDictionary();
    return d != nullptr ? d->find(key) : nullptr;
}

std::size_t Value::count() const {
    switch (kind_) {
        case Kind::Array:
            return asArray()->size();
        case Kind::Dictionary:
            return asDictionary()->size();
        case Kind::Set:
            return asSet()->size();
        default:
            return 0;
    }
}

// --- Value: number readers -----------------------------------------------------------

bool Value::boolValue() const {
    switch (kind_) {
        case Kind::Bool:
            return u_.b;
        case Kind::Int:
            return u_.i != 0;
        case Kind::UInt:
            return u_.u != 0;
        case Kind::Double:
            return u_.d != 0;
        case Kind::Decimal:
            return !asDecimal()->isZero();
        case Kind::String:
            return text::boolValue(*asString());
        default:
            return false;
    }
}

int32_t Value::intValue() const {
    switch (kind_) {
        case Kind::Bool:
            return u_.b ? 1 : 0;
        case Kind::Int:
            return static_cast<int32_t>(u_.i);
        case Kind::UInt:
            return static_cast<int32_t>(u_.u);
        case Kind::Double:
            return saturatingInt32(u_.d);
        case Kind::Decimal:
            return static_cast<int32_t>(std::clamp<int64_t>(asDecimal()->toInt64(), INT32_MIN, INT32_MAX));
        case Kind::String:
            return text::intValue(*asString());
        default:
            return 0;
    }
}

int64_t Value::longLongValue() const {
    switch (kind_) {
        case Kind::Bool:
            return u_.b ? 1 : 0;
        case Kind::Int:
            return u_.i;
        case Kind::UInt:
            return static_cast<int64_t>(u_.u);
        case Kind::Double:
            return saturatingInt64(u_.d);
        case Kind::Decimal:
            return asDecimal()->toInt64();
        case Kind::String:
            return text::longLongValue(*asString());
        default:
            return 0;
    }
}

int64_t Value::integerValue() const {
    return isString() ? text::integerValue(*asString()) : longLongValue();
}

uint64_t Value::unsignedLongLongValue() const {
    switch (kind_) {
        case Kind::Bool:
            return u_.b ? 1 : 0;
        case Kind::Int:
            return static_cast<uint64_t>(u_.i);
        case Kind::UInt:
            return u_.u;
        case Kind::Double:
            return saturatingUInt64(u_.d);
        case Kind::Decimal:
            return asDecimal()->toUInt64();
        case Kind::String:
            return unsignedValueOfText(*asString());
        default:
            return 0;
    }
}

double Value::doubleValue() const {
    switch (kind_) {
        case Kind::Bool:
            return u_.b ? 1 : 0;
        case Kind::Int:
            return static_cast<double>(u_.i);
        case Kind::UInt:
            return static_cast<double>(u_.u);
        case Kind::Double:
            return u_.d;
        case Kind::Decimal:
            return asDecimal()->toDouble();
        case Kind::String:
            return text::doubleValue(*asString());
        default:
            return 0;
    }
}

float Value::floatValue() const {
    if (isString())
        return text::floatValue(*asString());
    const double d = doubleValue();
    // Out-of-range conversions are undefined in C++; the platform gives infinity.
    if (std::fabs(d) > FLT_MAX)
        return static_cast<float>(std::copysign(HUGE_VAL, d));
    return static_cast<float>(d);
}

std::string Value::stringValue() const {
    switch (kind_) {
        case Kind::Bool:
            return u_.b ? "1" : "0";
        case Kind::Int:
            return std::to_string(u_.i);
        case Kind::UInt:
            return std::to_string(u_.u);
        case Kind::Double: {
            char buf[40];
            std::snprintf(buf, sizeof buf, ntype_ == NumberType::Float ? "%.7g" : "%.16g", u_.d);
            return buf;
        }
        case Kind::Decimal:
            return asDecimal()->toString();
        case Kind::String:
            return *asString();
        default:
            return description();
    }
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
            describeAt(*this, 0, out);
            return out;
        }
        default:
            return stringValue();
    }
}

// --- Value: equality, order, hash -------------------------------------------------------

bool Value::operator==(const Value& other) const {
    if (isNumber() && other.isNumber())
        return compareNumbers(*this, other) == 0;
    if (kind_ != other.kind_)
        return false;
    if (hasPayload() && u_.p == other.u_.p)
        return true;
    switch (kind_) {
        case Kind::Null:
            return true;
        case Kind::String:
            return *asString() == *other.asString();
        case Kind::Data:
            return *asData() == *other.asData();
        case Kind::Date:
            return compareDoubles(u_.d, other.u_.d) == 0;
        case Kind::Array:
            return *asArray() == *other.asArray();
        case Kind::Dictionary:
            return *asDictionary() == *other.asDictionary();
        case Kind::Set:
            return *asSet() == *other.asSet();
        case Kind::Object:
            return payload<ObjectPtr>()->isEqual(*other.payload<ObjectPtr>());
        default:
            return false;
    }
}

std::optional<int> Value::compare(const Value& other) const {
    if (isNumber() && other.isNumber())
        return compareNumbers(*this, other);
    if (isString() && other.isString())
        return sign(asString()->compare(*other.asString()));
    if (isDate() && other.isDate())
        return compareDoubles(u_.d, other.u_.d);
    return std::nullopt;
}

std::size_t Value::hash() const {
    switch (kind_) {
        case Kind::Null:
            return 0x6e756c6c;
        case Kind::Bool:
            return hashInteger(u_.b ? 1 : 0);
        case Kind::Int:
            return hashInteger(static_cast<uint64_t>(u_.i));
        case Kind::UInt:
            return hashInteger(u_.u);
        case Kind::Double:
            return hashDouble(u_.d);
        case Kind::Decimal:
            return hashDecimal(*asDecimal());
        case Kind::String:
            return std::hash<std::string>()(*asString());
        case Kind::Data:
            return asData()->hash();
        case Kind::Date:
            return ~hashDouble(u_.d);
        case Kind::Array: {
            std::size_t h = asArray()->size();
            for (const Value& v : *asArray())
                h = combineOrdered(h, v.hash());
            return h;
        }
        case Kind::Dictionary: {
            std::size_t h = asDictionary()->size();  // a sum, so that order does not matter
            for (const auto& [key, v] : *asDictionary())
                h += mix(keyHash(key) ^ v.hash());
            return h;
        }
        case Kind::Set: {
            std::size_t h = asSet()->size() ^ 0x5e75;
            for (const Value& v : *asSet())
                h += mix(v.hash());
            return h;
        }
        case Kind::Object:
            return payload<ObjectPtr>()->hash();
    }
    return 0;
}

}  // namespace plat
