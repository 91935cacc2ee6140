#include "httpclient/SessionManager.h"

#include <charconv>

#include "httpclient/Notifications.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/UUID.h"

namespace httpclient {

namespace {

using plat::dispatch::QualityOfService;
using plat::dispatch::Queue;

Queue utilityQueue() {
    return Queue::global(QualityOfService::Utility);
}

std::string quality(double q) {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, q);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.find('.') == std::string::npos && text.find('e') == std::string::npos)
        text += ".0";
    return text;
}

std::string infoText(const plat::Dictionary& info, const char* key) {
    const plat::Value* v = info.find(key);
    return v && v->isString() ? *v->asString() : std::string("Unknown");
}

}  // namespace

// --- default headers ---

std::string SessionManager::acceptLanguage(const std::vector<std::string>& languages) {
    std::string out;
    for (std::size_t i = 0; i < languages.size() && i < 6; ++i) {
        if (i)
            out += ", ";
        out += languages[i] + ";q=" + quality(1.0 + static_cast<double>(i) * -0.1);
    }
    return out;
}

const plat::Dictionary& SessionManager::libraryInfoDictionary() {
    static const plat::Dictionary& info =
        *new plat::Dictionary{{"CFBundleShortVersionString", plat::Value("1.0.0")},
                              {"CFBundleIdentifier", plat::Value(kLibraryPrefix)}};
    return info;
}

std::string SessionManager::userAgent(const plat::Dictionary* mainInfo, const plat::Dictionary* libraryInfo,
                                      const plat::OperatingSystemVersion& system) {
    if (!mainInfo)
        return "Courier";
    const std::string executable = infoText(*mainInfo, "CFBundleExecutable");
    const std::string identifier = infoText(*mainInfo, "CFBundleIdentifier");
    const std::string version = infoText(*mainInfo, "CFBundleShortVersionString");
    const std::string build = infoText(*mainInfo, "CFBundleVersion");
    const std::string os = "OS X " + std::to_string(system.majorVersion) + "." +
                           std::to_string(system.minorVersion) + "." + std::to_string(system.patchVersion);
    std::string library = "Unknown";
    if (libraryInfo) {
        if (const plat::Value* v = libraryInfo->find("CFBundleShortVersionString"))
            library = "Courier/" + (v->isString() ? *v->asString() : v->description());
    }
    return executable + "/" + version + " (" + identifier + "; build:" + build + "; " + os + ") " + library;
}

const ul::HTTPHeaderFields& SessionManager::defaultHTTPHeaders() {
    static const ul::HTTPHeaderFields& headers = *new ul::HTTPHeaderFields([] {
        ul::HTTPHeaderFields h;
        h.setValue("gzip;q=1.0, compress;q=0.5", "Accept-Encoding");
        h.setValue(acceptLanguage(plat::Locale::preferredLanguages()), "Accept-Language");
        auto info = plat::Bundle::mainBundle().infoDictionary();
        h.setValue(userAgent(info.get(), &libraryInfoDictionary(),
                             plat::ProcessInfo::processInfo().operatingSystemVersion()),
                   "User-Agent");
        return h;
    }());
    return headers;
}

const std::shared_ptr<SessionManager>& SessionManager::defaultManager() {
    // The shared manager lives for the whole process, never destroyed.
    static const std::shared_ptr<SessionManager>& manager = *new std::shared_ptr<SessionManager>([] {
        auto configuration = ul::URLSessionConfiguration::defaultSessionConfiguration();
        configuration.httpAdditionalHeaders = defaultHTTPHeaders();
        return create(configuration, std::make_shared<SessionDelegate>());
    }());
    return manager;
}

// --- life cycle ---

SessionManager::SessionManager()
    : queue_(
          Queue::serial(std::string(kLibraryPrefix) + ".session-manager." + plat::UUID::random().UUIDString(),
                        QualityOfService::Unspecified)) {}

