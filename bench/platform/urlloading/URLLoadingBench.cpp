// URL loading against libcurl's multi interface used directly, on the same
// loopback server in the same run:
//   SmallGets/*  10,000 GETs of 64 bytes, 8 in flight (items per second)
//   Download/*   one download of KP_BENCH_DOWNLOAD_MB megabytes (default
//                256; 1024 for the full gigabyte) written to a file
// After the runs the ratios session/libcurl are printed.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/foundation/FileManager.h"
#include "platform/urlloading/URLSession.h"
#include "support/LoopbackServer.h"

using namespace plat::urlloading;

namespace {

constexpr int kRequests = 10000;
constexpr int kInFlight = 8;

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

void SmallGets_Session(benchmark::State& state) {
    auto session = URLSession::sessionWithConfiguration(configuration());
    const auto url = *plat::URL::URLWithString(server().url("/bytes/64"));
    for (auto _ : state) {
        std::mutex m;
        std::condition_variable cv;
        int started = 0, finished = 0, failed = 0;
        std::function<void()> startOne;
        startOne = [&] {
            session
                ->dataTaskWithRequest(
                    URLRequest(url),
                    [&](std::optional<plat::Data> data, HTTPURLResponsePtr, plat::ErrorPtr error) {
                        std::lock_guard lock(m);
                        failed += error || !data || data->length() != 64;
                        finished++;
                        if (started < kRequests) {
                            started++;
                            startOne();
                        }
                        cv.notify_all();
                    })
                ->resume();
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
    session->invalidateAndCancel();
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
        curl_easy_setopt(handles[i], CURLOPT_PRIVATE, &received[i]);
    }
    for (auto _ : state) {
        int started = 0, finished = 0, failed = 0;
        for (; started < kInFlight; ++started)
            curl_multi_add_handle(multi, handles[started]);
        bool added = false;
        while (finished < kRequests) {
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            added = false;
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
            // Start what was just added before waiting for sockets.
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

// Keeps each run's rate so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            auto it = run.counters.find("items_per_second");
            if (it == run.counters.end())
                it = run.counters.find("bytes_per_second");
            if (it != run.counters.end())
                rates[run.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> rates;
};

}  // namespace

BENCHMARK(SmallGets_Session)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(SmallGets_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(Download_Session)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(Download_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Pairs runs whose names differ only in the prefix (same aggregate).
    auto ratio = [&](const std::string& ours, const std::string& theirs) {
        for (const auto& [name, rate] : reporter.rates) {
            if (name.rfind(ours, 0) != 0)
                continue;
            auto other = reporter.rates.find(theirs + name.substr(ours.size()));
            if (other != reporter.rates.end() && other->second > 0) {
                std::printf("%s: session / libcurl = %.3f\n", name.c_str(), rate / other->second);
            }
        }
    };
    ratio("SmallGets_Session", "SmallGets_Curl");
    ratio("Download_Session", "Download_Curl");
    std::printf("download size: %zu MB\n", downloadBytes() >> 20);
    benchmark::Shutdown();
    return 0;
}
