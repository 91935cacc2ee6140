// The object store's UUID attribute values are foundation's UUIDObject
// (keyed-archivable as "NSUUID"); this name is kept for the store's code.
#pragma once

#include "platform/foundation/UUIDObject.h"

namespace plat::coredata {
using plat::UUIDObject;
}  // namespace plat::coredata
