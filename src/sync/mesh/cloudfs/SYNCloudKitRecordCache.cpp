#include "sync/mesh/cloudfs/SYNCloudKitRecordCache.h"

#include <filesystem>

#include "platform/foundation/Text.h"
#include "sync/eventstore/SYNDataAdditions.h"

using namespace plat::cloudkit;
using plat::MutexLock;
using plat::Value;

namespace {

bool hasPrefix(const std::string& name, const std::string& prefix) {
    return name.rfind(prefix, 0) == 0;
}

}  // namespace

SYNCloudKitRecordCache::State SYNCloudKitRecordCache::state() const {
    MutexLock lock(mutex_);
    if (serverChangeToken_ && recordsByFullPath_ && contentsByDirectoryPath_)
        return State::Loaded;
    return recordsByFullPath_ ? State::Filling : State::Cleared;
}

std::shared_ptr<const ServerChangeToken> SYNCloudKitRecordCache::serverChangeToken() const {
    MutexLock lock(mutex_);
    return serverChangeToken_;
}

void SYNCloudKitRecordCache::clear() {
    MutexLock lock(mutex_);
    clearLocked();
}

void SYNCloudKitRecordCache::clearLocked() {
    serverChangeToken_.reset();
    recordsByFullPath_.reset();
    contentsByDirectoryPath_.reset();
}

void SYNCloudKitRecordCache::beginPass() {
    MutexLock lock(mutex_);
    if (!serverChangeToken_) {
        recordsByFullPath_.emplace();
        contentsByDirectoryPath_.emplace();
    }
}

void SYNCloudKitRecordCache::applyChangedRecord(const Record& record) {
    if (record.recordType() != format_.fileSystemNodeRecordType() ||
        !hasPrefix(record.recordID().recordName(), format_.recordIDPrefix()))
        return;
    const std::string fullPath = format_.fullPathFromRecordID(record.recordID());
    if (fullPath.empty())
        return;
    auto item = format_.itemForRecord(record);
    MutexLock lock(mutex_);
    if (!recordsByFullPath_ || !contentsByDirectoryPath_)
        return;  // no pass is running
    (*recordsByFullPath_)[fullPath] = std::make_shared<Record>(record);
    if (item->canContainChildren())
        contentsByDirectoryPath_->try_emplace(fullPath);
    // The root "/" is nobody's child.
    if (fullPath.size() >= 2)
        (*contentsByDirectoryPath_)[plat::text::stringByDeletingLastPathComponent(fullPath)][fullPath] = item;
}

void SYNCloudKitRecordCache::applyDeletedRecordID(const RecordID& recordID) {
    if (!hasPrefix(recordID.recordName(), format_.recordIDPrefix()))
        return;
    const std::string fullPath = format_.fullPathFromRecordID(recordID);
    const std::string parent = plat::text::stringByDeletingLastPathComponent(fullPath);
    MutexLock lock(mutex_);
    if (contentsByDirectoryPath_) {
        auto entry = contentsByDirectoryPath_->find(parent);
        if (entry != contentsByDirectoryPath_->end())
            entry->second.erase(fullPath);
    }
    if (recordsByFullPath_)
        recordsByFullPath_->erase(fullPath);
}

bool SYNCloudKitRecordCache::finishPass(std::shared_ptr<const ServerChangeToken> token) {
    MutexLock lock(mutex_);
    auto old = std::move(serverChangeToken_);
    serverChangeToken_ = std::move(token);
    if (!serverChangeToken_)
        return old != nullptr;
    return !old || !old->isEqual(*serverChangeToken_);
}

std::optional<std::vector<RecordPtr>> SYNCloudKitRecordCache::recordsAtPaths(
    const std::vector<std::string>& paths) const {
    MutexLock lock(mutex_);
    if (!serverChangeToken_ || !recordsByFullPath_)
        return std::nullopt;
    std::vector<RecordPtr> out;
    out.reserve(paths.size());
    for (const auto& path : paths) {
        auto it = recordsByFullPath_->find(format_.fullPathForPath(path));
        out.push_back(it == recordsByFullPath_->end() ? nullptr : it->second);
    }
    return out;
}

std::optional<std::vector<RecordID>> SYNCloudKitRecordCache::allRecordIDs() const {
    MutexLock lock(mutex_);
    if (!serverChangeToken_ || !recordsByFullPath_)
        return std::nullopt;
    std::vector<RecordID> out;
    for (const auto& [path, record] : *recordsByFullPath_)
        out.push_back(record->recordID());
    return out;
}

