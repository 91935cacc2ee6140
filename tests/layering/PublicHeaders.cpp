// Public headers of the linked library and of the libraries its headers use.
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Value.h"
