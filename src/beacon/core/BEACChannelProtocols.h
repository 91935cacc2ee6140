// The contracts of the log pipeline: enabling, the channel protocols that the
// channel unit and the channel group implement, and the delegate through which
// they report what became of every log. Every delegate callback is optional:
// the default bodies do nothing (and filter nothing).
//
// Delegates are held without ownership by the channels (weak pointers);
// callbacks arrive on the threads the channel documents.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "beacon/core/BEACAbstractLog.h"
#include "beacon/core/BEACChannelUnitConfiguration.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"

class BEACChannelProtocol;
class BEACChannelUnitProtocol;
class BEACChannelGroupProtocol;

using BEACLogPtr = std::shared_ptr<BEACAbstractLog>;

class BEACEnable {
  public:
    virtual ~BEACEnable() = default;
    virtual void setEnabled(bool isEnabled, bool deleteDataOnDisabled) = 0;
};

class BEACChannelDelegate {
  public:
    virtual ~BEACChannelDelegate() = default;

    virtual void channelGroupDidAddChannelUnit(BEACChannelGroupProtocol& /*group*/,
                                               BEACChannelUnitProtocol& /*unit*/) {}
    // The delegate may change the log.
    virtual void channelPrepareLog(BEACChannelUnitProtocol& /*unit*/, const BEACLogPtr& /*log*/) {}
    virtual void channelDidPrepareLog(BEACChannelUnitProtocol& /*unit*/, const BEACLogPtr& /*log*/,
                                      const std::string& /*internalId*/, uint64_t /*flags*/) {}
    virtual void channelDidCompleteEnqueueingLog(BEACChannelUnitProtocol& /*unit*/, const BEACLogPtr& /*log*/,
                                                 const std::string& /*internalId*/) {}
    virtual void channelWillSendLog(BEACChannelUnitProtocol& /*unit*/, const BEACLogPtr& /*log*/) {}
    virtual void channelDidSucceedSendingLog(BEACChannelUnitProtocol& /*unit*/, const BEACLogPtr& /*log*/) {}
    virtual void channelDidFailSendingLog(BEACChannelUnitProtocol& /*unit*/, const BEACLogPtr& /*log*/,
                                          const plat::ErrorPtr& /*error*/) {}
    virtual void channelDidSetEnabled(BEACChannelProtocol& /*channel*/, bool /*isEnabled*/,
                                      bool /*deletedData*/) {}
    virtual void channelDidPauseWithIdentifyingObject(BEACChannelUnitProtocol& /*unit*/,
                                                      const plat::ObjectPtr& /*identifyingObject*/) {}
    virtual void channelDidResumeWithIdentifyingObject(BEACChannelUnitProtocol& /*unit*/,
                                                       const plat::ObjectPtr& /*identifyingObject*/) {}
    // true drops the log.
    virtual bool channelUnitShouldFilterLog(BEACChannelUnitProtocol& /*unit*/, const BEACLogPtr& /*log*/) {
        return false;
    }
};

class BEACChannelProtocol : public BEACEnable {
  public:
    virtual void addDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) = 0;
    virtual void removeDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) = 0;
    virtual void pauseWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) = 0;
    virtual void resumeWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) = 0;
};

class BEACChannelUnitProtocol : public BEACChannelProtocol {
  public:
    virtual void enqueueItem(const BEACLogPtr& log, uint64_t flags) = 0;
    virtual void pauseSendingLogsWithToken(const std::string& token) = 0;
    virtual void resumeSendingLogsWithToken(const std::string& token) = 0;
    virtual void checkPendingLogs() = 0;
    virtual const BEACChannelUnitConfiguration& configuration() const = 0;
    virtual plat::dispatch::Queue logsDispatchQueue() const = 0;
    virtual void setLogsDispatchQueue(plat::dispatch::Queue queue) = 0;
};

class BEACChannelGroupProtocol : public BEACChannelProtocol {};
