#include "platform/coredata/ManagedObjectID.h"

#include <atomic>
#include <charconv>
#include <typeinfo>

#include "platform/coredata/PersistentStore.h"
#include "platform/foundation/Text.h"

namespace plat::coredata {
namespace {

std::atomic<int64_t> nextTemporaryKey{1};

std::size_t combine(std::size_t seed, std::size_t v) {
    return seed ^ (v + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

const CharacterSet kNameAllowed = CharacterSet::URLPathAllowed().removing("/");
constexpr std::string_view kIdentifierCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
const CharacterSet kIdentifierAllowed = CharacterSet().adding(kIdentifierCharacters);

}  // namespace

namespace detail {

ObjectIDStore::ObjectIDStore(std::shared_ptr<const EntityDescription> entity, std::string identifier,
                             std::weak_ptr<PersistentStore> store, bool temporary)
    : entity(std::move(entity)),
      identifier(std::move(identifier)),
      identifierHash(std::hash<std::string>()(this->identifier)),
      store(std::move(store)),
      temporary(temporary) {}

}  // namespace detail

static_assert(sizeof(ManagedObjectID) <= 24, "an ID and its count should fit one 48-byte block");

ManagedObjectID::ManagedObjectID(std::shared_ptr<const EntityDescription> entity,
                                 std::weak_ptr<PersistentStore> store, std::string storeIdentifier,
                                 int64_t key, bool temporary)
    : store_(new detail::ObjectIDStore(std::move(entity), std::move(storeIdentifier), std::move(store),
                                       temporary)),
      key_(key) {}

ManagedObjectID::ManagedObjectID(detail::ObjectIDStoreRef record, int64_t key)
    : store_(std::move(record)), key_(key) {}

detail::ObjectIDStoreRef ManagedObjectID::temporaryRecord(std::shared_ptr<const EntityDescription> entity) {
    return detail::ObjectIDStoreRef(new detail::ObjectIDStore(std::move(entity), std::string(), {}, true));
}

ManagedObjectIDPtr ManagedObjectID::makeTemporary(detail::ObjectIDStoreRef record) {
    // Not made const: becomePermanent may change it while only its object holds it.
    return std::allocate_shared<ManagedObjectID>(plat::SmallBlockAllocator<ManagedObjectID>(),
                                                 std::move(record), nextTemporaryKey.fetch_add(1));
}

ManagedObjectIDPtr ManagedObjectID::makeTemporary(std::shared_ptr<const EntityDescription> entity) {
    return makeTemporary(temporaryRecord(std::move(entity)));
}

void ManagedObjectID::becomePermanent(const std::shared_ptr<PersistentStore>& store, int64_t primaryKey) {
    store_ = store->objectIDStore(store_->entity);
    key_ = primaryKey;
}

ManagedObjectIDPtr ManagedObjectID::makePermanent(std::shared_ptr<const EntityDescription> entity,
                                                  const std::shared_ptr<PersistentStore>& store,
                                                  int64_t primaryKey) {
    return std::allocate_shared<const ManagedObjectID>(plat::SmallBlockAllocator<ManagedObjectID>(),
                                                       store->objectIDStore(entity), primaryKey);
}

const std::string& ManagedObjectID::storeIdentifier() const {
    return store_->identifier;
}

std::size_t ManagedObjectID::hash() const {
    return hash(*store_.get(), key_);
}

std::size_t ManagedObjectID::hash(const detail::ObjectIDStore& record, int64_t key) {
    std::size_t h = std::hash<int64_t>()(key);
    h = combine(h, record.entity->nameHash());
    return combine(h, record.identifierHash + (record.temporary ? 1 : 0));
}

ManagedObjectIDPtr ManagedObjectID::fromValue(const Value& value) {
    if (!value.isObject())
        return nullptr;
    ObjectPtr object = value.asObject();
    const Object* held = object.get();
    if (!held || typeid(*held) != typeid(ManagedObjectID))
        return nullptr;
    return std::static_pointer_cast<const ManagedObjectID>(std::move(object));
}

bool ManagedObjectID::isEqual(const Object& other) const {
    if (this == &other)
        return true;
    return typeid(other) == typeid(ManagedObjectID) && isEqualID(static_cast<const ManagedObjectID&>(other));
}

bool ManagedObjectID::isEqualID(const ManagedObjectID& o) const {
    return this == &o || isEqualID(*store_.get(), key_, o);
}

bool ManagedObjectID::isEqualID(const detail::ObjectIDStore& record, int64_t key, const ManagedObjectID& o) {
    // One record: one entity of one store (or temporary IDs of one entity).
    return o.key_ == key &&
           (o.store_.get() == &record ||
            (o.isTemporaryID() == record.temporary && o.storeIdentifier() == record.identifier &&
             (o.entity() == record.entity.get() || o.entity()->name() == record.entity->name())));
}

URL ManagedObjectID::URIRepresentation() const {
    const std::string tail = "/" + percentEncode(entity()->name(), kNameAllowed) + "/" +
                             (isTemporaryID() ? "t" : "p") + std::to_string(key_);
    if (auto url = URL::URLWithString(std::string(kURIScheme) + "://" + storeIdentifier() + tail))
        return *url;
    // Stores refuse invalid identifiers when they open, but a store type
    // registered by a caller may set any: encode it rather than fail.
    const std::string encoded = percentEncode(storeIdentifier(), kIdentifierAllowed);
    if (auto url = URL::URLWithString(std::string(kURIScheme) + "://" + encoded + tail))
        return *url;
    return *URL::URLWithString(std::string(kURIScheme) + ":///" + tail.substr(1));
}

std::string ManagedObjectID::description() const {
    return URIRepresentation().absoluteString();
}

std::optional<ObjectIDURIParts> parseObjectIDURI(const URL& uri) {
    // Split the text as written: a "/" inside an entity name is encoded, so
    // the decoded path could not be split safely.
    const std::string prefix = std::string(ManagedObjectID::kURIScheme) + "://";
    const std::string& text = uri.absoluteString();
    if (text.compare(0, prefix.size(), prefix) != 0 || text.find_first_of("?#") != std::string::npos)
        return std::nullopt;
    auto components = text::componentsSeparatedByString(std::string_view(text).substr(prefix.size()), "/");
    if (components.size() != 3 || components[1].empty() || components[2].size() < 2)
        return std::nullopt;
    auto entityName = percentDecode(components[1]);
    if (!entityName)
        return std::nullopt;
    ObjectIDURIParts parts;
    parts.storeIdentifier = components[0];
    parts.entityName = std::move(*entityName);
    char kind = components[2][0];
    if (kind != 'p' && kind != 't')
        return std::nullopt;
    parts.temporary = kind == 't';
    if (parts.temporary != parts.storeIdentifier.empty())
        return std::nullopt;
    // Any key from 0 to the largest 64-bit integer (a store may hold rows
    // with keys of any size), digits only.
    const std::string digits = components[2].substr(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), parts.key);
    if (ec != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return parts;
}

bool isValidStoreIdentifier(std::string_view identifier) {
    return !identifier.empty() && identifier.size() <= 255 &&
           identifier.find_first_not_of(kIdentifierCharacters) == std::string_view::npos;
}

}  // namespace plat::coredata
