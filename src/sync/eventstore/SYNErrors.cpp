#include "sync/eventstore/SYNErrors.h"

plat::ErrorPtr SYNMakeError(int64_t code, const std::string& description) {
    if (description.empty()) {
        return plat::Error::make(SYNErrorDomain, code);
    }
    return plat::Error::withDescription(SYNErrorDomain, code, description);
}

bool SYNErrorHasCode(const plat::ErrorPtr& error, int64_t code) {
    return error && error->domain() == SYNErrorDomain && error->code() == code;
}
