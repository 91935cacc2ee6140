#include "platform/coredata/detail/BinaryValueCoding.h"

#include <algorithm>
#include <climits>
#include <string>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/URL.h"

namespace plat::coredata::binary {
namespace {

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

}  // namespace

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

}  // namespace plat::coredata::binary
