#include "platform/coredata/ManagedObjectID.h"

#include <atomic>
#include <charconv>

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

ManagedObjectID::ManagedObjectID(std::shared_ptr<const EntityDescription> entity,
                                 std::weak_ptr<PersistentStore> store, std::string storeIdentifier,
                                 int64_t key, bool temporary)
    : entity_(std::move(entity)),
      store_(std::move(store)),
      storeIdentifier_(std::move(storeIdentifier)),
      key_(key),
      temporary_(temporary) {
    std::size_t h = std::hash<int64_t>()(key_);
    h = combine(h, std::hash<std::string>()(entity_->name()));
    hash_ = combine(h, std::hash<std::string>()(storeIdentifier_) + (temporary_ ? 1 : 0));
}

ManagedObjectIDPtr ManagedObjectID::makeTemporary(std::shared_ptr<const EntityDescription> entity) {
    return std::make_shared<const ManagedObjectID>(std::move(entity), std::weak_ptr<PersistentStore>(),
                                                   std::string(), nextTemporaryKey.fetch_add(1), true);
}

ManagedObjectIDPtr ManagedObjectID::makePermanent(std::shared_ptr<const EntityDescription> entity,
                                                  const std::shared_ptr<PersistentStore>& store,
                                                  int64_t primaryKey) {
    return std::make_shared<const ManagedObjectID>(std::move(entity), store, store->identifier(), primaryKey,
                                                   false);
}

bool ManagedObjectID::isEqual(const Object& other) const {
    if (this == &other)
        return true;
    auto* o = dynamic_cast<const ManagedObjectID*>(&other);
    return o && isEqualID(*o);
}

bool ManagedObjectID::isEqualID(const ManagedObjectID& o) const {
    return this == &o ||
           (o.key_ == key_ && o.temporary_ == temporary_ && o.storeIdentifier_ == storeIdentifier_ &&
            (o.entity_ == entity_ || o.entity_->name() == entity_->name()));
}

URL ManagedObjectID::URIRepresentation() const {
    const std::string tail = "/" + percentEncode(entity_->name(), kNameAllowed) + "/" +
                             (temporary_ ? "t" : "p") + std::to_string(key_);
    if (auto url = URL::URLWithString(std::string(kURIScheme) + "://" + storeIdentifier_ + tail))
        return *url;
    // Stores refuse invalid identifiers when they open, but a store type
    // registered by a caller may set any: encode it rather than fail.
    const std::string encoded = percentEncode(storeIdentifier_, kIdentifierAllowed);
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
