#include "beacon/core/BEACHttpClient.h"

#include <zlib.h>

#include <netinet/in.h>
#include <charconv>
#include <cmath>
#include <limits>

#include "beacon/core/BEACErrors.h"
#include "beacon/core/BEACHttpUtil.h"
#include "beacon/core/BEACLogger.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Random.h"
#include "platform/network/Reachability.h"
#include "platform/urlloading/URLError.h"

namespace {

constexpr const char* kRetryAfterHeader = "x-ms-retry-after-ms";

plat::Mutex compressorMutex;
BEACHttpCall::Compressor compressorOverride GUARDED_BY(compressorMutex);

bool hasHeader(const BEACHttpHeaders& headers, const std::string& name) {
    for (const auto& [key, value] : headers) {
        if (plat::urlloading::equalsIgnoringCase(key, name))
            return true;
    }
    return false;
}

void setHeader(BEACHttpHeaders& headers, const std::string& name, const std::string& value) {
    for (auto& [key, existing] : headers) {
        if (plat::urlloading::equalsIgnoringCase(key, name)) {
            existing = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

// Milliseconds the server asked for. Unreadable, negative, NaN or infinite
// texts count as absent; fractions are cut; values past 32 bits are capped.
std::optional<uint32_t> parseRetryAfter(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    std::string_view view(*text);
    while (!view.empty() && (view.front() == ' ' || view.front() == '\t'))
        view.remove_prefix(1);
    while (!view.empty() && (view.back() == ' ' || view.back() == '\t'))
        view.remove_suffix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (ec != std::errc() || end != view.data() + view.size() || !std::isfinite(value) || value < 0)
        return std::nullopt;
    if (value >= static_cast<double>(std::numeric_limits<uint32_t>::max()))
        return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(value);
}

bool isNoInternetConnectionError(const plat::ErrorPtr& error) {
    return error && error->domain() == plat::urlloading::URLErrorDomain &&
           (error->code() == plat::urlloading::URLErrorNotConnectedToInternet ||
            error->code() == plat::urlloading::URLErrorNetworkConnectionLost);
}

bool isSSLConnectionError(const plat::ErrorPtr& error) {
    return error && error->domain() == plat::urlloading::URLErrorDomain && error->code() >= -2000 &&
           error->code() <= -1200;
}

}  // namespace

// Compression.

std::optional<plat::Data> BEACCompression::compressData(const std::optional<plat::Data>& data) {
    if (!data || data->empty())
        return std::nullopt;
    z_stream stream{};
    int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) {
        const char* reason = status == Z_VERSION_ERROR  ? "Version of zlib.h & libz library do not match!"
                             : status == Z_MEM_ERROR    ? "Not enough memory."
                             : status == Z_STREAM_ERROR ? "Invalid parameter passed in to function."
                                                        : "Unknown error!";
        BEACLogError(kBEACLogTag, "Compression failed with error: %@", reason);
        return std::nullopt;
    }
    std::vector<uint8_t> input(data->bytes(), data->bytes() + data->length());
    // deflateBound covers what deflate can produce; the fixed 1.01 x + 12
    // estimate is smaller than the gzip wrapper needs for tiny inputs.
    std::vector<uint8_t> output(std::max<std::size_t>(deflateBound(&stream, input.size()),
                                                      static_cast<std::size_t>(input.size() * 1.01 + 12.0)));
    stream.next_in = input.data();
    stream.avail_in = static_cast<uInt>(input.size());
    do {
        stream.next_out = output.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        status = deflate(&stream, Z_FINISH);
    } while (status == Z_OK);
    if (status != Z_STREAM_END) {
        const char* reason = status == Z_STREAM_ERROR ? "Inconsistent stream state."
                             : status == Z_BUF_ERROR  ? "No progress is possible."
                                                      : "Unknown error!";
        BEACLogError(kBEACLogTag, "Deflate failed with error: %@", reason);
        deflateEnd(&stream);
        return std::nullopt;
    }
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return plat::Data(output.data(), output.size());
}

// Reachability.

std::shared_ptr<BEAC_Reachability> BEAC_Reachability::reachabilityForInternetConnection() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    auto reachability = reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&address));
    // Never refused for this address; should the platform refuse it, the
    // network counts as reachable rather than down for good.
    return reachability ? reachability : std::shared_ptr<BEAC_Reachability>(new BEAC_Reachability);
}

