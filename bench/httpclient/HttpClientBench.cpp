// Requests through the HTTP client library against libcurl's multi interface
// used directly, on the same loopback server in the same run:
//   SmallGets/*  10,000 GETs of 64 bytes, 8 in flight (items per second);
//                the library's requests each carry a data response
//                serializer whose completion starts the next request.
// After the runs the ratio library/libcurl is printed.
// The small-GET runs also report what the whole process (server included)
// spent per request: CPU time ("cpu_us/req") and context switches
// ("switches/req"), steadier than the rate on a busy machine.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <condition_variable>
#include <functional>
#include <mutex>

#include "httpclient/SessionManager.h"
#include "support/CurlPeer.h"
#include "support/LoopbackServer.h"

using namespace httpclient;

namespace {

constexpr int kRequests = 10000;
constexpr int kInFlight = 8;
// Requests made before timing starts: connecting (a loopback listener with a
// short backlog may drop a SYN, which costs a second) is not what is measured.
constexpr int kWarmUp = 200;

testsupport::LoopbackServer& server() {
    static testsupport::LoopbackServer s;
    return s;
}

// `requests` GETs, kInFlight at a time: each completion starts the next.
// Returns how many failed.
int libraryGets(SessionManager& manager, const plat::URL& url, const plat::dispatch::Queue& queue,
                int requests) {
    std::mutex m;
    std::condition_variable cv;
    int started = 0, finished = 0, failed = 0;
    std::function<void()> startOne;
    startOne = [&] {
        manager.request(URLRequest(url))
            ->responseData(
                [&](const DataResponse<plat::Data>& r) {
                    std::lock_guard lock(m);
                    failed += !r.value() || r.value()->length() != 64;
                    finished++;
                    if (started < requests) {
                        started++;
                        startOne();
                    }
                    // Only the last one wakes the waiting thread: a wake-up per
                    // request would charge the library for the benchmark's own waiting.
                    if (finished == requests)
                        cv.notify_all();
                },
                queue);
    };
    {
        std::lock_guard lock(m);
        for (; started < kInFlight && started < requests; ++started)
            startOne();
    }
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return finished == requests; });
    return failed;
}

void SmallGets_Library(benchmark::State& state) {
    auto configuration = plat::urlloading::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.connectionProxyFromEnvironment = false;
    configuration.httpMaximumConnectionsPerHost = kInFlight;
    auto manager = SessionManager::create(configuration);
    const auto url = *plat::URL::URLWithString(server().url("/bytes/64"));
    const auto queue = plat::dispatch::Queue::serial("bench.completion");
    // Connections are opened before the clock runs, as the peer's are.
    libraryGets(*manager, url, queue, kWarmUp);
    benchsupport::ProcessCost cost;
    cost.start();
    for (auto _ : state) {
        if (libraryGets(*manager, url, queue, kRequests))
            state.SkipWithError("requests failed");
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
    cost.report(state, state.iterations() * kRequests);
}

void SmallGets_Curl(benchmark::State& state) {
    benchsupport::CurlGetLoop loop(server().url("/bytes/64"), kInFlight);
    loop.run(kWarmUp);
    benchsupport::ProcessCost cost;
    cost.start();
    for (auto _ : state) {
        if (loop.run(kRequests))
            state.SkipWithError("requests failed");
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
    cost.report(state, state.iterations() * kRequests);
}

}  // namespace

BENCHMARK(SmallGets_Library)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(SmallGets_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    benchsupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios("SmallGets_Library", "SmallGets_Curl", "library / libcurl");
    benchmark::Shutdown();
    return 0;
}
