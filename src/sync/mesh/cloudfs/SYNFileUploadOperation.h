// SYNFileUploadOperation: sends one local file as the body of a request.
// Make it with std::make_shared, set the completion, then start it or add it
// to an operation queue.
//
// The request carries "Content-Length" with the file's size, measured when
// the operation is made and again when it begins; a file that cannot be read
// then fails the upload with the file error before anything is sent. A status
// outside 200-299 completes with 1001 "Status code: <code>", and the
// response body is logged as text.
#pragma once

#include "sync/mesh/cloudfs/SYNFileTransferOperation.h"

class SYNFileUploadOperation : public SYNFileTransferOperation {
  public:
    SYNFileUploadOperation(plat::urlloading::URLRequest request, std::string localPath);

  private:
    void beginTransfer() override;
    void receivedData(const plat::Data& data) override;
    void transferFinished() override {}
    void transferFailed(const plat::ErrorPtr&) override {}
    void transferCancelled() override {}
    const char* badResponseLogFormat() const override { return "Error uploading file. Response: %@"; }

    // Sets "Content-Length" to the file's size; the file error if unreadable.
    [[nodiscard]] plat::ErrorPtr measureFile();
};
