#include "httpclient/Timeline.h"

#include <cstdio>

#include "platform/foundation/Date.h"

namespace httpclient {

namespace {

std::string number(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", v);
    return buffer;
}

std::string part(const char* caption, double v, bool secs) {
    return std::string("\"") + caption + "\": " + number(v) + (secs ? " secs" : "");
}

std::string durations(const Timeline& t) {
    return part("Latency", t.latency, true) + ", " + part("Request Duration", t.requestDuration, true) +
           ", " + part("Serialization Duration", t.serializationDuration, true) + ", " +
           part("Total Duration", t.totalDuration, true);
}

}  // namespace

Timeline::Timeline(double start, double initial, double completed, double serialized)
    : requestStartTime(start),
      initialResponseTime(initial),
      requestCompletedTime(completed),
      serializationCompletedTime(serialized),
      latency(initial - start),
      requestDuration(completed - start),
      serializationDuration(serialized - completed),
      totalDuration(serialized - start) {}

std::string Timeline::description() const {
    return "Timeline: { " + durations(*this) + " }";
}

std::string Timeline::debugDescription() const {
    return "Timeline: { " + part("Request Start Time", requestStartTime, false) + ", " +
           part("Initial Response Time", initialResponseTime, false) + ", " +
           part("Request Completed Time", requestCompletedTime, false) + ", " +
           part("Serialization Completed Time", serializationCompletedTime, false) + ", " + durations(*this) +
           " }";
}

double absoluteTimeNow() {
    return plat::Date::now().timeIntervalSinceReferenceDate();
}

}  // namespace httpclient
