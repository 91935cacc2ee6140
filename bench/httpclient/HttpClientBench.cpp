// Requests through the HTTP client library against libcurl's multi interface
// used directly, on the same loopback server in the same run:
//   SmallGets/*  10,000 GETs of 64 bytes, 8 in flight (items per second);
//                the library's requests each carry a data response
//                serializer whose completion starts the next request.
// After the runs the ratio library/libcurl is printed.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>

#include "httpclient/SessionManager.h"
#include "support/LoopbackServer.h"

using namespace httpclient;

namespace {

constexpr int kRequests = 10000;
constexpr int kInFlight = 8;

testsupport::LoopbackServer& server() {
    static testsupport::LoopbackServer s;
    return s;
}

void SmallGets_Library(benchmark::State& state) {
    auto configuration = plat::urlloading::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.connectionProxyFromEnvironment = false;
    configuration.httpMaximumConnectionsPerHost = kInFlight;
    auto manager = SessionManager::create(configuration);
    const auto url = *plat::URL::URLWithString(server().url("/bytes/64"));
    const auto queue = plat::dispatch::Queue::serial("bench.completion");
    for (auto _ : state) {
        std::mutex m;
        std::condition_variable cv;
        int started = 0, finished = 0, failed = 0;
        std::function<void()> startOne;
        startOne = [&] {
            manager->request(URLRequest(url))
                ->responseData(
                    [&](const DataResponse<plat::Data>& r) {
                        std::lock_guard lock(m);
                        failed += !r.value() || r.value()->length() != 64;
                        finished++;
                        if (started < kRequests) {
                            started++;
                            startOne();
                        }
                        cv.notify_all();
                    },
                    queue);
        };
        {
            std::lock_guard lock(m);
            for (; started < kInFlight; ++started)
                startOne();
        }
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return finished == kRequests; });
        if (failed)
            state.SkipWithError("requests failed");
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
}

size_t countBytes(char*, size_t size, size_t count, void* user) {
    *static_cast<size_t*>(user) += size * count;
    return size * count;
}

void SmallGets_Curl(benchmark::State& state) {
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(kInFlight));
    const std::string url = server().url("/bytes/64");
    std::vector<CURL*> handles(kInFlight);
    std::vector<size_t> received(kInFlight);
    for (int i = 0; i < kInFlight; ++i) {
        handles[i] = curl_easy_init();
        curl_easy_setopt(handles[i], CURLOPT_URL, url.c_str());
        curl_easy_setopt(handles[i], CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handles[i], CURLOPT_NOPROXY, "*");
        curl_easy_setopt(handles[i], CURLOPT_WRITEFUNCTION, countBytes);
        curl_easy_setopt(handles[i], CURLOPT_WRITEDATA, &received[i]);
    }
    for (auto _ : state) {
        int started = 0, finished = 0, failed = 0;
        for (; started < kInFlight; ++started)
            curl_multi_add_handle(multi, handles[started]);
        while (finished < kRequests) {
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            bool added = false;
            while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
                if (msg->msg != CURLMSG_DONE)
                    continue;
                CURL* easy = msg->easy_handle;
                failed += msg->data.result != CURLE_OK;
                finished++;
                curl_multi_remove_handle(multi, easy);
                if (started < kRequests) {
                    started++;
                    curl_multi_add_handle(multi, easy);
                    added = true;
                }
            }
            if (!added)
                curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        if (failed)
            state.SkipWithError("requests failed");
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
    for (auto* h : handles)
        curl_easy_cleanup(h);
    curl_multi_cleanup(multi);
}

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end())
                rates[run.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> rates;
};

}  // namespace

BENCHMARK(SmallGets_Library)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(SmallGets_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto& [name, rate] : reporter.rates) {
        if (name.rfind("SmallGets_Library", 0) != 0 || name.find("_stddev") != std::string::npos ||
            name.find("_cv") != std::string::npos)
            continue;
        auto other = reporter.rates.find("SmallGets_Curl" + name.substr(17));
        if (other != reporter.rates.end() && other->second > 0)
            std::printf("%s: library / libcurl = %.3f\n", name.c_str(), rate / other->second);
    }
    benchmark::Shutdown();
    return 0;
}
