// Task delegates: the per-task end of the session's events. Each collects
// its task's bytes (or hands them on), keeps progress, answers redirections,
// challenges and body-stream requests, moves a finished download to its
// destination, records timing and the first error, and at completion
// releases its hold-back queue, on which everything that waits for the end
// of the task (end time, response handlers, clean-up) is held back.
//
// Event handlers run on the session's delegate queue. The fields are read
// from response handlers on other threads, so they sit behind one mutex.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "httpclient/HoldBackQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Stream.h"
#include "platform/foundation/URL.h"
#include "platform/urlloading/TaskMetrics.h"
#include "platform/urlloading/URLSession.h"
#include "platform/urlloading/URLSessionDelegate.h"

namespace httpclient {

namespace ul = plat::urlloading;
using plat::Data;
using plat::ErrorPtr;
using plat::URL;

// Plain counters of a transfer's progress.
class Progress {
  public:
    int64_t totalUnitCount() const { return total_.load(); }
    int64_t completedUnitCount() const { return completed_.load(); }
    void setTotalUnitCount(int64_t v) { total_.store(v); }
    void setCompletedUnitCount(int64_t v) { completed_.store(v); }
    double fractionCompleted() const {
        const int64_t t = total_.load();
        return t > 0 ? static_cast<double>(completed_.load()) / static_cast<double>(t) : 0.0;
    }

  private:
    std::atomic<int64_t> total_{0};
    std::atomic<int64_t> completed_{0};
};

using ProgressClosure = std::function<void(const std::shared_ptr<Progress>&)>;
struct ProgressHandler {
    ProgressClosure closure;
    plat::dispatch::Queue queue;
};

struct DownloadOptions {
    uint64_t rawValue = 0;
    static constexpr uint64_t createIntermediateDirectories = 1;
    static constexpr uint64_t removePreviousFile = 2;
    constexpr DownloadOptions() = default;
    constexpr explicit DownloadOptions(uint64_t raw) : rawValue(raw) {}
    constexpr DownloadOptions(std::initializer_list<uint64_t> members) {
        for (auto m : members)
            rawValue |= m;
    }
    constexpr bool contains(uint64_t member) const { return (rawValue & member) == member; }
    constexpr DownloadOptions operator|(DownloadOptions o) const {
        return DownloadOptions(rawValue | o.rawValue);
    }
    constexpr DownloadOptions operator&(DownloadOptions o) const {
        return DownloadOptions(rawValue & o.rawValue);
    }
    constexpr DownloadOptions operator^(DownloadOptions o) const {
        return DownloadOptions(rawValue ^ o.rawValue);
    }
    constexpr DownloadOptions subtracting(DownloadOptions o) const {
        return DownloadOptions(rawValue & ~o.rawValue);
    }
    DownloadOptions& operator|=(DownloadOptions o) { return rawValue |= o.rawValue, *this; }
    DownloadOptions& operator&=(DownloadOptions o) { return rawValue &= o.rawValue, *this; }
    DownloadOptions& operator^=(DownloadOptions o) { return rawValue ^= o.rawValue, *this; }
    void insert(uint64_t member) { rawValue |= member; }
    void remove(uint64_t member) { rawValue &= ~member; }
    constexpr bool operator==(const DownloadOptions&) const = default;
};

// Given the temporary file and the response, where the file goes and how.
using DownloadDestination = std::function<std::pair<URL, DownloadOptions>(
    const URL& temporaryURL, const ul::HTTPURLResponse& response)>;

// Told when a task delegate lets its queue go, on the thread that releases
// it, before any queued operation starts.
class QueueReleaseObserver {
  public:
    virtual void queueWillRelease() = 0;

  protected:
    ~QueueReleaseObserver() = default;
};

class TaskDelegate : public std::enable_shared_from_this<TaskDelegate> {
  public:
    explicit TaskDelegate(std::shared_ptr<ul::URLSessionTask> task);
    virtual ~TaskDelegate();
    TaskDelegate(const TaskDelegate&) = delete;
    TaskDelegate& operator=(const TaskDelegate&) = delete;

    // Runs one block at a time, held back until the task completes. The
    // delegate must be owned by a shared_ptr (blocks keep it alive).
    HoldBackQueue& queue() { return queue_; }
    // Resumes the queue; the release observer is told first, once.
    void releaseQueue();
    // Told on the thread that releases the queue, before any queued
    // operation starts (the request stamps its end time then), if it still
    // exists.
    void setQueueReleaseObserver(std::weak_ptr<QueueReleaseObserver> observer);

    std::shared_ptr<ul::URLSessionTask> task() const;
    // Replaces the task (a retry) and resets the per-attempt state.
    void setTask(std::shared_ptr<ul::URLSessionTask> task);