std::shared_ptr<BEAC_Reachability> BEAC_Reachability::reachabilityWithHostName(
    const std::string& hostName, std::shared_ptr<plat::network::RouteSource> source) {
    auto handle = plat::network::Reachability::createWithName(hostName, std::move(source));
    if (!handle)
        return nullptr;
    std::shared_ptr<BEAC_Reachability> reachability(new BEAC_Reachability);
    reachability->reachability_ = std::move(handle);
    return reachability;
}

std::shared_ptr<BEAC_Reachability> BEAC_Reachability::reachabilityWithAddress(
    const sockaddr* address, std::shared_ptr<plat::network::RouteSource> source) {
    auto handle = plat::network::Reachability::createWithAddress(address, std::move(source));
    if (!handle)
        return nullptr;
    std::shared_ptr<BEAC_Reachability> reachability(new BEAC_Reachability);
    reachability->reachability_ = std::move(handle);
    return reachability;
}

bool BEAC_Reachability::connectionRequired() const {
    if (!reachability_)
        return false;
    auto flags = reachability_->flags();
    return flags && (*flags & plat::network::ReachabilityFlagConnectionRequired);
}

BEAC_Reachability::~BEAC_Reachability() {
    if (reachability_)
        (void)reachability_->setDispatchQueue(plat::dispatch::Queue());  // unscheduling cannot fail
}

bool BEAC_Reachability::startNotifier() {
    std::weak_ptr<BEAC_Reachability> weak = weak_from_this();
    plat::dispatch::Queue::main().async([weak] {
        auto self = weak.lock();
        if (!self || !self->reachability_)
            return;
        (void)self->reachability_->setCallback([weak](uint32_t) {  // cannot fail
            if (auto strong = weak.lock())
                strong->postChanged();
        });
        if (self->reachability_->setDispatchQueue(plat::dispatch::Queue::main()))
            self->postChanged();
    });
    return true;
}

void BEAC_Reachability::stopNotifier() {
    std::weak_ptr<BEAC_Reachability> weak = weak_from_this();
    plat::dispatch::Queue::main().async([weak] {
        if (auto self = weak.lock(); self && self->reachability_)
            (void)self->reachability_->setDispatchQueue(plat::dispatch::Queue());  // cannot fail
    });
}

void BEAC_Reachability::postChanged() {
    plat::NotificationCenter::defaultCenter().postNotificationName(kChangedNotification, shared_from_this());
}

BEAC_Reachability::NetworkStatus BEAC_Reachability::currentReachabilityStatus() const {
    if (!reachability_)
        return Reachable;
    auto flags = reachability_->flags();
    return flags ? networkStatusForFlags(*flags) : NotReachable;
}

BEAC_Reachability::NetworkStatus BEAC_Reachability::networkStatusForFlags(uint32_t flags) {
    constexpr uint32_t kReachable = 2, kConnectionRequired = 4, kOnTraffic = 8, kIntervention = 16,
                       kOnDemand = 32;
    if (!(flags & kReachable))
        return NotReachable;
    if ((flags & kIntervention) || !(flags & (kOnTraffic | kOnDemand)))
        return (flags & kConnectionRequired) ? NotReachable : Reachable;
    return Reachable;
}

// Calls.

void BEACHttpCall::setCompressor(Compressor compressor) {
    plat::MutexLock lock(compressorMutex);
    compressorOverride = std::move(compressor);
}

