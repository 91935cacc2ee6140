// The SDK's HTTP client: wraps each request in a call, gzips large bodies,
// sends it over a URL session, retries recoverable answers on a randomised
// back-off (or after the delay the server asks for), holds calls while the
// network is down, and reports one outcome per call.
//
// Threads: any thread. The client's lock may be held while a call's lock is
// taken, never the reverse; neither is held while the client calls out (the
// delegate, a completion), so both may call the client again. Completions run
// on the session's delegate queue (retries on the global queue), or on the
// caller's thread for a call refused or cancelled there; a call's completion
// is called at most once. Retry timers run on the client's clock (injectable
// for tests).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "beacon/core/BEACChannelProtocols.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/URL.h"
#include "platform/urlloading/URLResponse.h"
#include "platform/urlloading/URLSession.h"

struct sockaddr;
namespace plat::network {
class Reachability;
class RouteSource;
}  // namespace plat::network

using BEACHttpHeaders = std::vector<std::pair<std::string, std::string>>;
using BEACHttpRequestCompletionHandler =
    std::function<void(const std::optional<plat::Data>& data,
                       const plat::urlloading::HTTPURLResponsePtr& response, const plat::ErrorPtr& error)>;

class BEACCompression {
  public:
    // Gzip (window bits 31, default level); nullopt for empty input or failure.
    static std::optional<plat::Data> compressData(const std::optional<plat::Data>& data);
};

// The network watcher the client listens to. Posts
// "kBCNetworkReachabilityChangedNotification" with itself as sender when its
// status may have changed (once when the notifier starts).
class BEAC_Reachability : public std::enable_shared_from_this<BEAC_Reachability> {
  public:
    static constexpr const char* kChangedNotification = "kBCNetworkReachabilityChangedNotification";
    enum NetworkStatus { NotReachable = 0, Reachable = 1 };

    // Any IPv4 address, as the route table sees it.
    static std::shared_ptr<BEAC_Reachability> reachabilityForInternetConnection();
    // A host name, judged by the default route without a name lookup; null
    // for an empty name. `source` (tests) defaults to the kernel's routes.
    static std::shared_ptr<BEAC_Reachability> reachabilityWithHostName(
        const std::string& hostName, std::shared_ptr<plat::network::RouteSource> source = nullptr);
    // An IPv4 or IPv6 socket address; null for any other.
    static std::shared_ptr<BEAC_Reachability> reachabilityWithAddress(
        const sockaddr* address, std::shared_ptr<plat::network::RouteSource> source = nullptr);
    virtual ~BEAC_Reachability();

    virtual bool startNotifier();
    virtual void stopNotifier();
    virtual NetworkStatus currentReachabilityStatus() const;
    // The flags can be read and ask for a connection to be set up first.
    // Linux routes never do (there is no dial-on-demand flag), so this is
    // false there.
    virtual bool connectionRequired() const;
    static NetworkStatus networkStatusForFlags(uint32_t flags);

  protected:
    BEAC_Reachability() = default;
    void postChanged();

  private:
    std::shared_ptr<plat::network::Reachability> reachability_;
};

class BEACHttpClientDelegate {
  public:
    virtual ~BEACHttpClientDelegate() = default;
    virtual void willSendHTTPRequestToURL(const plat::URL& /*url*/, const BEACHttpHeaders& /*headers*/) {}
};

class BEACHttpCall {
  public:
    static constexpr std::size_t kCompressionThreshold = 1400;
    using Compressor = std::function<std::optional<plat::Data>(const std::optional<plat::Data>&)>;

    BEACHttpCall(plat::URL url, std::string method, BEACHttpHeaders headers, std::optional<plat::Data> data,
                 std::vector<double> retryIntervals, bool compressionEnabled,
                 BEACHttpRequestCompletionHandler completionHandler);

    const plat::URL url;
    const std::string method;
    BEACHttpHeaders headers;
    std::optional<plat::Data> data;
    const BEACHttpRequestCompletionHandler completionHandler;

    bool hasReachedMaxRetries() const EXCLUDES(mutex_);
    void resetRetry() EXCLUDES(mutex_);
    int32_t retryCount() const EXCLUDES(mutex_);
    // Arms a one-shot timer on the global queue; the delay is `retryAfterMs`
    // when given, else the back-off of the current retry count.
    void startRetryTimer(int64_t statusCode, std::optional<uint32_t> retryAfterMs,
                         std::function<void()> event, const std::shared_ptr<plat::dispatch::Clock>& clock)
        EXCLUDES(mutex_);
    // Half the interval in milliseconds plus a random part below that half.
    uint32_t delayForRetryCount(std::size_t index) const EXCLUDES(mutex_);

    std::atomic<bool> inProgress{false};

    // Tests replace the compressor to make compression fail.
    static void setCompressor(Compressor compressor);

  private:
    uint32_t delayLocked(std::size_t index) const REQUIRES(mutex_);

    mutable plat::Mutex mutex_;
    std::shared_ptr<plat::dispatch::TimerSource> timerSource_ GUARDED_BY(mutex_);
    int32_t retryCount_ GUARDED_BY(mutex_) = 0;
    const std::vector<double> retryIntervals_;
};

