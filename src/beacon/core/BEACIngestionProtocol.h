// What a channel unit needs of an ingestion: switching it, whether it can
// send, and sending one batch with one completion.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "beacon/core/BEACChannelProtocols.h"
#include "beacon/core/BEACHttpUtil.h"
#include "beacon/core/BEACLogContainer.h"
#include "platform/foundation/Data.h"

// (call or batch id, response or null, body or nullopt, error or null); any
// thread, exactly once per send.
using BEACSendAsyncCompletionHandler =
    std::function<void(const std::string& callId, const BEACHttpResponsePtr& response,
                       const std::optional<plat::Data>& data, const plat::ErrorPtr& error)>;

class BEACIngestionProtocol : public BEACEnable {
  public:
    virtual void sendAsync(const BEACLogContainerPtr& container,
                           const BEACSendAsyncCompletionHandler& handler) = 0;
    virtual bool isReadyToSend() const = 0;
    virtual bool isEnabled() const = 0;
};

// The ingestion a channel group owns: its base URL and app secret are the
// group's log URL and app secret.
class BEACGroupIngestionProtocol : public BEACIngestionProtocol {
  public:
    virtual void setBaseURL(const std::string& baseURL) = 0;
    virtual std::string baseURL() const = 0;
    virtual void setAppSecret(const std::optional<std::string>& appSecret) = 0;
    virtual std::optional<std::string> appSecret() const = 0;
};
