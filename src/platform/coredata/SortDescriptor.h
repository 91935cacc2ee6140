// SortDescriptor: one key of an ordering — a key path, a direction, and
// whether strings compare without regard to case.
//
// Values order as the platform orders them: nil first (ascending), numbers by
// value, strings by code point, dates by time; values that cannot be compared
// count as equal, so a stable sort keeps their order.
#pragma once

#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace plat::coredata {

class SortDescriptor {
  public:
    explicit SortDescriptor(std::string keyPath, bool ascending = true, bool caseInsensitive = false);

    const std::string& key() const { return keyPath_; }
    const std::vector<std::string>& keyPathComponents() const { return components_; }
    bool ascending() const { return ascending_; }
    bool caseInsensitive() const { return caseInsensitive_; }

    // -1, 0 or 1 for two objects, by the value at the key path of each.
    int compareObjects(const Value& a, const Value& b) const;
    // The same for two values already read from the key path.
    int compareValues(const Value& a, const Value& b) const;

  private:
    std::string keyPath_;
    std::vector<std::string> components_;
    bool ascending_;
    bool caseInsensitive_;
};

// Stable-sorts objects by the descriptors, first descriptor first.
void sortObjects(std::vector<Value>& objects, const std::vector<SortDescriptor>& descriptors);

}  // namespace plat::coredata
