#include "json/ValueCoder.h"

#include "json/detail/NumberReading.h"

#include <limits>
#include <string>

namespace json {
namespace {

constexpr int64_t kCoderReadCorruptError = 4864;

plat::ErrorPtr mismatch(const char* expected, const plat::Value& found) {
    return plat::Error::withDescription(
        plat::CocoaErrorDomain, kCoderReadCorruptError,
        std::string("Expected to decode ") + expected + " but found " + found.kindName() + " instead.");
}

template <class T>
plat::ErrorPtr decodeInteger(const plat::Value& v, T& out, const char* name) {
    detail::Integral n = detail::integralOf(v);
    if (!n.ok)
        return mismatch(name, v);
    if (n.negative) {
        if constexpr (std::is_unsigned_v<T>) {
            return mismatch(name, v);
        } else {
            // Magnitude of the most negative T is max + 1.
            uint64_t limit = static_cast<uint64_t>(std::numeric_limits<T>::max()) + 1;
            if (n.magnitude > limit)
                return mismatch(name, v);
            out = static_cast<T>(0 - n.magnitude);
            return nullptr;
        }
    }
    if (n.magnitude > static_cast<uint64_t>(std::numeric_limits<T>::max()))
        return mismatch(name, v);
    out = static_cast<T>(n.magnitude);
    return nullptr;
}

class ValueDecodingContainer : public SingleValueDecodingContainer {
  public:
    explicit ValueDecodingContainer(plat::Value v) : v_(std::move(v)) {}

    bool decodeNil() override { return v_.isNull(); }
    plat::ErrorPtr decode(bool& out) override {
        if (!v_.isBool())
            return mismatch("bool", v_);
        out = v_.rawBool();
        return nullptr;
    }
    plat::ErrorPtr decode(int8_t& out) override { return decodeInteger(v_, out, "int8"); }
    plat::ErrorPtr decode(int16_t& out) override { return decodeInteger(v_, out, "int16"); }
    plat::ErrorPtr decode(int32_t& out) override { return decodeInteger(v_, out, "int32"); }
    plat::ErrorPtr decode(int64_t& out) override { return decodeInteger(v_, out, "int64"); }
    plat::ErrorPtr decode(uint8_t& out) override { return decodeInteger(v_, out, "uint8"); }
    plat::ErrorPtr decode(uint16_t& out) override { return decodeInteger(v_, out, "uint16"); }
    plat::ErrorPtr decode(uint32_t& out) override { return decodeInteger(v_, out, "uint32"); }
    plat::ErrorPtr decode(uint64_t& out) override { return decodeInteger(v_, out, "uint64"); }
    plat::ErrorPtr decode(double& out) override {
        if (!v_.isNumber() || v_.isBool())
            return mismatch("double", v_);
        out = v_.doubleValue();
        return nullptr;
    }
    plat::ErrorPtr decode(std::string& out) override {
        const std::string* s = v_.asString();
        if (!s)
            return mismatch("string", v_);
        out = *s;
        return nullptr;
    }
    plat::ErrorPtr decodeList(const std::function<plat::ErrorPtr(Decoder&)>& element) override {
        const plat::Array* a = v_.asArray();
        if (!a)
            return mismatch("array", v_);
        for (const plat::Value& e : *a) {
            ValueDecoder d(e);
            if (plat::ErrorPtr err = element(d))
                return err;
        }
        return nullptr;
    }
    plat::ErrorPtr decodeMap(
        const std::function<plat::ErrorPtr(const std::string&, Decoder&)>& member) override {
        const plat::Dictionary* m = v_.asDictionary();
        if (!m)
            return mismatch("dictionary", v_);
        for (const auto& [key, value] : *m) {
            ValueDecoder d(value);
            if (plat::ErrorPtr err = member(key, d))
                return err;
        }
        return nullptr;
    }

  private:
    plat::Value v_;
};

class ValueEncodingContainer : public SingleValueEncodingContainer {
  public:
    explicit ValueEncodingContainer(std::shared_ptr<plat::Value> slot) : slot_(std::move(slot)) {}

    plat::ErrorPtr encodeNil() override { return store(plat::Value()); }
    plat::ErrorPtr encode(bool v) override { return store(plat::Value(v)); }
    plat::ErrorPtr encode(int64_t v) override { return store(plat::Value(v)); }
    plat::ErrorPtr encode(uint64_t v) override { return store(plat::Value(v)); }
    plat::ErrorPtr encode(double v) override { return store(plat::Value(v)); }
    plat::ErrorPtr encode(const std::string& v) override { return store(plat::Value(v)); }
    plat::ErrorPtr encodeList(std::size_t count,
                              const std::function<plat::ErrorPtr(std::size_t, Encoder&)>& element) override {
        plat::Array list;
        list.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            ValueEncoder e;
            if (plat::ErrorPtr err = element(i, e))
                return err;
            list.push_back(e.value());
        }
        return store(plat::Value(std::move(list)));
    }
    plat::ErrorPtr encodeMap(
        const std::vector<std::string>& keys,
        const std::function<plat::ErrorPtr(const std::string&, Encoder&)>& member) override {
        plat::Dictionary map;
        for (const std::string& key : keys) {
            ValueEncoder e;
            if (plat::ErrorPtr err = member(key, e))
                return err;
            map.set(key, e.value());
        }
        return store(plat::Value(std::move(map)));
    }

  private:
    plat::ErrorPtr store(plat::Value v) {
        *slot_ = std::move(v);
        return nullptr;
    }

    std::shared_ptr<plat::Value> slot_;
};

}  // namespace

plat::Result<std::shared_ptr<SingleValueDecodingContainer>> ValueDecoder::singleValueContainer() {
    return std::shared_ptr<SingleValueDecodingContainer>(std::make_shared<ValueDecodingContainer>(value_));
}

ValueEncoder::ValueEncoder() : slot_(std::make_shared<plat::Value>()) {}

std::shared_ptr<SingleValueEncodingContainer> ValueEncoder::singleValueContainer() {
    return std::make_shared<ValueEncodingContainer>(slot_);
}

plat::Value ValueEncoder::value() const {
    return *slot_;
}

}  // namespace json
