// URLSession: makes and runs tasks over HTTP and HTTPS.
//
// Each session has one network thread that drives all its transfers with
// libcurl's multi interface, and one delegate queue: the queue given, or a
// serial operation queue of its own, so delegate calls arrive one at a time.
// The thread starts with the first resumed task and ends once the session has
// finished invalidating (or, for a session nobody invalidated, once its last
// reference is gone and its tasks are done).
//
// The session holds its delegate strongly until invalidation finishes:
// didBecomeInvalidWithError is the last call the delegate receives.
// invalidateAndCancel and finishTasksAndInvalidate never block. After
// either, new tasks complete at resume with URLErrorCancelled.
//
// Factories may be called from any thread and never fail; a request that
// cannot be sent (no URL, a scheme other than http or https, a header with a
// line break) fails when resumed. Task identifiers are unique per session.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/dispatch/OperationQueue.h"
#include "platform/urlloading/NetService.h"
#include "platform/urlloading/URLSessionConfiguration.h"
#include "platform/urlloading/URLSessionDelegate.h"
#include "platform/urlloading/URLSessionStreamTask.h"
#include "platform/urlloading/URLSessionTask.h"

namespace plat::urlloading {

namespace detail {
class Engine;
}

using DataTaskCompletion = std::function<void(std::optional<Data>, HTTPURLResponsePtr, ErrorPtr)>;
using DownloadTaskCompletion = std::function<void(std::optional<URL>, HTTPURLResponsePtr, ErrorPtr)>;

class URLSession : public std::enable_shared_from_this<URLSession> {
  public:
    static std::shared_ptr<URLSession> sessionWithConfiguration(
        URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate = nullptr,
        std::shared_ptr<dispatch::OperationQueue> delegateQueue = nullptr);
    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    const URLSessionConfiguration& configuration() const { return configuration_; }
    // Null once invalidation has finished.
    std::shared_ptr<URLSessionDelegate> delegate() const;
    const std::shared_ptr<dispatch::OperationQueue>& delegateQueue() const { return delegateQueue_; }

    std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request);
    std::shared_ptr<URLSessionDataTask> dataTaskWithURL(const URL& url);
    // The handler gets the whole body, the response and the error, on the
    // delegate queue; the delegate then sees no response or data calls.
    std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request,
                                                            DataTaskCompletion handler);

    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, const Data& body);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request,
                                                                const URL& fileURL);
    // The body comes from the delegate's needNewBodyStream, chunked unless
    // the request carries Content-Length.
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithStreamedRequest(const URLRequest& request);

    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(const URLRequest& request);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(const URLRequest& request,
                                                                    DownloadTaskCompletion handler);
    // Resume data that is not ours (unreadable, or naming a file outside
    // this user's download folder) makes a task that fails at resume with
    // URLErrorCannotOpenFile.
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(const Data& resumeData);

    // A TCP connection to host:port; see URLSessionStreamTask.
    std::shared_ptr<URLSessionStreamTask> streamTaskWithHostName(const std::string& host, int port);
    // A TCP connection to the service's resolved address, as it is now.
    std::shared_ptr<URLSessionStreamTask> streamTaskWithNetService(const NetService& service);

    void invalidateAndCancel();
    void finishTasksAndInvalidate();

    // An object kept with the session under a caller's key (the address of
    // a static); null when none.
    void setAttachment(const void* key, std::shared_ptr<void> value);
    std::shared_ptr<void> attachment(const void* key) const;

    // The private folder downloads are written to ("url-downloads" in the
    // user's temporary folder, mode 0700).
    static std::string downloadDirectory();

  private:
    URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
               std::shared_ptr<dispatch::OperationQueue> delegateQueue);
    template <class T>
    std::shared_ptr<T> makeTask(std::optional<URLRequest> request);
    // The download task a data task becomes: same identifier and request,
    // not registered (it is running from the start).
    std::shared_ptr<URLSessionDownloadTask> makeDownloadTaskReplacing(const URLSessionDataTask& task);

    friend class URLSessionTask;
    friend class URLSessionDownloadTask;
    friend class URLSessionStreamTask;
    friend class detail::Engine;
    friend struct detail::Transfer;

    const URLSessionConfiguration configuration_;
    const std::shared_ptr<dispatch::OperationQueue> delegateQueue_;
    const std::shared_ptr<detail::Engine> engine_;
    std::atomic<uint64_t> nextIdentifier_{1};

    mutable plat::Mutex mutex_;
    std::shared_ptr<URLSessionDelegate> delegate_ GUARDED_BY(mutex_);
    std::map<const void*, std::shared_ptr<void>> attachments_ GUARDED_BY(mutex_);
};

}  // namespace plat::urlloading
