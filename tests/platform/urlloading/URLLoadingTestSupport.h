// A delegate that records every call as a line of text, answers the waiting
// calls with scripted functions, and lets a test wait (with a generous hang
// guard, never a fixed sleep) for a task to complete or the session to
// become invalid.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/JSONSerialization.h"
#include "platform/urlloading/URLError.h"
#include "platform/urlloading/URLSession.h"
#include "support/LoopbackServer.h"

namespace urltest {

using namespace plat::urlloading;
using plat::Data;
using plat::ErrorPtr;
using plat::InputStream;
using plat::URL;

inline constexpr auto kHangGuard = std::chrono::seconds(30);

inline URL url(const std::string& text) {
    return *URL::URLWithString(text);
}

// The request as the loopback server's /echo saw it.
inline plat::Dictionary echoOf(const std::string& body) {
    auto v = plat::JSONSerialization::JSONObjectWithString(body);
    EXPECT_TRUE(v && v->isDictionary()) << body;
    return v && v->isDictionary() ? *v->asDictionary() : plat::Dictionary();
}

// A header of an /echo answer, "<none>" when it was not sent.
inline std::string echoHeader(const plat::Dictionary& echo, const std::string& name) {
    const auto* headers = echo.find("headers");
    if (!headers || !headers->isDictionary())
        return "<none>";
    for (const auto& [key, value] : *headers->asDictionary()) {
        if (plat::urlloading::equalsIgnoringCase(key, name))
            return *value.asString();
    }
    return "<none>";
}

struct TaskRecord {
    std::vector<std::string> events;
    std::string body;
    ErrorPtr error;
    int completions = 0;
    int64_t bytesSent = 0;
    int64_t bytesWritten = 0;
    std::string downloaded;  // file contents read in didFinishDownloadingToURL
    std::string downloadPath;
    std::shared_ptr<TaskMetrics> metrics;
};

class RecordingDelegate : public URLSessionDelegate {
  public:
    std::function<void(const URLAuthenticationChallenge&, ChallengeCompletion)> onSessionChallenge;
    std::function<void(const URLAuthenticationChallenge&, ChallengeCompletion)> onTaskChallenge;
    std::function<void(const URLRequest&, RedirectCompletion)> onRedirect;
    std::function<void(const HTTPURLResponsePtr&, ResponseCompletion)> onResponse;
    std::function<std::shared_ptr<InputStream>()> onNeedStream;
    std::function<void(URLSessionTask&, const Data&)> onData;  // runs after recording
    std::function<void(URLSessionDownloadTask&, int64_t total)> onWrite;
    std::function<void(const std::shared_ptr<URLSessionDownloadTask>&)> onBecomeDownload;
    std::function<void(const CachedURLResponse&, CacheCompletion)> onWillCache;

    bool implements(Callback c) const override {
        switch (c) {
            case Callback::SessionDidReceiveChallenge:
                return bool(onSessionChallenge);
            case Callback::TaskDidReceiveChallenge:
                return bool(onTaskChallenge);
            case Callback::WillPerformHTTPRedirection:
                return bool(onRedirect);
            case Callback::DidReceiveResponse:
                return bool(onResponse);
            case Callback::WillCacheResponse:
                return bool(onWillCache);
        }
        return false;
    }

