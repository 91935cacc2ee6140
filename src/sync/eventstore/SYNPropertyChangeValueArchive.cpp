// The quick writing of a change's values: the keyed archive of an array of
// SYNPropertyChangeValue, written straight into its binary property list for
// the plain shapes nearly every change has. The bytes are exactly those the
// general keyed archiver writes for the same values (tests compare the two),
// so readers, peers and stores see no difference; anything else is left to
// the general archiver.
//
// The general archiver builds a table of objects first ("$objects", in the
// order a depth-first walk reserves them, each distinct text once), then
// writes that table as a property list whose every string, keys included, is
// written once. Both steps are followed here in the same order, over flat
// tables kept per thread, without building values or frames.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "platform/foundation/PropertyListBytes.h"
#include "platform/foundation/Text.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

namespace {

using plat::bplist::bytesFor;
using plat::bplist::integerSize;
using plat::bplist::isASCII;
using plat::bplist::markerSize;
using plat::bplist::putBigEndian;
using plat::bplist::putInteger;
using plat::bplist::putMarker;
using plat::bplist::putTrailer;

constexpr int64_t kArchiveVersion = 100000;

// A number stored as itself: a field's scalar or an object of the table.
struct Scalar {
    enum class Kind : uint8_t { Int, Double, Value } kind = Kind::Int;
    int64_t integer = 0;
    double real = 0;
    const plat::Value* value = nullptr;  // Kind::Value: a bool, number or data
};

// A field of an object of the table.
struct Field {
    enum class Kind : uint8_t { Ref, Scalar, Text, Refs, ClassChain } kind = Kind::Ref;
    std::string_view key;
    uint64_t ref = 0;  // Ref: the object; Refs: first of the list in refs
    uint64_t count = 0;
    std::string_view text;  // Text, ClassChain
    Scalar scalar;
};

// An object of the table: text, a scalar, or fields [begin, end).
struct Object {
    enum class Kind : uint8_t { Text, Scalar, Fields } kind = Kind::Text;
    std::string_view text;
    Scalar scalar;
    uint32_t begin = 0;
    uint32_t end = 0;
};

// A node of the property list.
struct Node {
    enum class Type : uint8_t { Dict, Array, String, Scalar, UID, Version } type = Type::Dict;
    uint64_t number = 0;  // UID: the reference; Dict, Array: first of the list
    uint64_t count = 0;   // Dict: twice the entries; Array: the items
    std::string_view text;
    Scalar scalar;
};

// A hash of short text: eight bytes at a time, multiplied and folded.
std::size_t textHash(std::string_view text) {
    constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
    uint64_t hash = text.size() * kMultiplier;
    const char* p = text.data();
    std::size_t left = text.size();
    for (; left >= 8; p += 8, left -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        hash = (hash ^ word) * kMultiplier;
        hash ^= hash >> 32;
    }
    // The last bytes: the last eight of a longer text, else one by one.
    uint64_t word = 0;
    if (left > 0 && text.size() >= 8) {
        std::memcpy(&word, text.data() + text.size() - 8, 8);
    } else {
        for (; left > 0; ++p, --left) {
            word = word << 8 | static_cast<uint8_t>(*p);
        }
    }
    hash = (hash ^ word) * kMultiplier;
    return static_cast<std::size_t>(hash ^ (hash >> 29));
}

// A table of distinct strings to their index, open addressing. Emptied by
// starting a new generation, not by clearing its slots.
class TextIndex {
  public:
    void clear(std::size_t expected) {
        std::size_t size = 16;
        while (size < 2 * expected) {
            size *= 2;
        }
        ++generation_;
        if (slots_.size() < size || generation_ == 0) {
            slots_.assign(std::max(size, slots_.size()), Slot());
            generation_ = 1;
        }
        count_ = 0;
    }
    // The index stored for text, or stores `index` for it and returns it.
    uint64_t find(std::string_view text, uint64_t index) {
        if (2 * (count_ + 1) > slots_.size()) {
            grow();
        }
        const std::size_t hash = textHash(text);
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = hash & mask;
        for (; slots_[i].generation == generation_; i = (i + 1) & mask) {
            if (slots_[i].hash == hash && slots_[i].text == text) {
                return slots_[i].index;
            }
        }
        slots_[i] = Slot{generation_, hash, text, index};
        ++count_;
        return index;
    }

  private:
    struct Slot {
        uint32_t generation = 0;  // in use when the table's current one
        std::size_t hash = 0;
        std::string_view text;
        uint64_t index = 0;
    };
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.generation != generation_) {
                continue;
            }
            std::size_t i = slot.hash & mask;
            while (slots_[i].generation == generation_) {
                i = (i + 1) & mask;
            }
            slots_[i] = slot;
        }
    }
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
    uint32_t generation_ = 0;
};

