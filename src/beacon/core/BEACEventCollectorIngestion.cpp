#include "beacon/core/BEACEventCollectorIngestion.h"

#include <cinttypes>
#include <set>

#include "beacon/core/BEACErrors.h"
#include "beacon/core/BEACHttpUtil.h"
#include "beacon/core/BEACLogContainer.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "beacon/core/BEACTicketCache.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/JSONSerialization.h"

namespace {

constexpr const char* kContentType = "application/x-json-stream; charset=utf-8";

}  // namespace

std::shared_ptr<BEACEventCollectorIngestion> BEACEventCollectorIngestion::make(
    std::shared_ptr<BEACHttpClientProtocol> httpClient, const std::string& baseURL) {
    std::shared_ptr<BEACEventCollectorIngestion> ingestion(
        new BEACEventCollectorIngestion(std::move(httpClient), baseURL));
    ingestion->attach();
    return ingestion;
}

BEACEventCollectorIngestion::BEACEventCollectorIngestion(std::shared_ptr<BEACHttpClientProtocol> httpClient,
                                                         const std::string& baseURL)
    : BEACHttpIngestion(std::move(httpClient), baseURL, "/EventCollector/1.0",
                        {{"Content-Type", kContentType},
                         {"Client-Version", "ACS-iOS-ObjectiveC-no-" + BEACUtility::sdkVersion() + "-no"}},
                        {}, {10, 300, 1200}, 2) {}

void BEACEventCollectorIngestion::sendAsync(const BEACLogContainerPtr& container,
                                            const BEACSendAsyncCompletionHandler& handler) {
    std::string batchId = container ? container->batchId : std::string();
    if (!container || !container->isValid()) {
        auto error = BEACMakeError(kBEACLogInvalidContainerErrorCode, kBEACLogInvalidContainerErrorDesc);
        BEACLogError(kBEACLogTag, "%@", error->localizedDescription());
        handler(batchId, nullptr, std::nullopt, error);
        return;
    }
    sendData(batchId, plat::Data::fromString(payloadForContainer(*container)),
             headersForContainer(*container), handler);
}

BEACHttpHeaders BEACEventCollectorIngestion::headersForContainer(const BEACLogContainer& container) const {
    BEACHttpHeaders headers = httpHeaders_;
    std::set<std::string> tokens;
    for (const auto& log : container.logs)
        if (auto logTokens = log ? log->transmissionTargetTokens() : nullptr)
            tokens.insert(logTokens->begin(), logTokens->end());
    std::string apiKey;
    for (const auto& token : tokens)
        apiKey += (apiKey.empty() ? "" : ",") + token;
    headers.emplace_back("apikey", apiKey);
    char uploadTime[32];
    std::snprintf(uploadTime, sizeof uploadTime, "%lld",
                  static_cast<long long>(BEACUtility::nowInMilliseconds()));
    headers.emplace_back("Upload-Time", uploadTime);

    auto cache = BEACTicketCache::sharedInstance();
    plat::Dictionary tickets;
    bool anyTicket = false;
    for (const auto& log : container.logs) {
        auto csLog = std::dynamic_pointer_cast<BEACSharedSchemaLog>(log);
        if (!csLog || !csLog->ext || !csLog->ext->protocolExt || !csLog->ext->protocolExt->ticketKeys)
            continue;
        for (const auto& key : *csLog->ext->protocolExt->ticketKeys)
            if (auto ticket = cache->ticketFor(key)) {
                tickets.set(key, plat::Value(*ticket));
                anyTicket = true;
            }
    }
    if (anyTicket) {
        auto text = plat::JSONSerialization::stringWithJSONObject(plat::Value(tickets),
                                                                  plat::JSONWritingWithoutEscapingSlashes);
        if (text.ok())
            headers.emplace_back("Tickets", std::move(text.value()));
    }
    return headers;
}

std::string BEACEventCollectorIngestion::payloadForContainer(const BEACLogContainer& container) {
    std::string body;
    for (const auto& log : container.logs) {
        auto line = log ? log->serializeLogWithPrettyPrinting(false) : std::nullopt;
        // A log that cannot be written is left out rather than sent as an
        // unparsable line that would make the collector refuse the batch.
        if (!line) {
            BEACLogError(kBEACLogTag, "A log could not be serialised and is left out of the batch.");
            continue;
        }
        body += *line;
        body += '\n';
    }
    return body;
}

std::string BEACEventCollectorIngestion::obfuscateTargetTokens(const std::string& tokens) {
    std::string result;
    size_t start = 0;
    while (true) {
        size_t comma = tokens.find(',', start);
        result += BEACHttpUtil::hideSecret(tokens.substr(start, comma - start));
        if (comma == std::string::npos)
            break;
        result += ',';
        start = comma + 1;
    }
    return result;
}

std::string BEACEventCollectorIngestion::obfuscateTickets(const std::string& tickets) {
    return BEACUtility::obfuscateString(tickets, ":[^\"]+", ":***").value_or(tickets);
}

std::string BEACEventCollectorIngestion::obfuscateResponsePayload(const std::string& payload) const {
    return BEACUtility::obfuscateString(payload, "\"token\"\\s*:\\s*\"[^\"]+\"", "\"token\" : \"***\"")
        .value_or(payload);
}

void BEACEventCollectorIngestion::willSendHTTPRequestToURL(const plat::URL& url,
                                                           const BEACHttpHeaders& headers) {
    if (BEACLogger::currentLogLevel() >= BEACLogLevelDebug)
        return;
    std::string lines;
    for (const auto& [name, value] : headers) {
        if (!lines.empty())
            lines += ", ";
        std::string shown = name == "apikey"    ? obfuscateTargetTokens(value)
                            : name == "Tickets" ? obfuscateTickets(value)
                                                : value;
        lines += name + " = " + shown;
    }
    BEACLogVerbose(kBEACLogTag, "URL: %@", url.absoluteString());
    BEACLogVerbose(kBEACLogTag, "Headers: %@", lines);
}
