// Requests: what the session manager's factories return. A request wraps one
// URL-session task (or none, when making it failed), owns the task delegate
// that collects the task's bytes, progress, timing and error, and is where
// callers attach validations and response handlers.
//
// Response handlers run on the task delegate's queue, one at a time in the
// order attached, once the task has completed and its validations have run
// (on the global utility queue, never the session's delegate queue or the
// caller's); each hands its record to the caller's queue (the main queue by
// default).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/Response.h"
#include "httpclient/ResponseSerialization.h"
#include "httpclient/TaskDelegate.h"
#include "httpclient/URLConvertible.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Mutex.h"

namespace httpclient {

class SessionManager;
class Request;

// Rewrites a URL request before its task is made, or fails.
class RequestAdapter {
  public:
    virtual ~RequestAdapter() = default;
    virtual plat::Result<URLRequest> adapt(const URLRequest& request) = 0;
};

// Decides whether a failed request is tried again, answering (retry, delay
// in seconds) through `completion` from any thread.
class RequestRetrier {
  public:
    using Completion = std::function<void(bool shouldRetry, double timeDelay)>;
    virtual ~RequestRetrier() = default;
    virtual void should(SessionManager& manager, const std::shared_ptr<Request>& request,
                        const ErrorPtr& error, Completion completion) = 0;
};

// A description from which a task can be made (again, on retry).
class TaskConvertible {
  public:
    virtual ~TaskConvertible() = default;
    // Made inside a synchronous block on `queue`; fails only through the
    // adapter, with an AdaptError.
    virtual plat::Result<std::shared_ptr<ul::URLSessionTask>> task(
        ul::URLSession& session, const std::shared_ptr<RequestAdapter>& adapter,
        const plat::dispatch::Queue& queue) const = 0;
    // The URL request the description holds, if any.
    virtual std::optional<URLRequest> urlRequest() const = 0;
};

struct Requestable : TaskConvertible {
    explicit Requestable(URLRequest r) : request(std::move(r)) {}
    plat::Result<std::shared_ptr<ul::URLSessionTask>> task(ul::URLSession&,
                                                           const std::shared_ptr<RequestAdapter>&,
                                                           const plat::dispatch::Queue&) const override;
    std::optional<URLRequest> urlRequest() const override { return request; }
    URLRequest request;
};

struct Downloadable : TaskConvertible {
    static std::shared_ptr<Downloadable> request(URLRequest r);
    static std::shared_ptr<Downloadable> resumeData(Data d);
    plat::Result<std::shared_ptr<ul::URLSessionTask>> task(ul::URLSession&,
                                                           const std::shared_ptr<RequestAdapter>&,
                                                           const plat::dispatch::Queue&) const override;
    std::optional<URLRequest> urlRequest() const override { return request_; }
    std::optional<URLRequest> request_;
    std::optional<Data> resumeData_;
};

struct Uploadable : TaskConvertible {
    enum class Kind { data, file, stream };
    static std::shared_ptr<Uploadable> data(Data d, URLRequest r);
    static std::shared_ptr<Uploadable> file(URL u, URLRequest r);
    static std::shared_ptr<Uploadable> stream(std::shared_ptr<plat::InputStream> s, URLRequest r);
    plat::Result<std::shared_ptr<ul::URLSessionTask>> task(ul::URLSession&,
                                                           const std::shared_ptr<RequestAdapter>&,
                                                           const plat::dispatch::Queue&) const override;
    std::optional<URLRequest> urlRequest() const override { return request; }
    Kind kind = Kind::data;
    Data body;
    std::optional<URL> fileURL;
    std::shared_ptr<plat::InputStream> bodyStream;
    URLRequest request;
};

// A TCP connection to a host and port, or to a net service's resolved
// address (read when the task is made, so a retry sees a new resolution).
// No adapter takes part.
struct Streamable : TaskConvertible {
    static std::shared_ptr<Streamable> stream(std::string hostName, int port);
    static std::shared_ptr<Streamable> netService(std::shared_ptr<ul::NetService> service);
    plat::Result<std::shared_ptr<ul::URLSessionTask>> task(ul::URLSession&,
                                                           const std::shared_ptr<RequestAdapter>&,
                                                           const plat::dispatch::Queue&) const override;
    std::optional<URLRequest> urlRequest() const override { return std::nullopt; }
    std::string hostName;
    int port = 0;
    // Set for a net service; null otherwise.
    std::shared_ptr<ul::NetService> service;
};

// The outcome of a validation check: success, or failure with an error.
struct ValidationResult {
    static ValidationResult success() { return {}; }
    static ValidationResult failure(ErrorPtr error) { return {std::move(error)}; }
    bool isSuccess() const { return error == nullptr; }
    ErrorPtr error;
};

class Request : public std::enable_shared_from_this<Request>, public QueueReleaseObserver {
  public:
    enum class Kind { data, download, upload, stream };