// The change value a list item holds, for the quick writers: exactly this
// class (a subclass might archive more), else nullptr.
const SYNPropertyChangeValue* changeOf(const SYNPropertyChangeValue& change) {
    return &change;
}
const SYNPropertyChangeValue* changeOf(const plat::Value& item) {
    const plat::Object* object = item.isObject() ? item.asObject().get() : nullptr;
    if (!object || typeid(*object) != typeid(SYNPropertyChangeValue)) {
        return nullptr;
    }
    return static_cast<const SYNPropertyChangeValue*>(object);
}

class PlainValuesWriter {
  public:
    // nullopt for values not of the plain shapes (see the header).
    template <class Items>
    std::optional<plat::Data> write(const Items& items) {
        objects_.clear();
        fields_.clear();
        refs_.clear();
        texts_.clear(8 + 4 * items.size());
        for (auto& ref : classes_) {
            ref = 0;
        }
        if (!buildTable(items)) {
            return std::nullopt;
        }
        return writeList();
    }

  private:
    enum ClassName : uint8_t { kChange, kArray, kSet, kNull, kDate, kClassCount };
    static constexpr std::string_view kClassNames[kClassCount] = {"SYNPropertyChangeValue", "NSArray",
                                                                  "NSSet", "NSNull", "NSDate"};

    // --- The table of objects, as the general archiver reserves them ---

    uint64_t reserve() {
        objects_.emplace_back();
        return objects_.size() - 1;
    }

    uint64_t text(std::string_view text) {
        const uint64_t next = objects_.size();
        const uint64_t found = texts_.find(text, next);
        if (found == next) {
            Object& object = objects_.emplace_back();
            object.kind = Object::Kind::Text;
            object.text = text;
        }
        return found;
    }

    Field& addField(std::string_view key) {
        Field& field = fields_.emplace_back();
        field.key = key;
        return field;
    }

    void close(uint64_t object, uint32_t begin) {
        objects_[object].kind = Object::Kind::Fields;
        objects_[object].begin = begin;
        objects_[object].end = static_cast<uint32_t>(fields_.size());
    }

    uint64_t classReference(ClassName name) {
        if (classes_[name]) {
            return classes_[name];
        }
        const uint64_t object = reserve();
        const auto begin = static_cast<uint32_t>(fields_.size());
        Field* field = &addField("$classname");
        field->kind = Field::Kind::Text;
        field->text = kClassNames[name];
        field = &addField("$classes");
        field->kind = Field::Kind::ClassChain;
        field->text = kClassNames[name];
        close(object, begin);
        classes_[name] = object;
        return object;
    }

    void addRef(std::string_view key, uint64_t ref) {
        Field& field = addField(key);
        field.kind = Field::Kind::Ref;
        field.ref = ref;
    }

    // A value object; false for kinds left to the general archiver.
    bool value(const plat::Value& value, uint64_t& ref) {
        switch (value.kind()) {
            case plat::Value::Kind::String:
                ref = text(*value.asString());
                return true;
            case plat::Value::Kind::Bool:
            case plat::Value::Kind::Int:
            case plat::Value::Kind::UInt:
            case plat::Value::Kind::Double:
            case plat::Value::Kind::Data: {
                ref = reserve();
                objects_[ref].kind = Object::Kind::Scalar;
                objects_[ref].scalar.kind = Scalar::Kind::Value;
                objects_[ref].scalar.value = &value;
                return true;
            }
            case plat::Value::Kind::Null:
            case plat::Value::Kind::Date: {
                ref = reserve();
                const bool date = value.kind() == plat::Value::Kind::Date;
                const uint64_t cls = classReference(date ? kDate : kNull);
                const auto begin = static_cast<uint32_t>(fields_.size());
                if (date) {
                    Field& time = addField("NS.time");
                    time.kind = Field::Kind::Scalar;
                    time.scalar.kind = Scalar::Kind::Double;
                    time.scalar.real = value.asDate()->timeIntervalSinceReferenceDate();
                }
                addRef("$class", cls);
                close(ref, begin);
                return true;
            }
            default:
                return false;
        }
    }

    uint64_t identifierSet(const std::set<std::string>& identifiers) {
        const uint64_t ref = reserve();
        const uint64_t first = refs_.size();
        for (const auto& identifier : identifiers) {
            // Reserved first: text() may add to the table.
            const uint64_t item = text(identifier);
            refs_.push_back(item);
        }
        const uint64_t cls = classReference(kSet);
        const auto begin = static_cast<uint32_t>(fields_.size());
        Field& list = addField("NS.objects");
        list.kind = Field::Kind::Refs;
        list.ref = first;
        list.count = identifiers.size();
        addRef("$class", cls);
        close(ref, begin);
        return ref;
    }