BEACHttpCall::BEACHttpCall(plat::URL url, std::string method, BEACHttpHeaders headers,
                           std::optional<plat::Data> data, std::vector<double> retryIntervals,
                           bool compressionEnabled, BEACHttpRequestCompletionHandler completionHandler)
    : url(std::move(url)),
      method(std::move(method)),
      headers(std::move(headers)),
      data(std::move(data)),
      completionHandler(std::move(completionHandler)),
      retryIntervals_(std::move(retryIntervals)) {
    if (compressionEnabled && this->data && this->data->length() >= kCompressionThreshold) {
        Compressor compressor;
        {
            plat::MutexLock lock(compressorMutex);
            compressor = compressorOverride;
        }
        auto compressed = compressor ? compressor(this->data) : BEACCompression::compressData(this->data);
        // A body that could not be compressed goes as it is: an empty body
        // marked as gzip would be refused and its logs deleted.
        if (compressed) {
            this->data = std::move(compressed);
            setHeader(this->headers, "Content-Encoding", "gzip");
        }
    }
    if (this->data && !hasHeader(this->headers, "Content-Type"))
        setHeader(this->headers, "Content-Type", "application/json");
}

bool BEACHttpCall::hasReachedMaxRetries() const {
    std::lock_guard lock(mutex_);
    return retryCount_ >= static_cast<int32_t>(retryIntervals_.size());
}

void BEACHttpCall::resetRetry() {
    std::lock_guard lock(mutex_);
    if (timerSource_) {
        timerSource_->cancel();
        timerSource_.reset();
    }
    retryCount_ = 0;
}

int32_t BEACHttpCall::retryCount() const {
    std::lock_guard lock(mutex_);
    return retryCount_;
}

uint32_t BEACHttpCall::delayForRetryCount(std::size_t index) const {
    std::lock_guard lock(mutex_);
    if (index >= retryIntervals_.size())
        return 0;
    double halfMs = retryIntervals_[index] * 1000.0 * 0.5;
    if (!std::isfinite(halfMs) || halfMs <= 0)
        return 0;
    uint32_t half = halfMs >= 2147483647.0 ? 2147483647u : static_cast<uint32_t>(halfMs);
    if (half == 0)
        return 0;
    return half + static_cast<uint32_t>(plat::random::uniform(half));
}

void BEACHttpCall::startRetryTimer(int64_t statusCode, std::optional<uint32_t> retryAfterMs,
                                   std::function<void()> event,
                                   const std::shared_ptr<plat::dispatch::Clock>& clock) {
    std::lock_guard lock(mutex_);
    if (timerSource_)
        timerSource_->cancel();
    timerSource_ = plat::dispatch::TimerSource::create(plat::dispatch::Queue::global(), clock);
    uint32_t delay = retryAfterMs ? *retryAfterMs : delayForRetryCount(static_cast<std::size_t>(retryCount_));
    BEACLogWarning(kBEACLogTag, "Call attempt #%d failed with status code: %tu, it will be retried in %u ms.",
                   retryCount_, static_cast<uint64_t>(statusCode), delay);
    ++retryCount_;
    timerSource_->setEventHandler(std::move(event));
    timerSource_->setTimer(delay / 1000.0, plat::dispatch::TimerSource::Forever, 1.0);
    timerSource_->resume();
}

// Client.

std::shared_ptr<BEACHttpClient> BEACHttpClient::make(Options options) {
    std::shared_ptr<BEACHttpClient> client(new BEACHttpClient(std::move(options)));
    client->start();
    return client;
}

BEACHttpClient::BEACHttpClient(Options options)
    : sessionConfiguration_(plat::urlloading::URLSessionConfiguration::defaultSessionConfiguration()),
      reachability_(options.reachability ? options.reachability
                                         : BEAC_Reachability::reachabilityForInternetConnection()),
      clock_(std::move(options.clock)) {
    if (options.maxHttpConnectionsPerHost)
        sessionConfiguration_.httpMaximumConnectionsPerHost = *options.maxHttpConnectionsPerHost;
    if (options.configure)
        options.configure(sessionConfiguration_);
    session_ = makeSession();
}

std::shared_ptr<BEACHttpClient> BEACHttpClient::makeWithMaxHttpConnectionsPerHost(
    int maxHttpConnectionsPerHost) {
    Options options;
    options.maxHttpConnectionsPerHost = maxHttpConnectionsPerHost;
    return make(std::move(options));
}