class BEACHttpClientProtocol : public BEACEnable {
  public:
    static std::vector<double> defaultRetryIntervals() { return {10, 300, 1200}; }
    // The default retry intervals (10, 300, 1200 s), compression on.
    void sendAsync(const plat::URL& url, const std::string& method, const BEACHttpHeaders& headers,
                   const std::optional<plat::Data>& data,
                   BEACHttpRequestCompletionHandler completionHandler) {
        sendAsync(url, method, headers, data, defaultRetryIntervals(), true, std::move(completionHandler));
    }
    virtual void sendAsync(const plat::URL& url, const std::string& method, const BEACHttpHeaders& headers,
                           const std::optional<plat::Data>& data, const std::vector<double>& retryIntervals,
                           bool compressionEnabled, BEACHttpRequestCompletionHandler completionHandler) = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual void setDelegate(std::weak_ptr<BEACHttpClientDelegate> delegate) = 0;
};

class BEACHttpClient : public BEACHttpClientProtocol, public std::enable_shared_from_this<BEACHttpClient> {
  public:
    struct Options {
        std::optional<int> maxHttpConnectionsPerHost;
        // Null: the reachability of the internet connection.
        std::shared_ptr<BEAC_Reachability> reachability;
        // The clock of retry timers; null: the global queue's.
        std::shared_ptr<plat::dispatch::Clock> clock;
        // Extra configuration of the session (tests: trusted CA, no proxy).
        std::function<void(plat::urlloading::URLSessionConfiguration&)> configure;
    };
    static std::shared_ptr<BEACHttpClient> make(Options options = {});
    // A client whose session opens at most that many connections per host.
    static std::shared_ptr<BEACHttpClient> makeWithMaxHttpConnectionsPerHost(int maxHttpConnectionsPerHost);
    ~BEACHttpClient();

    using BEACHttpClientProtocol::sendAsync;
    void sendAsync(const plat::URL& url, const std::string& method, const BEACHttpHeaders& headers,
                   const std::optional<plat::Data>& data, const std::vector<double>& retryIntervals,
                   bool compressionEnabled, BEACHttpRequestCompletionHandler completionHandler) override
        EXCLUDES(mutex_);
    void pause() override EXCLUDES(mutex_);
    void resume() override EXCLUDES(mutex_);
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override EXCLUDES(mutex_);
    void setDelegate(std::weak_ptr<BEACHttpClientDelegate> delegate) override EXCLUDES(mutex_);

    bool isPaused() const EXCLUDES(mutex_);
    bool isEnabled() const EXCLUDES(mutex_);
    std::size_t pendingCallCount() const EXCLUDES(mutex_);
    int maxHttpConnectionsPerHost() const EXCLUDES(mutex_);
    void networkStateChanged() EXCLUDES(mutex_);

  private:
    using Calls = std::vector<std::shared_ptr<BEACHttpCall>>;

    explicit BEACHttpClient(Options options);
    void start();
    // Records the call as pending; true when it is to be sent now (not
    // paused), in which case it is marked in progress.
    bool admitLocked(const std::shared_ptr<BEACHttpCall>& call) REQUIRES(mutex_);
    // Sends admitted calls: tells the delegate, then starts each task unless
    // the call was reported, cancelled or paused meanwhile.
    void sendCalls(const Calls& calls) EXCLUDES(mutex_);
    void requestCompleted(const std::shared_ptr<BEACHttpCall>& call, const std::optional<plat::Data>& data,
                          const plat::urlloading::HTTPURLResponsePtr& response, const plat::ErrorPtr& error)
        EXCLUDES(mutex_);
    void retryCall(const std::shared_ptr<BEACHttpCall>& call) EXCLUDES(mutex_);
    void pauseLocked() REQUIRES(mutex_);
    // The calls to send again.
    Calls resumeLocked() REQUIRES(mutex_);
    // Disables the client; with `deleteData`, also drops every pending call
    // and returns them for the caller to report cancelled.
    Calls disableLocked(bool deleteData) REQUIRES(mutex_);
    static void reportCancelled(const Calls& calls);
    std::shared_ptr<plat::urlloading::URLSession> makeSession() const REQUIRES(mutex_);

    mutable plat::Mutex mutex_;
    plat::urlloading::URLSessionConfiguration sessionConfiguration_ GUARDED_BY(mutex_);
    std::shared_ptr<plat::urlloading::URLSession> session_ GUARDED_BY(mutex_);
    // Set in the constructor, then only read.
    const std::shared_ptr<BEAC_Reachability> reachability_;
    const std::shared_ptr<plat::dispatch::Clock> clock_;
    Calls pendingCalls_ GUARDED_BY(mutex_);
    bool paused_ GUARDED_BY(mutex_) = false;
    bool enabled_ GUARDED_BY(mutex_) = true;
    std::weak_ptr<BEACHttpClientDelegate> delegate_ GUARDED_BY(mutex_);
    // Set by make() before the client is shared, then only read.
    plat::ObserverToken observer_;
};