    [[nodiscard]] ErrorPtr error() const;
    void setError(ErrorPtr error);
    std::optional<double> initialResponseTime() const;
    std::optional<ul::URLCredential> credential() const;
    void setCredential(std::optional<ul::URLCredential> credential);
    std::shared_ptr<ul::TaskMetrics> metrics() const;
    void setMetrics(std::shared_ptr<ul::TaskMetrics> metrics);
    // The collected bytes (data tasks only).
    std::optional<Data> data() const;
    // What a response handler reads once the task has ended, under one
    // lock: the collected bytes (as data() gives them), the error and the
    // metrics.
    struct Outcome {
        std::optional<Data> data;
        ErrorPtr error;
        std::shared_ptr<ul::TaskMetrics> metrics;
    };
    Outcome outcome() const;

    // Overrides: when set, each alone handles its event.
    std::function<std::optional<ul::URLRequest>(ul::URLSession&, ul::URLSessionTask&,
                                                const ul::HTTPURLResponsePtr&, const ul::URLRequest&)>
        taskWillPerformHTTPRedirection;
    std::function<std::pair<ul::URLSessionAuthChallengeDisposition, std::optional<ul::URLCredential>>(
        ul::URLSession&, ul::URLSessionTask&, const ul::URLAuthenticationChallenge&)>
        taskDidReceiveChallenge;
    std::function<std::shared_ptr<plat::InputStream>(ul::URLSession&, ul::URLSessionTask&)>
        taskNeedNewBodyStream;
    std::function<void(ul::URLSession&, ul::URLSessionTask&, const ErrorPtr&)> taskDidCompleteWithError;

    // Event handlers.
    void willPerformHTTPRedirection(ul::URLSession&, ul::URLSessionTask&, const ul::HTTPURLResponsePtr&,
                                    const ul::URLRequest& request, ul::RedirectCompletion completion);
    void didReceiveChallenge(ul::URLSession&, ul::URLSessionTask&, const ul::URLAuthenticationChallenge&,
                             ul::ChallengeCompletion completion);
    void needNewBodyStream(ul::URLSession&, ul::URLSessionTask&, ul::BodyStreamCompletion completion);
    void didCompleteWithError(ul::URLSession&, ul::URLSessionTask&, const ErrorPtr& error);

  protected:
    virtual void reset();
    void markInitialResponse();
    void markInitialResponseLocked() REQUIRES(mutex_);
    virtual std::optional<Data> dataLocked() const REQUIRES(mutex_) { return std::nullopt; }
    // Error recording used by completion: only when none was recorded.
    void recordErrorIfNone(const ErrorPtr& error);

    mutable plat::Mutex mutex_;
    HoldBackQueue queue_;

  private:
    plat::Mutex releaseLock_;
    std::weak_ptr<QueueReleaseObserver> releaseObserver_ GUARDED_BY(releaseLock_);
    mutable plat::Mutex taskLock_;
    std::shared_ptr<ul::URLSessionTask> task_ GUARDED_BY(taskLock_);
    ErrorPtr error_ GUARDED_BY(mutex_);
    std::optional<double> initialResponseTime_ GUARDED_BY(mutex_);
    std::optional<ul::URLCredential> credential_ GUARDED_BY(mutex_);
    std::shared_ptr<ul::TaskMetrics> metrics_ GUARDED_BY(mutex_);
};

class DataTaskDelegate : public TaskDelegate {
  public:
    explicit DataTaskDelegate(std::shared_ptr<ul::URLSessionTask> task);

    std::shared_ptr<Progress> progress() const;
    std::optional<ProgressHandler> progressHandler() const;
    void setProgressHandler(std::optional<ProgressHandler> handler);
    std::function<void(const Data&)> dataStream() const;
    void setDataStream(std::function<void(const Data&)> stream);
    int64_t totalBytesReceived() const;
    // (data(): absent while a stream callback takes the bytes.)

    std::function<ul::URLSessionResponseDisposition(ul::URLSession&, ul::URLSessionDataTask&,
                                                    const ul::HTTPURLResponsePtr&)>
        dataTaskDidReceiveResponse;
    std::function<void(ul::URLSession&, ul::URLSessionDataTask&, const Data&)> dataTaskDidReceiveData;
    std::function<void(ul::URLSession&, ul::URLSessionDataTask&,
                       const std::shared_ptr<ul::URLSessionDownloadTask>&)>
        dataTaskDidBecomeDownloadTask;
    // What to keep in the session's cache (absent: nothing).
    std::function<std::optional<ul::CachedURLResponse>(ul::URLSession&, ul::URLSessionDataTask&,
                                                       const ul::CachedURLResponse&)>
        dataTaskWillCacheResponse;