    virtual ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    const std::shared_ptr<ul::URLSession>& session() const { return session_; }
    uint64_t retryCount() const;
    void setRetryCount(uint64_t count);
    const std::shared_ptr<const TaskConvertible>& originalTask() const { return originalTask_; }
    std::optional<double> startTime() const;
    void setStartTime(std::optional<double> time);
    std::optional<double> endTime() const;
    void setEndTime(std::optional<double> time);
    std::vector<std::function<void()>> validations() const;
    void appendValidation(std::function<void()> validation);

    std::shared_ptr<TaskDelegate> delegate() const;
    void setDelegate(std::shared_ptr<TaskDelegate> delegate);
    std::shared_ptr<ul::URLSessionTask> task() const;
    // The URL request the task was made with, else the one the task
    // description holds.
    std::optional<URLRequest> request() const { return requestFor(task()); }
    ul::HTTPURLResponsePtr response() const;

    std::shared_ptr<Request> authenticate(
        const std::string& user, const std::string& password,
        ul::URLCredentialPersistence persistence = ul::URLCredentialPersistence::ForSession);
    virtual std::shared_ptr<Request> authenticate(const ul::URLCredential& credential);
    // ("Authorization", "Basic " + base64(user:password)), absent when the
    // text is not valid UTF-8.
    static std::optional<std::pair<std::string, std::string>> authorizationHeader(
        const std::string& user, const std::string& password);

    virtual void resume();
    virtual void suspend();
    virtual void cancel();

    // Method, URL and status code joined by blanks.
    std::string description() const;
    // The request as a cURL command.
    std::string debugDescription() const;

    // Shared checks of validation.
    static ValidationResult validateStatusCode(const std::vector<int>& acceptable,
                                               const ul::HTTPURLResponse& response);
    static ValidationResult validateContentType(const std::vector<std::string>& acceptable,
                                                const ul::HTTPURLResponse& response,
                                                const std::optional<Data>& data);
    // The "Accept" header split at ",", else "*/*".
    std::vector<std::string> acceptableContentTypes() const;
    static std::vector<int> acceptableStatusCodes();

  protected:
    Request(std::shared_ptr<ul::URLSession> session, Kind kind,
            std::shared_ptr<const TaskConvertible> originalTask, std::shared_ptr<ul::URLSessionTask> task,
            ErrorPtr error);
    // Queues the end-time stamp; called once the object is owned.
    void start();
    void post(const std::string& name, const std::shared_ptr<ul::URLSessionTask>& task);
    Timeline timeline() const { return timeline(*delegate()); }
    // With the delegate the caller has already taken.
    Timeline timeline(const TaskDelegate& delegate) const;
    // request() for a task the caller has already taken.
    std::optional<URLRequest> requestFor(const std::shared_ptr<ul::URLSessionTask>& task) const;
    // The URL request the task description holds, if the kind has one.
    virtual std::optional<URLRequest> describedRequest() const { return std::nullopt; }

