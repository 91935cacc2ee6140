#include "beacon/crashes/BEACErrorReport.h"

#include "platform/foundation/Text.h"

bool BEACErrorReport::isAppKill() const {
    return signal_ && plat::text::uppercaseString(*signal_) == "SIGKILL";
}
