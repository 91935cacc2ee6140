#include "httpclient/TaskDelegate.h"

#include "httpclient/ServerTrustPolicy.h"
#include "httpclient/Timeline.h"
#include "platform/foundation/FileManager.h"
#include "platform/urlloading/URLError.h"

namespace httpclient {

using Disposition = ul::URLSessionAuthChallengeDisposition;

namespace {

void scheduleProgress(const std::optional<ProgressHandler>& handler,
                      const std::shared_ptr<Progress>& progress) {
    if (!handler || !handler->closure)
        return;
    auto queue = handler->queue ? handler->queue : plat::dispatch::Queue::main();
    queue.async([closure = handler->closure, progress] { closure(progress); });
}

}  // namespace

// --- TaskDelegate ---

TaskDelegate::TaskDelegate(std::shared_ptr<ul::URLSessionTask> task)
    : queue_([this] { return std::shared_ptr<void>(weak_from_this().lock()); }), task_(std::move(task)) {}

TaskDelegate::~TaskDelegate() = default;

void TaskDelegate::setQueueReleaseObserver(std::weak_ptr<QueueReleaseObserver> observer) {
    plat::MutexLock lock(releaseLock_);
    releaseObserver_ = std::move(observer);
}

void TaskDelegate::releaseQueue() {
    std::weak_ptr<QueueReleaseObserver> observer;
    {
        plat::MutexLock lock(releaseLock_);
        observer = std::exchange(releaseObserver_, {});
    }
    if (auto o = observer.lock())
        o->queueWillRelease();
    queue_.release();
}

std::shared_ptr<ul::URLSessionTask> TaskDelegate::task() const {
    plat::MutexLock lock(taskLock_);
    return task_;
}

void TaskDelegate::setTask(std::shared_ptr<ul::URLSessionTask> task) {
    plat::MutexLock lock(taskLock_);
    task_ = std::move(task);
    reset();
}

ErrorPtr TaskDelegate::error() const {
    plat::MutexLock lock(mutex_);
    return error_;
}

void TaskDelegate::setError(ErrorPtr error) {
    plat::MutexLock lock(mutex_);
    error_ = std::move(error);
}

void TaskDelegate::recordErrorIfNone(const ErrorPtr& error) {
    plat::MutexLock lock(mutex_);
    if (!error_)
        error_ = error;
}

std::optional<double> TaskDelegate::initialResponseTime() const {
    plat::MutexLock lock(mutex_);
    return initialResponseTime_;
}

void TaskDelegate::markInitialResponse() {
    plat::MutexLock lock(mutex_);
    markInitialResponseLocked();
}

void TaskDelegate::markInitialResponseLocked() {
    if (!initialResponseTime_)
        initialResponseTime_ = absoluteTimeNow();
}

std::optional<ul::URLCredential> TaskDelegate::credential() const {
    plat::MutexLock lock(mutex_);
    return credential_;
}

void TaskDelegate::setCredential(std::optional<ul::URLCredential> credential) {
    plat::MutexLock lock(mutex_);
    credential_ = std::move(credential);
}

std::shared_ptr<ul::TaskMetrics> TaskDelegate::metrics() const {
    plat::MutexLock lock(mutex_);
    return metrics_;
}

std::optional<Data> TaskDelegate::data() const {
    plat::MutexLock lock(mutex_);
    return dataLocked();
}

TaskDelegate::Outcome TaskDelegate::outcome() const {
    plat::MutexLock lock(mutex_);
    return Outcome{dataLocked(), error_, metrics_};
}

void TaskDelegate::setMetrics(std::shared_ptr<ul::TaskMetrics> metrics) {
    plat::MutexLock lock(mutex_);
    metrics_ = std::move(metrics);
}

void TaskDelegate::reset() {
    plat::MutexLock lock(mutex_);
    error_ = nullptr;
    initialResponseTime_.reset();
}

void TaskDelegate::willPerformHTTPRedirection(ul::URLSession& session, ul::URLSessionTask& task,
                                              const ul::HTTPURLResponsePtr& response,
                                              const ul::URLRequest& request,
                                              ul::RedirectCompletion completion) {
    std::optional<ul::URLRequest> redirect = request;
    if (taskWillPerformHTTPRedirection)
        redirect = taskWillPerformHTTPRedirection(session, task, response, request);
    completion(redirect);
}

void TaskDelegate::didReceiveChallenge(ul::URLSession& session, ul::URLSessionTask& task,
                                       const ul::URLAuthenticationChallenge& challenge,
                                       ul::ChallengeCompletion completion) {
    Disposition disposition = Disposition::PerformDefaultHandling;
    std::optional<ul::URLCredential> credential;
    if (taskDidReceiveChallenge) {
        std::tie(disposition, credential) = taskDidReceiveChallenge(session, task, challenge);
    } else if (challenge.protectionSpace.authenticationMethod == ul::URLAuthenticationMethodServerTrust) {
        const auto& host = challenge.protectionSpace.host;
        auto manager = serverTrustPolicyManager(session);
        auto policy = manager ? manager->serverTrustPolicy(host) : std::nullopt;
        const auto& trust = challenge.protectionSpace.serverTrust;
        if (policy && trust) {
            if (policy->evaluate(trust, host)) {
                disposition = Disposition::UseCredential;
                credential = ul::URLCredential::forTrust(trust);
            } else {
                disposition = Disposition::CancelAuthenticationChallenge;
            }
        }
    } else if (challenge.previousFailureCount > 0) {
        disposition = Disposition::RejectProtectionSpace;
    } else {
        credential = this->credential();
        if (!credential) {
            if (const auto& storage = session.configuration().urlCredentialStorage)
                credential = storage->defaultCredentialForProtectionSpace(challenge.protectionSpace);
        }
        if (credential)
            disposition = Disposition::UseCredential;
    }
    completion(disposition, credential);
}

void TaskDelegate::needNewBodyStream(ul::URLSession& session, ul::URLSessionTask& task,
                                     ul::BodyStreamCompletion completion) {
    completion(taskNeedNewBodyStream ? taskNeedNewBodyStream(session, task) : nullptr);
}

void TaskDelegate::didCompleteWithError(ul::URLSession& session, ul::URLSessionTask& task,
                                        const ErrorPtr& error) {
    if (taskDidCompleteWithError) {
        taskDidCompleteWithError(session, task, error);
        return;
    }
    if (error) {
        recordErrorIfNone(error);
        if (auto* download = dynamic_cast<DownloadTaskDelegate*>(this)) {
            if (const plat::Value* v = error->userInfo().find(ul::URLSessionDownloadTaskResumeData)) {
                if (auto* data = v->asData())
                    download->setResumeData(*data);
            }
        }
    }
    releaseQueue();
}

// --- DataTaskDelegate ---

DataTaskDelegate::DataTaskDelegate(std::shared_ptr<ul::URLSessionTask> task)
    : TaskDelegate(std::move(task)) {}

std::shared_ptr<Progress> DataTaskDelegate::progressLocked() const {
    if (!progress_) {
        progress_ = std::make_shared<Progress>();
        progress_->setTotalUnitCount(totalBytesExpected_);
        progress_->setCompletedUnitCount(totalBytesReceived_);
    }
    return progress_;
}

std::shared_ptr<Progress> DataTaskDelegate::progress() const {
    plat::MutexLock lock(mutex_);
    // Made on first use: most requests never ask.
    return progressLocked();
}

std::optional<ProgressHandler> DataTaskDelegate::progressHandler() const {
    plat::MutexLock lock(mutex_);
    return progressHandler_;
}

void DataTaskDelegate::setProgressHandler(std::optional<ProgressHandler> handler) {
    plat::MutexLock lock(mutex_);
    progressHandler_ = std::move(handler);
}

std::function<void(const Data&)> DataTaskDelegate::dataStream() const {
    plat::MutexLock lock(mutex_);
    return dataStream_;
}

void DataTaskDelegate::setDataStream(std::function<void(const Data&)> stream) {
    plat::MutexLock lock(mutex_);
    dataStream_ = std::move(stream);
}

int64_t DataTaskDelegate::totalBytesReceived() const {
    plat::MutexLock lock(mutex_);
    return totalBytesReceived_;
}

std::optional<Data> DataTaskDelegate::dataLocked() const {
    if (dataStream_)
        return std::nullopt;
    return mutableData_;
}

void DataTaskDelegate::reset() {
    TaskDelegate::reset();
    plat::MutexLock lock(mutex_);
    progress_ = nullptr;  // a new one when asked for
    totalBytesReceived_ = 0;
    totalBytesExpected_ = 0;
    mutableData_ = Data();
}

void DataTaskDelegate::didReceiveResponse(ul::URLSession& session, ul::URLSessionDataTask& task,
                                          const ul::HTTPURLResponsePtr& response,
                                          ul::ResponseCompletion completion) {
    auto disposition = ul::URLSessionResponseDisposition::Allow;
    if (dataTaskDidReceiveResponse)
        disposition = dataTaskDidReceiveResponse(session, task, response);
    completion(disposition);
}

void DataTaskDelegate::didBecomeDownloadTask(ul::URLSession& session, ul::URLSessionDataTask& task,
                                             const std::shared_ptr<ul::URLSessionDownloadTask>& download) {
    if (dataTaskDidBecomeDownloadTask)
        dataTaskDidBecomeDownloadTask(session, task, download);
}

void DataTaskDelegate::willCacheResponse(ul::URLSession& session, ul::URLSessionDataTask& task,
                                         const ul::CachedURLResponse& proposed,
                                         ul::CacheCompletion completion) {
    completion(dataTaskWillCacheResponse ? dataTaskWillCacheResponse(session, task, proposed)
                                         : std::optional<ul::CachedURLResponse>(proposed));
}

void DataTaskDelegate::didReceiveData(ul::URLSession& session, ul::URLSessionDataTask& task,
                                      const Data& data) {
    receiveData(session, task, data, nullptr);
}

void DataTaskDelegate::didReceiveData(ul::URLSession& session, ul::URLSessionDataTask& task, Data&& data) {
    receiveData(session, task, data, &data);
}

// `owned`, when given, is `data` itself, the caller's to give: an empty
// collected body takes it over instead of copying it.
void DataTaskDelegate::receiveData(ul::URLSession& session, ul::URLSessionDataTask& task, const Data& data,
                                   Data* owned) {
    if (dataTaskDidReceiveData) {
        markInitialResponse();
        dataTaskDidReceiveData(session, task, data);
        return;
    }
    std::function<void(const Data&)> stream;
    std::shared_ptr<Progress> progress;
    std::optional<ProgressHandler> handler;
    ErrorPtr tooLarge;
    std::size_t length = data.length();
    {
        plat::MutexLock lock(mutex_);
        markInitialResponseLocked();
        stream = dataStream_;
        if (!stream) {
            // Collected bodies are bounded like the session's own (a
            // decompression bomb must not fill memory).
            const auto limit = session.configuration().maximumInMemoryBodyLength;
            if (bodyTooLarge_ ||
                (limit > 0 && static_cast<int64_t>(mutableData_.length() + data.length()) > limit)) {
                if (!bodyTooLarge_) {
                    bodyTooLarge_ = true;
                    tooLarge = ul::makeURLErrorWithReason(
                        ul::URLErrorDataLengthExceedsMaximum,
                        task.currentRequest() ? task.currentRequest()->url : std::nullopt,
                        ul::bodyTooLargeReason(limit));
                }
            } else if (owned && mutableData_.empty()) {
                mutableData_ = std::move(*owned);  // `data` is empty from here on
            } else {
                mutableData_.append(data);
            }
        }
        totalBytesReceived_ += static_cast<int64_t>(length);
        // The length the task's response announces: the session stores it
        // with the response, before any byte of its body is delivered, so
        // reading it needs neither the task's lock nor the response.
        totalBytesExpected_ = task.countOfBytesExpectedToReceive();
        handler = progressHandler_;
        if (progress_ || handler) {
            progress = progressLocked();
            progress->setTotalUnitCount(totalBytesExpected_);
            progress->setCompletedUnitCount(totalBytesReceived_);
        }
    }
    if (tooLarge) {
        recordErrorIfNone(tooLarge);
        task.cancel();
        return;
    }
    if (stream)
        stream(data);
    scheduleProgress(handler, progress);
}

// --- UploadTaskDelegate ---

UploadTaskDelegate::UploadTaskDelegate(std::shared_ptr<ul::URLSessionTask> task)
    : DataTaskDelegate(std::move(task)), uploadProgress_(std::make_shared<Progress>()) {}

std::shared_ptr<Progress> UploadTaskDelegate::uploadProgress() const {
    plat::MutexLock lock(mutex_);
    return uploadProgress_;
}

std::optional<ProgressHandler> UploadTaskDelegate::uploadProgressHandler() const {
    plat::MutexLock lock(mutex_);
    return uploadProgressHandler_;
}

void UploadTaskDelegate::setUploadProgressHandler(std::optional<ProgressHandler> handler) {
    plat::MutexLock lock(mutex_);
    uploadProgressHandler_ = std::move(handler);
}

void UploadTaskDelegate::reset() {
    DataTaskDelegate::reset();
    plat::MutexLock lock(mutex_);
    uploadProgress_ = std::make_shared<Progress>();
}

void UploadTaskDelegate::didSendBodyData(ul::URLSession& session, ul::URLSessionTask& task, int64_t bytesSent,
                                         int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {
    markInitialResponse();
    if (taskDidSendBodyData) {
        taskDidSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
        return;
    }
    std::shared_ptr<Progress> progress;
    std::optional<ProgressHandler> handler;
    {
        plat::MutexLock lock(mutex_);
        uploadProgress_->setTotalUnitCount(totalBytesExpectedToSend);
        uploadProgress_->setCompletedUnitCount(totalBytesSent);
        progress = uploadProgress_;
        handler = uploadProgressHandler_;
    }
    scheduleProgress(handler, progress);
}

// --- DownloadTaskDelegate ---

DownloadTaskDelegate::DownloadTaskDelegate(std::shared_ptr<ul::URLSessionTask> task)
    : TaskDelegate(std::move(task)), progress_(std::make_shared<Progress>()) {}

std::shared_ptr<Progress> DownloadTaskDelegate::progress() const {
    plat::MutexLock lock(mutex_);
    return progress_;
}

std::optional<ProgressHandler> DownloadTaskDelegate::progressHandler() const {
    plat::MutexLock lock(mutex_);
    return progressHandler_;
}

void DownloadTaskDelegate::setProgressHandler(std::optional<ProgressHandler> handler) {
    plat::MutexLock lock(mutex_);
    progressHandler_ = std::move(handler);
}

std::optional<Data> DownloadTaskDelegate::resumeData() const {
    plat::MutexLock lock(mutex_);
    return resumeData_;
}

void DownloadTaskDelegate::setResumeData(std::optional<Data> data) {
    plat::MutexLock lock(mutex_);
    resumeData_ = std::move(data);
}

std::optional<URL> DownloadTaskDelegate::temporaryURL() const {
    plat::MutexLock lock(mutex_);
    return temporaryURL_;
}

std::optional<URL> DownloadTaskDelegate::destinationURL() const {
    plat::MutexLock lock(mutex_);
    return destinationURL_;
}

std::optional<URL> DownloadTaskDelegate::fileURL() const {
    plat::MutexLock lock(mutex_);
    return destination_ ? destinationURL_ : temporaryURL_;
}

DownloadDestination DownloadTaskDelegate::destination() const {
    plat::MutexLock lock(mutex_);
    return destination_;
}

void DownloadTaskDelegate::setDestination(DownloadDestination destination) {
    plat::MutexLock lock(mutex_);
    destination_ = std::move(destination);
}

void DownloadTaskDelegate::reset() {
    TaskDelegate::reset();
    plat::MutexLock lock(mutex_);
    progress_ = std::make_shared<Progress>();
    resumeData_.reset();
}

void DownloadTaskDelegate::didFinishDownloadingToURL(ul::URLSession& session,
                                                     ul::URLSessionDownloadTask& task, const URL& location) {
    if (downloadTaskDidFinishDownloadingToURL) {
        downloadTaskDidFinishDownloadingToURL(session, task, location);
        return;
    }
    DownloadDestination destination;
    {
        plat::MutexLock lock(mutex_);
        temporaryURL_ = location;
        destination = destination_;
    }
    auto response = task.response();
    if (!destination || !response)
        return;
    auto [target, options] = destination(location, *response);
    {
        plat::MutexLock lock(mutex_);
        destinationURL_ = target;
    }
    auto& fm = plat::FileManager::defaultManager();
    ErrorPtr failure;
    if (options.contains(DownloadOptions::removePreviousFile) && fm.fileExistsAtPath(target.path()))
        failure = fm.removeItemAtURL(target);
    if (!failure && options.contains(DownloadOptions::createIntermediateDirectories))
        failure = fm.createDirectoryAtURL(target.URLByDeletingLastPathComponent(), true);
    if (!failure)
        failure = fm.moveItemAtURL(location, target);
    if (failure)
        setError(failure);
}

void DownloadTaskDelegate::didWriteData(ul::URLSession& session, ul::URLSessionDownloadTask& task,
                                        int64_t bytesWritten, int64_t totalBytesWritten,
                                        int64_t totalBytesExpectedToWrite) {
    markInitialResponse();
    if (downloadTaskDidWriteData) {
        downloadTaskDidWriteData(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
        return;
    }
    std::shared_ptr<Progress> progress;
    std::optional<ProgressHandler> handler;
    {
        plat::MutexLock lock(mutex_);
        progress_->setTotalUnitCount(totalBytesExpectedToWrite);
        progress_->setCompletedUnitCount(totalBytesWritten);
        progress = progress_;
        handler = progressHandler_;
    }
    scheduleProgress(handler, progress);
}

void DownloadTaskDelegate::didResumeAtOffset(ul::URLSession& session, ul::URLSessionDownloadTask& task,
                                             int64_t fileOffset, int64_t expectedTotalBytes) {
    if (downloadTaskDidResumeAtOffset) {
        downloadTaskDidResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
        return;
    }
    plat::MutexLock lock(mutex_);
    progress_->setTotalUnitCount(expectedTotalBytes);
    progress_->setCompletedUnitCount(fileOffset);
}

}  // namespace httpclient
