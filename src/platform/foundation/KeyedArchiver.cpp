#include "platform/foundation/KeyedArchiver.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <typeinfo>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/detail/BinaryPropertyList.h"

namespace plat {
namespace {

constexpr const char* kNull = "$null";
constexpr int64_t kArchiveVersion = 100000;

ErrorPtr coderError(int64_t code, const std::string& reason) {
    const char* description = code == CoderReadCorruptError
                                  ? "The data couldn’t be read because it isn’t in the correct format."
                                  : "The data couldn’t be written because it isn’t in the correct format.";
    return Error::make(
        CocoaErrorDomain, code,
        Dictionary{{LocalizedDescriptionKey, Value(description)}, {DebugDescriptionErrorKey, Value(reason)}});
}

// Keys beginning with "$" are the archive's own; callers' keys that do are
// stored with one more "$".
std::string escapeKey(std::string_view key) {
    return !key.empty() && key[0] == '$' ? std::string("$") + std::string(key) : std::string(key);
}

struct Registry {
    Mutex mutex;
    // Shared with the unarchivers that look a factory up, so that taking one
    // copies no function.
    std::unordered_map<std::string, std::shared_ptr<const std::function<ObjectPtr(KeyedUnarchiver&)>>>
        factories GUARDED_BY(mutex);
    std::unordered_map<std::type_index, std::vector<std::string>> namesByType GUARDED_BY(mutex);
    // archived name → current name
    std::unordered_map<std::string, std::string> classNames GUARDED_BY(mutex);
    // Changes with every registration or rename, so that what unarchivers
    // remember of classes across archives is dropped when it may be stale.
    std::atomic<uint64_t> generation{0};
};

Registry& registry() {
    static Registry* r = new Registry();  // never destroyed: may be used during exit
    return *r;
}

}  // namespace

// --- KeyedArchiver -----------------------------------------------------------------
//
// Encoding fills a flat table of objects (strings, numbers and data as
// themselves, everything else as a list of fields) and the archive is written
// straight from that table: no tree of values is built for it. The bytes are
// those of a binary property list of the dictionary {"$version", "$archiver",
// "$top", "$objects"} as the property-list writer lays it out: objects in the
// order of a depth-first walk, a dictionary's keys before its values, each
// distinct string once.

namespace {

constexpr const char* kBuiltinNames[] = {"NSArray", "NSSet",  "NSDictionary",
                                         "NSNull",  "NSDate", "NSDecimalNumber"};
// Frames with more keyed fields than this look keys up in a hash index.
constexpr std::size_t kFrameIndexThreshold = 16;

using bplist::sameBytes;

// The first (up to) eight bytes of `s`, zero-padded: compared before the rest.
inline uint64_t headOf(std::string_view s) {
    uint64_t w = 0;
    if (!s.empty())
        std::memcpy(&w, s.data(), std::min<std::size_t>(8, s.size()));
    return w;
}

// A quick hash of short texts (keys, class names), eight bytes at a time.
std::size_t textHash(std::string_view s) {
    const char* p = s.data();
    std::size_t n = s.size();
    uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 31;
    }
    // The last bytes with whole loads (overlapping ones for 4 to 7 bytes):
    // assembling them byte by byte would stall the load that follows.
    uint64_t w = 0;
    if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        w = uint64_t{a} << 32 | b;
    } else if (n > 0) {
        w = uint64_t{static_cast<uint8_t>(p[0])} << 16 | uint64_t{static_cast<uint8_t>(p[n / 2])} << 8 |
            static_cast<uint8_t>(p[n - 1]);
    }
    h = (h ^ w) * 0x94D049BB133111EBULL;
    // Tables take the low bits: fold the high ones down into them.
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    return static_cast<std::size_t>(h ^ (h >> 33));
}

// The thread's spare tables of one kind (archiver's or unarchiver's), lent
// to one object at a time. Once they are destroyed in the thread's exit,
// objects destroyed later find none.
template <class Tables>
Tables* threadSpare() {
    thread_local constinit bool gone = false;
    if (gone)
        return nullptr;
    struct Holder {
        Tables tables;
        ~Holder() { gone = true; }
    };
    thread_local Holder holder;
    return &holder.tables;
}

}  // namespace

struct KeyedArchiver::Spare {
    std::vector<Entry> objects;
    std::vector<Field> fields;
    std::vector<uint64_t> refs;
    std::string keys;
    std::string texts;
    std::vector<Frame> frames;
    std::vector<StringSlot> strings;
    std::vector<std::pair<std::string, uint64_t>> classes;
    FlatHashTable<SharedSlot, SharedTraits> shared;
    std::vector<ObjectPtr> keepAlive;
    bool lent = false;
};

KeyedArchiver::Spare* KeyedArchiver::spare() {
    return threadSpare<Spare>();
}

void KeyedArchiver::swapTables(Spare& s) {
    objects_.swap(s.objects);
    fields_.swap(s.fields);
    refs_.swap(s.refs);
    keys_.swap(s.keys);
    texts_.swap(s.texts);
    frames_.swap(s.frames);
    strings_.swap(s.strings);
    classes_.swap(s.classes);
    std::swap(shared_, s.shared);
    keepAlive_.swap(s.keepAlive);
}

KeyedArchiver::KeyedArchiver() {
    // The thread's spare tables, unless another archiver of this thread
    // holds them (an archiver made while encoding).
    Spare* s = spare();
    if (s && !s->lent) {
        s->lent = true;
        pooled_ = true;
        swapTables(*s);
    }
    // Room for a typical archive (a few objects of a few dozen fields), so
    // that the tables do not grow step by step.
    objects_.reserve(64);
    fields_.reserve(64);
    keys_.reserve(1024);
    texts_.reserve(1024);
    refs_.reserve(32);
    frames_.reserve(4);
    Entry& null = objects_.emplace_back();
    null.isText = true;
    null.textBegin = storeText(kNull);
    null.textLength = std::strlen(kNull);
    null.hash = textHash(kNull);
    if (frames_.empty())
        frames_.emplace_back();
}

KeyedArchiver::~KeyedArchiver() {
    Spare* s = pooled_ ? spare() : nullptr;
    if (!s)
        return;
    s->lent = false;
    // Tables an unusually large archive made big are let go.
    constexpr std::size_t kKept = 1 << 12;
    if (objects_.capacity() > kKept || fields_.capacity() > kKept || refs_.capacity() > kKept ||
        keys_.capacity() > 16 * kKept || texts_.capacity() > 16 * kKept || strings_.size() > kKept ||
        frames_.size() > 64)
        return;
    objects_.clear();
    fields_.clear();
    refs_.clear();
    keys_.clear();
    texts_.clear();
    for (Frame& f : frames_) {
        f.fields.clear();
        f.index.clear();
        f.unkeyed = 0;
    }
    // The string table is emptied slot by slot: one that a large archive
    // (a set of thousands of strings) made big would be swept whole after
    // every small archive that follows on this thread, so it goes instead.
    constexpr std::size_t kKeptStringSlots = 256;
    if (strings_.size() > kKeptStringSlots)
        strings_ = std::vector<StringSlot>();
    else if (stringCount_)
        std::fill(strings_.begin(), strings_.end(), StringSlot());
    classes_.clear();
    shared_.clear();
    keepAlive_.clear();
    swapTables(*s);
}

Result<Data> KeyedArchiver::archivedDataWithRootObject(const Value& root) {
    KeyedArchiver archiver;
    archiver.encodeObject(root, "root");
    return archiver.encodedData();
}

ErrorPtr KeyedArchiver::archiveRootObject(const Value& root, const std::string& path) {
    auto data = archivedDataWithRootObject(root);
    if (!data)
        return data.error();
    return FileManager::defaultManager().writeData(*data, path, true);
}

