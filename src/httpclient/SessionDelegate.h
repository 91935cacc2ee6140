// SessionDelegate: receives every callback of a session made by a
// SessionManager, keeps the table from running task to Request, and hands
// each callback to an application override or to the request's task
// delegate. At completion it runs the request's validations, asks the
// retrier, completes the task delegate, posts the completion notification
// and forgets the task.
//
// Threads: the session calls it on its delegate queue; the task table, the
// retrier and the manager may be read and set from any thread. They sit
// behind one leaf lock, held only to read or change them and never while an
// override, a task delegate or the retrier runs. Set the overrides before
// the first request starts: they are read without a lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "httpclient/Request.h"
#include "platform/foundation/FlatHashTable.h"
#include "platform/foundation/Mutex.h"
#include "platform/urlloading/URLSessionDelegate.h"

namespace httpclient {

class SessionManager;

class SessionDelegate : public ul::URLSessionDelegate, public std::enable_shared_from_this<SessionDelegate> {
  public:
    using Disposition = ul::URLSessionAuthChallengeDisposition;
    using ChallengeAnswer = std::pair<Disposition, std::optional<ul::URLCredential>>;

    // Overrides, each absent at first; set them before requests start.
    std::function<void(ul::URLSession&, const ErrorPtr&)> sessionDidBecomeInvalidWithError;
    std::function<ChallengeAnswer(ul::URLSession&, const ul::URLAuthenticationChallenge&)>
        sessionDidReceiveChallenge;
    std::function<void(ul::URLSession&, const ul::URLAuthenticationChallenge&, ul::ChallengeCompletion)>
        sessionDidReceiveChallengeWithCompletion;
    std::function<void(ul::URLSession&)> sessionDidFinishEventsForBackgroundURLSession;
    std::function<std::optional<URLRequest>(ul::URLSession&, ul::URLSessionTask&,
                                            const ul::HTTPURLResponsePtr&, const URLRequest&)>
        taskWillPerformHTTPRedirection;
    std::function<void(ul::URLSession&, ul::URLSessionTask&, const ul::HTTPURLResponsePtr&, const URLRequest&,
                       ul::RedirectCompletion)>
        taskWillPerformHTTPRedirectionWithCompletion;
    std::function<ChallengeAnswer(ul::URLSession&, ul::URLSessionTask&,
                                  const ul::URLAuthenticationChallenge&)>
        taskDidReceiveChallenge;
    std::function<void(ul::URLSession&, ul::URLSessionTask&, const ul::URLAuthenticationChallenge&,
                       ul::ChallengeCompletion)>
        taskDidReceiveChallengeWithCompletion;
    std::function<std::shared_ptr<plat::InputStream>(ul::URLSession&, ul::URLSessionTask&)>
        taskNeedNewBodyStream;
    std::function<void(ul::URLSession&, ul::URLSessionTask&, ul::BodyStreamCompletion)>
        taskNeedNewBodyStreamWithCompletion;
    std::function<void(ul::URLSession&, ul::URLSessionTask&, int64_t, int64_t, int64_t)> taskDidSendBodyData;
    std::function<void(ul::URLSession&, ul::URLSessionTask&, const ErrorPtr&)> taskDidComplete;
    std::function<ul::URLSessionResponseDisposition(ul::URLSession&, ul::URLSessionDataTask&,
                                                    const ul::HTTPURLResponsePtr&)>
        dataTaskDidReceiveResponse;
    std::function<void(ul::URLSession&, ul::URLSessionDataTask&, const ul::HTTPURLResponsePtr&,
                       ul::ResponseCompletion)>
        dataTaskDidReceiveResponseWithCompletion;
    std::function<void(ul::URLSession&, ul::URLSessionDataTask&, const Data&)> dataTaskDidReceiveData;
    std::function<void(ul::URLSession&, ul::URLSessionDataTask&,
                       const std::shared_ptr<ul::URLSessionDownloadTask>&)>
        dataTaskDidBecomeDownloadTask;
    std::function<std::optional<ul::CachedURLResponse>(ul::URLSession&, ul::URLSessionDataTask&,
                                                       const ul::CachedURLResponse&)>
        dataTaskWillCacheResponse;
    std::function<void(ul::URLSession&, ul::URLSessionDataTask&, const ul::CachedURLResponse&,
                       ul::CacheCompletion)>
        dataTaskWillCacheResponseWithCompletion;
    std::function<void(ul::URLSession&, ul::URLSessionDownloadTask&, const URL&)>
        downloadTaskDidFinishDownloadingToURL;
    std::function<void(ul::URLSession&, ul::URLSessionDownloadTask&, int64_t, int64_t, int64_t)>
        downloadTaskDidWriteData;
    std::function<void(ul::URLSession&, ul::URLSessionDownloadTask&, int64_t, int64_t)>
        downloadTaskDidResumeAtOffset;
    // Stream tasks: these events reach only these callbacks.
    std::function<void(ul::URLSession&, ul::URLSessionStreamTask&)> streamTaskReadClosed;
    std::function<void(ul::URLSession&, ul::URLSessionStreamTask&)> streamTaskWriteClosed;
    std::function<void(ul::URLSession&, ul::URLSessionStreamTask&)> streamTaskBetterRouteDiscovered;
    std::function<void(ul::URLSession&, ul::URLSessionStreamTask&, const std::shared_ptr<plat::InputStream>&,
                       const std::shared_ptr<plat::OutputStream>&)>
        streamTaskDidBecomeInputStream;