    // A request and its shared_ptr bookkeeping in one allocation: the
    // request classes' constructors are protected, reached from a class
    // derived from them.
    template <class T>
    struct InOneBlock final : T {
        template <class... Args>
        explicit InOneBlock(Args&&... args) : T(std::forward<Args>(args)...) {}
    };
    template <class T, class... Args>
    static std::shared_ptr<T> make(Args&&... args) {
        std::shared_ptr<T> r = std::make_shared<InOneBlock<T>>(std::forward<Args>(args)...);
        r->start();
        return r;
    }
    friend class SessionManager;

  private:
    // Stamps the end time.
    void queueWillRelease() override;

    const std::shared_ptr<ul::URLSession> session_;
    const std::shared_ptr<const TaskConvertible> originalTask_;
    mutable plat::Mutex mutex_;
    uint64_t retryCount_ GUARDED_BY(mutex_) = 0;
    std::optional<double> startTime_ GUARDED_BY(mutex_);
    std::optional<double> endTime_ GUARDED_BY(mutex_);
    std::vector<std::function<void()>> validations_ GUARDED_BY(mutex_);
    mutable plat::Mutex taskDelegateLock_;
    std::shared_ptr<TaskDelegate> taskDelegate_ GUARDED_BY(taskDelegateLock_);
};

class DataRequest : public Request {
  public:
    using Validation = std::function<ValidationResult(
        const std::optional<URLRequest>&, const ul::HTTPURLResponse&, const std::optional<Data>&)>;
    template <class T>
    using Completion = std::function<void(const DataResponse<T>&)>;

    using Request::response;
    std::shared_ptr<Progress> progress() const;
    std::shared_ptr<DataTaskDelegate> dataDelegate() const;
    // Hands each block of received bytes to `closure` instead of keeping it.
    std::shared_ptr<DataRequest> stream(std::function<void(const Data&)> closure);
    std::shared_ptr<DataRequest> downloadProgress(
        ProgressClosure closure, plat::dispatch::Queue queue = plat::dispatch::Queue::main());

    // Response handlers; an empty queue means the main queue.
    std::shared_ptr<DataRequest> response(std::function<void(const DefaultDataResponse&)> completion,
                                          plat::dispatch::Queue queue = {});
    template <class Serializer>
    std::shared_ptr<DataRequest> response(const Serializer& serializer,
                                          Completion<typename Serializer::SerializedObject> completion,
                                          plat::dispatch::Queue queue = {});
    std::shared_ptr<DataRequest> responseData(Completion<Data> completion, plat::dispatch::Queue queue = {});
    std::shared_ptr<DataRequest> responseString(Completion<std::string> completion,
                                                std::optional<plat::StringEncoding> encoding = std::nullopt,
                                                plat::dispatch::Queue queue = {});
    std::shared_ptr<DataRequest> responseJSON(Completion<plat::Value> completion,
                                              unsigned options = kDefaultJSONReadingOptions,
                                              plat::dispatch::Queue queue = {});
    std::shared_ptr<DataRequest> responsePropertyList(Completion<plat::Value> completion,
                                                      unsigned options = PropertyListImmutable,
                                                      plat::dispatch::Queue queue = {});

    static DataResponseSerializer<Data> dataResponseSerializer();
    static DataResponseSerializer<std::string> stringResponseSerializer(
        std::optional<plat::StringEncoding> encoding = std::nullopt);
    static DataResponseSerializer<plat::Value> jsonResponseSerializer(
        unsigned options = kDefaultJSONReadingOptions);
    static DataResponseSerializer<plat::Value> propertyListResponseSerializer(
        unsigned options = PropertyListImmutable);

    std::shared_ptr<DataRequest> validate(Validation validation);
    std::shared_ptr<DataRequest> validate(std::vector<int> acceptableStatusCodes);
    std::shared_ptr<DataRequest> validate(std::vector<std::string> acceptableContentTypes);
    // Status 200-299 and the request's acceptable content types.
    std::shared_ptr<DataRequest> validate();

  protected:
    using Request::Request;
    friend class Request;
    friend class SessionManager;
    std::optional<URLRequest> describedRequest() const override;