    // One change value, as SYNPropertyChangeValue::encodeWithCoder writes it.
    bool change(const SYNPropertyChangeValue& change, uint64_t& ref) {
        if (!change.movedIdentifiersByIndex().empty()) {
            return false;
        }
        ref = reserve();
        const uint64_t cls = classReference(kChange);
        // The object's own fields are gathered apart: the objects they refer
        // to put fields of their own in the table meanwhile.
        Field own[8];
        std::size_t n = 0;
        own[n].kind = Field::Kind::Scalar;
        own[n].key = "type";
        own[n++].scalar.integer = change.type();
        own[n].key = "propertyName";
        own[n++].ref = text(change.propertyName());
        own[n].key = "value";
        if (change.value() && !value(*change.value(), own[n].ref)) {
            return false;
        }
        ++n;
        if (change.filename()) {
            own[n].key = "filename";
            own[n++].ref = text(*change.filename());
        }
        if (change.relatedIdentifier()) {
            own[n].key = "relatedIdentifier";
            own[n++].ref = text(*change.relatedIdentifier());
        }
        if (!change.addedIdentifiers().empty()) {
            own[n].key = "addedIdentifiers";
            own[n++].ref = identifierSet(change.addedIdentifiers());
        }
        if (!change.removedIdentifiers().empty()) {
            own[n].key = "removedIdentifiers";
            own[n++].ref = identifierSet(change.removedIdentifiers());
        }
        const auto begin = static_cast<uint32_t>(fields_.size());
        fields_.insert(fields_.end(), own, own + n);
        addRef("$class", cls);
        close(ref, begin);
        return true;
    }

    template <class Items>
    bool buildTable(const Items& items) {
        // Object 0 is "$null", never shared with a string of the same text.
        Object& null = objects_.emplace_back();
        null.kind = Object::Kind::Text;
        null.text = "$null";
        const uint64_t root = reserve();
        std::vector<uint64_t>& list = itemRefs_;
        list.clear();
        for (const auto& item : items) {
            const SYNPropertyChangeValue* change = changeOf(item);
            uint64_t ref = 0;
            if (!change || !this->change(*change, ref)) {
                return false;
            }
            list.push_back(ref);
        }
        const uint64_t cls = classReference(kArray);
        const auto begin = static_cast<uint32_t>(fields_.size());
        Field& objects = addField("NS.objects");
        objects.kind = Field::Kind::Refs;
        objects.ref = refs_.size();
        objects.count = list.size();
        refs_.insert(refs_.end(), list.begin(), list.end());
        addRef("$class", cls);
        close(root, begin);
        return true;
    }

    // --- The property list, as the general archiver writes its table ---

    uint64_t push(Node::Type type, uint64_t number = 0) {
        Node& node = nodes_.emplace_back();
        node.type = type;
        node.number = number;
        return nodes_.size() - 1;
    }
    uint64_t reserveRefs(uint64_t node, uint64_t count) {
        const uint64_t begin = nodeRefs_.size();
        nodeRefs_.resize(begin + count);
        nodes_[node].number = begin;
        nodes_[node].count = count;
        return begin;
    }
    uint64_t addString(std::string_view text) {
        const uint64_t next = nodes_.size();
        const uint64_t found = strings_.find(text, next);
        if (found == next) {
            // Text other than ASCII is written as UTF-16: left to the
            // general archiver, which also refuses text that is not UTF-8.
            if (!isASCII(text)) {
                notASCII_ = true;
            }
            push(Node::Type::String);
            nodes_.back().text = text;
        }
        return found;
    }
    uint64_t addScalar(const Scalar& scalar) {
        const uint64_t node = push(Node::Type::Scalar);
        nodes_[node].scalar = scalar;
        return node;
    }
    uint64_t addFields(uint32_t first, uint32_t end) {
        const uint64_t n = end - first;
        const uint64_t dict = push(Node::Type::Dict);
        const uint64_t begin = reserveRefs(dict, 2 * n);
        for (uint64_t i = 0; i < n; ++i) {
            nodeRefs_[begin + i] = addString(fields_[first + i].key);
        }
        for (uint64_t i = 0; i < n; ++i) {
            const Field& field = fields_[first + i];
            uint64_t node = 0;
            switch (field.kind) {
                case Field::Kind::Ref:
                    node = push(Node::Type::UID, field.ref);
                    break;
                case Field::Kind::Scalar:
                    node = addScalar(field.scalar);
                    break;
                case Field::Kind::Text:
                    node = addString(field.text);
                    break;
                case Field::Kind::Refs: {
                    node = push(Node::Type::Array);
                    const uint64_t items = reserveRefs(node, field.count);
                    for (uint64_t j = 0; j < field.count; ++j) {
                        nodeRefs_[items + j] = push(Node::Type::UID, refs_[field.ref + j]);
                    }
                    break;
                }
                case Field::Kind::ClassChain: {
                    node = push(Node::Type::Array);
                    const uint64_t items = reserveRefs(node, 2);
                    nodeRefs_[items] = addString(field.text);
                    nodeRefs_[items + 1] = addString("NSObject");
                    break;
                }
            }
            nodeRefs_[begin + n + i] = node;
        }
        return dict;
    }

