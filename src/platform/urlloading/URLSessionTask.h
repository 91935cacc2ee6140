// URLSessionTask and its kinds: one request (and its redirects and
// authentication retries) carried out by a session.
//
// Tasks are made suspended by the session's factories; nothing is sent
// before resume(). resume, suspend and cancel may be called from any thread,
// also from delegate callbacks, never block, and may be repeated. A suspended
// task moves no bytes and its idle time-out does not run. cancel() completes
// the task with URLErrorCancelled unless it has already completed.
//
// The getters may be called from any thread. A download's temporary file is
// removed when the task object is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"
#include "platform/urlloading/URLRequest.h"
#include "platform/urlloading/URLResponse.h"

namespace plat::urlloading {

class URLSession;
namespace detail {
struct Transfer;
class Engine;
}  // namespace detail

inline constexpr int64_t URLSessionTransferSizeUnknown = -1;

enum class URLSessionTaskState { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
  public:
    virtual ~URLSessionTask();
    URLSessionTask(const URLSessionTask&) = delete;
    URLSessionTask& operator=(const URLSessionTask&) = delete;

    uint64_t taskIdentifier() const { return identifier_; }
    const std::optional<URLRequest>& originalRequest() const { return originalRequest_; }
    std::optional<URLRequest> currentRequest() const;
    HTTPURLResponsePtr response() const;
    URLSessionTaskState state() const;
    [[nodiscard]] ErrorPtr error() const;
    int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
    int64_t countOfBytesSent() const { return bytesSent_.load(); }
    int64_t countOfBytesExpectedToReceive() const { return bytesExpectedToReceive_.load(); }
    int64_t countOfBytesExpectedToSend() const { return bytesExpectedToSend_.load(); }
    std::string taskDescription() const;
    void setTaskDescription(std::string description);

    void resume();
    void suspend();
    void cancel();

  protected:
    URLSessionTask(std::shared_ptr<URLSession> session, uint64_t identifier,
                   std::optional<URLRequest> request);

    std::shared_ptr<URLSession> session_;

  private:
    friend class URLSession;
    friend class detail::Engine;
    friend struct detail::Transfer;

    // What currentRequest() gives from now on (a redirect, a cached answer).
    void replaceCurrentRequest(const URLRequest& request);

    const uint64_t identifier_;
    const std::optional<URLRequest> originalRequest_;
    std::unique_ptr<detail::Transfer> transfer_;  // touched on the network thread only

    mutable plat::Mutex mutex_;
    // Set once something (a redirect, a cached answer) replaces the
    // request: until then the current request is the original one, kept once.
    std::optional<URLRequest> currentRequest_ GUARDED_BY(mutex_);
    bool currentRequestReplaced_ GUARDED_BY(mutex_) = false;
    HTTPURLResponsePtr response_ GUARDED_BY(mutex_);
    URLSessionTaskState state_ GUARDED_BY(mutex_) = URLSessionTaskState::Suspended;
    ErrorPtr error_ GUARDED_BY(mutex_);
    std::string description_ GUARDED_BY(mutex_);
    std::atomic<int64_t> bytesReceived_{0}, bytesSent_{0}, bytesExpectedToReceive_{-1},
        bytesExpectedToSend_{-1};
};

class URLSessionDataTask : public URLSessionTask {
  protected:
    using URLSessionTask::URLSessionTask;
    friend class URLSession;
};

class URLSessionUploadTask : public URLSessionDataTask {
  protected:
    using URLSessionDataTask::URLSessionDataTask;
    friend class URLSession;
};

class URLSessionDownloadTask : public URLSessionTask {
  public:
    // Cancels the task; `completion` gets resume data when the download can
    // go on later (downloadTaskWithResumeData), else nothing. It runs on the
    // delegate queue before the task's completion.
    void cancelByProducingResumeData(std::function<void(std::optional<Data>)> completion);

  protected:
    using URLSessionTask::URLSessionTask;
    friend class URLSession;
};

}  // namespace plat::urlloading
