// Ingestions turn one batch into one HTTP request and its outcome into one
// callback. BEACHttpIngestion holds the target URL, the fixed headers, the
// retry schedule and the client; BEACBeaconIngestion posts JSON batches
// ({"logs": [...]}) to "<base>/logs?api-version=1.0.0" with the app secret
// and the install id in headers.
//
// Threads: any thread; one lock per ingestion guards its switch, its URLs and
// its secret. It is a leaf: a send reads what it needs under it and hands the
// call to the client without it. Completions arrive on the URL session's
// queue.
#pragma once

#include "beacon/core/BEACHttpClient.h"
#include "beacon/core/BEACIngestionProtocol.h"
#include "platform/foundation/Mutex.h"

class BEACHttpIngestion : public BEACGroupIngestionProtocol,
                          public BEACHttpClientDelegate,
                          public std::enable_shared_from_this<BEACHttpIngestion> {
  public:
    using QueryItems = std::vector<std::pair<std::string, std::string>>;

    ~BEACHttpIngestion() override = default;

    // BEACIngestionProtocol
    bool isReadyToSend() const override { return true; }
    // The ingestion's own switch and whether the SDK allows network requests.
    bool isEnabled() const override EXCLUDES(mutex_);
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override EXCLUDES(mutex_);

    // Sends a body with the subclass's headers; `callId` comes back in the
    // completion.
    void sendData(const std::string& callId, const std::optional<plat::Data>& body,
                  const BEACHttpHeaders& headers, const BEACSendAsyncCompletionHandler& handler);

    void setBaseURL(const std::string& baseURL) override EXCLUDES(mutex_);
    std::string baseURL() const override EXCLUDES(mutex_);
    std::optional<plat::URL> sendURL() const EXCLUDES(mutex_);
    const std::vector<double>& retryIntervals() const { return retryIntervals_; }
    const std::shared_ptr<BEACHttpClientProtocol>& httpClient() const { return httpClient_; }

    static std::optional<plat::URL> buildURL(const std::string& baseURL, const std::string& apiPath,
                                             const QueryItems& queryStrings);

    using BEACGroupIngestionProtocol::sendAsync;
    // A send with the entity tag of an earlier response, for endpoints that
    // answer conditional requests. The Beacon and Event Collector endpoints
    // do not, so their requests are the ones sendAsync(container, handler)
    // sends.
    virtual void sendAsync(const BEACLogContainerPtr& container, const std::optional<std::string>& eTag,
                           const BEACSendAsyncCompletionHandler& handler);
    // The value of the response's first "ETag" header (any case); nullopt
    // without one.
    static std::optional<std::string> eTagFromResponse(const BEACHttpResponsePtr& response);

  protected:
    BEACHttpIngestion(std::shared_ptr<BEACHttpClientProtocol> httpClient, std::string baseURL,
                      std::string apiPath, BEACHttpHeaders headers, QueryItems queryStrings,
                      std::vector<double> retryIntervals = {10, 300, 1200},
                      int64_t maxNumberOfConnections = 4);
    // Registers the ingestion as its client's delegate (after construction).
    void attach();
    void printResponse(const plat::urlloading::HTTPURLResponsePtr& response,
                       const std::optional<plat::Data>& body, const plat::ErrorPtr& error) const;
    virtual std::string obfuscateResponsePayload(const std::string& payload) const { return payload; }
    virtual std::string className() const { return "BEACHttpIngestion"; }

    mutable plat::Mutex mutex_;
    bool enabled_ GUARDED_BY(mutex_) = true;
    std::string baseURL_ GUARDED_BY(mutex_);
    const std::string apiPath_;
    std::optional<plat::URL> sendURL_ GUARDED_BY(mutex_);
    const BEACHttpHeaders httpHeaders_;
    const std::shared_ptr<BEACHttpClientProtocol> httpClient_;
    const int64_t maxNumberOfConnections_;
    const std::vector<double> retryIntervals_;
};

class BEACBeaconIngestion : public BEACHttpIngestion {
  public:
    static std::shared_ptr<BEACBeaconIngestion> make(std::shared_ptr<BEACHttpClientProtocol> httpClient,
                                                     const std::string& baseURL,
                                                     const std::string& installId);

    bool isReadyToSend() const override;
    using BEACHttpIngestion::sendAsync;
    void sendAsync(const BEACLogContainerPtr& container,
                   const BEACSendAsyncCompletionHandler& handler) override;
    void setAppSecret(const std::optional<std::string>& appSecret) override;
    std::optional<std::string> appSecret() const override;
    void willSendHTTPRequestToURL(const plat::URL& url, const BEACHttpHeaders& headers) override;

  protected:
    std::string className() const override { return "BEACBeaconIngestion"; }

  private:
    BEACBeaconIngestion(std::shared_ptr<BEACHttpClientProtocol> httpClient, const std::string& baseURL,
                        const std::string& installId);
    std::optional<std::string> appSecret_ GUARDED_BY(mutex_);
};
