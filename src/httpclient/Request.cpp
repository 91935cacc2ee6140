#include "httpclient/Request.h"

#include <algorithm>

#include "httpclient/CourierError.h"
#include "httpclient/Notifications.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/StringEncoding.h"
#include "platform/foundation/Text.h"

namespace httpclient {

namespace {

plat::Result<URLRequest> adapted(const URLRequest& request, RequestAdapter& adapter) {
    auto result = adapter.adapt(request);
    if (!result)
        return AdaptError::make(result.error());
    return result;
}

using TaskResult = plat::Result<std::shared_ptr<ul::URLSessionTask>>;

// Makes the task from the adapted request, or from the request itself when
// there is no adapter (no copy of it then).
template <class Make>
TaskResult withAdapted(const URLRequest& request, const std::shared_ptr<RequestAdapter>& adapter,
                       const plat::dispatch::Queue& queue, Make make) {
    if (!adapter)
        return queue.sync([&]() -> std::shared_ptr<ul::URLSessionTask> { return make(request); });
    auto r = adapted(request, *adapter);
    if (!r)
        return r.error();
    return queue.sync([&]() -> std::shared_ptr<ul::URLSessionTask> { return make(*r); });
}

}  // namespace

// --- task descriptions ---

TaskResult Requestable::task(ul::URLSession& session, const std::shared_ptr<RequestAdapter>& adapter,
                             const plat::dispatch::Queue& queue) const {
    return withAdapted(request, adapter, queue,
                       [&](const URLRequest& r) { return session.dataTaskWithRequest(r); });
}

std::shared_ptr<Downloadable> Downloadable::request(URLRequest r) {
    auto d = std::make_shared<Downloadable>();
    d->request_ = std::move(r);
    return d;
}

std::shared_ptr<Downloadable> Downloadable::resumeData(Data data) {
    auto d = std::make_shared<Downloadable>();
    d->resumeData_ = std::move(data);
    return d;
}

TaskResult Downloadable::task(ul::URLSession& session, const std::shared_ptr<RequestAdapter>& adapter,
                              const plat::dispatch::Queue& queue) const {
    if (resumeData_) {
        return queue.sync([&] {
            return std::shared_ptr<ul::URLSessionTask>(session.downloadTaskWithResumeData(*resumeData_));
        });
    }
    return withAdapted(*request_, adapter, queue,
                       [&](const URLRequest& r) { return session.downloadTaskWithRequest(r); });
}

std::shared_ptr<Uploadable> Uploadable::data(Data d, URLRequest r) {
    auto u = std::make_shared<Uploadable>();
    u->kind = Kind::data;
    u->body = std::move(d);
    u->request = std::move(r);
    return u;
}

std::shared_ptr<Uploadable> Uploadable::file(URL url, URLRequest r) {
    auto u = std::make_shared<Uploadable>();
    u->kind = Kind::file;
    u->fileURL = std::move(url);
    u->request = std::move(r);
    return u;
}

std::shared_ptr<Uploadable> Uploadable::stream(std::shared_ptr<plat::InputStream> s, URLRequest r) {
    auto u = std::make_shared<Uploadable>();
    u->kind = Kind::stream;
    u->bodyStream = std::move(s);
    u->request = std::move(r);
    return u;
}

TaskResult Uploadable::task(ul::URLSession& session, const std::shared_ptr<RequestAdapter>& adapter,
                            const plat::dispatch::Queue& queue) const {
    return withAdapted(request, adapter, queue,
                       [&](const URLRequest& r) -> std::shared_ptr<ul::URLSessionTask> {
                           switch (kind) {
                               case Kind::data:
                                   return session.uploadTaskWithRequest(r, body);
                               case Kind::file:
                                   return session.uploadTaskWithRequest(r, *fileURL);
                               case Kind::stream:
                                   return session.uploadTaskWithStreamedRequest(r);
                           }
                           return nullptr;
                       });
}

std::shared_ptr<Streamable> Streamable::stream(std::string hostName, int port) {
    auto s = std::make_shared<Streamable>();
    s->hostName = std::move(hostName);
    s->port = port;
    return s;
}

std::shared_ptr<Streamable> Streamable::netService(std::shared_ptr<ul::NetService> service) {
    auto s = std::make_shared<Streamable>();
    s->service = std::move(service);
    return s;
}

TaskResult Streamable::task(ul::URLSession& session, const std::shared_ptr<RequestAdapter>&,
                            const plat::dispatch::Queue& queue) const {
    return queue.sync([&]() -> std::shared_ptr<ul::URLSessionTask> {
        if (service)
            return session.streamTaskWithNetService(*service);
        // A missing service is an unresolved one: no host to look up.
        return session.streamTaskWithHostName(hostName, port);
    });
}

// --- Request ---

Request::Request(std::shared_ptr<ul::URLSession> session, Kind kind,
                 std::shared_ptr<const TaskConvertible> originalTask,
                 std::shared_ptr<ul::URLSessionTask> task, ErrorPtr error)
    : session_(std::move(session)), originalTask_(std::move(originalTask)) {
    switch (kind) {
        case Kind::data:
            taskDelegate_ = std::make_shared<DataTaskDelegate>(std::move(task));
            break;
        case Kind::download:
            taskDelegate_ = std::make_shared<DownloadTaskDelegate>(std::move(task));
            break;
        case Kind::upload:
            taskDelegate_ = std::make_shared<UploadTaskDelegate>(std::move(task));
            break;
        case Kind::stream:
            taskDelegate_ = std::make_shared<TaskDelegate>(std::move(task));
            break;
    }
    if (error)
        taskDelegate_->setError(std::move(error));
}

Request::~Request() = default;

// The end time is stamped when the delegate lets its queue go, before the
// response handlers waiting there start (no operation of its own: that
// would cost every request a trip through the worker pool).
void Request::start() {
    delegate()->setQueueReleaseObserver(weak_from_this());
}

void Request::queueWillRelease() {
    setEndTime(absoluteTimeNow());
}

uint64_t Request::retryCount() const {
    plat::MutexLock lock(mutex_);
    return retryCount_;
}
void Request::setRetryCount(uint64_t count) {
    plat::MutexLock lock(mutex_);
    retryCount_ = count;
}
std::optional<double> Request::startTime() const {
    plat::MutexLock lock(mutex_);
    return startTime_;
}
void Request::setStartTime(std::optional<double> time) {
    plat::MutexLock lock(mutex_);
    startTime_ = time;
}
std::optional<double> Request::endTime() const {
    plat::MutexLock lock(mutex_);
    return endTime_;
}
void Request::setEndTime(std::optional<double> time) {
    plat::MutexLock lock(mutex_);
    endTime_ = time;
}
std::vector<std::function<void()>> Request::validations() const {
    plat::MutexLock lock(mutex_);
    return validations_;
}
void Request::appendValidation(std::function<void()> validation) {
    plat::MutexLock lock(mutex_);
    validations_.push_back(std::move(validation));
}

std::shared_ptr<TaskDelegate> Request::delegate() const {
    plat::MutexLock lock(taskDelegateLock_);
    return taskDelegate_;
}

void Request::setDelegate(std::shared_ptr<TaskDelegate> delegate) {
    plat::MutexLock lock(taskDelegateLock_);
    taskDelegate_ = std::move(delegate);
}

std::shared_ptr<ul::URLSessionTask> Request::task() const {
    return delegate()->task();
}

std::optional<URLRequest> Request::requestFor(const std::shared_ptr<ul::URLSessionTask>& task) const {
    if (task && task->originalRequest())
        return task->originalRequest();
    return describedRequest();
}

ul::HTTPURLResponsePtr Request::response() const {
    auto t = task();
    return t ? t->response() : nullptr;
}

std::shared_ptr<Request> Request::authenticate(const std::string& user, const std::string& password,
                                               ul::URLCredentialPersistence persistence) {
    return authenticate(ul::URLCredential::withUser(user, password, persistence));
}

std::shared_ptr<Request> Request::authenticate(const ul::URLCredential& credential) {
    delegate()->setCredential(credential);
    return shared_from_this();
}

std::optional<std::pair<std::string, std::string>> Request::authorizationHeader(const std::string& user,
                                                                                const std::string& password) {
    const std::string text = user + ":" + password;
    auto data = plat::dataFromString(text, plat::UTF8StringEncoding);
    if (!data)
        return std::nullopt;
    return std::make_pair(std::string("Authorization"), "Basic " + data->base64EncodedString());
}

void Request::post(const std::string& name, const std::shared_ptr<ul::URLSessionTask>& task) {
    // Nobody to tell: the user info would be built for nothing.
    if (plat::NotificationCenter::defaultCenter().observerCount() == 0)
        return;
    plat::NotificationCenter::defaultCenter().postNotificationName(
        name, shared_from_this(),
        plat::Dictionary{{Notification::Key::task(), plat::Value(plat::BoxedObject<ul::URLSessionTask>::make(
                                                         task, "NSURLSessionTask"))}});
}

void Request::resume() {
    auto t = task();
    if (!t) {
        delegate()->releaseQueue();
        return;
    }
    {
        plat::MutexLock lock(mutex_);
        if (!startTime_)
            startTime_ = absoluteTimeNow();
    }
    t->resume();
    post(Notification::Name::Task::didResume(), t);
}

void Request::suspend() {
    auto t = task();
    if (!t)
        return;
    t->suspend();
    post(Notification::Name::Task::didSuspend(), t);
}

void Request::cancel() {
    auto t = task();
    if (!t)
        return;
    t->cancel();
    post(Notification::Name::Task::didCancel(), t);
}

Timeline Request::timeline(const TaskDelegate& delegate) const {
    // One clock reading stands for every time not yet recorded, and for the
    // serialization time: the values stay ordered.
    const double now = absoluteTimeNow();
    std::optional<double> start, end;
    {
        plat::MutexLock lock(mutex_);
        start = startTime_;
        end = endTime_;
    }
    const double completed = end.value_or(now);
    const double initial = delegate.initialResponseTime().value_or(completed);
    return Timeline(start.value_or(now), initial, completed, now);
}

std::string Request::description() const {
    std::vector<std::string> parts;
    auto r = request();
    if (r && r->httpMethod)
        parts.push_back(*r->httpMethod);
    if (r && r->url)
        parts.push_back(r->url->absoluteString());
    if (auto resp = response())
        parts.push_back("(" + std::to_string(resp->statusCode()) + ")");
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i)
        out += (i ? " " : "") + parts[i];
    return out;
}

