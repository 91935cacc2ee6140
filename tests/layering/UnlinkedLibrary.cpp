// A public header of a library the target does not link.
#include "platform/foundation/Value.h"