void KeyedArchiver::fail(std::string reason) {
    if (!error_)
        error_ = coderError(CoderInvalidValueError, reason);
}

// A new field of the innermost frame, or the existing one of the same key
// (which keeps its place, as a dictionary's entry does when it is set again).
KeyedArchiver::Field& KeyedArchiver::addField(std::string_view key, bool escape) {
    Frame& frame = frames_[level_];
    const bool dollar = escape && !key.empty() && key[0] == '$';
    const std::size_t length = key.size() + (dollar ? 1 : 0);
    auto keyOf = [this](const Field& f) { return std::string_view(keys_).substr(f.keyBegin, f.keyLength); };
    auto matches = [&](const Field& f) {
        if (f.keyLength != length)
            return false;
        const char* stored = keys_.data() + f.keyBegin;
        return dollar ? stored[0] == '$' && sameBytes(stored + 1, key.data(), key.size())
                      : sameBytes(stored, key.data(), key.size());
    };
    // Unkeyed fields ("$0", "$1", ...) never repeat and never meet a caller's
    // key, which would have been escaped to "$$...".
    if (escape) {
        if (frame.fields.size() <= kFrameIndexThreshold) {
            for (Field& f : frame.fields)
                if (matches(f))
                    return f;
        } else {
            std::string escaped = dollar ? "$" + std::string(key) : std::string();
            const std::size_t hash = textHash(dollar ? std::string_view(escaped) : key);
            if (frame.index.empty() || 2 * frame.fields.size() >= frame.index.size()) {
                frame.index.assign(std::bit_ceil(std::max<std::size_t>(64, 4 * frame.fields.size())), 0);
                const std::size_t mask = frame.index.size() - 1;
                for (std::size_t i = 0; i < frame.fields.size(); ++i) {
                    std::size_t slot = textHash(keyOf(frame.fields[i])) & mask;
                    while (frame.index[slot])
                        slot = (slot + 1) & mask;
                    frame.index[slot] = static_cast<uint32_t>(i + 1);
                }
            }
            const std::size_t mask = frame.index.size() - 1;
            std::size_t slot = hash & mask;
            for (; frame.index[slot]; slot = (slot + 1) & mask)
                if (matches(frame.fields[frame.index[slot] - 1]))
                    return frame.fields[frame.index[slot] - 1];
            frame.index[slot] = static_cast<uint32_t>(frame.fields.size() + 1);
        }
    } else if (!frame.index.empty()) {
        frame.index.clear();  // rebuilt, unkeyed fields included, when next needed
    }
    Field& f = frame.fields.emplace_back();
    f.keyBegin = static_cast<uint32_t>(keys_.size());
    f.keyLength = static_cast<uint32_t>(length);
    if (dollar)
        keys_ += '$';
    keys_ += key;
    return f;
}

void KeyedArchiver::set(std::string_view key, Value v) {
    Field& f = addField(key, true);
    f.kind = Field::Kind::Scalar;
    f.scalar = std::move(v);
}

void KeyedArchiver::encodeObject(const std::optional<Value>& value, std::string_view key) {
    uint64_t ref = value ? encodeValue(*value, depth_) : 0;
    Field& f = addField(key, true);
    f.kind = Field::Kind::Ref;
    f.ref = ref;
    f.scalar = Value();
}

void KeyedArchiver::encodeString(std::string_view text, std::string_view key) {
    uint64_t ref = depth_ >= kMaxDepth ? (fail("Objects nested too deeply to archive"), 0) : encodeText(text);
    Field& f = addField(key, true);
    f.kind = Field::Kind::Ref;
    f.ref = ref;
    f.scalar = Value();
}

uint64_t KeyedArchiver::storeText(std::string_view text) {
    const uint64_t begin = texts_.size();
    texts_ += text;
    return begin;
}

uint64_t KeyedArchiver::encodeText(std::string_view s) {
    const std::size_t hash = textHash(s);
    if (2 * (stringCount_ + 1) > strings_.size()) {
        std::vector<StringSlot> old(std::max<std::size_t>(32, strings_.size() * 2));
        old.swap(strings_);
        for (const StringSlot& slot : old) {
            if (!slot.object)
                continue;
            std::size_t i = slot.hash & (strings_.size() - 1);
            while (strings_[i].object)
                i = (i + 1) & (strings_.size() - 1);
            strings_[i] = slot;
        }
    }
    const std::size_t mask = strings_.size() - 1;
    std::size_t i = hash & mask;
    for (; strings_[i].object; i = (i + 1) & mask) {
        const StringSlot& slot = strings_[i];
        if (slot.hash == hash && textOf(objects_[slot.object - 1]) == s)
            return slot.object - 1;
    }
    uint64_t ref = reserve();
    Entry& e = objects_[ref];
    e.isText = true;
    e.textBegin = storeText(s);
    e.textLength = s.size();
    e.hash = hash;
    strings_[i] = {hash, ref + 1};
    ++stringCount_;
    return ref;
}

void KeyedArchiver::encodeObject(const std::optional<Value>& value) {
    uint64_t ref = value ? encodeValue(*value, depth_) : 0;
    char key[24];
    key[0] = '$';
    auto end = std::to_chars(key + 1, key + sizeof key, frames_[level_].unkeyed++).ptr;
    Field& f = addField(std::string_view(key, static_cast<std::size_t>(end - key)), false);
    f.kind = Field::Kind::Ref;
    f.ref = ref;
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
    set(key, Value(value));
}
void KeyedArchiver::encodeInt32(int32_t value, std::string_view key) {
    set(key, Value(value));
}
void KeyedArchiver::encodeInt64(int64_t value, std::string_view key) {
    set(key, Value(value));
}
void KeyedArchiver::encodeDouble(double value, std::string_view key) {
    set(key, Value(value));
}
void KeyedArchiver::encodeFloat(float value, std::string_view key) {
    set(key, Value(value));
}

void KeyedArchiver::setClassName(std::string archivedName, std::string className) {
    classNames_[std::move(className)] = std::move(archivedName);
    std::fill(std::begin(builtins_), std::end(builtins_), 0);
}

uint64_t KeyedArchiver::reserve() {
    objects_.emplace_back();
    return objects_.size() - 1;
}

uint64_t KeyedArchiver::classReference(const std::string& className) {
    auto found = classNames_.find(className);
    const std::string& name = found == classNames_.end() ? className : found->second;
    for (const auto& [known, ref] : classes_)
        if (known == name)
            return ref;
    uint64_t ref = reserve();
    Entry& e = objects_[ref];
    e.hasFields = true;
    e.fieldsBegin = static_cast<uint32_t>(fields_.size());
    const uint64_t text = storeText(name);
    Field* f = &appendField("$classname");
    f->kind = Field::Kind::Text;
    f->ref = text;
    f->count = name.size();
    f = &appendField("$classes");
    f->kind = Field::Kind::ClassChain;
    f->ref = text;
    f->count = name.size();
    objects_[ref].fieldsEnd = static_cast<uint32_t>(fields_.size());
    classes_.emplace_back(name, ref);
    return ref;
}

uint64_t KeyedArchiver::builtinClass(Builtin cls) {
    if (!builtins_[cls])
        builtins_[cls] = classReference(kBuiltinNames[cls]);
    return builtins_[cls];
}

// Moves the innermost frame's fields to the finished ones, adds "$class"
// later, and returns where they start.
uint32_t KeyedArchiver::closeFrame() {
    Frame& frame = frames_[level_];
    auto begin = static_cast<uint32_t>(fields_.size());
    fields_.insert(fields_.end(), std::make_move_iterator(frame.fields.begin()),
                   std::make_move_iterator(frame.fields.end()));
    frame.fields.clear();
    frame.index.clear();
    frame.unkeyed = 0;
    --level_;
    return begin;
}

