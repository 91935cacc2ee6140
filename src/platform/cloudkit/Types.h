// Value types of the cloud database stand-in: zone and record identifiers,
// references, assets, records, change tokens, query cursors, predicates,
// queries, zones and subscriptions.
//
// Identifiers, references, assets and tokens are Objects so that they can
// travel inside a plat::Value (record fields, error user info, archives); they
// are used as values everywhere else (copy them freely). Identifiers and
// tokens compare and hash by value and survive keyed archiving.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"

namespace plat::cloudkit {

// The owner name of zones that belong to the signed-in user. Both platform
// constants for it share this text, so either comparison holds.
inline constexpr const char* OwnerDefaultName = "__defaultOwner__";
inline constexpr const char* CurrentUserDefaultName = "__defaultOwner__";
inline constexpr const char* RecordZoneDefaultName = "_defaultZone";
inline constexpr const char* ShareRecordType = "cloudkit.share";

enum class DatabaseScope : int { Public = 1, Private = 2, Shared = 3 };

class RecordZoneID final : public Coding {
  public:
    RecordZoneID() : zoneName_(RecordZoneDefaultName), ownerName_(OwnerDefaultName) {}
    explicit RecordZoneID(std::string zoneName, std::string ownerName = OwnerDefaultName)
        : zoneName_(std::move(zoneName)), ownerName_(std::move(ownerName)) {}
    static RecordZoneID defaultZone() { return RecordZoneID(); }

    const std::string& zoneName() const { return zoneName_; }
    const std::string& ownerName() const { return ownerName_; }
    bool isDefaultZone() const { return zoneName_ == RecordZoneDefaultName; }

    bool operator==(const RecordZoneID& o) const {
        return zoneName_ == o.zoneName_ && ownerName_ == o.ownerName_;
    }
    std::strong_ordering operator<=>(const RecordZoneID& o) const {
        if (auto c = zoneName_ <=> o.zoneName_; c != 0)
            return c;
        return ownerName_ <=> o.ownerName_;
    }
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
    std::string description() const override;
    std::string className() const override { return "CKRecordZoneID"; }
    void encodeWithCoder(KeyedArchiver& coder) const override;

  private:
    std::string zoneName_;
    std::string ownerName_;
};

class RecordID final : public Coding {
  public:
    RecordID() = default;
    explicit RecordID(std::string recordName, RecordZoneID zoneID = RecordZoneID())
        : recordName_(std::move(recordName)), zoneID_(std::move(zoneID)) {}

    const std::string& recordName() const { return recordName_; }
    const RecordZoneID& zoneID() const { return zoneID_; }

    bool operator==(const RecordID& o) const { return recordName_ == o.recordName_ && zoneID_ == o.zoneID_; }
    std::strong_ordering operator<=>(const RecordID& o) const {
        if (auto c = zoneID_ <=> o.zoneID_; c != 0)
            return c;
        return recordName_ <=> o.recordName_;
    }
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
    std::string description() const override;
    std::string className() const override { return "CKRecordID"; }
    void encodeWithCoder(KeyedArchiver& coder) const override;

  private:
    std::string recordName_;
    RecordZoneID zoneID_;
};

// What a partial error's per-item dictionary is keyed by: a record or a zone.
using ItemID = std::variant<RecordID, RecordZoneID>;

enum class ReferenceAction : int { None = 0, DeleteSelf = 1 };

// A field value pointing at another record. A delete-self reference makes the
// server delete the holder when the target is deleted.
class Reference final : public Coding {
  public:
    Reference(RecordID recordID, ReferenceAction action) : recordID_(std::move(recordID)), action_(action) {}
    static std::shared_ptr<const Reference> make(RecordID recordID, ReferenceAction action) {
        return std::make_shared<const Reference>(std::move(recordID), action);
    }
    const RecordID& recordID() const { return recordID_; }
    ReferenceAction action() const { return action_; }

    // Equal when they point at the same record (the action does not count).
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override { return recordID_.hash(); }
    std::string description() const override;
    std::string className() const override { return "CKReference"; }
    void encodeWithCoder(KeyedArchiver& coder) const override;