    std::shared_ptr<RequestRetrier> retrier() const;
    void setRetrier(std::shared_ptr<RequestRetrier> retrier);
    std::shared_ptr<SessionManager> sessionManager() const;
    void setSessionManager(std::weak_ptr<SessionManager> manager);

    // The request stored under a task's identifier.
    std::shared_ptr<Request> request(const ul::URLSessionTask& task) const;
    void setRequest(const ul::URLSessionTask& task, std::shared_ptr<Request> request);
    std::size_t requestCount() const;

    bool implements(Callback callback) const override;

    void didBecomeInvalidWithError(ul::URLSession&, const ErrorPtr&) override;
    void didReceiveChallenge(ul::URLSession&, const ul::URLAuthenticationChallenge&,
                             ul::ChallengeCompletion completion) override;
    void willPerformHTTPRedirection(ul::URLSession&, ul::URLSessionTask&, const ul::HTTPURLResponsePtr&,
                                    const URLRequest& newRequest, ul::RedirectCompletion completion) override;
    void didReceiveChallenge(ul::URLSession&, ul::URLSessionTask&, const ul::URLAuthenticationChallenge&,
                             ul::ChallengeCompletion completion) override;
    void needNewBodyStream(ul::URLSession&, ul::URLSessionTask&,
                           ul::BodyStreamCompletion completion) override;
    void didSendBodyData(ul::URLSession&, ul::URLSessionTask&, int64_t bytesSent, int64_t totalBytesSent,
                         int64_t totalBytesExpectedToSend) override;
    void didFinishCollectingMetrics(ul::URLSession&, ul::URLSessionTask&,
                                    const std::shared_ptr<ul::TaskMetrics>&) override;
    void didCompleteWithError(ul::URLSession&, ul::URLSessionTask&, const ErrorPtr&) override;
    // The task's last chunk, metrics and completion with one look-up of its
    // request (and of that request's delegate for the first two). A subclass
    // gets the three calls one by one, so that its overrides of them run.
    void didEndTask(ul::URLSession&, ul::URLSessionTask&, Data* lastChunk,
                    const std::shared_ptr<ul::TaskMetrics>&, const ErrorPtr&) override;
    void didReceiveResponse(ul::URLSession&, ul::URLSessionDataTask&, const ul::HTTPURLResponsePtr&,
                            ul::ResponseCompletion completion) override;
    void didReceiveData(ul::URLSession&, ul::URLSessionDataTask&, const Data&) override;
    // The request's data task delegate keeps a chunk it collects as given.
    void didReceiveOwnedData(ul::URLSession&, ul::URLSessionDataTask&, Data&& data) override;
    // Without the override: the request under the task gets a download task
    // delegate; handlers already waiting on the data task delegate run once
    // the download has completed.
    void didBecomeDownloadTask(ul::URLSession&, ul::URLSessionDataTask&,
                               const std::shared_ptr<ul::URLSessionDownloadTask>& download) override;
    // The overrides, else the request's data task delegate; without either
    // the proposal is kept unchanged.
    void willCacheResponse(ul::URLSession&, ul::URLSessionDataTask&, const ul::CachedURLResponse& proposed,
                           ul::CacheCompletion completion) override;
    void didFinishDownloadingToURL(ul::URLSession&, ul::URLSessionDownloadTask&,
                                   const URL& location) override;
    void didWriteData(ul::URLSession&, ul::URLSessionDownloadTask&, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
    void didResumeAtOffset(ul::URLSession&, ul::URLSessionDownloadTask&, int64_t fileOffset,
                           int64_t expectedTotalBytes) override;
    void readClosedForStreamTask(ul::URLSession&, ul::URLSessionStreamTask&) override;
    void writeClosedForStreamTask(ul::URLSession&, ul::URLSessionStreamTask&) override;
    void betterRouteDiscoveredForStreamTask(ul::URLSession&, ul::URLSessionStreamTask&) override;
    void didBecomeInputStream(ul::URLSession&, ul::URLSessionStreamTask&,
                              const std::shared_ptr<plat::InputStream>&,
                              const std::shared_ptr<plat::OutputStream>&) override;

  private:
    // A chunk to the override, else to the request's data task delegate
    // (moved when the caller gives it up).
    template <class D>
    void deliverData(ul::URLSession& session, ul::URLSessionDataTask& task, D&& data);
    // The same with the request's delegate already taken (null without one).
    template <class D>
    void deliverData(ul::URLSession& session, ul::URLSessionDataTask& task, D&& data,
                     const std::shared_ptr<TaskDelegate>& delegate);
    // didCompleteWithError with the task's request already looked up.
    void completeWithError(ul::URLSession& session, ul::URLSessionTask& task, const ErrorPtr& error,
                           std::shared_ptr<Request> r);
    ChallengeAnswer sessionChallengeAnswer(ul::URLSession&, const ul::URLAuthenticationChallenge&);
    // `r`: the request stored for the task (null when there is none).
    void completeTask(ul::URLSession& session, ul::URLSessionTask& task, const ErrorPtr& error,
                      const std::shared_ptr<Request>& r);
    // The same with the request's delegate already taken (null without a request).
    void completeTask(ul::URLSession& session, ul::URLSessionTask& task, const ErrorPtr& error,
                      const std::shared_ptr<Request>& r, const std::shared_ptr<TaskDelegate>& delegate);

    // The request of each task in flight, by task identifier: an open table
    // (storing and dropping a request allocates nothing once it has grown).
    struct RequestSlot {
        uint64_t task = 0;
        std::shared_ptr<Request> request;  // null: an empty slot
    };
    struct RequestSlotTraits {
        static bool used(const RequestSlot& s) { return s.request != nullptr; }
        static std::size_t hash(const RequestSlot& s) { return s.task; }
        static bool matches(const RequestSlot& s, uint64_t task, std::size_t) { return s.task == task; }
    };

    mutable plat::Mutex lock_;
    plat::FlatHashTable<RequestSlot, RequestSlotTraits> requests_ GUARDED_BY(lock_);
    std::shared_ptr<RequestRetrier> retrier_ GUARDED_BY(lock_);
    std::weak_ptr<SessionManager> sessionManager_ GUARDED_BY(lock_);
};

}  // namespace httpclient
