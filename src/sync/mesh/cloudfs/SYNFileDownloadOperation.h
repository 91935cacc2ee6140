// SYNFileDownloadOperation: downloads the body of a request into one local
// file. Make it with std::make_shared, set the completion, then start it or
// add it to an operation queue.
//
// On beginning, any file at localPath is replaced by an empty one (a
// directory there is refused, as is a path that cannot be written: both
// give "SYNErrorDomain" 107 "Could not create local file for downloading").
// The body goes only to localPath, whatever the server names. A status
// outside 200-299 still keeps the body in the file and completes with 1001
// "Status code: <code>". A cancelled download, one whose connection failed
// and one whose file could not be written leave no file at localPath.
#pragma once

#include <optional>

#include "platform/foundation/FileHandle.h"
#include "sync/mesh/cloudfs/SYNFileTransferOperation.h"

class SYNFileDownloadOperation : public SYNFileTransferOperation {
  public:
    SYNFileDownloadOperation(plat::urlloading::URLRequest request, std::string localPath);

  private:
    void beginTransfer() override;
    void receivedData(const plat::Data& data) override;
    void transferFinished() override;
    void transferFailed(const plat::ErrorPtr& error) override;
    void transferCancelled() override;
    const char* badResponseLogFormat() const override { return "Error downloading file. Response: %@"; }
    void discardFile();

    std::optional<plat::FileHandle> fileHandle_;  // main thread only
};