// A container's place in the table comes before its items, as in a
// depth-first walk; its class comes after them.
uint64_t KeyedArchiver::encodeItems(const Value* items, std::size_t count, Builtin cls, std::size_t depth) {
    uint64_t ref = reserve();
    uint64_t small[16];
    std::vector<uint64_t> large;
    uint64_t* refs = small;
    if (count > std::size(small)) {
        large.resize(count);
        refs = large.data();
    }
    for (std::size_t i = 0; i < count; ++i)
        refs[i] = encodeValue(items[i], depth + 1);
    uint64_t clsRef = builtinClass(cls);
    auto begin = static_cast<uint32_t>(fields_.size());
    Field& list = appendField("NS.objects");
    list.kind = Field::Kind::Refs;
    list.ref = refs_.size();
    list.count = count;
    refs_.insert(refs_.end(), refs, refs + count);
    return closeObject(ref, begin, clsRef);
}

KeyedArchiver::Field& KeyedArchiver::appendField(std::string_view key) {
    Field& f = fields_.emplace_back();
    f.keyBegin = static_cast<uint32_t>(keys_.size());
    f.keyLength = static_cast<uint32_t>(key.size());
    keys_ += key;
    return f;
}

// Ends the fields of object `ref`, begun at `fieldsBegin`, with its "$class".
uint64_t KeyedArchiver::closeObject(uint64_t ref, uint32_t fieldsBegin, uint64_t classRef) {
    appendField("$class").ref = classRef;
    Entry& e = objects_[ref];
    e.hasFields = true;
    e.fieldsBegin = fieldsBegin;
    e.fieldsEnd = static_cast<uint32_t>(fields_.size());
    return ref;
}

uint64_t KeyedArchiver::encodeValue(const Value& v, std::size_t depth) {
    if (depth >= kMaxDepth) {
        fail("Objects nested too deeply to archive");
        return 0;
    }
    // Objects with a class and plain fields: {field..., "$class"}.
    auto classed = [this](Builtin cls, const char* key, Value field) {
        uint64_t ref = reserve();
        uint64_t clsRef = builtinClass(cls);
        auto begin = static_cast<uint32_t>(fields_.size());
        if (key) {
            Field& f = appendField(key);
            if (const std::string* text = field.asString()) {
                f.kind = Field::Kind::Text;
                f.ref = storeText(*text);
                f.count = text->size();
            } else {
                f.kind = Field::Kind::Scalar;
                f.scalar = std::move(field);
            }
        }
        return closeObject(ref, begin, clsRef);
    };
    switch (v.kind()) {
        case Value::Kind::String:
            return encodeText(*v.asString());
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::UInt:
        case Value::Kind::Double:
        case Value::Kind::Data: {
            uint64_t ref = reserve();
            objects_[ref].scalar = v;
            return ref;
        }
        case Value::Kind::Null:
            return classed(kNSNull, nullptr, Value());
        case Value::Kind::Date:
            return classed(kNSDate, "NS.time", Value(v.asDate()->timeIntervalSinceReferenceDate()));
        case Value::Kind::Decimal:
            return classed(kNSDecimalNumber, "NS.decimal", Value(v.asDecimal()->toString()));
        case Value::Kind::Array:
            return encodeItems(v.asArray()->data(), v.asArray()->size(), kNSArray, depth);
        case Value::Kind::Set: {
            const auto& values = v.asSet()->values();
            return encodeItems(values.data(), values.size(), kNSSet, depth);
        }
        case Value::Kind::Dictionary:
            return encodeDict(*v.asDictionary(), depth);
        case Value::Kind::Object: {
            ObjectPtr object = v.asObject();
            auto* coding = dynamic_cast<const Coding*>(object.get());
            if (!coding) {
                fail(std::string("Objects of class ") + object->className() + " cannot be archived");
                return 0;
            }
            return encodeCoding(object, *coding, depth);
        }
    }
    return 0;
}

uint64_t KeyedArchiver::encodeDict(const Dictionary& d, std::size_t depth) {
    if (depth >= kMaxDepth) {
        fail("Objects nested too deeply to archive");
        return 0;
    }
    uint64_t ref = reserve();
    uint64_t small[16];
    std::vector<uint64_t> large;
    uint64_t* refs = small;
    if (2 * d.size() > std::size(small)) {
        large.resize(2 * d.size());
        refs = large.data();
    }
    std::size_t i = 0;
    for (const auto& [key, item] : d) {
        if (depth + 1 >= kMaxDepth) {
            fail("Objects nested too deeply to archive");
            refs[i] = 0;
        } else {
            refs[i] = encodeText(key);
        }
        refs[d.size() + i] = encodeValue(item, depth + 1);
        ++i;
    }
    uint64_t clsRef = builtinClass(kNSDictionary);
    auto begin = static_cast<uint32_t>(fields_.size());
    for (int part = 0; part < 2; ++part) {
        Field& f = appendField(part == 0 ? "NS.keys" : "NS.objects");
        f.kind = Field::Kind::Refs;
        f.ref = refs_.size() + (part == 0 ? 0 : d.size());
        f.count = d.size();
    }
    refs_.insert(refs_.end(), refs, refs + 2 * d.size());
    return closeObject(ref, begin, clsRef);
}

void KeyedArchiver::encodeDictionary(const Dictionary& dict, std::string_view key) {
    uint64_t ref = encodeDict(dict, depth_);
    Field& f = addField(key, true);
    f.kind = Field::Kind::Ref;
    f.ref = ref;
    f.scalar = Value();
}

uint64_t KeyedArchiver::encodeCoding(const ObjectPtr& object, const Coding& coding, std::size_t depth) {
    const std::size_t hash = std::hash<const Object*>()(object.get());
    if (const SharedSlot* found = shared_.find(object.get(), hash))
        return found->ref;
    uint64_t ref = reserve();
    shared_.insertNew(hash, {object.get(), ref});
    keepAlive_.push_back(object);
    uint64_t cls = classReference(coding.className());
    if (++level_ == frames_.size())
        frames_.emplace_back().fields.reserve(32);
    std::size_t savedDepth = depth_;
    depth_ = depth + 1;
    coding.encodeWithCoder(*this);
    depth_ = savedDepth;
    uint32_t begin = closeFrame();
    return closeObject(ref, begin, cls);
}

namespace detail {

using bplist::integerSize;
using bplist::markerSize;
using bplist::putBigEndian;
using bplist::putInteger;
using bplist::putMarker;

// Writes an archiver's table as a binary property list (see above).
class ArchiveWriter {
  public:
    explicit ArchiveWriter(const KeyedArchiver& archiver)
        : a_(archiver), nodes_(scratch().nodes), refs_(scratch().refs), slots_(scratch().slots) {}
    ~ArchiveWriter() {
        // The tables are kept for the thread's next archive, unless an
        // unusually large one made them big.
        Scratch& s = scratch();
        if (s.nodes.capacity() > kKeptNodes) {
            s = Scratch();
        } else {
            s.nodes.clear();
            s.refs.clear();
            s.offsets.clear();
        }
    }

