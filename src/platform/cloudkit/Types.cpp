#include "platform/cloudkit/Types.h"

#include <mutex>

namespace plat::cloudkit {

namespace {

std::size_t combine(std::size_t seed, std::size_t value) {
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

std::shared_ptr<const RecordZoneID> decodeZone(KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeObjectOfClass<RecordZoneID>(key);
}

}  // namespace

bool RecordZoneID::isEqual(const Object& other) const {
    const auto* o = dynamic_cast<const RecordZoneID*>(&other);
    return o && *o == *this;
}

std::size_t RecordZoneID::hash() const {
    return combine(std::hash<std::string>()(zoneName_), std::hash<std::string>()(ownerName_));
}

std::string RecordZoneID::description() const {
    return "<CKRecordZoneID: zoneName=" + zoneName_ + ", ownerName=" + ownerName_ + ">";
}

void RecordZoneID::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeObject(Value(zoneName_), "ZoneName");
    coder.encodeObject(Value(ownerName_), "OwnerName");
}

bool RecordID::isEqual(const Object& other) const {
    const auto* o = dynamic_cast<const RecordID*>(&other);
    return o && *o == *this;
}

std::size_t RecordID::hash() const {
    return combine(std::hash<std::string>()(recordName_), zoneID_.hash());
}

std::string RecordID::description() const {
    return "<CKRecordID: recordName=" + recordName_ + ", zoneID=" + zoneID_.zoneName() + ":" +
           zoneID_.ownerName() + ">";
}

void RecordID::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeObject(Value(recordName_), "RecordName");
    coder.encodeObject(std::make_shared<const RecordZoneID>(zoneID_), "ZoneID");
}

bool Reference::isEqual(const Object& other) const {
    const auto* o = dynamic_cast<const Reference*>(&other);
    return o && o->recordID_ == recordID_;
}

std::string Reference::description() const {
    return "<CKReference: recordID=" + recordID_.description() +
           ", action=" + std::to_string(static_cast<int>(action_)) + ">";
}

void Reference::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeObject(std::make_shared<const RecordID>(recordID_), "recordID");
    coder.encodeInt64(static_cast<int64_t>(action_), "action");
}

bool Asset::isEqual(const Object& other) const {
    const auto* o = dynamic_cast<const Asset*>(&other);
    return o && o->fileURL_ == fileURL_;
}

void Asset::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeObject(Value(fileURL_), "fileURL");
}

bool ServerChangeToken::isEqual(const Object& other) const {
    const auto* o = dynamic_cast<const ServerChangeToken*>(&other);
    return o && *o == *this;
}

std::size_t ServerChangeToken::hash() const {
    std::size_t h = combine(std::hash<std::string>()(account_), zone_.hash());
    h = combine(h, std::hash<int64_t>()(incarnation_));
    h = combine(h, std::hash<int64_t>()(sequence_));
    return combine(h, std::hash<int64_t>()(mint_));
}

std::string ServerChangeToken::description() const {
    return "<CKServerChangeToken: " + zone_.zoneName() + " " + std::to_string(incarnation_) + "." +
           std::to_string(sequence_) + "." + std::to_string(mint_) + ">";
}

void ServerChangeToken::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeObject(Value(account_), "account");
    coder.encodeObject(std::make_shared<const RecordZoneID>(zone_), "zoneID");
    coder.encodeInt64(incarnation_, "incarnation");
    coder.encodeInt64(sequence_, "sequence");
    coder.encodeInt64(mint_, "mint");
}

Value Record::objectForKey(std::string_view key) const {
    const Value* v = fields_.find(key);
    return v ? *v : Value();
}

void Record::setObject(std::string key, Value value) {
    if (value.isNull())
        fields_.erase(key);
    else
        fields_.set(std::move(key), std::move(value));
}

void Record::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeObject(Value(recordType_), "RecordType");
    coder.encodeObject(std::make_shared<const RecordID>(recordID_), "RecordID");
    coder.encodeObject(Value(changeTag_), "ChangeTag");
    coder.encodeObject(Value(fields_), "Fields");
    if (parent_)
        coder.encodeObject(parent_, "Parent");
}

bool Record::isEqual(const Object& other) const {
    const auto* o = dynamic_cast<const Record*>(&other);
    return o && o->recordType_ == recordType_ && o->recordID_ == recordID_ && o->changeTag_ == changeTag_ &&
           o->fields_ == fields_;
}

Record makeShare(const Record& rootRecord, RecordID shareID) {
    Record share(ShareRecordType, std::move(shareID));
    share.setObject(ShareRootRecordKey, Value(Reference::make(rootRecord.recordID(), ReferenceAction::None)));
    setSharePublicPermission(share, ShareParticipantPermission::None);
    return share;
}

ShareParticipantPermission sharePublicPermission(const Record& share) {
    int64_t v = share.objectForKey(SharePublicPermissionKey).integerValue();
    return v >= 0 && v <= 3 ? static_cast<ShareParticipantPermission>(v)
                            : ShareParticipantPermission::Unknown;
}

