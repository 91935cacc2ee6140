// SYNLocalCloudFileSystem: the cloud file system kept in an ordinary local
// directory, so that a folder (for instance one that another tool keeps in
// step between machines) stands in for the cloud.
//
// A cloud path maps to the root directory joined with the path. A path with a
// ".." or "." component, or a NUL byte, could leave the root, so it is
// refused with a file error and nothing is touched. Only the required members
// are provided.
//
// All file work is done synchronously on the calling thread before the method
// returns; the completion, when given, is then called asynchronously on the
// main queue, in the order of the calls. Errors are the file manager's.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/FileManager.h"
#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"

class SYNLocalCloudFileSystem : public SYNCloudFileSystem {
  public:
    // The root is neither created nor tested.
    explicit SYNLocalCloudFileSystem(std::string rootDirectory);

    const std::string& rootDirectory() const { return rootDirectory_; }
    // The root joined with the cloud path ("/" names the root itself);
    // nullopt for a path that could leave the root.
    std::optional<std::string> fullPathForPath(const std::string& path) const;

    bool isConnected() const override { return true; }
    // The login name of the current user, read when the completion runs.
    void fetchUserIdentityWithCompletion(IdentityCompletion completion) override;
    void connect(Completion completion) override;
    void fileExistsAtPath(const std::string& path, ExistenceCompletion completion) override;
    // Without intermediate directories; fails when something is at the path.
    void createDirectoryAtPath(const std::string& path, Completion completion) override;
    // A missing or unreadable directory lists as empty, never an error.
    void contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) override;
    void removeItemAtPath(const std::string& path, Completion completion) override;
    // Fails when the destination exists or its directory is missing. The
    // file appears whole: it is written under a hidden name, then moved.
    void uploadLocalFile(const std::string& localPath, const std::string& path,
                         Completion completion) override;
    // Fails when the local path exists.
    void downloadFromPath(const std::string& path, const std::string& localPath,
                          Completion completion) override;

  private:
    plat::FileManager fileManager_;
    std::string rootDirectory_;
};
