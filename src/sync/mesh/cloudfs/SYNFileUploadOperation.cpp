#include "sync/mesh/cloudfs/SYNFileUploadOperation.h"

#include "platform/foundation/FileManager.h"
#include "platform/urlloading/URLSession.h"
#include "sync/eventstore/SYNLogging.h"

namespace ul = plat::urlloading;

SYNFileUploadOperation::SYNFileUploadOperation(ul::URLRequest request, std::string localPath)
    : SYNFileTransferOperation(std::move(request), std::move(localPath)) {
    auto attributes = plat::FileManager::defaultManager().attributesOfItemAtPath(this->localPath());
    const plat::Value* size = attributes ? attributes->find(plat::FileSize) : nullptr;
    if (!attributes) {
        fileError_ = attributes.error();
    } else if (size) {
        request_.setValue(
            plat::format("%llu", static_cast<unsigned long long>(size->unsignedLongLongValue())),
            "Content-Length");
    }
}

void SYNFileUploadOperation::beginTransfer() {
    if (fileError_) {
        endTransfer(fileError_);
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