    Result<Data> write() {
        const std::string_view topKeys[] = {"$version", "$archiver", "$top", "$objects"};
        const std::size_t fields = a_.fields_.size() + a_.frames_.front().fields.size();
        nodes_.reserve(16 + a_.objects_.size() + 2 * fields + a_.refs_.size());
        refs_.reserve(16 + a_.objects_.size() + 2 * fields + a_.refs_.size());
        slots_.assign(std::bit_ceil(2 * (16 + a_.objects_.size() + fields)), Slot());
        uint64_t root = push(Type::Dict);
        std::size_t begin = reserveRefs(root, 8);
        for (std::size_t i = 0; i < 4; ++i)
            refs_[begin + i] = addString(topKeys[i]);
        refs_[begin + 4] = push(Type::Version);
        refs_[begin + 5] = addString("NSKeyedArchiver");
        const auto& top = a_.frames_.front().fields;
        refs_[begin + 6] = addFields(top.data(), top.size());
        const uint64_t objects = push(Type::Array);
        refs_[begin + 7] = objects;
        std::size_t items = reserveRefs(objects, a_.objects_.size());
        for (std::size_t i = 0; i < a_.objects_.size(); ++i) {
            const KeyedArchiver::Entry& e = a_.objects_[i];
            uint64_t node;
            if (e.hasFields)
                node = addFields(a_.fields_.data() + e.fieldsBegin, e.fieldsEnd - e.fieldsBegin);
            else if (e.isText)
                node = addString(a_.textOf(e), e.hash);
            else
                node = addValue(e.scalar);
            refs_[items + i] = node;
        }
        if (invalidText_)
            return invalidTextError();

        // Every object's size is known once the reference size is: the
        // list is written into one buffer of its exact size.
        const std::size_t refSize = bplist::bytesFor(nodes_.size());
        std::vector<uint64_t>& offsets = scratch().offsets;
        offsets.resize(nodes_.size());
        uint64_t size = 8;
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            offsets[i] = size;
            size += byteSize(nodes_[i], refSize);
        }
        const uint64_t tableOffset = size;
        const std::size_t offsetSize = bplist::bytesFor(tableOffset);
        size += nodes_.size() * offsetSize + 32;
        std::vector<uint8_t> out(size);
        uint8_t* p = out.data();
        std::memcpy(p, "bplist00", 8);
        p += 8;
        for (const Node& node : nodes_)
            p = encode(p, node, refSize);
        for (uint64_t o : offsets)
            p = putBigEndian(p, o, offsetSize);
        plat::bplist::putTrailer(p, offsetSize, refSize, nodes_.size(), tableOffset);
        return Data(std::move(out));
    }

  private:
    using Field = KeyedArchiver::Field;
    enum class Type : uint8_t { Dict, Array, String, Scalar, UID, Version };
    struct Node {
        Type type = Type::Dict;
        bool ascii = false;   // String: the text is ASCII
        uint64_t number = 0;  // UID: the reference; Dict, Array: first of refs_
        uint64_t count = 0;   // Dict, Array: number of references
        const Value* value = nullptr;
        std::string_view text;
    };

    uint64_t push(Type type, uint64_t number = 0) {
        Node& node = nodes_.emplace_back();
        node.type = type;
        node.number = number;
        return nodes_.size() - 1;
    }
    std::size_t reserveRefs(uint64_t node, std::size_t count) {
        std::size_t begin = refs_.size();
        refs_.resize(begin + count);
        nodes_[node].number = begin;
        nodes_[node].count = count;
        return begin;
    }
    std::string_view key(const Field& f) const {
        return std::string_view(a_.keys_).substr(f.keyBegin, f.keyLength);
    }
    std::string_view text(const Field& f) const { return std::string_view(a_.texts_).substr(f.ref, f.count); }

    uint64_t addString(std::string_view s) { return addString(s, textHash(s)); }
    // `hash` is textHash(s), when the archiver has it already.
    uint64_t addString(std::string_view s, std::size_t hash) {
        if (2 * (strings_ + 1) > slots_.size())
            grow();
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = hash & mask;
        for (; slots_[i].node; i = (i + 1) & mask) {
            if (slots_[i].hash == hash && nodes_[slots_[i].node - 1].text == s)
                return slots_[i].node - 1;
        }
        const bool ascii = bplist::isASCII(s);
        if (!ascii && !text::isValidUTF8(s))
            invalidText_ = true;
        uint64_t node = push(Type::String);
        nodes_[node].text = s;
        nodes_[node].ascii = ascii;
        ++strings_;
        slots_[i] = {hash, node + 1};
        return node;
    }
    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(128, slots_.size() * 2));
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (!slot.node)
                continue;
            std::size_t i = slot.hash & mask;
            while (slots_[i].node)
                i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    uint64_t addValue(const Value& v) {
        if (const std::string* s = v.asString())
            return addString(*s);
        uint64_t node = push(Type::Scalar);
        nodes_[node].value = &v;
        return node;
    }

    uint64_t addFields(const Field* fields, std::size_t n) {
        uint64_t dict = push(Type::Dict);
        std::size_t begin = reserveRefs(dict, 2 * n);
        for (std::size_t i = 0; i < n; ++i)
            refs_[begin + i] = addString(key(fields[i]));
        for (std::size_t i = 0; i < n; ++i) {
            const Field& f = fields[i];
            uint64_t node = 0;
            switch (f.kind) {
                case Field::Kind::Ref:
                    node = push(Type::UID, f.ref);
                    break;
                case Field::Kind::Scalar:
                    node = addValue(f.scalar);
                    break;
                case Field::Kind::Text:
                    node = addString(text(f));
                    break;
                case Field::Kind::Refs: {
                    node = push(Type::Array);
                    std::size_t items = reserveRefs(node, f.count);
                    for (std::size_t j = 0; j < f.count; ++j)
                        refs_[items + j] = push(Type::UID, a_.refs_[f.ref + j]);
                    break;
                }
                case Field::Kind::ClassChain: {
                    node = push(Type::Array);
                    std::size_t items = reserveRefs(node, 2);
                    refs_[items] = addString(text(f));
                    refs_[items + 1] = addString("NSObject");
                    break;
                }
            }
            refs_[begin + n + i] = node;
        }
        return dict;
    }

    std::size_t byteSize(Node& node, std::size_t refSize) {
        switch (node.type) {
            case Type::Dict:
                return markerSize(node.count / 2) + node.count * refSize;
            case Type::Array:
                return markerSize(node.count) + node.count * refSize;
            case Type::String:
                if (node.ascii)
                    return markerSize(node.text.size()) + node.text.size();
                units_.push_back(text::toUTF16(node.text));
                node.number = units_.size();
                return markerSize(units_.back().size()) + 2 * units_.back().size();
            case Type::UID:
                return 1 + bplist::bytesFor(node.number);
            case Type::Version:
                return integerSize(kArchiveVersion, false);
            case Type::Scalar: {
                const Value& v = *node.value;
                switch (v.kind()) {
                    case Value::Kind::Bool:
                        return 1;
                    case Value::Kind::Int:
                        return integerSize(static_cast<uint64_t>(v.rawInt()), v.rawInt() < 0);
                    case Value::Kind::UInt:
                        return integerSize(v.rawUInt(), false);
                    case Value::Kind::Double:
                        return 9;
                    default:  // data: nothing else is stored as itself
                        return markerSize(v.asData()->length()) + v.asData()->length();
                }
            }
        }
        return 0;
    }

    uint8_t* encode(uint8_t* p, const Node& node, std::size_t refSize) const {
        switch (node.type) {
            case Type::Dict:
            case Type::Array: {
                const bool array = node.type == Type::Array;
                p = putMarker(p, array ? 0xA : 0xD, array ? node.count : node.count / 2);
                const uint64_t* refs = refs_.data() + node.number;
                if (refSize == 1) {
                    for (std::size_t i = 0; i < node.count; ++i)
                        *p++ = static_cast<uint8_t>(refs[i]);
                } else {
                    for (std::size_t i = 0; i < node.count; ++i)
                        p = putBigEndian(p, refs[i], refSize);
                }
                return p;
            }
            case Type::String:
                if (node.number == 0) {
                    p = putMarker(p, 0x5, node.text.size());
                    if (!node.text.empty())
                        std::memcpy(p, node.text.data(), node.text.size());
                    return p + node.text.size();
                }
                p = putMarker(p, 0x6, units_[node.number - 1].size());
                for (char16_t u : units_[node.number - 1])
                    p = putBigEndian(p, u, 2);
                return p;
            case Type::UID: {
                std::size_t n = bplist::bytesFor(node.number);
                *p++ = static_cast<uint8_t>(0x80 | (n - 1));
                return putBigEndian(p, node.number, n);
            }
            case Type::Version:
                return putInteger(p, kArchiveVersion, false);
            case Type::Scalar: {
                const Value& v = *node.value;
                switch (v.kind()) {
                    case Value::Kind::Bool:
                        *p++ = v.rawBool() ? 0x09 : 0x08;
                        return p;
                    case Value::Kind::Int:
                        return putInteger(p, static_cast<uint64_t>(v.rawInt()), v.rawInt() < 0);
                    case Value::Kind::UInt:
                        return putInteger(p, v.rawUInt(), false);
                    case Value::Kind::Double: {
                        uint64_t bits;
                        const double d = v.rawDouble();
                        std::memcpy(&bits, &d, sizeof bits);
                        *p++ = 0x23;
                        return putBigEndian(p, bits, 8);
                    }
                    default: {
                        const Data& data = *v.asData();
                        p = putMarker(p, 0x4, data.length());
                        if (data.length())
                            std::memcpy(p, data.bytes(), data.length());
                        return p + data.length();
                    }
                }
            }
        }
        return p;
    }

    // Text that is not UTF-8 cannot be written; the error names the first
    // such string or key in the order the property-list writer checks them.
    ErrorPtr invalidTextError() const {
        auto bad = [](std::string_view s) { return !bplist::isASCII(s) && !text::isValidUTF8(s); };
        const char* reason = nullptr;
        auto checkValue = [&](const Value& v) {
            if (!reason && v.isString() && bad(*v.asString()))
                reason = "string";
        };
        auto checkFields = [&](const Field* fields, std::size_t n) {
            for (std::size_t i = 0; i < n && !reason; ++i) {
                if (bad(key(fields[i])))
                    reason = "key";
                else if (fields[i].kind == Field::Kind::Scalar)
                    checkValue(fields[i].scalar);
                else if ((fields[i].kind == Field::Kind::Text || fields[i].kind == Field::Kind::ClassChain) &&
                         bad(text(fields[i])))
                    reason = "string";
            }
        };
        const auto& top = a_.frames_.front().fields;
        checkFields(top.data(), top.size());
        for (const auto& e : a_.objects_) {
            if (e.hasFields)
                checkFields(a_.fields_.data() + e.fieldsBegin, e.fieldsEnd - e.fieldsBegin);
            else if (e.isText && bad(a_.textOf(e)))
                reason = reason ? reason : "string";
            else
                checkValue(e.scalar);
        }
        std::string text = std::string("Property list invalid for format (") + (reason ? reason : "string") +
                           " is not UTF-8)";
        return Error::make(
            CocoaErrorDomain, PropertyListWriteInvalidError,
            Dictionary{{LocalizedDescriptionKey, Value(text)}, {DebugDescriptionErrorKey, Value(text)}});
    }

    struct Slot {
        std::size_t hash = 0;
        uint64_t node = 0;  // node + 1; 0 is empty
    };

    const KeyedArchiver& a_;
    // Work tables, one set per thread, reused from archive to archive.
    struct Scratch {
        std::vector<Node> nodes;
        std::vector<uint64_t> refs;
        std::vector<Slot> slots;
        std::vector<uint64_t> offsets;
    };
    static constexpr std::size_t kKeptNodes = 1 << 14;
    static Scratch& scratch() {
        thread_local Scratch tables;
        return tables;
    }

    std::vector<Node>& nodes_;
    std::vector<uint64_t>& refs_;
    std::vector<Slot>& slots_;
    std::size_t strings_ = 0;
    std::vector<std::u16string> units_;  // UTF-16 of the strings that are not ASCII
    bool invalidText_ = false;
};

}  // namespace detail

