// UUIDObject: a UUID as an Object, so that a UUID (an attribute's value, an
// installation identifier) can travel inside a Value and be archived. It compares and hashes by the UUID and
// prints its upper-case text.
//
// It is keyed-archivable under the class name "NSUUID" (its 16 bytes under
// "NS.uuidbytes"), so values holding UUIDs can be archived, for example as
// transformable attribute values. The unarchiver's factory is registered
// before main by every program that includes this header; calling
// registerForArchiving() again is harmless.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"

namespace plat {

class UUIDObject : public Coding {
  public:
    static constexpr const char* kArchivedClassName = "NSUUID";
    static constexpr const char* kBytesKey = "NS.uuidbytes";

    explicit UUIDObject(UUID uuid) : uuid_(uuid) {}
    static Value make(UUID uuid) { return Value(std::make_shared<const UUIDObject>(uuid)); }

    const UUID& uuid() const { return uuid_; }
    std::string description() const override { return uuid_.UUIDString(); }
    bool isEqual(const Object& other) const override {
        auto* o = dynamic_cast<const UUIDObject*>(&other);
        return o && o->uuid_ == uuid_;
    }
    std::size_t hash() const override { return uuid_.hash(); }
    std::string className() const override { return kArchivedClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override {
        coder.encodeObject(Value(Data(uuid_.bytes().data(), uuid_.bytes().size())), kBytesKey);
    }

    // Registers the unarchiver's factory for "NSUUID"; any thread, idempotent.
    static void registerForArchiving() {
        static std::once_flag once;
        std::call_once(once, [] { KeyedUnarchiver::registerClass<UUIDObject>(kArchivedClassName, decode); });
    }

  private:
    // Null (a failed decode) unless the archive holds exactly 16 bytes.
    static std::shared_ptr<const UUIDObject> decode(KeyedUnarchiver& coder) {
        auto data = coder.decodeData(kBytesKey);
        if (!data || data->length() != 16)
            return nullptr;
        UUID::Bytes bytes;
        std::copy_n(data->bytes(), 16, bytes.begin());
        return std::make_shared<const UUIDObject>(UUID::fromBytes(bytes));
    }

    UUID uuid_;
};

namespace detail {
[[maybe_unused]] inline const bool uuidObjectRegistered = (UUIDObject::registerForArchiving(), true);
}  // namespace detail

}  // namespace plat
