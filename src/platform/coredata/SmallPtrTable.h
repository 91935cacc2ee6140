// The object store's names for the foundation's small pointer map (see
// platform/foundation/SmallPtrMap.h): a to-many relationship's member set
// and its added and removed maps keep their first entries inline.
#pragma once

#include <cstddef>

#include "platform/foundation/SmallPtrMap.h"

namespace plat::coredata::detail {

using Unit = plat::SmallPtrSetUnit;

template <class K, class V, std::size_t N = 4>
using SmallPtrTable = plat::SmallPtrMap<K, V, N>;

template <class K, std::size_t N = 4>
using SmallPtrSet = plat::SmallPtrSet<K, N>;

}  // namespace plat::coredata::detail
