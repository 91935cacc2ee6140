#include "platform/urlloading/URLSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "platform/foundation/FileManager.h"
#include "platform/urlloading/detail/DelegateCalls.h"
#include "platform/urlloading/detail/Engine.h"

namespace plat::urlloading {

// --- configuration ---

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() {
    URLSessionConfiguration c;
    c.httpCookieStorage = HTTPCookieStorage::shared();
    c.urlCredentialStorage = URLCredentialStorage::shared();
    return c;
}

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
    URLSessionConfiguration c;
    c.httpCookieStorage = std::make_shared<HTTPCookieStorage>();
    c.urlCredentialStorage = std::make_shared<URLCredentialStorage>();
    return c;
}

// --- metrics ---

std::string TaskMetrics::description() const {
    return "<TaskMetrics: duration " + std::to_string(taskIntervalDuration) + " s, redirects " +
           std::to_string(redirectCount) + ", transactions " + std::to_string(transactionMetrics.size()) +
           ">";
}

// --- tasks ---

URLSessionTask::URLSessionTask(std::shared_ptr<URLSession> session, uint64_t identifier,
                               std::optional<URLRequest> request)
    : session_(std::move(session)),
      identifier_(identifier),
      originalRequest_(std::move(request)),
      transfer_(std::make_unique<detail::Transfer>()) {}

URLSessionTask::~URLSessionTask() {
    // The task's own download file goes with it: nothing in it is kept.
    // Best effort: it lies in a private temporary folder.
    if (transfer_->fd >= 0)
        (void)::close(transfer_->fd);
    if (!transfer_->filePath.empty())
        (void)::unlink(transfer_->filePath.c_str());
    if (!transfer_->completed)
        session_->engine_->forgetTask(identifier_);
}

std::optional<URLRequest> URLSessionTask::currentRequest() const {
    plat::MutexLock lock(mutex_);
    return currentRequestReplaced_ ? currentRequest_ : originalRequest_;
}

void URLSessionTask::replaceCurrentRequest(const URLRequest& request) {
    plat::MutexLock lock(mutex_);
    currentRequest_ = request;
    currentRequestReplaced_ = true;
}
HTTPURLResponsePtr URLSessionTask::response() const {
    plat::MutexLock lock(mutex_);
    return response_;
}
URLSessionTaskState URLSessionTask::state() const {
    plat::MutexLock lock(mutex_);
    return state_;
}
ErrorPtr URLSessionTask::error() const {
    plat::MutexLock lock(mutex_);
    return error_;
}
std::string URLSessionTask::taskDescription() const {
    plat::MutexLock lock(mutex_);
    return description_;
}
void URLSessionTask::setTaskDescription(std::string description) {
    plat::MutexLock lock(mutex_);
    description_ = std::move(description);
}

void URLSessionTask::resume() {
    session_->engine_->resumeTask(shared_from_this());
}
void URLSessionTask::suspend() {
    session_->engine_->suspendTask(shared_from_this());
}
void URLSessionTask::cancel() {
    session_->engine_->cancelTask(shared_from_this());
}

void URLSessionDownloadTask::cancelByProducingResumeData(
    std::function<void(std::optional<Data>)> completion) {
    if (!completion)
        completion = [](std::optional<Data>) {};
    session_->engine_->cancelTask(shared_from_this(), std::move(completion));
}

// --- session ---