    void didReceiveResponse(ul::URLSession&, ul::URLSessionDataTask&, const ul::HTTPURLResponsePtr&,
                            ul::ResponseCompletion completion);
    void didReceiveData(ul::URLSession&, ul::URLSessionDataTask&, const Data& data);
    // The same for a chunk given to keep: the first chunk of a collected
    // body becomes the body's buffer as it is (no copy, no allocation).
    void didReceiveData(ul::URLSession&, ul::URLSessionDataTask&, Data&& data);
    // Calls dataTaskDidBecomeDownloadTask when set (the session delegate
    // then gives the request a download task delegate).
    void didBecomeDownloadTask(ul::URLSession&, ul::URLSessionDataTask&,
                               const std::shared_ptr<ul::URLSessionDownloadTask>& download);
    // Answers with dataTaskWillCacheResponse's result when set, else with
    // the proposal.
    void willCacheResponse(ul::URLSession&, ul::URLSessionDataTask&, const ul::CachedURLResponse& proposed,
                           ul::CacheCompletion completion);

  protected:
    void reset() override;
    std::optional<Data> dataLocked() const override REQUIRES(mutex_);

  private:
    void receiveData(ul::URLSession&, ul::URLSessionDataTask&, const Data& data, Data* owned);
    // The progress object once someone asks for it (made then with the
    // counts so far, and kept up to date from there).
    std::shared_ptr<Progress> progressLocked() const REQUIRES(mutex_);

    mutable std::shared_ptr<Progress> progress_ GUARDED_BY(mutex_);
    std::optional<ProgressHandler> progressHandler_ GUARDED_BY(mutex_);
    std::function<void(const Data&)> dataStream_ GUARDED_BY(mutex_);
    int64_t totalBytesReceived_ GUARDED_BY(mutex_) = 0;
    int64_t totalBytesExpected_ GUARDED_BY(mutex_) = 0;  // the progress's total
    Data mutableData_ GUARDED_BY(mutex_);
    bool bodyTooLarge_ GUARDED_BY(mutex_) = false;  // the collected body passed the session's limit
};

class UploadTaskDelegate : public DataTaskDelegate {
  public:
    explicit UploadTaskDelegate(std::shared_ptr<ul::URLSessionTask> task);

    std::shared_ptr<Progress> uploadProgress() const;
    std::optional<ProgressHandler> uploadProgressHandler() const;
    void setUploadProgressHandler(std::optional<ProgressHandler> handler);

    std::function<void(ul::URLSession&, ul::URLSessionTask&, int64_t, int64_t, int64_t)> taskDidSendBodyData;
    void didSendBodyData(ul::URLSession&, ul::URLSessionTask&, int64_t bytesSent, int64_t totalBytesSent,
                         int64_t totalBytesExpectedToSend);

  protected:
    void reset() override;

  private:
    std::shared_ptr<Progress> uploadProgress_ GUARDED_BY(mutex_);
    std::optional<ProgressHandler> uploadProgressHandler_ GUARDED_BY(mutex_);
};

class DownloadTaskDelegate : public TaskDelegate {
  public:
    explicit DownloadTaskDelegate(std::shared_ptr<ul::URLSessionTask> task);

    std::shared_ptr<Progress> progress() const;
    std::optional<ProgressHandler> progressHandler() const;
    void setProgressHandler(std::optional<ProgressHandler> handler);
    std::optional<Data> resumeData() const;
    void setResumeData(std::optional<Data> data);
    std::optional<URL> temporaryURL() const;
    std::optional<URL> destinationURL() const;
    // The destination URL when a destination is set, else the temporary URL.
    std::optional<URL> fileURL() const;
    DownloadDestination destination() const;
    void setDestination(DownloadDestination destination);

    std::function<void(ul::URLSession&, ul::URLSessionDownloadTask&, const URL&)>
        downloadTaskDidFinishDownloadingToURL;
    std::function<void(ul::URLSession&, ul::URLSessionDownloadTask&, int64_t, int64_t, int64_t)>
        downloadTaskDidWriteData;
    std::function<void(ul::URLSession&, ul::URLSessionDownloadTask&, int64_t, int64_t)>
        downloadTaskDidResumeAtOffset;

    void didFinishDownloadingToURL(ul::URLSession&, ul::URLSessionDownloadTask&, const URL& location);
    void didWriteData(ul::URLSession&, ul::URLSessionDownloadTask&, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite);
    void didResumeAtOffset(ul::URLSession&, ul::URLSessionDownloadTask&, int64_t fileOffset,
                           int64_t expectedTotalBytes);

  protected:
    void reset() override;

  private:
    std::shared_ptr<Progress> progress_ GUARDED_BY(mutex_);
    std::optional<ProgressHandler> progressHandler_ GUARDED_BY(mutex_);
    std::optional<Data> resumeData_ GUARDED_BY(mutex_);
    std::optional<URL> temporaryURL_ GUARDED_BY(mutex_);
    std::optional<URL> destinationURL_ GUARDED_BY(mutex_);
    DownloadDestination destination_ GUARDED_BY(mutex_);
};

}  // namespace httpclient
