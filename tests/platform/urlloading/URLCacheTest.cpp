// Response caching: the session's URL cache in memory and on disk, the
// request's cache policy, Cache-Control, and the delegate's say through
// willCacheResponse.
#include "platform/urlloading/URLCache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/urlloading/URLLoadingTestSupport.h"
#include "support/TempDir.h"

using namespace urltest;
using testsupport::LoopbackServer;

namespace {

int64_t codeOf(const ErrorPtr& error) {
    return error ? error->code() : 0;
}

// A path answered with `body` and, when given, that Cache-Control.
std::string cachedPath(const std::string& name, const std::string& cacheControl) {
    std::string path = "/status/200?type=text/plain&body=" + name;
    if (!cacheControl.empty())
        path += "&header=Cache-Control:" + cacheControl;
    return path;
}

URLRequest requestWith(const std::string& address, URLRequestCachePolicy policy) {
    URLRequest r(url(address));
    r.cachePolicy = policy;
    return r;
}

}  // namespace

TEST(URLCacheSession, CacheControlAndThePolicyDecideWhenTheServerIsAsked) {
    LoopbackServer server;
    auto config = testConfiguration(server);
    config.urlCache = std::make_shared<URLCache>(1 << 20, 0);
    auto session = URLSession::sessionWithConfiguration(config);
    auto fetch = [&](const URLRequest& request) {
        Completion done;
        EXPECT_TRUE(done.run(*session, request));
        return std::make_pair(codeOf(done.error), done.body());
    };
    const auto fresh = server.url(cachedPath("fresh", "max-age%3D600"));
    const auto never = server.url(cachedPath("never", "no-store"));
    const auto stale = server.url(cachedPath("stale", ""));
    using P = URLRequestCachePolicy;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(fetch(URLRequest(url(fresh))), std::make_pair(int64_t(0), std::string("fresh")));
        EXPECT_EQ(fetch(URLRequest(url(never))), std::make_pair(int64_t(0), std::string("never")));
        EXPECT_EQ(fetch(URLRequest(url(stale))), std::make_pair(int64_t(0), std::string("stale")));
    }
    auto served = [&] { return server.requestCount("/status/200"); };
    EXPECT_EQ(served(), 5u);  // the fresh one came from the cache the second time
    // An entry without a lifetime serves only when the request says so.
    EXPECT_EQ(fetch(requestWith(stale, P::ReturnCacheDataElseLoad)).second, "stale");
    EXPECT_EQ(fetch(requestWith(stale, P::ReturnCacheDataDontLoad)).second, "stale");
    EXPECT_EQ(served(), 5u);
    EXPECT_EQ(fetch(requestWith(fresh, P::ReloadIgnoringLocalCacheData)).second, "fresh");
    EXPECT_EQ(served(), 6u);
    // Nothing stored, and the request may not load.
    EXPECT_EQ(fetch(requestWith(never, P::ReturnCacheDataDontLoad)).first, URLErrorResourceUnavailable);
    EXPECT_EQ(served(), 6u);
    // A request's own no-cache goes to the server.
    URLRequest revalidate(url(fresh));
    revalidate.setValue("no-cache", "Cache-Control");
    EXPECT_EQ(fetch(revalidate).second, "fresh");
    EXPECT_EQ(served(), 7u);
    EXPECT_GT(config.urlCache->currentMemoryUsage(), 0);
    session->invalidateAndCancel();
}