    static std::size_t scalarSize(const Scalar& scalar) {
        switch (scalar.kind) {
            case Scalar::Kind::Int:
                return integerSize(static_cast<uint64_t>(scalar.integer), scalar.integer < 0);
            case Scalar::Kind::Double:
                return 9;
            case Scalar::Kind::Value:
                break;
        }
        const plat::Value& v = *scalar.value;
        switch (v.kind()) {
            case plat::Value::Kind::Bool:
                return 1;
            case plat::Value::Kind::Int:
                return integerSize(static_cast<uint64_t>(v.rawInt()), v.rawInt() < 0);
            case plat::Value::Kind::UInt:
                return integerSize(v.rawUInt(), false);
            case plat::Value::Kind::Double:
                return 9;
            default:
                return markerSize(v.asData()->length()) + v.asData()->length();
        }
    }
    static uint8_t* putDouble(uint8_t* p, double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        *p++ = 0x23;
        return putBigEndian(p, bits, 8);
    }
    static uint8_t* putScalar(uint8_t* p, const Scalar& scalar) {
        switch (scalar.kind) {
            case Scalar::Kind::Int:
                return putInteger(p, static_cast<uint64_t>(scalar.integer), scalar.integer < 0);
            case Scalar::Kind::Double:
                return putDouble(p, scalar.real);
            case Scalar::Kind::Value:
                break;
        }
        const plat::Value& v = *scalar.value;
        switch (v.kind()) {
            case plat::Value::Kind::Bool:
                *p++ = v.rawBool() ? 0x09 : 0x08;
                return p;
            case plat::Value::Kind::Int:
                return putInteger(p, static_cast<uint64_t>(v.rawInt()), v.rawInt() < 0);
            case plat::Value::Kind::UInt:
                return putInteger(p, v.rawUInt(), false);
            case plat::Value::Kind::Double:
                return putDouble(p, v.rawDouble());
            default: {
                const plat::Data& data = *v.asData();
                p = putMarker(p, 0x4, data.length());
                if (data.length()) {
                    std::memcpy(p, data.bytes(), data.length());
                }
                return p + data.length();
            }
        }
    }

    std::size_t byteSize(const Node& node, std::size_t refSize) const {
        switch (node.type) {
            case Node::Type::Dict:
                return markerSize(node.count / 2) + node.count * refSize;
            case Node::Type::Array:
                return markerSize(node.count) + node.count * refSize;
            case Node::Type::String:
                return markerSize(node.text.size()) + node.text.size();
            case Node::Type::UID:
                return 1 + bytesFor(node.number);
            case Node::Type::Version:
                return integerSize(kArchiveVersion, false);
            case Node::Type::Scalar:
                return scalarSize(node.scalar);
        }
        return 0;
    }

    uint8_t* encode(uint8_t* p, const Node& node, std::size_t refSize) const {
        switch (node.type) {
            case Node::Type::Dict:
            case Node::Type::Array: {
                const bool array = node.type == Node::Type::Array;
                p = putMarker(p, array ? 0xA : 0xD, array ? node.count : node.count / 2);
                const uint64_t* refs = nodeRefs_.data() + node.number;
                for (uint64_t i = 0; i < node.count; ++i) {
                    p = putBigEndian(p, refs[i], refSize);
                }
                return p;
            }
            case Node::Type::String:
                p = putMarker(p, 0x5, node.text.size());
                if (!node.text.empty()) {
                    std::memcpy(p, node.text.data(), node.text.size());
                }
                return p + node.text.size();
            case Node::Type::UID: {
                const std::size_t n = bytesFor(node.number);
                *p++ = static_cast<uint8_t>(0x80 | (n - 1));
                return putBigEndian(p, node.number, n);
            }
            case Node::Type::Version:
                return putInteger(p, kArchiveVersion, false);
            case Node::Type::Scalar:
                return putScalar(p, node.scalar);
        }
        return p;
    }