  private:
    RecordID recordID_;
    ReferenceAction action_;
};

// A file field. On save, fileURL names the local file whose content is taken
// when the save commits; on fetch, it names a per-process copy that stays until
// the container's asset cache is cleaned.
class Asset final : public Coding {
  public:
    explicit Asset(std::string fileURL) : fileURL_(std::move(fileURL)) {}
    static std::shared_ptr<const Asset> make(std::string fileURL) {
        return std::make_shared<const Asset>(std::move(fileURL));
    }
    // A local file path (no "file://" prefix).
    const std::string& fileURL() const { return fileURL_; }
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override { return std::hash<std::string>()(fileURL_); }
    std::string className() const override { return "CKAsset"; }
    void encodeWithCoder(KeyedArchiver& coder) const override;

  private:
    std::string fileURL_;
};

// Opaque position in one zone's change feed. Tokens compare by value; a token
// of another account, zone or zone incarnation is rejected by the server.
class ServerChangeToken final : public Coding {
  public:
    ServerChangeToken(std::string account, RecordZoneID zone, int64_t incarnation, int64_t sequence,
                      int64_t mint = 0)
        : account_(std::move(account)),
          zone_(std::move(zone)),
          incarnation_(incarnation),
          sequence_(sequence),
          mint_(mint) {}

    const std::string& account() const { return account_; }
    const RecordZoneID& zoneID() const { return zone_; }
    int64_t incarnation() const { return incarnation_; }
    int64_t sequence() const { return sequence_; }
    int64_t mint() const { return mint_; }

    bool operator==(const ServerChangeToken& o) const {
        return account_ == o.account_ && zone_ == o.zone_ && incarnation_ == o.incarnation_ &&
               sequence_ == o.sequence_ && mint_ == o.mint_;
    }
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
    std::string description() const override;
    std::string className() const override { return "CKServerChangeToken"; }
    void encodeWithCoder(KeyedArchiver& coder) const override;

  private:
    std::string account_;
    RecordZoneID zone_;
    int64_t incarnation_;
    int64_t sequence_;
    int64_t mint_;
};

// A record: type, ID, change tag (set by the server) and fields. Field values
// are plat::Values: strings, numbers, dates, data, arrays of those, and the
// Reference and Asset objects.
class Record final : public Coding {
  public:
    Record() = default;
    Record(std::string recordType, RecordID recordID)
        : recordType_(std::move(recordType)), recordID_(std::move(recordID)) {}

    const std::string& recordType() const { return recordType_; }
    const RecordID& recordID() const { return recordID_; }
    // Empty for a record made locally and never saved.
    const std::string& recordChangeTag() const { return changeTag_; }
    void setRecordChangeTag(std::string tag) { changeTag_ = std::move(tag); }

    // Null when the field is missing.
    Value objectForKey(std::string_view key) const;
    // A null value removes the field.
    void setObject(std::string key, Value value);
    const Dictionary& fields() const { return fields_; }
    std::vector<std::string> allKeys() const { return fields_.keys(); }

    std::shared_ptr<const Reference> parent() const { return parent_; }
    void setParent(std::shared_ptr<const Reference> parent) { parent_ = std::move(parent); }

