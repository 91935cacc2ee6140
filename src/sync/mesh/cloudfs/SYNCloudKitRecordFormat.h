// The record format of the cloud-database file system: which record type and
// record-name prefix a schema uses, how paths map to record IDs and back, the
// node records of the root, directories and files (and the separate data
// records of schema 1), the listed item a node record stands for, and the
// partial-error test every operation of the file system applies.
//
// Paths are not normalised: the full path of a path is the root directory
// string followed by the path with one leading "/" removed, so with the root
// "/r" the path "a" becomes "/ra". Record names are stored data, so this
// mapping must never change.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/cloudkit/Errors.h"
#include "platform/cloudkit/Types.h"
#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"

class SYNCloudKitRecordFormat {
  public:
    // `zoneID` none: records live in the database's default zone.
    // `withRecordParent`: set the record parent of directories and files
    // (file systems on a shared zone).
    SYNCloudKitRecordFormat(uint64_t schemaVersion, std::string rootDirectory,
                            std::optional<plat::cloudkit::RecordZoneID> zoneID, bool withRecordParent);

    uint64_t schemaVersion() const { return schemaVersion_; }
    const std::string& rootDirectory() const { return rootDirectory_; }
    // "SYNItem" under schema 1, "SYNFileSystemNode" otherwise.
    std::string fileSystemNodeRecordType() const;
    // "" under schema 1, "SYNFileSystemNode_" otherwise.
    std::string recordIDPrefix() const;

    std::string fullPathForPath(const std::string& path) const;
    plat::cloudkit::RecordID recordIDForFullPath(const std::string& fullPath) const;
    plat::cloudkit::RecordID recordIDForPath(const std::string& path) const;
    // Drops as many leading characters as the prefix has, without checking
    // that the prefix is there; a name shorter than the prefix gives "".
    std::string fullPathFromRecordID(const plat::cloudkit::RecordID& recordID) const;

    // A directory item when "isDirectory" is true, otherwise a file item
    // whose size is "fileSize" (0 when absent). The item's path is the full
    // path less the root directory's length in leading characters.
    std::shared_ptr<SYNCloudItem> itemForRecord(const plat::cloudkit::Record& record) const;

    // The root's node record: "isDirectory" YES, "path" the root directory
    // string; no parent reference of any kind.
    plat::cloudkit::Record createRootRecord() const;
    // A directory's node record: "directory" refers to the parent's record
    // with action delete-self, so the server's cascade takes subdirectories.
    plat::cloudkit::Record directoryRecordForPath(const std::string& path) const;
    // A file's node record: "directory" with action none, "fileSize"; under
    // schema 2 the content as the asset "data".
    plat::cloudkit::Record fileRecordForPath(const std::string& path, uint64_t fileSize,
                                             const std::string& contentFile) const;
    // Schema 1 keeps the content apart: "DataFile_" + full path, with "file"
    // referring to the node record and the asset "data".
    plat::cloudkit::RecordID dataRecordIDForPath(const std::string& path) const;
    plat::cloudkit::Record dataRecordForPath(const std::string& path, const std::string& contentFile) const;

    // True when the error's user info holds per-item errors and every one has
    // `code` (none at all counts as true); the error's own code is not read.
    static bool partialErrorOnlyIncludesErrorCode(const plat::ErrorPtr& error, int64_t code);

  private:
    plat::cloudkit::Record nodeRecord(const std::string& fullPath, bool isDirectory) const;
    void linkToParent(plat::cloudkit::Record& record, const std::string& fullPath,
                      plat::cloudkit::ReferenceAction action) const;

    uint64_t schemaVersion_;
    std::string rootDirectory_;
    std::optional<plat::cloudkit::RecordZoneID> zoneID_;
    bool withRecordParent_;
};
