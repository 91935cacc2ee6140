// UUIDObject is header-only; this file keeps the library's archiving
// registration in at least one translation unit of its own.
#include "platform/foundation/UUIDObject.h"