std::string Request::debugDescription() const {
    auto r = request();
    if (!r || !r->url || !r->url->host())
        return "$ curl command could not be created";
    const URL& url = *r->url;
    const auto& configuration = session_->configuration();
    std::vector<std::string> parts{"$ curl -v"};
    if (r->httpMethod && *r->httpMethod != "GET")
        parts.push_back("-X " + *r->httpMethod);

    if (const auto& storage = configuration.urlCredentialStorage) {
        ul::URLProtectionSpace space;
        space.host = *url.host();
        space.port = url.port().value_or(0);
        space.protocol = url.scheme().value_or("");
        space.realm = *url.host();
        space.authenticationMethod = ul::URLAuthenticationMethodHTTPBasic;
        if (auto table = storage->credentialsForProtectionSpace(space)) {
            for (const auto& [name, credential] : *table) {
                if (credential.user && credential.password)
                    parts.push_back("-u " + *credential.user + ":" + *credential.password);
            }
        } else if (auto credential = delegate()->credential();
                   credential && credential->user && credential->password) {
            parts.push_back("-u " + *credential->user + ":" + *credential->password);
        }
    }

    if (configuration.httpShouldSetCookies && configuration.httpCookieStorage) {
        auto cookies = configuration.httpCookieStorage->cookiesForURL(url);
        if (!cookies.empty()) {
            std::string text;
            for (const auto& cookie : cookies)
                text += cookie.name + "=" + cookie.value + ";";
            text.pop_back();
            parts.push_back("-b \"" + text + "\"");
        }
    }

    std::vector<std::pair<std::string, std::string>> headers;
    auto put = [&](const std::string& name, const std::string& value) {
        if (name == "Cookie")
            return;
        for (auto& entry : headers) {
            if (entry.first == name) {
                entry.second = value;
                return;
            }
        }
        headers.emplace_back(name, value);
    };
    for (const auto& [name, value] : configuration.httpAdditionalHeaders.fields())
        put(name, value);
    for (const auto& [name, value] : r->allHTTPHeaderFields.fields())
        put(name, value);
    for (const auto& [name, value] : headers)
        parts.push_back("-H \"" + name + ": " +
                        plat::text::stringByReplacingOccurrencesOfString(value, "\"", "\\\"") + "\"");

    if (r->httpBody) {
        if (auto body = plat::stringFromData(*r->httpBody, plat::UTF8StringEncoding)) {
            std::string escaped = plat::text::stringByReplacingOccurrencesOfString(*body, "\\\"", "\\\\\"");
            escaped = plat::text::stringByReplacingOccurrencesOfString(escaped, "\"", "\\\"");
            parts.push_back("-d \"" + escaped + "\"");
        }
    }
    parts.push_back("\"" + url.absoluteString() + "\"");

    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i)
        out += (i ? " \\\n\t" : "") + parts[i];
    return out;
}