    std::optional<plat::Data> writeList() {
        nodes_.clear();
        nodeRefs_.clear();
        notASCII_ = false;
        strings_.clear(16 + objects_.size() + fields_.size());
        const uint64_t root = push(Node::Type::Dict);
        const uint64_t begin = reserveRefs(root, 8);
        const std::string_view topKeys[] = {"$version", "$archiver", "$top", "$objects"};
        for (uint64_t i = 0; i < 4; ++i) {
            nodeRefs_[begin + i] = addString(topKeys[i]);
        }
        nodeRefs_[begin + 4] = push(Node::Type::Version);
        nodeRefs_[begin + 5] = addString("NSKeyedArchiver");
        // "$top": {"root": the array, object 1}.
        const uint64_t top = push(Node::Type::Dict);
        const uint64_t topRefs = reserveRefs(top, 2);
        nodeRefs_[topRefs] = addString("root");
        nodeRefs_[topRefs + 1] = push(Node::Type::UID, 1);
        nodeRefs_[begin + 6] = top;
        const uint64_t table = push(Node::Type::Array);
        nodeRefs_[begin + 7] = table;
        const uint64_t items = reserveRefs(table, objects_.size());
        for (uint64_t i = 0; i < objects_.size(); ++i) {
            const Object& object = objects_[i];
            uint64_t node = 0;
            switch (object.kind) {
                case Object::Kind::Text:
                    node = addString(object.text);
                    break;
                case Object::Kind::Scalar:
                    node = addScalar(object.scalar);
                    break;
                case Object::Kind::Fields:
                    node = addFields(object.begin, object.end);
                    break;
            }
            nodeRefs_[items + i] = node;
        }
        if (notASCII_) {
            return std::nullopt;
        }
        const std::size_t refSize = bytesFor(nodes_.size());
        uint64_t size = 8;
        for (const Node& node : nodes_) {
            size += byteSize(node, refSize);
        }
        const uint64_t tableOffset = size;
        const std::size_t offsetSize = bytesFor(tableOffset);
        size += nodes_.size() * offsetSize + 32;
        std::vector<uint8_t> out(size);
        uint8_t* p = out.data();
        std::memcpy(p, "bplist00", 8);
        p += 8;
        uint8_t* offsets = out.data() + tableOffset;
        for (const Node& node : nodes_) {
            offsets = putBigEndian(offsets, static_cast<uint64_t>(p - out.data()), offsetSize);
            p = encode(p, node, refSize);
        }
        putTrailer(offsets, offsetSize, refSize, nodes_.size(), tableOffset);
        return plat::Data(std::move(out));
    }

    std::vector<Object> objects_;
    std::vector<Field> fields_;
    std::vector<uint64_t> refs_;
    std::vector<uint64_t> itemRefs_;
    TextIndex texts_;
    uint64_t classes_[kClassCount] = {};
    std::vector<Node> nodes_;
    std::vector<uint64_t> nodeRefs_;
    TextIndex strings_;
    bool notASCII_ = false;
};

// The thread's writer: its tables are reused from archive to archive.
PlainValuesWriter& threadWriter() {
    thread_local PlainValuesWriter writer;
    return writer;
}

}  // namespace

std::optional<plat::Data> SYNWritePlainPropertyChangeValues(
    const std::vector<SYNPropertyChangeValue>& values) {
    return threadWriter().write(values);
}

std::optional<plat::Data> SYNWritePlainPropertyChangeValues(const plat::Array& items) {
    return threadWriter().write(items);
}

// --- The compact stored form ---------------------------------------------------
//
// The event store keeps a change's values in a small tagged binary form of
// its own; the keyed archive above stays the form of everything other
// machines read. Layout (numbers are unsigned LEB128 varints unless said):
//
//   magic      0x00 0x01 (no property list, XML or JSON starts with 0x00)
//   count      the number of values
//   per value  header byte: bits 0-1 the type (0-3); bit 2 a value, bit 3 a
//              file name, bit 4 a related identifier, bit 5 added
//              identifiers, bit 6 removed identifiers, bit 7 ordered indexes
//              property name (text)
//              [value]    a tag byte and its payload (see ValueTag)
//              [filename] text; [related] text
//              [added], [removed]  count, then texts in ascending order
//              [moved]    count, then (index, text) in ascending index
//   text       0 then the 16 bytes of an uppercase UUID string, or the
//              length plus one then the UTF-8 bytes
//
// Only values the keyed archive would read back to the very same values are
// written this way; any other list keeps the keyed archive.

namespace {

constexpr uint8_t kCompactMagic[2] = {0x00, 0x01};

enum CompactFlag : uint8_t {
    kHasValue = 1 << 2,
    kHasFilename = 1 << 3,
    kHasRelated = 1 << 4,
    kHasAdded = 1 << 5,
    kHasRemoved = 1 << 6,
    kHasMoved = 1 << 7,
};

enum class ValueTag : uint8_t {
    Null = 0,  // the null object
    False = 1,
    True = 2,
    Int = 3,     // zigzag varint
    Double = 4,  // 8 bytes, little-endian IEEE 754
    String = 5,  // text
    Data = 6,    // length, bytes
    Date = 7,    // seconds since the reference date, as Double
};

constexpr std::size_t kUUIDTextSize = 36;

// Where each of a UUID's 16 bytes has its two digits in the text; the other
// four places (8, 13, 18, 23) hold dashes.
constexpr std::array<uint8_t, 16> kUUIDDigitsAt = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};

// A character's value as an upper-case hex digit, or kNotHexDigit: one look-up
// per character instead of two ranges compared.
constexpr uint16_t kNotHexDigit = 0x100;
constexpr std::array<uint16_t, 256> kHexDigitValues = [] {
    std::array<uint16_t, 256> values{};
    for (auto& value : values) {
        value = kNotHexDigit;
    }
    for (int c = '0'; c <= '9'; ++c) {
        values[static_cast<std::size_t>(c)] = static_cast<uint16_t>(c - '0');
    }
    for (int c = 'A'; c <= 'F'; ++c) {
        values[static_cast<std::size_t>(c)] = static_cast<uint16_t>(c - 'A' + 10);
    }
    return values;
}();

