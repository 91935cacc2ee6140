// Sends Shared Schema logs to the Event Collector: POST to
// "<base>/EventCollector/1.0" with newline-delimited JSON (one log per
// line), the batch's target tokens in "apikey", the send time in
// "Upload-Time" and the authentication tickets of its logs in "Tickets".
// Tokens and tickets are starred out whenever requests are logged.
//
// Threads: as BEACHttpIngestion; the ticket cache has its own lock.
#pragma once

#include "beacon/core/BEACHttpIngestion.h"

class BEACEventCollectorIngestion : public BEACHttpIngestion {
  public:
    static std::shared_ptr<BEACEventCollectorIngestion> make(
        std::shared_ptr<BEACHttpClientProtocol> httpClient, const std::string& baseURL);

    using BEACHttpIngestion::sendAsync;
    void sendAsync(const BEACLogContainerPtr& container,
                   const BEACSendAsyncCompletionHandler& handler) override;
    void willSendHTTPRequestToURL(const plat::URL& url, const BEACHttpHeaders& headers) override;
    // The tokens address the data: no app secret is used.
    void setAppSecret(const std::optional<std::string>&) override {}
    std::optional<std::string> appSecret() const override { return std::nullopt; }

    // The fixed headers plus "apikey", "Upload-Time" and (when any ticket is
    // known) "Tickets" for this batch.
    BEACHttpHeaders headersForContainer(const BEACLogContainer& container) const;
    // One compact JSON line per log, each ending in a line feed.
    static std::string payloadForContainer(const BEACLogContainer& container);

    static std::string obfuscateTargetTokens(const std::string& tokens);
    static std::string obfuscateTickets(const std::string& tickets);

  protected:
    std::string obfuscateResponsePayload(const std::string& payload) const override;
    std::string className() const override { return "BEACEventCollectorIngestion"; }

  private:
    BEACEventCollectorIngestion(std::shared_ptr<BEACHttpClientProtocol> httpClient,
                                const std::string& baseURL);
};