  private:
    std::shared_ptr<DataRequest> self() { return std::static_pointer_cast<DataRequest>(shared_from_this()); }
};

class UploadRequest : public DataRequest {
  public:
    std::shared_ptr<Progress> uploadProgress() const;
    std::shared_ptr<UploadTaskDelegate> uploadDelegate() const;
    std::shared_ptr<UploadRequest> uploadProgress(
        ProgressClosure closure, plat::dispatch::Queue queue = plat::dispatch::Queue::main());

  protected:
    using DataRequest::DataRequest;
    friend class Request;
    friend class SessionManager;
    std::optional<URLRequest> describedRequest() const override;
};

class DownloadRequest : public Request {
  public:
    using Validation = std::function<ValidationResult(
        const std::optional<URLRequest>&, const ul::HTTPURLResponse&, const std::optional<URL>& temporaryURL,
        const std::optional<URL>& destinationURL)>;
    template <class T>
    using Completion = std::function<void(const DownloadResponse<T>&)>;

    using Request::response;
    std::optional<Data> resumeData() const;
    std::shared_ptr<Progress> progress() const;
    std::shared_ptr<DownloadTaskDelegate> downloadDelegate() const;
    void cancel() override;
    // Cancels; with `createResumeData` the task's resume data lands in
    // resumeData() once the session delivers it.
    void cancel(bool createResumeData);
    std::shared_ptr<DownloadRequest> downloadProgress(
        ProgressClosure closure, plat::dispatch::Queue queue = plat::dispatch::Queue::main());
    // A destination in the first URL of `directory` in `domain` named by the
    // response's suggested file name, or the temporary file when there is none.
    static DownloadDestination suggestedDownloadDestination(
        plat::SearchPathDirectory directory = plat::SearchPathDirectory::DocumentDirectory,
        unsigned domain = plat::UserDomainMask);

    std::shared_ptr<DownloadRequest> response(std::function<void(const DefaultDownloadResponse&)> completion,
                                              plat::dispatch::Queue queue = {});
    template <class Serializer>
    std::shared_ptr<DownloadRequest> response(const Serializer& serializer,
                                              Completion<typename Serializer::SerializedObject> completion,
                                              plat::dispatch::Queue queue = {});
    std::shared_ptr<DownloadRequest> responseData(Completion<Data> completion,
                                                  plat::dispatch::Queue queue = {});
    std::shared_ptr<DownloadRequest> responseString(
        Completion<std::string> completion, std::optional<plat::StringEncoding> encoding = std::nullopt,
        plat::dispatch::Queue queue = {});
    std::shared_ptr<DownloadRequest> responseJSON(Completion<plat::Value> completion,
                                                  unsigned options = kDefaultJSONReadingOptions,
                                                  plat::dispatch::Queue queue = {});
    std::shared_ptr<DownloadRequest> responsePropertyList(Completion<plat::Value> completion,
                                                          unsigned options = PropertyListImmutable,
                                                          plat::dispatch::Queue queue = {});

    static DownloadResponseSerializer<Data> dataResponseSerializer();
    static DownloadResponseSerializer<std::string> stringResponseSerializer(
        std::optional<plat::StringEncoding> encoding = std::nullopt);
    static DownloadResponseSerializer<plat::Value> jsonResponseSerializer(
        unsigned options = kDefaultJSONReadingOptions);
    static DownloadResponseSerializer<plat::Value> propertyListResponseSerializer(
        unsigned options = PropertyListImmutable);

    std::shared_ptr<DownloadRequest> validate(Validation validation);
    std::shared_ptr<DownloadRequest> validate(std::vector<int> acceptableStatusCodes);
    std::shared_ptr<DownloadRequest> validate(std::vector<std::string> acceptableContentTypes);
    std::shared_ptr<DownloadRequest> validate();

  protected:
    using Request::Request;
    friend class Request;
    friend class SessionManager;
    std::optional<URLRequest> describedRequest() const override;

