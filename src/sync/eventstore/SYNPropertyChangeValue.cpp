#include "sync/eventstore/SYNPropertyChangeValue.h"

#include "platform/foundation/PropertyListBytes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <functional>
#include <mutex>

#include "platform/foundation/Format.h"

namespace {

constexpr const char* kClassName = "SYNPropertyChangeValue";
constexpr const char* kRootFailure = "The archive does not hold a list of property change values.";

bool isNil(const std::optional<plat::Value>& value) {
    return !value || value->isNull();
}

std::optional<std::set<std::string>> identifierSet(const std::optional<plat::Value>& value) {
    std::set<std::string> identifiers;
    if (isNil(value)) {
        return identifiers;
    }
    const plat::Array* members = value->isSet() ? &value->asSet()->values() : value->asArray();
    if (members == nullptr) {
        return std::nullopt;
    }
    for (const auto& member : *members) {
        const std::string* text = member.asString();
        if (text == nullptr) {
            return std::nullopt;
        }
        identifiers.insert(*text);
    }
    return identifiers;
}

std::optional<int64_t> parseIndex(std::string_view text) {
    int64_t index = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || index < 0) {
        return std::nullopt;
    }
    return index;
}

std::optional<std::map<int64_t, std::string>> indexMap(const std::optional<plat::Value>& value) {
    std::map<int64_t, std::string> moved;
    if (isNil(value)) {
        return moved;
    }
    const plat::Dictionary* entries = value->asDictionary();
    if (entries == nullptr) {
        return std::nullopt;
    }
    for (const auto& [key, identifier] : *entries) {
        auto index = parseIndex(key);
        if (!index || !identifier.isString()) {
            return std::nullopt;
        }
        moved[*index] = *identifier.asString();
    }
    return moved;
}

// nullopt when the value is neither nil nor a string.
std::optional<std::optional<std::string>> optionalString(const std::optional<plat::Value>& value) {
    if (isNil(value)) {
        return std::optional<std::string>();
    }
    if (!value->isString()) {
        return std::nullopt;
    }
    return std::optional<std::string>(*value->asString());
}

plat::Value identifierSetValue(const std::set<std::string>& identifiers) {
    plat::Set set;
    for (const auto& identifier : identifiers) {
        set.insert(plat::Value(identifier));
    }
    return plat::Value(std::move(set));
}

plat::Value mapValue(const std::map<int64_t, std::string>& moved) {
    plat::Dictionary dictionary;
    for (const auto& [index, identifier] : moved) {
        dictionary.set(std::to_string(index), plat::Value(identifier));
    }
    return plat::Value(std::move(dictionary));
}

}  // namespace

SYNPropertyChangeValue::SYNPropertyChangeValue(int64_t type, std::string propertyName)
    : type_(type), propertyName_(std::move(propertyName)) {}

SYNPropertyChangeValue::SYNPropertyChangeValue(const SYNPropertyChangeValue& other)
    : plat::Coding(other),
      type_(other.type_),
      propertyName_(other.propertyName_),
      value_(other.value_),
      eventStore_(other.eventStore_),
      objectID_(other.objectID_),
      rare_(other.rare_ ? std::make_unique<Rare>(*other.rare_) : nullptr) {}

SYNPropertyChangeValue& SYNPropertyChangeValue::operator=(const SYNPropertyChangeValue& other) {
    if (this != &other) {
        SYNPropertyChangeValue copy(other);
        *this = std::move(copy);
    }
    return *this;
}

SYNPropertyChangeValue::~SYNPropertyChangeValue() = default;

const SYNPropertyChangeValue::Rare& SYNPropertyChangeValue::emptyRare() {
    static const Rare empty;
    return empty;
}