SessionManager::~SessionManager() {
    if (session_)
        session_->invalidateAndCancel();
}

std::shared_ptr<SessionManager> SessionManager::create(ul::URLSessionConfiguration configuration,
                                                       std::shared_ptr<SessionDelegate> delegate,
                                                       std::shared_ptr<ServerTrustPolicyManager> trust) {
    if (!delegate)
        delegate = std::make_shared<SessionDelegate>();
    std::shared_ptr<SessionManager> manager(new SessionManager());
    auto session = ul::URLSession::sessionWithConfiguration(std::move(configuration), delegate);
    manager->setUp(std::move(session), std::move(delegate), std::move(trust));
    return manager;
}

std::shared_ptr<SessionManager> SessionManager::create(std::shared_ptr<ul::URLSession> session,
                                                       std::shared_ptr<SessionDelegate> delegate,
                                                       std::shared_ptr<ServerTrustPolicyManager> trust) {
    if (!session || !delegate || session->delegate() != delegate)
        return nullptr;
    std::shared_ptr<SessionManager> manager(new SessionManager());
    manager->setUp(std::move(session), std::move(delegate), std::move(trust));
    return manager;
}

void SessionManager::setUp(std::shared_ptr<ul::URLSession> session, std::shared_ptr<SessionDelegate> delegate,
                           std::shared_ptr<ServerTrustPolicyManager> trust) {
    session_ = std::move(session);
    delegate_ = std::move(delegate);
    setServerTrustPolicyManager(*session_, std::move(trust));
    delegate_->setSessionManager(weak_from_this());
    std::weak_ptr<SessionManager> weak = weak_from_this();
    delegate_->sessionDidFinishEventsForBackgroundURLSession = [weak](ul::URLSession&) {
        if (auto self = weak.lock()) {
            Queue::main().async([weak] {
                auto self = weak.lock();
                if (!self)
                    return;
                std::function<void()> handler;
                {
                    plat::MutexLock lock(self->mutex_);
                    handler = self->backgroundCompletionHandler_;
                }
                if (handler)
                    handler();
            });
        }
    };
}

std::shared_ptr<RequestAdapter> SessionManager::adapter() const {
    plat::MutexLock lock(mutex_);
    return adapter_;
}

void SessionManager::setAdapter(std::shared_ptr<RequestAdapter> adapter) {
    plat::MutexLock lock(mutex_);
    adapter_ = std::move(adapter);
}

void SessionManager::setBackgroundCompletionHandler(std::function<void()> handler) {
    plat::MutexLock lock(mutex_);
    backgroundCompletionHandler_ = std::move(handler);
}

// --- making requests ---

template <class T>
std::shared_ptr<T> SessionManager::made(Request::Kind kind,
                                        std::shared_ptr<const TaskConvertible> description,
                                        DownloadDestination destination) {
    auto task = description->task(*session_, adapter(), queue_);
    if (!task)
        return failed<T>(kind, std::move(description), task.error(), std::move(destination));
    auto request = Request::make<T>(session_, kind, description, *task, nullptr);
    if (destination) {
        if (auto d = std::dynamic_pointer_cast<DownloadTaskDelegate>(request->delegate()))
            d->setDestination(std::move(destination));
    }
    if (auto* uploadable =
            kind == Request::Kind::upload ? dynamic_cast<const Uploadable*>(description.get()) : nullptr;
        uploadable && uploadable->kind == Uploadable::Kind::stream) {
        request->delegate()->taskNeedNewBodyStream =
            [stream = uploadable->bodyStream](ul::URLSession&, ul::URLSessionTask&) { return stream; };
    }
    delegate_->setRequest(**task, request);
    if (startRequestsImmediately)
        request->resume();
    return request;
}