URLSession::URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<dispatch::OperationQueue> delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(delegateQueue ? std::move(delegateQueue) : [] {
          auto queue = std::make_shared<dispatch::OperationQueue>("URLSession delegate queue");
          queue->setMaxConcurrentOperationCount(1);
          return queue;
      }()),
      engine_(std::make_shared<detail::Engine>(configuration_, delegateQueue_)),
      delegate_(std::move(delegate)) {
    engine_->start();
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(
    URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
    std::shared_ptr<dispatch::OperationQueue> delegateQueue) {
    return std::shared_ptr<URLSession>(
        new URLSession(std::move(configuration), std::move(delegate), std::move(delegateQueue)));
}

URLSession::~URLSession() {
    engine_->sessionReleased();
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
    plat::MutexLock lock(mutex_);
    return delegate_;
}

namespace {

// A task and its shared_ptr bookkeeping in one allocation: the task classes'
// constructors are protected, reached from a class derived from them.
template <class T>
struct TaskInOneBlock final : T {
    template <class... Args>
    explicit TaskInOneBlock(Args&&... args) : T(std::forward<Args>(args)...) {}
};

}  // namespace

template <class T>
std::shared_ptr<T> URLSession::makeTask(std::optional<URLRequest> request) {
    std::shared_ptr<T> task;
    if constexpr (std::is_same_v<T, URLSessionStreamTask>)  // its constructor is private
        task.reset(new T(shared_from_this(), nextIdentifier_++, std::move(request)));
    else
        task = std::make_shared<TaskInOneBlock<T>>(shared_from_this(), nextIdentifier_++, std::move(request));
    engine_->registerTask(task);
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::makeDownloadTaskReplacing(
    const URLSessionDataTask& task) {
    return std::shared_ptr<URLSessionDownloadTask>(
        new URLSessionDownloadTask(shared_from_this(), task.taskIdentifier(), task.originalRequest()));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request) {
    return makeTask<URLSessionDataTask>(request);
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(const URL& url) {
    return dataTaskWithRequest(URLRequest(url));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request,
                                                                    DataTaskCompletion handler) {
    auto task = makeTask<URLSessionDataTask>(request);
    task->transfer_->dataCompletion = std::move(handler);
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request,
                                                                        const Data& body) {
    auto task = makeTask<URLSessionUploadTask>(request);
    task->transfer_->kind = detail::TaskKind::UploadData;
    task->transfer_->body = body;
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request,
                                                                        const URL& fileURL) {
    auto task = makeTask<URLSessionUploadTask>(request);
    task->transfer_->kind = detail::TaskKind::UploadFile;
    task->transfer_->bodyFile = fileURL;
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(const URLRequest& request) {
    auto task = makeTask<URLSessionUploadTask>(request);
    task->transfer_->kind = detail::TaskKind::UploadStream;
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest& request) {
    auto task = makeTask<URLSessionDownloadTask>(request);
    task->transfer_->kind = detail::TaskKind::Download;
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest& request,
                                                                            DownloadTaskCompletion handler) {
    auto task = downloadTaskWithRequest(request);
    task->transfer_->downloadCompletion = std::move(handler);
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const Data& resumeData) {
    auto info = detail::decodeResumeData(resumeData, downloadDirectory());
    std::optional<URLRequest> request;
    if (info)
        request = info->request;
    auto task = makeTask<URLSessionDownloadTask>(request);
    auto& t = *task->transfer_;
    t.kind = detail::TaskKind::Download;
    if (!info) {
        t.invalidResumeData = true;
    } else {
        struct stat st {};
        if (::lstat(info->partialFilePath.c_str(), &st) == 0) {
            t.filePath = info->partialFilePath;  // the task owns the partial file from now on
            t.resumeInfo = info;
        }
    }
    return task;
}

std::shared_ptr<URLSessionStreamTask> URLSession::streamTaskWithHostName(const std::string& host, int port) {
    auto task = makeTask<URLSessionStreamTask>(std::nullopt);
    task->transfer_->kind = detail::TaskKind::Stream;
    task->setEndpoint(host, port, configuration_.trustedCertificatesFile);
    return task;
}

std::shared_ptr<URLSessionStreamTask> URLSession::streamTaskWithNetService(const NetService& service) {
    // An unresolved service gets no host name, which no look-up finds.
    return streamTaskWithHostName(service.hostName().value_or(std::string()), std::max(service.port(), 0));
}

void URLSession::invalidateAndCancel() {
    engine_->invalidate(shared_from_this(), true);
}

void URLSession::finishTasksAndInvalidate() {
    engine_->invalidate(shared_from_this(), false);
}

void URLSession::setAttachment(const void* key, std::shared_ptr<void> value) {
    plat::MutexLock lock(mutex_);
    if (value) {
        attachments_[key] = std::move(value);
    } else {
        attachments_.erase(key);
    }
}

std::shared_ptr<void> URLSession::attachment(const void* key) const {
    plat::MutexLock lock(mutex_);
    auto it = attachments_.find(key);
    return it == attachments_.end() ? nullptr : it->second;
}

std::string URLSession::downloadDirectory() {
    // Inside the user's private temporary folder (0700, ownership checked by
    // FileManager); the subfolder gets the same checks.
    std::string dir = FileManager::defaultManager().temporaryDirectory() + "/url-downloads";
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return dir;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        ((st.st_mode & 0777) == 0700 || ::chmod(dir.c_str(), 0700) == 0)) {
        return dir;
    }
    // Something else took the name, or it cannot be made private: a fresh
    // private folder instead.
    std::string pattern = FileManager::defaultManager().temporaryDirectory() + "/url-downloads-XXXXXX";
    if (::mkdtemp(pattern.data()))
        return pattern;
    return dir;
}

void URLSessionDelegate::didEndTask(URLSession& session, URLSessionTask& task, Data* lastChunk,
                                    const std::shared_ptr<TaskMetrics>& metrics, const ErrorPtr& error) {
    if (lastChunk) {
        detail::callDelegate(task, [&] {
            didReceiveOwnedData(session, static_cast<URLSessionDataTask&>(task), std::move(*lastChunk));
        });
    }
    detail::callLoggingThrows("the delegate's didFinishCollectingMetrics",
                              [&] { didFinishCollectingMetrics(session, task, metrics); });
    detail::callLoggingThrows("the delegate's didCompleteWithError",
                              [&] { didCompleteWithError(session, task, error); });
}

}  // namespace plat::urlloading