// Each byte's two upper-case digits.
constexpr std::array<std::array<char, 2>, 256> kHexDigitPairs = [] {
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t b = 0; b < 256; ++b) {
        pairs[b] = {kDigits[b >> 4], kDigits[b & 0xF]};
    }
    return pairs;
}();

// The 16 bytes of an uppercase UUID string; false for any other text (it
// would not come back the same). `out` is undefined when false.
bool packUUID(std::string_view text, uint8_t out[16]) {
    if (text.size() != kUUIDTextSize || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return false;
    }
    const auto* digits = reinterpret_cast<const unsigned char*>(text.data());
    // A character that is no digit marks `seen`; checked once at the end.
    unsigned seen = 0;
    for (std::size_t n = 0; n < 16; ++n) {
        const unsigned high = kHexDigitValues[digits[kUUIDDigitsAt[n]]];
        const unsigned low = kHexDigitValues[digits[kUUIDDigitsAt[n] + 1]];
        seen |= high | low;
        out[n] = static_cast<uint8_t>(high << 4 | low);
    }
    return (seen & kNotHexDigit) == 0;
}

void unpackUUID(const uint8_t* in, std::string& out) {
    out.resize(kUUIDTextSize);
    char* text = out.data();
    for (std::size_t n = 0; n < 16; ++n) {
        std::memcpy(text + kUUIDDigitsAt[n], kHexDigitPairs[in[n]].data(), 2);
    }
    text[8] = text[13] = text[18] = text[23] = '-';
}

class CompactWriter {
  public:
    void clear() { out_.clear(); }
    const std::vector<uint8_t>& bytes() const { return out_; }

    void byte(uint8_t b) { out_.push_back(b); }
    void varint(uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<uint8_t>(v | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<uint8_t>(v));
    }
    void raw(const void* p, std::size_t n) {
        if (n == 0) {
            return;
        }
        const std::size_t at = out_.size();
        out_.resize(at + n);
        std::memcpy(out_.data() + at, p, n);
    }
    void real(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        for (int i = 0; i < 8; ++i) {
            out_.push_back(static_cast<uint8_t>(bits >> (8 * i)));
        }
    }
    // False for text that is not UTF-8, which the keyed archiver refuses.
    bool text(std::string_view s) {
        uint8_t uuid[16];
        if (packUUID(s, uuid)) {
            varint(0);
            raw(uuid, sizeof uuid);
            return true;
        }
        if (!isASCII(s) && !plat::text::isValidUTF8(s)) {
            return false;
        }
        varint(s.size() + 1);
        raw(s.data(), s.size());
        return true;
    }

    bool value(const plat::Value& v) {
        switch (v.kind()) {
            case plat::Value::Kind::Null:
                byte(static_cast<uint8_t>(ValueTag::Null));
                return true;
            case plat::Value::Kind::Bool:
                byte(static_cast<uint8_t>(v.rawBool() ? ValueTag::True : ValueTag::False));
                return true;
            case plat::Value::Kind::Int:
                return integer(v.rawInt());
            case plat::Value::Kind::UInt:
                // Beyond the signed range the archive writes a wider integer.
                if (v.rawUInt() > static_cast<uint64_t>(INT64_MAX)) {
                    return false;
                }
                return integer(static_cast<int64_t>(v.rawUInt()));
            case plat::Value::Kind::Double:
                byte(static_cast<uint8_t>(ValueTag::Double));
                real(v.rawDouble());
                return true;
            case plat::Value::Kind::String:
                byte(static_cast<uint8_t>(ValueTag::String));
                return text(*v.asString());
            case plat::Value::Kind::Data: {
                const plat::Data& data = *v.asData();
                byte(static_cast<uint8_t>(ValueTag::Data));
                varint(data.length());
                raw(data.bytes(), data.length());
                return true;
            }
            case plat::Value::Kind::Date:
                byte(static_cast<uint8_t>(ValueTag::Date));
                real(v.asDate()->timeIntervalSinceReferenceDate());
                return true;
            default:
                return false;
        }
    }

    bool identifiers(const std::set<std::string>& set) {
        varint(set.size());
        for (const auto& identifier : set) {
            if (!text(identifier)) {
                return false;
            }
        }
        return true;
    }

    bool change(const SYNPropertyChangeValue& change) {
        if (change.type() < 0 || change.type() > 3) {
            return false;
        }
        uint8_t header = static_cast<uint8_t>(change.type());
        const bool hasValue = change.value().has_value();
        header |= hasValue ? kHasValue : 0;
        header |= change.filename() ? kHasFilename : 0;
        header |= change.relatedIdentifier() ? kHasRelated : 0;
        header |= change.addedIdentifiers().empty() ? 0 : kHasAdded;
        header |= change.removedIdentifiers().empty() ? 0 : kHasRemoved;
        header |= change.movedIdentifiersByIndex().empty() ? 0 : kHasMoved;
        byte(header);
        if (!text(change.propertyName()) || (hasValue && !value(*change.value())) ||
            (change.filename() && !text(*change.filename())) ||
            (change.relatedIdentifier() && !text(*change.relatedIdentifier())) ||
            ((header & kHasAdded) && !identifiers(change.addedIdentifiers())) ||
            ((header & kHasRemoved) && !identifiers(change.removedIdentifiers()))) {
            return false;
        }
        if (header & kHasMoved) {
            varint(change.movedIdentifiersByIndex().size());
            for (const auto& [index, identifier] : change.movedIdentifiersByIndex()) {
                // The archive's decimal keys read back only indexes from 0.
                if (index < 0) {
                    return false;
                }
                varint(static_cast<uint64_t>(index));
                if (!text(identifier)) {
                    return false;
                }
            }
        }
        return true;
    }

