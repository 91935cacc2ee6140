#include "platform/coredata/BinaryStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <map>
#include <set>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/FileWriteEnvironment.h"
#include "platform/foundation/KeyedArchiver.h"

// File layout (integers little-endian; "varint" is LEB128, signed ones
// zig-zag encoded):
//
//   magic[8] | u32 format version |
//   metadata section | objects section            (and nothing after)
//   section    = u64 length | u32 CRC-32 of the bytes | bytes
//   metadata   = one tagged value: a dictionary
//   objects    = entity table: varint n, n names (varint length + UTF-8)
//                blocks:       varint n, n blocks
//                counters:     varint n, n × (root entity name, varint last key)
//   block      = varint entity index | varint n, n columns | varint n, n rows
//   column     = name | u8 kind (0 attribute, 1 to-one, 2 to-many,
//                3 ordered to-many) | attributes: varint attribute type
//   row        = varint primary key | varint version | one slot per column
//   slot       = attribute: tagged value (transformable: Null or Transformed)
//                to-one: Null or Ref; to-many: varint n, n × (entity index, key)
namespace plat::coredata {
namespace {

// 0x89 keeps the file from reading as text (no JSON document starts with
// it); CR LF, 0x1A and LF reveal line-ending conversions.
constexpr std::array<uint8_t, 8> kMagic = {0x89, 'K', 'B', 'S', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t kFormatVersion = 1;
constexpr std::size_t kHeaderSize = kMagic.size() + 4;
constexpr std::size_t kSectionHeaderSize = 12;
constexpr std::size_t kMaxDepth = 256;

enum Tag : uint8_t {
    TagNull = 0,
    TagFalse,
    TagTrue,
    TagInt,
    TagUInt,
    TagReal,
    TagDecimal,
    TagString,
    TagData,
    TagDate,
    TagArray,
    TagDictionary,
    TagSet,
    TagUUID,
    TagURL,
    TagArchived,     // a Coding object as a keyed archive
    TagTransformed,  // a transformable attribute's stored bytes
    TagRef,          // a to-one destination: entity index, primary key
};

enum ColumnKind : uint8_t { ColumnAttribute = 0, ColumnToOne, ColumnToMany, ColumnOrderedToMany };

// Why a file cannot be loaded: the error code and what is wrong.
struct Refusal {
    int64_t code;
    std::string reason;
};
[[noreturn]] void corrupt(std::string reason) {
    throw Refusal{FileReadCorruptFileError, std::move(reason)};
}

// A value the file format cannot hold.
struct Unstorable {
    ErrorPtr error;
};

uint32_t crc32(const uint8_t* bytes, std::size_t length) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i)
        c = table[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

class Writer {
  public:
    void u8(uint8_t v) { out_.push_back(v); }
    void fixed(uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void varint(uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<uint8_t>(v) | 0x80);
            v >>= 7;
        }
        out_.push_back(static_cast<uint8_t>(v));
    }
    void signedVarint(int64_t v) { varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }
    void real(double d) { fixed(std::bit_cast<uint64_t>(d), 8); }
    void bytes(const void* p, std::size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }
    void text(std::string_view s) {
        varint(s.size());
        bytes(s.data(), s.size());
    }
    void section(const Writer& body) {
        fixed(body.out_.size(), 8);
        fixed(crc32(body.out_.data(), body.out_.size()), 4);
        bytes(body.out_.data(), body.out_.size());
    }
    std::vector<uint8_t>& buffer() { return out_; }

  private:
    std::vector<uint8_t> out_;
};

// Reads with bounds checks; every failure is a Refusal naming what was read.
class Reader {
  public:
    Reader(const uint8_t* p, std::size_t n) : p_(p), end_(p + n) {}
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    bool atEnd() const { return p_ == end_; }
    const uint8_t* take(uint64_t n, const char* what) {
        if (n > remaining())
            corrupt(std::string("truncated ") + what);
        const uint8_t* at = p_;
        p_ += n;
        return at;
    }
    uint8_t u8(const char* what) { return *take(1, what); }
    uint64_t fixed(int width, const char* what) {
        const uint8_t* b = take(width, what);
        uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v |= uint64_t{b[i]} << (8 * i);
        return v;
    }
    uint64_t varint(const char* what) {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b = u8(what);
            if (shift == 63 && b > 1)
                corrupt(std::string("number out of range in ") + what);
            v |= uint64_t{b & 0x7Fu} << shift;
            if (!(b & 0x80))
                return v;
        }
        corrupt(std::string("number out of range in ") + what);
    }
    int64_t signedVarint(const char* what) {
        uint64_t u = varint(what);
        return static_cast<int64_t>(u >> 1) ^ -static_cast<int64_t>(u & 1);
    }
    double real(const char* what) { return std::bit_cast<double>(fixed(8, what)); }
    std::string_view text(const char* what) {
        uint64_t n = varint(what);
        return {reinterpret_cast<const char*>(take(n, what)), static_cast<std::size_t>(n)};
    }
    // A count of items of at least minBytes each, so that a damaged count
    // can never make the reader reserve more than the file could hold.
    std::size_t count(const char* what, std::size_t minBytes = 1) {
        uint64_t n = varint(what);
        if (n > remaining() / minBytes)
            corrupt(std::string("impossible count of ") + what);
        return static_cast<std::size_t>(n);
    }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// --- Tagged values -----------------------------------------------------------

void encodeValue(Writer& w, const Value& v, std::size_t depth);

void encodeItems(Writer& w, uint8_t tag, const Array& items, std::size_t depth) {
    w.u8(tag);
    w.varint(items.size());
    for (const auto& item : items)
        encodeValue(w, item, depth + 1);
}

void encodeDecimal(Writer& w, const Decimal& d) {
    w.u8(TagDecimal);
    w.u8(d.isNaN() ? 1 : 0);
    if (d.isNaN())
        return;
    w.u8(d.isNegative() ? 1 : 0);
    w.signedVarint(d.exponent());
    w.text(d.digits());
}

void encodeObject(Writer& w, const Value& v) {
    if (auto uuid = v.asObjectOf<UUIDObject>()) {
        w.u8(TagUUID);
        w.bytes(uuid->uuid().bytes().data(), 16);
    } else if (auto url = v.asObjectOf<URLObject>()) {
        w.u8(TagURL);
        w.text(url->url().absoluteString());
    } else {
        auto archived = KeyedArchiver::archivedDataWithRootObject(v);
        if (!archived)
            throw Unstorable{archived.error()};
        w.u8(TagArchived);
        w.text(archived->view());
    }
}

void encodeValue(Writer& w, const Value& v, std::size_t depth) {
    if (depth > kMaxDepth)
        throw Unstorable{makeError(PersistentStoreSaveError, "A value is nested too deeply to be stored.")};
    switch (v.kind()) {
        case Value::Kind::Null:
            return w.u8(TagNull);
        case Value::Kind::Bool:
            return w.u8(v.rawBool() ? TagTrue : TagFalse);
        case Value::Kind::Int:
            w.u8(TagInt);
            w.u8(static_cast<uint8_t>(v.numberType()));
            return w.signedVarint(v.rawInt());
        case Value::Kind::UInt:
            w.u8(TagUInt);
            w.u8(static_cast<uint8_t>(v.numberType()));
            return w.varint(v.rawUInt());
        case Value::Kind::Double:
            w.u8(TagReal);
            w.u8(static_cast<uint8_t>(v.numberType()));
            return w.real(v.rawDouble());
        case Value::Kind::Decimal:
            return encodeDecimal(w, *v.asDecimal());
        case Value::Kind::String:
            w.u8(TagString);
            return w.text(*v.asString());
        case Value::Kind::Data:
            w.u8(TagData);
            return w.text(v.asData()->view());
        case Value::Kind::Date:
            w.u8(TagDate);
            return w.real(v.asDate()->timeIntervalSinceReferenceDate());
        case Value::Kind::Array:
            return encodeItems(w, TagArray, *v.asArray(), depth);
        case Value::Kind::Set:
            return encodeItems(w, TagSet, v.asSet()->values(), depth);
        case Value::Kind::Dictionary:
            w.u8(TagDictionary);
            w.varint(v.asDictionary()->size());
            for (const auto& [key, item] : *v.asDictionary()) {
                w.text(key);
                encodeValue(w, item, depth + 1);
            }
            return;
        case Value::Kind::Object:
            return encodeObject(w, v);
    }
}

// Integers come back with the width they were stored with when it fits.
Value makeInt(int64_t v, uint8_t type) {
    switch (static_cast<NumberType>(type)) {
        case NumberType::Int8:
            return v >= INT8_MIN && v <= INT8_MAX ? Value(static_cast<int8_t>(v)) : Value(v);
        case NumberType::Int16:
            return v >= INT16_MIN && v <= INT16_MAX ? Value(static_cast<int16_t>(v)) : Value(v);
        case NumberType::Int32:
            return v >= INT32_MIN && v <= INT32_MAX ? Value(static_cast<int32_t>(v)) : Value(v);
        default:
            return Value(v);
    }
}

Value makeUInt(uint64_t v, uint8_t type) {
    switch (static_cast<NumberType>(type)) {
        case NumberType::UInt8:
            return v <= UINT8_MAX ? Value(static_cast<uint8_t>(v)) : Value(v);
        case NumberType::UInt16:
            return v <= UINT16_MAX ? Value(static_cast<uint16_t>(v)) : Value(v);
        case NumberType::UInt32:
            return v <= UINT32_MAX ? Value(static_cast<uint32_t>(v)) : Value(v);
        default:
            return Value(v);
    }
}

Value decodeDecimal(Reader& r) {
    if (r.u8("decimal"))
        return Value(Decimal::notANumber());
    bool negative = r.u8("decimal") != 0;
    int64_t exponent = r.signedVarint("decimal");
    std::string_view digits = r.text("decimal");
    if (digits.size() > static_cast<std::size_t>(Decimal::kMaxDigits) || exponent < INT32_MIN / 2 ||
        exponent > INT32_MAX / 2 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        corrupt("malformed decimal");
    std::string text = (negative ? "-" : "") + (digits.empty() ? std::string("0") : std::string(digits)) +
                       "e" + std::to_string(exponent);
    return Value(Decimal::fromString(text));
}

Value decodeValue(Reader& r, std::size_t depth);

Array decodeItems(Reader& r, std::size_t depth) {
    Array items(r.count("collection"));
    for (auto& item : items)
        item = decodeValue(r, depth + 1);
    return items;
}

Value decodeObject(Reader& r, uint8_t tag) {
    if (tag == TagUUID) {
        UUID::Bytes bytes;
        std::copy_n(r.take(16, "UUID"), 16, bytes.begin());
        return UUIDObject::make(UUID::fromBytes(bytes));
    }
    if (tag == TagURL) {
        auto url = URL::URLWithString(r.text("URL"));
        if (!url)
            corrupt("malformed URL");
        return Value(URLObject::make(*url));
    }
    std::string_view archive = r.text("archived object");
    auto decoded = KeyedUnarchiver::unarchivedObjectWithData(Data(archive.data(), archive.size()));
    if (!decoded)
        corrupt("unreadable archived object: " + decoded.error()->localizedDescription());
    return decoded->value_or(Value());
}

Value decodeValue(Reader& r, std::size_t depth) {
    if (depth > kMaxDepth)
        corrupt("values nested too deeply");
    uint8_t tag = r.u8("value");
    switch (tag) {
        case TagNull:
            return Value();
        case TagFalse:
        case TagTrue:
            return Value(tag == TagTrue);
        case TagInt: {
            uint8_t type = r.u8("integer");
            return makeInt(r.signedVarint("integer"), type);
        }
        case TagUInt: {
            uint8_t type = r.u8("integer");
            return makeUInt(r.varint("integer"), type);
        }
        case TagReal: {
            bool isFloat = static_cast<NumberType>(r.u8("number")) == NumberType::Float;
            double d = r.real("number");
            return isFloat && static_cast<double>(static_cast<float>(d)) == d ? Value(static_cast<float>(d))
                                                                              : Value(d);
        }
        case TagDecimal:
            return decodeDecimal(r);
        case TagString:
            return Value(std::string(r.text("string")));
        case TagData: {
            std::string_view bytes = r.text("data");
            return Value(Data(bytes.data(), bytes.size()));
        }
        case TagDate:
            return Value(Date(r.real("date")));
        case TagArray:
            return Value(decodeItems(r, depth));
        case TagSet: {
            Set set;
            for (auto& item : decodeItems(r, depth))
                set.insert(std::move(item));
            return Value(std::move(set));
        }
        case TagDictionary: {
            std::vector<Dictionary::Entry> entries(r.count("dictionary", 2));
            for (auto& [key, item] : entries) {
                key = std::string(r.text("dictionary key"));
                item = decodeValue(r, depth + 1);
            }
            return Value(Dictionary::fromEntries(std::move(entries)));
        }
        case TagUUID:
        case TagURL:
        case TagArchived:
            return decodeObject(r, tag);
        default:
            corrupt("unknown value tag " + std::to_string(tag));
    }
}

// --- File framing --------------------------------------------------------------

Reader readSection(Reader& file, const char* name) {
    uint64_t length = file.fixed(8, name);
    uint32_t checksum = static_cast<uint32_t>(file.fixed(4, name));
    const uint8_t* bytes = file.take(length, name);
    if (crc32(bytes, length) != checksum)
        corrupt(std::string("checksum mismatch in the ") + name);
    return Reader(bytes, length);
}

// Checks the magic prefix and the version; leaves file at the first section.
void readHeader(Reader& file) {
    if (file.remaining() < kMagic.size() || !std::equal(kMagic.begin(), kMagic.end(), file.take(8, "header")))
        corrupt("not a binary store file");
    uint32_t version = static_cast<uint32_t>(file.fixed(4, "header"));
    if (version != kFormatVersion)
        corrupt("format version " + std::to_string(version) + " is not supported");
}

Dictionary decodeMetadata(Reader section) {
    Value v = decodeValue(section, 0);
    if (!v.isDictionary() || !section.atEnd())
        corrupt("malformed metadata");
    const Dictionary& metadata = *v.asDictionary();
    const Value* type = metadata.find(StoreTypeKey);
    const Value* uuid = metadata.find(StoreUUIDKey);
    const Value* hashes = metadata.find(StoreModelVersionHashesKey);
    if (!type || !type->isString() || *type->asString() != BinaryStoreType)
        corrupt("the metadata does not name the binary store type");
    if (!uuid || !uuid->isString() || uuid->asString()->empty())
        corrupt("the metadata has no store UUID");
    if (!hashes || !hashes->isDictionary())
        corrupt("the metadata has no model version hashes");
    return metadata;
}

std::map<std::string, Data> hashesIn(const Dictionary& metadata) {
    std::map<std::string, Data> hashes;
    for (const auto& [name, hash] : *metadata.find(StoreModelVersionHashesKey)->asDictionary()) {
        if (!hash.isData())
            corrupt("malformed model version hash");
        hashes[name] = *hash.asData();
    }
    return hashes;
}

ErrorPtr refusalError(const Refusal& refusal, const std::string& path) {
    Dictionary info;
    info.set(FilePathErrorKey, Value(path));
    info.set(DebugDescriptionErrorKey, Value(refusal.reason));
    std::string what = refusal.code == FileReadCorruptFileError
                           ? "The file \"" + path + "\" is not a valid binary store: "
                           : "The binary store \"" + path + "\" cannot be opened with this model: ";
    return makeError(refusal.code, what + refusal.reason + ".", std::move(info));
}

// What made a file write fail, in words: the system's reason (disk full,
// read-only file system, permission denied, ...) found in the chain of
// underlying errors, else the error's own description.
std::string writeFailureCause(const Error& error) {
    for (const Error* e = &error; e;) {
        if (e->domain() == POSIXErrorDomain) {
            const int err = static_cast<int>(e->code());
            std::string cause = err == ENOSPC || err == EDQUOT  ? "the disk is full"
                                : err == EROFS                  ? "the volume is read-only"
                                : err == EACCES || err == EPERM ? "permission denied"
                                                                : std::string();
            const std::string reason = std::generic_category().message(err);
            return cause.empty() ? reason + " (errno " + std::to_string(err) + ")"
                                 : cause + " (" + reason + ", errno " + std::to_string(err) + ")";
        }
        const Value* next = e->userInfo().find(UnderlyingErrorKey);
        auto object = next ? next->asObjectOf<Error>() : nullptr;
        e = object.get();
    }
    return error.localizedDescription();
}

ErrorPtr readError(int err, const std::string& path) {
    int64_t code = err == ENOENT   ? FileReadNoSuchFileError
                   : err == EACCES ? FileReadNoPermissionError
                                   : FileReadUnknownError;
    Dictionary info;
    info.set(FilePathErrorKey, Value(path));
    info.set(UnderlyingErrorKey, Value(ObjectPtr(Error::make(POSIXErrorDomain, err))));
    return makeError(code, "The file \"" + path + "\" could not be read.", std::move(info));
}

// Reads up to length bytes at offset; fewer at the end of the file.
Result<std::vector<uint8_t>> readBytes(int fd, uint64_t offset, std::size_t length, const std::string& path) {
    std::vector<uint8_t> bytes(length);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return readError(errno, path);
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

bool isKnownAttributeType(uint64_t raw) {
    if (raw > static_cast<uint64_t>(INT_MAX))
        return false;
    auto type = static_cast<AttributeType>(raw);
    return type == AttributeType::Undefined || attributeTypeFromName(attributeTypeName(type)) == type;
}

bool flag(const Dictionary& options, const char* key) {
    const Value* v = options.find(key);
    return v && v->boolValue();
}

}  // namespace

// --- Writing -------------------------------------------------------------------

class BinaryStore::FileWriter {
  public:
    explicit FileWriter(const BinaryStore& store) : store_(store) {
        auto entities = store.model()->entities();
        for (const auto& e : entities)
            names_.push_back(e->name());
        std::sort(names_.begin(), names_.end());
        for (std::size_t i = 0; i < names_.size(); ++i)
            index_[names_[i]] = i;
    }

    Result<Data> write() {
        try {
            Writer file, metadata, objects;
            file.bytes(kMagic.data(), kMagic.size());
            file.fixed(kFormatVersion, 4);
            encodeValue(metadata, Value(store_.metadata()), 0);
            writeObjects(objects);
            file.section(metadata);
            file.section(objects);
            return Data(std::move(file.buffer()));
        } catch (const Unstorable& u) {
            Dictionary info;
            info.set(UnderlyingErrorKey, Value(ObjectPtr(u.error)));
            return makeError(PersistentStoreSaveError,
                             "The binary store could not store a value: " + u.error->localizedDescription(),
                             std::move(info));
        }
    }

  private:
    void writeObjects(Writer& w) {
        w.varint(names_.size());
        for (const auto& name : names_)
            w.text(name);
        std::map<std::string, std::vector<const Row*>> byEntity;
        for (const auto& [root, table] : store_.tables_) {
            for (const auto& [key, row] : table.rows)
                byEntity[row.snapshot->objectID->entity()->name()].push_back(&row);
        }
        w.varint(byEntity.size());
        for (const auto& [name, rows] : byEntity)
            writeBlock(w, *store_.model()->entityNamed(name), rows);
        w.varint(store_.tables_.size());
        for (const auto& [root, table] : store_.tables_) {
            w.text(root);
            w.varint(static_cast<uint64_t>(table.lastKey));
        }
    }

    void writeBlock(Writer& w, const EntityDescription& entity, const std::vector<const Row*>& rows) {
        std::vector<const PropertyDescription*> columns;
        for (const PropertyDescription* p : entity.properties()) {
            if (!p->isTransient())
                columns.push_back(p);
        }
        w.varint(index_.at(entity.name()));
        w.varint(columns.size());
        for (const PropertyDescription* p : columns)
            writeColumn(w, *p);
        w.varint(rows.size());
        for (const Row* row : rows) {
            w.varint(static_cast<uint64_t>(row->snapshot->objectID->primaryKey()));
            w.varint(row->snapshot->version);
            for (const PropertyDescription* p : columns)
                writeSlot(w, *p, *row);
        }
    }

    static void writeColumn(Writer& w, const PropertyDescription& p) {
        w.text(p.name());
        if (p.isAttribute()) {
            w.u8(ColumnAttribute);
            w.varint(static_cast<uint64_t>(static_cast<const AttributeDescription&>(p).attributeType()));
            return;
        }
        const auto& r = static_cast<const RelationshipDescription&>(p);
        w.u8(!r.isToMany() ? ColumnToOne : (r.isOrdered() ? ColumnOrderedToMany : ColumnToMany));
    }

    // Whether a reference names a row of the store. A row deleted since (the
    // destination of a to-one without inverse) is not written, so the file
    // never names a missing object; an object of another store fails the
    // save, as in the SQLite store.
    bool stored(const ManagedObjectID& id) const {
        if (id.isTemporaryID() || id.storeIdentifier() != store_.identifier())
            throw Unstorable{
                makeError(PersistentStoreSaveError,
                          "A relationship points to " + id.description() + ", which is not in this store.")};
        auto table = store_.tables_.find(id.entity()->rootEntity()->name());
        return table != store_.tables_.end() && table->second.rows.count(id.primaryKey()) > 0;
    }

    void writeRef(Writer& w, const ManagedObjectID& id) {
        w.varint(index_.at(id.entity()->name()));
        w.varint(static_cast<uint64_t>(id.primaryKey()));
    }

    void writeSlot(Writer& w, const PropertyDescription& p, const Row& row) {
        const Value& v = row.snapshot->values[p.index()];
        if (p.isAttribute()) {
            const auto& a = static_cast<const AttributeDescription&>(p);
            if (a.attributeType() != AttributeType::Transformable || v.isNull())
                return encodeValue(w, v, 0);
            auto stored = encodeTransformable(v, a.valueTransformerName());
            if (!stored)
                throw Unstorable{stored.error()};
            w.u8(TagTransformed);
            return w.text(stored->view());
        }
        const auto& r = static_cast<const RelationshipDescription&>(p);
        if (!r.isToMany()) {
            auto id = v.asObjectOf<ManagedObjectID>();
            if (!id || !stored(*id))
                return w.u8(TagNull);
            w.u8(TagRef);
            return writeRef(w, *id);
        }
        static const std::vector<ManagedObjectIDPtr> none;
        const auto& all = r.toManyIndex() < row.toMany.size() ? row.toMany[r.toManyIndex()] : none;
        std::vector<const ManagedObjectID*> members;
        for (const auto& id : all) {
            if (stored(*id))
                members.push_back(id.get());
        }
        w.varint(members.size());
        for (const auto* id : members)
            writeRef(w, *id);
    }

    const BinaryStore& store_;
    std::vector<std::string> names_;
    std::unordered_map<std::string, uint64_t> index_;
};

// --- Reading -------------------------------------------------------------------

// Reads the objects section into the store's tables. With migrating set,
// rows are matched to the model by name: unknown entities and properties are
// dropped, properties the file lacks start at their defaults, and values that
// do not fit a changed type refuse the load (134140). Without it, the file
// must describe exactly the model's properties.
class BinaryStore::FileReader {
  public:
    FileReader(BinaryStore& store, bool migrating) : store_(store), migrating_(migrating) {}

    void read(Reader& r) {
        readEntityTable(r);
        std::size_t blocks = r.count("entity blocks", 3);
        for (std::size_t i = 0; i < blocks; ++i)
            readBlock(r);
        readCounters(r);
        if (!r.atEnd())
            corrupt("unexpected bytes after the objects");
        build();
    }

  private:
    struct Ref {
        uint64_t entity;
        int64_t key;
    };
    struct Column {
        std::string name;
        uint8_t kind;
        AttributeType storedType = AttributeType::Undefined;
        const PropertyDescription* property = nullptr;  // null: not in the model, skipped
    };
    struct Pending {
        const EntityDescription* entity;
        int64_t key;
        uint64_t version;
        std::vector<Value> values;
        std::vector<std::pair<std::size_t, Ref>> toOne;
        std::vector<std::pair<const RelationshipDescription*, std::vector<Ref>>> toMany;
    };

    [[noreturn]] void mismatch(const std::string& reason) {
        if (migrating_)
            throw Refusal{MigrationMissingMappingModelError, reason};
        corrupt(reason);
    }

    void readEntityTable(Reader& r) {
        std::size_t count = r.count("entity names");
        for (std::size_t i = 0; i < count; ++i) {
            std::string_view name = r.text("entity name");
            const EntityDescription* entity = store_.model()->entityNamed(name);
            if (!entity && !migrating_)
                corrupt("unknown entity \"" + std::string(name) + "\"");
            entities_.push_back(entity);
        }
    }

    const EntityDescription* entityAt(uint64_t index) {
        if (index >= entities_.size())
            corrupt("entity index out of range");
        return entities_[index];
    }

    void readBlock(Reader& r) {
        const EntityDescription* entity = entityAt(r.varint("entity block"));
        if (entity && entity->isAbstract())
            corrupt("rows of the abstract entity \"" + entity->name() + "\"");
        std::vector<Column> columns = readColumns(r, entity);
        std::vector<std::pair<std::size_t, Value>> defaults = missingColumns(entity, columns);
        std::size_t rows = r.count("rows", 2);
        for (std::size_t i = 0; i < rows; ++i) {
            Pending row{entity, 0, 0, {}, {}, {}};
            readRow(r, columns, row);
            if (!entity)
                continue;
            for (const auto& [index, value] : defaults)
                row.values[index] = value;
            pending_.push_back(std::move(row));
        }
    }

    std::vector<Column> readColumns(Reader& r, const EntityDescription* entity) {
        std::vector<Column> columns(r.count("columns", 2));
        std::unordered_set<const PropertyDescription*> seen;
        for (auto& c : columns) {
            c.name = std::string(r.text("column name"));
            c.kind = r.u8("column kind");
            if (c.kind > ColumnOrderedToMany)
                corrupt("unknown column kind");
            if (c.kind == ColumnAttribute) {
                uint64_t raw = r.varint("attribute type");
                if (!isKnownAttributeType(raw))
                    corrupt("unknown attribute type " + std::to_string(raw));
                c.storedType = static_cast<AttributeType>(raw);
            }
            if (entity)
                c.property = matchColumn(*entity, c);
            if (c.property && !seen.insert(c.property).second)
                corrupt("the property \"" + c.name + "\" is stored twice");
        }
        return columns;
    }

    const PropertyDescription* matchColumn(const EntityDescription& entity, const Column& c) {
        const PropertyDescription* p = entity.propertyNamed(c.name);
        if (!p || p->isTransient()) {
            if (!migrating_)
                corrupt("unknown property \"" + c.name + "\" of " + entity.name());
            return nullptr;
        }
        uint8_t kind = ColumnAttribute;
        if (p->isRelationship()) {
            const auto& rel = static_cast<const RelationshipDescription&>(*p);
            kind = !rel.isToMany() ? ColumnToOne : (rel.isOrdered() ? ColumnOrderedToMany : ColumnToMany);
        }
        if (kind != c.kind)
            mismatch("the property \"" + c.name + "\" of " + entity.name() + " changed its kind");
        if (kind == ColumnAttribute &&
            c.storedType != static_cast<const AttributeDescription*>(p)->attributeType() && !migrating_)
            corrupt("the attribute \"" + c.name + "\" of " + entity.name() + " is stored with another type");
        return p;
    }

    // Model properties the file does not hold: their defaults when migrating.
    std::vector<std::pair<std::size_t, Value>> missingColumns(const EntityDescription* entity,
                                                              const std::vector<Column>& columns) {
        std::vector<std::pair<std::size_t, Value>> defaults;
        if (!entity)
            return defaults;
        std::vector<bool> present(entity->properties().size(), false);
        for (const auto& c : columns) {
            if (c.property)
                present[c.property->index()] = true;
        }
        for (const PropertyDescription* p : entity->properties()) {
            if (present[p->index()] || p->isTransient())
                continue;
            if (!migrating_)
                corrupt("the property \"" + p->name() + "\" of " + entity->name() + " is missing");
            if (p->isAttribute()) {
                const auto& value = static_cast<const AttributeDescription*>(p)->defaultValue();
                defaults.emplace_back(p->index(), value.value_or(Value()));
            }
        }
        return defaults;
    }

    void readRow(Reader& r, const std::vector<Column>& columns, Pending& row) {
        uint64_t key = r.varint("primary key");
        if (key == 0 || key > static_cast<uint64_t>(INT64_MAX))
            corrupt("invalid primary key");
        row.key = static_cast<int64_t>(key);
        row.version = r.varint("row version");
        if (row.entity)
            row.values.resize(row.entity->properties().size());
        for (const auto& c : columns)
            readSlot(r, c, row);
    }

    void readSlot(Reader& r, const Column& c, Pending& row) {
        if (c.kind == ColumnAttribute)
            return readAttribute(r, c, row);
        if (c.kind == ColumnToOne) {
            uint8_t tag = r.u8("to-one");
            if (tag == TagNull)
                return;
            if (tag != TagRef)
                corrupt("malformed to-one relationship");
            Ref ref = readRef(r);
            if (c.property)
                row.toOne.emplace_back(c.property->index(), ref);
            return;
        }
        std::vector<Ref> refs(r.count("to-many members", 2));
        for (auto& ref : refs)
            ref = readRef(r);
        if (c.property)
            row.toMany.emplace_back(static_cast<const RelationshipDescription*>(c.property), std::move(refs));
    }

    static Ref readRef(Reader& r) {
        uint64_t entity = r.varint("reference");
        uint64_t key = r.varint("reference");
        if (key == 0 || key > static_cast<uint64_t>(INT64_MAX))
            corrupt("invalid reference");
        return Ref{entity, static_cast<int64_t>(key)};
    }

    void readAttribute(Reader& r, const Column& c, Pending& row) {
        Value v;
        if (c.storedType == AttributeType::Transformable) {
            uint8_t tag = r.u8("transformable");
            if (tag == TagTransformed)
                v = decodeStored(r.text("transformable"), c);
            else if (tag != TagNull)
                corrupt("malformed transformable value");
        } else {
            v = decodeValue(r, 0);
        }
        if (!c.property)
            return;
        const auto& a = static_cast<const AttributeDescription&>(*c.property);
        bool storedAsData = c.storedType == AttributeType::Transformable;
        bool wantsData = a.attributeType() == AttributeType::Transformable;
        auto coerced =
            storedAsData == wantsData || v.isNull() ? coerceValue(v, a.attributeType()) : std::nullopt;
        if (!coerced)
            mismatch("a value of \"" + c.name + "\" does not fit its attribute type");
        row.values[a.index()] = std::move(*coerced);
    }

    Value decodeStored(std::string_view bytes, const Column& c) {
        if (!c.property || !c.property->isAttribute())
            return Value();
        const auto& a = static_cast<const AttributeDescription&>(*c.property);
        if (a.attributeType() != AttributeType::Transformable)
            return Value(Data(bytes.data(), bytes.size()));  // refused by the type check
        auto decoded = decodeTransformable(Data(bytes.data(), bytes.size()), a.valueTransformerName());
        if (!decoded)
            throw Refusal{CoreDataError, "the value of \"" + c.name + "\" cannot be decoded: " +
                                             decoded.error()->localizedDescription()};
        return std::move(*decoded);
    }

    void readCounters(Reader& r) {
        std::size_t count = r.count("key counters", 2);
        for (std::size_t i = 0; i < count; ++i) {
            std::string_view root = r.text("key counter");
            uint64_t last = r.varint("key counter");
            if (last > static_cast<uint64_t>(INT64_MAX))
                corrupt("invalid key counter");
            const EntityDescription* entity = store_.model()->entityNamed(root);
            if (!entity && !migrating_)
                corrupt("a key counter of the unknown entity \"" + std::string(root) + "\"");
            if (entity)
                counters_[entity->rootEntity()] =
                    std::max(counters_[entity->rootEntity()], static_cast<int64_t>(last));
        }
    }

    // The ID a reference names; null when its entity is gone (migrating).
    ManagedObjectIDPtr resolve(const Ref& ref, const RelationshipDescription& r) {
        const EntityDescription* entity = entityAt(ref.entity);
        if (!entity)
            return nullptr;
        auto found = ids_.find({entity, ref.key});
        if (found == ids_.end())
            corrupt("a relationship refers to a missing object");
        if (!entity->isKindOfEntity(r.destinationEntity()))
            mismatch("the relationship \"" + r.name() + "\" refers to an object of another entity");
        return found->second;
    }

    void build() {
        std::unordered_map<const EntityDescription*, std::unordered_set<int64_t>> keysByRoot;
        for (const auto& row : pending_) {
            if (!keysByRoot[row.entity->rootEntity()].insert(row.key).second)
                mismatch("the primary key " + std::to_string(row.key) + " is used twice");
            ids_[{row.entity, row.key}] = store_.objectIDFor(row.entity, row.key);
        }
        for (auto& row : pending_)
            buildRow(row);
        for (const auto& [root, last] : counters_) {
            Table& table = store_.tableFor(*root);
            table.lastKey = std::max(table.lastKey, last);
        }
    }

    void buildRow(Pending& row) {
        auto snapshot = std::make_shared<StoreSnapshot>();
        snapshot->objectID = ids_.at({row.entity, row.key});
        snapshot->version = row.version;
        snapshot->values = std::move(row.values);
        for (const auto& [index, ref] : row.toOne) {
            auto* r = static_cast<const RelationshipDescription*>(row.entity->properties()[index]);
            if (auto id = resolve(ref, *r))
                snapshot->values[index] = Value(ObjectPtr(id));
        }
        Row stored{snapshot, std::vector<std::vector<ManagedObjectIDPtr>>(row.entity->toManyCount())};
        for (const auto& [r, refs] : row.toMany) {
            auto& members = stored.toMany[r->toManyIndex()];
            for (const auto& ref : refs) {
                if (auto id = resolve(ref, *r))
                    members.push_back(std::move(id));
            }
        }
        Table& table = store_.tableFor(*row.entity);
        table.rows[row.key] = std::move(stored);
        table.lastKey = std::max(table.lastKey, row.key);
    }

    struct KeyHash {
        std::size_t operator()(const std::pair<const EntityDescription*, int64_t>& k) const {
            return std::hash<const void*>()(k.first) * 31 + std::hash<int64_t>()(k.second);
        }
    };

    BinaryStore& store_;
    bool migrating_;
    std::vector<const EntityDescription*> entities_;  // by file entity index; null: dropped
    std::vector<Pending> pending_;
    std::map<const EntityDescription*, int64_t> counters_;
    std::unordered_map<std::pair<const EntityDescription*, int64_t>, ManagedObjectIDPtr, KeyHash> ids_;
};

// --- The store -----------------------------------------------------------------

BinaryStore::BinaryStore(std::optional<plat::URL> url, std::string configuration, Dictionary options)
    : InMemoryStore(std::move(url), std::move(configuration), std::move(options)) {}

std::string BinaryStore::path() const {
    return URL() && URL()->isFileURL() ? URL()->path() : std::string();
}

bool BinaryStore::migrationAllowed() const {
    return flag(options(), MigratePersistentStoresAutomaticallyOption) &&
           flag(options(), InferMappingModelAutomaticallyOption);
}

ErrorPtr BinaryStore::load(const std::shared_ptr<const ManagedObjectModel>& model) {
    if (path().empty())
        return makeError(PersistentStoreOpenError, "The binary store needs a file URL.");
    if (auto error = InMemoryStore::load(model))
        return error;
    // Temporary files of saves whose process died mid-write hold nothing
    // the store still needs: the file was replaced only after a whole write.
    if (!isReadOnly())
        removeAbandonedAtomicWriteFiles(path());
    knownFile_ = fileIdentity();
    auto contents = FileManager::defaultManager().dataWithContentsOfFile(path());
    if (!contents) {
        if (!isNoSuchFileError(contents.error()) || isReadOnly())
            return contents.error();
        return writeFile();
    }
    if (contents->empty())
        return isReadOnly() ? nullptr : writeFile();
    return loadFile(*contents);
}

ErrorPtr BinaryStore::loadFile(const Data& contents) {
    try {
        Reader file(contents.bytes(), contents.length());
        readHeader(file);
        Dictionary stored = decodeMetadata(readSection(file, "metadata"));
        Reader objects = readSection(file, "objects");
        if (!file.atEnd())
            corrupt("unexpected bytes after the objects");
        bool matches = hashesIn(stored) == model()->entityVersionHashesByName();
        if (!matches && !migrationAllowed())
            throw Refusal{PersistentStoreIncompatibleVersionHashError,
                          "the store was written for another version of the model"};
        // Object IDs carry the store's identifier (in their URIs): check it
        // and set it before reading rows.
        const std::string uuid = *stored.find(StoreUUIDKey)->asString();
        if (!isValidStoreIdentifier(uuid))
            corrupt("the store UUID is not a valid identifier");
        setIdentifier(uuid);
        FileReader(*this, !matches).read(objects);
        Dictionary current = metadata();
        stored.set(StoreModelVersionHashesKey, *current.find(StoreModelVersionHashesKey));
        {
            plat::MutexLock lock(metadataMutex_);
            metadata_ = std::move(stored);
        }
        return !matches && !isReadOnly() ? writeFile() : nullptr;
    } catch (const Refusal& refusal) {
        tables_.clear();
        return refusalError(refusal, path());
    }
}

std::array<uint64_t, 4> BinaryStore::fileIdentity() const {
    struct stat st {};
    if (::stat(path().c_str(), &st) != 0)
        return {};
    const auto modified =
        static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<uint64_t>(st.st_size), modified};
}

ErrorPtr BinaryStore::writeFile() {
    // Every write replaces the whole file with this store's rows: refuse when
    // another coordinator has written it since, rather than drop its saves.
    // (A file that has disappeared is written again.)
    const auto current = fileIdentity();
    if (current != std::array<uint64_t, 4>{} && current != knownFile_) {
        Dictionary info;
        info.set(FilePathErrorKey, Value(path()));
        return makeError(PersistentStoreSaveError,
                         "The binary store \"" + path() +
                             "\" was changed by another coordinator since it was read; add it again to see "
                             "those changes.",
                         std::move(info));
    }
    auto bytes = FileWriter(*this).write();
    if (!bytes)
        return bytes.error();
    if (auto error = FileManager::defaultManager().writeData(*bytes, path(), true)) {
        Dictionary info;
        info.set(UnderlyingErrorKey, Value(ObjectPtr(error)));
        info.set(FilePathErrorKey, Value(path()));
        return makeError(
            PersistentStoreSaveError,
            "The binary store \"" + path() + "\" could not be written: " + writeFailureCause(*error) + ".",
            std::move(info));
    }
    knownFile_ = fileIdentity();
    return nullptr;
}

Result<std::vector<int64_t>> BinaryStore::reservePrimaryKeys(const EntityDescription& entity,
                                                             std::size_t count) {
    auto keys = InMemoryStore::reservePrimaryKeys(entity, count);
    if (!keys || isReadOnly() || count == 0)
        return keys;
    // The counter stays advanced in memory even when the write fails, so
    // that no key is handed out twice in this process either.
    if (auto error = writeFile())
        return error;
    return keys;
}

ErrorPtr BinaryStore::save(const StoreChanges& changes) {
    if (isReadOnly())
        return InMemoryStore::save(changes);
    auto before = tables_;  // rows share their snapshots: a shallow copy
    if (auto error = InMemoryStore::save(changes))
        return error;
    if (auto error = writeFile()) {
        tables_ = std::move(before);
        return error;
    }
    return nullptr;
}

bool BinaryStore::isBinaryStoreFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // never wait on a FIFO
    if (fd < 0)
        return false;
    auto prefix = readBytes(fd, 0, kMagic.size(), path);
    ::close(fd);
    return prefix && prefix->size() == kMagic.size() &&
           std::equal(kMagic.begin(), kMagic.end(), prefix->begin());
}

Result<Dictionary> BinaryStore::metadataForStoreAtPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // never wait on a FIFO
    if (fd < 0)
        return readError(errno, path);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    try {
        auto head = readBytes(fd, 0, kHeaderSize + kSectionHeaderSize, path);
        if (!head)
            return head.error();
        Reader header(head->data(), head->size());
        readHeader(header);
        uint64_t length = header.fixed(8, "metadata");
        header.fixed(4, "metadata");
        struct stat st;
        if (::fstat(fd, &st) != 0)
            return readError(errno, path);
        if (length > static_cast<uint64_t>(st.st_size))
            corrupt("truncated metadata");
        auto section = readBytes(fd, kHeaderSize, kSectionHeaderSize + length, path);
        if (!section)
            return section.error();
        Reader file(section->data(), section->size());
        return decodeMetadata(readSection(file, "metadata"));
    } catch (const Refusal& refusal) {
        return refusalError(refusal, path);
    }
}

void BinaryStore::registerStoreType() {
    PersistentStoreCoordinator::registerStoreType(
        BinaryStoreType,
        [](const std::optional<plat::URL>& url, const std::string& configuration, const Dictionary& options) {
            return std::make_shared<BinaryStore>(url, configuration, options);
        });
}

namespace {
[[maybe_unused]] const bool kRegistered = (BinaryStore::registerStoreType(), true);
}  // namespace

}  // namespace plat::coredata
