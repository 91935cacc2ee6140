#include "platform/coredata/BinaryStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <system_error>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/coredata/detail/BinaryFileReader.h"
#include "platform/coredata/detail/BinaryFileWriter.h"
#include "platform/coredata/detail/BinaryFormat.h"
#include "platform/coredata/detail/BinaryValueCoding.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/FileWriteEnvironment.h"

namespace plat::coredata {
namespace {

using namespace binary;

Dictionary decodeMetadata(Reader section) {
    Value v = decodeValue(section, 0);
    if (!v.isDictionary() || !section.atEnd())
        corrupt("malformed metadata");
    const Dictionary& metadata = *v.asDictionary();
    const Value* type = metadata.find(StoreTypeKey);
    const Value* uuid = metadata.find(StoreUUIDKey);
    const Value* hashes = metadata.find(StoreModelVersionHashesKey);
    if (!type || !type->isString() || *type->asString() != BinaryStoreType)
        corrupt("the metadata does not name the binary store type");
    if (!uuid || !uuid->isString() || uuid->asString()->empty())
        corrupt("the metadata has no store UUID");
    if (!hashes || !hashes->isDictionary())
        corrupt("the metadata has no model version hashes");
    return metadata;
}

std::map<std::string, Data> hashesIn(const Dictionary& metadata) {
    std::map<std::string, Data> hashes;
    for (const auto& [name, hash] : *metadata.find(StoreModelVersionHashesKey)->asDictionary()) {
        if (!hash.isData())
            corrupt("malformed model version hash");
        hashes[name] = *hash.asData();
    }
    return hashes;
}

ErrorPtr refusalError(const Refusal& refusal, const std::string& path) {
    Dictionary info;
    info.set(FilePathErrorKey, Value(path));
    info.set(DebugDescriptionErrorKey, Value(refusal.reason));
    std::string what = refusal.code == FileReadCorruptFileError
                           ? "The file \"" + path + "\" is not a valid binary store: "
                           : "The binary store \"" + path + "\" cannot be opened with this model: ";
    return makeError(refusal.code, what + refusal.reason + ".", std::move(info));
}

// What made a file write fail, in words: the system's reason (disk full,
// read-only file system, permission denied, ...) found in the chain of
// underlying errors, else the error's own description.
std::string writeFailureCause(const Error& error) {
    for (const Error* e = &error; e;) {
        if (e->domain() == POSIXErrorDomain) {
            const int err = static_cast<int>(e->code());
            std::string cause = err == ENOSPC || err == EDQUOT  ? "the disk is full"
                                : err == EROFS                  ? "the volume is read-only"
                                : err == EACCES || err == EPERM ? "permission denied"
                                                                : std::string();
            const std::string reason = std::generic_category().message(err);
            return cause.empty() ? reason + " (errno " + std::to_string(err) + ")"
                                 : cause + " (" + reason + ", errno " + std::to_string(err) + ")";
        }
        const Value* next = e->userInfo().find(UnderlyingErrorKey);
        auto object = next ? next->asObjectOf<Error>() : nullptr;
        e = object.get();
    }
    return error.localizedDescription();
}

ErrorPtr readError(int err, const std::string& path) {
    int64_t code = err == ENOENT   ? FileReadNoSuchFileError
                   : err == EACCES ? FileReadNoPermissionError
                                   : FileReadUnknownError;
    Dictionary info;
    info.set(FilePathErrorKey, Value(path));
    info.set(UnderlyingErrorKey, Value(ObjectPtr(Error::make(POSIXErrorDomain, err))));
    return makeError(code, "The file \"" + path + "\" could not be read.", std::move(info));
}

// Reads up to length bytes at offset; fewer at the end of the file.
Result<std::vector<uint8_t>> readBytes(int fd, uint64_t offset, std::size_t length, const std::string& path) {
    std::vector<uint8_t> bytes(length);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return readError(errno, path);
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

bool flag(const Dictionary& options, const char* key) {
    const Value* v = options.find(key);
    return v && v->boolValue();
}

}  // namespace

BinaryStore::BinaryStore(std::optional<plat::URL> url, std::string configuration, Dictionary options)
    : InMemoryStore(std::move(url), std::move(configuration), std::move(options)) {}

std::string BinaryStore::path() const {
    return URL() && URL()->isFileURL() ? URL()->path() : std::string();
}

bool BinaryStore::migrationAllowed() const {
    return flag(options(), MigratePersistentStoresAutomaticallyOption) &&
           flag(options(), InferMappingModelAutomaticallyOption);
}

ErrorPtr BinaryStore::load(const std::shared_ptr<const ManagedObjectModel>& model) {
    if (path().empty())
        return makeError(PersistentStoreOpenError, "The binary store needs a file URL.");
    if (auto error = InMemoryStore::load(model))
        return error;
    // Temporary files of saves whose process died mid-write hold nothing
    // the store still needs: the file was replaced only after a whole write.
    if (!isReadOnly())
        removeAbandonedAtomicWriteFiles(path());
    knownFile_ = fileIdentity();
    auto contents = FileManager::defaultManager().dataWithContentsOfFile(path());
    if (!contents) {
        if (!isNoSuchFileError(contents.error()) || isReadOnly())
            return contents.error();
        return writeFile();
    }
    if (contents->empty())
        return isReadOnly() ? nullptr : writeFile();
    return loadFile(*contents);
}

ErrorPtr BinaryStore::loadFile(const Data& contents) {
    try {
        Reader file(contents.bytes(), contents.length());
        readHeader(file);
        Dictionary stored = decodeMetadata(readSection(file, "metadata"));
        Reader objects = readSection(file, "objects");
        if (!file.atEnd())
            corrupt("unexpected bytes after the objects");
        bool matches = hashesIn(stored) == model()->entityVersionHashesByName();
        if (!matches && !migrationAllowed())
            throw Refusal{PersistentStoreIncompatibleVersionHashError,
                          "the store was written for another version of the model"};
        // Object IDs carry the store's identifier (in their URIs): check it
        // and set it before reading rows.
        const std::string uuid = *stored.find(StoreUUIDKey)->asString();
        if (!isValidStoreIdentifier(uuid))
            corrupt("the store UUID is not a valid identifier");
        setIdentifier(uuid);
        FileReader(*this, !matches).read(objects);
        Dictionary current = metadata();
        stored.set(StoreModelVersionHashesKey, *current.find(StoreModelVersionHashesKey));
        {
            plat::MutexLock lock(metadataMutex_);
            metadata_ = std::move(stored);
            ++metadataChanges_;
        }
        return !matches && !isReadOnly() ? writeFile() : nullptr;
    } catch (const Refusal& refusal) {
        tables_.clear();
        return refusalError(refusal, path());
    }
}

std::array<uint64_t, 4> BinaryStore::fileIdentity() const {
    struct stat st {};
    if (::stat(path().c_str(), &st) != 0)
        return {};
    const auto modified =
        static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<uint64_t>(st.st_size), modified};
}

ErrorPtr BinaryStore::writeFile() {
    // Every write replaces the whole file with this store's rows: refuse when
    // another coordinator has written it since, rather than drop its saves.
    // (A file that has disappeared is written again.)
    const auto current = fileIdentity();
    if (current != std::array<uint64_t, 4>{} && current != knownFile_) {
        Dictionary info;
        info.set(FilePathErrorKey, Value(path()));
        return makeError(PersistentStoreSaveError,
                         "The binary store \"" + path() +
                             "\" was changed by another coordinator since it was read; add it again to see "
                             "those changes.",
                         std::move(info));
    }
    auto bytes = FileWriter(*this).write();
    if (!bytes)
        return bytes.error();
    if (auto error = FileManager::defaultManager().writeData(*bytes, path(), true)) {
        Dictionary info;
        info.set(UnderlyingErrorKey, Value(ObjectPtr(error)));
        info.set(FilePathErrorKey, Value(path()));
        return makeError(
            PersistentStoreSaveError,
            "The binary store \"" + path() + "\" could not be written: " + writeFailureCause(*error) + ".",
            std::move(info));
    }
    knownFile_ = fileIdentity();
    return nullptr;
}

Result<std::vector<int64_t>> BinaryStore::reservePrimaryKeys(const EntityDescription& entity,
                                                             std::size_t count) {
    auto keys = InMemoryStore::reservePrimaryKeys(entity, count);
    if (!keys || isReadOnly() || count == 0)
        return keys;
    // The counter stays advanced in memory even when the write fails, so
    // that no key is handed out twice in this process either.
    if (auto error = writeFile())
        return error;
    return keys;
}

ErrorPtr BinaryStore::save(const StoreChanges& changes) {
    if (isReadOnly())
        return InMemoryStore::save(changes);
    // The rows in memory must match the file: when the write fails, the
    // applied changes are undone and the save reports the failure.
    auto before = tables_;  // rows share their snapshots: a shallow copy
    if (auto error = InMemoryStore::save(changes))
        return error;
    if (auto error = writeFile()) {
        tables_ = std::move(before);
        return error;
    }
    return nullptr;
}

bool BinaryStore::isBinaryStoreFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // never wait on a FIFO
    if (fd < 0)
        return false;
    auto prefix = readBytes(fd, 0, kMagic.size(), path);
    (void)::close(fd);  // read only: closing loses nothing
    return prefix && prefix->size() == kMagic.size() &&
           std::equal(kMagic.begin(), kMagic.end(), prefix->begin());
}

