#include "sync/mesh/cloudfs/SYNFileUploadOperation.h"

#include "platform/foundation/FileManager.h"
#include "platform/urlloading/URLSession.h"
#include "sync/eventstore/SYNLogging.h"

namespace ul = plat::urlloading;

SYNFileUploadOperation::SYNFileUploadOperation(ul::URLRequest request, std::string localPath)
    : SYNFileTransferOperation(std::move(request), std::move(localPath)) {
    // Measured again as the transfer begins, where a failure ends it.
    (void)measureFile();
}

plat::ErrorPtr SYNFileUploadOperation::measureFile() {
    auto attributes = plat::FileManager::defaultManager().attributesOfItemAtPath(localPath());
    if (!attributes)
        return attributes.error();
    if (const plat::Value* size = attributes->find(plat::FileSize)) {
        plat::MutexLock lock(mutex_);
        request_.setValue(
            plat::format("%llu", static_cast<unsigned long long>(size->unsignedLongLongValue())),
            "Content-Length");
    }
    return nullptr;
}

void SYNFileUploadOperation::beginTransfer() {
    // Measured again: a length that no longer matches the file would make
    // the server wait for bytes that never come, or cut the body short.
    if (auto error = measureFile()) {
        endTransfer(error);
        return;
    }
    startTransfer([path = localPath()](ul::URLSession& session, const ul::URLRequest& request) {
        return std::shared_ptr<ul::URLSessionTask>(
            session.uploadTaskWithRequest(request, plat::URL::fileURLWithPath(path)));
    });
}

void SYNFileUploadOperation::receivedData(const plat::Data& data) {
    if (responseError())
        SYN_LOG(SYNLoggingLevelError, "Response XML: %@", data.toString());
}
