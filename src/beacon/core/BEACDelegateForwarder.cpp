#include "beacon/core/BEACDelegateForwarder.h"

#include "beacon/core/BEACLogger.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Mutex.h"

using plat::appkit::Arguments;
using plat::appkit::Implementation;
using plat::appkit::InterceptionTable;
using plat::appkit::Responder;

namespace {

struct TraceBuffer {
    plat::Mutex mutex;
    bool active GUARDED_BY(mutex) = true;
    bool started GUARDED_BY(mutex) = false;
    std::vector<std::function<void()>> blocks GUARDED_BY(mutex);
};

TraceBuffer& traceBuffer() {
    static TraceBuffer* buffer = new TraceBuffer;
    return *buffer;
}

constexpr const char* kReturnedValueSuffix = "returnedValue:";

bool isChained(const std::string& selector) {
    return selector.size() >= std::string_view(kReturnedValueSuffix).size() &&
           selector.compare(selector.size() - std::string_view(kReturnedValueSuffix).size(),
                            std::string::npos, kReturnedValueSuffix) == 0;
}

}  // namespace

void BEACDelegateForwarder::addTraceBlock(std::function<void()> block) {
    auto& buffer = traceBuffer();
    {
        plat::MutexLock lock(buffer.mutex);
        if (buffer.active) {
            if (!buffer.started) {
                buffer.started = true;
                buffer.blocks.push_back([] { BEACLogVerbose(kBEACLogTag, "Start buffering traces."); });
            }
            buffer.blocks.push_back(std::move(block));
            return;
        }
    }
    block();
}

void BEACDelegateForwarder::flushTraceBuffer() {
    auto& buffer = traceBuffer();
    plat::MutexLock lock(buffer.mutex);
    if (!buffer.active)
        return;
    for (const auto& block : buffer.blocks)
        block();
    buffer.blocks.clear();
    buffer.active = false;
    BEACLogVerbose(kBEACLogTag, "Stop buffering traces, flushed.");
}

void BEACDelegateForwarder::resetTraceBuffer() {
    auto& buffer = traceBuffer();
    plat::MutexLock lock(buffer.mutex);
    buffer.active = true;
    buffer.started = false;
    buffer.blocks.clear();
}

void BEACDelegateForwarder::setEnabledFromPlistForKey(const std::string& key) {
    auto value = plat::Bundle::mainBundle().objectForInfoDictionaryKey(key);
    bool enabled = !value || !value->isNumber() || value->boolValue();
    setEnabled(enabled);
    addTraceBlock([key, enabled] {
        if (enabled)
            BEACLogDebug(kBEACLogTag,
                         "Delegate forwarder for info.plist key '%@' enabled. It may use swizzling.", key);
        else
            BEACLogDebug(kBEACLogTag,
                         "Delegate forwarder for info.plist key '%@' disabled. It won't use swizzling.", key);
    });
}

void BEACDelegateForwarder::setEnabled(bool isEnabled) {
    plat::MutexLock lock(mutex_);
    enabled_ = isEnabled;
    if (!isEnabled)
        delegates_.clear();
}

bool BEACDelegateForwarder::isEnabled() const {
    plat::MutexLock lock(mutex_);
    return enabled_;
}

void BEACDelegateForwarder::addDelegate(const std::shared_ptr<Responder>& delegate) {
    plat::MutexLock lock(mutex_);
    if (enabled_ && delegate)
        delegates_.push_back(delegate);
}

void BEACDelegateForwarder::removeDelegate(const std::shared_ptr<Responder>& delegate) {
    plat::MutexLock lock(mutex_);
    if (!enabled_)
        return;
    std::erase_if(delegates_, [&](const auto& weak) {
        auto strong = weak.lock();
        return !strong || strong == delegate;
    });
}

std::size_t BEACDelegateForwarder::delegateCount() const {
    plat::MutexLock lock(mutex_);
    std::size_t n = 0;
    for (const auto& weak : delegates_)
        n += !weak.expired();
    return n;
}

void BEACDelegateForwarder::addDelegateSelectorToSwizzle(const std::string& selector) {
    if (!isEnabled())
        return;
    std::call_once(swizzlingOnceToken(), [this] {
        Implementation kept =
            swizzleOriginalSelector("setDelegate:", originalClassForSetDelegate(),
                                    [this](Responder& receiver, const Arguments& arguments) {
                                        customSetDelegate(receiver, arguments);
                                        return plat::Value();
                                    });
        plat::MutexLock lock(mutex_);
        originalSetDelegateImp_ = std::move(kept);
    });
    plat::MutexLock lock(mutex_);
    selectorsToSwizzle_.insert(selector);
}

