#include "beacon/core/detail/BEACNow.h"

#include <memory>
#include <mutex>

namespace beac::detail {
namespace {
std::mutex mutex;
std::shared_ptr<const std::function<plat::Date()>> source;
}  // namespace

plat::Date now() {
    std::shared_ptr<const std::function<plat::Date()>> current;
    {
        std::lock_guard lock(mutex);
        current = source;
    }
    return current ? (*current)() : plat::Date::now();
}

void setNowSource(std::function<plat::Date()> replacement) {
    auto next =
        replacement ? std::make_shared<const std::function<plat::Date()>>(std::move(replacement)) : nullptr;
    std::lock_guard lock(mutex);
    source = std::move(next);
}

}  // namespace beac::detail
