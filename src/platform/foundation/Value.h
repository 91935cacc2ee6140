// Value: the dynamic value of the system (the platform's "id" for property
// lists, JSON objects, attribute values and user-info entries).
//
// A Value is one of: null (the platform's null object, distinct from an absent
// std::optional<Value>), bool, signed or unsigned 64-bit integer, double,
// decimal, string (UTF-8), data, date, array, dictionary (string keys, kept in
// insertion order), set, or a reference to any other plat::Object.
//
// Values are immutable and cheap to copy: strings, containers, data and
// decimals are shared, never copied, when a Value is copied (a reference
// count in the shared payload; a Value itself is a kind and one word). Build
// containers as Array / Dictionary / Set first, then wrap them. A moved-from
// Value is null.
//
// Readers of large documents place the payloads of a document in an arena
// (detail::Arena) rather than allocating each on the heap: such payloads
// behave as any other (shared, immutable, releasable from any thread, able to
// outlive the rest of the document); copying the container they hold gives a
// container of its own on the heap.
//
// Booleans are their own kind: isBool() is true only for values built from
// bool, and integer 1 is never reported as a boolean. Equality follows the
// platform's isEqual: numbers (booleans included) compare by numeric value
// across kinds, exactly (no rounding of large integers through double).
//
// Thread safety: a Value may be read from any number of threads at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <compare>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/foundation/Arena.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Decimal.h"
#include "platform/foundation/FlatHashTable.h"
#include "platform/foundation/Object.h"

namespace plat {

class Value;

// The elements of an array Value: a vector whose storage may lie in the arena
// of a parsed document. Converts to and from std::vector<Value>.
class Array : public std::vector<Value, detail::ArenaAllocator<Value>> {
  public:
    using Base = std::vector<Value, detail::ArenaAllocator<Value>>;
    using Base::Base;
    Array() noexcept = default;
    Array(const std::vector<Value>& values);
    Array(std::vector<Value>&& values);
    operator std::vector<Value>() const;
};

// The storage width a number was created with (the platform's objCType). It
// only affects descriptions (float prints with 7 digits) and archiving.
enum class NumberType : uint8_t {
    None,
    Bool,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Float,
    Double,
    Decimal
};

namespace detail {

// Header of the shared payload of a Value (a string, data, decimal, container
// or object reference), counted by the Values that hold it. The payload's
// type follows from the holding Value's kind, so it needs no virtual
// destructor, and the count costs one word rather than a control block.
struct Payload {
    std::atomic<std::size_t> references{1};
};

// Asks a Box for the value a function returns, made in place.
struct MadeBy {};

// Whether a string keeps its bytes inside itself rather than on the heap.
inline bool keepsBytesInline(const std::string& s) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
    const auto* self = reinterpret_cast<const unsigned char*>(&s);
    return bytes >= self && bytes < self + sizeof s;
}

// A payload of type T behind its reference count.
template <class T>
struct Box final : Payload {
    template <class... Args>
    explicit Box(Args&&... args) : value(std::forward<Args>(args)...) {}
    template <class Make>
    Box(MadeBy, Make&& make) : value(std::forward<Make>(make)()) {}
    T value;
};

// Hash index from a hash to a position in a container's vector, over the
// shared FlatHashTable; the container compares the candidates itself. Built
// and updated only by the container's mutating functions, never by lookups.
class PositionIndex {
  public:
    // Containers smaller than this search linearly and keep no table.
    static constexpr std::size_t kThreshold = 8;

