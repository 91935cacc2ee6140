// SessionManager: the front door of the HTTP client library. It owns one URL
// session, the SessionDelegate receiving its callbacks, a serial queue on
// which tasks are made, and the adapter and retrier hooks, and turns URLs,
// URL requests, resume data, files, bytes, body streams and multipart forms
// into requests.
//
// Factories never throw: a URL that cannot be converted, parameters that
// cannot be encoded or an adapter that fails give a request that reports
// the error through its response handlers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "httpclient/MultipartFormData.h"
#include "httpclient/ParameterEncoding.h"
#include "httpclient/Request.h"
#include "httpclient/ServerTrustPolicy.h"
#include "httpclient/SessionDelegate.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/urlloading/URLSessionConfiguration.h"

namespace httpclient {

struct MultipartFormDataEncodingResult {
    enum class Kind { success, failure };
    Kind kind = Kind::failure;
    std::shared_ptr<UploadRequest> request;
    bool streamingFromDisk = false;
    std::optional<URL> streamFileURL;
    ErrorPtr error;
};
using MultipartEncodingCompletion = std::function<void(const MultipartFormDataEncodingResult&)>;

class SessionManager : public std::enable_shared_from_this<SessionManager> {
  public:
    static constexpr uint64_t multipartFormDataEncodingMemoryThreshold = 10'000'000;

    // The shared manager of the convenience functions, made on first use.
    static const std::shared_ptr<SessionManager>& defaultManager();
    // Accept-Encoding, Accept-Language and User-Agent, built once.
    static const ul::HTTPHeaderFields& defaultHTTPHeaders();
    // The first six languages weighted 1.0 down to 0.5.
    static std::string acceptLanguage(const std::vector<std::string>& preferredLanguages);
    // From the main bundle's info dictionary (null: "Courier"), the library's
    // info (its "CFBundleShortVersionString") and the system version.
    static std::string userAgent(const plat::Dictionary* mainInfo, const plat::Dictionary* libraryInfo,
                                 const plat::OperatingSystemVersion& system);
    // The library's own info dictionary.
    static const plat::Dictionary& libraryInfoDictionary();

    static std::shared_ptr<SessionManager> create(
        ul::URLSessionConfiguration configuration =
            ul::URLSessionConfiguration::defaultSessionConfiguration(),
        std::shared_ptr<SessionDelegate> delegate = nullptr,
        std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager = nullptr);
    // Null when the session's delegate is not `delegate`.
    static std::shared_ptr<SessionManager> create(
        std::shared_ptr<ul::URLSession> session, std::shared_ptr<SessionDelegate> delegate,
        std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager = nullptr);
    virtual ~SessionManager();

    const std::shared_ptr<SessionDelegate>& delegate() const { return delegate_; }
    const std::shared_ptr<ul::URLSession>& session() const { return session_; }
    const plat::dispatch::Queue& queue() const { return queue_; }

    std::atomic<bool> startRequestsImmediately{true};
    std::shared_ptr<RequestAdapter> adapter() const;
    void setAdapter(std::shared_ptr<RequestAdapter> adapter);
    std::shared_ptr<RequestRetrier> retrier() const { return delegate_->retrier(); }
    void setRetrier(std::shared_ptr<RequestRetrier> retrier) { delegate_->setRetrier(std::move(retrier)); }
    void setBackgroundCompletionHandler(std::function<void()> handler);

    virtual std::shared_ptr<DataRequest> request(const URLConvertible& url,
                                                 HTTPMethod method = HTTPMethod::get,
                                                 const std::optional<Parameters>& parameters = std::nullopt,
                                                 const ParameterEncoding& encoding = URLEncoding::default_(),
                                                 const std::optional<HTTPHeaders>& headers = std::nullopt);
    virtual std::shared_ptr<DataRequest> request(const URLRequestConvertible& urlRequest);