    void didBecomeInvalidWithError(URLSession&, const ErrorPtr&) override {
        std::lock_guard lock(mutex_);
        invalid_ = true;
        sessionEvents_.push_back("invalid");
        changed_.notify_all();
    }
    void didReceiveChallenge(URLSession&, const URLAuthenticationChallenge& c,
                             ChallengeCompletion done) override {
        add(0, "session-challenge");
        onSessionChallenge(c, std::move(done));
    }
    void willPerformHTTPRedirection(URLSession&, URLSessionTask& task, const HTTPURLResponsePtr& response,
                                    const URLRequest& next, RedirectCompletion done) override {
        add(task.taskIdentifier(), "redirect " + std::to_string(response->statusCode()));
        onRedirect(next, std::move(done));
    }
    void didReceiveChallenge(URLSession&, URLSessionTask& task, const URLAuthenticationChallenge& c,
                             ChallengeCompletion done) override {
        add(task.taskIdentifier(), "challenge " + std::to_string(c.previousFailureCount));
        onTaskChallenge(c, std::move(done));
    }
    void needNewBodyStream(URLSession&, URLSessionTask& task, BodyStreamCompletion done) override {
        add(task.taskIdentifier(), "need-stream");
        done(onNeedStream ? onNeedStream() : nullptr);
    }
    void readClosedForStreamTask(URLSession&, URLSessionStreamTask& task) override {
        add(task.taskIdentifier(), "read-closed");
    }
    void writeClosedForStreamTask(URLSession&, URLSessionStreamTask& task) override {
        add(task.taskIdentifier(), "write-closed");
    }
    void didSendBodyData(URLSession&, URLSessionTask& task, int64_t, int64_t total, int64_t) override {
        std::lock_guard lock(mutex_);
        records_[task.taskIdentifier()].bytesSent = total;
    }
    void didFinishCollectingMetrics(URLSession&, URLSessionTask& task,
                                    const std::shared_ptr<TaskMetrics>& m) override {
        add(task.taskIdentifier(), "metrics");
        std::lock_guard lock(mutex_);
        records_[task.taskIdentifier()].metrics = m;
    }
    void didCompleteWithError(URLSession&, URLSessionTask& task, const ErrorPtr& error) override {
        std::lock_guard lock(mutex_);
        auto& r = records_[task.taskIdentifier()];
        r.events.push_back("complete");
        r.error = error;
        r.completions++;
        if (invalid_)
            lateCalls_++;
        changed_.notify_all();
    }
    void didReceiveResponse(URLSession&, URLSessionDataTask& task, const HTTPURLResponsePtr& response,
                            ResponseCompletion done) override {
        add(task.taskIdentifier(), "response " + std::to_string(response->statusCode()));
        onResponse(response, std::move(done));
    }
    void didReceiveData(URLSession&, URLSessionDataTask& task, const Data& data) override {
        {
            std::lock_guard lock(mutex_);
            auto& r = records_[task.taskIdentifier()];
            if (r.events.empty() || r.events.back() != "data")
                r.events.push_back("data");
            r.body.append(data.view());
            if (invalid_)
                lateCalls_++;
        }
        if (onData)
            onData(task, data);
    }
    void willCacheResponse(URLSession&, URLSessionDataTask& task, const CachedURLResponse& proposed,
                           CacheCompletion done) override {
        add(task.taskIdentifier(), "will-cache");
        onWillCache(proposed, std::move(done));
    }
    void didBecomeDownloadTask(URLSession&, URLSessionDataTask& task,
                               const std::shared_ptr<URLSessionDownloadTask>& download) override {
        add(task.taskIdentifier(), "became-download");
        if (onBecomeDownload)
            onBecomeDownload(download);
    }
    void didFinishDownloadingToURL(URLSession&, URLSessionDownloadTask& task, const URL& location) override {
        std::string contents;
        if (FILE* f = std::fopen(location.path().c_str(), "rb")) {
            char buffer[65536];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                contents.append(buffer, n);
            std::fclose(f);
        }
        std::lock_guard lock(mutex_);
        auto& r = records_[task.taskIdentifier()];
        r.events.push_back("finished-download");
        r.downloaded = std::move(contents);
        r.downloadPath = location.path();
    }
    void didWriteData(URLSession&, URLSessionDownloadTask& task, int64_t, int64_t total, int64_t) override {
        {
            std::lock_guard lock(mutex_);
            auto& r = records_[task.taskIdentifier()];
            if (r.events.empty() || r.events.back() != "write")
                r.events.push_back("write");
            r.bytesWritten = total;
            changed_.notify_all();
        }
        if (onWrite)
            onWrite(task, total);
    }
    void didResumeAtOffset(URLSession&, URLSessionDownloadTask& task, int64_t offset, int64_t) override {
        add(task.taskIdentifier(), "resume-at " + std::to_string(offset));
    }

    // Waits until the task has completed; fails the test on the hang guard.
    TaskRecord waitFor(const URLSessionTask& task) {
        std::unique_lock lock(mutex_);
        bool done = changed_.wait_for(lock, kHangGuard,
                                      [&] { return records_[task.taskIdentifier()].completions > 0; });
        EXPECT_TRUE(done) << "task " << task.taskIdentifier() << " did not complete";
        return records_[task.taskIdentifier()];
    }
    // `condition` runs with the delegate's lock held: it may read records_
    // but must not call the other members.
    bool waitUntil(const std::function<bool()>& condition) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kHangGuard, condition);
    }
    bool waitForBytesWritten(const URLSessionTask& task, int64_t n) {
        return waitUntil([&] { return records_[task.taskIdentifier()].bytesWritten >= n; });
    }
    bool waitForInvalid() {
        return waitUntil([&] { return invalid_; });
    }
    TaskRecord record(const URLSessionTask& task) {
        std::lock_guard lock(mutex_);
        return records_[task.taskIdentifier()];
    }
    int lateCalls() {
        std::lock_guard lock(mutex_);
        return lateCalls_;
    }
    void notify() {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }

  private:
    void add(uint64_t id, std::string event) {
        std::lock_guard lock(mutex_);
        if (id)
            records_[id].events.push_back(std::move(event));
        if (invalid_)
            lateCalls_++;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint64_t, TaskRecord> records_;
    std::vector<std::string> sessionEvents_;
    bool invalid_ = false;
    int lateCalls_ = 0;
};

// The last request the loopback server saw (empty when none).
inline testsupport::RecordedRequest lastRequest(const testsupport::LoopbackServer& server) {
    auto all = server.requests();
    return all.empty() ? testsupport::RecordedRequest{} : all.back();
}

// A configuration for loopback tests: no proxy, the test CA trusted, its own
// cookie and credential storages.
inline URLSessionConfiguration testConfiguration(const testsupport::LoopbackServer& server) {
    auto c = URLSessionConfiguration::ephemeralSessionConfiguration();
    c.connectionProxyFromEnvironment = false;
    c.trustedCertificatesFile = server.caFile();
    return c;
}

// Blocks until a completion-handler task has finished.
struct Completion {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int calls = 0;
    std::optional<Data> data;
    HTTPURLResponsePtr response;
    ErrorPtr error;

    DataTaskCompletion handler() {
        return [this](std::optional<Data> d, HTTPURLResponsePtr r, ErrorPtr e) {
            std::lock_guard lock(mutex);
            data = std::move(d);
            response = std::move(r);
            error = std::move(e);
            done = true;
            calls++;
            cv.notify_all();
        };
    }
    bool wait() {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, kHangGuard, [&] { return done; });
    }
    std::string body() const { return data ? data->toString() : std::string(); }
    // Runs a data task for the request (or address) and waits for it; false
    // when it did not complete in time.
    bool run(URLSession& session, const URLRequest& request) {
        session.dataTaskWithRequest(request, handler())->resume();
        return wait();
    }
    bool run(URLSession& session, const std::string& address) {
        return run(session, URLRequest(url(address)));
    }
};

}  // namespace urltest