Result<Data> KeyedArchiver::encodedData() {
    if (error_)
        return error_;
    return detail::ArchiveWriter(*this).write();
}

// --- KeyedUnarchiver ---------------------------------------------------------------

void KeyedUnarchiver::registerFactory(std::string name, std::type_index type,
                                      std::function<ObjectPtr(KeyedUnarchiver&)> f) {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    auto& names = r.namesByType[type];
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
    r.factories[std::move(name)] =
        std::make_shared<const std::function<ObjectPtr(KeyedUnarchiver&)>>(std::move(f));
    r.generation.fetch_add(1, std::memory_order_acq_rel);
}

std::vector<std::string> KeyedUnarchiver::registeredNames(std::type_index type) {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    auto found = r.namesByType.find(type);
    return found == r.namesByType.end() ? std::vector<std::string>{} : found->second;
}

void KeyedUnarchiver::setClassForClassName(std::string className, std::string archivedName) {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    r.classNames[std::move(archivedName)] = std::move(className);
    r.generation.fetch_add(1, std::memory_order_acq_rel);
}

// Archives are read straight from their bytes: objects are decoded when
// first referred to, and fields are looked up in the dictionaries as stored.
struct KeyedUnarchiver::Archive {
    Data owned;              // the archive, unless the caller keeps it for the unarchiver's life
    std::string_view bytes;  // the archive read
    detail::bplist::Reader reader;
    detail::bplist::Reader::Container objects;  // "$objects"
    Frame top;                                  // "$top"

    // The start of object `index` of the list, or kNoObject.
    uint64_t at(uint64_t index) const {
        const char* why = nullptr;
        auto offset = reader.offsetOf(index, why);
        return offset ? *offset : kNoObject;
    }
    // The dictionary starting at `offset`.
    std::optional<Frame> dictionary(uint64_t offset) const {
        if (offset == kNoObject || reader.markerAt(offset) >> 4 != 0xD)
            return std::nullopt;
        const char* why = nullptr;
        auto c = reader.container(offset, why);
        if (!c)
            return std::nullopt;
        return Frame{c->count, c->refs};
    }
    // Whether the string starting at `offset` is `key`. ASCII keys compare
    // with the stored bytes; others with the text the stored string reads as.
    bool keyIs(uint64_t offset, std::string_view key, bool asciiKey) const {
        if (offset == kNoObject)
            return false;
        const uint8_t m = reader.markerAt(offset);
        if (asciiKey && m >> 4 == 0x5) {
            uint64_t pos = offset + 1;
            uint64_t n = m & 0xF;
            const char* why = nullptr;
            if (n == 0xF) {
                auto count = reader.count(m, pos, why);
                if (!count)
                    return false;
                n = *count;
            }
            return n == key.size() && reader.fits(pos, n) &&
                   sameBytes(reader.bytes().data() + pos, key.data(), n);
        }
        if (m >> 4 != 0x5 && m >> 4 != 0x6)
            return false;
        const char* why = nullptr;
        auto text = reader.scalar(offset, why);
        return text && *text->asString() == key;
    }
    // The value under `key` (the last entry, should a key repeat).
    uint64_t find(const Frame& dict, std::string_view key) const {
        const detail::bplist::Reader::Container c{dict.count, dict.refs};
        const bool asciiKey = detail::bplist::isASCII(key);
        for (uint64_t i = dict.count; i-- > 0;) {
            if (keyIs(at(reader.refAt(c, i)), key, asciiKey))
                return at(reader.refAt(c, dict.count + i));
        }
        return kNoObject;
    }
};