    std::string className() const override { return "CKRecord"; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    bool isEqual(const Object& other) const override;

  private:
    std::string recordType_;
    RecordID recordID_;
    std::string changeTag_;
    Dictionary fields_;
    std::shared_ptr<const Reference> parent_;
};

using RecordPtr = std::shared_ptr<Record>;

// Shares are records of type ShareRecordType saved together with their root
// record (share first) in one modify operation.
enum class ShareParticipantPermission : int { Unknown = 0, None = 1, ReadOnly = 2, ReadWrite = 3 };
inline constexpr const char* SharePublicPermissionKey = "publicPermission";
inline constexpr const char* ShareRootRecordKey = "rootRecord";

// A new share of `rootRecord` (public permission none), with the given ID.
Record makeShare(const Record& rootRecord, RecordID shareID);
ShareParticipantPermission sharePublicPermission(const Record& share);
void setSharePublicPermission(Record& share, ShareParticipantPermission permission);

// What an invitation to a share carries (Container::invitationToShare): the
// share's record ID and the zone as participants name them, the zone owned by
// the owner's user record name, which is also `ownerName`.
struct ShareMetadata {
    std::string containerIdentifier;
    RecordID shareRecordID;
    std::string ownerName;
    const RecordZoneID& zoneID() const { return shareRecordID.zoneID(); }
};

// Registers the archivable classes above with the keyed unarchiver (once).
void registerArchivableClasses();

// The predicate forms the system uses: always true, `key = value` (a Reference
// compares by record ID) and `key > number`.
class Predicate {
  public:
    enum class Kind { True, Equals, GreaterThan };
    static Predicate truePredicate() { return Predicate(Kind::True, {}, Value()); }
    static Predicate equals(std::string key, Value value) {
        return Predicate(Kind::Equals, std::move(key), std::move(value));
    }
    static Predicate greaterThan(std::string key, Value value) {
        return Predicate(Kind::GreaterThan, std::move(key), std::move(value));
    }
    // Reads "TRUEPREDICATE", "<key> = %@" (with `argument`) and
    // "<key> > <number>"; nullopt for anything else.
    static std::optional<Predicate> parse(std::string_view format, Value argument = Value());

    Kind kind() const { return kind_; }
    const std::string& key() const { return key_; }
    const Value& value() const { return value_; }
    bool evaluate(const Dictionary& fields) const;

  private:
    Predicate(Kind kind, std::string key, Value value)
        : kind_(kind), key_(std::move(key)), value_(std::move(value)) {}
    Kind kind_;
    std::string key_;
    Value value_;
};

struct SortDescriptor {
    std::string key;
    bool ascending = true;
};

struct Query {
    std::string recordType;
    Predicate predicate = Predicate::truePredicate();
    std::vector<SortDescriptor> sortDescriptors;
};

// Where the next page of a query starts. Made only by the server.
class QueryCursor final : public Object {
  public:
    QueryCursor(Query query, std::optional<RecordZoneID> zoneID, int64_t offset, int64_t snapshotSequence)
        : query_(std::move(query)),
          zoneID_(std::move(zoneID)),
          offset_(offset),
          snapshot_(snapshotSequence) {}
    const Query& query() const { return query_; }
    const std::optional<RecordZoneID>& zoneID() const { return zoneID_; }
    int64_t offset() const { return offset_; }
    int64_t snapshotSequence() const { return snapshot_; }
    std::string className() const override { return "CKQueryCursor"; }

  private:
    Query query_;
    std::optional<RecordZoneID> zoneID_;
    int64_t offset_;
    int64_t snapshot_;
};

struct RecordZone {
    RecordZoneID zoneID;
    // Custom zones save atomically; the default zone does not.
    bool atomic() const { return !zoneID.isDefaultZone(); }
};

enum SubscriptionOptions : int { FiresOnRecordCreation = 1, FiresOnRecordUpdate = 2 };

struct NotificationInfo {
    bool shouldSendContentAvailable = false;
    std::string alertBody;
};

struct Subscription {
    enum class Kind { Query = 1, Database = 2 };
    Kind kind = Kind::Query;
    std::string subscriptionID;
    std::string recordType;  // query subscriptions
    Predicate predicate = Predicate::truePredicate();
    int options = 0;                     // SubscriptionOptions
    std::optional<RecordZoneID> zoneID;  // none: every zone of the database
    NotificationInfo notificationInfo;

    static Subscription query(std::string recordType, Predicate predicate, std::string subscriptionID,
                              int options) {
        Subscription s;
        s.recordType = std::move(recordType);
        s.predicate = std::move(predicate);
        s.subscriptionID = std::move(subscriptionID);
        s.options = options;
        return s;
    }
    static Subscription database(std::string subscriptionID) {
        Subscription s;
        s.kind = Kind::Database;
        s.subscriptionID = std::move(subscriptionID);
        return s;
    }
};

// One push a subscription sent to a device.
struct Push {
    int64_t id = 0;
    DatabaseScope scope = DatabaseScope::Private;
    std::string subscriptionID;
    RecordID recordID;
    bool contentAvailable = false;
    std::string alertBody;
};

}  // namespace plat::cloudkit
