#include "platform/foundation/Value.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "platform/foundation/SmallBlockCache.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/detail/ValueInternals.h"

namespace plat {
namespace {

using detail::kTwo63;
using detail::kTwo64;

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

}  // namespace

namespace detail {

// Payloads are made in blocks of the thread's small-block cache: a round of
// work makes and drops them by the hundred, mostly of two or three sizes.
template <class T, class... Args>
Payload* box(Args&&... args) {
    void* memory = SmallBlockCache::allocate(sizeof(Box<T>));
    try {
        return new (memory) Box<T>(std::forward<Args>(args)...);
    } catch (...) {
        SmallBlockCache::deallocate(memory, sizeof(Box<T>));
        throw;
    }
}

template <class T>
void unbox(Payload* payload) noexcept {
    auto* box = static_cast<Box<T>*>(payload);
    box->~Box<T>();
    SmallBlockCache::deallocate(box, sizeof(Box<T>));
}

}  // namespace detail

// --- Array ---------------------------------------------------------------------------

Array::Array(const std::vector<Value>& values) : Base(values.begin(), values.end()) {}
Array::Array(std::vector<Value>&& values)
    : Base(std::make_move_iterator(values.begin()), std::make_move_iterator(values.end())) {}
Array::operator std::vector<Value>() const {
    return std::vector<Value>(begin(), end());
}

// --- Value: construction and views ------------------------------------------------

Value Value::stringIn(detail::Arena& arena, std::string_view s) {
    Value v = filledInArena<std::string>(arena, [&]() { return std::string(s); });
    if (!detail::keepsBytesInline(v.payload<std::string>()))
        arena.noteOwnedMemory();
    return v;
}

void Value::noteOwnedMemory(detail::Arena& arena, const plat::Dictionary& d) noexcept {
    for (const auto& [key, member] : d.entries_)
        if (!detail::keepsBytesInline(key) ||
            (member.hasPayload() && (!member.inArena_ || !arena.holds(member.u_.p))))
            arena.noteOwnedMemory();
    if (d.index_)
        arena.noteOwnedMemory();
}

void Value::noteOwnedMemory(detail::Arena& arena, const plat::Array& elements) noexcept {
    for (const Value& member : elements)
        if (member.hasPayload() && (!member.inArena_ || !arena.holds(member.u_.p)))
            arena.noteOwnedMemory();
}

void Value::finishDocument(detail::Arena& arena, const Value& root) noexcept {
    if (!root.inArena_) {
        arena.finish(nullptr, 0);
        return;
    }
    // A root dictionary's index is freed by the root itself.
    const bool rootIndex = root.kind_ == Kind::Dictionary && root.payload<plat::Dictionary>().index_;
    arena.finish(root.u_.p, rootIndex ? 1 : 0);
}

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

namespace {

// Gives back the storage of a container built in an arena (empty ones have
// none).
template <class Container>
void releaseStorage(Container& c) noexcept {
    if (c.capacity() == 0)
        return;
    if (c.get_allocator().arena() != nullptr)
        detail::Arena::release(c.data());
    else
        c.get_allocator().deallocate(c.data(), c.capacity());
}

}  // namespace

void Value::destroyArenaPayload() noexcept {
    // Only arrays, dictionaries and strings are built in an arena. The
    // members are dropped here rather than by the containers' destructors,
    // which then need not run: what remains of a container is its storage.
    if (kind_ == Kind::Array) {
        auto& items = static_cast<detail::Box<plat::Array>*>(u_.p)->value;
        for (Value& item : items)
            if (item.hasPayload())
                dropMember(item);
        releaseStorage(items);
    } else if (kind_ == Kind::Dictionary) {
        auto& dictionary = static_cast<detail::Box<plat::Dictionary>*>(u_.p)->value;
        for (auto& entry : dictionary.entries_) {
            entry.first.~basic_string();
            if (entry.second.hasPayload())
                dropMember(entry.second);
        }
        releaseStorage(dictionary.entries_);
        dictionary.index_.reset();
    } else {
        static_cast<detail::Box<std::string>*>(u_.p)->value.~basic_string();
    }
    detail::Arena::release(u_.p);
}

void Value::dropMember(Value& member) noexcept {
    if (member.inArena_ && member.u_.p->references.load(std::memory_order_acquire) == 1)
        member.destroyArenaPayload();
    else
        member.release();
}

void Value::destroyPayload() noexcept {
    if (inArena_) {
        detail::Arena::Document* document = detail::Arena::rootDocument(u_.p);
        if (document != nullptr && detail::Arena::freesWhole(document)) {
            // Nothing inside is held from elsewhere or owns memory: the
            // chunks go without a walk over the tree.
            if (kind_ == Kind::Dictionary)
                static_cast<detail::Box<plat::Dictionary>*>(u_.p)->value.index_.reset();
            detail::Arena::freeWhole(document);
            return;
        }
        {
            // The payloads inside (most of them in the same chunks) are given
            // back in batches.
            detail::Arena::BatchedReleases batch;
            destroyArenaPayload();
        }
        if (document != nullptr)
            detail::Arena::rootReleased(document);
        return;
    }
    switch (kind_) {
        case Kind::Decimal:
            detail::unbox<plat::Decimal>(u_.p);
            break;
        case Kind::String:
            detail::unbox<std::string>(u_.p);
            break;
        case Kind::Data:
            detail::unbox<plat::Data>(u_.p);
            break;
        case Kind::Array:
            detail::unbox<plat::Array>(u_.p);
            break;
        case Kind::Dictionary: {
            // A small dictionary is freed before its entries, in the order
            // dictionaryFilledBy() allocates them: the allocator then frees a
            // large tree markedly faster.
            auto* box = static_cast<detail::Box<plat::Dictionary>*>(u_.p);
            plat::Dictionary entries;
            if (box->value.size() <= kAdjacentEntries)
                entries = std::move(box->value);
            detail::unbox<plat::Dictionary>(box);
            break;
        }
        case Kind::Set:
            detail::unbox<plat::Set>(u_.p);
            break;
        case Kind::Object:
            detail::unbox<ObjectPtr>(u_.p);
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

}  // namespace plat