bool SYNPropertyChangeValue::setValueForKey(const std::optional<plat::Value>& value, std::string_view key) {
    if (key == "type") {
        if (!value || !value->isNumber()) {
            return false;
        }
        type_ = value->integerValue();
    } else if (key == "propertyName") {
        if (!value || !value->isString()) {
            return false;
        }
        propertyName_ = *value->asString();
    } else if (key == "value") {
        value_ = value;
    } else if (key == "filename" || key == "relatedIdentifier") {
        auto text = optionalString(value);
        if (!text) {
            return false;
        }
        if (key == "filename") {
            setFilename(std::move(*text));
        } else {
            setRelatedIdentifier(std::move(*text));
        }
    } else if (key == "addedIdentifiers" || key == "removedIdentifiers") {
        auto identifiers = identifierSet(value);
        if (!identifiers) {
            return false;
        }
        if (key == "addedIdentifiers") {
            setAddedIdentifiers(std::move(*identifiers));
        } else {
            setRemovedIdentifiers(std::move(*identifiers));
        }
    } else if (key == "movedIdentifiersByIndex") {
        auto moved = indexMap(value);
        if (!moved) {
            return false;
        }
        setMovedIdentifiersByIndex(std::move(*moved));
    } else if (key == "objectID") {
        if (!isNil(value) && !value->isObject()) {
            return false;
        }
        objectID_ = isNil(value) ? nullptr : value->asObject();
    } else {
        return false;
    }
    return true;
}

std::optional<plat::Value> SYNPropertyChangeValue::valueForKey(std::string_view key) const {
    if (key == "type") {
        return plat::Value(type_);
    }
    if (key == "propertyName") {
        return plat::Value(propertyName_);
    }
    if (key == "value") {
        return value_;
    }
    if (key == "filename" || key == "relatedIdentifier") {
        const auto& text = key == "filename" ? filename() : relatedIdentifier();
        return text ? std::optional<plat::Value>(plat::Value(*text)) : std::nullopt;
    }
    if (key == "addedIdentifiers" || key == "removedIdentifiers") {
        return identifierSetValue(key == "addedIdentifiers" ? addedIdentifiers() : removedIdentifiers());
    }
    if (key == "movedIdentifiersByIndex") {
        return mapValue(movedIdentifiersByIndex());
    }
    if (key == "objectID" && objectID_) {
        return plat::Value(objectID_);
    }
    return std::nullopt;
}

void SYNPropertyChangeValue::encodeWithCoder(plat::KeyedArchiver& coder) const {
    coder.encodeInt64(type_, "type");
    coder.encodeObject(plat::Value(propertyName_), "propertyName");
    coder.encodeObject(value_, "value");
    const Rare& fields = rare();
    if (fields.filename) {
        coder.encodeObject(plat::Value(*fields.filename), "filename");
    }
    if (fields.relatedIdentifier) {
        coder.encodeObject(plat::Value(*fields.relatedIdentifier), "relatedIdentifier");
    }
    if (!fields.added.empty()) {
        coder.encodeObject(identifierSetValue(fields.added), "addedIdentifiers");
    }
    if (!fields.removed.empty()) {
        coder.encodeObject(identifierSetValue(fields.removed), "removedIdentifiers");
    }
    if (!fields.moved.empty()) {
        coder.encodeObject(mapValue(fields.moved), "movedIdentifiersByIndex");
    }
}

std::shared_ptr<const SYNPropertyChangeValue> SYNPropertyChangeValue::decode(plat::KeyedUnarchiver& coder) {
    auto name = coder.decodeString("propertyName");
    if (!name) {
        return nullptr;
    }
    auto result = std::make_shared<SYNPropertyChangeValue>(coder.decodeInt64("type"), std::move(*name));
    const bool hasValue = coder.containsValueForKey("value");
    if (hasValue) {
        result->value_ = coder.decodeObject("value");
    }
    // Most values store no optional field: when the class, the name, the
    // type and the value are all the fields there are, none is looked for.
    const std::size_t found = 2 + (coder.containsValueForKey("type") ? 1 : 0) + (hasValue ? 1 : 0);
    if (coder.fieldCount() <= found) {
        return coder.error() ? nullptr : result;
    }
    for (std::string_view key : {std::string_view("filename"), std::string_view("relatedIdentifier"),
                                 std::string_view("addedIdentifiers"), std::string_view("removedIdentifiers"),
                                 std::string_view("movedIdentifiersByIndex")}) {
        if (coder.containsValueForKey(key) && !result->setValueForKey(coder.decodeObject(key), key)) {
            return nullptr;
        }
    }
    return coder.error() ? nullptr : result;
}