    bool active() const { return table_.allocated(); }
    void clear() { table_.release(); }
    // Indexes positions [0, count), with room for `capacity` positions
    // before the table has to grow.
    template <class HashAt>
    void rebuild(std::size_t count, HashAt&& hashAt, std::size_t capacity = 0) {
        prepare(std::max(count, capacity));
        for (std::size_t i = 0; i < count; ++i)
            add(hashAt(i), i);
    }
    // Empties the table and sizes it for `capacity` positions, to be filled
    // with add().
    void prepare(std::size_t capacity) {
        table_.release();
        table_.reserve(capacity);
    }
    // Adds a position (not indexed yet) with its hash.
    void add(std::size_t hash, std::size_t position) {
        // The table places slots by the 32 bits kept in them, so that growing
        // (which rehashes from the slots alone) puts them where lookups go.
        const uint32_t tag = static_cast<uint32_t>(hash);
        table_.insertNew(tag, Slot{static_cast<uint32_t>(position + 1), tag});
    }
    // Adds `position` when [0, position) are indexed already.
    template <class HashAt>
    void insert(std::size_t position, HashAt&& hashAt) {
        add(hashAt(position), position);
    }
    // Removes `position` (whose hash is `hash`) of [0, count) and renumbers
    // the positions after it, as when an element is erased from a vector.
    void erase(std::size_t hash, std::size_t position, std::size_t count);
    // First position with this hash for which matches(position) is true.
    template <class Matches>
    std::optional<std::size_t> find(std::size_t hash, Matches&& matches) const {
        const uint32_t tag = static_cast<uint32_t>(hash);
        const Slot* slot = table_.findIf(
            tag, [&](const Slot& s) { return s.hash == tag && matches(std::size_t{s.position - 1}); });
        return slot ? std::optional<std::size_t>(slot->position - 1) : std::nullopt;
    }

  private:
    struct Slot {
        uint32_t position = 0;  // position + 1; 0 marks an empty slot
        uint32_t hash = 0;      // low hash bits: where the slot goes, and a filter for candidates
    };
    struct Traits {
        static bool used(const Slot& s) { return s.position != 0; }
        static std::size_t hash(const Slot& s) { return s.hash; }
    };

    FlatHashTable<Slot, Traits> table_;
};

}  // namespace detail

// String-keyed map that keeps insertion order; replacing a key keeps its place.
// Lookups are linear for small maps and hashed once a map grows (O(1) on
// average). Erasing is linear in the size of the map. Reading from several
// threads at once is safe; changes need exclusive access.
class Dictionary {
  public:
    using Entry = std::pair<std::string, Value>;
    // The entries in order; their storage may lie in a document's arena.
    using Entries = std::vector<Entry, detail::ArenaAllocator<Entry>>;
    using const_iterator = Entries::const_iterator;

    Dictionary() = default;
    Dictionary(std::initializer_list<Entry> entries);
    Dictionary(const Dictionary& other);
    Dictionary(Dictionary&& other) noexcept;
    Dictionary& operator=(const Dictionary& other);
    Dictionary& operator=(Dictionary&& other) noexcept;
    ~Dictionary();

    // Defined after Value, which must be complete for the vector's members.
    std::size_t size() const;
    bool empty() const;
    const_iterator begin() const;
    const_iterator end() const;
    const Entry& entryAt(std::size_t index) const;

    // nullptr when the key is missing.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Inserts at the end, or replaces in place when the key exists.
    void set(std::string key, Value value);
    // Makes room for `count` entries, so that adding up to that many
    // allocates nothing more.
    void reserve(std::size_t count);
    // The dictionary that set() of each entry in turn would build: with a
    // repeated key the last value wins, at the place of the key's first
    // occurrence. Builds the hash index once rather than entry by entry.
    static Dictionary fromEntries(Entries entries);
    // What a builder knows of its entries' keys: with Distinct (no key
    // repeats, which the builder must be sure of) a small dictionary is
    // taken as it is, without searching for repeated keys.
    enum class KeysAre : uint8_t { Unknown, Distinct };
    static Dictionary fromEntries(Entries entries, KeysAre keys);
    template <class Allocator>
    requires std::is_same_v<Allocator, std::allocator<Entry>>
    static Dictionary fromEntries(std::vector<Entry, Allocator> entries) {
        return fromEntries(
            Entries(std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end())));
    }
    // Removes the key if present; returns whether it was.
    bool erase(std::string_view key);
    void clear();
    std::vector<std::string> keys() const;

    // Same keys with equal values, in any order.
    bool operator==(const Dictionary& other) const;

  private:
    // Tears down dictionaries built in an arena member by member.
    friend class Value;

    std::optional<std::size_t> positionOf(std::string_view key) const;
    void rebuildIndex();
    void mergeRepeatedKeys();
    // Merges unless the keys are known distinct and the map is small.
    void mergeRepeatedKeys(KeysAre keys);
    void mergeRepeatedKeysByScan();
    void mergeRepeatedKeysByIndex();

    // The index, made when first needed.
    detail::PositionIndex& index();

    Entries entries_;
    // Hash index over entries_, kept up to date by every change once the map
    // is large (null while it is small); lookups only read it, so concurrent
    // readers need no lock. Held apart, so that the many small maps of a
    // document stay small.
    std::unique_ptr<detail::PositionIndex> index_;
};