struct KeyedUnarchiver::Spare {
    std::vector<Frame> frames;
    std::vector<Key> keys;
    std::vector<Decoded> objects;
    std::vector<uint64_t> weights;
    bool lent = false;
    // Classes met in earlier archives on this thread, by archived name:
    // archive after archive names the same few classes.
    std::vector<std::pair<std::string, std::shared_ptr<ClassInfo>>> knownClasses;
    uint64_t generation = 0;
    std::vector<std::pair<uint64_t, std::shared_ptr<ClassInfo>>> classes;
};

KeyedUnarchiver::Spare* KeyedUnarchiver::spare() {
    return threadSpare<Spare>();
}

void KeyedUnarchiver::swapTables(Spare& s) {
    frames_.swap(s.frames);
    keys_.swap(s.keys);
    objects_.swap(s.objects);
    weights_.swap(s.weights);
    classes_.swap(s.classes);
}

KeyedUnarchiver::KeyedUnarchiver(std::unique_ptr<Archive> archive) : archive_(std::move(archive)) {
    // The thread's spare tables, unless another unarchiver holds them.
    Spare* s = spare();
    if (s && !s->lent) {
        s->lent = true;
        pooled_ = true;
        swapTables(*s);
    }
    keys_.reserve(64);
    pushFrame(archive_->top);
    const std::size_t count = archive_->objects.count;
    objects_.resize(count);
}

KeyedUnarchiver::~KeyedUnarchiver() {
    Spare* s = pooled_ ? spare() : nullptr;
    if (!s)
        return;
    s->lent = false;
    // Tables an unusually large archive made big are let go.
    constexpr std::size_t kKept = 1 << 12;
    if (objects_.capacity() > kKept || keys_.capacity() > kKept || frames_.capacity() > 64 ||
        classes_.capacity() > 64)
        return;
    frames_.clear();
    keys_.clear();
    objects_.clear();
    weights_.clear();
    classes_.clear();
    swapTables(*s);
}

Result<std::unique_ptr<KeyedUnarchiver>> KeyedUnarchiver::create(const Data& data) {
    return open(data, false);
}

Result<std::unique_ptr<KeyedUnarchiver>> KeyedUnarchiver::create(Data&& data) {
    if (data.view().substr(0, 8) != "bplist00")
        return open(data, false);
    auto archive = std::make_unique<Archive>();
    archive->owned = std::move(data);
    archive->bytes = archive->owned.view();
    return open(std::move(archive));
}

Result<std::unique_ptr<KeyedUnarchiver>> KeyedUnarchiver::open(const Data& data, bool borrow) {
    auto archive = std::make_unique<Archive>();
    if (data.view().substr(0, 8) == "bplist00") {
        if (!borrow)
            archive->owned = data;
        archive->bytes = borrow ? data.view() : archive->owned.view();
    } else {
        // Archives in other property-list formats are read through their
        // binary form.
        auto plist = PropertyListSerialization::propertyListWithData(data);
        if (!plist)
            return coderError(CoderReadCorruptError, "Not a property list");
        auto binary = PropertyListSerialization::dataWithPropertyList(
            *plist, PropertyListSerialization::Format::Binary);
        if (!binary)
            return coderError(CoderReadCorruptError, "Not a keyed archive");
        archive->owned = std::move(*binary);
        archive->bytes = archive->owned.view();
    }
    return open(std::move(archive));
}

Result<std::unique_ptr<KeyedUnarchiver>> KeyedUnarchiver::open(std::unique_ptr<Archive> archive) {
    const char* why = nullptr;
    detail::bplist::Reader& reader = archive->reader;
    if (!reader.open(archive->bytes, why))
        return coderError(CoderReadCorruptError, "Not a property list");
    auto root = archive->dictionary(archive->at(reader.topObject()));
    auto top = root ? archive->dictionary(archive->find(*root, "$top")) : std::nullopt;
    const uint64_t objects = root ? archive->find(*root, "$objects") : kNoObject;
    auto table = objects != kNoObject && reader.markerAt(objects) >> 4 == 0xA ? reader.container(objects, why)
                                                                              : std::nullopt;
    const uint64_t name = root ? archive->find(*root, "$archiver") : kNoObject;
    // The archiver's name need only be a string: an ASCII one is checked in
    // place, others are read.
    bool named = false;
    if (name != kNoObject && reader.markerAt(name) >> 4 == 0x5) {
        uint64_t pos = name + 1;
        auto n = reader.count(reader.markerAt(name), pos, why);
        named = n && reader.fits(pos, *n) && detail::bplist::isASCII(reader.bytes().substr(pos, *n));
    }
    if (!named && name != kNoObject) {
        auto archiver = reader.scalar(name, why);
        named = archiver && archiver->isString();
    }
    if (!top || !table || table->count == 0 || !named)
        return coderError(CoderReadCorruptError, "Not a keyed archive");
    archive->top = *top;
    archive->objects = *table;
    auto unarchiver = std::unique_ptr<KeyedUnarchiver>(new KeyedUnarchiver(std::move(archive)));
    // Every reference costs bytes of the archive, so archives without
    // multiplying shared containers stay far below this.
    unarchiver->weightLimit_ = std::max<uint64_t>(uint64_t{1} << 20, 64 * uint64_t{reader.bytes().size()});
    return unarchiver;
}

Result<std::optional<Value>> KeyedUnarchiver::unarchivedObjectWithData(const Data& data) {
    // The unarchiver does not outlive the call: it reads the caller's bytes.
    auto unarchiver = open(data, true);
    if (!unarchiver)
        return unarchiver.error();
    return (*unarchiver)->decodeTopLevelObject();
}

Result<std::optional<Value>> KeyedUnarchiver::unarchivedObjectOfClasses(
    const std::vector<std::string>& classes, const Data& data) {
    auto unarchiver = open(data, true);
    if (!unarchiver)
        return unarchiver.error();
    (*unarchiver)->setRequiresSecureCoding(true);
    (*unarchiver)->setAllowedClasses(classes);
    return (*unarchiver)->decodeTopLevelObject();
}

Result<std::optional<Value>> KeyedUnarchiver::unarchiveObjectWithFile(const std::string& path) {
    auto data = FileManager::defaultManager().dataWithContentsOfFile(path);
    if (!data)
        return data.error();
    return unarchivedObjectWithData(*data);
}

void KeyedUnarchiver::setAllowedClasses(std::vector<std::string> classes) {
    allowedClasses_ = std::move(classes);
}

void KeyedUnarchiver::setClass(std::string className, std::string archivedName) {
    classNames_[std::move(archivedName)] = std::move(className);
    classes_.clear();
}

Result<std::optional<Value>> KeyedUnarchiver::decodeTopLevelObject(std::string_view key) {
    auto v = decodeObject(key);
    if (error_)
        return error_;
    return v;
}

std::nullopt_t KeyedUnarchiver::fail(std::string reason) {
    if (!error_)
        error_ = coderError(CoderReadCorruptError, reason);
    return std::nullopt;
}

void KeyedUnarchiver::failWithError(ErrorPtr error) {
    if (!error_)
        error_ = error ? std::move(error) : coderError(CoderReadCorruptError, "Decoding failed");
}

uint64_t KeyedUnarchiver::find(const Frame& dict, std::string_view key) const {
    return archive_->find(dict, key);
}

