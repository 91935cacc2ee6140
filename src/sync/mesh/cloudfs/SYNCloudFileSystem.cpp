#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"

#include "sync/eventstore/SYNErrors.h"

namespace {

[[noreturn]] void missingMember(const char* member) {
    throw SYNException(std::string("Optional member not provided: ") + member);
}

}  // namespace

std::string SYNCloudItem::path() const {
    plat::MutexLock lock(mutex_);
    return path_;
}

void SYNCloudItem::setPath(std::string path) {
    plat::MutexLock lock(mutex_);
    path_ = std::move(path);
}

std::string SYNCloudItem::name() const {
    plat::MutexLock lock(mutex_);
    return name_;
}

void SYNCloudItem::setName(std::string name) {
    plat::MutexLock lock(mutex_);
    name_ = std::move(name);
}

std::string SYNCloudItem::takeName() {
    plat::MutexLock lock(mutex_);
    return std::move(name_);
}

std::vector<std::pair<std::string, std::string>> SYNCloudItem::descriptionKeys() const {
    return {{"path", path()}, {"name", name()}};
}

std::string SYNCloudItem::description() const {
    std::string text = plat::Object::description() + "\r";
    for (const auto& [key, value] : descriptionKeys()) {
        text += key + ": " + value + "; \r";
    }
    return text;
}

SYNCloudDirectory::SYNCloudDirectory(std::string path, std::string name) {
    path_ = std::move(path);
    name_ = std::move(name);
}

void SYNCloudDirectory::encodeWithCoder(plat::KeyedArchiver& coder) const {
    coder.encodeObject(plat::Value(path()), "path");
    coder.encodeObject(plat::Value(name()), "name");
}

std::shared_ptr<const SYNCloudDirectory> SYNCloudDirectory::decode(plat::KeyedUnarchiver& coder) {
    auto directory = std::make_shared<SYNCloudDirectory>();
    directory->setPath(coder.decodeString("path").value_or(""));
    directory->setName(coder.decodeString("name").value_or(""));
    return directory;
}

SYNCloudFile::SYNCloudFile(std::string path, std::string name, uint64_t size) : size_(size) {
    path_ = std::move(path);
    name_ = std::move(name);
}

uint64_t SYNCloudFile::size() const {
    plat::MutexLock lock(mutex_);
    return size_;
}

void SYNCloudFile::setSize(uint64_t size) {
    plat::MutexLock lock(mutex_);
    size_ = size;
}

std::shared_ptr<SYNCloudFile> SYNCloudFile::copy() const {
    return std::make_shared<SYNCloudFile>(path(), name(), size());
}

void SYNCloudFile::encodeWithCoder(plat::KeyedArchiver& coder) const {
    coder.encodeInt64(0, "classVersion");
    coder.encodeObject(plat::Value(path()), "path");
    coder.encodeObject(plat::Value(name()), "name");
    coder.encodeObject(plat::Value(size()), "sizeNumber");
}

std::shared_ptr<const SYNCloudFile> SYNCloudFile::decode(plat::KeyedUnarchiver& coder) {
    auto file = std::make_shared<SYNCloudFile>();
    file->setPath(coder.decodeString("path").value_or(""));
    file->setName(coder.decodeString("name").value_or(""));
    auto size = coder.decodeObject("sizeNumber");
    file->setSize(size && size->isNumber() ? size->unsignedLongLongValue() : 0);
    return file;
}

std::vector<std::pair<std::string, std::string>> SYNCloudFile::descriptionKeys() const {
    return {{"path", path()}, {"name", name()}, {"size", std::to_string(size())}};
}

void SYNRegisterCloudItemClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        plat::KeyedUnarchiver::registerClass<SYNCloudDirectory>("SYNCloudDirectory",
                                                                &SYNCloudDirectory::decode);
        plat::KeyedUnarchiver::registerClass<SYNCloudFile>("SYNCloudFile", &SYNCloudFile::decode);
    });
}

void SYNCloudFileSystem::directoryExistsAtPath(const std::string&, DirectoryExistenceCompletion) {
    missingMember("directoryExistsAtPath");
}
std::size_t SYNCloudFileSystem::fileUploadMaximumBatchSize() const {
    missingMember("fileUploadMaximumBatchSize");
}
std::size_t SYNCloudFileSystem::fileDownloadMaximumBatchSize() const {
    missingMember("fileDownloadMaximumBatchSize");
}
void SYNCloudFileSystem::uploadLocalFiles(const std::vector<std::string>&, const std::vector<std::string>&,
                                          Completion) {
    missingMember("uploadLocalFiles");
}
void SYNCloudFileSystem::downloadFromPaths(const std::vector<std::string>&, const std::vector<std::string>&,
                                           Completion) {
    missingMember("downloadFromPaths");
}
void SYNCloudFileSystem::removeItemsAtPaths(const std::vector<std::string>&, Completion) {
    missingMember("removeItemsAtPaths");
}
void SYNCloudFileSystem::performInitialPreparation(Completion) {
    missingMember("performInitialPreparation");
}
void SYNCloudFileSystem::primeForActivityWithCompletion(Completion) {
    missingMember("primeForActivityWithCompletion");
}
void SYNCloudFileSystem::repairMeshDirectory(const std::string&, Completion) {
    missingMember("repairMeshDirectory");
}
void SYNCloudFileSystem::moveLocalFile(const std::string&, const std::string&, Completion) {
    missingMember("moveLocalFile");
}
void SYNCloudFileSystem::downloadFromPathForReading(const std::string&, const std::string&, Completion) {
    missingMember("downloadFromPathForReading");
}
void SYNCloudFileSystem::entriesOfDirectoryAtPath(const std::string&, EntryListingCompletion) {
    missingMember("entriesOfDirectoryAtPath");
}