int BEACHttpClient::maxHttpConnectionsPerHost() const {
    std::lock_guard lock(mutex_);
    return sessionConfiguration_.httpMaximumConnectionsPerHost;
}

void BEACHttpClient::start() {
    std::weak_ptr<BEACHttpClient> weak = weak_from_this();
    observer_ = plat::NotificationCenter::defaultCenter().addObserverForName(
        BEAC_Reachability::kChangedNotification, nullptr, [weak](const plat::Notification&) {
            if (auto self = weak.lock())
                self->networkStateChanged();
        });
    reachability_->startNotifier();
}

BEACHttpClient::~BEACHttpClient() {
    reachability_->stopNotifier();
    if (observer_)
        plat::NotificationCenter::defaultCenter().removeObserver(observer_);
    if (session_)
        session_->finishTasksAndInvalidate();
}

std::shared_ptr<plat::urlloading::URLSession> BEACHttpClient::makeSession() const {
    return plat::urlloading::URLSession::sessionWithConfiguration(sessionConfiguration_);
}

void BEACHttpClient::setDelegate(std::weak_ptr<BEACHttpClientDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

bool BEACHttpClient::isPaused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

bool BEACHttpClient::isEnabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

std::size_t BEACHttpClient::pendingCallCount() const {
    std::lock_guard lock(mutex_);
    return pendingCalls_.size();
}

void BEACHttpClient::sendAsync(const plat::URL& url, const std::string& method,
                               const BEACHttpHeaders& headers, const std::optional<plat::Data>& data,
                               const std::vector<double>& retryIntervals, bool compressionEnabled,
                               BEACHttpRequestCompletionHandler completionHandler) {
    std::lock_guard lock(mutex_);
    if (!enabled_) {
        if (completionHandler)
            completionHandler(std::nullopt, nullptr,
                              BEACMakeError(kBEACDisabledErrorCode, kBEACDisabledErrorDesc));
        return;
    }
    sendCallAsync(std::make_shared<BEACHttpCall>(url, method, headers, data, retryIntervals,
                                                 compressionEnabled, std::move(completionHandler)));
}

void BEACHttpClient::sendCallAsync(const std::shared_ptr<BEACHttpCall>& call) {
    std::lock_guard lock(mutex_);
    if (std::find(pendingCalls_.begin(), pendingCalls_.end(), call) == pendingCalls_.end())
        pendingCalls_.push_back(call);
    if (paused_ || !session_)
        return;
    if (auto delegate = delegate_.lock())
        delegate->willSendHTTPRequestToURL(call->url, call->headers);
    plat::urlloading::URLRequest request(call->url, 0);
    request.cachePolicy = plat::urlloading::URLRequestCachePolicy::ReloadIgnoringLocalCacheData;
    request.httpMethod = call->method;
    request.httpBody = call->data;
    request.httpShouldHandleCookies = false;
    for (const auto& [name, value] : call->headers)
        request.setValue(value, name);
    call->inProgress = true;
    std::weak_ptr<BEACHttpClient> weak = weak_from_this();
    auto task = session_->dataTaskWithRequest(
        request, [weak, call](std::optional<plat::Data> data, plat::urlloading::HTTPURLResponsePtr response,
                              plat::ErrorPtr error) {
            if (auto self = weak.lock())
                self->requestCompleted(call, data, response, error);
        });
    task->resume();
}

void BEACHttpClient::requestCompleted(const std::shared_ptr<BEACHttpCall>& call,
                                      const std::optional<plat::Data>& data,
                                      const plat::urlloading::HTTPURLResponsePtr& response,
                                      const plat::ErrorPtr& error) {
    std::unique_lock lock(mutex_);
    call->inProgress = false;
    auto pending = std::find(pendingCalls_.begin(), pendingCalls_.end(), call);
    if (pending == pendingCalls_.end()) {
        BEACLogDebug(kBEACLogTag, "HTTP call was canceled; do not process further.");
        return;
    }
    if (error) {
        bool offline = isNoInternetConnectionError(error);
        if (offline || isSSLConnectionError(error)) {
            call->resetRetry();
            BEACLogInfo(kBEACLogTag, "HTTP call failed with error: %@",
                        offline ? "Internet connection is down." : "Could not establish secure connection.");
            return;
        }
        BEACLogError(kBEACLogTag, "HTTP request error with code: %td, domain: %@, description: %@",
                     error->code(), error->domain(), error->localizedDescription());
    } else {
        int64_t status = response ? response->statusCode() : 0;
        if (BEACHttpUtil::isRecoverableError(status)) {
            if (!call->hasReachedMaxRetries()) {
                auto retryAfter = parseRetryAfter(
                    response ? response->valueForHTTPHeaderField(kRetryAfterHeader) : std::nullopt);
                std::weak_ptr<BEACHttpClient> weak = weak_from_this();
                std::weak_ptr<BEACHttpCall> weakCall = call;
                call->startRetryTimer(
                    status, retryAfter,
                    [weak, weakCall] {
                        auto self = weak.lock();
                        auto retried = weakCall.lock();
                        if (!self || !retried)
                            return;
                        // A call reported or cancelled meanwhile is not sent again.
                        std::lock_guard retryLock(self->mutex_);
                        if (std::find(self->pendingCalls_.begin(), self->pendingCalls_.end(), retried) !=
                                self->pendingCalls_.end() &&
                            !retried->inProgress)
                            self->sendCallAsync(retried);
                    },
                    clock_);
                return;
            }
            pauseLocked();
        } else if (!BEACHttpUtil::isSuccessStatusCode(status)) {
            pendingCalls_.erase(std::find(pendingCalls_.begin(), pendingCalls_.end(), call));
            if (call->completionHandler)
                call->completionHandler(data, response, nullptr);
            setEnabled(false, true);
            return;
        }
    }
    pendingCalls_.erase(std::find(pendingCalls_.begin(), pendingCalls_.end(), call));
    lock.unlock();
    if (call->completionHandler)
        call->completionHandler(data, error ? nullptr : response, error);
}

void BEACHttpClient::networkStateChanged() {
    if (reachability_->currentReachabilityStatus() == BEAC_Reachability::NotReachable) {
        BEACLogInfo(kBEACLogTag, "Internet connection is down.");
        pause();
    } else {
        BEACLogInfo(kBEACLogTag, "Internet connection is up.");
        resume();
    }
}

void BEACHttpClient::pause() {
    std::lock_guard lock(mutex_);
    pauseLocked();
}

void BEACHttpClient::pauseLocked() {
    if (paused_)
        return;
    BEACLogInfo(kBEACLogTag, "Pause HTTP client.");
    paused_ = true;
    for (const auto& call : pendingCalls_)
        call->resetRetry();
}

void BEACHttpClient::resume() {
    std::lock_guard lock(mutex_);
    resumeLocked();
}

void BEACHttpClient::resumeLocked() {
    if (!paused_ || !enabled_)
        return;
    BEACLogInfo(kBEACLogTag, "Resume HTTP client.");
    paused_ = false;
    auto calls = pendingCalls_;
    for (const auto& call : calls) {
        if (!call->inProgress)
            sendCallAsync(call);
    }
}

void BEACHttpClient::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
    std::lock_guard lock(mutex_);
    if (enabled_ == isEnabled)
        return;
    if (isEnabled) {
        enabled_ = true;
        session_ = makeSession();
        reachability_->startNotifier();
        resumeLocked();
        return;
    }
    enabled_ = false;
    reachability_->stopNotifier();
    pauseLocked();
    if (!deleteDataOnDisabled)
        return;
    if (session_) {
        session_->invalidateAndCancel();
        session_.reset();
    }
    auto calls = std::move(pendingCalls_);
    pendingCalls_.clear();
    for (const auto& call : calls) {
        call->resetRetry();
        if (call->completionHandler)
            call->completionHandler(std::nullopt, nullptr,
                                    BEACMakeError(kBEACCanceledErrorCode, kBEACCanceledErrorDesc));
    }
}