void BEACDelegateForwarder::customSetDelegate(Responder& receiver, const Arguments& arguments) {
    auto delegate = arguments.empty() ? nullptr : arguments[0].asObjectOf<Responder>();
    std::call_once(delegateOnce_, [&] {
        if (delegate)
            swizzleOriginalDelegate(std::const_pointer_cast<Responder>(delegate));
    });
    Implementation original;
    {
        plat::MutexLock lock(mutex_);
        original = originalSetDelegateImp_;
    }
    if (original)
        original(receiver, arguments);
}

void BEACDelegateForwarder::swizzleOriginalDelegate(const std::shared_ptr<Responder>& originalDelegate) {
    std::set<std::string> selectors;
    {
        plat::MutexLock lock(mutex_);
        selectors.swap(selectorsToSwizzle_);
    }
    for (const auto& selector : selectors) {
        auto keptSlot = std::make_shared<Implementation>();
        Implementation kept = swizzleOriginalSelector(
            selector, *originalDelegate,
            [this, selector, keptSlot](Responder& receiver, const Arguments& arguments) {
                plat::Value value =
                    arguments.empty() || !isChained(selector) ? plat::Value() : arguments.back();
                if (*keptSlot)
                    value = (*keptSlot)(receiver, arguments);
                return forward(selector, arguments, value);
            });
        *keptSlot = kept;
        if (kept) {
            plat::MutexLock lock(mutex_);
            originalImplementations_[selector] = kept;
        }
    }
}

Implementation BEACDelegateForwarder::swizzleOriginalSelector(const std::string& selector,
                                                              Responder& exemplar,
                                                              Implementation replacement) {
    auto installation = InterceptionTable::shared().install(exemplar, selector, "BEACDelegateForwarder",
                                                            std::move(replacement));
    std::string className = exemplar.className();
    if (!installation.installed) {
        addTraceBlock([selector, className] {
            BEACLogError(kBEACLogTag, "%@ %@",
                         plat::format("Cannot swizzle selector '%@' of class '%@'.", selector, className),
                         "You need to explicitly call the Beacon API from your app delegate implementation.");
        });
        return nullptr;
    }
    addTraceBlock([selector, className] {
        BEACLogDebug(kBEACLogTag, "Selector '%@' of class '%@' is swizzled.", selector, className);
    });
    return installation.kept;
}

plat::Value BEACDelegateForwarder::forward(const std::string& selector, const Arguments& arguments,
                                           plat::Value value) {
    // No lock is held while the delegates run: a delegate may make the
    // application send another forwarded message (opening a URL from inside
    // openURL), which forwards in turn.
    std::vector<std::shared_ptr<Responder>> targets;
    {
        plat::MutexLock lock(mutex_);
        for (const auto& weak : delegates_) {
            if (auto strong = weak.lock())
                targets.push_back(std::move(strong));
        }
    }
    bool chained = isChained(selector) && !arguments.empty();
    Arguments current = arguments;
    if (chained)
        current.back() = value;
    for (const auto& target : targets) {
        if (!InterceptionTable::shared().responds(*target, selector))
            continue;
        auto result = InterceptionTable::shared().send(*target, selector, current);
        if (chained && result) {
            value = *result;
            current.back() = value;
        }
    }
    return value;
}

namespace {

plat::Mutex sharedForwarderMutex;
std::shared_ptr<BEACAppDelegateForwarder> sharedForwarder GUARDED_BY(sharedForwarderMutex);

std::shared_ptr<BEACAppDelegateForwarder> makeForwarder() {
    auto forwarder = std::make_shared<BEACAppDelegateForwarder>();
    forwarder->setEnabledFromPlistForKey(BEACDelegateForwarder::kEnabledKey);
    return forwarder;
}

}  // namespace

std::shared_ptr<BEACAppDelegateForwarder> BEACAppDelegateForwarder::sharedInstance() {
    plat::MutexLock lock(sharedForwarderMutex);
    if (!sharedForwarder)
        sharedForwarder = makeForwarder();
    return sharedForwarder;
}

void BEACAppDelegateForwarder::resetSharedInstance() {
    plat::MutexLock lock(sharedForwarderMutex);
    sharedForwarder = makeForwarder();
}

Responder& BEACAppDelegateForwarder::originalClassForSetDelegate() {
    return plat::appkit::Application::shared();
}

std::once_flag& BEACAppDelegateForwarder::swizzlingOnceToken() {
    return swizzlingOnce_;
}