template <class T>
std::shared_ptr<T> SessionManager::failed(Request::Kind kind,
                                          std::shared_ptr<const TaskConvertible> description,
                                          const ErrorPtr& error, DownloadDestination destination) {
    ErrorPtr reported = adaptErrorUnwrapped(error);
    if (!reported)
        reported = error;
    auto request = Request::make<T>(session_, kind, std::move(description), nullptr, reported);
    if (destination) {
        if (auto d = std::dynamic_pointer_cast<DownloadTaskDelegate>(request->delegate()))
            d->setDestination(std::move(destination));
    }
    if (retrier() && adaptErrorUnwrapped(error))
        allowRetrier(request, reported);
    else if (startRequestsImmediately)
        request->resume();
    return request;
}

void SessionManager::allowRetrier(const std::shared_ptr<Request>& request, const ErrorPtr& error) {
    std::weak_ptr<SessionManager> weak = weak_from_this();
    utilityQueue().async([weak, request, error] {
        auto self = weak.lock();
        if (!self)
            return;
        auto retrier = self->retrier();
        if (!retrier)
            return;
        retrier->should(*self, request, error, [weak, request](bool retry, double delay) {
            auto self = weak.lock();
            if (!self)
                return;
            if (!retry) {
                if (self->startRequestsImmediately)
                    request->resume();
                return;
            }
            asyncAfter(utilityQueue(), delay, [weak, request] {
                auto self = weak.lock();
                if (!self)
                    return;
                if (self->retry(request) && request->task())
                    return;  // stored under its new task by retry
                if (self->startRequestsImmediately)
                    request->resume();
            });
        });
    });
}

bool SessionManager::retry(const std::shared_ptr<Request>& request) {
    const auto& description = request->originalTask();
    if (!description)
        return false;
    auto made = description->task(*session_, adapter(), queue_);
    if (!made) {
        ErrorPtr error = adaptErrorUnwrapped(made.error());
        request->delegate()->setError(error ? error : made.error());
        return false;
    }
    if (auto old = request->task())
        delegate_->setRequest(*old, nullptr);
    auto task = *made;
    request->delegate()->setTask(task);
    request->setRetryCount(request->retryCount() + 1);
    request->setStartTime(absoluteTimeNow());
    request->setEndTime(std::nullopt);
    delegate_->setRequest(*task, request);
    task->resume();
    return true;
}

std::shared_ptr<DataRequest> SessionManager::request(const URLConvertible& url, HTTPMethod method,
                                                     const std::optional<Parameters>& parameters,
                                                     const ParameterEncoding& encoding,
                                                     const std::optional<HTTPHeaders>& headers) {
    auto built = makeURLRequest(url, method, headers);
    if (!built)
        return failed<DataRequest>(Request::Kind::data, nullptr, built.error());
    auto encoded = encoding.encode(*built, parameters);
    if (!encoded) {
        return failed<DataRequest>(Request::Kind::data, std::make_shared<Requestable>(*built),
                                   encoded.error());
    }
    return request(URLRequestConvertible(std::move(encoded).value()));
}

std::shared_ptr<DataRequest> SessionManager::request(const URLRequestConvertible& urlRequest) {
    auto converted = urlRequest.asURLRequest();
    if (!converted)
        return failed<DataRequest>(Request::Kind::data, nullptr, converted.error());
    return made<DataRequest>(Request::Kind::data,
                             std::make_shared<Requestable>(std::move(converted).value()));
}

std::shared_ptr<DownloadRequest> SessionManager::download(const URLConvertible& url, HTTPMethod method,
                                                          const std::optional<Parameters>& parameters,
                                                          const ParameterEncoding& encoding,
                                                          const std::optional<HTTPHeaders>& headers,
                                                          DownloadDestination destination) {
    auto built = makeURLRequest(url, method, headers);
    plat::Result<URLRequest> encoded = built ? encoding.encode(*built, parameters) : built;
    if (!encoded)
        return failed<DownloadRequest>(Request::Kind::download, nullptr, encoded.error(),
                                       std::move(destination));
    return download(URLRequestConvertible(std::move(encoded).value()), std::move(destination));
}

