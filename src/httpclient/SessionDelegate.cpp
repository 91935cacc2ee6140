#include "httpclient/SessionDelegate.h"

#include <exception>
#include <string>
#include <typeinfo>

#include "httpclient/Notifications.h"
#include "httpclient/ServerTrustPolicy.h"
#include "httpclient/SessionManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"

namespace httpclient {

std::shared_ptr<RequestRetrier> SessionDelegate::retrier() const {
    plat::MutexLock lock(lock_);
    return retrier_;
}

void SessionDelegate::setRetrier(std::shared_ptr<RequestRetrier> retrier) {
    plat::MutexLock lock(lock_);
    retrier_ = std::move(retrier);
}

std::shared_ptr<SessionManager> SessionDelegate::sessionManager() const {
    plat::MutexLock lock(lock_);
    return sessionManager_.lock();
}

void SessionDelegate::setSessionManager(std::weak_ptr<SessionManager> manager) {
    plat::MutexLock lock(lock_);
    sessionManager_ = std::move(manager);
}

std::shared_ptr<Request> SessionDelegate::request(const ul::URLSessionTask& task) const {
    const uint64_t id = task.taskIdentifier();
    plat::MutexLock lock(lock_);
    const RequestSlot* slot = requests_.find(id, id);
    return slot ? slot->request : nullptr;
}

void SessionDelegate::setRequest(const ul::URLSessionTask& task, std::shared_ptr<Request> request) {
    const uint64_t id = task.taskIdentifier();
    std::shared_ptr<Request> replaced;  // let go of after the lock
    plat::MutexLock lock(lock_);
    RequestSlot* slot = requests_.find(id, id);
    if (request) {
        if (slot)
            replaced = std::exchange(slot->request, std::move(request));
        else
            requests_.insertNew(id, RequestSlot{id, std::move(request)});
    } else if (slot) {
        replaced = std::move(slot->request);
        requests_.erase(slot);
    }
}

std::size_t SessionDelegate::requestCount() const {
    plat::MutexLock lock(lock_);
    return requests_.size();
}

bool SessionDelegate::implements(Callback callback) const {
    switch (callback) {
        case Callback::SessionDidReceiveChallenge:
            return bool(sessionDidReceiveChallenge) || bool(sessionDidReceiveChallengeWithCompletion);
        case Callback::WillPerformHTTPRedirection:
            return bool(taskWillPerformHTTPRedirection) || bool(taskWillPerformHTTPRedirectionWithCompletion);
        case Callback::DidReceiveResponse:
            return bool(dataTaskDidReceiveResponse) || bool(dataTaskDidReceiveResponseWithCompletion);
        case Callback::TaskDidReceiveChallenge:
        case Callback::WillCacheResponse:
            return true;
    }
    return false;
}

void SessionDelegate::didBecomeInvalidWithError(ul::URLSession& session, const ErrorPtr& error) {
    if (sessionDidBecomeInvalidWithError)
        sessionDidBecomeInvalidWithError(session, error);
}

SessionDelegate::ChallengeAnswer SessionDelegate::sessionChallengeAnswer(
    ul::URLSession& session, const ul::URLAuthenticationChallenge& challenge) {
    ChallengeAnswer answer{Disposition::PerformDefaultHandling, std::nullopt};
    if (sessionDidReceiveChallenge) {
        answer = sessionDidReceiveChallenge(session, challenge);
    } else if (challenge.protectionSpace.authenticationMethod == ul::URLAuthenticationMethodServerTrust) {
        const auto& host = challenge.protectionSpace.host;
        auto manager = serverTrustPolicyManager(session);
        auto policy = manager ? manager->serverTrustPolicy(host) : std::nullopt;
        const auto& trust = challenge.protectionSpace.serverTrust;
        if (policy && trust) {
            if (policy->evaluate(trust, host))
                answer = {Disposition::UseCredential, ul::URLCredential::forTrust(trust)};
            else
                answer = {Disposition::CancelAuthenticationChallenge, std::nullopt};
        }
    }
    return answer;
}

void SessionDelegate::didReceiveChallenge(ul::URLSession& session,
                                          const ul::URLAuthenticationChallenge& challenge,
                                          ul::ChallengeCompletion completion) {
    if (sessionDidReceiveChallengeWithCompletion) {
        sessionDidReceiveChallengeWithCompletion(session, challenge, std::move(completion));
        return;
    }
    auto [disposition, credential] = sessionChallengeAnswer(session, challenge);
    completion(disposition, credential);
}

void SessionDelegate::willPerformHTTPRedirection(ul::URLSession& session, ul::URLSessionTask& task,
                                                 const ul::HTTPURLResponsePtr& response,
                                                 const URLRequest& newRequest,
                                                 ul::RedirectCompletion completion) {
    if (taskWillPerformHTTPRedirectionWithCompletion) {
        taskWillPerformHTTPRedirectionWithCompletion(session, task, response, newRequest,
                                                     std::move(completion));
        return;
    }
    std::optional<URLRequest> redirect = newRequest;
    if (taskWillPerformHTTPRedirection)
        redirect = taskWillPerformHTTPRedirection(session, task, response, newRequest);
    completion(redirect);
}

void SessionDelegate::didReceiveChallenge(ul::URLSession& session, ul::URLSessionTask& task,
                                          const ul::URLAuthenticationChallenge& challenge,
                                          ul::ChallengeCompletion completion) {
    if (taskDidReceiveChallengeWithCompletion) {
        taskDidReceiveChallengeWithCompletion(session, task, challenge, std::move(completion));
    } else if (taskDidReceiveChallenge) {
        auto [disposition, credential] = taskDidReceiveChallenge(session, task, challenge);
        completion(disposition, credential);
    } else if (auto r = request(task)) {
        r->delegate()->didReceiveChallenge(session, task, challenge, std::move(completion));
    } else {
        didReceiveChallenge(session, challenge, std::move(completion));
    }
}

void SessionDelegate::needNewBodyStream(ul::URLSession& session, ul::URLSessionTask& task,
                                        ul::BodyStreamCompletion completion) {
    if (taskNeedNewBodyStreamWithCompletion) {
        taskNeedNewBodyStreamWithCompletion(session, task, std::move(completion));
    } else if (taskNeedNewBodyStream) {
        completion(taskNeedNewBodyStream(session, task));
    } else if (auto r = request(task)) {
        r->delegate()->needNewBodyStream(session, task, std::move(completion));
    }
    // With neither, the completion is dropped: the session then answers "no
    // stream" itself and the task fails instead of waiting forever.
}

void SessionDelegate::didSendBodyData(ul::URLSession& session, ul::URLSessionTask& task, int64_t bytesSent,
                                      int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {
    if (taskDidSendBodyData) {
        taskDidSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
        return;
    }
    if (auto r = request(task)) {
        if (auto upload = std::dynamic_pointer_cast<UploadTaskDelegate>(r->delegate()))
            upload->didSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
    }
}

void SessionDelegate::didFinishCollectingMetrics(ul::URLSession&, ul::URLSessionTask& task,
                                                 const std::shared_ptr<ul::TaskMetrics>& metrics) {
    if (auto r = request(task))
        r->delegate()->setMetrics(metrics);
}

void SessionDelegate::completeTask(ul::URLSession& session, ul::URLSessionTask& task, const ErrorPtr& error,
                                   const std::shared_ptr<Request>& r) {
    completeTask(session, task, error, r, r ? r->delegate() : nullptr);
}

void SessionDelegate::completeTask(ul::URLSession& session, ul::URLSessionTask& task, const ErrorPtr& error,
                                   const std::shared_ptr<Request>& r,
                                   const std::shared_ptr<TaskDelegate>& delegate) {
    if (taskDidComplete)
        taskDidComplete(session, task, error);
    if (delegate)
        delegate->didCompleteWithError(session, task, error);
    // The user info (a copy of the bytes among it) is built only for observers.
    if (plat::NotificationCenter::defaultCenter().observerCount() == 0) {
        setRequest(task, nullptr);
        return;
    }
    plat::Dictionary userInfo{
        {Notification::Key::task(), plat::Value(plat::BoxedObject<ul::URLSessionTask>::make(
                                        task.shared_from_this(), "NSURLSessionTask"))}};
    if (r) {
        if (auto data = std::dynamic_pointer_cast<DataTaskDelegate>(delegate)) {
            if (auto bytes = data->data())
                userInfo.set(Notification::Key::responseData(), plat::Value(*bytes));
        }
    }
    plat::NotificationCenter::defaultCenter().postNotificationName(Notification::Name::Task::didComplete(),
                                                                   shared_from_this(), std::move(userInfo));
    setRequest(task, nullptr);
}

void SessionDelegate::didCompleteWithError(ul::URLSession& session, ul::URLSessionTask& task,
                                           const ErrorPtr& error) {
    completeWithError(session, task, error, request(task));
}

void SessionDelegate::completeWithError(ul::URLSession& session, ul::URLSessionTask& task,
                                        const ErrorPtr& error, std::shared_ptr<Request> r) {
    auto manager = sessionManager();
    if (!r || !manager) {
        completeTask(session, task, error, r);
        return;
    }
    for (const auto& validation : r->validations())
        validation();
    // Taken once the validations have run, for the rest of the completion.
    const auto delegate = r->delegate();
    ErrorPtr reported = delegate->error();
    if (!reported)
        reported = error;
    auto retrier = this->retrier();
    if (!retrier || !reported) {
        completeTask(session, task, reported, r, delegate);
        return;
    }
    std::weak_ptr<SessionDelegate> weak = weak_from_this();
    auto sessionRef = session.shared_from_this();
    auto taskRef = task.shared_from_this();
    retrier->should(
        *manager, r, reported, [weak, sessionRef, taskRef, r, reported](bool retry, double delay) {
            auto self = weak.lock();
            if (!self)
                return;
            if (!retry) {
                self->completeTask(*sessionRef, *taskRef, reported, self->request(*taskRef));
                return;
            }
            asyncAfter(plat::dispatch::Queue::global(plat::dispatch::QualityOfService::Utility), delay,
                       [weak, sessionRef, taskRef, r, reported] {
                           auto self = weak.lock();
                           if (!self)
                               return;
                           auto manager = self->sessionManager();
                           const bool retried = manager && manager->retry(r);
                           if (retried && r->task())
                               return;  // stored under its new task by retry, before it started
                           self->completeTask(*sessionRef, *taskRef, reported, self->request(*taskRef));
                       });
        });
}

void SessionDelegate::didReceiveResponse(ul::URLSession& session, ul::URLSessionDataTask& task,
                                         const ul::HTTPURLResponsePtr& response,
                                         ul::ResponseCompletion completion) {
    if (dataTaskDidReceiveResponseWithCompletion) {
        dataTaskDidReceiveResponseWithCompletion(session, task, response, std::move(completion));
        return;
    }
    auto disposition = ul::URLSessionResponseDisposition::Allow;
    if (dataTaskDidReceiveResponse)
        disposition = dataTaskDidReceiveResponse(session, task, response);
    completion(disposition);
}

template <class D>
void SessionDelegate::deliverData(ul::URLSession& session, ul::URLSessionDataTask& task, D&& data) {
    if (dataTaskDidReceiveData) {
        dataTaskDidReceiveData(session, task, data);
        return;
    }
    if (auto r = request(task))
        deliverData(session, task, std::forward<D>(data), r->delegate());
}

template <class D>
void SessionDelegate::deliverData(ul::URLSession& session, ul::URLSessionDataTask& task, D&& data,
                                  const std::shared_ptr<TaskDelegate>& delegate) {
    if (dataTaskDidReceiveData) {
        dataTaskDidReceiveData(session, task, data);
        return;
    }
    if (auto* d = dynamic_cast<DataTaskDelegate*>(delegate.get()))
        d->didReceiveData(session, task, std::forward<D>(data));
}

void SessionDelegate::didReceiveData(ul::URLSession& session, ul::URLSessionDataTask& task,
                                     const Data& data) {
    deliverData(session, task, data);
}

void SessionDelegate::didReceiveOwnedData(ul::URLSession& session, ul::URLSessionDataTask& task,
                                          Data&& data) {
    deliverData(session, task, std::move(data));
}

namespace {

// What the session does with what a call of a task's end throws: logged;
// the chunk's call also cancels the task (which has ended, so nothing
// changes), as the session's own calls would.
template <class F>
void loggingThrows(const char* what, ul::URLSessionTask* cancelled, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        plat::Log(cancelled ? std::string("URL session delegate threw; cancelling task: ") + e.what()
                            : std::string("URL session: ") + what + " threw: " + e.what());
        if (cancelled)
            cancelled->cancel();
    } catch (...) {
        plat::Log(cancelled ? std::string("URL session delegate threw an exception that is not a "
                                          "std::exception; cancelling task")
                            : std::string("URL session: ") + what +
                                  " threw an exception that is not a std::exception");
        if (cancelled)
            cancelled->cancel();
    }
}

}  // namespace

void SessionDelegate::didEndTask(ul::URLSession& session, ul::URLSessionTask& task, Data* lastChunk,
                                 const std::shared_ptr<ul::TaskMetrics>& metrics, const ErrorPtr& error) {
    if (typeid(*this) != typeid(SessionDelegate)) {
        ul::URLSessionDelegate::didEndTask(session, task, lastChunk, metrics, error);
        return;
    }
    // Nothing between these calls stores another request under the task or
    // gives the request another delegate (a retry does so later, from the
    // retrier's answer; a download takes over in a call of its own).
    auto r = request(task);
    const auto delegate = r ? r->delegate() : nullptr;
    if (lastChunk) {
        loggingThrows("didReceiveOwnedData", &task, [&] {
            deliverData(session, static_cast<ul::URLSessionDataTask&>(task), std::move(*lastChunk), delegate);
        });
    }
    if (delegate) {
        loggingThrows("the delegate's didFinishCollectingMetrics", nullptr,
                      [&] { delegate->setMetrics(metrics); });
    }
    loggingThrows("the delegate's didCompleteWithError", nullptr,
                  [&] { completeWithError(session, task, error, std::move(r)); });
}

void SessionDelegate::didBecomeDownloadTask(ul::URLSession& session, ul::URLSessionDataTask& task,
                                            const std::shared_ptr<ul::URLSessionDownloadTask>& download) {
    if (dataTaskDidBecomeDownloadTask) {
        dataTaskDidBecomeDownloadTask(session, task, download);
        return;
    }
    auto r = request(*download);  // the download task keeps the data task's identifier
    if (!r)
        return;
    auto previous = r->delegate();
    if (auto d = std::dynamic_pointer_cast<DataTaskDelegate>(previous))
        d->didBecomeDownloadTask(session, task, download);
    auto replacement = std::make_shared<DownloadTaskDelegate>(download);
    replacement->setCredential(previous->credential());
    // The response handlers wait on the previous delegate's queue: it is let
    // go, with the outcome, once the download's own queue is (at completion).
    std::weak_ptr<TaskDelegate> weakReplacement = replacement;
    replacement->queue().addOperationWithBlock([previous, weakReplacement] {
        if (auto now = weakReplacement.lock()) {
            previous->setError(now->error());
            previous->setMetrics(now->metrics());
        }
        previous->releaseQueue();
    });
    r->setDelegate(replacement);
}

void SessionDelegate::willCacheResponse(ul::URLSession& session, ul::URLSessionDataTask& task,
                                        const ul::CachedURLResponse& proposed,
                                        ul::CacheCompletion completion) {
    if (dataTaskWillCacheResponseWithCompletion) {
        dataTaskWillCacheResponseWithCompletion(session, task, proposed, std::move(completion));
        return;
    }
    if (dataTaskWillCacheResponse) {
        completion(dataTaskWillCacheResponse(session, task, proposed));
        return;
    }
    if (auto r = request(task)) {
        if (auto d = std::dynamic_pointer_cast<DataTaskDelegate>(r->delegate())) {
            d->willCacheResponse(session, task, proposed, std::move(completion));
            return;
        }
    }
    completion(proposed);
}

void SessionDelegate::didFinishDownloadingToURL(ul::URLSession& session, ul::URLSessionDownloadTask& task,
                                                const URL& location) {
    if (downloadTaskDidFinishDownloadingToURL) {
        downloadTaskDidFinishDownloadingToURL(session, task, location);
        return;
    }
    if (auto r = request(task)) {
        if (auto d = std::dynamic_pointer_cast<DownloadTaskDelegate>(r->delegate()))
            d->didFinishDownloadingToURL(session, task, location);
    }
}

void SessionDelegate::didWriteData(ul::URLSession& session, ul::URLSessionDownloadTask& task,
                                   int64_t bytesWritten, int64_t totalBytesWritten,
                                   int64_t totalBytesExpectedToWrite) {
    if (downloadTaskDidWriteData) {
        downloadTaskDidWriteData(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
        return;
    }
    if (auto r = request(task)) {
        if (auto d = std::dynamic_pointer_cast<DownloadTaskDelegate>(r->delegate()))
            d->didWriteData(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
    }
}

void SessionDelegate::didResumeAtOffset(ul::URLSession& session, ul::URLSessionDownloadTask& task,
                                        int64_t fileOffset, int64_t expectedTotalBytes) {
    if (downloadTaskDidResumeAtOffset) {
        downloadTaskDidResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
        return;
    }
    if (auto r = request(task)) {
        if (auto d = std::dynamic_pointer_cast<DownloadTaskDelegate>(r->delegate()))
            d->didResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
    }
}

// --- stream tasks ---

void SessionDelegate::readClosedForStreamTask(ul::URLSession& session, ul::URLSessionStreamTask& task) {
    if (streamTaskReadClosed)
        streamTaskReadClosed(session, task);
}

void SessionDelegate::writeClosedForStreamTask(ul::URLSession& session, ul::URLSessionStreamTask& task) {
    if (streamTaskWriteClosed)
        streamTaskWriteClosed(session, task);
}

void SessionDelegate::betterRouteDiscoveredForStreamTask(ul::URLSession& session,
                                                         ul::URLSessionStreamTask& task) {
    if (streamTaskBetterRouteDiscovered)
        streamTaskBetterRouteDiscovered(session, task);
}

void SessionDelegate::didBecomeInputStream(ul::URLSession& session, ul::URLSessionStreamTask& task,
                                           const std::shared_ptr<plat::InputStream>& input,
                                           const std::shared_ptr<plat::OutputStream>& output) {
    if (streamTaskDidBecomeInputStream)
        streamTaskDidBecomeInputStream(session, task, input, output);
}

}  // namespace httpclient