void setSharePublicPermission(Record& share, ShareParticipantPermission permission) {
    share.setObject(SharePublicPermissionKey, Value(static_cast<int64_t>(permission)));
}

void registerArchivableClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        KeyedUnarchiver::registerClass<RecordZoneID>(
            "CKRecordZoneID", [](KeyedUnarchiver& c) -> std::shared_ptr<const RecordZoneID> {
                auto zone = c.decodeString("ZoneName");
                auto owner = c.decodeString("OwnerName");
                if (!zone || !owner)
                    return nullptr;
                return std::make_shared<const RecordZoneID>(*zone, *owner);
            });
        KeyedUnarchiver::registerClass<RecordID>("CKRecordID",
                                                 [](KeyedUnarchiver& c) -> std::shared_ptr<const RecordID> {
                                                     auto name = c.decodeString("RecordName");
                                                     auto zone = decodeZone(c, "ZoneID");
                                                     if (!name || !zone)
                                                         return nullptr;
                                                     return std::make_shared<const RecordID>(*name, *zone);
                                                 });
        KeyedUnarchiver::registerClass<Reference>(
            "CKReference", [](KeyedUnarchiver& c) -> std::shared_ptr<const Reference> {
                auto id = c.decodeObjectOfClass<RecordID>("recordID");
                int64_t action = c.decodeInt64("action");
                if (!id || (action != 0 && action != 1))
                    return nullptr;
                return Reference::make(*id, static_cast<ReferenceAction>(action));
            });
        KeyedUnarchiver::registerClass<Asset>("CKAsset",
                                              [](KeyedUnarchiver& c) -> std::shared_ptr<const Asset> {
                                                  auto url = c.decodeString("fileURL");
                                                  return url ? Asset::make(*url) : nullptr;
                                              });
        KeyedUnarchiver::registerClass<ServerChangeToken>(
            "CKServerChangeToken", [](KeyedUnarchiver& c) -> std::shared_ptr<const ServerChangeToken> {
                auto account = c.decodeString("account");
                auto zone = decodeZone(c, "zoneID");
                if (!account || !zone)
                    return nullptr;
                return std::make_shared<const ServerChangeToken>(
                    *account, *zone, c.decodeInt64("incarnation"), c.decodeInt64("sequence"),
                    c.decodeInt64("mint"));
            });
        KeyedUnarchiver::registerClass<Record>(
            "CKRecord", [](KeyedUnarchiver& c) -> std::shared_ptr<const Record> {
                auto type = c.decodeString("RecordType");
                auto id = c.decodeObjectOfClass<RecordID>("RecordID");
                auto fields = c.decodeDictionary("Fields");
                if (!type || !id || !fields)
                    return nullptr;
                auto record = std::make_shared<Record>(*type, *id);
                record->setRecordChangeTag(c.decodeString("ChangeTag").value_or(""));
                for (const auto& [key, value] : *fields)
                    record->setObject(key, value);
                record->setParent(c.decodeObjectOfClass<Reference>("Parent"));
                return record;
            });
    });
}

std::optional<Predicate> Predicate::parse(std::string_view format, Value argument) {
    auto trim = [](std::string_view s) {
        while (!s.empty() && s.front() == ' ')
            s.remove_prefix(1);
        while (!s.empty() && s.back() == ' ')
            s.remove_suffix(1);
        return s;
    };
    format = trim(format);
    if (format == "TRUEPREDICATE")
        return truePredicate();
    for (char op : {'=', '>'}) {
        auto at = format.find(op);
        if (at == std::string_view::npos)
            continue;
        std::string key(trim(format.substr(0, at)));
        std::string_view rhs = trim(format.substr(at + 1));
        if (key.empty() || key.find(' ') != std::string::npos)
            return std::nullopt;
        Value operand;
        if (rhs == "%@") {
            if (argument.isNull())
                return std::nullopt;
            operand = argument;
        } else {
            try {
                std::size_t used = 0;
                std::string text(rhs);
                double number = std::stod(text, &used);
                if (used != text.size())
                    return std::nullopt;
                operand = (number == static_cast<double>(static_cast<int64_t>(number)))
                              ? Value(static_cast<int64_t>(number))
                              : Value(number);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }
        return op == '=' ? equals(std::move(key), operand) : greaterThan(std::move(key), operand);
    }
    return std::nullopt;
}

bool Predicate::evaluate(const Dictionary& fields) const {
    if (kind_ == Kind::True)
        return true;
    const Value* v = fields.find(key_);
    if (!v)
        return false;
    if (kind_ == Kind::Equals)
        return *v == value_;
    if (!v->isNumber() || !value_.isNumber())
        return false;
    return v->doubleValue() > value_.doubleValue();
}

}  // namespace plat::cloudkit
