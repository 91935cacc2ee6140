// Decoding a JSON from, and encoding it to, the generic coding interface.
#include "json/JSON.h"
#include "json/detail/NumberReading.h"

namespace json {
namespace {

// Tries one candidate type; on success `result` holds the decoded value.
template <class T>
bool tryDecode(SingleValueDecodingContainer& c, std::optional<JSON>& result) {
    T v{};
    if (c.decode(v))
        return false;
    result = JSON(plat::Value(v));
    return true;
}

std::optional<JSON> decodeList(SingleValueDecodingContainer& c) {
    plat::Array list;
    plat::ErrorPtr error = c.decodeList([&](Decoder& element) -> plat::ErrorPtr {
        list.push_back(JSON::decode(element).object());
        return nullptr;
    });
    if (error)
        return std::nullopt;
    return JSON(plat::Value(std::move(list)));
}

std::optional<JSON> decodeMap(SingleValueDecodingContainer& c) {
    plat::Dictionary map;
    plat::ErrorPtr error = c.decodeMap([&](const std::string& key, Decoder& member) -> plat::ErrorPtr {
        map.set(key, JSON::decode(member).object());
        return nullptr;
    });
    if (error)
        return std::nullopt;
    return JSON(plat::Value(std::move(map)));
}

plat::ErrorPtr encodeNumber(SingleValueEncodingContainer& c, const plat::Value& n) {
    detail::Integral i = detail::integralOf(n);
    if (i.ok && i.negative && i.magnitude <= uint64_t{1} << 63)
        return c.encode(static_cast<int64_t>(0 - i.magnitude));
    if (i.ok && !i.negative && i.magnitude <= static_cast<uint64_t>(INT64_MAX))
        return c.encode(static_cast<int64_t>(i.magnitude));
    if (i.ok && !i.negative)
        return c.encode(i.magnitude);
    return c.encode(detail::readNumber<double>(n));
}

}  // namespace

JSON JSON::decode(Decoder& decoder) {
    plat::Result<std::shared_ptr<SingleValueDecodingContainer>> container = decoder.singleValueContainer();
    if (!container.ok() || !container.value())
        return JSON();
    SingleValueDecodingContainer& c = *container.value();
    if (c.decodeNil())
        return JSON();
    std::optional<JSON> result;
    // The word-size integers of the candidate order are the 64-bit ones here.
    if (tryDecode<bool>(c, result) || tryDecode<int64_t>(c, result) || tryDecode<int8_t>(c, result) ||
        tryDecode<int16_t>(c, result) || tryDecode<int32_t>(c, result) || tryDecode<int64_t>(c, result) ||
        tryDecode<uint64_t>(c, result) || tryDecode<uint8_t>(c, result) || tryDecode<uint16_t>(c, result) ||
        tryDecode<uint32_t>(c, result) || tryDecode<uint64_t>(c, result) || tryDecode<double>(c, result) ||
        tryDecode<std::string>(c, result))
        return *result;
    if ((result = decodeList(c)))
        return *result;
    if ((result = decodeMap(c)))
        return *result;
    return JSON();
}

plat::ErrorPtr JSON::encode(Encoder& encoder) const {
    std::shared_ptr<SingleValueEncodingContainer> c = encoder.singleValueContainer();
    switch (type_) {
        case Type::Null:
        case Type::Unknown:
            return c->encodeNil();
        case Type::Number:
            return encodeNumber(*c, object_);
        case Type::Bool:
            return c->encode(object_.rawBool());
        case Type::String:
            return c->encode(*object_.asString());
        case Type::Array: {
            const plat::Array& list = *arrayObject();
            return c->encodeList(
                list.size(), [&](std::size_t i, Encoder& e) { return JSON(Stored{}, list[i]).encode(e); });
        }
        case Type::Dictionary: {
            const plat::Dictionary& map = *dictionaryObject();
            return c->encodeMap(map.keys(), [&](const std::string& key, Encoder& e) {
                return JSON(Stored{}, *map.find(key)).encode(e);
            });
        }
    }
    return nullptr;
}

}  // namespace json