void SYNPropertyChangeValue::registerClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        plat::KeyedUnarchiver::registerClass<SYNPropertyChangeValue>(kClassName,
                                                                     &SYNPropertyChangeValue::decode);
    });
}

bool SYNPropertyChangeValue::isEqual(const plat::Object& other) const {
    const auto* that = dynamic_cast<const SYNPropertyChangeValue*>(&other);
    return that != nullptr && type_ == that->type_ && propertyName_ == that->propertyName_ &&
           value_ == that->value_ && filename() == that->filename() &&
           relatedIdentifier() == that->relatedIdentifier() &&
           addedIdentifiers() == that->addedIdentifiers() &&
           removedIdentifiers() == that->removedIdentifiers() &&
           movedIdentifiersByIndex() == that->movedIdentifiersByIndex();
}

std::size_t SYNPropertyChangeValue::hash() const {
    return std::hash<std::string>()(propertyName_) ^ static_cast<std::size_t>(type_);
}

std::string SYNPropertyChangeValue::description() const {
    std::string text = plat::format("<SYNPropertyChangeValue: type %lld, property %@",
                                    static_cast<long long>(type_), propertyName_);
    if (value_) {
        text += plat::format(", value %@", *value_);
    }
    const Rare& fields = rare();
    if (fields.filename) {
        text += plat::format(", file %@", *fields.filename);
    }
    if (fields.relatedIdentifier) {
        text += plat::format(", related %@", *fields.relatedIdentifier);
    }
    if (!fields.added.empty() || !fields.removed.empty() || !fields.moved.empty()) {
        text += plat::format(", %lu added, %lu removed, %lu indexed",
                             static_cast<unsigned long>(fields.added.size()),
                             static_cast<unsigned long>(fields.removed.size()),
                             static_cast<unsigned long>(fields.moved.size()));
    }
    return text + ">";
}

plat::Result<plat::Data> SYNArchivePropertyChangeValues(const std::vector<SYNPropertyChangeValue>& values) {
    if (auto quick = SYNWritePlainPropertyChangeValues(values)) {
        return std::move(*quick);
    }
    plat::Array items;
    items.reserve(values.size());
    for (const auto& value : values) {
        items.emplace_back(std::make_shared<const SYNPropertyChangeValue>(value));
    }
    return plat::KeyedArchiver::archivedDataWithRootObject(plat::Value(std::move(items)));
}

plat::Result<plat::Data> SYNArchivePropertyChangeValueItems(const plat::Array& items) {
    for (const auto& item : items) {
        if (!item.asObjectOf<SYNPropertyChangeValue>()) {
            return plat::Error::withDescription(plat::CocoaErrorDomain, plat::CoderInvalidValueError,
                                                "Not a property change value.");
        }
    }
    if (auto quick = SYNWritePlainPropertyChangeValues(items)) {
        return std::move(*quick);
    }
    // The array holds the values' objects already: archived as it is,
    // without copying every value on the way.
    return plat::KeyedArchiver::archivedDataWithRootObject(plat::Value(items));
}

plat::Result<plat::Data> SYNStorePropertyChangeValueItems(const plat::Array& items) {
    if (SYNKeyedArchivedStoredValuesScope::isActive()) {
        return SYNArchivePropertyChangeValueItems(items);
    }
    if (auto compact = SYNWriteCompactPropertyChangeValues(items)) {
        return std::move(*compact);
    }
    return SYNArchivePropertyChangeValueItems(items);
}

namespace {

// Bounds-checked reading of a binary property list ("bplist00", objects, a
// table of their offsets, a 32-byte trailer), as much as the plain form of
// change values needs; the values it makes are those the general
// unarchiver makes of the same objects.
class ListReader {
  public:
    struct Container {
        uint64_t count = 0;
        uint64_t refs = 0;
    };

