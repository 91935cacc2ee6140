#include "sync/mesh/cloudfs/SYNFileTransferOperation.h"

#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"
#include "platform/urlloading/URLSession.h"
#include "platform/urlloading/URLSessionDelegate.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"

namespace ul = plat::urlloading;

// Hands the session's callbacks (on the main queue) to the operation while
// it lives.
class SYNFileTransferOperation::SessionDelegate : public ul::URLSessionDelegate {
  public:
    explicit SessionDelegate(std::weak_ptr<SYNFileTransferOperation> operation)
        : operation_(std::move(operation)) {}

    bool implements(Callback callback) const override { return callback == Callback::DidReceiveResponse; }

    void didReceiveResponse(ul::URLSession&, ul::URLSessionDataTask&, const ul::HTTPURLResponsePtr& response,
                            ul::ResponseCompletion completion) override {
        if (auto op = operation_.lock())
            op->receivedResponse(response);
        completion(ul::URLSessionResponseDisposition::Allow);
    }
    void didReceiveData(ul::URLSession&, ul::URLSessionDataTask&, const plat::Data& data) override {
        plat::dispatch::Queue::main().assertCurrent();
        if (auto op = operation_.lock(); op && !op->ended_)
            op->receivedData(data);
    }
    void didCompleteWithError(ul::URLSession&, ul::URLSessionTask&, const plat::ErrorPtr& error) override {
        if (auto op = operation_.lock())
            op->completed(error);
    }

  private:
    std::weak_ptr<SYNFileTransferOperation> operation_;
};

SYNFileTransferOperation::SYNFileTransferOperation(ul::URLRequest request, std::string localPath)
    : request_(std::move(request)), localPath_(std::move(localPath)) {}

SYNFileTransferOperation::~SYNFileTransferOperation() {
    if (session_)
        session_->invalidateAndCancel();
}

ul::URLRequest SYNFileTransferOperation::request() const {
    plat::MutexLock lock(mutex_);
    return request_;
}

SYNFileTransferOperation::Completion SYNFileTransferOperation::completion() const {
    plat::MutexLock lock(mutex_);
    return completion_;
}

void SYNFileTransferOperation::setCompletion(Completion completion) {
    plat::MutexLock lock(mutex_);
    completion_ = std::move(completion);
}

void SYNFileTransferOperation::beginAsynchronousTask() {
    begun_ = true;
    if (isCancelled()) {
        endTransfer(SYNMakeError(SYNErrorCancelled));
        return;
    }
    beginTransfer();
}

void SYNFileTransferOperation::startTransfer(const TaskMaker& makeTask) {
    plat::dispatch::Queue::main().assertCurrent();
    auto configuration = ul::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.connectionProxyFromEnvironment = false;
    auto self = std::static_pointer_cast<SYNFileTransferOperation>(shared_from_this());
    session_ = ul::URLSession::sessionWithConfiguration(std::move(configuration),
                                                        std::make_shared<SessionDelegate>(self),
                                                        plat::dispatch::OperationQueue::mainQueue());
    task_ = makeTask(*session_, request());
    task_->resume();
}

void SYNFileTransferOperation::cancel() {
    SYNAsynchronousOperation::cancel();
    auto self = std::static_pointer_cast<SYNFileTransferOperation>(shared_from_this());
    plat::dispatch::Queue::main().async([self] { self->cancelOnMainThread(); });
}

void SYNFileTransferOperation::cancelOnMainThread() {
    plat::dispatch::Queue::main().assertCurrent();
    // Not begun: the beginning sees the cancellation. Ended: nothing to undo.
    if (!begun_ || ended_)
        return;
    stopTask();
    transferCancelled();
    endTransfer(SYNMakeError(SYNErrorCancelled));
}

void SYNFileTransferOperation::stopTask() {
    if (task_)
        task_->cancel();
}

void SYNFileTransferOperation::receivedResponse(const ul::HTTPURLResponsePtr& response) {
    plat::dispatch::Queue::main().assertCurrent();
    if (ended_ || !response)
        return;
    const int status = response->statusCode();
    if (status < 200 || status >= 300) {
        SYN_LOG(SYNLoggingLevelError, badResponseLogFormat(), response->description());
        responseError_ =
            SYNMakeError(SYNErrorServerError, plat::format("Status code: %ld", static_cast<long>(status)));
    }
}

void SYNFileTransferOperation::completed(const plat::ErrorPtr& error) {
    plat::dispatch::Queue::main().assertCurrent();
    if (ended_)
        return;
    if (error) {
        transferFailed(error);
        endTransfer(error);
        return;
    }
    transferFinished();
    if (!ended_)
        endTransfer(responseError_);
}

void SYNFileTransferOperation::endTransfer(const plat::ErrorPtr& error) {
    plat::dispatch::Queue::main().assertCurrent();
    if (ended_)
        return;
    ended_ = true;
    if (session_)
        session_->finishTasksAndInvalidate();
    if (auto completion = this->completion())
        completion(error);
    endAsynchronousTask();
}
