#include "sync/mesh/cloudfs/SYNFileDownloadOperation.h"

#include "platform/foundation/FileManager.h"
#include "platform/urlloading/URLSession.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"

namespace ul = plat::urlloading;

SYNFileDownloadOperation::SYNFileDownloadOperation(ul::URLRequest request, std::string localPath)
    : SYNFileTransferOperation(std::move(request), std::move(localPath)) {}

void SYNFileDownloadOperation::beginTransfer() {
    auto& fileManager = plat::FileManager::defaultManager();
    bool isDirectory = false;
    // Never wipe a directory tree to make room for a file.
    if (!(fileManager.fileExistsAtPath(localPath(), &isDirectory) && isDirectory)) {
        (void)fileManager.removeItemAtPath(localPath());  // usually absent; a stale one is replaced below
        if (fileManager.createFileAtPath(localPath())) {
            if (auto handle = plat::FileHandle::forWritingAtPath(localPath()))
                fileHandle_.emplace(std::move(handle).value());
        }
    }
    if (!fileHandle_) {
        endTransfer(SYNMakeError(SYNErrorFileAccessFailed, "Could not create local file for downloading"));
        return;
    }
    startTransfer([](ul::URLSession& session, const ul::URLRequest& request) {
        return std::shared_ptr<ul::URLSessionTask>(session.dataTaskWithRequest(request));
    });
}

void SYNFileDownloadOperation::receivedData(const plat::Data& data) {
    if (auto error = fileHandle_->write(data)) {
        // A short file must not pass for the download: stop here.
        SYN_LOG(SYNLoggingLevelError, "Could not write downloaded data: %@", error->description());
        stopTask();
        discardFile();
        endTransfer(error);
    }
}

void SYNFileDownloadOperation::transferFinished() {
    if (auto error = fileHandle_->close()) {
        discardFile();
        endTransfer(error);
    }
    fileHandle_.reset();
}

void SYNFileDownloadOperation::transferFailed(const plat::ErrorPtr&) {
    discardFile();
}

void SYNFileDownloadOperation::transferCancelled() {
    discardFile();
}

void SYNFileDownloadOperation::discardFile() {
    // Only after a failure, which the operation reports; the file may not exist.
    if (fileHandle_) {
        (void)fileHandle_->close();  // the failure is reported already
        fileHandle_.reset();
    }
    (void)plat::FileManager::defaultManager().removeItemAtPath(localPath());
}