    bool open(std::string_view s) {
        s_ = s;
        if (s_.size() < 8 + 32 || s_.substr(0, 8) != "bplist00") {
            return false;
        }
        std::string_view trailer = s_.substr(s_.size() - 32);
        offsetSize_ = static_cast<uint8_t>(trailer[6]);
        refSize_ = static_cast<uint8_t>(trailer[7]);
        count_ = bigEndian(trailer.data() + 8, 8);
        top_ = bigEndian(trailer.data() + 16, 8);
        tableOffset_ = bigEndian(trailer.data() + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) {
            return false;
        }
        const uint64_t tableRoom = s_.size() - 32;
        if (count_ == 0 || top_ >= count_ || tableOffset_ < 8 || tableOffset_ > tableRoom ||
            count_ > (tableRoom - tableOffset_) / offsetSize_) {
            return false;
        }
        return refSize_ >= 8 || count_ <= (uint64_t{1} << (8 * refSize_));
    }

    uint64_t topObject() const { return top_; }
    bool fits(uint64_t at, uint64_t n) const { return at <= tableOffset_ && n <= tableOffset_ - at; }
    uint8_t markerAt(uint64_t offset) const { return static_cast<uint8_t>(s_[offset]); }

    std::optional<uint64_t> offsetOf(uint64_t index) const {
        if (index >= count_) {
            return std::nullopt;
        }
        const uint64_t offset = bigEndian(s_.data() + tableOffset_ + index * offsetSize_, offsetSize_);
        if (offset < 8 || !fits(offset, 1)) {
            return std::nullopt;
        }
        return offset;
    }

    std::optional<uint64_t> count(uint8_t markerByte, uint64_t& pos) const {
        uint64_t n = markerByte & 0xF;
        if (n != 0xF) {
            return n;
        }
        if (!fits(pos, 1)) {
            return std::nullopt;
        }
        const auto m = static_cast<uint8_t>(s_[pos]);
        if ((m & 0xF0) != 0x10 || (m & 0xF) > 3) {
            return std::nullopt;
        }
        const std::size_t bytes = std::size_t{1} << (m & 0xF);
        if (!fits(pos + 1, bytes)) {
            return std::nullopt;
        }
        n = bigEndian(s_.data() + pos + 1, bytes);
        pos += 1 + bytes;
        return n;
    }

    // Dictionaries hold twice `count` references, keys first.
    std::optional<Container> container(uint64_t offset) const {
        const uint8_t m = markerAt(offset);
        const bool dict = (m >> 4) == 0xD;
        uint64_t pos = offset + 1;
        auto n = count(m, pos);
        if (!n || (dict && *n > tableOffset_)) {
            return std::nullopt;
        }
        const uint64_t refs = dict ? 2 * *n : *n;
        if (refs > tableOffset_ / refSize_ || !fits(pos, refs * refSize_)) {
            return std::nullopt;
        }
        return Container{*n, pos};
    }
    uint64_t refAt(const Container& c, uint64_t i) const {
        return bigEndian(s_.data() + c.refs + i * refSize_, refSize_);
    }

    std::optional<uint64_t> uid(uint64_t offset) const {
        const uint8_t m = markerAt(offset);
        const std::size_t n = (m & 0xF) + 1;
        if ((m >> 4) != 0x8 || n > 8 || !fits(offset + 1, n)) {
            return std::nullopt;
        }
        return bigEndian(s_.data() + offset + 1, n);
    }

    // ASCII text in place (marker 0x5).
    std::optional<std::string_view> ascii(uint64_t offset) const {
        const uint8_t m = markerAt(offset);
        if (m >> 4 != 0x5) {
            return std::nullopt;
        }
        uint64_t pos = offset + 1;
        auto n = count(m, pos);
        if (!n || !fits(pos, *n)) {
            return std::nullopt;
        }
        std::string_view text = s_.substr(pos, *n);
        if (!plat::bplist::isASCII(text)) {
            return std::nullopt;
        }
        return text;
    }