  private:
    std::shared_ptr<DownloadRequest> self() {
        return std::static_pointer_cast<DownloadRequest>(shared_from_this());
    }
};

// A request over a stream task. Its task delegate collects only the error,
// timing and metrics; reading and writing go through the stream task.
class StreamRequest : public Request {
  public:
    // The task as a stream task; null when the request has none.
    std::shared_ptr<ul::URLSessionStreamTask> streamTask() const;

  protected:
    using Request::Request;
    friend class Request;
    friend class SessionManager;
};

// --- templates ---

namespace detail {

// What a response handler's block carries to the caller's queue: the
// handler and its record. The record is made in place, inside the block
// (each move of a record copies a URL's worth of fields).
template <class Record>
struct Delivery {
    std::function<void(const Record&)> completion;
    std::optional<Record> record;
    void operator()() const { completion(*record); }
};

template <class Record>
plat::dispatch::Block deliveryBlock(std::function<void(const Record&)> completion) {
    return plat::dispatch::Block(Delivery<Record>{std::move(completion), std::nullopt});
}

template <class Record>
std::optional<Record>& deliveryRecord(plat::dispatch::Block& block) {
    return block.template target<Delivery<Record>>()->record;
}

}  // namespace detail

template <class Serializer>
std::shared_ptr<DataRequest> DataRequest::response(
    const Serializer& serializer, Completion<typename Serializer::SerializedObject> completion,
    plat::dispatch::Queue queue) {
    using Record = DataResponse<typename Serializer::SerializedObject>;
    auto me = self();
    auto delegate = this->delegate();
    delegate->queue().addOperationWithBlock(
        [me, delegate, serializer, completion = std::move(completion), queue = std::move(queue)]() mutable {
            // The request's current delegate and task, taken once for the
            // whole record.
            const auto current = me->delegate();
            const auto task = current->task();
            auto request = me->requestFor(task);
            auto response = task ? task->response() : nullptr;
            // The bytes, error and metrics in one look (the task has ended:
            // they no longer change).
            auto outcome = delegate->outcome();
            auto result = serializer.serializeResponse(request, response, outcome.data, outcome.error);
            // The block runs once: what it holds moves on to the caller's
            // queue, the record made in place in the block that carries it.
            auto block = detail::deliveryBlock<Record>(std::move(completion));
            auto& record = detail::deliveryRecord<Record>(block).emplace(
                std::move(request), std::move(response), std::move(outcome.data), std::move(result),
                me->timeline(*current));
            record.add(std::move(outcome.metrics));
            auto target = queue ? std::move(queue) : plat::dispatch::Queue::main();
            target.async(std::move(block));
        });
    return me;
}

template <class Serializer>
std::shared_ptr<DownloadRequest> DownloadRequest::response(
    const Serializer& serializer, Completion<typename Serializer::SerializedObject> completion,
    plat::dispatch::Queue queue) {
    using Record = DownloadResponse<typename Serializer::SerializedObject>;
    auto me = self();
    auto delegate = std::static_pointer_cast<DownloadTaskDelegate>(this->delegate());
    delegate->queue().addOperationWithBlock([me, delegate, serializer, completion = std::move(completion),
                                             queue = std::move(queue)]() mutable {
        const auto current = me->delegate();
        const auto task = current->task();
        auto request = me->requestFor(task);
        auto response = task ? task->response() : nullptr;
        auto result = serializer.serializeResponse(request, response, delegate->fileURL(), delegate->error());
        auto block = detail::deliveryBlock<Record>(std::move(completion));
        auto& record = detail::deliveryRecord<Record>(block).emplace(
            std::move(request), std::move(response), delegate->temporaryURL(), delegate->destinationURL(),
            delegate->resumeData(), std::move(result), me->timeline(*current));
        record.add(delegate->metrics());
        auto target = queue ? std::move(queue) : plat::dispatch::Queue::main();
        target.async(std::move(block));
    });
    return me;
}

}  // namespace httpclient
