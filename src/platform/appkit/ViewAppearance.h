// View-controller appearance hooks: a UI layer calls viewWillAppear with the
// controller's class name (a module prefix such as "MyApp.MainController" is
// kept as given) and services observe the calls.
//
// Threads: any thread; observers run on the calling thread, outside the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/foundation/Mutex.h"

namespace plat::appkit {

class ViewAppearance {
  public:
    using Observer = std::function<void(const std::string& className)>;
    using Token = uint64_t;

    static Token addObserver(Observer observer);
    static void removeObserver(Token token);
    static void viewWillAppear(const std::string& className);
};

}  // namespace plat::appkit