TEST(URLCacheSession, TheDelegateMayRefuseOrKeepWhatIsCachedAndCachedAnswersLookLikeTheServers) {
    LoopbackServer server;
    auto config = testConfiguration(server);
    config.urlCache = std::make_shared<URLCache>(1 << 20, 0);
    auto delegate = std::make_shared<RecordingDelegate>();
    bool keep = false;
    delegate->onWillCache = [&](const CachedURLResponse& proposed, CacheCompletion done) {
        EXPECT_EQ(proposed.data.toString(), "body");
        EXPECT_EQ(proposed.response->statusCode(), 200);
        done(keep ? std::optional(proposed) : std::nullopt);
    };
    delegate->onResponse = [](const HTTPURLResponsePtr&, ResponseCompletion done) {
        done(URLSessionResponseDisposition::Allow);
    };
    auto session = URLSession::sessionWithConfiguration(config, delegate);
    const auto address = server.url(cachedPath("body", "max-age%3D600"));
    auto run = [&] {
        auto task = session->dataTaskWithURL(url(address));
        task->resume();
        return delegate->waitFor(*task);
    };
    auto refused = run();
    EXPECT_EQ(refused.events,
              (std::vector<std::string>{"response 200", "data", "will-cache", "metrics", "complete"}));
    keep = true;
    auto kept = run();
    EXPECT_EQ(kept.body, "body");
    EXPECT_EQ(server.requestCount("/status/200"), 2u);  // the refusal kept nothing
    auto cached = run();
    EXPECT_EQ(server.requestCount("/status/200"), 2u);
    EXPECT_EQ(cached.error, nullptr);
    EXPECT_EQ(cached.body, "body");
    EXPECT_EQ(cached.events, (std::vector<std::string>{"response 200", "data", "metrics", "complete"}));
    session->invalidateAndCancel();
}

TEST(URLCacheDisk, EntriesSurviveANewCacheOnTheSameFolderAndDamagedOnesAreIgnored) {
    LoopbackServer server;
    testsupport::TempDir dir;
    const std::string folder = (dir / "cache").string();
    const auto address = server.url(cachedPath("on-disk", "max-age%3D600"));
    auto fetchWith = [&](std::shared_ptr<URLCache> cache) {
        auto config = testConfiguration(server);
        config.urlCache = std::move(cache);
        auto session = URLSession::sessionWithConfiguration(config);
        Completion done;
        EXPECT_TRUE(done.run(*session, address));
        session->invalidateAndCancel();
        return done.body();
    };
    EXPECT_EQ(fetchWith(std::make_shared<URLCache>(0, 1 << 20, folder)), "on-disk");
    EXPECT_EQ(server.requestCount("/status/200"), 1u);
    // Another cache on the folder, as after a restart.
    auto reopened = std::make_shared<URLCache>(0, 1 << 20, folder);
    EXPECT_GT(reopened->currentDiskUsage(), 0);
    EXPECT_EQ(fetchWith(reopened), "on-disk");
    EXPECT_EQ(server.requestCount("/status/200"), 1u);
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        // Damage it: the next cache must not serve it.
        std::ofstream(entry.path(), std::ios::trunc) << "{not json\nbody";
        files++;
    }
    EXPECT_EQ(files, 1);
    EXPECT_EQ(fetchWith(std::make_shared<URLCache>(0, 1 << 20, folder)), "on-disk");
    EXPECT_EQ(server.requestCount("/status/200"), 2u);
}

TEST(URLCacheUnit, OldestEntriesGoBeyondCapacityAndLargeOnesAreNotKept) {
    URLCache cache(40 * 1024, 0);
    auto store = [&](const std::string& name, size_t size) {
        CachedURLResponse c;
        c.response =
            std::make_shared<const HTTPURLResponse>(url("http://h.test/" + name), 200, HTTPHeaderFields());
        c.data = Data(std::string(size, 'x').data(), size);
        cache.storeCachedResponse(c, URLRequest(url("http://h.test/" + name)));
    };
    store("big", 4096);  // more than a twentieth of the capacity
    EXPECT_FALSE(cache.cachedResponseForRequest(URLRequest(url("http://h.test/big"))));
    for (int i = 0; i < 40; ++i)
        store("small" + std::to_string(i), 100);
    EXPECT_LE(cache.currentMemoryUsage(), 40 * 1024);
    EXPECT_FALSE(cache.cachedResponseForRequest(URLRequest(url("http://h.test/small0"))));
    EXPECT_TRUE(cache.cachedResponseForRequest(URLRequest(url("http://h.test/small39"))));
    cache.removeAllCachedResponses();
    EXPECT_EQ(cache.currentMemoryUsage(), 0);
    EXPECT_FALSE(cache.cachedResponseForRequest(URLRequest(url("http://h.test/small39"))));
}
