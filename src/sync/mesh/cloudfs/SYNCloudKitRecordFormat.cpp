#include "sync/mesh/cloudfs/SYNCloudKitRecordFormat.h"

#include "platform/foundation/Text.h"

using namespace plat::cloudkit;
using plat::Value;

SYNCloudKitRecordFormat::SYNCloudKitRecordFormat(uint64_t schemaVersion, std::string rootDirectory,
                                                 std::optional<RecordZoneID> zoneID, bool withRecordParent)
    : schemaVersion_(schemaVersion),
      rootDirectory_(std::move(rootDirectory)),
      zoneID_(std::move(zoneID)),
      withRecordParent_(withRecordParent) {}

std::string SYNCloudKitRecordFormat::fileSystemNodeRecordType() const {
    return schemaVersion_ == 1 ? "SYNItem" : "SYNFileSystemNode";
}

std::string SYNCloudKitRecordFormat::recordIDPrefix() const {
    return schemaVersion_ == 1 ? "" : "SYNFileSystemNode_";
}

std::string SYNCloudKitRecordFormat::fullPathForPath(const std::string& path) const {
    if (!path.empty() && path[0] == '/')
        return rootDirectory_ + path.substr(1);
    return rootDirectory_ + path;
}

RecordID SYNCloudKitRecordFormat::recordIDForFullPath(const std::string& fullPath) const {
    std::string name = recordIDPrefix() + fullPath;
    return zoneID_ ? RecordID(std::move(name), *zoneID_) : RecordID(std::move(name));
}

RecordID SYNCloudKitRecordFormat::recordIDForPath(const std::string& path) const {
    return recordIDForFullPath(fullPathForPath(path));
}

std::string SYNCloudKitRecordFormat::fullPathFromRecordID(const RecordID& recordID) const {
    const std::size_t prefix = recordIDPrefix().size();
    const std::string& name = recordID.recordName();
    return name.size() <= prefix ? std::string() : name.substr(prefix);
}

std::shared_ptr<SYNCloudItem> SYNCloudKitRecordFormat::itemForRecord(const Record& record) const {
    const std::string fullPath = fullPathFromRecordID(record.recordID());
    const std::string name = plat::text::lastPathComponent(fullPath);
    const std::string path =
        fullPath.size() <= rootDirectory_.size() ? std::string() : fullPath.substr(rootDirectory_.size());
    if (record.objectForKey("isDirectory").boolValue())
        return std::make_shared<SYNCloudDirectory>(path, name);
    return std::make_shared<SYNCloudFile>(path, name,
                                          record.objectForKey("fileSize").unsignedLongLongValue());
}

Record SYNCloudKitRecordFormat::nodeRecord(const std::string& fullPath, bool isDirectory) const {
    Record record(fileSystemNodeRecordType(), recordIDForFullPath(fullPath));
    record.setObject("isDirectory", Value(isDirectory));
    record.setObject("path", Value(fullPath));
    return record;
}

void SYNCloudKitRecordFormat::linkToParent(Record& record, const std::string& fullPath,
                                           ReferenceAction action) const {
    const RecordID parent = recordIDForFullPath(plat::text::stringByDeletingLastPathComponent(fullPath));
    record.setObject("directory", Value(Reference::make(parent, action)));
    if (withRecordParent_)
        record.setParent(Reference::make(parent, ReferenceAction::None));
}

Record SYNCloudKitRecordFormat::createRootRecord() const {
    Record record(fileSystemNodeRecordType(), recordIDForPath("/"));
    record.setObject("isDirectory", Value(true));
    record.setObject("path", Value(rootDirectory_));
    return record;
}

Record SYNCloudKitRecordFormat::directoryRecordForPath(const std::string& path) const {
    const std::string fullPath = fullPathForPath(path);
    Record record = nodeRecord(fullPath, true);
    linkToParent(record, fullPath, ReferenceAction::DeleteSelf);
    return record;
}

Record SYNCloudKitRecordFormat::fileRecordForPath(const std::string& path, uint64_t fileSize,
                                                  const std::string& contentFile) const {
    const std::string fullPath = fullPathForPath(path);
    Record record = nodeRecord(fullPath, false);
    linkToParent(record, fullPath, ReferenceAction::None);
    record.setObject("fileSize", Value(fileSize));
    if (schemaVersion_ != 1)
        record.setObject("data", Value(Asset::make(contentFile)));
    return record;
}

RecordID SYNCloudKitRecordFormat::dataRecordIDForPath(const std::string& path) const {
    std::string name = "DataFile_" + fullPathForPath(path);
    return zoneID_ ? RecordID(std::move(name), *zoneID_) : RecordID(std::move(name));
}

Record SYNCloudKitRecordFormat::dataRecordForPath(const std::string& path,
                                                  const std::string& contentFile) const {
    Record record("SYNDataFile", dataRecordIDForPath(path));
    record.setObject("file", Value(Reference::make(recordIDForPath(path), ReferenceAction::None)));
    record.setObject("data", Value(Asset::make(contentFile)));
    return record;
}

bool SYNCloudKitRecordFormat::partialErrorOnlyIncludesErrorCode(const plat::ErrorPtr& error, int64_t code) {
    if (!error)
        return false;
    const Value* v = error->userInfo().find(PartialErrorsByItemIDKey);
    auto partial = v ? v->asObjectOf<PartialErrors>() : nullptr;
    if (!partial)
        return false;
    for (const auto& [id, itemError] : partial->errors())
        if (!itemError || itemError->code() != code)
            return false;
    return true;
}
