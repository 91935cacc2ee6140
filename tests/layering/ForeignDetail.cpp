// Another library's detail header, although that library is linked.
#include "platform/dispatch/detail/ThreadPool.h"