    virtual std::shared_ptr<DownloadRequest> download(
        const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
        const std::optional<Parameters>& parameters = std::nullopt,
        const ParameterEncoding& encoding = URLEncoding::default_(),
        const std::optional<HTTPHeaders>& headers = std::nullopt, DownloadDestination destination = nullptr);
    virtual std::shared_ptr<DownloadRequest> download(const URLRequestConvertible& urlRequest,
                                                      DownloadDestination destination = nullptr);
    virtual std::shared_ptr<DownloadRequest> download(const Data& resumingWith,
                                                      DownloadDestination destination = nullptr);

    virtual std::shared_ptr<UploadRequest> upload(const URL& fileURL, const URLConvertible& url,
                                                  HTTPMethod method = HTTPMethod::post,
                                                  const std::optional<HTTPHeaders>& headers = std::nullopt);
    virtual std::shared_ptr<UploadRequest> upload(const URL& fileURL,
                                                  const URLRequestConvertible& urlRequest);
    virtual std::shared_ptr<UploadRequest> upload(const Data& data, const URLConvertible& url,
                                                  HTTPMethod method = HTTPMethod::post,
                                                  const std::optional<HTTPHeaders>& headers = std::nullopt);
    virtual std::shared_ptr<UploadRequest> upload(const Data& data, const URLRequestConvertible& urlRequest);
    virtual std::shared_ptr<UploadRequest> upload(std::shared_ptr<plat::InputStream> stream,
                                                  const URLConvertible& url,
                                                  HTTPMethod method = HTTPMethod::post,
                                                  const std::optional<HTTPHeaders>& headers = std::nullopt);
    virtual std::shared_ptr<UploadRequest> upload(std::shared_ptr<plat::InputStream> stream,
                                                  const URLRequestConvertible& urlRequest);

    // Builds the form on the global utility queue and reports the upload (or
    // the failure) through `encodingCompletion` on `queue` (main by
    // default). Forms of `threshold` bytes or more, and every form of a
    // background session, are streamed through a temporary file that is
    // removed once the upload completes.
    virtual void upload(std::function<void(MultipartFormData&)> multipartFormData, uint64_t threshold,
                        const URLConvertible& url, HTTPMethod method,
                        const std::optional<HTTPHeaders>& headers, plat::dispatch::Queue queue,
                        MultipartEncodingCompletion encodingCompletion);
    virtual void upload(std::function<void(MultipartFormData&)> multipartFormData, uint64_t threshold,
                        const URLRequestConvertible& urlRequest, plat::dispatch::Queue queue,
                        MultipartEncodingCompletion encodingCompletion);

    // A stream request to host:port or to a net service's resolved address;
    // making the task cannot fail, and no adapter takes part. A connection
    // that fails completes the task with the URL error.
    virtual std::shared_ptr<StreamRequest> stream(const std::string& hostName, int port);
    virtual std::shared_ptr<StreamRequest> stream(std::shared_ptr<ul::NetService> netService);
    std::shared_ptr<StreamRequest> stream(std::shared_ptr<const Streamable> streamable);

    // Gives the request a new task from its description. The request is
    // stored under the new task before that task starts, so none of its
    // callbacks can miss the request.
    bool retry(const std::shared_ptr<Request>& request);

  protected:
    SessionManager();

  private:
    void setUp(std::shared_ptr<ul::URLSession> session, std::shared_ptr<SessionDelegate> delegate,
               std::shared_ptr<ServerTrustPolicyManager> trust);
    template <class T>
    std::shared_ptr<T> made(Request::Kind kind, std::shared_ptr<const TaskConvertible> description,
                            DownloadDestination destination = nullptr);
    template <class T>
    std::shared_ptr<T> failed(Request::Kind kind, std::shared_ptr<const TaskConvertible> description,
                              const ErrorPtr& error, DownloadDestination destination = nullptr);
    void allowRetrier(const std::shared_ptr<Request>& request, const ErrorPtr& error);

    plat::dispatch::Queue queue_;
    std::shared_ptr<SessionDelegate> delegate_;
    std::shared_ptr<ul::URLSession> session_;
    mutable plat::Mutex mutex_;
    std::shared_ptr<RequestAdapter> adapter_ GUARDED_BY(mutex_);
    std::function<void()> backgroundCompletionHandler_ GUARDED_BY(mutex_);
};

}  // namespace httpclient
