#include "beacon/core/BEACHttpIngestion.h"

#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACErrors.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/URLComponents.h"
#include "platform/foundation/UUID.h"

std::shared_ptr<BEACGroupIngestionProtocol> BEACMakeDefaultIngestion(const std::string& installId,
                                                                     const std::string& logUrl) {
    return BEACBeaconIngestion::make(BEACHttpClient::make(), logUrl, installId);
}

BEACHttpIngestion::BEACHttpIngestion(std::shared_ptr<BEACHttpClientProtocol> httpClient, std::string baseURL,
                                     std::string apiPath, BEACHttpHeaders headers, QueryItems queryStrings,
                                     std::vector<double> retryIntervals, int64_t maxNumberOfConnections)
    : baseURL_(std::move(baseURL)),
      apiPath_(std::move(apiPath)),
      httpHeaders_(std::move(headers)),
      httpClient_(std::move(httpClient)),
      maxNumberOfConnections_(maxNumberOfConnections),
      retryIntervals_(std::move(retryIntervals)) {
    sendURL_ = buildURL(baseURL_, apiPath_, queryStrings);
}

void BEACHttpIngestion::attach() {
    httpClient_->setDelegate(std::weak_ptr<BEACHttpClientDelegate>(shared_from_this()));
}

std::optional<plat::URL> BEACHttpIngestion::buildURL(const std::string& baseURL, const std::string& apiPath,
                                                     const QueryItems& queryStrings) {
    std::string text = baseURL + apiPath;
    std::string query;
    for (const auto& [key, value] : queryStrings) {
        if (!query.empty())
            query += "&";
        query += key + "=" + value;
    }
    if (!query.empty())
        text += "?" + plat::percentEncode(query, plat::CharacterSet::URLQueryAllowed());
    return plat::URL::URLWithString(text);
}

bool BEACHttpIngestion::isEnabled() const {
    plat::MutexLock lock(mutex_);
    return enabled_ && BEACBeacon::sharedInstance()->networkRequestsAllowed();
}

void BEACHttpIngestion::setEnabled(bool isEnabled, bool) {
    plat::MutexLock lock(mutex_);
    enabled_ = isEnabled;
}

std::string BEACHttpIngestion::baseURL() const {
    plat::MutexLock lock(mutex_);
    return baseURL_;
}

std::optional<plat::URL> BEACHttpIngestion::sendURL() const {
    plat::MutexLock lock(mutex_);
    return sendURL_;
}

void BEACHttpIngestion::setBaseURL(const std::string& baseURL) {
    plat::MutexLock lock(mutex_);
    baseURL_ = baseURL;
    std::string current = sendURL_ ? sendURL_->absoluteString() : std::string("(null)");
    auto parsed = plat::URL::URLWithString(baseURL + apiPath_);
    if (!parsed || !sendURL_ || !parsed->scheme() || !plat::URLComponents(*parsed).host()) {
        BEACLogInfo(kBEACLogTag, "Failed to update HTTP URL %@ with %@", current, baseURL);
        return;
    }
    plat::URLComponents from(*parsed);
    plat::URLComponents components(*sendURL_);
    components.setScheme(from.scheme());
    components.setUser(from.user());
    components.setPassword(from.password());
    components.setHost(from.host());
    components.setPort(from.port());
    components.setPercentEncodedPath(from.percentEncodedPath());
    if (auto url = components.url())
        sendURL_ = url;
    else
        BEACLogInfo(kBEACLogTag, "Failed to update HTTP URL %@ with %@", current, baseURL);
}

void BEACHttpIngestion::sendData(const std::string& callId, const std::optional<plat::Data>& body,
                                 const BEACHttpHeaders& headers,
                                 const BEACSendAsyncCompletionHandler& handler) {
    // The state is read under the lock and the call made without it: a
    // client or handler that answers at once may call back in.
    std::optional<plat::URL> url;
    if (isEnabled()) {
        plat::MutexLock lock(mutex_);
        url = sendURL_;
    }
    if (!url) {
        BEACLogWarning(kBEACLogTag, "%@ is disabled.", className());
        handler(callId, nullptr, std::nullopt, BEACMakeError(kBEACDisabledErrorCode, kBEACDisabledErrorDesc));
        return;
    }
    std::weak_ptr<BEACHttpIngestion> weak = weak_from_this();
    httpClient_->sendAsync(*url, "POST", headers, body, retryIntervals_, true,
                           [weak, callId, handler](const std::optional<plat::Data>& data,
                                                   const plat::urlloading::HTTPURLResponsePtr& response,
                                                   const plat::ErrorPtr& error) {
                               if (auto self = weak.lock())
                                   self->printResponse(response, data, error);
                               BEACHttpResponsePtr converted;
                               if (response) {
                                   auto r = std::make_shared<BEACHttpResponse>();
                                   r->statusCode = response->statusCode();
                                   for (const auto& [name, value] : response->allHeaderFields().fields())
                                       r->headers.set(name, plat::Value(value));
                                   r->url = response->url().absoluteString();
                                   converted = r;
                               }
                               handler(callId, converted, data, error);
                           });
}

