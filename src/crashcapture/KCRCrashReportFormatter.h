// KCRCrashReportFormatter: turns a decoded crash report into bytes of some
// presentation (see KCRCrashReportTextFormatter for the text one).
#pragma once

#include "crashcapture/KCRCrashReport.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"

class KCRCrashReportFormatter {
  public:
    virtual ~KCRCrashReportFormatter() = default;
    // The formatted report, or an error saying why it could not be formatted.
    virtual plat::Result<plat::Data> formatReport(const KCRCrashReport& report) const = 0;
};