    // An integer of up to 8 bytes.
    std::optional<int64_t> integer(uint64_t offset) const {
        const uint8_t m = markerAt(offset);
        const std::size_t n = std::size_t{1} << (m & 0xF);
        if (m >> 4 != 0x1 || (m & 0xF) > 3 || !fits(offset + 1, n)) {
            return std::nullopt;
        }
        return static_cast<int64_t>(bigEndian(s_.data() + offset + 1, n));
    }

    // A value object: an integer of up to 8 bytes, a real, data or ASCII
    // text; nullopt for any other.
    std::optional<plat::Value> value(uint64_t offset) const {
        const uint8_t m = markerAt(offset);
        const uint64_t pos = offset + 1;
        switch (m >> 4) {
            case 0x1: {
                auto number = integer(offset);
                return number ? std::optional<plat::Value>(plat::Value(*number)) : std::nullopt;
            }
            case 0x2:
                if (m == 0x23 && fits(pos, 8)) {
                    const uint64_t bits = bigEndian(s_.data() + pos, 8);
                    double d;
                    std::memcpy(&d, &bits, sizeof d);
                    return plat::Value(d);
                }
                if (m == 0x22 && fits(pos, 4)) {
                    const auto bits = static_cast<uint32_t>(bigEndian(s_.data() + pos, 4));
                    float f;
                    std::memcpy(&f, &bits, sizeof f);
                    return plat::Value(static_cast<double>(f));
                }
                return std::nullopt;
            case 0x4: {
                uint64_t at = pos;
                auto n = count(m, at);
                if (!n || !fits(at, *n)) {
                    return std::nullopt;
                }
                return plat::Value(plat::Data(s_.data() + at, *n));
            }
            case 0x5: {
                auto text = ascii(offset);
                return text ? std::optional<plat::Value>(plat::Value(std::string(*text))) : std::nullopt;
            }
            default:
                return std::nullopt;
        }
    }

  private:
    static uint64_t bigEndian(const char* p, std::size_t n) {
        // Small archives use one-byte references and offsets; the trailer
        // holds eight-byte numbers.
        if (n == 1) {
            return static_cast<uint8_t>(p[0]);
        }
        if (n == 8 && std::endian::native == std::endian::little) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            return __builtin_bswap64(word);
        }
        uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            v = v << 8 | static_cast<uint8_t>(p[i]);
        }
        return v;
    }

    std::string_view s_;
    uint8_t offsetSize_ = 0;
    uint8_t refSize_ = 0;
    uint64_t count_ = 0;
    uint64_t top_ = 0;
    uint64_t tableOffset_ = 0;
};

// Reads the plain form of a change's values straight from the archive's
// binary property list: a keyed archive whose root is an array of distinct
// SYNPropertyChangeValue objects, each holding its class, its property name
// (ASCII text), perhaps its type (an integer), perhaps a value that is nil,
// ASCII text, a number or data, and perhaps a data file's name, a to-one's
// target identifier (nil or ASCII text) and the identifiers a to-many change
// adds and removes (nil or sets of ASCII text). That is what attribute and
// relationship changes store, and reading it here costs a fraction of the
// general unarchiver. Anything else (ordered indexes, other value classes,
// repeated or unknown keys, damage) gives nullopt, and the caller takes the
// general way, which reads the same archive to the same values.
class PlainValuesReader {
  public:
    explicit PlainValuesReader(std::string_view bytes) : bytes_(bytes) {}