// Unordered collection of distinct values (by Value equality); keeps the order
// of first insertion for iteration so output stays deterministic. Membership
// is hashed once the set grows; erasing is linear.
class Set {
  public:
    Set() = default;
    Set(std::initializer_list<Value> values);
    std::size_t size() const;
    bool empty() const;
    Array::const_iterator begin() const;
    Array::const_iterator end() const;
    const Array& values() const { return values_; }
    bool contains(const Value& v) const;
    // Returns false when an equal value was already present.
    bool insert(Value v);
    // Makes room for `count` members, so that inserting up to that many
    // neither moves the members nor rebuilds the index.
    void reserve(std::size_t count);
    bool erase(const Value& v);
    // Same members, in any order.
    bool operator==(const Set& other) const;

  private:
    std::optional<std::size_t> positionOf(const Value& v) const;
    void rebuildIndex();

    Array values_;
    detail::PositionIndex index_;  // as in Dictionary
};

class Value {
  public:
    enum class Kind : uint8_t {
        Null,
        Bool,
        Int,
        UInt,
        Double,
        Decimal,
        String,
        Data,
        Date,
        Array,
        Dictionary,
        Set,
        Object
    };

    Value() noexcept : kind_(Kind::Null) { u_.i = 0; }
    Value(std::nullptr_t) noexcept : Value() {}
    Value(bool b) noexcept : kind_(Kind::Bool), ntype_(NumberType::Bool) {
        u_.i = 0;
        u_.b = b;
    }
    template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
             !std::is_same_v<T, char8_t> && !std::is_same_v<T, char16_t> && !std::is_same_v<T, char32_t>)
        Value(T v)
    noexcept {
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Int;
            u_.i = static_cast<int64_t>(v);
            ntype_ = sizeof(T) == 1   ? NumberType::Int8
                     : sizeof(T) == 2 ? NumberType::Int16
                     : sizeof(T) == 4 ? NumberType::Int32
                                      : NumberType::Int64;
        } else {
            kind_ = Kind::UInt;
            u_.u = static_cast<uint64_t>(v);
            ntype_ = sizeof(T) == 1   ? NumberType::UInt8
                     : sizeof(T) == 2 ? NumberType::UInt16
                     : sizeof(T) == 4 ? NumberType::UInt32
                                      : NumberType::UInt64;
        }
    }
    Value(double d) noexcept : kind_(Kind::Double), ntype_(NumberType::Double) { u_.d = d; }
    Value(float f) noexcept : kind_(Kind::Double), ntype_(NumberType::Float) { u_.d = f; }
    Value(const char* s);  // nullptr gives null
    Value(std::string s);
    Value(std::string_view s);
    Value(plat::Decimal d);
    Value(plat::Data d);
    Value(plat::Date d) noexcept : kind_(Kind::Date) { u_.d = d.timeIntervalSinceReferenceDate(); }
    Value(plat::Array a);
    Value(plat::Dictionary d);
    Value(plat::Set s);
    Value(ObjectPtr o);  // nullptr gives null
    template <class T>
    requires std::is_base_of_v<Object, T> Value(std::shared_ptr<T> o) : Value(ObjectPtr(std::move(o))) {}

    // Copies share the payload; a moved-from Value is null.
    Value(const Value& other) noexcept
        : kind_(other.kind_), ntype_(other.ntype_), inArena_(other.inArena_), u_(other.u_) {
        if (hasPayload()) {
            u_.p->references.fetch_add(1, std::memory_order_relaxed);
            if (inArena_)
                detail::Arena::noteCopied(u_.p);
        }
    }
    Value(Value&& other) noexcept
        : kind_(other.kind_), ntype_(other.ntype_), inArena_(other.inArena_), u_(other.u_) {
        other.kind_ = Kind::Null;
        other.ntype_ = NumberType::None;
        other.inArena_ = false;
        other.u_.i = 0;
    }
    Value& operator=(const Value& other) noexcept {
        Value copy(other);
        swap(copy);
        return *this;
    }
    Value& operator=(Value&& other) noexcept {
        if (this != &other) {
            if (hasPayload())
                release();
            kind_ = other.kind_;
            ntype_ = other.ntype_;
            inArena_ = other.inArena_;
            u_ = other.u_;
            other.kind_ = Kind::Null;
            other.ntype_ = NumberType::None;
            other.inArena_ = false;
            other.u_.i = 0;
        }
        return *this;
    }
    ~Value() {
        if (hasPayload())
            release();
    }
    void swap(Value& other) noexcept {
        std::swap(kind_, other.kind_);
        std::swap(ntype_, other.ntype_);
        std::swap(inArena_, other.inArena_);
        std::swap(u_, other.u_);
    }

    // A dictionary Value whose entries fill(entries) appends to a vector with
    // room for `capacity`; repeated keys then merge as in
    // Dictionary::fromEntries. A small dictionary is allocated before fill()
    // runs and its entries right after it, so that the two lie side by side
    // in memory and a lookup misses the cache once rather than twice: readers
    // of large documents build their dictionaries this way.
    template <class Fill>
    static Value dictionaryFilledBy(std::size_t capacity, Fill&& fill) {
        Value v;
        if (capacity <= kAdjacentEntries)
            v = Value(plat::Dictionary{});
        Dictionary::Entries entries;
        entries.reserve(capacity);
        std::forward<Fill>(fill)(entries);
        if (v.isNull())
            return Value(Dictionary::fromEntries(std::move(entries)));
        v.replaceDictionary(Dictionary::fromEntries(std::move(entries)));
        return v;
    }

    // Builders of a document in an arena: the payload and the entries or
    // elements lie in the arena (a long string's bytes stay on the heap).
    // fill(entries) / fill(elements) appends to a vector with room for
    // `capacity`, allocated from the arena right after the payload. Repeated
    // keys merge as in Dictionary::fromEntries; a fill that returns
    // Dictionary::KeysAre tells what it knows of them.
    //
    // With Members::MadeHere the fill promises to add only scalars and
    // payloads made in `arena` for the document it builds, and to tell the
    // arena itself of keys that keep their bytes on the heap
    // (detail::keepsBytesInline), which saves a pass over the members.
    enum class Members : uint8_t { Any, MadeHere };
    template <class Fill>
    static Value dictionaryFilledBy(detail::Arena& arena, std::size_t capacity, Fill&& fill,
                                    Members members = Members::Any) {
        // The entries are filled where the dictionary keeps them, in its box.
        return filledInArena<plat::Dictionary>(arena, [&]() {
            plat::Dictionary d;
            d.entries_ = Dictionary::Entries(detail::ArenaAllocator<Dictionary::Entry>(&arena));
            d.entries_.reserve(capacity);
            Dictionary::KeysAre keys = Dictionary::KeysAre::Unknown;
            if constexpr (std::is_same_v<decltype(fill(d.entries_)), Dictionary::KeysAre>)
                keys = std::forward<Fill>(fill)(d.entries_);
            else
                std::forward<Fill>(fill)(d.entries_);
            d.mergeRepeatedKeys(keys);
            if (members == Members::Any)
                noteOwnedMemory(arena, d);
            else if (d.index_)
                arena.noteOwnedMemory();
            return d;
        });
    }
    template <class Fill>
    static Value arrayFilledBy(detail::Arena& arena, std::size_t capacity, Fill&& fill,
                               Members members = Members::Any) {
        return filledInArena<plat::Array>(arena, [&]() {
            auto elements = plat::Array(detail::ArenaAllocator<Value>(&arena));
            elements.reserve(capacity);
            std::forward<Fill>(fill)(elements);
            if (members == Members::Any)
                noteOwnedMemory(arena, elements);
            return elements;
        });
    }
    static Value stringIn(detail::Arena& arena, std::string_view s);
    // Ends the document being built in `arena` with its root: when the
    // root's last holder goes, a document from which no part was copied
    // and whose payloads own no memory of their own is freed chunk by chunk
    // rather than payload by payload.
    static void finishDocument(detail::Arena& arena, const Value& root) noexcept;
    // Sharing and dropping with plain rather than atomic steps on the count,
    // for a builder that shares payloads within a document no other thread
    // can reach yet (handing the document over publishes the counts).
    static Value shareUnpublished(const Value& v) noexcept {
        Value copy;
        copy.kind_ = v.kind_;
        copy.ntype_ = v.ntype_;
        copy.inArena_ = v.inArena_;
        copy.u_ = v.u_;
        if (copy.hasPayload()) {
            auto& references = copy.u_.p->references;
            references.store(references.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
        return copy;
    }
    // A builder's note of a string payload that the document it builds
    // holds (taking no count, so that forgetting it touches nothing), from
    // which the string is read and shared again (with a plain count step)
    // for as long as the document still holds it.
    struct Note {
        detail::Payload* payload = nullptr;
        bool inArena = false;
    };
    Note note() const noexcept { return isString() ? Note{u_.p, inArena_} : Note{}; }
    static const std::string& notedString(Note note) noexcept {
        return static_cast<const detail::Box<std::string>*>(note.payload)->value;
    }
    static Value shareNoted(Note note) noexcept {
        Value copy;
        copy.kind_ = Kind::String;
        copy.inArena_ = note.inArena;
        copy.u_.p = note.payload;
        auto& references = note.payload->references;
        references.store(references.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return copy;
    }
    void dropUnpublished() noexcept {
        if (hasPayload()) {
            auto& references = u_.p->references;
            const std::size_t count = references.load(std::memory_order_relaxed);
            if (count == 1)
                destroyPayload();
            else
                references.store(count - 1, std::memory_order_relaxed);
        }
        kind_ = Kind::Null;
        ntype_ = NumberType::None;
        inArena_ = false;
        u_.i = 0;
    }

    // A value as one word and a one-byte tag (kind and number type), for
    // holders of many values that cannot spare a Value's padding. A value
    // whose payload lies in an arena cannot be packed (packable). pack()
    // takes over v's payload reference (v becomes null); the word and tag
    // hold it until releasePacked. sharePacked makes a Value sharing it. No
    // tag pack() returns has kPackedFreeKind as its low four bits, so a
    // holder may use such tags for forms of its own.
    static constexpr uint8_t kPackedFreeKind = 0x0f;
    static bool packable(const Value& v) noexcept { return !v.inArena_; }
    static uint8_t pack(Value&& v, uint64_t& word) noexcept {
        static_assert(static_cast<unsigned>(Kind::Object) < kPackedFreeKind &&
                      static_cast<unsigned>(NumberType::Decimal) < 16);
        std::memcpy(&word, &v.u_, sizeof word);
        const auto tag =
            static_cast<uint8_t>(static_cast<unsigned>(v.kind_) | static_cast<unsigned>(v.ntype_) << 4);
        v.kind_ = Kind::Null;
        v.ntype_ = NumberType::None;
        v.u_.i = 0;
        return tag;
    }
    static Value sharePacked(uint64_t word, uint8_t tag) noexcept {
        Value packed = fromPacked(word, tag);
        Value copy(packed);
        packed.kind_ = Kind::Null;  // the packed form keeps its reference
        return copy;
    }
    static void releasePacked(uint64_t word, uint8_t tag) noexcept { fromPacked(word, tag); }

    Kind kind() const { return kind_; }
    NumberType numberType() const { return ntype_; }
    // "null", "bool", "int", "uint", "double", "decimal", "string", "data",
    // "date", "array", "dictionary", "set", "object".
    const char* kindName() const;

    bool isNull() const { return kind_ == Kind::Null; }
    bool isBool() const { return kind_ == Kind::Bool; }
    // Any numeric kind, booleans included (a boolean is a number on the platform).
    bool isNumber() const {
        return kind_ == Kind::Bool || kind_ == Kind::Int || kind_ == Kind::UInt || kind_ == Kind::Double ||
               kind_ == Kind::Decimal;
    }
    bool isInteger() const { return kind_ == Kind::Int || kind_ == Kind::UInt; }
    bool isString() const { return kind_ == Kind::String; }
    bool isData() const { return kind_ == Kind::Data; }
    bool isDate() const { return kind_ == Kind::Date; }
    bool isArray() const { return kind_ == Kind::Array; }
    bool isDictionary() const { return kind_ == Kind::Dictionary; }
    bool isSet() const { return kind_ == Kind::Set; }
    bool isObject() const { return kind_ == Kind::Object; }

    // Typed views: nullptr / nullopt when the value is of another kind.
    // A view lives as long as this Value (or a copy sharing its payload):
    // hold the Value, not only the pointer, past the expression that made
    // it. A managed object's valueForKey may build a fresh Value on each
    // read (a fetched row keeps short texts packed in the object), so
    // `if (auto* s = object->valueForKey("k").asString())` leaves `s`
    // dangling in the if's body.
    const std::string* asString() const;
    const plat::Data* asData() const;
    const plat::Decimal* asDecimal() const;
    std::optional<plat::Date> asDate() const;
    const plat::Array* asArray() const;
    const plat::Dictionary* asDictionary() const;
    const plat::Set* asSet() const;
    ObjectPtr asObject() const;
    template <class T>
    std::shared_ptr<const T> asObjectOf() const {
        if constexpr (std::is_final_v<T>) {
            // A final class is matched by its exact type, without the walk
            // of the class hierarchy a dynamic cast makes (the same answer).
            ObjectPtr object = asObject();
            if (!object)
                return nullptr;
            const Object& held = *object;
            if (typeid(held) != typeid(T))
                return nullptr;
            return std::static_pointer_cast<const T>(std::move(object));
        } else {
            return std::dynamic_pointer_cast<const T>(asObject());
        }
    }
    // Raw scalars; only meaningful for the matching kind.
    bool rawBool() const { return u_.b; }
    int64_t rawInt() const { return u_.i; }
    uint64_t rawUInt() const { return u_.u; }
    double rawDouble() const { return u_.d; }

    // Dictionary member or nullptr (also nullptr when this is not a dictionary).
    const Value* find(std::string_view key) const;
    // Array element or nullptr when out of range or not an array.
    const Value* at(std::size_t index) const;
    // Element count of arrays, dictionaries and sets; 0 otherwise.
    std::size_t count() const;

    // The platform's number readers. Numbers convert as the platform does
    // (integers truncate two's-complement, doubles truncate toward zero and
    // saturate, NaN gives 0); strings are parsed as the platform's string
    // readers parse them; every other kind gives 0 / false.
    bool boolValue() const;
    int32_t intValue() const;
    int64_t integerValue() const;
    int64_t longLongValue() const;
    uint64_t unsignedLongLongValue() const;
    double doubleValue() const;
    float floatValue() const;
    // Text of a number as the platform's stringValue (doubles "%.16g", floats
    // "%.7g", booleans "1"/"0", decimals plain); a string gives itself; other
    // kinds give their description.
    std::string stringValue() const;

    // The text the platform prints for the value with "%@": strings as
    // themselves, null as "<null>", numbers as stringValue, dates as
    // "2001-01-01 00:00:00 +0000", data and objects as their description.
    // Collections use the platform's multi-line property-list style: "(\n
    // 1,\n    2\n)", "{\n    key = value;\n}" with keys in ascending order,
    // "{(\n    a\n)}"; each level indents by 4 spaces, and a nested container
    // starts with its own indentation even after "key = ". Members other than
    // containers and data are written bare when they consist only of letters,
    // digits and "_.$:/", otherwise quoted, with '"', '\\' and control
    // characters escaped and non-ASCII text as \Uxxxx UTF-16 units.
    std::string description() const;

    // Platform isEqual: semantics (see the class comment). NaN equals NaN, so
    // that equality agrees with compare and hash.
    bool operator==(const Value& other) const;
    // Numeric comparison across kinds (-1, 0, 1), exact, with NaN below every
    // number and equal to NaN. Strings compare by code point, dates by time;
    // any other pair gives nullopt.
    std::optional<int> compare(const Value& other) const;
    // Agrees with ==: equal numbers of different kinds hash alike.
    std::size_t hash() const;

  private:
    // Dictionaries up to this size are allocated next to their entries. For
    // larger ones, whose lookups are hashed, it would not pay: the allocator
    // handles a large block after a small one markedly worse.
    static constexpr std::size_t kAdjacentEntries = 64;

    // Kinds whose Value holds a counted reference to a payload in u_.p.
    static constexpr uint32_t kPayloadKinds =
        1u << static_cast<unsigned>(Kind::Decimal) | 1u << static_cast<unsigned>(Kind::String) |
        1u << static_cast<unsigned>(Kind::Data) | 1u << static_cast<unsigned>(Kind::Array) |
        1u << static_cast<unsigned>(Kind::Dictionary) | 1u << static_cast<unsigned>(Kind::Set) |
        1u << static_cast<unsigned>(Kind::Object);

    bool hasPayload() const { return (kPayloadKinds >> static_cast<unsigned>(kind_)) & 1u; }
    static Value fromPacked(uint64_t word, uint8_t tag) noexcept {
        Value v;
        v.kind_ = static_cast<Kind>(tag & 0x0fu);
        v.ntype_ = static_cast<NumberType>(tag >> 4);
        std::memcpy(&v.u_, &word, sizeof word);
        return v;
    }

    // A Value holding the payload (of type T) that make() returns, in memory
    // taken from the arena before make() runs (so that the payload lies just
    // before what make() allocates there).
    template <class T, class Make>
    static Value filledInArena(detail::Arena& arena, Make&& make) {
        void* memory = arena.allocate(sizeof(detail::Box<T>), alignof(detail::Box<T>));
        try {
            return adoptArenaBox(kindOf<T>(), new (memory) detail::Box<T>(detail::MadeBy{}, make));
        } catch (...) {
            detail::Arena::release(memory);
            throw;
        }
    }
    template <class T>
    static constexpr Kind kindOf() {
        return std::is_same_v<T, plat::Array>        ? Kind::Array
               : std::is_same_v<T, plat::Dictionary> ? Kind::Dictionary
                                                     : Kind::String;
    }
    static Value adoptArenaBox(Kind kind, detail::Payload* payload) noexcept {
        Value v;
        v.kind_ = kind;
        v.inArena_ = true;
        v.u_.p = payload;
        return v;
    }
    template <class T>
    const T& payload() const;
    // Tells the arena about members of a container built in it that own
    // memory outside the arena's chunks.
    static void noteOwnedMemory(detail::Arena& arena, const plat::Dictionary& d) noexcept;
    static void noteOwnedMemory(detail::Arena& arena, const plat::Array& elements) noexcept;
    // Only while this Value is the payload's sole holder, as when building it.
    void replaceDictionary(plat::Dictionary d);
    void release() noexcept {
        // A count of one means no other Value shares the payload, and none can
        // start to: copying needs one of its holders. The atomic decrement is
        // then unnecessary, which saves it on the common unshared release.
        if (u_.p->references.load(std::memory_order_acquire) == 1 ||
            u_.p->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            destroyPayload();
    }
    void destroyPayload() noexcept;
    // Tears down a payload built in an arena, and those inside it that
    // nothing else holds, without their destructors' generic steps.
    void destroyArenaPayload() noexcept;
    // Releases a member (holding a payload) of an arena payload whose last
    // holder goes.
    static void dropMember(Value& member) noexcept;

    Kind kind_ = Kind::Null;
    NumberType ntype_ = NumberType::None;
    // The payload lies in an arena (released there rather than deleted).
    bool inArena_ = false;
    // Scalars, or the shared payload of strings, data, decimals, containers
    // and objects (dates are scalars).
    union {
        bool b;
        int64_t i;
        uint64_t u;
        double d;
        detail::Payload* p;
    } u_;
};

struct ValueHash {
    std::size_t operator()(const Value& v) const { return v.hash(); }
};

// Container members that need Value to be complete.
inline std::size_t Dictionary::size() const {
    return entries_.size();
}
inline bool Dictionary::empty() const {
    return entries_.empty();
}
inline Dictionary::const_iterator Dictionary::begin() const {
    return entries_.begin();
}
inline Dictionary::const_iterator Dictionary::end() const {
    return entries_.end();
}
inline const Dictionary::Entry& Dictionary::entryAt(std::size_t index) const {
    return entries_[index];
}
inline std::size_t Set::size() const {
    return values_.size();
}
inline bool Set::empty() const {
    return values_.empty();
}

// The typed views are inline: readers of parsed documents call them for
// every node they visit.
template <class T>
const T& Value::payload() const {
    return static_cast<const detail::Box<T>*>(u_.p)->value;
}
inline const std::string* Value::asString() const {
    return kind_ == Kind::String ? &payload<std::string>() : nullptr;
}
inline const plat::Data* Value::asData() const {
    return kind_ == Kind::Data ? &payload<plat::Data>() : nullptr;
}
inline const plat::Decimal* Value::asDecimal() const {
    return kind_ == Kind::Decimal ? &payload<plat::Decimal>() : nullptr;
}
inline const plat::Array* Value::asArray() const {
    return kind_ == Kind::Array ? &payload<plat::Array>() : nullptr;
}
inline const plat::Dictionary* Value::asDictionary() const {
    return kind_ == Kind::Dictionary ? &payload<plat::Dictionary>() : nullptr;
}
inline const plat::Set* Value::asSet() const {
    return kind_ == Kind::Set ? &payload<plat::Set>() : nullptr;
}
inline const Value* Value::at(std::size_t index) const {
    const plat::Array* a = asArray();
    return a != nullptr && index < a->size() ? &(*a)[index] : nullptr;
}

}  // namespace plat