std::shared_ptr<DownloadRequest> SessionManager::download(const URLRequestConvertible& urlRequest,
                                                          DownloadDestination destination) {
    auto converted = urlRequest.asURLRequest();
    if (!converted)
        return failed<DownloadRequest>(Request::Kind::download, nullptr, converted.error(),
                                       std::move(destination));
    return made<DownloadRequest>(Request::Kind::download, Downloadable::request(std::move(converted).value()),
                                 std::move(destination));
}

std::shared_ptr<DownloadRequest> SessionManager::download(const Data& resumingWith,
                                                          DownloadDestination destination) {
    return made<DownloadRequest>(Request::Kind::download, Downloadable::resumeData(resumingWith),
                                 std::move(destination));
}

std::shared_ptr<UploadRequest> SessionManager::upload(const URL& fileURL, const URLConvertible& url,
                                                      HTTPMethod method,
                                                      const std::optional<HTTPHeaders>& headers) {
    auto built = makeURLRequest(url, method, headers);
    if (!built)
        return failed<UploadRequest>(Request::Kind::upload, nullptr, built.error());
    return upload(fileURL, URLRequestConvertible(std::move(built).value()));
}

std::shared_ptr<UploadRequest> SessionManager::upload(const URL& fileURL,
                                                      const URLRequestConvertible& urlRequest) {
    auto converted = urlRequest.asURLRequest();
    if (!converted)
        return failed<UploadRequest>(Request::Kind::upload, nullptr, converted.error());
    return made<UploadRequest>(Request::Kind::upload,
                               Uploadable::file(fileURL, std::move(converted).value()));
}

std::shared_ptr<UploadRequest> SessionManager::upload(const Data& data, const URLConvertible& url,
                                                      HTTPMethod method,
                                                      const std::optional<HTTPHeaders>& headers) {
    auto built = makeURLRequest(url, method, headers);
    if (!built)
        return failed<UploadRequest>(Request::Kind::upload, nullptr, built.error());
    return upload(data, URLRequestConvertible(std::move(built).value()));
}

std::shared_ptr<UploadRequest> SessionManager::upload(const Data& data,
                                                      const URLRequestConvertible& urlRequest) {
    auto converted = urlRequest.asURLRequest();
    if (!converted)
        return failed<UploadRequest>(Request::Kind::upload, nullptr, converted.error());
    return made<UploadRequest>(Request::Kind::upload, Uploadable::data(data, std::move(converted).value()));
}

std::shared_ptr<UploadRequest> SessionManager::upload(std::shared_ptr<plat::InputStream> stream,
                                                      const URLConvertible& url, HTTPMethod method,
                                                      const std::optional<HTTPHeaders>& headers) {
    auto built = makeURLRequest(url, method, headers);
    if (!built)
        return failed<UploadRequest>(Request::Kind::upload, nullptr, built.error());
    return upload(std::move(stream), URLRequestConvertible(std::move(built).value()));
}

std::shared_ptr<UploadRequest> SessionManager::upload(std::shared_ptr<plat::InputStream> stream,
                                                      const URLRequestConvertible& urlRequest) {
    auto converted = urlRequest.asURLRequest();
    if (!converted)
        return failed<UploadRequest>(Request::Kind::upload, nullptr, converted.error());
    return made<UploadRequest>(Request::Kind::upload,
                               Uploadable::stream(std::move(stream), std::move(converted).value()));
}

// --- multipart ---