    std::optional<plat::Value> read() {
        if (!reader_.open(bytes_)) {
            return std::nullopt;
        }
        Fields root;
        if (!dictionary(reader_.topObject(), root)) {
            return std::nullopt;
        }
        // The keyed archive around the objects.
        const uint64_t archiver = root.find("$archiver");
        const uint64_t top = root.find("$top");
        const uint64_t objects = root.find("$objects");
        if (archiver == kNone || !isString(archiver) || top == kNone || objects == kNone ||
            reader_.markerAt(objects) >> 4 != 0xA) {
            return std::nullopt;
        }
        auto table = reader_.container(objects);
        if (!table || table->count == 0) {
            return std::nullopt;
        }
        objects_ = *table;
        Fields topFields;
        if (!fieldsAtOffset(top, topFields)) {
            return std::nullopt;
        }
        // The root: an array.
        Fields array;
        auto rootID = uidAt(topFields.find("root"));
        if (!rootID || !object(*rootID, array) ||
            !hasClass(array, arrayClass_, "NSArray", "NSMutableArray")) {
            return std::nullopt;
        }
        const uint64_t items = array.find("NS.objects");
        if (items == kNone || reader_.markerAt(items) >> 4 != 0xA) {
            return std::nullopt;
        }
        auto refs = reader_.container(items);
        std::array<uint64_t, kMaxValues> seen;
        if (!refs || refs->count > kMaxValues) {
            return std::nullopt;
        }
        plat::Array values;
        values.reserve(refs->count);
        for (uint64_t i = 0; i < refs->count; ++i) {
            auto id = uidAt(offsetOf(reader_.refAt(*refs, i)));
            // A value listed twice is one shared object to the general way.
            if (!id || *id == 0 || std::find(seen.begin(), seen.begin() + i, *id) != seen.begin() + i) {
                return std::nullopt;
            }
            seen[i] = *id;
            auto value = changeValue(*id);
            if (!value) {
                return std::nullopt;
            }
            values.emplace_back(std::move(value));
        }
        return plat::Value(std::move(values));
    }

  private:
    static constexpr uint64_t kNone = UINT64_MAX;

    // A dictionary's keys (ASCII text) and the offsets of their values.
    // Archives of more values go the general way.
    static constexpr std::size_t kMaxValues = 256;
    // (At most kMaxFields of them: larger ones go the general way.)
    static constexpr std::size_t kMaxFields = 8;
    struct Fields {
        std::array<std::pair<std::string_view, uint64_t>, kMaxFields> entries;
        std::size_t size = 0;
        const std::pair<std::string_view, uint64_t>* begin() const { return entries.data(); }
        const std::pair<std::string_view, uint64_t>* end() const { return entries.data() + size; }
        uint64_t find(std::string_view key) const {
            for (const auto& [name, at] : *this) {
                if (name.size() == key.size() && (key.empty() || name[0] == key[0]) && name == key) {
                    return at;
                }
            }
            return kNone;
        }
    };

    uint64_t offsetOf(uint64_t index) {
        auto at = reader_.offsetOf(index);
        return at ? *at : kNone;
    }

    std::optional<std::string_view> ascii(uint64_t at) {
        return at == kNone ? std::nullopt : reader_.ascii(at);
    }

    // The archiver's name: the general way also takes other text, which
    // only this way's quick path leaves to it.
    bool isString(uint64_t at) { return ascii(at).has_value(); }

    // A dictionary object by its index in the whole list, with distinct keys.
    bool dictionary(uint64_t index, Fields& fields) { return fieldsAtOffset(offsetOf(index), fields); }

    bool fieldsAtOffset(uint64_t at, Fields& fields) {
        if (at == kNone || reader_.markerAt(at) >> 4 != 0xD) {
            return false;
        }
        auto c = reader_.container(at);
        if (!c || c->count > kMaxFields) {
            return false;
        }
        fields.size = 0;
        for (uint64_t i = 0; i < c->count; ++i) {
            auto key = ascii(offsetOf(reader_.refAt(*c, i)));
            const uint64_t value = offsetOf(reader_.refAt(*c, c->count + i));
            if (!key || value == kNone || fields.find(*key) != kNone) {
                return false;
            }
            fields.entries[fields.size++] = {*key, value};
        }
        return true;
    }

    std::optional<uint64_t> uidAt(uint64_t at) { return at == kNone ? std::nullopt : reader_.uid(at); }

    // An object of the archive's table by its UID.
    uint64_t objectOffset(uint64_t id) {
        return id < objects_.count ? offsetOf(reader_.refAt(objects_, id)) : kNone;
    }

