#include "platform/coredata/SortDescriptor.h"

#include <algorithm>
#include <numeric>

#include "platform/coredata/KeyValueCoding.h"
#include "platform/foundation/Text.h"

namespace plat::coredata {

SortDescriptor::SortDescriptor(std::string keyPath, bool ascending, bool caseInsensitive)
    : keyPath_(std::move(keyPath)),
      components_(splitKeyPath(keyPath_)),
      ascending_(ascending),
      caseInsensitive_(caseInsensitive) {}

int SortDescriptor::compareValues(const Value& a, const Value& b) const {
    int c = 0;
    if (a.isNull() || b.isNull()) {
        c = a.isNull() == b.isNull() ? 0 : (a.isNull() ? -1 : 1);
    } else if (caseInsensitive_ && a.isString() && b.isString()) {
        c = text::caseInsensitiveCompare(*a.asString(), *b.asString());
        c = c < 0 ? -1 : (c > 0 ? 1 : 0);
    } else {
        c = a.compare(b).value_or(0);
    }
    return ascending_ ? c : -c;
}

int SortDescriptor::compareObjects(const Value& a, const Value& b) const {
    return compareValues(valueForKeyPath(a, components_), valueForKeyPath(b, components_));
}

void sortObjects(std::vector<Value>& objects, const std::vector<SortDescriptor>& descriptors) {
    if (descriptors.empty() || objects.size() < 2)
        return;
    // Read every key once, then sort positions: key paths may fire faults.
    std::vector<std::vector<Value>> keys(objects.size());
    for (std::size_t i = 0; i < objects.size(); ++i) {
        keys[i].reserve(descriptors.size());
        for (const auto& d : descriptors)
            keys[i].push_back(valueForKeyPath(objects[i], d.keyPathComponents()));
    }
    std::vector<std::size_t> order(objects.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        for (std::size_t d = 0; d < descriptors.size(); ++d) {
            int c = descriptors[d].compareValues(keys[x][d], keys[y][d]);
            if (c)
                return c < 0;
        }
        return false;
    });
    std::vector<Value> sorted;
    sorted.reserve(objects.size());
    for (std::size_t i : order)
        sorted.push_back(std::move(objects[i]));
    objects = std::move(sorted);
}

}  // namespace plat::coredata
