// The SDK's HTTP client: wraps each request in a call, gzips large bodies,
// sends it over a URL session, retries recoverable answers on a randomised
// back-off (or after the delay the server asks for), holds calls while the
// network is down, and reports one outcome per call.
//
// Threads: any thread. The client's lock may be held while a call's lock is
// taken, never the reverse. Completions run on the session's delegate queue
// (retries on the global queue); a call's completion is called at most once.
// Retry timers run on the client's clock (injectable for tests).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "beacon/core/BEACChannelProtocols.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/Data.h"
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

    bool hasReachedMaxRetries() const;
    void resetRetry();
    int32_t retryCount() const;
    // Arms a one-shot timer on the global queue; the delay is `retryAfterMs`
    // when given, else the back-off of the current retry count.
    void startRetryTimer(int64_t statusCode, std::optional<uint32_t> retryAfterMs,
                         std::function<void()> event, const std::shared_ptr<plat::dispatch::Clock>& clock);
    // Half the interval in milliseconds plus a random part below that half.
    uint32_t delayForRetryCount(std::size_t index) const;

    std::atomic<bool> inProgress{false};

    // Tests replace the compressor to make compression fail.
    static void setCompressor(Compressor compressor);

  private:
    mutable std::recursive_mutex mutex_;
    std::shared_ptr<plat::dispatch::TimerSource> timerSource_;
    int32_t retryCount_ = 0;
    std::vector<double> retryIntervals_;
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
                   bool compressionEnabled, BEACHttpRequestCompletionHandler completionHandler) override;
    void pause() override;
    void resume() override;
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
    void setDelegate(std::weak_ptr<BEACHttpClientDelegate> delegate) override;

    bool isPaused() const;
    bool isEnabled() const;
    std::size_t pendingCallCount() const;
    int maxHttpConnectionsPerHost() const;
    void networkStateChanged();

  private:
    explicit BEACHttpClient(Options options);
    void start();
    void sendCallAsync(const std::shared_ptr<BEACHttpCall>& call);
    void requestCompleted(const std::shared_ptr<BEACHttpCall>& call, const std::optional<plat::Data>& data,
                          const plat::urlloading::HTTPURLResponsePtr& response, const plat::ErrorPtr& error);
    void pauseLocked();
    void resumeLocked();
    std::shared_ptr<plat::urlloading::URLSession> makeSession() const;

    mutable std::recursive_mutex mutex_;
    plat::urlloading::URLSessionConfiguration sessionConfiguration_;
    std::shared_ptr<plat::urlloading::URLSession> session_;
    std::shared_ptr<BEAC_Reachability> reachability_;
    std::shared_ptr<plat::dispatch::Clock> clock_;
    std::vector<std::shared_ptr<BEACHttpCall>> pendingCalls_;
    bool paused_ = false;
    bool enabled_ = true;
    std::weak_ptr<BEACHttpClientDelegate> delegate_;
    plat::ObserverToken observer_;
};