void KeyedUnarchiver::pushFrame(Frame frame) {
    const detail::bplist::Reader& reader = archive_->reader;
    const detail::bplist::Reader::Container c{frame.count, frame.refs};
    frame.keysBegin = static_cast<uint32_t>(keys_.size());
    for (uint64_t i = 0; i < frame.count; ++i) {
        Key& k = keys_.emplace_back();
        k.keyObject = archive_->at(reader.refAt(c, i));
        k.valueIndex = reader.refAt(c, frame.count + i);
        if (k.keyObject == kNoObject)
            continue;
        const uint8_t m = reader.markerAt(k.keyObject);
        if (m >> 4 != 0x5)
            continue;
        uint64_t pos = k.keyObject + 1;
        const char* why = nullptr;
        auto n = reader.count(m, pos, why);
        if (!n || *n > UINT32_MAX || !reader.fits(pos, *n))
            continue;
        std::string_view text = reader.bytes().substr(pos, *n);
        if (detail::bplist::isASCII(text)) {
            k.text = text.data();
            k.length = static_cast<uint32_t>(text.size());
            k.head = headOf(text);
        }
    }
    frames_.push_back(frame);
}

void KeyedUnarchiver::popFrame() {
    keys_.resize(frames_.back().keysBegin);
    frames_.pop_back();
}

// Looks through the current frame's keys, last first (so that the last of
// repeated keys wins, as when the dictionary is read whole).
uint64_t KeyedUnarchiver::lookup(std::string_view name) const {
    const bool ascii = detail::bplist::isASCII(name);
    const uint64_t head = headOf(name);
    const std::size_t n = name.size();
    for (std::size_t i = keys_.size(); i-- > frames_.back().keysBegin;) {
        const Key& k = keys_[i];
        const bool same = k.text ? ascii && k.length == n && k.head == head &&
                                       (n <= 8 || sameBytes(k.text + 8, name.data() + 8, n - 8))
                                 : archive_->keyIs(k.keyObject, name, false);
        if (same)
            return archive_->at(k.valueIndex);
    }
    return kNoObject;
}

uint64_t KeyedUnarchiver::field(std::string_view name) const {
    if (!name.empty() && name[0] == '$')
        return lookup(escapeKey(name));
    return lookup(name);
}