    bool object(uint64_t id, Fields& fields) { return id != 0 && fieldsAtOffset(objectOffset(id), fields); }

    // Whether the object's class is named one of the names (the class's
    // UID is remembered once checked).
    bool hasClass(const Fields& fields, uint64_t& known, std::string_view name,
                  std::string_view otherName = {}) {
        auto id = uidAt(fields.find("$class"));
        if (!id) {
            return false;
        }
        if (*id == known) {
            return true;
        }
        Fields description;
        if (!object(*id, description)) {
            return false;
        }
        auto stored = ascii(description.find("$classname"));
        if (!stored || (*stored != name && (otherName.empty() || *stored != otherName))) {
            return false;
        }
        known = *id;
        return true;
    }

    std::shared_ptr<const SYNPropertyChangeValue> changeValue(uint64_t id) {
        Fields fields;
        if (!object(id, fields) || !hasClass(fields, valueClass_, kClassName)) {
            return nullptr;
        }
        uint64_t name = kNone, type = kNone, value = kNone;
        uint64_t filename = kNone, related = kNone, added = kNone, removed = kNone;
        for (const auto& [key, at] : fields) {
            if (key == "propertyName") {
                name = at;
            } else if (key == "type") {
                type = at;
            } else if (key == "value") {
                value = at;
            } else if (key == "relatedIdentifier") {
                related = at;
            } else if (key == "addedIdentifiers") {
                added = at;
            } else if (key == "removedIdentifiers") {
                removed = at;
            } else if (key == "filename") {
                filename = at;
            } else if (key != "$class") {
                return nullptr;  // ordered indexes or unknown: the general way reads them
            }
        }
        auto nameID = uidAt(name);
        auto propertyName = nameID && *nameID != 0 ? ascii(objectOffset(*nameID)) : std::nullopt;
        if (!propertyName) {
            return nullptr;
        }
        int64_t typeNumber = 0;
        if (type != kNone) {
            auto number = reader_.integer(type);
            if (!number) {
                return nullptr;
            }
            typeNumber = *number;
        }
        std::optional<plat::Value> decoded;
        if (value != kNone) {
            auto valueID = uidAt(value);
            if (!valueID) {
                return nullptr;
            }
            if (*valueID != 0) {
                const uint64_t at = objectOffset(*valueID);
                decoded = at == kNone ? std::nullopt : reader_.value(at);
                if (!decoded) {
                    return nullptr;
                }
            }
        }
        auto result = std::make_shared<SYNPropertyChangeValue>(typeNumber, std::string(*propertyName));
        result->setValue(std::move(decoded));
        if (filename != kNone || related != kNone || added != kNone || removed != kNone) {
            std::optional<std::string> file, relatedIdentifier;
            std::set<std::string> addedIdentifiers, removedIdentifiers;
            if (!optionalText(filename, file) || !optionalText(related, relatedIdentifier) ||
                !identifiers(added, addedIdentifiers) || !identifiers(removed, removedIdentifiers)) {
                return nullptr;
            }
            result->setFilename(std::move(file));
            result->setRelatedIdentifier(std::move(relatedIdentifier));
            result->setAddedIdentifiers(std::move(addedIdentifiers));
            result->setRemovedIdentifiers(std::move(removedIdentifiers));
        }
        return result;
    }

    // What an optional field names: nothing (absent, or nil), an object (its
    // id), or something unreadable.
    enum class Named { Nothing, Object, Bad };
    Named namedObject(uint64_t field, uint64_t& id) {
        if (field == kNone) {
            return Named::Nothing;
        }
        auto uid = uidAt(field);
        if (!uid) {
            return Named::Bad;
        }
        id = *uid;
        return id == 0 ? Named::Nothing : Named::Object;
    }

    // A field naming nil ($null) or ASCII text; an absent field leaves the
    // text empty. False for anything else (NSNull, other text), which the
    // general way reads.
    bool optionalText(uint64_t field, std::optional<std::string>& text) {
        uint64_t id = 0;
        if (auto named = namedObject(field, id); named != Named::Object) {
            return named == Named::Nothing;
        }
        auto stored = ascii(objectOffset(id));
        if (!stored) {
            return false;
        }
        text.emplace(*stored);
        return true;
    }

