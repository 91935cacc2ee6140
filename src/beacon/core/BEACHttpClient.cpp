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
        (void)deflateEnd(&stream);  // frees the stream; the failure is reported above
        return std::nullopt;
    }
    output.resize(stream.total_out);
    // The stream ended (Z_STREAM_END): freeing it reports nothing new.
    (void)deflateEnd(&stream);
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
    plat::MutexLock lock(mutex_);
    return retryCount_ >= static_cast<int32_t>(retryIntervals_.size());
}

void BEACHttpCall::resetRetry() {
    plat::MutexLock lock(mutex_);
    if (timerSource_) {
        timerSource_->cancel();
        timerSource_.reset();
    }
    retryCount_ = 0;
}

int32_t BEACHttpCall::retryCount() const {
    plat::MutexLock lock(mutex_);
    return retryCount_;
}

uint32_t BEACHttpCall::delayForRetryCount(std::size_t index) const {
    plat::MutexLock lock(mutex_);
    return delayLocked(index);
}

uint32_t BEACHttpCall::delayLocked(std::size_t index) const {
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
    int32_t attempt = 0;
    uint32_t delay = 0;
    {
        plat::MutexLock lock(mutex_);
        if (timerSource_)
            timerSource_->cancel();
        timerSource_ = plat::dispatch::TimerSource::create(plat::dispatch::Queue::global(), clock);
        attempt = retryCount_;
        delay = retryAfterMs ? *retryAfterMs : delayLocked(static_cast<std::size_t>(retryCount_));
        ++retryCount_;
        timerSource_->setEventHandler(std::move(event));
        timerSource_->setTimer(delay / 1000.0, plat::dispatch::TimerSource::Forever, 1.0);
        timerSource_->resume();
    }
    BEACLogWarning(kBEACLogTag, "Call attempt #%d failed with status code: %tu, it will be retried in %u ms.",
                   attempt, static_cast<uint64_t>(statusCode), delay);
}

// Client.

std::shared_ptr<BEACHttpClient> BEACHttpClient::make(Options options) {
    std::shared_ptr<BEACHttpClient> client(new BEACHttpClient(std::move(options)));
    client->start();
    return client;
}

BEACHttpClient::BEACHttpClient(Options options)
    : reachability_(options.reachability ? options.reachability
                                         : BEAC_Reachability::reachabilityForInternetConnection()),
      clock_(std::move(options.clock)) {
    plat::MutexLock lock(mutex_);
    sessionConfiguration_ = plat::urlloading::URLSessionConfiguration::defaultSessionConfiguration();
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
    plat::MutexLock lock(mutex_);
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
    plat::MutexLock lock(mutex_);
    if (session_)
        session_->finishTasksAndInvalidate();
}

std::shared_ptr<plat::urlloading::URLSession> BEACHttpClient::makeSession() const {
    return plat::urlloading::URLSession::sessionWithConfiguration(sessionConfiguration_);
}

void BEACHttpClient::setDelegate(std::weak_ptr<BEACHttpClientDelegate> delegate) {
    plat::MutexLock lock(mutex_);
    delegate_ = std::move(delegate);
}

bool BEACHttpClient::isPaused() const {
    plat::MutexLock lock(mutex_);
    return paused_;
}

bool BEACHttpClient::isEnabled() const {
    plat::MutexLock lock(mutex_);
    return enabled_;
}

std::size_t BEACHttpClient::pendingCallCount() const {
    plat::MutexLock lock(mutex_);
    return pendingCalls_.size();
}

void BEACHttpClient::sendAsync(const plat::URL& url, const std::string& method,
                               const BEACHttpHeaders& headers, const std::optional<plat::Data>& data,
                               const std::vector<double>& retryIntervals, bool compressionEnabled,
                               BEACHttpRequestCompletionHandler completionHandler) {
    {
        plat::MutexLock lock(mutex_);
        if (enabled_) {
            auto call = std::make_shared<BEACHttpCall>(url, method, headers, data, retryIntervals,
                                                       compressionEnabled, std::move(completionHandler));
            bool sendNow = admitLocked(call);
            lock.unlock();
            if (sendNow)
                sendCalls({call});
            return;
        }
    }
    if (completionHandler)
        completionHandler(std::nullopt, nullptr,
                          BEACMakeError(kBEACDisabledErrorCode, kBEACDisabledErrorDesc));
}

bool BEACHttpClient::admitLocked(const std::shared_ptr<BEACHttpCall>& call) {
    if (std::find(pendingCalls_.begin(), pendingCalls_.end(), call) == pendingCalls_.end())
        pendingCalls_.push_back(call);
    if (paused_ || !session_ || call->inProgress)
        return false;
    call->inProgress = true;
    return true;
}

void BEACHttpClient::sendCalls(const Calls& calls) {
    std::shared_ptr<BEACHttpClientDelegate> delegate;
    {
        plat::MutexLock lock(mutex_);
        delegate = delegate_.lock();
    }
    std::weak_ptr<BEACHttpClient> weak = weak_from_this();
    for (const auto& call : calls) {
        if (delegate)
            delegate->willSendHTTPRequestToURL(call->url, call->headers);
        plat::urlloading::URLRequest request(call->url, 0);
        request.cachePolicy = plat::urlloading::URLRequestCachePolicy::ReloadIgnoringLocalCacheData;
        request.httpMethod = call->method;
        request.httpBody = call->data;
        request.httpShouldHandleCookies = false;
        for (const auto& [name, value] : call->headers)
            request.setValue(value, name);
        // The delegate ran without the lock: the call may have been reported,
        // cancelled or paused meanwhile.
        plat::MutexLock lock(mutex_);
        bool pending = std::find(pendingCalls_.begin(), pendingCalls_.end(), call) != pendingCalls_.end();
        if (!pending || paused_ || !session_) {
            call->inProgress = false;
            continue;
        }
        auto task = session_->dataTaskWithRequest(
            request, [weak, call](std::optional<plat::Data> data,
                                  plat::urlloading::HTTPURLResponsePtr response, plat::ErrorPtr error) {
                if (auto self = weak.lock())
                    self->requestCompleted(call, data, response, error);
            });
        task->resume();
    }
}

