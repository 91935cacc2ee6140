// SYNFileTransferOperation: what the file download and upload operations
// share. Each moves one file between a local path and an HTTP request over a
// URL session of its own, whose callbacks arrive on the main thread.
//
// The completion runs exactly once, on the main thread: with nil, the
// response error ("SYNErrorDomain" 1001 "Status code: <code>" for a status
// outside 200-299), the connection's error, or "SYNErrorDomain" 101 when
// cancelled. cancel() may be called from any thread and at any time: its
// work is done on the main thread, and once the transfer has ended (or when
// it ends first) it changes nothing. A cancelled operation that has not yet
// begun completes with 101 when it is begun, without touching the network.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"
#include "platform/urlloading/URLRequest.h"
#include "platform/urlloading/URLResponse.h"
#include "sync/eventstore/SYNAsynchronousOperation.h"

namespace plat::urlloading {
class URLSession;
class URLSessionTask;
}  // namespace plat::urlloading

class SYNFileTransferOperation : public SYNAsynchronousOperation {
  public:
    using Completion = std::function<void(const plat::ErrorPtr& error)>;

    ~SYNFileTransferOperation() override;

    // A copy of the request the transfer sends.
    plat::urlloading::URLRequest request() const EXCLUDES(mutex_);
    const std::string& localPath() const { return localPath_; }
    Completion completion() const EXCLUDES(mutex_);
    void setCompletion(Completion completion) EXCLUDES(mutex_);

    void cancel() override;

  protected:
    SYNFileTransferOperation(plat::urlloading::URLRequest request, std::string localPath);

    // Main thread. Starts the task made by the subclass on the operation's
    // own session.
    using TaskMaker = std::function<std::shared_ptr<plat::urlloading::URLSessionTask>(
        plat::urlloading::URLSession& session, const plat::urlloading::URLRequest& request)>;
    void startTransfer(const TaskMaker& makeTask);
    // Main thread: calls the completion and ends the operation, the first
    // time only; later calls do nothing.
    void endTransfer(const plat::ErrorPtr& error);
    bool hasEnded() const { return ended_; }
    // The status error remembered from the response, if any.
    const plat::ErrorPtr& responseError() const { return responseError_; }
    // Cancels the running task; its completion will be ignored.
    void stopTask();

    // Main thread hooks, called only while the transfer has not ended.
    virtual void beginTransfer() = 0;
    virtual void receivedData(const plat::Data& data) = 0;
    virtual void transferFinished() = 0;
    virtual void transferFailed(const plat::ErrorPtr& error) = 0;
    virtual void transferCancelled() = 0;
    // "Error downloading file. Response: %@" or its upload twin.
    virtual const char* badResponseLogFormat() const = 0;

    mutable plat::Mutex mutex_;
    plat::urlloading::URLRequest request_ GUARDED_BY(mutex_);

  private:
    class SessionDelegate;
    void beginAsynchronousTask() final;
    void cancelOnMainThread();
    void receivedResponse(const plat::urlloading::HTTPURLResponsePtr& response);
    void completed(const plat::ErrorPtr& error);

    const std::string localPath_;
    Completion completion_ GUARDED_BY(mutex_);
    // Main thread only (the steps that touch them assert it).
    bool begun_ = false;
    bool ended_ = false;
    plat::ErrorPtr responseError_;
    std::shared_ptr<plat::urlloading::URLSession> session_;
    std::shared_ptr<plat::urlloading::URLSessionTask> task_;
};