    template <class Items>
    std::optional<plat::Data> write(const Items& items) {
        clear();
        for (uint8_t b : kCompactMagic) {
            byte(b);
        }
        varint(items.size());
        for (const auto& item : items) {
            const SYNPropertyChangeValue* value = changeOf(item);
            if (!value || !change(*value)) {
                return std::nullopt;
            }
        }
        return plat::Data(out_.data(), out_.size());
    }

  private:
    bool integer(int64_t i) {
        byte(static_cast<uint8_t>(ValueTag::Int));
        varint((static_cast<uint64_t>(i) << 1) ^ static_cast<uint64_t>(i >> 63));
        return true;
    }

    std::vector<uint8_t> out_;
};

CompactWriter& threadCompactWriter() {
    thread_local CompactWriter writer;
    return writer;
}

// Bounds-checked reading of the compact form: every read fails cleanly at
// the end of the bytes or on a value out of range.
class CompactReader {
  public:
    explicit CompactReader(std::string_view bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    std::optional<plat::Value> read() {
        plat::Array values;
        if (!readInto(values)) {
            return std::nullopt;
        }
        return plat::Value(std::move(values));
    }

    // The values appended to `values` (an Array, or a list of the values
    // themselves); false for damaged or truncated bytes.
    template <class List>
    bool readInto(List& values) {
        if (!magic()) {
            return false;
        }
        uint64_t count = 0;
        // Every value takes at least two bytes: a count beyond that is damage.
        if (!varint(count) || count > left() / 2) {
            return false;
        }
        values.reserve(count);
        for (uint64_t i = 0; i < count; ++i) {
            auto value = change();
            if (!value) {
                return false;
            }
            values.emplace_back(std::move(value));
        }
        return p_ == end_;
    }

  private:
    std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }

    bool magic() {
        if (left() < sizeof kCompactMagic || std::memcmp(p_, kCompactMagic, sizeof kCompactMagic) != 0) {
            return false;
        }
        p_ += sizeof kCompactMagic;
        return true;
    }

    bool byte(uint8_t& b) {
        if (p_ == end_) {
            return false;
        }
        b = static_cast<uint8_t>(*p_++);
        return true;
    }