void BEACHttpIngestion::sendAsync(const BEACLogContainerPtr& container,
                                  const std::optional<std::string>& /*eTag*/,
                                  const BEACSendAsyncCompletionHandler& handler) {
    sendAsync(container, handler);
}

std::optional<std::string> BEACHttpIngestion::eTagFromResponse(const BEACHttpResponsePtr& response) {
    return response ? response->header("ETag") : std::nullopt;
}

void BEACHttpIngestion::printResponse(const plat::urlloading::HTTPURLResponsePtr& response,
                                      const std::optional<plat::Data>& body,
                                      const plat::ErrorPtr& error) const {
    if (error) {
        BEACLogDebug(kBEACLogTag, "HTTP request error with code: %td, domain: %@, description: %@",
                     error->code(), error->domain(), error->localizedDescription());
        return;
    }
    if (BEACBeacon::logLevel() > BEACLogLevelVerbose)
        return;
    std::string contentType =
        response ? response->valueForHTTPHeaderField("Content-Type").value_or(std::string()) : std::string();
    std::optional<std::string> payload;
    if (body && !body->empty()) {
        if (contentType.rfind("application/json", 0) == 0) {
            auto pretty = BEACUtility::prettyPrintJson(body);
            payload = obfuscateResponsePayload(pretty.value_or(std::string(body->view())));
        } else if (!contentType.empty() && contentType.rfind("text/", 0) != 0 &&
                   contentType.rfind("application/", 0) != 0) {
            payload = "<binary>";
        } else {
            payload = obfuscateResponsePayload(std::string(body->view()));
        }
    }
    BEACLogVerbose(kBEACLogTag, "HTTP response received with status code: %tu, payload:\n%@",
                   static_cast<uint64_t>(response ? response->statusCode() : 0), payload.value_or("(null)"));
}

// Beacon ingestion.

std::shared_ptr<BEACBeaconIngestion> BEACBeaconIngestion::make(
    std::shared_ptr<BEACHttpClientProtocol> httpClient, const std::string& baseURL,
    const std::string& installId) {
    std::shared_ptr<BEACBeaconIngestion> ingestion(
        new BEACBeaconIngestion(std::move(httpClient), baseURL, installId));
    ingestion->attach();
    return ingestion;
}

BEACBeaconIngestion::BEACBeaconIngestion(std::shared_ptr<BEACHttpClientProtocol> httpClient,
                                         const std::string& baseURL, const std::string& installId)
    : BEACHttpIngestion(std::move(httpClient), baseURL, "/logs",
                        {{"Content-Type", "application/json"}, {"Install-ID", installId}},
                        {{"api-version", "1.0.0"}}) {}

bool BEACBeaconIngestion::isReadyToSend() const {
    plat::MutexLock lock(mutex_);
    return appSecret_.has_value();
}

void BEACBeaconIngestion::setAppSecret(const std::optional<std::string>& appSecret) {
    plat::MutexLock lock(mutex_);
    appSecret_ = appSecret;
}

std::optional<std::string> BEACBeaconIngestion::appSecret() const {
    plat::MutexLock lock(mutex_);
    return appSecret_;
}

void BEACBeaconIngestion::sendAsync(const BEACLogContainerPtr& container,
                                    const BEACSendAsyncCompletionHandler& handler) {
    std::string batchId = container ? container->batchId : std::string();
    if (!container || !container->isValid()) {
        auto error = BEACMakeError(kBEACLogInvalidContainerErrorCode, kBEACLogInvalidContainerErrorDesc);
        BEACLogError(kBEACLogTag, "%@", error->localizedDescription());
        handler(batchId, nullptr, std::nullopt, error);
        return;
    }
    auto secret = appSecret();
    if (!secret) {
        BEACLogError(kBEACLogTag, "Beacon ingestion is used without app secret.");
        // Reported, so that the batch does not hold an in-flight slot forever.
        handler(batchId, nullptr, std::nullopt,
                BEACMakeError(kBEACDisabledErrorCode, kBEACDisabledErrorDesc));
        return;
    }
    BEACHttpHeaders headers = httpHeaders_;
    headers.emplace_back("App-Secret", *secret);
    auto json = container->serializeLog();
    std::optional<plat::Data> body;
    if (json)
        body = plat::Data::fromString(*json);
    sendData(batchId, body, headers, handler);
}

void BEACBeaconIngestion::willSendHTTPRequestToURL(const plat::URL& url, const BEACHttpHeaders& headers) {
    if (BEACLogger::currentLogLevel() >= BEACLogLevelDebug)
        return;
    std::string lines;
    for (const auto& [name, value] : headers) {
        if (!lines.empty())
            lines += ", ";
        lines += name + " = " + (name == "App-Secret" ? BEACHttpUtil::hideSecret(value) : value);
    }
    BEACLogVerbose(kBEACLogTag, "URL: %@", url.absoluteString());
    BEACLogVerbose(kBEACLogTag, "Headers: %@", lines);
}
