// Keyed archiving: object graphs to bytes and back (the platform's keyed
// archiver and unarchiver).
//
// An archive is a binary property list laid out as the platform lays out
// keyed archives: "$archiver", "$version", "$top" (the root objects by key)
// and "$objects", a flat table in which objects refer to each other by
// PropertyListUID. Index 0 is "$null", the nil object. Strings, numbers and
// data are stored as themselves; dates, decimals, arrays, dictionaries, sets,
// null and Coding objects are dictionaries naming their class. An object that
// is encoded twice is stored once, and decoding gives back one shared object.
// Numbers keep their kind (boolean, signed, unsigned, floating), not the
// storage width they were built with.
//
// Objects take part by deriving from Coding: encodeWithCoder writes their
// fields by key, and a factory registered under the class name rebuilds them
// from a KeyedUnarchiver (the platform's initWithCoder:, which does not run
// the ordinary initialiser). Old class names can be mapped to current ones,
// process-wide or per unarchiver, so archives written under an old name still
// decode.
//
// Failures are values, never exceptions: archiving an object that is not
// Coding sets an error and stores nil; decoding damaged, truncated or cyclic
// data, an unknown class, a class not allowed under secure coding, nesting
// deeper than kMaxDepth or shared objects that expand to far more values than
// the archive's size accounts for sets the unarchiver's error and gives nil. Errors are in
// "NSCocoaErrorDomain": 4864 for unreadable archives, 4866 for values that
// cannot be archived.
//
// Threads: an archiver or unarchiver belongs to one thread at a time. The
// class registry and the name table are process-wide and locked; register
// classes before decoding.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeindex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/FlatHashTable.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace plat {

class KeyedArchiver;
class KeyedUnarchiver;
namespace detail {
class ArchiveWriter;
class ArchiveReader;
}  // namespace detail

inline constexpr int64_t CoderReadCorruptError = 4864;
inline constexpr int64_t CoderInvalidValueError = 4866;

// An object that can be archived. className() is the name it is archived under.
class Coding : public Object {
  public:
    virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

class KeyedArchiver {
  public:
    static constexpr std::size_t kMaxDepth = 512;

    KeyedArchiver();
    ~KeyedArchiver();
    KeyedArchiver(const KeyedArchiver&) = delete;
    KeyedArchiver& operator=(const KeyedArchiver&) = delete;

    // The root is stored under the key "root". Fails when something inside
    // cannot be archived.
    static Result<Data> archivedDataWithRootObject(const Value& root);
    // Writes the archive atomically (a temporary file, then a rename).
    [[nodiscard]] static ErrorPtr archiveRootObject(const Value& root, const std::string& path);

    // nullopt encodes nil, which decodes as nullopt; Value() encodes the null
    // object. Keys may be any text, "$" prefixes included.
    void encodeObject(const std::optional<Value>& value, std::string_view key);
    template <class T>
    requires std::is_base_of_v<Object, T>
    void encodeObject(const std::shared_ptr<T>& object, std::string_view key) {
        encodeObject(object ? std::optional<Value>(Value(ObjectPtr(object))) : std::nullopt, key);
    }
    // Unkeyed values: decoded in the same order by KeyedUnarchiver::decodeObject().
    void encodeObject(const std::optional<Value>& value);
    // The same as encodeObject(Value(std::string(text)), key), without
    // building the value.
    void encodeString(std::string_view text, std::string_view key);
    // The same as encodeObject(Value(dict), key), without copying the dictionary.
    void encodeDictionary(const Dictionary& dict, std::string_view key);

    void encodeBool(bool value, std::string_view key);
    void encodeInt32(int32_t value, std::string_view key);
    void encodeInt64(int64_t value, std::string_view key);
    void encodeInteger(int64_t value, std::string_view key) { encodeInt64(value, key); }
    void encodeDouble(double value, std::string_view key);
    void encodeFloat(float value, std::string_view key);

    // Archives objects of class `className` under the name `archivedName`.
    void setClassName(std::string archivedName, std::string className);

    // The archive of everything encoded so far, or the first encoding error.
    // Encoding may continue afterwards only into a fresh archiver.
    Result<Data> encodedData();
    [[nodiscard]] ErrorPtr error() const { return error_; }

  private:
    friend class detail::ArchiveWriter;