    bool varint(uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b = 0;
            if (!byte(b)) {
                return false;
            }
            // The tenth byte may only hold the top bit.
            if (shift == 63 && b > 1) {
                return false;
            }
            v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) {
                return true;
            }
        }
        return false;
    }

    bool real(double& d) {
        if (left() < 8) {
            return false;
        }
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) {
            bits |= static_cast<uint64_t>(static_cast<uint8_t>(p_[i])) << (8 * i);
        }
        p_ += 8;
        std::memcpy(&d, &bits, sizeof d);
        return true;
    }

    bool text(std::string& out) {
        uint64_t n = 0;
        if (!varint(n)) {
            return false;
        }
        if (n == 0) {
            if (left() < 16) {
                return false;
            }
            unpackUUID(reinterpret_cast<const uint8_t*>(p_), out);
            p_ += 16;
            return true;
        }
        --n;
        if (n > left()) {
            return false;
        }
        std::string_view s(p_, n);
        if (!isASCII(s) && !plat::text::isValidUTF8(s)) {
            return false;
        }
        out.assign(s);
        p_ += n;
        return true;
    }

    std::optional<plat::Value> value() {
        uint8_t tag = 0;
        if (!byte(tag)) {
            return std::nullopt;
        }
        switch (static_cast<ValueTag>(tag)) {
            case ValueTag::Null:
                return plat::Value();
            case ValueTag::False:
                return plat::Value(false);
            case ValueTag::True:
                return plat::Value(true);
            case ValueTag::Int: {
                uint64_t z = 0;
                if (!varint(z)) {
                    return std::nullopt;
                }
                return plat::Value(static_cast<int64_t>((z >> 1) ^ (~(z & 1) + 1)));
            }
            case ValueTag::Double:
            case ValueTag::Date: {
                double d = 0;
                if (!real(d)) {
                    return std::nullopt;
                }
                return tag == static_cast<uint8_t>(ValueTag::Date) ? plat::Value(plat::Date(d))
                                                                   : plat::Value(d);
            }
            case ValueTag::String: {
                std::string s;
                if (!text(s)) {
                    return std::nullopt;
                }
                return plat::Value(std::move(s));
            }
            case ValueTag::Data: {
                uint64_t n = 0;
                if (!varint(n) || n > left()) {
                    return std::nullopt;
                }
                plat::Value data(plat::Data(p_, n));
                p_ += n;
                return data;
            }
        }
        return std::nullopt;
    }

    bool identifiers(std::set<std::string>& set) {
        uint64_t count = 0;
        // Every identifier takes at least one byte.
        if (!varint(count) || count > left()) {
            return false;
        }
        std::string identifier;
        for (uint64_t i = 0; i < count; ++i) {
            if (!text(identifier)) {
                return false;
            }
            set.insert(set.end(), identifier);
        }
        return true;
    }

    std::shared_ptr<const SYNPropertyChangeValue> change() {
        uint8_t header = 0;
        std::string name;
        if (!byte(header) || !text(name)) {
            return nullptr;
        }
        auto result = std::make_shared<SYNPropertyChangeValue>(header & 3, std::move(name));
        if (header & kHasValue) {
            auto v = value();
            if (!v) {
                return nullptr;
            }
            result->setValue(std::move(*v));
        }
        std::string text;
        if (header & kHasFilename) {
            if (!this->text(text)) {
                return nullptr;
            }
            result->setFilename(std::move(text));
        }
        if (header & kHasRelated) {
            if (!this->text(text)) {
                return nullptr;
            }
            result->setRelatedIdentifier(std::move(text));
        }
        for (uint8_t flag : {kHasAdded, kHasRemoved}) {
            if (!(header & flag)) {
                continue;
            }
            std::set<std::string> set;
            if (!identifiers(set)) {
                return nullptr;
            }
            if (flag == kHasAdded) {
                result->setAddedIdentifiers(std::move(set));
            } else {
                result->setRemovedIdentifiers(std::move(set));
            }
        }
        if (header & kHasMoved) {
            uint64_t count = 0;
            if (!varint(count) || count > left() / 2) {
                return nullptr;
            }
            std::map<int64_t, std::string> moved;
            for (uint64_t i = 0; i < count; ++i) {
                uint64_t index = 0;
                if (!varint(index) || index > static_cast<uint64_t>(INT64_MAX) || !this->text(text)) {
                    return nullptr;
                }
                moved[static_cast<int64_t>(index)] = text;
            }
            result->setMovedIdentifiersByIndex(std::move(moved));
        }
        return result;
    }

    const char* p_;
    const char* end_;
};

}  // namespace

std::optional<plat::Data> SYNWriteCompactPropertyChangeValues(
    const std::vector<SYNPropertyChangeValue>& values) {
    return threadCompactWriter().write(values);
}

std::optional<plat::Data> SYNWriteCompactPropertyChangeValues(const plat::Array& items) {
    return threadCompactWriter().write(items);
}

bool SYNIsCompactPropertyChangeValues(std::string_view bytes) {
    return bytes.size() >= sizeof kCompactMagic &&
           std::memcmp(bytes.data(), kCompactMagic, sizeof kCompactMagic) == 0;
}

namespace {
thread_local int compactKeptScopes = 0;

plat::ErrorPtr damagedValuesError() {
    return plat::Error::withDescription(plat::CocoaErrorDomain, plat::CoderReadCorruptError,
                                        "The stored property change values are damaged.");
}
}  // namespace

SYNCompactStoredValuesKeptScope::SYNCompactStoredValuesKeptScope() {
    ++compactKeptScopes;
}

SYNCompactStoredValuesKeptScope::~SYNCompactStoredValuesKeptScope() {
    --compactKeptScopes;
}

bool SYNCompactStoredValuesKeptScope::isActive() {
    return compactKeptScopes > 0;
}

plat::Result<plat::Value> SYNReadCompactPropertyChangeValues(std::string_view bytes) {
    if (compactKeptScopes > 0) {
        return plat::Value(plat::Data(bytes.data(), bytes.size()));
    }
    if (auto values = CompactReader(bytes).read()) {
        return std::move(*values);
    }
    return damagedValuesError();
}

plat::Result<std::vector<std::shared_ptr<const SYNPropertyChangeValue>>>
SYNReadCompactPropertyChangeValueList(std::string_view bytes) {
    std::vector<std::shared_ptr<const SYNPropertyChangeValue>> values;
    if (CompactReader(bytes).readInto(values)) {
        return values;
    }
    return damagedValuesError();
}

namespace {
thread_local int keyedArchivedScopes = 0;
}  // namespace

SYNKeyedArchivedStoredValuesScope::SYNKeyedArchivedStoredValuesScope() {
    ++keyedArchivedScopes;
}

SYNKeyedArchivedStoredValuesScope::~SYNKeyedArchivedStoredValuesScope() {
    --keyedArchivedScopes;
}

bool SYNKeyedArchivedStoredValuesScope::isActive() {
    return keyedArchivedScopes > 0;
}
