// Requests through the HTTP client library against libcurl's multi interface
// used directly, on the same loopback server in the same run:
//   SmallGets/*  10,000 GETs of 64 bytes, 8 in flight (items per second);
//                the library's requests each carry a data response
//                serializer whose completion starts the next request.
// After the runs the ratio library/libcurl is printed.
//   SmallGets_Alternating  the same GETs, both ways in turn within one run:
//                slices of 500 requests, the library's and libcurl's
//                alternating (which goes first changes every pair), each
//                slice timed on its own (each side on a loopback server
//                of its own); counters "library/s", "libcurl/s"
//                and "library/libcurl" from the summed times, and
//                "pairs_median", the median of each pair's ratio. A busy machine
//                changes speed from second to second: slices this short
//                put both sides under the same load, where the two runs
//                above, one after the other, may each meet another.
// The small-GET runs also report what the whole process (server included)
// spent per request: CPU time ("cpu_us/req") and context switches
// ("switches/req"), steadier than the rate on a busy machine. The
// alternating run also reports the CPU time of the one thread each side
// drives its transfers on, per request: the library's network threads
// ("url-session") and the thread running libcurl's loop
// ("library_loop_us/req", "libcurl_loop_us/req"; a library slice whose
// network thread ended meanwhile, the loop having moved to another, is left
// out of its figure), and how many such slices there were ("loop_moves").
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

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

// The alternating run's second server: each side keeps its connections open
// between its slices, and a server's workers each wait on one connection, so
// the two sides sharing one server would leave it no worker for the side
// whose turn it is until the other's idle connections time out.
testsupport::LoopbackServer& peerServer() {
    static testsupport::LoopbackServer s;
    return s;
}

// CPU time of a thread of this process, from its thread id: the kernel's
// per-thread clock (CPUCLOCK_SCHED of the thread, as pthread_getcpuclockid
// would make it for a pthread_t), in seconds; negative once the thread has
// ended.
double threadCpuSeconds(pid_t tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
    timespec t{};
    if (::clock_gettime(clock, &t) != 0)
        return -1;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The CPU time of each live thread of this process named `name`, by id.
std::map<pid_t, double> namedThreadsCpu(const char* name) {
    std::map<pid_t, double> found;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return found;
    while (dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string comm = std::string("/proc/self/task/") + entry->d_name + "/comm";
        char text[32] = {};
        if (FILE* f = std::fopen(comm.c_str(), "r")) {
            if (!std::fgets(text, sizeof text, f))
                text[0] = 0;
            std::fclose(f);
        }
        text[std::strcspn(text, "\n")] = 0;
        if (std::strcmp(text, name) != 0)
            continue;
        const auto tid = static_cast<pid_t>(std::atoi(entry->d_name));
        const double cpu = threadCpuSeconds(tid);
        if (cpu >= 0)
            found[tid] = cpu;
    }
    ::closedir(tasks);
    return found;
}

double callingThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
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

// A manager for the runs: kInFlight connections, no proxy.
std::shared_ptr<SessionManager> benchManager() {
    auto configuration = plat::urlloading::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.connectionProxyFromEnvironment = false;
    configuration.httpMaximumConnectionsPerHost = kInFlight;
    return SessionManager::create(configuration);
}

void SmallGets_Library(benchmark::State& state) {
    auto manager = benchManager();
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

void SmallGets_Alternating(benchmark::State& state) {
    constexpr int kSlice = 500;
    auto manager = benchManager();
    const auto url = *plat::URL::URLWithString(server().url("/bytes/64"));
    const auto queue = plat::dispatch::Queue::serial("bench.completion");
    benchsupport::CurlGetLoop loop(peerServer().url("/bytes/64"), kInFlight);
    libraryGets(*manager, url, queue, kWarmUp);
    loop.run(kWarmUp);
    using Clock = std::chrono::steady_clock;
    Clock::duration library{}, curl{};
    bool libraryFirst = true;
    // Each pair's ratio too: a burst of load that slows one slice moves the
    // median of the pairs less than the summed times.
    std::vector<double> pairRatios;
    auto timed = [](Clock::duration& total, const std::function<int()>& slice) {
        const auto start = Clock::now();
        const int failed = slice();
        const auto spent = Clock::now() - start;
        total += spent;
        return std::make_pair(failed, std::chrono::duration<double>(spent).count());
    };
    // The threads that drive each side's transfers: CPU spent over the
    // slices, and the requests it counts.
    double libraryLoopCpu = 0, curlLoopCpu = 0;
    int libraryLoopRequests = 0, curlLoopRequests = 0, loopMoves = 0;
    for (auto _ : state) {
        for (int done = 0; done < kRequests; done += kSlice) {
            // The threads' clocks are read outside the timed slices.
            std::map<pid_t, double> loopBefore;
            auto ours = [&] { return libraryGets(*manager, url, queue, kSlice); };
            auto theirs = [&] { return loop.run(kSlice); };
            auto libraryLoopSpent = [&] {
                double spent = 0;
                bool moved = false;
                for (const auto& [tid, cpu] : loopBefore) {
                    const double now = threadCpuSeconds(tid);
                    moved |= now < 0;
                    spent += now - cpu;
                }
                for (const auto& [tid, cpu] : namedThreadsCpu("url-session"))
                    spent += loopBefore.count(tid) ? 0 : cpu;
                if (moved) {
                    loopMoves++;
                } else {
                    libraryLoopCpu += spent;
                    libraryLoopRequests += kSlice;
                }
            };
            auto timedOurs = [&] {
                loopBefore = namedThreadsCpu("url-session");
                auto result = timed(library, ours);
                libraryLoopSpent();
                return result;
            };
            auto timedTheirs = [&] {
                const double before = callingThreadCpuSeconds();
                auto result = timed(curl, theirs);
                curlLoopCpu += callingThreadCpuSeconds() - before;
                curlLoopRequests += kSlice;
                return result;
            };
            std::pair<int, double> a, b;
            if (libraryFirst) {
                a = timedOurs();
                b = timedTheirs();
            } else {
                b = timedTheirs();
                a = timedOurs();
            }
            libraryFirst = !libraryFirst;
            if (a.first + b.first) {
                state.SkipWithError("requests failed");
                return;
            }
            pairRatios.push_back(b.second / a.second);  // library rate / libcurl rate
        }
    }
    const double requests = static_cast<double>(state.iterations()) * kRequests;
    const double libraryRate = requests / std::chrono::duration<double>(library).count();
    const double curlRate = requests / std::chrono::duration<double>(curl).count();
    std::sort(pairRatios.begin(), pairRatios.end());
    state.counters["library/s"] = libraryRate;
    state.counters["libcurl/s"] = curlRate;
    state.counters["pairs_median"] = pairRatios[pairRatios.size() / 2];
    state.counters["library/libcurl"] = libraryRate / curlRate;
    if (libraryLoopRequests)
        state.counters["library_loop_us/req"] = libraryLoopCpu * 1e6 / libraryLoopRequests;
    state.counters["libcurl_loop_us/req"] = curlLoopCpu * 1e6 / curlLoopRequests;
    state.counters["loop_moves"] = loopMoves;
}

}  // namespace

BENCHMARK(SmallGets_Library)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(SmallGets_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(SmallGets_Alternating)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    benchsupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios("SmallGets_Library", "SmallGets_Curl", "library / libcurl");
    benchmark::Shutdown();
    return 0;
}