void SessionManager::upload(std::function<void(MultipartFormData&)> multipartFormData, uint64_t threshold,
                            const URLConvertible& url, HTTPMethod method,
                            const std::optional<HTTPHeaders>& headers, Queue queue,
                            MultipartEncodingCompletion encodingCompletion) {
    auto built = makeURLRequest(url, method, headers);
    if (!built) {
        if (encodingCompletion) {
            MultipartFormDataEncodingResult result;
            result.error = built.error();
            (queue ? queue : Queue::main()).async([encodingCompletion, result] {
                encodingCompletion(result);
            });
        }
        return;
    }
    upload(std::move(multipartFormData), threshold, URLRequestConvertible(std::move(built).value()),
           std::move(queue), std::move(encodingCompletion));
}

void SessionManager::upload(std::function<void(MultipartFormData&)> multipartFormData, uint64_t threshold,
                            const URLRequestConvertible& urlRequest, Queue queue,
                            MultipartEncodingCompletion encodingCompletion) {
    auto self = shared_from_this();
    utilityQueue().async([self, multipartFormData, threshold, urlRequest, queue, encodingCompletion] {
        auto deliver = [&](const MultipartFormDataEncodingResult& result) {
            if (encodingCompletion)
                (queue ? queue : Queue::main()).async([encodingCompletion, result] {
                    encodingCompletion(result);
                });
        };
        MultipartFormData form;
        if (multipartFormData)
            multipartFormData(form);
        std::optional<URL> fileURL;
        auto fail = [&](const ErrorPtr& error) {
            if (fileURL)  // best effort: it may not exist yet, and it lies in the temporary folder
                (void)plat::FileManager::defaultManager().removeItemAtURL(*fileURL);
            MultipartFormDataEncodingResult result;
            result.error = error;
            deliver(result);
        };
        auto converted = urlRequest.asURLRequest();
        if (!converted)
            return fail(converted.error());
        URLRequest request = std::move(converted).value();
        request.setValue(form.contentType(), "Content-Type");
        const bool background = self->session_->configuration().identifier.has_value();
        MultipartFormDataEncodingResult result;
        result.kind = MultipartFormDataEncodingResult::Kind::success;
        if (form.contentLength() < threshold && !background) {
            auto data = form.encode();
            if (!data)
                return fail(data.error());
            result.request = self->upload(*data, URLRequestConvertible(request));
            return deliver(result);
        }
        auto directory = URL::fileURLWithPath(plat::FileManager::defaultManager().temporaryDirectory(), true)
                             .URLByAppendingPathComponent(std::string(kLibraryPrefix) + ".manager", true)
                             .URLByAppendingPathComponent("multipart.form.data", true);
        fileURL = directory.URLByAppendingPathComponent(plat::UUID::random().UUIDString());
        ErrorPtr error;
        self->queue_.sync(plat::dispatch::Block(
            [&] { error = plat::FileManager::defaultManager().createDirectoryAtURL(directory, true); }));
        if (error)
            return fail(error);
        if ((error = form.writeEncodedData(*fileURL)))
            return fail(error);
        auto upload = self->upload(*fileURL, URLRequestConvertible(request));
        upload->delegate()->queue().addOperationWithBlock(
            // Best effort, as in fail(): a leftover lies in the temporary folder.
            [file = *fileURL] { (void)plat::FileManager::defaultManager().removeItemAtURL(file); });
        result.request = upload;
        result.streamingFromDisk = true;
        result.streamFileURL = fileURL;
        deliver(result);
    });
}

// --- stream requests ---

std::shared_ptr<StreamRequest> SessionManager::stream(const std::string& hostName, int port) {
    return stream(std::shared_ptr<const Streamable>(Streamable::stream(hostName, port)));
}

std::shared_ptr<StreamRequest> SessionManager::stream(std::shared_ptr<ul::NetService> netService) {
    return stream(std::shared_ptr<const Streamable>(Streamable::netService(std::move(netService))));
}

std::shared_ptr<StreamRequest> SessionManager::stream(std::shared_ptr<const Streamable> streamable) {
    if (!streamable)
        streamable = Streamable::stream(std::string(), 0);
    return made<StreamRequest>(Request::Kind::stream, std::move(streamable));
}

}  // namespace httpclient
