// The peer the networking benchmarks compare against: libcurl's multi
// interface used directly, and a reporter that prints our rate over the
// peer's for runs whose names differ only in their prefix.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace benchsupport {

// GETs of one URL through one multi handle, with `inFlight` easy handles
// set up once and reused: each finished transfer starts the next at once.
class CurlGetLoop {
  public:
    CurlGetLoop(const std::string& url, int inFlight);
    ~CurlGetLoop();
    CurlGetLoop(const CurlGetLoop&) = delete;
    CurlGetLoop& operator=(const CurlGetLoop&) = delete;

    // Runs `requests` transfers to their end; returns how many failed.
    int run(int requests);

  private:
    void* multi_;
    std::vector<void*> handles_;
    std::vector<size_t> received_;
};

// What the whole process (client, server threads, everything) spent on the
// requests of a run, from getrusage: counters "cpu_us/req" (user + system
// time) and "switches/req" (voluntary and involuntary context switches).
// Steadier than the wall-clock rate on a busy machine: start() before the
// timed loop, report() after it.
class ProcessCost {
  public:
    void start();
    void report(benchmark::State& state, int64_t requests) const;

  private:
    double cpuSeconds_ = 0;
    long switches_ = 0;
};

// Keeps each run's items (else bytes) per second.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override;
    // Prints "<run>: <label> = <ratio>" for every run named `ours...` that has
    // a `theirs...` twin (mean, median and plain runs; not deviations).
    void printRatios(const std::string& ours, const std::string& theirs, const std::string& label) const;

  private:
    std::map<std::string, double> rates_;
};

}  // namespace benchsupport