void BEACHttpClient::retryCall(const std::shared_ptr<BEACHttpCall>& call) {
    {
        plat::MutexLock lock(mutex_);
        // A call reported or cancelled meanwhile is not sent again.
        bool pending = std::find(pendingCalls_.begin(), pendingCalls_.end(), call) != pendingCalls_.end();
        if (!pending || !admitLocked(call))
            return;
    }
    sendCalls({call});
}

void BEACHttpClient::requestCompleted(const std::shared_ptr<BEACHttpCall>& call,
                                      const std::optional<plat::Data>& data,
                                      const plat::urlloading::HTTPURLResponsePtr& response,
                                      const plat::ErrorPtr& error) {
    enum class Outcome { Canceled, Offline, SecureConnectionFailed, Retry, Report, Refused };
    Outcome outcome = Outcome::Report;
    int64_t status = 0;
    Calls cancelled;
    {
        plat::MutexLock lock(mutex_);
        call->inProgress = false;
        auto pending = std::find(pendingCalls_.begin(), pendingCalls_.end(), call);
        if (pending == pendingCalls_.end()) {
            outcome = Outcome::Canceled;
        } else if (error) {
            if (isNoInternetConnectionError(error))
                outcome = Outcome::Offline;
            else if (isSSLConnectionError(error))
                outcome = Outcome::SecureConnectionFailed;
        } else {
            status = response ? response->statusCode() : 0;
            if (BEACHttpUtil::isRecoverableError(status)) {
                if (!call->hasReachedMaxRetries())
                    outcome = Outcome::Retry;
                else
                    pauseLocked();
            } else if (!BEACHttpUtil::isSuccessStatusCode(status)) {
                outcome = Outcome::Refused;
            }
        }
        if (outcome == Outcome::Report || outcome == Outcome::Refused)
            pendingCalls_.erase(pending);
        if (outcome == Outcome::Refused)
            cancelled = disableLocked(true);
    }
    switch (outcome) {
        case Outcome::Canceled:
            BEACLogDebug(kBEACLogTag, "HTTP call was canceled; do not process further.");
            return;
        case Outcome::Offline:
        case Outcome::SecureConnectionFailed:
            call->resetRetry();
            BEACLogInfo(kBEACLogTag, "HTTP call failed with error: %@",
                        outcome == Outcome::Offline ? "Internet connection is down."
                                                    : "Could not establish secure connection.");
            return;
        case Outcome::Retry: {
            auto retryAfter = parseRetryAfter(response ? response->valueForHTTPHeaderField(kRetryAfterHeader)
                                                       : std::nullopt);
            std::weak_ptr<BEACHttpClient> weak = weak_from_this();
            std::weak_ptr<BEACHttpCall> weakCall = call;
            call->startRetryTimer(
                status, retryAfter,
                [weak, weakCall] {
                    auto self = weak.lock();
                    auto retried = weakCall.lock();
                    if (self && retried)
                        self->retryCall(retried);
                },
                clock_);
            return;
        }
        case Outcome::Refused:
            if (call->completionHandler)
                call->completionHandler(data, response, nullptr);
            reportCancelled(cancelled);
            return;
        case Outcome::Report:
            if (error)
                BEACLogError(kBEACLogTag, "HTTP request error with code: %td, domain: %@, description: %@",
                             error->code(), error->domain(), error->localizedDescription());
            if (call->completionHandler)
                call->completionHandler(data, error ? nullptr : response, error);
            return;
    }
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
    plat::MutexLock lock(mutex_);
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
    Calls calls;
    {
        plat::MutexLock lock(mutex_);
        calls = resumeLocked();
    }
    sendCalls(calls);
}

BEACHttpClient::Calls BEACHttpClient::resumeLocked() {
    Calls calls;
    if (!paused_ || !enabled_)
        return calls;
    BEACLogInfo(kBEACLogTag, "Resume HTTP client.");
    paused_ = false;
    for (const auto& call : pendingCalls_) {
        if (admitLocked(call))
            calls.push_back(call);
    }
    return calls;
}

void BEACHttpClient::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
    Calls resumed;
    Calls cancelled;
    {
        plat::MutexLock lock(mutex_);
        if (enabled_ == isEnabled)
            return;
        if (isEnabled) {
            enabled_ = true;
            session_ = makeSession();
            reachability_->startNotifier();
            resumed = resumeLocked();
        } else {
            cancelled = disableLocked(deleteDataOnDisabled);
        }
    }
    sendCalls(resumed);
    reportCancelled(cancelled);
}

BEACHttpClient::Calls BEACHttpClient::disableLocked(bool deleteData) {
    enabled_ = false;
    reachability_->stopNotifier();
    pauseLocked();
    if (!deleteData)
        return {};
    if (session_) {
        session_->invalidateAndCancel();
        session_.reset();
    }
    Calls calls = std::move(pendingCalls_);
    pendingCalls_.clear();
    for (const auto& call : calls)
        call->resetRetry();
    return calls;
}

void BEACHttpClient::reportCancelled(const Calls& calls) {
    for (const auto& call : calls) {
        if (call->completionHandler)
            call->completionHandler(std::nullopt, nullptr,
                                    BEACMakeError(kBEACCanceledErrorCode, kBEACCanceledErrorDesc));
    }
}
