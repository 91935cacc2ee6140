// URL loading against libcurl's multi interface used directly, on the same
// loopback server in the same run:
//   SmallGets/*  10,000 GETs of 64 bytes, 8 in flight (items per second)
//   Download/*   one download of KP_BENCH_DOWNLOAD_MB megabytes (default
//                256; 1024 for the full gigabyte) written to a file
// After the runs the ratios session/libcurl are printed.
// The small-GET runs also report what the whole process (server included)
// spent per request: CPU time ("cpu_us/req") and context switches
// ("switches/req"), steadier than the rate on a busy machine.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>

#include "platform/foundation/FileManager.h"
#include "platform/urlloading/URLSession.h"
#include "support/CurlPeer.h"
#include "support/LoopbackServer.h"

using namespace plat::urlloading;

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

size_t downloadBytes() {
    const char* mb = std::getenv("KP_BENCH_DOWNLOAD_MB");
    return static_cast<size_t>(mb ? std::atol(mb) : 256) << 20;
}

std::string downloadURL() {
    return server().url("/bytes/" + std::to_string(downloadBytes()) + "?chunk=262144");
}

URLSessionConfiguration configuration() {
    auto c = URLSessionConfiguration::ephemeralSessionConfiguration();
    c.connectionProxyFromEnvironment = false;
    c.httpMaximumConnectionsPerHost = kInFlight;
    return c;
}

// `requests` GETs, kInFlight at a time: each completion starts the next.
// Returns how many failed.
int sessionGets(URLSession& session, const plat::URL& url, int requests) {
    std::mutex m;
    std::condition_variable cv;
    int started = 0, finished = 0, failed = 0;
    std::function<void()> startOne;
    startOne = [&] {
        session
            .dataTaskWithRequest(
                URLRequest(url),
                [&](std::optional<plat::Data> data, HTTPURLResponsePtr, plat::ErrorPtr error) {
                    std::lock_guard lock(m);
                    failed += error || !data || data->length() != 64;
                    finished++;
                    if (started < requests) {
                        started++;
                        startOne();
                    }
                    // Only the last one wakes the waiting thread: a wake-up per
                    // request would charge the library for the benchmark's own waiting.
                    if (finished == requests)
                        cv.notify_all();
                })
            ->resume();
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

void SmallGets_Session(benchmark::State& state) {
    auto session = URLSession::sessionWithConfiguration(configuration());
    const auto url = *plat::URL::URLWithString(server().url("/bytes/64"));
    // Connections are opened before the clock runs, as the peer's are.
    sessionGets(*session, url, kWarmUp);
    benchsupport::ProcessCost cost;
    cost.start();
    for (auto _ : state) {
        if (sessionGets(*session, url, kRequests))
            state.SkipWithError("requests failed");
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
    cost.report(state, state.iterations() * kRequests);
    session->invalidateAndCancel();
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

void Download_Session(benchmark::State& state) {
    auto session = URLSession::sessionWithConfiguration(configuration());
    const auto url = *plat::URL::URLWithString(downloadURL());
    for (auto _ : state) {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        plat::ErrorPtr failure;
        auto task = session->downloadTaskWithRequest(
            URLRequest(url), [&](std::optional<plat::URL>, HTTPURLResponsePtr, plat::ErrorPtr e) {
                std::lock_guard lock(m);
                failure = e;
                done = true;
                cv.notify_all();
            });
        task->resume();
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
        if (failure || task->countOfBytesReceived() != static_cast<int64_t>(downloadBytes())) {
            state.SkipWithError("download failed");
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(downloadBytes()));
    session->invalidateAndCancel();
}

size_t writeToFile(char* data, size_t size, size_t count, void* user) {
    int fd = *static_cast<int*>(user);
    size_t n = size * count;
    for (size_t done = 0; done < n;) {
        ssize_t w = ::write(fd, data + done, n - done);
        if (w <= 0)
            return 0;
        done += static_cast<size_t>(w);
    }
    return n;
}

void Download_Curl(benchmark::State& state) {
    CURLM* multi = curl_multi_init();
    const std::string url = downloadURL();
    const std::string path =
        plat::FileManager::defaultManager().temporaryDirectory() + "/curl-bench-download";
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &fd);
        curl_multi_add_handle(multi, easy);
        int running = 1;
        while (running) {
            curl_multi_perform(multi, &running);
            if (running)
                curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        int left = 0;
        CURLMsg* msg = curl_multi_info_read(multi, &left);
        if (!msg || msg->data.result != CURLE_OK)
            state.SkipWithError("download failed");
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
        ::close(fd);
        ::unlink(path.c_str());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(downloadBytes()));
    curl_multi_cleanup(multi);
}

}  // namespace

BENCHMARK(SmallGets_Session)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(SmallGets_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(Download_Session)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(Download_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    benchsupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios("SmallGets_Session", "SmallGets_Curl", "session / libcurl");
    reporter.printRatios("Download_Session", "Download_Curl", "session / libcurl");
    std::printf("download size: %zu MB\n", downloadBytes() >> 20);
    benchmark::Shutdown();
    return 0;
}
