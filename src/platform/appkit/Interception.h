// Messages by selector and interception tables, in place of exchanging method
// implementations at run time.
//
// A Responder answers messages named by selector ("applicationWillTerminate:")
// with a list of argument values. Anyone may wrap a selector of a class (the
// class is named by className()) with a replacement implementation; the
// table keeps the implementation it replaced and hands it to the installer,
// whose wrapper calls it with the same receiver and arguments. A class that
// did not answer the selector gets the replacement added (no kept
// implementation). Installing twice under one install key installs once.
//
// Threads: every member may be called from any thread; implementations run
// without the table's lock held, so they may install or send themselves.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat::appkit {

using Arguments = std::vector<Value>;

class Responder : public Object {
  public:
    // The selectors the class answers by itself.
    virtual std::set<std::string> ownSelectors() const { return {}; }
    // The class's own implementation; called only for one of ownSelectors().
    virtual Value perform(const std::string& /*selector*/, const Arguments& /*arguments*/) { return Value(); }
};

using Implementation = std::function<Value(Responder& receiver, const Arguments& arguments)>;

class InterceptionTable {
  public:
    static InterceptionTable& shared();

    struct Installation {
        // The implementation replaced; empty when the class had none and the
        // replacement was added.
        Implementation kept;
        bool added = false;
        // False when `installKey` had already installed this selector.
        bool installed = false;
    };
    // Wraps `selector` of the class of `exemplar`.
    Installation install(const Responder& exemplar, const std::string& selector,
                         const std::string& installKey, Implementation replacement) EXCLUDES(mutex_);

    // Whether instances of the class answer `selector` (by themselves or by
    // an added implementation).
    bool responds(const Responder& receiver, const std::string& selector) const EXCLUDES(mutex_);

    // Sends a message: the installed implementation when there is one, else
    // the class's own. nullopt when the receiver does not answer.
    std::optional<Value> send(Responder& receiver, const std::string& selector,
                              const Arguments& arguments = {}) const EXCLUDES(mutex_);

    // Removes every installation (tests).
    void reset() EXCLUDES(mutex_);

  private:
    struct Entry {
        Implementation current;
        Implementation kept;
        std::set<std::string> installKeys;
        Installation first;
    };
    mutable Mutex mutex_;
    std::map<std::pair<std::string, std::string>, Entry> entries_ GUARDED_BY(mutex_);
};

}  // namespace plat::appkit