std::optional<SYNCloudKitRecordCache::Listing> SYNCloudKitRecordCache::contentsOfDirectoryAtPath(
    const std::string& path) const {
    MutexLock lock(mutex_);
    if (!serverChangeToken_ || !contentsByDirectoryPath_)
        return std::nullopt;
    Listing listing;
    auto it = contentsByDirectoryPath_->find(format_.fullPathForPath(path));
    if (it == contentsByDirectoryPath_->end())
        return listing;
    listing.found = true;
    for (const auto& [child, item] : it->second)
        listing.items.push_back(item);
    return listing;
}

std::string SYNCloudKitRecordCache::cacheFilename(const RecordZoneID& zoneID) {
    registerArchivableClasses();
    auto archive =
        plat::KeyedArchiver::archivedDataWithRootObject(Value(std::make_shared<const RecordZoneID>(zoneID)));
    return syn_md5Checksum(archive ? *archive : plat::Data()) + ".syncloudkitcache.v2";
}

plat::ErrorPtr SYNCloudKitRecordCache::storeToFile(const std::string& path) const {
    plat::Dictionary records, contents;
    std::shared_ptr<const ServerChangeToken> token;
    {
        MutexLock lock(mutex_);
        if (!serverChangeToken_ || !recordsByFullPath_ || !contentsByDirectoryPath_)
            return nullptr;
        token = serverChangeToken_;
        for (const auto& [fullPath, record] : *recordsByFullPath_)
            records.set(fullPath, Value(std::make_shared<const Record>(*record)));
        for (const auto& [directory, children] : *contentsByDirectoryPath_) {
            plat::Dictionary entry;
            for (const auto& [child, item] : children)
                entry.set(child, Value(std::shared_ptr<const SYNCloudItem>(item)));
            contents.set(directory, Value(std::move(entry)));
        }
    }
    plat::Dictionary root;
    root.set("contentsByDirectoryPath", Value(std::move(contents)));
    root.set("recordsByFullPath", Value(std::move(records)));
    root.set("serverChangeToken", Value(token));
    return plat::KeyedArchiver::archiveRootObject(Value(std::move(root)), path);
}

void SYNCloudKitRecordCache::loadFromFile(const std::string& path) {
    registerArchivableClasses();
    SYNRegisterCloudItemClasses();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        clear();
        return;
    }
    auto read = plat::KeyedUnarchiver::unarchiveObjectWithFile(path);
    const plat::Dictionary* root = read.ok() && *read ? (*read)->asDictionary() : nullptr;
    if (!read.ok()) {
        // Unreadable: start without a cache and drop the file. A file that
        // stays is refused again at the next load, and the next save of the
        // cache replaces it.
        (void)std::filesystem::remove(path, ec);
        clear();
        return;
    }
    std::optional<std::map<std::string, RecordPtr>> records;
    std::optional<std::map<std::string, Children>> contents;
    std::shared_ptr<const ServerChangeToken> token;
    if (root) {
        if (const Value* v = root->find("recordsByFullPath"); v && v->asDictionary()) {
            records.emplace();
            for (const auto& [fullPath, value] : *v->asDictionary())
                if (auto record = value.asObjectOf<Record>())
                    (*records)[fullPath] = std::make_shared<Record>(*record);
        }
        if (const Value* v = root->find("contentsByDirectoryPath"); v && v->asDictionary()) {
            contents.emplace();
            for (const auto& [directory, entry] : *v->asDictionary()) {
                Children& children = (*contents)[directory];
                if (const plat::Dictionary* items = entry.asDictionary())
                    for (const auto& [child, value] : *items)
                        if (auto item = value.asObjectOf<SYNCloudItem>())
                            children[child] = std::const_pointer_cast<SYNCloudItem>(item);
            }
        }
        if (const Value* v = root->find("serverChangeToken"))
            token = v->asObjectOf<ServerChangeToken>();
    }
    MutexLock lock(mutex_);
    if (!records || !contents || !token) {
        clearLocked();  // a partial cache is never used
        return;
    }
    recordsByFullPath_ = std::move(records);
    contentsByDirectoryPath_ = std::move(contents);
    serverChangeToken_ = std::move(token);
}