    // A field of an object in the table: its key (a range of keys_) and what
    // it holds.
    struct Field {
        enum class Kind : uint8_t {
            Ref,         // a reference to object `ref`
            Scalar,      // `scalar` itself (a number)
            Text,        // the text texts_[ref, ref + count) itself
            Refs,        // a list of `count` references, refs_[ref, ref + count)
            ClassChain,  // the list [texts_[ref, ref + count), "NSObject"]
        };
        uint32_t keyBegin = 0;
        uint32_t keyLength = 0;
        Kind kind = Kind::Ref;
        uint64_t ref = 0;
        uint64_t count = 0;
        Value scalar;
    };
    // An object of the table: a string (texts_[textBegin, textBegin +
    // textLength)), a number or data (`scalar`), or a dictionary of
    // fields_[fieldsBegin, fieldsEnd).
    struct Entry {
        Value scalar;
        bool hasFields = false;
        bool isText = false;
        uint32_t fieldsBegin = 0;
        uint32_t fieldsEnd = 0;
        uint64_t textBegin = 0;
        uint64_t textLength = 0;
        std::size_t hash = 0;  // of the text, for the writer's string table
    };
    // The fields of an object being encoded.
    struct Frame {
        std::vector<Field> fields;
        uint64_t unkeyed = 0;
        // Field positions by key once a frame grows large (position + 1; 0 is empty).
        std::vector<uint32_t> index;
    };
    enum Builtin : uint8_t {
        kNSArray,
        kNSSet,
        kNSDictionary,
        kNSNull,
        kNSDate,
        kNSDecimalNumber,
        kBuiltinCount
    };

    uint64_t encodeValue(const Value& v, std::size_t depth);
    uint64_t encodeDict(const Dictionary& d, std::size_t depth);
    // The string object of `text`, each distinct text stored once.
    uint64_t encodeText(std::string_view text);
    // Appends `text` to texts_ and returns where it starts.
    uint64_t storeText(std::string_view text);
    std::string_view textOf(const Entry& e) const {
        return std::string_view(texts_).substr(e.textBegin, e.textLength);
    }
    uint64_t encodeCoding(const ObjectPtr& object, const Coding& coding, std::size_t depth);
    uint64_t encodeItems(const Value* items, std::size_t count, Builtin cls, std::size_t depth);
    uint64_t classReference(const std::string& className);
    uint64_t builtinClass(Builtin cls);
    uint64_t reserve();
    // Appends a field of the object being built, keyed `key`.
    Field& appendField(std::string_view key);
    uint64_t closeObject(uint64_t ref, uint32_t fieldsBegin, uint64_t classRef);
    Field& addField(std::string_view key, bool escape);
    void set(std::string_view key, Value v);
    uint32_t closeFrame();
    void fail(std::string reason);

    std::vector<Entry> objects_;
    std::vector<Field> fields_;   // fields of finished objects, object by object
    std::vector<uint64_t> refs_;  // reference lists of finished objects
    std::string keys_;            // every field key, one after another
    std::string texts_;           // the text of string objects and text fields
    std::vector<Frame> frames_;   // [0] is "$top"; frames_[level_] is the innermost
    std::size_t level_ = 0;
    std::size_t depth_ = 0;
    // String objects by their text (object index + 1; 0 is empty).
    struct StringSlot {
        std::size_t hash = 0;
        uint64_t object = 0;
    };
    std::vector<StringSlot> strings_;
    std::size_t stringCount_ = 0;
    uint64_t builtins_[kBuiltinCount] = {};
    std::vector<std::pair<std::string, uint64_t>> classes_;  // archived name, object (few per archive)
    struct SharedSlot {
        const Object* object = nullptr;
        uint64_t ref = 0;
    };
    struct SharedTraits {
        static bool used(const SharedSlot& s) { return s.object != nullptr; }
        static std::size_t hash(const SharedSlot& s) { return std::hash<const Object*>()(s.object); }
        static bool matches(const SharedSlot& s, const Object* key, std::size_t) { return s.object == key; }
    };
    FlatHashTable<SharedSlot, SharedTraits> shared_;  // objects archived so far
    std::vector<ObjectPtr> keepAlive_;                // so that addresses in shared_ stay unique
    std::unordered_map<std::string, std::string> classNames_;
    ErrorPtr error_;
    // The thread's spare tables, lent to one archiver at a time so that
    // archive after archive reuses their memory.
    struct Spare;
    static Spare* spare();
    void swapTables(Spare& spare);
    // Whether the tables above came from (and go back to) the thread's spare set.
    bool pooled_ = false;
};

class KeyedUnarchiver {
  public:
    static constexpr std::size_t kMaxDepth = 512;

