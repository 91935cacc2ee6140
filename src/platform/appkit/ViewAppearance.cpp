#include "platform/appkit/ViewAppearance.h"

#include <vector>

namespace plat::appkit {
namespace {

struct Observers {
    Mutex mutex;
    ViewAppearance::Token next GUARDED_BY(mutex) = 1;
    std::map<ViewAppearance::Token, ViewAppearance::Observer> observers GUARDED_BY(mutex);
};

Observers& observers() {
    static Observers* shared = new Observers;
    return *shared;
}

}  // namespace

ViewAppearance::Token ViewAppearance::addObserver(Observer observer) {
    auto& o = observers();
    MutexLock lock(o.mutex);
    Token token = o.next++;
    o.observers.emplace(token, std::move(observer));
    return token;
}

void ViewAppearance::removeObserver(Token token) {
    auto& o = observers();
    MutexLock lock(o.mutex);
    o.observers.erase(token);
}

void ViewAppearance::viewWillAppear(const std::string& className) {
    std::vector<Observer> copy;
    {
        auto& o = observers();
        MutexLock lock(o.mutex);
        for (const auto& [token, observer] : o.observers)
            copy.push_back(observer);
    }
    for (const auto& observer : copy)
        observer(className);
}

}  // namespace plat::appkit