    // A field naming nil or a set of ASCII texts (the identifiers a to-many
    // change adds or removes); false for anything else.
    bool identifiers(uint64_t field, std::set<std::string>& members) {
        uint64_t id = 0;
        if (auto named = namedObject(field, id); named != Named::Object) {
            return named == Named::Nothing;
        }
        Fields set;
        if (!object(id, set) || !hasClass(set, setClass_, "NSSet", "NSMutableSet")) {
            return false;
        }
        const uint64_t items = set.find("NS.objects");
        if (items == kNone || reader_.markerAt(items) >> 4 != 0xA) {
            return false;
        }
        auto refs = reader_.container(items);
        if (!refs) {
            return false;
        }
        for (uint64_t i = 0; i < refs->count; ++i) {
            auto member = uidAt(offsetOf(reader_.refAt(*refs, i)));
            auto text = member && *member != 0 ? ascii(objectOffset(*member)) : std::nullopt;
            if (!text) {
                return false;
            }
            members.emplace(*text);
        }
        return true;
    }

    std::string_view bytes_;
    ListReader reader_;
    ListReader::Container objects_;
    uint64_t arrayClass_ = kNone;
    uint64_t valueClass_ = kNone;
    uint64_t setClass_ = kNone;
};

}  // namespace

std::optional<plat::Value> SYNReadPlainPropertyChangeValues(const plat::Data& data) {
    return PlainValuesReader(data.view()).read();
}

std::optional<plat::Value> SYNReadPlainPropertyChangeValues(std::string_view bytes) {
    return PlainValuesReader(bytes).read();
}

namespace {

// The general way: any archive the keyed unarchiver reads.
plat::Result<plat::Value> unarchiveSharedValues(const plat::Data& data) {
    SYNPropertyChangeValue::registerClass();
    auto root = plat::KeyedUnarchiver::unarchivedObjectWithData(data);
    if (!root.ok()) {
        return root.error();
    }
    const plat::Array* items = root.value() ? root.value()->asArray() : nullptr;
    if (items == nullptr) {
        return plat::Error::withDescription(plat::CocoaErrorDomain, plat::CoderReadCorruptError,
                                            kRootFailure);
    }
    for (const auto& item : *items) {
        if (!item.asObjectOf<SYNPropertyChangeValue>()) {
            return plat::Error::withDescription(plat::CocoaErrorDomain, plat::CoderReadCorruptError,
                                                kRootFailure);
        }
    }
    return std::move(*root.value());
}

}  // namespace

plat::Result<plat::Value> SYNUnarchiveSharedPropertyChangeValues(const plat::Data& data) {
    if (SYNIsCompactPropertyChangeValues(data.view())) {
        return SYNReadCompactPropertyChangeValues(data.view());
    }
    if (auto plain = SYNReadPlainPropertyChangeValues(data)) {
        return std::move(*plain);
    }
    return unarchiveSharedValues(data);
}

plat::Result<plat::Value> SYNUnarchiveSharedPropertyChangeValues(std::string_view bytes) {
    if (SYNIsCompactPropertyChangeValues(bytes)) {
        return SYNReadCompactPropertyChangeValues(bytes);
    }
    if (auto plain = SYNReadPlainPropertyChangeValues(bytes)) {
        return std::move(*plain);
    }
    return unarchiveSharedValues(plat::Data(bytes.data(), bytes.size()));
}

plat::Result<std::vector<SYNPropertyChangeValue>> SYNUnarchivePropertyChangeValues(const plat::Data& data) {
    auto shared = SYNUnarchiveSharedPropertyChangeValues(data);
    if (!shared.ok()) {
        return shared.error();
    }
    std::vector<SYNPropertyChangeValue> values;
    values.reserve(shared->asArray()->size());
    for (const auto& item : *shared->asArray()) {
        values.push_back(*item.asObjectOf<SYNPropertyChangeValue>());
    }
    return values;
}
