#include "platform/foundation/Object.h"

#include <cstdio>
#include <functional>

namespace plat {

std::string Object::description() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, ": %p>", static_cast<const void*>(this));
    // Appended piecewise: gcc 12 at -O3 warns falsely on the chained form.
    std::string out = "<";
    out += className();
    out += buf;
    return out;
}

std::size_t Object::hash() const {
    return std::hash<const void*>()(this);
}

}  // namespace plat
