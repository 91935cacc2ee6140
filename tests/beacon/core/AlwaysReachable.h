// A reachability that always reports the network reachable and never
// notifies: tests that talk to a local endpoint need no network watcher.
#pragma once

#include <memory>

#include "beacon/core/BEACHttpClient.h"

namespace beactest {

class AlwaysReachable : public BEAC_Reachability {
  public:
    static std::shared_ptr<AlwaysReachable> make() { return std::make_shared<AlwaysReachable>(); }
    bool startNotifier() override { return true; }
    void stopNotifier() override {}
    NetworkStatus currentReachabilityStatus() const override { return Reachable; }
};

}  // namespace beactest
