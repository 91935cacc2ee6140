#include "support/CurlPeer.h"

#include <curl/curl.h>
#include <sys/resource.h>

#include <cstdio>

namespace benchsupport {

namespace {

size_t countBytes(char*, size_t size, size_t count, void* user) {
    *static_cast<size_t*>(user) += size * count;
    return size * count;
}

}  // namespace

CurlGetLoop::CurlGetLoop(const std::string& url, int inFlight)
    : multi_(curl_multi_init()), handles_(inFlight), received_(inFlight) {
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(inFlight));
    for (int i = 0; i < inFlight; ++i) {
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, countBytes);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received_[i]);
        handles_[i] = easy;
    }
}

CurlGetLoop::~CurlGetLoop() {
    for (void* h : handles_)
        curl_easy_cleanup(h);
    curl_multi_cleanup(multi_);
}

int CurlGetLoop::run(int requests) {
    const int inFlight = static_cast<int>(handles_.size());
    int started = 0, finished = 0, failed = 0;
    for (; started < inFlight && started < requests; ++started)
        curl_multi_add_handle(multi_, handles_[started]);
    while (finished < started) {
        int running = 0;
        curl_multi_perform(multi_, &running);
        int left = 0;
        bool added = false;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            CURL* easy = msg->easy_handle;
            failed += msg->data.result != CURLE_OK;
            finished++;
            curl_multi_remove_handle(multi_, easy);
            if (started < requests) {
                started++;
                curl_multi_add_handle(multi_, easy);
                added = true;
            }
        }
        // Start what was just added before waiting for sockets.
        if (!added && finished < started)
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
    return failed;
}

namespace {

void usage(double& cpuSeconds, long& switches) {
    rusage u{};
    if (::getrusage(RUSAGE_SELF, &u) != 0) {
        cpuSeconds = 0;
        switches = 0;
        return;
    }
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    cpuSeconds = seconds(u.ru_utime) + seconds(u.ru_stime);
    switches = u.ru_nvcsw + u.ru_nivcsw;
}

}  // namespace

void ProcessCost::start() {
    usage(cpuSeconds_, switches_);
}

void ProcessCost::report(benchmark::State& state, int64_t requests) const {
    double cpu = 0;
    long switches = 0;
    usage(cpu, switches);
    if (requests <= 0)
        return;
    state.counters["cpu_us/req"] = (cpu - cpuSeconds_) * 1e6 / static_cast<double>(requests);
    state.counters["switches/req"] =
        static_cast<double>(switches - switches_) / static_cast<double>(requests);
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
        auto it = run.counters.find("items_per_second");
        if (it == run.counters.end())
            it = run.counters.find("bytes_per_second");
        if (it != run.counters.end())
            rates_[run.benchmark_name()] = it->second.value;
    }
}

void RatioReporter::printRatios(const std::string& ours, const std::string& theirs,
                                const std::string& label) const {
    for (const auto& [name, rate] : rates_) {
        if (name.rfind(ours, 0) != 0 || name.find("_stddev") != std::string::npos ||
            name.find("_cv") != std::string::npos)
            continue;
        auto other = rates_.find(theirs + name.substr(ours.size()));
        if (other != rates_.end() && other->second > 0)
            std::printf("%s: %s = %.3f\n", name.c_str(), label.c_str(), rate / other->second);
    }
}

}  // namespace benchsupport
