// TaskMetrics: timings of one task, one transaction per request sent
// (redirects and authentication retries each add one).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"

namespace plat::urlloading {

struct TransactionMetrics {
    std::optional<URL> requestURL;
    Date fetchStartDate;
    // Seconds from fetch start, as libcurl measures them; 0 when not reached.
    double domainLookupEnd = 0;
    double connectEnd = 0;
    double secureConnectionEnd = 0;
    double requestStart = 0;          // pre-transfer
    double responseStart = 0;         // first byte
    double responseEnd = 0;           // total
    std::string networkProtocolName;  // "http/1.1", "h2"
    bool reusedConnection = false;
    int statusCode = 0;
};

class TaskMetrics : public Object {
  public:
    Date taskIntervalStart;
    double taskIntervalDuration = 0;
    int redirectCount = 0;
    std::vector<TransactionMetrics> transactionMetrics;

    std::string className() const override { return "NSURLSessionTaskMetrics"; }
    std::string description() const override;
};

}  // namespace plat::urlloading