Result<Dictionary> BinaryStore::metadataForStoreAtPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // never wait on a FIFO
    if (fd < 0)
        return readError(errno, path);
    struct Closer {
        int fd;
        ~Closer() { (void)::close(fd); }  // read only: closing loses nothing
    } closer{fd};
    try {
        auto head = readBytes(fd, 0, kHeaderSize + kSectionHeaderSize, path);
        if (!head)
            return head.error();
        Reader header(head->data(), head->size());
        readHeader(header);
        uint64_t length = header.fixed(8, "metadata");
        header.fixed(4, "metadata");
        struct stat st;
        if (::fstat(fd, &st) != 0)
            return readError(errno, path);
        if (length > static_cast<uint64_t>(st.st_size))
            corrupt("truncated metadata");
        auto section = readBytes(fd, kHeaderSize, kSectionHeaderSize + length, path);
        if (!section)
            return section.error();
        Reader file(section->data(), section->size());
        return decodeMetadata(readSection(file, "metadata"));
    } catch (const Refusal& refusal) {
        return refusalError(refusal, path);
    }
}

void BinaryStore::registerStoreType() {
    PersistentStoreCoordinator::registerStoreType(
        BinaryStoreType,
        [](const std::optional<plat::URL>& url, const std::string& configuration, const Dictionary& options) {
            return std::make_shared<BinaryStore>(url, configuration, options);
        });
}

}  // namespace plat::coredata