// --- validation checks ---

namespace {

struct MediaType {
    std::string type;
    std::string subtype;
    bool matches(const MediaType& response) const {
        if (type == response.type && (subtype == response.subtype || subtype == "*"))
            return true;
        return type == "*" && (subtype == response.subtype || subtype == "*");
    }
};

std::optional<MediaType> parseMediaType(std::string_view text) {
    auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    text = text.substr(0, text.find(';'));
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (true) {
        auto slash = text.find('/', start);
        pieces.emplace_back(text.substr(start, slash == std::string_view::npos ? slash : slash - start));
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    if (pieces.empty())
        return std::nullopt;
    return MediaType{pieces.front(), pieces.back()};
}

}  // namespace

ValidationResult Request::validateStatusCode(const std::vector<int>& acceptable,
                                             const ul::HTTPURLResponse& response) {
    const int code = response.statusCode();
    if (std::find(acceptable.begin(), acceptable.end(), code) != acceptable.end())
        return ValidationResult::success();
    return ValidationResult::failure(CourierError::unacceptableStatusCode(code));
}

ValidationResult Request::validateContentType(const std::vector<std::string>& acceptable,
                                              const ul::HTTPURLResponse& response,
                                              const std::optional<Data>& data) {
    if (!data || data->empty())
        return ValidationResult::success();
    const auto& mime = response.MIMEType();
    auto responseType = mime ? parseMediaType(*mime) : std::nullopt;
    if (!responseType) {
        for (const auto& text : acceptable) {
            auto type = parseMediaType(text);
            if (type && type->type == "*" && type->subtype == "*")
                return ValidationResult::success();
        }
        return ValidationResult::failure(CourierError::missingContentType(acceptable));
    }
    for (const auto& text : acceptable) {
        auto type = parseMediaType(text);
        if (type && type->matches(*responseType))
            return ValidationResult::success();
    }
    return ValidationResult::failure(CourierError::unacceptableContentType(acceptable, *mime));
}

std::vector<std::string> Request::acceptableContentTypes() const {
    auto r = request();
    auto accept = r ? r->valueForHTTPHeaderField("Accept") : std::nullopt;
    if (!accept)
        return {"*/*"};
    std::vector<std::string> out;
    std::size_t start = 0;
    while (true) {
        auto comma = accept->find(',', start);
        out.push_back(accept->substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

std::vector<int> Request::acceptableStatusCodes() {
    std::vector<int> codes;
    for (int code = 200; code < 300; ++code)
        codes.push_back(code);
    return codes;
}

// --- DataRequest ---

std::optional<URLRequest> DataRequest::describedRequest() const {
    if (auto* requestable = dynamic_cast<const Requestable*>(originalTask().get()))
        return requestable->request;
    return std::nullopt;
}

std::shared_ptr<DataTaskDelegate> DataRequest::dataDelegate() const {
    return std::dynamic_pointer_cast<DataTaskDelegate>(delegate());
}

std::shared_ptr<Progress> DataRequest::progress() const {
    auto d = dataDelegate();
    return d ? d->progress() : nullptr;
}

std::shared_ptr<DataRequest> DataRequest::stream(std::function<void(const Data&)> closure) {
    if (auto d = dataDelegate())
        d->setDataStream(std::move(closure));
    return self();
}

std::shared_ptr<DataRequest> DataRequest::downloadProgress(ProgressClosure closure,
                                                           plat::dispatch::Queue queue) {
    if (auto d = dataDelegate())
        d->setProgressHandler(ProgressHandler{std::move(closure), std::move(queue)});
    return self();
}

std::shared_ptr<DataRequest> DataRequest::response(std::function<void(const DefaultDataResponse&)> completion,
                                                   plat::dispatch::Queue queue) {
    auto me = self();
    auto delegate = this->delegate();
    delegate->queue().addOperationWithBlock(
        [me, delegate, completion = std::move(completion), queue = std::move(queue)]() mutable {
            auto target = queue ? std::move(queue) : plat::dispatch::Queue::main();
            target.async(
                [me = std::move(me), delegate = std::move(delegate), completion = std::move(completion)] {
                    DefaultDataResponse record(me->request(), me->response(), delegate->data(),
                                               delegate->error(), me->timeline());
                    record.add(delegate->metrics());
                    completion(record);
                });
        });
    return me;
}

std::shared_ptr<DataRequest> DataRequest::responseData(Completion<Data> completion,
                                                       plat::dispatch::Queue queue) {
    return response(dataResponseSerializer(), std::move(completion), std::move(queue));
}

std::shared_ptr<DataRequest> DataRequest::responseString(Completion<std::string> completion,
                                                         std::optional<plat::StringEncoding> encoding,
                                                         plat::dispatch::Queue queue) {
    return response(stringResponseSerializer(encoding), std::move(completion), std::move(queue));
}

std::shared_ptr<DataRequest> DataRequest::responseJSON(Completion<plat::Value> completion, unsigned options,
                                                       plat::dispatch::Queue queue) {
    return response(jsonResponseSerializer(options), std::move(completion), std::move(queue));
}

std::shared_ptr<DataRequest> DataRequest::responsePropertyList(Completion<plat::Value> completion,
                                                               unsigned options,
                                                               plat::dispatch::Queue queue) {
    return response(propertyListResponseSerializer(options), std::move(completion), std::move(queue));
}

DataResponseSerializer<Data> DataRequest::dataResponseSerializer() {
    return DataResponseSerializer<Data>(
        [](const auto&, const auto& response, const auto& data, const auto& error) {
            return serializeResponseData(response, data, error);
        });
}

DataResponseSerializer<std::string> DataRequest::stringResponseSerializer(
    std::optional<plat::StringEncoding> encoding) {
    return DataResponseSerializer<std::string>(
        [encoding](const auto&, const auto& response, const auto& data, const auto& error) {
            return serializeResponseString(encoding, response, data, error);
        });
}

DataResponseSerializer<plat::Value> DataRequest::jsonResponseSerializer(unsigned options) {
    return DataResponseSerializer<plat::Value>(
        [options](const auto&, const auto& response, const auto& data, const auto& error) {
            return serializeResponseJSON(options, response, data, error);
        });
}

DataResponseSerializer<plat::Value> DataRequest::propertyListResponseSerializer(unsigned options) {
    return DataResponseSerializer<plat::Value>(
        [options](const auto&, const auto& response, const auto& data, const auto& error) {
            return serializeResponsePropertyList(options, response, data, error);
        });
}

std::shared_ptr<DataRequest> DataRequest::validate(Validation validation) {
    std::weak_ptr<DataRequest> weak = self();
    appendValidation([weak, validation] {
        auto me = weak.lock();
        if (!me)
            return;
        auto response = me->response();
        auto delegate = me->delegate();
        if (!response || delegate->error())
            return;
        auto result = validation(me->request(), *response, delegate->data());
        if (!result.isSuccess())
            delegate->setError(result.error);
    });
    return self();
}

std::shared_ptr<DataRequest> DataRequest::validate(std::vector<int> acceptableStatusCodes) {
    return validate(
        [codes = std::move(acceptableStatusCodes)](const auto&, const auto& response, const auto&) {
            return validateStatusCode(codes, response);
        });
}

std::shared_ptr<DataRequest> DataRequest::validate(std::vector<std::string> acceptableContentTypes) {
    return validate(
        [types = std::move(acceptableContentTypes)](const auto&, const auto& response, const auto& data) {
            return validateContentType(types, response, data);
        });
}

std::shared_ptr<DataRequest> DataRequest::validate() {
    validate(acceptableStatusCodes());
    return validate(acceptableContentTypes());
}

// --- UploadRequest ---

std::optional<URLRequest> UploadRequest::describedRequest() const {
    if (auto* uploadable = dynamic_cast<const Uploadable*>(originalTask().get()))
        return uploadable->request;
    return std::nullopt;
}

std::shared_ptr<UploadTaskDelegate> UploadRequest::uploadDelegate() const {
    return std::dynamic_pointer_cast<UploadTaskDelegate>(delegate());
}

std::shared_ptr<Progress> UploadRequest::uploadProgress() const {
    auto d = uploadDelegate();
    return d ? d->uploadProgress() : nullptr;
}

std::shared_ptr<UploadRequest> UploadRequest::uploadProgress(ProgressClosure closure,
                                                             plat::dispatch::Queue queue) {
    if (auto d = uploadDelegate())
        d->setUploadProgressHandler(ProgressHandler{std::move(closure), std::move(queue)});
    return std::static_pointer_cast<UploadRequest>(shared_from_this());
}

// --- DownloadRequest ---

std::optional<URLRequest> DownloadRequest::describedRequest() const {
    if (auto* downloadable = dynamic_cast<const Downloadable*>(originalTask().get()))
        return downloadable->request_;
    return std::nullopt;
}

std::shared_ptr<DownloadTaskDelegate> DownloadRequest::downloadDelegate() const {
    return std::dynamic_pointer_cast<DownloadTaskDelegate>(delegate());
}

std::optional<Data> DownloadRequest::resumeData() const {
    auto d = downloadDelegate();
    return d ? d->resumeData() : std::nullopt;
}

std::shared_ptr<Progress> DownloadRequest::progress() const {
    auto d = downloadDelegate();
    return d ? d->progress() : nullptr;
}

void DownloadRequest::cancel() {
    cancel(true);
}

void DownloadRequest::cancel(bool createResumeData) {
    auto t = std::dynamic_pointer_cast<ul::URLSessionDownloadTask>(task());
    if (!t)
        return;
    if (createResumeData) {
        auto me = self();
        t->cancelByProducingResumeData([me](std::optional<Data> data) {
            if (auto d = me->downloadDelegate())
                d->setResumeData(std::move(data));
        });
    } else {
        t->cancel();
    }
    post(Notification::Name::Task::didCancel(), t);
}

std::shared_ptr<DownloadRequest> DownloadRequest::downloadProgress(ProgressClosure closure,
                                                                   plat::dispatch::Queue queue) {
    if (auto d = downloadDelegate())
        d->setProgressHandler(ProgressHandler{std::move(closure), std::move(queue)});
    return self();
}

DownloadDestination DownloadRequest::suggestedDownloadDestination(plat::SearchPathDirectory directory,
                                                                  unsigned domain) {
    return [directory, domain](const URL& temporaryURL, const ul::HTTPURLResponse& response) {
        auto urls = plat::FileManager::defaultManager().URLsForDirectory(directory, domain);
        if (urls.empty())
            return std::make_pair(temporaryURL, DownloadOptions());
        return std::make_pair(urls.front().URLByAppendingPathComponent(response.suggestedFilename()),
                              DownloadOptions());
    };
}

std::shared_ptr<DownloadRequest> DownloadRequest::response(
    std::function<void(const DefaultDownloadResponse&)> completion, plat::dispatch::Queue queue) {
    auto me = self();
    auto delegate = downloadDelegate();
    delegate->queue().addOperationWithBlock(
        [me, delegate, completion = std::move(completion), queue = std::move(queue)]() mutable {
            auto target = queue ? std::move(queue) : plat::dispatch::Queue::main();
            target.async(
                [me = std::move(me), delegate = std::move(delegate), completion = std::move(completion)] {
                    DefaultDownloadResponse record(me->request(), me->response(), delegate->temporaryURL(),
                                                   delegate->destinationURL(), delegate->resumeData(),
                                                   delegate->error(), me->timeline());
                    record.add(delegate->metrics());
                    completion(record);
                });
        });
    return me;
}

std::shared_ptr<DownloadRequest> DownloadRequest::responseData(Completion<Data> completion,
                                                               plat::dispatch::Queue queue) {
    return response(dataResponseSerializer(), std::move(completion), std::move(queue));
}

std::shared_ptr<DownloadRequest> DownloadRequest::responseString(Completion<std::string> completion,
                                                                 std::optional<plat::StringEncoding> encoding,
                                                                 plat::dispatch::Queue queue) {
    return response(stringResponseSerializer(encoding), std::move(completion), std::move(queue));
}

std::shared_ptr<DownloadRequest> DownloadRequest::responseJSON(Completion<plat::Value> completion,
                                                               unsigned options,
                                                               plat::dispatch::Queue queue) {
    return response(jsonResponseSerializer(options), std::move(completion), std::move(queue));
}

std::shared_ptr<DownloadRequest> DownloadRequest::responsePropertyList(Completion<plat::Value> completion,
                                                                       unsigned options,
                                                                       plat::dispatch::Queue queue) {
    return response(propertyListResponseSerializer(options), std::move(completion), std::move(queue));
}

DownloadResponseSerializer<Data> DownloadRequest::dataResponseSerializer() {
    return DownloadResponseSerializer<Data>(
        [](const auto&, const auto& response, const auto& file, const auto& error) {
            return serializeDownloadedFile<Data>(response, file, error, [](const auto& r, const auto& d) {
                return serializeResponseData(r, d, nullptr);
            });
        });
}

DownloadResponseSerializer<std::string> DownloadRequest::stringResponseSerializer(
    std::optional<plat::StringEncoding> encoding) {
    return DownloadResponseSerializer<std::string>(
        [encoding](const auto&, const auto& response, const auto& file, const auto& error) {
            return serializeDownloadedFile<std::string>(
                response, file, error, [encoding](const auto& r, const auto& d) {
                    return serializeResponseString(encoding, r, d, nullptr);
                });
        });
}

DownloadResponseSerializer<plat::Value> DownloadRequest::jsonResponseSerializer(unsigned options) {
    return DownloadResponseSerializer<plat::Value>(
        [options](const auto&, const auto& response, const auto& file, const auto& error) {
            return serializeDownloadedFile<plat::Value>(
                response, file, error, [options](const auto& r, const auto& d) {
                    return serializeResponseJSON(options, r, d, nullptr);
                });
        });
}

DownloadResponseSerializer<plat::Value> DownloadRequest::propertyListResponseSerializer(unsigned options) {
    return DownloadResponseSerializer<plat::Value>(
        [options](const auto&, const auto& response, const auto& file, const auto& error) {
            return serializeDownloadedFile<plat::Value>(
                response, file, error, [options](const auto& r, const auto& d) {
                    return serializeResponsePropertyList(options, r, d, nullptr);
                });
        });
}

std::shared_ptr<DownloadRequest> DownloadRequest::validate(Validation validation) {
    std::weak_ptr<DownloadRequest> weak = self();
    appendValidation([weak, validation] {
        auto me = weak.lock();
        if (!me)
            return;
        auto request = me->request();
        auto delegate = me->downloadDelegate();
        auto temporary = delegate->temporaryURL();
        auto destination = delegate->destinationURL();
        auto response = me->response();
        if (!response || delegate->error())
            return;
        auto result = validation(request, *response, temporary, destination);
        if (!result.isSuccess())
            delegate->setError(result.error);
    });
    return self();
}

std::shared_ptr<DownloadRequest> DownloadRequest::validate(std::vector<int> acceptableStatusCodes) {
    return validate([codes = std::move(acceptableStatusCodes)](const auto&, const auto& response, const auto&,
                                                               const auto&) {
        return validateStatusCode(codes, response);
    });
}

std::shared_ptr<DownloadRequest> DownloadRequest::validate(std::vector<std::string> acceptableContentTypes) {
    std::weak_ptr<DownloadRequest> weak = self();
    return validate([weak, types = std::move(acceptableContentTypes)](const auto&, const auto& response,
                                                                      const auto&, const auto&) {
        auto me = weak.lock();
        auto file = me ? me->downloadDelegate()->fileURL() : std::nullopt;
        if (!file)
            return ValidationResult::failure(CourierError::dataFileNil());
        auto data = detail::readFile(*file);
        if (!data)
            return ValidationResult::failure(CourierError::dataFileReadFailed(*file));
        return validateContentType(types, response, data);
    });
}

std::shared_ptr<DownloadRequest> DownloadRequest::validate() {
    validate(acceptableStatusCodes());
    return validate(acceptableContentTypes());
}

// --- record texts ---

namespace detail {

std::string requestText(const std::optional<URLRequest>& request) {
    if (!request)
        return "nil";
    return request->httpMethod.value_or("GET") + " " + request->description();
}

std::string requestBodyText(const std::optional<URLRequest>& request) {
    if (!request || !request->httpBody)
        return "None";
    return plat::text::lossyUTF8(request->httpBody->view());
}

std::string responseText(const ul::HTTPURLResponsePtr& response) {
    return response ? response->description() : "nil";
}

std::string bodyText(const std::optional<Data>& data) {
    return data ? plat::text::lossyUTF8(data->view()) : "None";
}

std::string urlText(const std::optional<URL>& url) {
    return url ? url->path() : "nil";
}

}  // namespace detail

// --- StreamRequest ---

std::shared_ptr<ul::URLSessionStreamTask> StreamRequest::streamTask() const {
    return std::dynamic_pointer_cast<ul::URLSessionStreamTask>(task());
}

}  // namespace httpclient