std::optional<Value> KeyedUnarchiver::scalarField(std::string_view key) const {
    const uint64_t at = field(key);
    if (at == kNoObject)
        return std::nullopt;
    const char* why = nullptr;
    return archive_->reader.scalar(at, why);
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const {
    return field(key) != kNoObject;
}

std::size_t KeyedUnarchiver::fieldCount() const {
    return static_cast<std::size_t>(frames_.back().count);
}

std::optional<Value> KeyedUnarchiver::decodeObject(std::string_view key) {
    return decodeReference(field(key), nullptr);
}

std::optional<Value> KeyedUnarchiver::decodeObjectOfClasses(const std::vector<std::string>& classes,
                                                            std::string_view key) {
    return decodeReference(field(key), &classes);
}

std::optional<Value> KeyedUnarchiver::decodeObject() {
    char key[24];
    key[0] = '$';
    auto end = std::to_chars(key + 1, key + sizeof key, frames_.back().unkeyed++).ptr;
    // Unkeyed values are stored under "$0", "$1", ... without escaping.
    const uint64_t at = lookup(std::string_view(key, static_cast<std::size_t>(end - key)));
    return at == kNoObject ? std::nullopt : decodeReference(at, nullptr);
}

std::optional<Value> KeyedUnarchiver::decodeReference(uint64_t at, const std::vector<std::string>* extra) {
    auto id = at == kNoObject ? std::nullopt : archive_->reader.uid(at);
    if (!id)
        return std::nullopt;
    if (extra)
        allowedStack_.push_back(extra);
    auto v = resolve(*id);
    if (extra)
        allowedStack_.pop_back();
    return v;
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) {
    // A string read for the first time is copied straight from the archive;
    // the value made for it would only be copied again.
    const uint64_t at = field(key);
    auto id = at == kNoObject ? std::nullopt : archive_->reader.uid(at);
    if (id && *id != 0 && *id < objects_.size() && objects_[*id].state == 0 && frames_.size() <= kMaxDepth) {
        const detail::bplist::Reader& reader = archive_->reader;
        const uint64_t object = archive_->at(reader.refAt(archive_->objects, *id));
        if (object != kNoObject && reader.markerAt(object) >> 4 == 0x5) {
            uint64_t pos = object + 1;
            const char* why = nullptr;
            auto n = reader.count(reader.markerAt(object), pos, why);
            if (n && reader.fits(pos, *n)) {
                std::string_view text = reader.bytes().substr(pos, *n);
                if (detail::bplist::isASCII(text)) {
                    addWeight(1);
                    return std::string(text);
                }
            }
        }
    }
    auto v = decodeReference(at, nullptr);
    return v && v->isString() ? std::optional<std::string>(*v->asString()) : std::nullopt;
}

std::optional<Date> KeyedUnarchiver::decodeDate(std::string_view key) {
    auto v = decodeObject(key);
    return v ? v->asDate() : std::nullopt;
}

std::optional<Data> KeyedUnarchiver::decodeData(std::string_view key) {
    auto v = decodeObject(key);
    return v && v->isData() ? std::optional<Data>(*v->asData()) : std::nullopt;
}

std::optional<Array> KeyedUnarchiver::decodeArray(std::string_view key) {
    auto v = decodeObject(key);
    return v && v->isArray() ? std::optional<Array>(*v->asArray()) : std::nullopt;
}

std::optional<Dictionary> KeyedUnarchiver::decodeDictionary(std::string_view key) {
    auto v = decodeObject(key);
    return v && v->isDictionary() ? std::optional<Dictionary>(*v->asDictionary()) : std::nullopt;
}

bool KeyedUnarchiver::decodeBool(std::string_view key) const {
    auto v = scalarField(key);
    return v && v->isNumber() && v->boolValue();
}

int32_t KeyedUnarchiver::decodeInt32(std::string_view key) const {
    auto v = scalarField(key);
    return v && v->isNumber() ? v->intValue() : 0;
}

int64_t KeyedUnarchiver::decodeInt64(std::string_view key) const {
    auto v = scalarField(key);
    return v && v->isNumber() ? v->longLongValue() : 0;
}

double KeyedUnarchiver::decodeDouble(std::string_view key) const {
    auto v = scalarField(key);
    return v && v->isNumber() ? v->doubleValue() : 0;
}

float KeyedUnarchiver::decodeFloat(std::string_view key) const {
    auto v = scalarField(key);
    return v && v->isNumber() ? v->floatValue() : 0;
}

void KeyedUnarchiver::addWeight(uint64_t weight) {
    if (!weights_.empty())
        weights_.back() = std::min(weights_.back() + weight, weightLimit_ + 1);
}

std::optional<Value> KeyedUnarchiver::resolve(uint64_t id) {
    if (id == 0)
        return std::nullopt;
    if (id >= archive_->objects.count)
        return fail("Object reference out of range");
    if (objects_[id].state == 2) {
        addWeight(objects_[id].weight);
        return objects_[id].decoded;
    }
    if (objects_[id].state == 1)
        return fail("Reference cycle in archive");
    if (frames_.size() > kMaxDepth)
        return fail("Objects nested too deeply");
    const uint64_t at = archive_->at(archive_->reader.refAt(archive_->objects, id));
    if (at == kNoObject)
        return fail("Object offset out of range");
    const uint8_t type = archive_->reader.markerAt(at) >> 4;
    std::optional<Value> v;
    if (type == 0xD) {
        auto fields = archive_->dictionary(at);
        if (!fields)
            return fail("Malformed object in archive");
        objects_[id].state = 1;
        // What the object's decoding resolves counts towards its weight.
        weights_.push_back(1);
        v = decodeClassed(*fields);
        objects_[id].weight = weights_.back();
        weights_.pop_back();
        if (v && objects_[id].weight > weightLimit_)
            return fail("Shared objects expand beyond the size limit");
    } else if (type <= 0x6) {
        const char* why = nullptr;
        v = archive_->reader.scalar(at, why);
        if (!v)
            return fail(why);
        if (!v->isString() && !v->isNumber() && !v->isData())
            return fail("Unexpected object in archive");
    } else {
        return fail("Unexpected object in archive");
    }
    if (!v || error_)
        return std::nullopt;
    objects_[id].state = 2;
    objects_[id].decoded = v;
    addWeight(objects_[id].weight);
    return v;
}

std::shared_ptr<KeyedUnarchiver::ClassInfo> KeyedUnarchiver::classOf() {
    const uint64_t ref = lookup("$class");
    auto cls = ref == kNoObject ? std::nullopt : archive_->reader.uid(ref);
    if (!cls || *cls >= archive_->objects.count)
        return fail("Object without a class"), nullptr;
    for (const auto& [index, known] : classes_)
        if (index == *cls)
            return known;
    auto description = archive_->dictionary(archive_->at(archive_->reader.refAt(archive_->objects, *cls)));
    const uint64_t at = description ? find(*description, "$classname") : kNoObject;
    // ASCII names are read in place and first looked for among the classes
    // this thread has met, unless this unarchiver renames classes itself.
    std::string_view stored;
    const detail::bplist::Reader& reader = archive_->reader;
    if (at != kNoObject && reader.markerAt(at) >> 4 == 0x5) {
        uint64_t pos = at + 1;
        const char* why = nullptr;
        auto n = reader.count(reader.markerAt(at), pos, why);
        if (n && reader.fits(pos, *n))
            stored = reader.bytes().substr(pos, *n);
    }
    Spare* known = !stored.empty() && classNames_.empty() ? spare() : nullptr;
    const uint64_t generation = registry().generation.load(std::memory_order_acquire);
    if (known) {
        if (known->generation != generation) {
            known->knownClasses.clear();
            known->generation = generation;
        }
        for (const auto& [name, info] : known->knownClasses)
            if (name == stored) {
                classes_.emplace_back(*cls, info);
                return info;
            }
    }
    const char* why = nullptr;
    auto name = at == kNoObject ? std::nullopt : reader.scalar(at, why);
    if (!name || !name->isString())
        return fail("Malformed class description"), nullptr;
    auto info = std::make_shared<ClassInfo>();
    ClassInfo& c = *info;
    c.name = currentClassName(*name->asString());
    const std::string& n = c.name;
    c.kind = n == "NSArray" || n == "NSMutableArray"             ? ClassKind::Array
             : n == "NSSet" || n == "NSMutableSet"               ? ClassKind::Set
             : n == "NSDictionary" || n == "NSMutableDictionary" ? ClassKind::Dictionary
             : n == "NSNull"                                     ? ClassKind::Null
             : n == "NSDate"                                     ? ClassKind::Date
             : n == "NSDecimalNumber"                            ? ClassKind::Decimal
                                                                 : ClassKind::Custom;
    classes_.emplace_back(*cls, info);
    // A few names are kept; an archive of many classes does not grow the list.
    constexpr std::size_t kKnownClasses = 16;
    if (known && known->knownClasses.size() < kKnownClasses)
        known->knownClasses.emplace_back(std::string(stored), info);
    return info;
}

std::string KeyedUnarchiver::currentClassName(const std::string& archivedName) const {
    if (auto found = classNames_.find(archivedName); found != classNames_.end())
        return found->second;
    Registry& r = registry();
    MutexLock lock(r.mutex);
    auto found = r.classNames.find(archivedName);
    return found == r.classNames.end() ? archivedName : found->second;
}

std::optional<Array> KeyedUnarchiver::decodeReferences(uint64_t at) {
    const detail::bplist::Reader& reader = archive_->reader;
    const char* why = nullptr;
    auto refs = at != kNoObject && reader.markerAt(at) >> 4 == 0xA ? reader.container(at, why) : std::nullopt;
    if (!refs)
        return fail("Malformed collection");
    Array items;
    items.reserve(refs->count);
    for (uint64_t i = 0; i < refs->count; ++i) {
        const uint64_t ref = archive_->at(reader.refAt(*refs, i));
        auto id = ref == kNoObject ? std::nullopt : reader.uid(ref);
        if (!id)
            return fail("Malformed collection");
        auto item = resolve(*id);
        if (!item)
            return error_ ? std::nullopt : fail("Nil inside a collection");
        items.push_back(std::move(*item));
    }
    return items;
}

std::optional<Value> KeyedUnarchiver::decodeClassed(const Frame& fields) {
    pushFrame(fields);
    // Held here: a factory may change class names, which empties the cache.
    std::shared_ptr<ClassInfo> cls = classOf();
    if (!cls) {
        popFrame();
        return std::nullopt;
    }
    std::optional<Value> v;
    if (cls->kind == ClassKind::Array) {
        if (auto items = decodeReferences(lookup("NS.objects")))
            v = Value(std::move(*items));
    } else if (cls->kind == ClassKind::Set) {
        if (auto items = decodeReferences(lookup("NS.objects"))) {
            Set set;
            for (auto& item : *items)
                set.insert(std::move(item));
            v = Value(std::move(set));
        }
    } else if (cls->kind == ClassKind::Dictionary) {
        auto keys = decodeReferences(lookup("NS.keys"));
        auto values = keys ? decodeReferences(lookup("NS.objects")) : std::nullopt;
        if (values && values->size() != keys->size())
            fail("Dictionary keys and values do not match");
        if (values && !error_) {
            Dictionary dict;
            for (std::size_t i = 0; i < keys->size() && !error_; ++i) {
                if (!(*keys)[i].isString())
                    fail("Dictionary key is not a string");
                else
                    dict.set(*(*keys)[i].asString(), std::move((*values)[i]));
            }
            if (!error_)
                v = Value(std::move(dict));
        }
    } else if (cls->kind == ClassKind::Null) {
        v = Value();
    } else if (cls->kind == ClassKind::Date) {
        auto t = scalarField("NS.time");
        if (t && t->isNumber())
            v = Value(Date(t->doubleValue()));
        else
            fail("Malformed date");
    } else if (cls->kind == ClassKind::Decimal) {
        auto text = scalarField("NS.decimal");
        if (text && text->isString())
            v = Value(Decimal::fromString(*text->asString()));
        else
            fail("Malformed decimal number");
    } else {
        v = decodeCustom(*cls);
    }
    popFrame();
    return v;
}

bool KeyedUnarchiver::isAllowed(const std::string& className) const {
    if (!requiresSecureCoding_)
        return true;
    auto listed = [&](const std::vector<std::string>& names) {
        return std::find(names.begin(), names.end(), className) != names.end();
    };
    if (listed(allowedClasses_))
        return true;
    return std::any_of(allowedStack_.begin(), allowedStack_.end(),
                       [&](auto* names) { return listed(*names); });
}

std::optional<Value> KeyedUnarchiver::decodeCustom(ClassInfo& cls) {
    const std::string& className = cls.name;
    if (!isAllowed(className))
        return fail(std::string("Value of class '") + className + "' is not among the allowed classes");
    if (!cls.factoryLooked) {
        Registry& r = registry();
        MutexLock lock(r.mutex);
        auto found = r.factories.find(className);
        if (found != r.factories.end())
            cls.factory = found->second;
        cls.factoryLooked = true;
    }
    const auto& factory = cls.factory;
    if (!factory || !*factory)
        return fail(std::string("Cannot decode object of class (") + className +
                    "): the class is not registered");
    ObjectPtr object = (*factory)(*this);
    if (error_)
        return std::nullopt;
    if (!object)
        return fail(std::string("Object of class (") + className + ") could not be decoded");
    return Value(std::move(object));
}

}  // namespace plat