    // Builds an object from the unarchiver's current object; returns nullptr
    // to make the decode fail.
    template <class T>
    using Factory = std::function<std::shared_ptr<const T>(KeyedUnarchiver&)>;

    // Process-wide class registry: the factory for objects archived as `name`.
    template <class T>
    requires std::is_base_of_v<Object, T>
    static void registerClass(std::string name, Factory<T> factory) {
        registerFactory(std::move(name), typeid(T),
                        [f = std::move(factory)](KeyedUnarchiver& u) -> ObjectPtr { return f(u); });
    }
    // Process-wide: objects archived under `archivedName` decode as the
    // registered class `className` (the platform's setClass:forClassName:).
    static void setClassForClassName(std::string className, std::string archivedName);

    // Fails when data is not a keyed archive at all.
    static Result<std::unique_ptr<KeyedUnarchiver>> create(const Data& data);
    // As above, taking the bytes over rather than copying them.
    static Result<std::unique_ptr<KeyedUnarchiver>> create(Data&& data);

    // The object under "root", nullopt when it is nil. Any decoding failure
    // inside is returned as the error.
    static Result<std::optional<Value>> unarchivedObjectWithData(const Data& data);
    // As above with secure coding: objects of custom classes must be in `classes`
    // (value kinds such as strings, numbers and collections are always allowed).
    static Result<std::optional<Value>> unarchivedObjectOfClasses(const std::vector<std::string>& classes,
                                                                  const Data& data);
    static Result<std::optional<Value>> unarchiveObjectWithFile(const std::string& path);

    ~KeyedUnarchiver();
    KeyedUnarchiver(const KeyedUnarchiver&) = delete;
    KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

    void setRequiresSecureCoding(bool value) { requiresSecureCoding_ = value; }
    bool requiresSecureCoding() const { return requiresSecureCoding_; }
    // Classes allowed everywhere in this unarchiver under secure coding.
    void setAllowedClasses(std::vector<std::string> classes);
    // For this unarchiver only; takes precedence over the process-wide table.
    void setClass(std::string className, std::string archivedName);

    bool containsValueForKey(std::string_view key) const;
    // How many fields the object being decoded stores, "$class" included (a
    // repeated key counts each time): a decoder that has found all of them
    // need not look for optional ones.
    std::size_t fieldCount() const;
    // nullopt for a missing key, nil, a failure or a value that is not an object.
    std::optional<Value> decodeObject(std::string_view key);
    // Under secure coding, objects of `classes` are allowed for this value too.
    std::optional<Value> decodeObjectOfClasses(const std::vector<std::string>& classes, std::string_view key);
    // nullptr when missing, nil or not a T.
    template <class T>
    std::shared_ptr<const T> decodeObjectOfClass(std::string_view key) {
        // The class's names matter only to secure coding.
        auto v = requiresSecureCoding_ ? decodeObjectOfClasses(registeredNames(typeid(T)), key)
                                       : decodeObject(key);
        return v ? v->asObjectOf<T>() : nullptr;
    }
    // The next unkeyed value.
    std::optional<Value> decodeObject();

    // Typed helpers: nullopt when missing or of another kind.
    std::optional<std::string> decodeString(std::string_view key);
    std::optional<Date> decodeDate(std::string_view key);
    std::optional<Data> decodeData(std::string_view key);
    std::optional<Array> decodeArray(std::string_view key);
    std::optional<Dictionary> decodeDictionary(std::string_view key);

    // Missing keys and values of another kind give false / 0.
    bool decodeBool(std::string_view key) const;
    int32_t decodeInt32(std::string_view key) const;
    int64_t decodeInt64(std::string_view key) const;
    int64_t decodeInteger(std::string_view key) const { return decodeInt64(key); }
    double decodeDouble(std::string_view key) const;
    float decodeFloat(std::string_view key) const;

    // Makes the whole decode fail (for factories that find a field missing).
    void failWithError(ErrorPtr error);
    [[nodiscard]] ErrorPtr error() const { return error_; }

