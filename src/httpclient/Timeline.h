// Timeline: when a request started, first heard back, completed and was
// serialised (absolute times, seconds since the reference date), and the
// four durations that follow.
#pragma once

#include <string>

namespace httpclient {

struct Timeline {
    Timeline(double requestStartTime = 0, double initialResponseTime = 0, double requestCompletedTime = 0,
             double serializationCompletedTime = 0);

    double requestStartTime;
    double initialResponseTime;
    double requestCompletedTime;
    double serializationCompletedTime;
    double latency;
    double requestDuration;
    double serializationDuration;
    double totalDuration;

    std::string description() const;
    std::string debugDescription() const;
};

// The current absolute time (the platform's reference-date seconds).
double absoluteTimeNow();

}  // namespace httpclient
