// URLSessionDelegate: what a session tells its delegate, and the answers it
// waits for.
//
// Every call arrives on the session's delegate queue, one at a time, and per
// task in this order: redirect and challenge calls, then the response, then
// data (or download progress and finishing), then metrics, then completion
// (always exactly once, and always last). The session never calls the
// delegate from inside a factory, resume, suspend, cancel or invalidation.
//
// Completion handlers may be called from any thread, at most once (later
// calls are ignored). A handler dropped without being called gives the
// default answer. A callback that throws cancels its task.
//
// implements() says which optional calls the delegate answers; for the
// five that change what the session does (session-level challenge, task
// challenge, redirection, response, caching) the default is "not implemented" and the
// session then acts as if the default answer was given, without a round trip
// through the delegate queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Stream.h"
#include "platform/urlloading/TaskMetrics.h"
#include "platform/urlloading/URLCache.h"
#include "platform/urlloading/URLCredential.h"
#include "platform/urlloading/URLRequest.h"
#include "platform/urlloading/URLResponse.h"

namespace plat::urlloading {

class URLSession;
class URLSessionTask;
class URLSessionDataTask;
class URLSessionDownloadTask;
class URLSessionStreamTask;

// BecomeDownload: the rest of the body goes to a file through a download
// task that takes the data task's place (same identifier, same request and
// response); the delegate hears of it in didBecomeDownloadTask before any
// download call, and the data task ends silently (no completion of its own).
enum class URLSessionResponseDisposition { Cancel = 0, Allow = 1, BecomeDownload = 2 };

using ChallengeCompletion =
    std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)>;
using RedirectCompletion = std::function<void(std::optional<URLRequest>)>;
using ResponseCompletion = std::function<void(URLSessionResponseDisposition)>;
// The body of a streamed upload: an input stream the session opens (unless
// it already is), reads on its network thread and drops when the task ends;
// null, or a stream that fails, ends the task with
// URLErrorRequestBodyStreamExhausted.
using BodyStreamCompletion = std::function<void(std::shared_ptr<InputStream>)>;
// The response to keep in the session's cache, or nothing to keep none.
using CacheCompletion = std::function<void(std::optional<CachedURLResponse>)>;

class URLSessionDelegate {
  public:
    enum class Callback {
        SessionDidReceiveChallenge,
        TaskDidReceiveChallenge,
        WillPerformHTTPRedirection,
        DidReceiveResponse,
        WillCacheResponse,
    };

    virtual ~URLSessionDelegate() = default;
    virtual bool implements(Callback) const { return false; }

    // Session level.
    virtual void didBecomeInvalidWithError(URLSession&, const ErrorPtr&) {}
    // Server-trust challenges (the connection's), when implemented.
    virtual void didReceiveChallenge(URLSession&, const URLAuthenticationChallenge&,
                                     ChallengeCompletion completion) {
        completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    }

    // Any task.
    virtual void willPerformHTTPRedirection(URLSession&, URLSessionTask&, const HTTPURLResponsePtr&,
                                            const URLRequest& newRequest, RedirectCompletion completion) {
        completion(newRequest);
    }
    virtual void didReceiveChallenge(URLSession&, URLSessionTask&, const URLAuthenticationChallenge&,
                                     ChallengeCompletion completion) {
        completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    }
    virtual void needNewBodyStream(URLSession&, URLSessionTask&, BodyStreamCompletion completion) {
        completion(nullptr);
    }
    virtual void didSendBodyData(URLSession&, URLSessionTask&, int64_t /*bytesSent*/,
                                 int64_t /*totalBytesSent*/, int64_t /*totalBytesExpectedToSend*/) {}
    virtual void didFinishCollectingMetrics(URLSession&, URLSessionTask&,
                                            const std::shared_ptr<TaskMetrics>&) {}
    virtual void didCompleteWithError(URLSession&, URLSessionTask&, const ErrorPtr&) {}
    // A task with no completion handler has ended: its last calls, made
    // together. `lastChunk` is the body's last chunk when the session held it
    // back to go with them (the delegate's to keep; null otherwise). Unless
    // overridden: didReceiveOwnedData with that chunk, then
    // didFinishCollectingMetrics, then didCompleteWithError, each as its own
    // call would be (a chunk's call that throws cancels the task, which has
    // ended; what the others throw is logged and the next still runs). A
    // delegate that finds its state for a task by a look-up may override it
    // to look once for the three; what the override throws is logged.
    virtual void didEndTask(URLSession& session, URLSessionTask& task, Data* lastChunk,
                            const std::shared_ptr<TaskMetrics>& metrics, const ErrorPtr& error);

    // Data and upload tasks.
    virtual void didReceiveResponse(URLSession&, URLSessionDataTask&, const HTTPURLResponsePtr&,
                                    ResponseCompletion completion) {
        completion(URLSessionResponseDisposition::Allow);
    }
    virtual void didReceiveData(URLSession&, URLSessionDataTask&, const Data&) {}
    // How the session delivers each chunk: the chunk is the delegate's to
    // keep, so one that collects the body may take the bytes instead of
    // copying them. Unless overridden, it is didReceiveData.
    virtual void didReceiveOwnedData(URLSession& session, URLSessionDataTask& task, Data&& data) {
        didReceiveData(session, task, data);
    }
    // With a cache configured, before a data task that may be cached
    // completes: the delegate may keep the proposal, change it or refuse
    // it (the task completes once it has answered).
    virtual void willCacheResponse(URLSession&, URLSessionDataTask&, const CachedURLResponse& proposed,
                                   CacheCompletion completion) {
        completion(proposed);
    }
    virtual void didBecomeDownloadTask(URLSession&, URLSessionDataTask&,
                                       const std::shared_ptr<URLSessionDownloadTask>&) {}

    // Download tasks. The file at `location` stays until the task is released.
    virtual void didFinishDownloadingToURL(URLSession&, URLSessionDownloadTask&, const URL& /*location*/) {}
    virtual void didWriteData(URLSession&, URLSessionDownloadTask&, int64_t /*bytesWritten*/,
                              int64_t /*totalBytesWritten*/, int64_t /*totalBytesExpectedToWrite*/) {}
    // Stream tasks: the server ended its stream; closeWrite has taken
    // effect. There is no route monitoring, so betterRouteDiscovered is
    // never called, nor didBecomeInputStream (streams are not captured);
    // both are kept for delegates that forward them.
    virtual void readClosedForStreamTask(URLSession&, URLSessionStreamTask&) {}
    virtual void writeClosedForStreamTask(URLSession&, URLSessionStreamTask&) {}
    virtual void betterRouteDiscoveredForStreamTask(URLSession&, URLSessionStreamTask&) {}
    virtual void didBecomeInputStream(URLSession&, URLSessionStreamTask&, const std::shared_ptr<InputStream>&,
                                      const std::shared_ptr<OutputStream>&) {}

    virtual void didResumeAtOffset(URLSession&, URLSessionDownloadTask&, int64_t /*fileOffset*/,
                                   int64_t /*expectedTotalBytes*/) {}
};

}  // namespace plat::urlloading