    // The object under `key` of "$top"; the error when decoding failed.
    Result<std::optional<Value>> decodeTopLevelObject(std::string_view key = "root");

  private:
    // The archive's bytes and the reader over them.
    struct Archive;
    // A dictionary of the archive being read: its entry count and where its
    // references start.
    struct Frame {
        uint64_t count = 0;
        uint64_t refs = 0;
        uint64_t unkeyed = 0;
        uint32_t keysBegin = 0;  // the frame's keys in keys_, once it is current
    };
    // A key of a current frame, read once when the frame opens.
    struct Key {
        const char* text = nullptr;  // the stored bytes when they are ASCII, else null
        uint32_t length = 0;
        uint64_t head = 0;        // the first (up to) eight bytes of the text, zero-padded
        uint64_t keyObject = 0;   // where the key starts
        uint64_t valueIndex = 0;  // the value's index in the list
    };
    static constexpr uint64_t kNoObject = ~uint64_t{0};

    explicit KeyedUnarchiver(std::unique_ptr<Archive> archive);
    // An unarchiver over `data`, which it copies unless `borrow`: then the
    // caller keeps `data` alive and unchanged for the unarchiver's life.
    static Result<std::unique_ptr<KeyedUnarchiver>> open(const Data& data, bool borrow);
    static Result<std::unique_ptr<KeyedUnarchiver>> open(std::unique_ptr<Archive> archive);
    static void registerFactory(std::string name, std::type_index type,
                                std::function<ObjectPtr(KeyedUnarchiver&)> f);
    static std::vector<std::string> registeredNames(std::type_index type);

    // Where the value under `key` starts in the archive, or kNoObject.
    uint64_t find(const Frame& dict, std::string_view key) const;
    uint64_t field(std::string_view key) const;
    // As field(), for a key as stored (not escaped).
    uint64_t lookup(std::string_view key) const;
    void pushFrame(Frame frame);
    void popFrame();
    // The number, string or data under `key` of the current object.
    std::optional<Value> scalarField(std::string_view key) const;
    std::optional<Value> decodeReference(uint64_t at, const std::vector<std::string>* extraAllowed);
    std::optional<Value> resolve(uint64_t uid);
    void addWeight(uint64_t weight);
    // A class of the archive as this unarchiver decodes it, looked up once
    // per archive rather than once per object.
    enum class ClassKind : uint8_t { Array, Set, Dictionary, Null, Date, Decimal, Custom };
    struct ClassInfo {
        std::string name;  // the current name, after renames
        ClassKind kind = ClassKind::Custom;
        bool factoryLooked = false;
        std::shared_ptr<const std::function<ObjectPtr(KeyedUnarchiver&)>> factory;
    };

    std::optional<Value> decodeClassed(const Frame& fields);
    // The class of the current object.
    std::shared_ptr<ClassInfo> classOf();
    std::optional<Value> decodeCustom(ClassInfo& cls);
    std::optional<Array> decodeReferences(uint64_t at);
    std::string currentClassName(const std::string& archivedName) const;
    bool isAllowed(const std::string& className) const;
    std::nullopt_t fail(std::string reason);

    std::unique_ptr<Archive> archive_;
    std::vector<Frame> frames_;
    std::vector<Key> keys_;  // keys of every current frame, innermost last
    struct Decoded {
        std::optional<Value> decoded;
        // How many values the object stands for, shared parts counted once
        // per reference; decoding refuses objects above weightLimit_.
        uint64_t weight = 1;
        uint8_t state = 0;  // 0 unread, 1 being decoded, 2 decoded
    };
    std::vector<Decoded> objects_;   // by index in the object table
    std::vector<uint64_t> weights_;  // running weight of each object being decoded
    uint64_t weightLimit_ = 0;
    std::vector<const std::vector<std::string>*> allowedStack_;
    std::vector<std::string> allowedClasses_;
    std::unordered_map<std::string, std::string> classNames_;
    // By the class's index in the object table (a few per archive).
    std::vector<std::pair<uint64_t, std::shared_ptr<ClassInfo>>> classes_;
    bool requiresSecureCoding_ = false;
    ErrorPtr error_;
    // The thread's spare tables (frames, keys, objects, weights), lent to one
    // unarchiver at a time so that archive after archive reuses their memory.
    struct Spare;
    static Spare* spare();
    void swapTables(Spare& spare);
    bool pooled_ = false;
};

}  // namespace plat
