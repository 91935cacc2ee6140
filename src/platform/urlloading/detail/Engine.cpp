#include "platform/urlloading/detail/Engine.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>
#include <tuple>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/urlloading/URLError.h"
#include "platform/urlloading/detail/BlockCache.h"
#include "platform/urlloading/detail/CurlErrors.h"
#include "platform/urlloading/detail/DelegateCalls.h"

namespace plat::urlloading::detail {

namespace {
// Eight covers the transfers a thread usually frees before it makes more
// (a session's requests in flight); the rest go back to the allocator.
using TransferBlocks = BlockCache<sizeof(Transfer), 8>;
}  // namespace

void* Transfer::operator new(std::size_t size) {
    return size == sizeof(Transfer) ? TransferBlocks::allocate() : ::operator new(size);
}

void Transfer::operator delete(void* block, std::size_t size) noexcept {
    if (size == sizeof(Transfer))
        TransferBlocks::deallocate(block);
    else
        ::operator delete(block);
}

namespace {

using TaskPtr = std::shared_ptr<URLSessionTask>;

// --- the task registers (see Engine.h) ---

std::size_t pointerHash(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

void putCreated(CreatedTasks& created, const TaskPtr& task) {
    const uint64_t id = task->taskIdentifier();
    if (CreatedSlot* slot = created.find(id, id))
        slot->task = task;
    else
        created.insertNew(id, CreatedSlot{id, task, true});
}

void dropCreated(CreatedTasks& created, uint64_t id) {
    if (CreatedSlot* slot = created.find(id, id))
        created.erase(slot);
}

void putActive(ActiveTasks& active, void* easy, const TaskPtr& task) {
    if (ActiveSlot* slot = active.find(easy, pointerHash(easy)))
        slot->task = task;
    else
        active.insertNew(pointerHash(easy), ActiveSlot{easy, task});
}

// The task lets go after the table is whole again (its last reference may
// be the table's).
void dropActive(ActiveTasks& active, void* easy) {
    if (ActiveSlot* slot = active.find(easy, pointerHash(easy))) {
        const TaskPtr task = std::move(slot->task);
        active.erase(slot);
    }
}

void putRunning(RunningTasks& running, const TaskPtr& task) {
    const std::size_t hash = pointerHash(task.get());
    if (!running.find(task.get(), hash))
        running.insertNew(hash, RunningSlot{task});
}

void dropRunning(RunningTasks& running, const TaskPtr& task) {
    if (RunningSlot* slot = running.find(task.get(), pointerHash(task.get()))) {
        const TaskPtr kept = std::move(slot->task);
        running.erase(slot);
    }
}

constexpr int kMaximumRedirects = 16;
// Authentication gives up (the 401 becomes the response) once the same
// protection space has refused this many credentials, or after this many
// rounds in all: a delegate that keeps answering with the same wrong
// password must not keep the task sending requests for ever.
constexpr int kMaximumAuthenticationFailures = 3;
constexpr int kMaximumAuthenticationRounds = 16;
constexpr size_t kInterceptedBodyLimit = 1 << 20;
// The response header of one hop is read up to this size; libcurl itself
// refuses a single header line past 100 KB.
constexpr size_t kResponseHeaderLimit = 256 * 1024;

std::atomic<CurlOptionHook> curlOptionHook{nullptr};

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A handler that acts at most once, and gives `defaults` when the last copy
// is dropped uncalled, so that a delegate that forgets to answer never leaves
// a task hanging.
template <class... Args>
struct OnceState {
    std::function<void(Args...)> act;
    std::tuple<Args...> defaults;
    std::atomic<bool> done{false};
    OnceState(std::function<void(Args...)> a, std::tuple<Args...> d)
        : act(std::move(a)), defaults(std::move(d)) {}
    ~OnceState() {
        if (!done.exchange(true))
            std::apply(act, defaults);
    }
};

template <class... Args>
std::function<void(Args...)> onceHandler(std::type_identity_t<std::function<void(Args...)>> act,
                                         std::type_identity_t<Args>... defaults) {
    auto state =
        std::make_shared<OnceState<Args...>>(std::move(act), std::make_tuple(std::move(defaults)...));
    return [state](Args... args) {
        if (!state->done.exchange(true))
            state->act(std::move(args)...);
    };
}

double seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool hasLineBreak(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos || s.find('\0') != std::string::npos;
}

// Control characters shown as '?', for error texts.
std::string printable(std::string text) {
    for (auto& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return text;
}

std::string clientNonce() {
    static std::atomic<uint64_t> counter{0};
    uint64_t n = ++counter ^ static_cast<uint64_t>(SteadyClock::now().time_since_epoch().count());
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(n));
    return buffer;
}

// The request target as sent, for digest's uri parameter.
std::string requestTarget(const URL& url) {
    std::string path = url.absoluteString();
    size_t scheme = path.find("://");
    size_t slash = scheme == std::string::npos ? std::string::npos : path.find('/', scheme + 3);
    std::string target = slash == std::string::npos ? "/" : path.substr(slash);
    size_t hash = target.find('#');
    return hash == std::string::npos ? target : target.substr(0, hash);
}

int effectivePort(const URL& url) {
    if (auto port = url.port())
        return *port;
    return equalsIgnoringCase(url.scheme().value_or(""), "https") ? 443 : 80;
}

// Scheme, host and port alike.
bool sameOrigin(const URL& a, const URL& b) {
    return equalsIgnoringCase(a.scheme().value_or(""), b.scheme().value_or("")) &&
           equalsIgnoringCase(a.host().value_or(""), b.host().value_or("")) &&
           effectivePort(a) == effectivePort(b);
}

// --- libcurl callbacks (network thread) ---

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// (A loop rather than find_first_not_of, and inlined: this runs twice for
// every header line.)
[[gnu::always_inline]] inline std::string_view trimmed(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

size_t headerCallback(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<EasyHandle*>(user)->transfer;
    const size_t length = size * count;
    t.lastActivity = t.engine->activityTime();
    const std::string_view line(data, length);
    t.headerBytes += length;
    if (t.headerBytes > kResponseHeaderLimit) {
        t.headerTooLarge = true;
        return 0;  // ends the transfer
    }
    if (line.substr(0, 5) == "HTTP/") {
        t.hopHeaders = HTTPHeaderFields();
        t.hopHeaders.reserve(12);  // a typical response's fields, without regrowing
        t.hopCookies.clear();
        size_t space = line.find(' ');
        int status = 0;
        if (space != std::string_view::npos) {
            // The digits after the blank, as atoi would read them (the line
            // is not terminated, so no C string functions).
            size_t i = line.find_first_not_of(" \t", space);
            for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && status < 100000; ++i)
                status = status * 10 + (line[i] - '0');
        }
        t.hopStatus = status;
        return length;
    }
    if (line == "\r\n" || line == "\n") {
        if (t.hopStatus >= 200 || t.hopStatus < 100)
            t.engine->onHeadersComplete(*t.owner);
        return length;
    }
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && t.hopStatus != 0) {
        const std::string_view name = trimmed(line.substr(0, colon));
        const std::string_view value = trimmed(line.substr(colon + 1));
        constexpr std::string_view kSetCookie = "Set-Cookie";
        if (name.size() == kSetCookie.size() && equalsIgnoringCase(name, kSetCookie))
            t.hopCookies.emplace_back(value);
        t.hopHeaders.addValue(value, name);
    }
    return length;
}

// Connection sockets are made and closed as libcurl would, and the engine
// learns of both (see Engine::onSocket).
curl_socket_t openSocketCallback(void* user, curlsocktype purpose, curl_sockaddr* address) {
    const curl_socket_t socket = ::socket(address->family, address->socktype, address->protocol);
    if (socket != CURL_SOCKET_BAD && purpose == CURLSOCKTYPE_IPCXN)
        static_cast<Engine*>(user)->onConnectionSocketOpened(socket);
    return socket;
}

int closeSocketCallback(void* user, curl_socket_t socket) {
    static_cast<Engine*>(user)->onConnectionSocketClosed(socket);
    return ::close(socket);
}

size_t writeCallback(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<EasyHandle*>(user)->transfer;
    t.lastActivity = t.engine->activityTime();
    return t.engine->onBody(*t.owner, data, size * count);
}

size_t readCallback(char* buffer, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    t.lastActivity = t.engine->activityTime();
    const size_t max = size * count;
    if (t.suspended)
        return t.easyKeepsOptions = false, t.pausedByCallback = true, CURL_READFUNC_PAUSE;
    if (t.uploadFd >= 0) {
        ssize_t n = ::read(t.uploadFd, buffer, max);
        return n < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(n);
    }
    if (t.bodyStream) {
        if (t.bodyStream->status() == StreamStatus::AtEnd)
            return 0;
        std::ptrdiff_t n = t.bodyStream->read(reinterpret_cast<uint8_t*>(buffer), max);
        if (n > 0)
            t.bodyStreamRead += n;
        return n < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(n);
    }
    return 0;
}

int progressCallback(void* user, curl_off_t, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    auto& t = *static_cast<Transfer*>(user);
    (void)dlnow;
    if (ulnow != t.lastUploadReported)
        t.engine->onUploadProgress(*t.owner, ulnow, ultotal > 0 ? ultotal : -1);
    return 0;
}

int verifyCallback(X509_STORE_CTX* context, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    return t.engine->onVerify(*t.owner, context) ? 1 : 0;
}

// What to tell the caller beyond the code when a default evaluation failed.
std::string trustFailureReason(const security::ServerTrust& trust) {
    return trust.lastFailureLackedSystemRoots() ? security::missingSystemRootsDescription() : std::string();
}

// Where an SSL_CTX keeps its transfer, for the client-certificate callback.
int transferIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int clientCertificateCallback(SSL* ssl, X509** x509, EVP_PKEY** key) {
    auto* t = static_cast<Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), transferIndex()));
    if (!t || !t->owner)
        return 0;
    return t->engine->onClientCertificateRequest(*t->owner, ssl, reinterpret_cast<void**>(x509),
                                                 reinterpret_cast<void**>(key));
}

CURLcode sslContextCallback(CURL*, void* sslContext, void* user) {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    // Without its transfer the client-certificate callback could not answer:
    // the handshake is not made at all (a new context has room for the
    // pointer unless memory ran out).
    if (SSL_CTX_set_ex_data(context, transferIndex(), user) != 1)
        return CURLE_OUT_OF_MEMORY;
    // The callbacks below reach the transfer that made the connection; a
    // connection that outlives it (kept for reuse) must never call them
    // again, which a renegotiation would. (Returns the options now set.)
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_client_cert_cb(context, clientCertificateCallback);
    SSL_CTX_set_cert_verify_callback(context, verifyCallback, user);
    // Servers that staple an OCSP response send it: revocation policies
    // judge by it without asking the responder. Should the request for one
    // be refused, revocation asks the responder instead, which is no weaker:
    // so the result only goes to the log.
    if (SSL_CTX_set_tlsext_status_type(context, TLSEXT_STATUSTYPE_ocsp) != 1)
        Log("URL session: cannot ask servers for a stapled OCSP response");
    return CURLE_OK;
}

// The handle goes with libcurl's handle, after it (which reads its URL).
void destroyEasyHandle(EasyHandle* handle) {
    curl_easy_cleanup(handle->easy);
    curl_url_cleanup(static_cast<CURLU*>(handle->parsedURL));
    delete handle;
}

}  // namespace

void setCurlOptionHookForTesting(CurlOptionHook hook) {
    curlOptionHook.store(hook);
}

Engine::Engine(const URLSessionConfiguration& configuration,
               std::shared_ptr<dispatch::OperationQueue> delegateQueue)
    : configuration_(configuration), delegateQueue_(std::move(delegateQueue)) {
    initCurlOnce();
    multi_ = curl_multi_init();
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Without any of these the loop can neither watch sockets nor hear of
    // commands: every task of the session then fails with the reason.
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.fd = wakeFd_;
    if (!multi_) {
        setupFailure_ = "libcurl's multi handle cannot be made";
    } else if (epollFd_ < 0 || wakeFd_ < 0 ||
               ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wakeEvent) != 0) {
        setupFailure_ = std::string("the network thread cannot wait for sockets: ") + std::strerror(errno);
    } else if (curl_multi_setopt(
                   multi_, CURLMOPT_SOCKETFUNCTION,
                   +[](CURL*, curl_socket_t socket, int what, void* engine, void*) {
                       return static_cast<Engine*>(engine)->onSocket(socket, what);
                   }) != CURLM_OK ||
               curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this) != CURLM_OK ||
               curl_multi_setopt(
                   multi_, CURLMOPT_TIMERFUNCTION,
                   +[](CURLM*, long milliseconds, void* engine) {
                       return static_cast<Engine*>(engine)->onTimer(milliseconds);
                   }) != CURLM_OK ||
               curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this) != CURLM_OK) {
        setupFailure_ = "libcurl refused the network thread's socket and timer callbacks";
    }
    if (!setupFailure_.empty()) {
        Log("URL session: " + setupFailure_ + "; its tasks will fail");
        if (multi_)
            (void)curl_multi_cleanup(multi_);  // nothing was added to it
        multi_ = nullptr;
        return;
    }
    // The two limits below tune connection use: should libcurl refuse one,
    // transfers still run (with its defaults), so a refusal is only logged.
    if (configuration_.httpMaximumConnectionsPerHost > 0 &&
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                          static_cast<long>(configuration_.httpMaximumConnectionsPerHost)) != CURLM_OK) {
        Log("URL session: libcurl refused the limit of connections per host");
    }
    // libcurl's own cache size follows the number of transfers under way, so
    // between a transfer's end and its successor's start it closes idle
    // connections the successor would have reused.
    if (curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS,
                          std::max(32L, 4L * std::max(configuration_.httpMaximumConnectionsPerHost, 0))) !=
        CURLM_OK) {
        Log("URL session: libcurl refused the size of its connection cache");
    }
    if (configuration_.trustedCertificatesFile) {
        if (auto pem =
                FileManager::defaultManager().contentsAtPath(*configuration_.trustedCertificatesFile)) {
            extraRoots_ = security::Certificate::certificatesWithPEM(pem->view());
        }
    }
}

Engine::~Engine() {
    closeConnections();
    // Descriptors of our own with nothing written through them: a failed
    // close loses nothing (and -1, after a failed setup, is refused).
    (void)::close(epollFd_);
    (void)::close(wakeFd_);
}

// On the thread that ended the loop, or in the destructor: no command runs
// any more by then.
void Engine::closeConnections() {
    for (auto* pool : {&idleEasyHandles_, &configuredEasyHandles_}) {
        for (EasyHandle* handle : *pool)
            destroyEasyHandle(handle);
        pool->clear();
    }
    // No hop runs any more.
    curl_slist_free_all(sharedHeaderList_);
    sharedHeaderList_ = nullptr;
    sharedHeaderUsers_ = 0;
    curl_slist_free_all(standingHeaderList_);
    standingHeaderList_ = nullptr;
    standingHeaders_ = StandingHeaders::Unusable;
    // Every transfer has been removed; what could fail here is closing
    // connections, which no request waits for any more.
    if (multi_)
        (void)curl_multi_cleanup(multi_);
    multi_ = nullptr;
}

void Engine::start() {
    std::thread([self = shared_from_this()] { self->run(); }).detach();
}

namespace {
// The engine whose delegate blocks this thread is running: commands they
// post wake the network thread once, after the batch.
thread_local const Engine* wakeDeferredBy = nullptr;
// The engine whose delegate chain this thread, its network thread, is
// running (see postToMailbox).
thread_local const Engine* hostingChainOf = nullptr;
}  // namespace

void Engine::post(std::function<void()> command) {
    enqueue(Command{std::move(command), nullptr, nullptr});
}

void Engine::enqueue(Command command) {
    {
        plat::MutexLock lock(mutex_);
        commands_.push_back(std::move(command));
        if (!exited_) {
            // Pairs with the network thread's going to sleep (see
            // sleepForEvents): either it sees the command and does not
            // block, or this sees it asleep and wakes it.
            commandsWaiting_.store(true, std::memory_order_seq_cst);
            // One wake-up per batch: a list that is not empty has already
            // woken the thread, which takes the whole list when it runs. A
            // thread that is awake (running, or lingering for commands)
            // needs none.
            // A chain whose loop moved on (see handOverLoop) defers nothing:
            // its batch may not end soon.
            if (commands_.size() == 1 &&
                (wakeDeferredBy != this || (hostingChainOf == this && !isNetworkThread())) &&
                sleeping_.load(std::memory_order_seq_cst))
                wake();
            return;
        }
        // The thread running commands takes this one after its current one
        // (also when that is the command posting it).
        if (runningAfterExit_)
            return;
        runningAfterExit_ = true;
        commandThread_.store(std::this_thread::get_id());
    }
    runCommandsAfterExit();
}

void Engine::runCommands() {
    assertCommandThread();
    std::vector<Command> commands;
    {
        plat::MutexLock lock(mutex_);
        commands.swap(commands_);
        commandsWaiting_.store(false, std::memory_order_relaxed);
    }
    for (auto& c : commands)
        runCommand(c);
    commands.clear();
    // The list's storage goes back for the next batch (a small one: each
    // request's commands would otherwise grow a new list from nothing).
    constexpr size_t kKeptCapacity = 64;
    if (commands.capacity() > kKeptCapacity)
        return;
    plat::MutexLock lock(mutex_);
    if (commands_.empty())
        commands_.swap(commands);
}

void Engine::runCommandsAfterExit() {
    for (;;) {
        std::vector<Command> commands;
        {
            plat::MutexLock lock(mutex_);
            if (commands_.empty()) {
                runningAfterExit_ = false;
                commandThread_.store(std::thread::id());
                return;
            }
            commands.swap(commands_);
        }
        for (auto& c : commands) {
            runCommand(c);
            c = Command{};
        }
    }
}

void Engine::assertCommandThread() const {
    if (commandThread_.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return;
    static constexpr char kMessage[] =
        "URL session: network-thread state touched from another thread; stopping\n";
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);  // the process ends next
    std::abort();
}

// A completion handler often starts the next request at once (paging, a
// queue of uploads). Waiting a moment for its command before going to sleep
// saves the wake-up that would fetch it; the thread yields while it waits,
// so a busy machine gets the processor back. It stops waiting as soon as a
// socket is ready, too: a response that arrives meanwhile is not left
// waiting for the linger to end.
bool Engine::lingerForCommands() {
    constexpr auto kLinger = std::chrono::microseconds(40);
    const auto until = SteadyClock::now() + kLinger;
    // Commands posted meanwhile do not wake the thread through the eventfd
    // (a system call on each side saved; it is awake): it sees them here.
    for (unsigned i = 0; !commandsWaiting_.load(std::memory_order_relaxed); ++i) {
        if (i % 16 == 15) {
            epoll_event ready;
            if (::epoll_wait(epollFd_, &ready, 1, 0) > 0 || SteadyClock::now() >= until)
                break;
            std::this_thread::yield();
        }
    }
    return commandsWaiting_.load(std::memory_order_relaxed);
}

int Engine::sleepForEvents(epoll_event* events, int capacity, int wait) {
    if (wait > 0) {
        // Pairs with post(): a command posted before this store is seen by
        // the load below (no sleep then), one posted after it wakes the
        // thread through the eventfd.
        sleeping_.store(true, std::memory_order_seq_cst);
        if (commandsWaiting_.load(std::memory_order_seq_cst))
            wait = 0;
    }
    const int ready = ::epoll_wait(epollFd_, events, capacity, wait);
    const int error = errno;
    sleeping_.store(false, std::memory_order_relaxed);
    errno = error;
    return ready;
}

void Engine::wake() {
    // Fails only when the counter is about to overflow (EAGAIN), which means
    // the thread has wake-ups waiting already.
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);  // EAGAIN: wake-ups pending
}

// libcurl says which sockets to watch for what; the loop watches them with
// epoll and tells libcurl only about those that are ready. (Driving every
// transfer on every turn would cost a readiness check per transfer per turn.)
int Engine::onSocket(curl_socket_t socket, int what) {
    assertCommandThread();
    if (what == CURL_POLL_REMOVE) {
        // libcurl lets go of a connection's socket each time a transfer on it
        // ends, and wants it back as soon as the next transfer reuses the
        // connection: the socket stays in the epoll set, parked, which saves
        // taking it out and putting it back for every request. A parked
        // socket that becomes ready (the server closed the idle connection)
        // leaves the set then (see parkedSocketReady); one libcurl closes
        // leaves it by itself.
        if (auto it = watched_.find(socket); it != watched_.end())
            it->second.parked = true;
        return 0;
    }
    epoll_event event{};
    event.events = ((what & CURL_POLL_IN) ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) ? EPOLLOUT : 0u);
    event.data.fd = socket;
    auto it = watched_.find(socket);
    const bool known = it != watched_.end();
    // A kept-alive connection taken up again by the next request is parked
    // with the events it is wanted for now (a response to read): it stays as
    // it is, without a system call. That holds only for a connection socket
    // seen opened and not closed since: any other number may stand for a
    // socket closed without our knowing and a new one made since (which the
    // epoll set then lacks).
    if (known && it->second.events == event.events && connectionSockets_.count(socket) != 0) {
        it->second.parked = false;
        return 0;
    }
    // A known socket, parked or not, is changed in place: should it have been
    // closed and its number reused meanwhile, that fails and it is added.
    bool watching = true;
    if (::epoll_ctl(epollFd_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event) != 0 &&
        // A socket closed and its number reused, or one still in the set.
        ::epoll_ctl(epollFd_, known ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, socket, &event) != 0) {
        Log("URL session: cannot watch socket " + std::to_string(socket) + ": " + std::strerror(errno));
        watching = false;
    }
    watched_[socket] = Watched{watching ? event.events : 0u, false};
    return 0;
}

// Not checked against the command thread: libcurl also closes connections
// while the engine ends (closeConnections, the destructor), when nothing
// else runs.
void Engine::onConnectionSocketOpened(int socket) {
    // The number may be that of a socket closed without our knowing: what
    // was known of it no longer holds.
    watched_.erase(socket);
    connectionSockets_.insert(socket);
}

void Engine::onConnectionSocketClosed(int socket) {
    // Closing takes it out of the epoll set.
    watched_.erase(socket);
    connectionSockets_.erase(socket);
}

bool Engine::parkedSocketReady(int socket) {
    assertCommandThread();
    auto it = watched_.find(socket);
    if (it == watched_.end() || !it->second.parked)
        return false;
    // libcurl does not watch it: it learns of a closed connection when it
    // next tries to use it. The result does not matter (see onSocket).
    (void)::epoll_ctl(epollFd_, EPOLL_CTL_DEL, socket, nullptr);
    watched_.erase(it);
    return true;
}

int Engine::onTimer(long milliseconds) {
    assertCommandThread();
    curlTimerSet_ = milliseconds >= 0;
    if (curlTimerSet_)
        curlDeadline_ = SteadyClock::now() + std::chrono::milliseconds(milliseconds);
    return 0;
}

void Engine::driveTransfers(int socket, int events) {
    assertCommandThread();
    int running = 0;
    // One clock reading stands for every callback of this call (see
    // activityTime).
    driveTime_ = SteadyClock::now();
    driving_ = true;
    // A transfer's own failure comes back through takeFinishedTransfers. The
    // call itself fails for a socket libcurl has closed meanwhile (an event
    // of this turn for a connection an earlier one ended): nothing to do.
    // Anything else is a fault of the loop, worth a line in the log.
    const CURLMcode result = curl_multi_socket_action(multi_, socket, events, &running);
    driving_ = false;
    if (result != CURLM_OK && result != CURLM_BAD_SOCKET)
        Log(std::string("URL session: libcurl could not drive transfers: ") + curl_multi_strerror(result));
}

void Engine::takeFinishedTransfers() {
    assertCommandThread();
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        onDone(message->easy_handle, message->data.result);
    }
}

void Engine::run() {
    // Named for profilers and debuggers (a name that does not fit is refused,
    // which changes nothing else).
    (void)pthread_setname_np(pthread_self(), "url-session");
    networkThread_ = std::this_thread::get_id();
    commandThread_.store(std::this_thread::get_id());
    epoll_event events[64];
    bool lingered = false;  // the last turn ran its commands without waiting for sockets
    for (;;) {
        runCommands();
        if ((invalidationFinished_ || released_) && running_.empty() && active_.empty()) {
            plat::MutexLock lock(createdMutex_);
            if (invalidationFinished_ || created_.empty())
                break;
        }
        // libcurl's own timer: transfers just added start here, and its
        // internal time-outs run.
        if (curlTimerSet_ && SteadyClock::now() >= curlDeadline_) {
            curlTimerSet_ = false;
            driveTransfers(CURL_SOCKET_TIMEOUT, 0);
        }
        takeFinishedTransfers();
        int wait = checkDeadlines();
        if (curlTimerSet_) {
            auto due =
                std::chrono::ceil<std::chrono::milliseconds>(curlDeadline_ - SteadyClock::now()).count();
            wait = static_cast<int>(std::clamp<decltype(due)>(due, 0, wait));
        }
        flushDelegateBlocks();
        if (!isNetworkThread())
            return;  // the loop goes on on another thread (see handOverLoop)
        // A command that came while lingering runs at once (no trip through
        // epoll first); the turn after it looks at the sockets whatever
        // comes, so a stream of commands cannot keep responses waiting.
        const bool linger = std::exchange(completedThisTurn_, false) && wait > 0 && !lingered;
        lingered = linger && lingerForCommands();
        if (lingered)
            continue;
        int ready = sleepForEvents(events, static_cast<int>(std::size(events)), wait);
        if (ready < 0 && errno != EINTR && !setupFailure_.empty()) {
            // No epoll set (see the constructor): tasks fail as they start,
            // and the loop looks for commands every few milliseconds until
            // the session goes.
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait, 5)));
        }
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wakeFd_) {
                // Resets the counter; a failed read (EAGAIN: another turn
                // read it first) leaves nothing to reset.
                uint64_t count = 0;
                [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);  // EAGAIN: read already
                continue;
            }
            if (parkedSocketReady(fd))
                continue;
            const uint32_t e = events[i].events;
            int mask = 0;
            if (e & (EPOLLIN | EPOLLHUP | EPOLLRDHUP))
                mask |= CURL_CSELECT_IN;
            if (e & EPOLLOUT)
                mask |= CURL_CSELECT_OUT;
            if (e & EPOLLERR)
                mask |= CURL_CSELECT_ERR;
            driveTransfers(fd, mask);
        }
        takeFinishedTransfers();
        // What the sockets brought goes to the delegate now, not after the
        // commands waiting for the next turn (starting requests, say): a
        // completion no longer waits for the requests started after it.
        flushDelegateBlocks();
        if (!isNetworkThread())
            return;
    }
    networkThread_ = std::thread::id();
    flushDelegateBlocks();
    {
        plat::MutexLock lock(mutex_);
        exited_ = true;
        // This thread runs what is posted until it has run out of commands.
        runningAfterExit_ = true;
    }
    // Nothing is under way and nothing can start: the idle connections close
    // now rather than whenever the last reference to the session goes.
    closeConnections();
    runCommandsAfterExit();
}

void Engine::toDelegateQueue(std::function<void()> block) {
    toDelegateQueue(nullptr, std::move(block));
}

void Engine::toDelegateQueue(const URLSessionTask* task, std::function<void()> block) {
    // Not from inside the chain: the loop may move to another thread while
    // the chain runs (see postToMailbox), and gathered_ moves with it.
    if (hostingChainOf != this &&
        networkThread_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        // A turn gathers a few blocks for each transfer that moved: room
        // for them at once rather than growing the batch one doubling at a
        // time (each batch leaves with its storage).
        if (gathered_.capacity() == 0)
            gathered_.reserve(16);
        // Held chunks came first: the task's own (a block of a task follows
        // what that task received), or every one for a block of no task.
        if (!heldBodies_.empty())
            releaseHeldBodies(task);
        gathered_.push_back(std::move(block));
        return;
    }
    std::vector<std::function<void()>> one;
    one.push_back(std::move(block));
    postToMailbox(std::move(one));
}

void Engine::holdBody(std::shared_ptr<URLSessionDataTask> task, const char* bytes, size_t length) {
    // Only where toDelegateQueue gathers (see there): a chunk that would be
    // posted at once is not held.
    const bool gathering = hostingChainOf != this &&
                           networkThread_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    if (!gathering) {
        deliver(task, [task, data = Data(bytes, length)](URLSessionDelegate& d, URLSession& s) mutable {
            d.didReceiveOwnedData(s, *task, std::move(data));
        });
        return;
    }
    releaseHeldBodies(task.get());  // each chunk is its own call, in order
    if (heldBodies_.capacity() == 0)
        heldBodies_.reserve(8);
    task->transfer_->bodyHeld = true;
    heldBodies_.push_back(HeldBody{std::move(task), Data(bytes, length)});
}

void Engine::releaseHeldBodies(const URLSessionTask* task) {
    auto release = [this](HeldBody& held) {
        auto dataTask = std::move(held.task);
        deliver(dataTask,
                [dataTask, data = std::move(held.data)](URLSessionDelegate& d, URLSession& s) mutable {
                    d.didReceiveOwnedData(s, *dataTask, std::move(data));
                });
    };
    if (!task) {
        auto held = std::move(heldBodies_);
        heldBodies_.clear();
        for (auto& h : held)
            h.task->transfer_->bodyHeld = false;
        for (auto& h : held)
            release(h);
        held.clear();
        if (heldBodies_.empty())
            heldBodies_.swap(held);  // the storage stays for the next turn
        return;
    }
    if (!task->transfer_ || !task->transfer_->bodyHeld)
        return;  // (most blocks: no look through the held ones)
    for (size_t i = 0; i < heldBodies_.size(); ++i) {
        if (heldBodies_[i].task.get() == task) {
            task->transfer_->bodyHeld = false;
            HeldBody held = std::move(heldBodies_[i]);
            heldBodies_.erase(heldBodies_.begin() + static_cast<std::ptrdiff_t>(i));
            release(held);
            return;
        }
    }
}

std::optional<Data> Engine::takeHeldBody(const URLSessionTask& task) {
    if (!task.transfer_->bodyHeld)
        return std::nullopt;
    task.transfer_->bodyHeld = false;
    for (size_t i = 0; i < heldBodies_.size(); ++i) {
        if (heldBodies_[i].task.get() == &task) {
            std::optional<Data> data(std::move(heldBodies_[i].data));
            heldBodies_.erase(heldBodies_.begin() + static_cast<std::ptrdiff_t>(i));
            return data;
        }
    }
    return std::nullopt;
}

void Engine::flushDelegateBlocks() {
    assertCommandThread();
    if (!heldBodies_.empty())
        releaseHeldBodies(nullptr);
    if (!gathered_.empty())
        postToMailbox(std::exchange(gathered_, {}));
}

void Engine::postToMailbox(std::vector<std::function<void()>> blocks) {
    {
        plat::MutexLock lock(mailboxMutex_);
        if (mailbox_.empty())
            mailbox_ = std::move(blocks);
        else
            std::move(blocks.begin(), blocks.end(), std::back_inserter(mailbox_));
        if (draining_)
            return;
        draining_ = true;
    }
    // The delegate queue runs the drain as a plain block in its turn (no
    // operation object is made for it, and cancelling the queue's
    // operations cannot leave the mailbox undrained). On the network thread
    // that drain, and the steps it hands on (a response handler on an idle queue, say, which
    // starts the next request), run on this thread when the pool would run
    // them back to back on one worker (see runChainHere): a request's
    // completion then costs no worker's wake-up, and the next request's
    // command none of the network thread's. Should one of them be about to
    // wait, or is held up some other way (a plain mutex, a long computation:
    // the dispatch layer's watchdog sees the chain last), the loop goes on on
    // another thread; this one then leaves it (run() sees that).
    auto post = [this] { delegateQueue_->addBlock([self = shared_from_this()] { self->drainMailbox(); }); };
    if (hostingChainOf != this && isNetworkThread()) {
        const Engine* outer = std::exchange(hostingChainOf, this);
        const auto networkThread = std::this_thread::get_id();
        (void)dispatch::runChainHere(post, [this, networkThread] { return handOverLoop(networkThread); });
        hostingChainOf = outer;
    } else {
        post();
    }
}

// Called once per hand-over, on the held-up thread or the watchdog's, while
// the held-up thread cannot leave its chain: nothing else touches the loop.
bool Engine::handOverLoop(std::thread::id networkThread) {
    networkThread_.store(std::thread::id());
    {
        plat::MutexLock lock(mutex_);
        commandThread_.store(std::thread::id());
    }
    try {
        start();
        return true;
    } catch (const std::system_error& e) {
        // No thread: the held-up one stays the network thread, and the loop
        // waits for it.
        Log(std::string("URL session: cannot hand the network loop over: ") + e.what());
        networkThread_.store(networkThread);
        plat::MutexLock lock(mutex_);
        commandThread_.store(networkThread);
        return false;
    }
}

void Engine::drainMailbox() {
    // A busy session must not keep a shared delegate queue (the main one,
    // say) to itself: after this many blocks the operation makes way for
    // whatever else waits there and queues a successor.
    constexpr size_t kBlocksPerOperation = 256;
    size_t run = 0;
    for (;;) {
        std::vector<std::function<void()>> blocks;
        {
            plat::MutexLock lock(mailboxMutex_);
            if (mailbox_.empty()) {
                draining_ = false;
                return;
            }
            if (run >= kBlocksPerOperation)
                break;
            blocks.swap(mailbox_);
        }
        // A completion handler typically starts the next request: the
        // commands of a whole batch then reach the network thread with one
        // wake-up instead of one each.
        const Engine* outer = std::exchange(wakeDeferredBy, this);
        for (auto& block : blocks) {
            try {
                block();
            } catch (const std::exception& e) {
                Log(std::string("URL session delegate queue block threw: ") + e.what());
            } catch (...) {
                Log("URL session delegate queue block threw");
            }
            block = nullptr;  // what it holds goes now, in the order made
        }
        wakeDeferredBy = outer;
        wakeForDeferredCommands();
        run += blocks.size();
    }
    delegateQueue_->addBlock([self = shared_from_this()] { self->drainMailbox(); });
}

void Engine::wakeForDeferredCommands() {
    plat::MutexLock lock(mutex_);
    // commandsWaiting_ was set when they were posted (see post()).
    if (!exited_ && !commands_.empty() && sleeping_.load(std::memory_order_seq_cst))
        wake();
}

EasyHandle* Engine::takeEasyHandle(bool& configured) {
    assertCommandThread();
    configured = !configuredEasyHandles_.empty();
    auto& pool = configured ? configuredEasyHandles_ : idleEasyHandles_;
    if (pool.empty()) {
        void* easy = curl_easy_init();
        if (!easy)
            return nullptr;
        auto* handle = new EasyHandle;
        handle->easy = easy;
        return handle;
    }
    EasyHandle* handle = pool.back();
    pool.pop_back();
    return handle;
}

// Handles are kept for later hops: making one costs allocations that a
// small request would otherwise pay every time. Connections live in the
// multi handle. A handle whose hop set only the options every hop sets
// (a plain GET: see configureHop) keeps them, so the next hop sets again
// only the TLS context's transfer and what differs (URL, header list); any
// other handle is reset, so that nothing of one task's request (method,
// body, callbacks) reaches the next.
void Engine::recycleEasyHandle(EasyHandle* handle, bool keepOptions) {
    assertCommandThread();
    handle->transfer = nullptr;
    constexpr size_t kMaximumIdleHandles = 64;
    if (idleEasyHandles_.size() + configuredEasyHandles_.size() >= kMaximumIdleHandles) {
        destroyEasyHandle(handle);
        return;
    }
    if (keepOptions) {
        // Nothing of the finished transfer stays reachable from the idle
        // handle: the callbacks' data is the handle itself (its transfer now
        // null), and the hop's own header list goes. The URL (libcurl's copy)
        // and the engine's standing list stay for the next hop to compare.
        // Clearing a pointer option is never refused.
        (void)curl_easy_setopt(handle->easy, CURLOPT_SSL_CTX_DATA, static_cast<void*>(nullptr));
        if (handle->headerList && handle->headerList != standingHeaderList_) {
            (void)curl_easy_setopt(handle->easy, CURLOPT_HTTPHEADER, static_cast<void*>(nullptr));
            handle->headerList = nullptr;
        }
        configuredEasyHandles_.push_back(handle);
        return;
    }
    curl_easy_reset(handle->easy);
    handle->url.clear();  // the parsed URL stays until the next one replaces it
    handle->headerList = nullptr;
    idleEasyHandles_.push_back(handle);
}

int Engine::checkDeadlines() {
    assertCommandThread();
    auto now = SteadyClock::now();
    double wait = 1.0;
    std::vector<std::pair<TaskPtr, int64_t>> expired;
    active_.forEach([&](const ActiveSlot& slot) {
        auto& t = *slot.task->transfer_;
        if (t.suspended || t.awaitingDisposition)
            return;
        double idle = t.idleTimeout - seconds(now - t.lastActivity);
        double total = t.resourceTimeout > 0 ? t.resourceTimeout - seconds(now - t.startTime) : 1e9;
        if (idle <= 0 || total <= 0) {
            expired.emplace_back(slot.task, URLErrorTimedOut);
            return;
        }
        wait = std::min({wait, idle, total});
    });
    for (auto& [task, code] : expired)
        fail(task, code);
    return std::max(1, static_cast<int>(wait * 1000) + 1);
}

// --- commands ---

void Engine::registerTask(const std::shared_ptr<URLSessionTask>& task) {
    plat::MutexLock lock(createdMutex_);
    putCreated(created_, task);
}

void Engine::forgetTask(uint64_t identifier) {
    {
        plat::MutexLock lock(createdMutex_);
        dropCreated(created_, identifier);
    }
    // The thread may be waiting for the last unstarted task to go.
    post([this] { maybeFinishInvalidation(); });
}

void Engine::resumeTask(std::shared_ptr<URLSessionTask> task) {
    enqueue(Command{nullptr, &Engine::resumeNow, std::move(task)});
}

void Engine::resumeNow(const std::shared_ptr<URLSessionTask>& task) {
    auto& t = *task->transfer_;
    if (t.completed)
        return;
    if (!t.started) {
        startTask(task);
        return;
    }
    if (!t.suspended)
        return;
    t.suspended = false;
    {
        plat::MutexLock lock(task->mutex_);
        task->state_ = URLSessionTaskState::Running;
    }
    t.lastActivity = SteadyClock::now();
    if (t.easy) {
        unpause(task);
    } else if (t.hopPendingWhileSuspended) {
        t.hopPendingWhileSuspended = false;
        startHop(task);
    }
}

void Engine::suspendTask(std::shared_ptr<URLSessionTask> task) {
    post([task] {
        auto& t = *task->transfer_;
        if (t.completed || t.suspended || !t.started)
            return;
        t.suspended = true;
        {
            plat::MutexLock lock(task->mutex_);
            task->state_ = URLSessionTaskState::Suspended;
        }
        // The transfer stops at its next body chunk: the write and read
        // callbacks pause it from inside, where libcurl keeps the chunk.
    });
}

void Engine::cancelTask(std::shared_ptr<URLSessionTask> task,
                        std::function<void(std::optional<Data>)> resumeData) {
    {
        plat::MutexLock lock(task->mutex_);
        if (task->state_ != URLSessionTaskState::Completed)
            task->state_ = URLSessionTaskState::Canceling;
    }
    post([this, task, resumeData = std::move(resumeData)] {
        auto& t = *task->transfer_;
        if (t.completed) {
            if (resumeData)
                deliver(task, [resumeData](URLSessionDelegate&, URLSession&) { resumeData(std::nullopt); });
            return;
        }
        std::optional<Data> data;
        if (resumeData) {
            data = takeResumeData(*task);
            // Runs even without a delegate: it belongs to the caller.
            toDelegateQueue([resumeData, data] { resumeData(data); });
        }
        forgetCreated(task->taskIdentifier());
        putRunning(running_, task);
        complete(task, makeURLError(URLErrorCancelled,
                                    task->originalRequest_ ? task->originalRequest_->url : t.request.url, {},
                                    data));
    });
}

void Engine::invalidate(std::shared_ptr<URLSession> session, bool cancelTasks) {
    post([this, session, cancelTasks] {
        if (invalidated_)
            return;
        invalidated_ = true;
        invalidatingSession_ = session;
        if (cancelTasks) {
            std::vector<TaskPtr> all;
            running_.forEach([&](const RunningSlot& slot) { all.push_back(slot.task); });
            {
                // Tasks not yet resumed go in the order they were made.
                std::vector<std::pair<uint64_t, TaskPtr>> unstarted;
                plat::MutexLock lock(createdMutex_);
                created_.forEach([&](const CreatedSlot& slot) {
                    if (auto task = slot.task.lock())
                        unstarted.emplace_back(slot.identifier, std::move(task));
                });
                std::sort(unstarted.begin(), unstarted.end(),
                          [](const auto& a, const auto& b) { return a.first < b.first; });
                for (auto& [id, task] : unstarted)
                    all.push_back(std::move(task));
            }
            for (auto& task : all) {
                if (task->transfer_->completed)
                    continue;
                putRunning(running_, task);
                forgetCreated(task->taskIdentifier());
                complete(task, makeURLError(URLErrorCancelled, task->transfer_->request.url));
            }
        }
        maybeFinishInvalidation();
    });
}

void Engine::completeStream(std::weak_ptr<URLSessionTask> task, ErrorPtr error) {
    post([this, task = std::move(task), error] {
        if (auto strong = task.lock())
            complete(strong, error);
    });
}

void Engine::sessionReleased() {
    post([this] { released_ = true; });
}

void Engine::maybeFinishInvalidation() {
    assertCommandThread();
    if (!invalidated_ || invalidationFinished_ || !running_.empty())
        return;
    {
        plat::MutexLock lock(createdMutex_);
        std::vector<uint64_t> gone;
        created_.forEach([&](const CreatedSlot& slot) {
            if (slot.task.expired())
                gone.push_back(slot.identifier);
        });
        for (uint64_t id : gone)
            dropCreated(created_, id);
        if (!created_.empty())
            return;
    }
    invalidationFinished_ = true;
    auto session = std::move(invalidatingSession_);
    toDelegateQueue([session] {
        std::shared_ptr<URLSessionDelegate> delegate;
        {
            plat::MutexLock lock(session->mutex_);
            delegate = std::move(session->delegate_);
        }
        if (!delegate)
            return;
        try {
            delegate->didBecomeInvalidWithError(*session, nullptr);
        } catch (const std::exception& e) {
            Log(std::string("URL session delegate threw: ") + e.what());
        } catch (...) {
            Log("URL session delegate threw an exception that is not a std::exception");
        }
    });
}

// --- delegate ---

bool Engine::delegateImplements(const URLSessionTask& task, URLSessionDelegate::Callback callback) const {
    auto delegate = task.session_->delegate();
    return delegate && delegate->implements(callback);
}

// A challenge of the connection itself (server trust, client certificate)
// goes to the session-level callback when the delegate has one, else to the
// task's.
void Engine::deliverConnectionChallenge(const TaskPtr& task, const URLAuthenticationChallenge& challenge,
                                        ChallengeCompletion answer) {
    const bool sessionLevel =
        delegateImplements(*task, URLSessionDelegate::Callback::SessionDidReceiveChallenge);
    deliver(task, [task, challenge, answer = std::move(answer), sessionLevel](URLSessionDelegate& d,
                                                                              URLSession& s) {
        if (sessionLevel) {
            d.didReceiveChallenge(s, challenge, answer);
        } else {
            d.didReceiveChallenge(s, *task, challenge, answer);
        }
    });
}

template <class Call>
void Engine::deliver(const TaskPtr& task, Call call) {
    auto session = task->session_;
    // Blocks drop their task when they have run, so that a task (and its
    // download file) goes as soon as its owner lets go of it.
    toDelegateQueue(task.get(),
                    [session, task = TaskPtr(task), call = std::optional<Call>(std::move(call))]() mutable {
                        if (auto delegate = session->delegate())
                            callDelegate(*task, [&] { (*call)(*delegate, *session); });
                        call.reset();
                        task.reset();
                    });
}

// --- starting ---

void Engine::startTask(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    t.started = true;
    t.suspended = false;
    forgetCreated(task->taskIdentifier());
    putRunning(running_, task);
    {
        plat::MutexLock lock(task->mutex_);
        task->state_ = URLSessionTaskState::Running;
    }
    t.startTime = SteadyClock::now();
    t.metrics->taskIntervalStart = Date::now();
    if (invalidated_)
        return fail(task, URLErrorCancelled);
    if (t.invalidResumeData)
        return fail(task, URLErrorCannotOpenFile, "resume data is not valid");
    if (task->originalRequest_)
        t.request = *task->originalRequest_;
    else
        t.requestReplaced = true;  // the task's current request is to be shown
    const double requestTimeout =
        t.request.timeoutInterval > 0 ? t.request.timeoutInterval : configuration_.timeoutIntervalForRequest;
    t.idleTimeout = requestTimeout > 0 ? requestTimeout : 60;
    t.resourceTimeout = configuration_.timeoutIntervalForResource;
    if (t.kind == TaskKind::UploadStream)
        return requestBodyStream(task);
    if (t.kind == TaskKind::Stream)
        return static_cast<URLSessionStreamTask&>(*task).startConnection(t.idleTimeout);
    if (answerFromCache(task))
        return;
    startHop(task);
}

namespace {

bool hasDirective(const std::optional<std::string>& cacheControl, std::string_view name) {
    if (!cacheControl)
        return false;
    std::string text = *cacheControl;
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = text.find(name);
    while (at != std::string::npos) {
        const bool startOk = at == 0 || text[at - 1] == ',' || text[at - 1] == ' ';
        const size_t end = at + name.size();
        const bool endOk = end == text.size() || text[end] == ',' || text[end] == ' ' || text[end] == '=';
        if (startOk && endOk)
            return true;
        at = text.find(name, end);
    }
    return false;
}

}  // namespace

bool Engine::mayCache(const URLSessionTask& task) const {
    const auto& t = *task.transfer_;
    return configuration_.urlCache && t.kind == TaskKind::Data && t.request.methodView() == "GET" &&
           !t.body && !t.request.httpBody;
}

bool Engine::answerFromCache(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    if (!mayCache(*task))
        return false;
    auto policy = t.request.cachePolicy;
    if (policy == URLRequestCachePolicy::UseProtocolCachePolicy)
        policy = configuration_.requestCachePolicy;
    if (policy == URLRequestCachePolicy::ReloadIgnoringLocalCacheData)
        return false;
    auto cached = configuration_.urlCache->cachedResponseForRequest(t.request);
    if (!cached) {
        if (policy != URLRequestCachePolicy::ReturnCacheDataDontLoad)
            return false;
        fail(task, URLErrorResourceUnavailable, "no cached response and the request may not load");
        return true;
    }
    const double now = Date::now().timeIntervalSince1970();
    if (policy == URLRequestCachePolicy::UseProtocolCachePolicy &&
        !URLCache::isFresh(*cached, t.request, now))
        return false;
    // As if the server had answered with it: response, body, completion.
    task->replaceCurrentRequest(t.request);
    t.servedFromCache = true;
    t.hopStatus = cached->response->statusCode();
    t.hopHeaders = cached->response->allHeaderFields();
    t.hopCookies.clear();
    t.hopIsFinal = true;
    onHeadersComplete(*task);
    if (t.completed)
        return true;
    t.hopKind = HopKind::Final;
    t.hopBody.assign(reinterpret_cast<const char*>(cached->data.bytes()), cached->data.length());
    if (t.awaitingDisposition) {
        t.doneWhileAwaiting = CURLE_OK;
        return true;
    }
    succeed(task);
    return true;
}

bool Engine::offerToCache(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    if (!mayCache(*task) || t.servedFromCache || t.hopStatus != 200 || !t.cacheable)
        return false;
    HTTPURLResponsePtr response;
    {
        plat::MutexLock lock(task->mutex_);
        response = task->response_;
    }
    if (!response || hasDirective(response->valueForHTTPHeaderField("Cache-Control"), "no-store") ||
        hasDirective(t.request.valueForHTTPHeaderField("Cache-Control"), "no-store")) {
        return false;
    }
    // The body as delivered (decoded): the stored headers must not claim an
    // encoding or length it no longer has.
    HTTPHeaderFields headers = response->allHeaderFields();
    headers.setValue(std::nullopt, "Content-Encoding");
    headers.setValue(std::nullopt, "Content-Length");
    CachedURLResponse proposed;
    proposed.response =
        std::make_shared<const HTTPURLResponse>(response->url(), response->statusCode(), headers);
    // A completion handler gets the collected body too (complete() hands it
    // over): the cache takes a copy.
    proposed.data = t.dataCompletion ? Data(t.accumulated) : Data(t.cacheBody.data(), t.cacheBody.size());
    t.cacheBody.clear();
    auto cache = configuration_.urlCache;
    const URLRequest request = t.request;
    if (t.dataCompletion || !delegateImplements(*task, URLSessionDelegate::Callback::WillCacheResponse)) {
        cache->storeCachedResponse(std::move(proposed), request);
        return false;
    }
    std::weak_ptr<Engine> weak = weak_from_this();
    auto answer = onceHandler<std::optional<CachedURLResponse>>(
        [weak, task, cache, request](std::optional<CachedURLResponse> chosen) {
            if (chosen)
                cache->storeCachedResponse(std::move(*chosen), request);
            if (auto engine = weak.lock())
                engine->post([engine, task] { engine->complete(task, nullptr); });
        },
        std::optional<CachedURLResponse>(proposed));
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    deliver(task, [dataTask, proposed, answer](URLSessionDelegate& d, URLSession& s) {
        d.willCacheResponse(s, *dataTask, proposed, answer);
    });
    return true;
}

void Engine::requestBodyStream(const TaskPtr& task) {
    assertCommandThread();
    std::weak_ptr<Engine> weak = weak_from_this();
    auto answer = onceHandler<std::shared_ptr<InputStream>>(
        [weak, task](std::shared_ptr<InputStream> stream) {
            if (auto engine = weak.lock()) {
                engine->post([engine, task, stream] {
                    if (task->transfer_->completed)
                        return;
                    if (!stream)
                        return engine->fail(task, URLErrorRequestBodyStreamExhausted);
                    // The delegate may hand over a stream it has opened
                    // itself; one that cannot be opened has no body to give.
                    if (stream->status() == StreamStatus::NotOpen)
                        stream->open();
                    if (stream->status() == StreamStatus::Error || stream->status() == StreamStatus::Closed)
                        return engine->fail(task, URLErrorRequestBodyStreamExhausted);
                    // A body sent again (after a 307/308 or for
                    // authentication) needs a stream that starts at the
                    // beginning: the one already read would send less than
                    // the caller's body, or nothing, and look like success.
                    auto& tr = *task->transfer_;
                    if ((stream == tr.bodyStream && tr.bodyStreamRead > 0) ||
                        stream->status() == StreamStatus::AtEnd) {
                        return engine->failWithReason(
                            task, URLErrorRequestBodyStreamExhausted,
                            "the body must be sent again and the delegate gave back a stream that "
                            "has already been read; it must give a new stream from the start");
                    }
                    tr.bodyStream = stream;
                    tr.bodyStreamRead = 0;
                    engine->startHop(task);
                });
            }
        },
        std::shared_ptr<InputStream>());
    deliver(task,
            [task, answer](URLSessionDelegate& d, URLSession& s) { d.needNewBodyStream(s, *task, answer); });
}

void Engine::startHop(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    if (t.completed)
        return;
    if (t.suspended) {
        t.hopPendingWhileSuspended = true;
        return;
    }
    // The task's current request is its original one until a redirect
    // replaces it (a copy per request saved).
    if (std::exchange(t.requestReplaced, false))
        task->replaceCurrentRequest(t.request);
    if (!t.request.url)
        return fail(task, URLErrorBadURL, "the request has no URL");
    const auto scheme = t.request.url->scheme();
    const bool web = scheme && (equalsIgnoringCase(*scheme, "http") || equalsIgnoringCase(*scheme, "https"));
    if (!web || !t.request.url->hasHost()) {
        return fail(task, URLErrorUnsupportedURL, "only http and https URLs with a host are supported");
    }
    t.hopKind = HopKind::Final;
    t.hopStatus = 0;
    t.hopHeaders = HTTPHeaderFields();
    t.hopCookies.clear();
    t.hopBody.clear();
    t.finalHeadersSeen = false;
    t.hopIsFinal = false;
    t.pendingTrust.reset();
    t.trustFailureCode = 0;
    t.trustFailureReason.clear();
    t.headerBytes = 0;
    t.headerTooLarge = false;
    t.clientCertificateRequested = false;
    t.clientCertificatePending = false;
    t.lastActivity = SteadyClock::now();
    if (!multi_)
        return failWithReason(task, URLErrorUnknown, setupFailure_);
    bool configured = false;
    EasyHandle* handle = takeEasyHandle(configured);
    if (!handle)
        return failWithReason(task, URLErrorUnknown, "libcurl cannot make a transfer handle");
    if (!configureHop(*task, *handle, configured)) {
        releaseHeaderList(t);
        t.handle = nullptr;
        recycleEasyHandle(handle);
        return;  // configureHop failed the task
    }
    if (const CURLMcode added = curl_multi_add_handle(multi_, handle->easy); added != CURLM_OK) {
        releaseHeaderList(t);
        t.handle = nullptr;
        recycleEasyHandle(handle);
        return failWithReason(
            task, URLErrorUnknown,
            std::string("libcurl refused to start the transfer: ") + curl_multi_strerror(added));
    }
    t.easy = handle->easy;
    t.pausedByCallback = false;
    putActive(active_, handle->easy, task);
}

// Sets a hop's options one after another, and keeps the first one libcurl
// refuses: the hop is then not started (see failSetup). A refused TLS option
// in particular must fail the request: going on would send it with weaker
// checks than asked for.
class OptionSetter {
  public:
    explicit OptionSetter(CURL* easy) : easy_(easy) {}

    template <class Value>
    void set(CURLoption option, Value value, const char* name) {
        if (failed_ != CURLE_OK)
            return;
        CURLcode result = CURLE_OK;
        if (auto hook = curlOptionHook.load(std::memory_order_relaxed))
            result = static_cast<CURLcode>(hook(option));
        if (result == CURLE_OK)
            result = curl_easy_setopt(easy_, option, value);
        if (result != CURLE_OK) {
            failed_ = result;
            failedName_ = name;
            failedInTLS_ = inTLS_;
        }
    }
    // An option that only tunes: a refusal leaves libcurl's default, which
    // is logged, and the request goes on.
    template <class Value>
    void tune(CURLoption option, Value value, const char* name) {
        CURLcode result = CURLE_OK;
        if (auto hook = curlOptionHook.load(std::memory_order_relaxed))
            result = static_cast<CURLcode>(hook(option));
        if (result == CURLE_OK)
            result = curl_easy_setopt(easy_, option, value);
        if (result != CURLE_OK)
            Log(std::string("URL session: libcurl refused ") + name + ": " + curl_easy_strerror(result));
    }
    // Options set from now on (until the next call) belong to TLS.
    void tls(bool on) { inTLS_ = on; }
    // A step of the setup failed outside libcurl's options.
    void refuse(CURLcode result, const char* what) {
        if (failed_ == CURLE_OK) {
            failed_ = result;
            failedName_ = what;
            failedInTLS_ = inTLS_;
        }
    }

    bool ok() const { return failed_ == CURLE_OK; }
    bool failedInTLS() const { return failedInTLS_; }
    // "CURLOPT_X: <libcurl's text>"
    std::string failure() const {
        return std::string(failedName_ ? failedName_ : "?") + ": " + curl_easy_strerror(failed_);
    }

  private:
    CURL* easy_;
    CURLcode failed_ = CURLE_OK;
    const char* failedName_ = nullptr;
    bool inTLS_ = false;
    bool failedInTLS_ = false;
};

// The option's name goes into the error of a refused option.
#define KP_SETOPT(setter, option, value) (setter).set(option, value, #option)

namespace {

// The callbacks, where they and libcurl's error text find the hop (the
// handle), and what libcurl must not do on its own (follow redirects, use a
// proxy the configuration did not ask for): the same for every hop of the
// session, so a handle that keeps its options has them.
void setStandingTransferOptions(OptionSetter& set, Engine* engine, EasyHandle& handle,
                                bool useEnvironmentProxy) {
    KP_SETOPT(set, CURLOPT_PROTOCOLS_STR, "http,https");
    KP_SETOPT(set, CURLOPT_NOSIGNAL, 1L);
    KP_SETOPT(set, CURLOPT_OPENSOCKETFUNCTION, openSocketCallback);
    KP_SETOPT(set, CURLOPT_OPENSOCKETDATA, engine);
    KP_SETOPT(set, CURLOPT_CLOSESOCKETFUNCTION, closeSocketCallback);
    KP_SETOPT(set, CURLOPT_CLOSESOCKETDATA, engine);
    KP_SETOPT(set, CURLOPT_HEADERFUNCTION, headerCallback);
    KP_SETOPT(set, CURLOPT_HEADERDATA, &handle);
    KP_SETOPT(set, CURLOPT_WRITEFUNCTION, writeCallback);
    KP_SETOPT(set, CURLOPT_WRITEDATA, &handle);
    static_assert(sizeof handle.errorText >= CURL_ERROR_SIZE);
    KP_SETOPT(set, CURLOPT_ERRORBUFFER, handle.errorText.data());
    KP_SETOPT(set, CURLOPT_FOLLOWLOCATION, 0L);
    // Content decoding is on (whatever the request offers, see
    // setAcceptEncoding); the value is never sent.
    KP_SETOPT(set, CURLOPT_ACCEPT_ENCODING, "");
    if (!useEnvironmentProxy)
        KP_SETOPT(set, CURLOPT_NOPROXY, "*");
}

// The URL, unless the handle has it from its last hop (libcurl keeps its
// own copy, and setting it again costs a copy and a free). With the text
// goes the URL as libcurl's parser reads it, with the flags libcurl itself
// parses a URL option with: libcurl then takes its parts from that for
// every transfer instead of parsing the text and reassembling it each
// time (about a tenth of a small request's work). A URL that parser
// refuses is left to libcurl, which fails the transfer as it always has.
void setHopTransferOptions(OptionSetter& set, EasyHandle& handle, Transfer& t, const URLRequest& r) {
    const std::string& url = r.url->absoluteString();
    if (handle.url.empty() || handle.url != url) {
        handle.url.clear();  // unknown until libcurl has taken it
        CURLU* parsed = curl_url();
        if (parsed && curl_url_set(parsed, CURLUPART_URL, url.c_str(),
                                   CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
            curl_url_cleanup(parsed);
            parsed = nullptr;
        }
        KP_SETOPT(set, CURLOPT_URL, url.c_str());
        KP_SETOPT(set, CURLOPT_CURLU, parsed);
        if (set.ok()) {
            curl_url_cleanup(static_cast<CURLU*>(handle.parsedURL));
            handle.parsedURL = parsed;
            handle.url = url;
        } else {
            // A refused option fails the hop, and the handle is reset
            // before it is used again: libcurl lets go of the new parsed URL
            // now, and the handle's earlier one stays its own until replaced.
            (void)curl_easy_setopt(handle.easy, CURLOPT_CURLU, static_cast<CURLU*>(nullptr));
            curl_url_cleanup(parsed);
        }
    }
    // Downloads go to a file: larger reads mean fewer callbacks and writes.
    // (Not a plain hop: the handle is reset afterwards, see configureHop.)
    if (t.kind == TaskKind::Download)
        set.tune(CURLOPT_BUFFERSIZE, 256L * 1024, "CURLOPT_BUFFERSIZE");
}

// TLS: our own verification decides, so libcurl's host check is off and
// its verify-peer only reads the result our callback leaves behind. Every
// one of these must hold: without the context callback, say, libcurl would
// judge the server by its own rules instead of ours. The same for every
// hop but the transfer the callback reaches (`standing`: set all of them,
// else only that one).
void setTLSOptions(OptionSetter& set, Transfer& t, bool standing) {
    set.tls(true);
    if (standing) {
        KP_SETOPT(set, CURLOPT_SSL_VERIFYPEER, 1L);
        KP_SETOPT(set, CURLOPT_SSL_VERIFYHOST, 0L);
        KP_SETOPT(set, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        KP_SETOPT(set, CURLOPT_SSL_CTX_FUNCTION, sslContextCallback);
        // libcurl's own CA bundle is never consulted (the callback replaces
        // its verification), and loading it would fail every handshake on a
        // system without one, even those whose trust the delegate or a
        // pinned certificate decides. The system roots come from security's
        // systemRootCertificates() instead.
        KP_SETOPT(set, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
        KP_SETOPT(set, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    KP_SETOPT(set, CURLOPT_SSL_CTX_DATA, &t);
    set.tls(false);
}

// The encodings libcurl can decode, as it would offer them itself. Never
// destroyed: the network thread of a session nobody invalidated may still
// read it while the process exits.
const std::string& decodableEncodings() {
    static const std::string& encodings = *new std::string([] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        const int features = info ? info->features : 0;
        std::string list;
        auto add = [&](const char* name) { list += (list.empty() ? "" : ", ") + std::string(name); };
        if (features & CURL_VERSION_LIBZ) {
            add("deflate");
            add("gzip");
        }
        if (features & CURL_VERSION_BROTLI)
            add("br");
        if (features & CURL_VERSION_ZSTD)
            add("zstd");
        return list.empty() ? std::string("identity") : list;
    }());
    return encodings;
}

// libcurl decodes the body (a standing option turns that on): the
// Accept-Encoding field is the caller's, else every encoding libcurl can
// decode. The field goes in the header list, where libcurl takes it
// instead of formatting one of its own for every request.
void setAcceptEncoding(HTTPHeaderFields& headers) {
    const std::string* encoding = headers.find("Accept-Encoding");
    if (!encoding || encoding->empty())
        headers.setValue(decodableEncodings(), "Accept-Encoding");
}

// The header lines as sent.
curl_slist* makeHeaderList(OptionSetter& set, const HTTPHeaderFields& headers, bool hasBody) {
    curl_slist* list = nullptr;
    auto append = [&](const std::string& line) {
        // On a failed allocation the list so far stays valid and is kept.
        if (curl_slist* longer = curl_slist_append(list, line.c_str()))
            list = longer;
        else
            set.refuse(CURLE_OUT_OF_MEMORY, "the header list");
    };
    for (const auto& [name, value] : headers.fields())
        append(name + (value.empty() ? ";" : ": " + value));
    // libcurl would otherwise add "Expect: 100-continue" to larger bodies,
    // and a form Content-Type to bodies without one. (Without a body it adds
    // neither: no line for it to read through on every request.)
    if (hasBody) {
        append("Expect:");
        if (!headers.contains("Content-Type"))
            append("Content-Type:");
    }
    return list;
}

}  // namespace

void Engine::setHeaderList(OptionSetter& set, Transfer& t, const HTTPHeaderFields& headers, bool hasBody) {
    // Requests alike in their fields (a client's default ones, say) share
    // one list: the engine keeps the last list made while no hop used the
    // one before it.
    if (sharedHeaderList_ && hasBody == sharedHeaderHasBody_ &&
        headers.fields() == sharedHeaderFields_.fields()) {
        ++sharedHeaderUsers_;
        t.headerList = sharedHeaderList_;
        t.headerListKind = HeaderListKind::Shared;
    } else {
        curl_slist* list = makeHeaderList(set, headers, hasBody);
        t.headerList = list;
        t.headerListKind = HeaderListKind::Own;
        if (set.ok() && sharedHeaderUsers_ == 0) {
            curl_slist_free_all(sharedHeaderList_);
            sharedHeaderList_ = list;
            sharedHeaderFields_ = headers;
            sharedHeaderHasBody_ = hasBody;
            sharedHeaderUsers_ = 1;
            t.headerListKind = HeaderListKind::Shared;
        }
    }
    KP_SETOPT(set, CURLOPT_HTTPHEADER, t.headerList);
}

void Engine::releaseHeaderList(Transfer& t) {
    switch (t.headerListKind) {
        case HeaderListKind::Shared:
            --sharedHeaderUsers_;
            break;
        case HeaderListKind::Own:
            curl_slist_free_all(t.headerList);  // null: nothing
            break;
        case HeaderListKind::Standing:
            break;  // the engine's for as long as it lives
    }
    t.headerList = nullptr;
    t.headerListKind = HeaderListKind::Own;
}

bool Engine::configureHop(URLSessionTask& task, EasyHandle& handle, bool configured) {
    assertCommandThread();
    auto& t = *task.transfer_;
    auto self = task.shared_from_this();
    t.owner = &task;
    t.engine = this;
    t.easyKeepsOptions = false;
    t.handle = &handle;
    handle.transfer = &t;
    handle.errorText[0] = '\0';
    OptionSetter set(handle.easy);
    auto refused = [&] {
        failWithReason(self, set.failedInTLS() ? URLErrorSecureConnectionFailed : URLErrorUnknown,
                       std::string(set.failedInTLS() ? "a TLS setting" : "a setting") +
                           " of the request could not be made, so it was not sent (" + set.failure() + ")");
        return false;
    };
    if (!configured)
        setStandingTransferOptions(set, this, handle, configuration_.connectionProxyFromEnvironment);
    setHopTransferOptions(set, handle, t, t.request);
    setTLSOptions(set, t, !configured);
    if (!set.ok())
        return refused();
    const bool hasBody =
        t.body || t.request.httpBody || t.kind == TaskKind::UploadFile || t.kind == TaskKind::UploadStream;
    if (curl_slist* standing = hasBody ? nullptr : standingHeaderList(task)) {
        HTTPHeaderFields none;  // without a body the method takes nothing from the fields
        if (!setMethodAndBody(set, task, none))
            return false;  // failed the task
        t.headerList = standing;
        t.headerListKind = HeaderListKind::Standing;
        if (handle.headerList != standing) {
            handle.headerList = nullptr;  // unknown until libcurl has taken it
            KP_SETOPT(set, CURLOPT_HTTPHEADER, standing);
            if (!set.ok())
                return refused();
            handle.headerList = standing;
        }
        t.easyKeepsOptions = t.kind != TaskKind::Download && t.request.methodView() == "GET";
        return true;
    }
    auto headers = hopHeaderFields(task);
    if (!headers)
        return false;  // failed the task
    setAcceptEncoding(*headers);
    if (!setMethodAndBody(set, task, *headers))
        return false;  // failed the task
    setHeaderList(set, t, *headers, hasBody);
    // A hop's own or shared list is taken off the handle when the hop ends
    // (see recycleEasyHandle).
    handle.headerList = t.headerList;
    if (!set.ok())
        return refused();
    // A plain GET sets nothing beyond the standing options and those every
    // hop sets again (URL, transfer, error buffer, header list):
    // its handle can serve the next hop without a reset.
    t.easyKeepsOptions = !hasBody && t.kind != TaskKind::Download && t.request.methodView() == "GET";
    return true;
}

namespace {

// The first field that would change the request if sent as it is (a line
// break, NUL or colon in its name, a line break or NUL in its value).
const HTTPHeaderFields::Field* unsendableField(const HTTPHeaderFields& headers) {
    for (const auto& field : headers.fields()) {
        const auto& [name, value] = field;
        if (hasLineBreak(name) || hasLineBreak(value) || name.empty() || name.find(':') != std::string::npos)
            return &field;
    }
    return nullptr;
}

}  // namespace

// A hop whose fields are the configuration's alone (no field of the
// request's own, no cookie, credential, range or body) sends the same lines
// every time: the engine builds that list once and keeps it, so such a hop
// neither merges fields nor compares them with the shared list's.
curl_slist* Engine::standingHeaderList(URLSessionTask& task) {
    auto& t = *task.transfer_;
    const URLRequest& r = t.request;
    if (!r.allHTTPHeaderFields.empty() || (t.credential && t.credential->user && t.authChallenge) ||
        (t.kind == TaskKind::Download && t.resumeInfo && !t.filePath.empty())) {
        return nullptr;
    }
    if (standingHeaders_ == StandingHeaders::Unknown) {
        standingHeaders_ = StandingHeaders::Unusable;
        HTTPHeaderFields headers = configuration_.httpAdditionalHeaders;
        if (unsendableField(headers))
            return nullptr;  // each hop fails on its own (see hopHeaderFields)
        setAcceptEncoding(headers);
        standingHeadersHaveCookie_ = headers.contains("Cookie");
        OptionSetter built(nullptr);
        curl_slist* list = makeHeaderList(built, headers, false);
        if (!built.ok()) {
            curl_slist_free_all(list);
            return nullptr;
        }
        standingHeaderList_ = list;
        standingHeaders_ = StandingHeaders::Ready;
    }
    if (standingHeaders_ != StandingHeaders::Ready)
        return nullptr;
    auto cookies = configuration_.httpCookieStorage;
    if (cookies && configuration_.httpShouldSetCookies && r.httpShouldHandleCookies &&
        !standingHeadersHaveCookie_ && !cookies->cookiesForURL(*r.url).empty()) {
        return nullptr;
    }
    return standingHeaderList_;
}

std::optional<HTTPHeaderFields> Engine::hopHeaderFields(URLSessionTask& task) {
    auto& t = *task.transfer_;
    const URLRequest& r = t.request;
    // The configuration's, then the request's (which win).
    HTTPHeaderFields headers = configuration_.httpAdditionalHeaders;
    for (const auto& [name, value] : r.allHTTPHeaderFields.fields())
        headers.setValue(value, name);
    if (const auto* field = unsendableField(headers)) {
        failWithReason(task.shared_from_this(), URLErrorBadURL,
                       "refused to send header field \"" + printable(field->first) +
                           "\": a line break, NUL or colon in a name, or a line break or NUL in a "
                           "value, would change the request");
        return std::nullopt;
    }
    auto cookies = configuration_.httpCookieStorage;
    if (cookies && configuration_.httpShouldSetCookies && r.httpShouldHandleCookies &&
        !headers.contains("Cookie")) {
        auto list = cookies->cookiesForURL(*r.url);
        if (!list.empty())
            headers.setValue(HTTPCookieStorage::headerValue(list), "Cookie");
    }
    if (t.credential && t.credential->user && t.authChallenge && !headers.contains("Authorization")) {
        const auto& c = *t.credential;
        headers.setValue(
            t.authChallenge->scheme == "digest"
                ? digestAuthorization(*t.authChallenge, r.method(), requestTarget(*r.url), *c.user,
                                      c.password.value_or(""), clientNonce(), ++t.nonceCount)
                : basicAuthorization(*c.user, c.password.value_or("")),
            "Authorization");
    }
    if (t.kind == TaskKind::Download && t.resumeInfo && !t.filePath.empty()) {
        headers.setValue("bytes=" + std::to_string(t.resumeInfo->bytesReceived) + "-", "Range");
        if (auto validator = t.resumeInfo->entityTag ? t.resumeInfo->entityTag : t.resumeInfo->lastModified) {
            headers.setValue(*validator, "If-Range");
        }
    }
    return headers;
}

bool Engine::setMethodAndBody(OptionSetter& set, URLSessionTask& task, HTTPHeaderFields& headers) {
    auto& t = *task.transfer_;
    const URLRequest& r = t.request;
    const std::string_view method = r.methodView();  // NUL-terminated, see methodView
    const Data* body = t.body ? &*t.body : (r.httpBody ? &*r.httpBody : nullptr);
    const bool hasBody = body || t.kind == TaskKind::UploadFile || t.kind == TaskKind::UploadStream;
    if (!hasBody) {
        if (method == "HEAD")
            KP_SETOPT(set, CURLOPT_NOBODY, 1L);
        else if (method != "GET")
            KP_SETOPT(set, CURLOPT_CUSTOMREQUEST, method.data());
        return true;
    }
    KP_SETOPT(set, CURLOPT_POST, 1L);
    if (body) {
        KP_SETOPT(set, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->length()));
        KP_SETOPT(set, CURLOPT_POSTFIELDS, body->bytes());
        task.bytesExpectedToSend_ = static_cast<int64_t>(body->length());
    } else {
        curl_off_t size = -1;
        if (t.kind == TaskKind::UploadFile) {
            t.uploadFd = ::open(t.bodyFile->path().c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st {};
            if (t.uploadFd < 0 || ::fstat(t.uploadFd, &st) != 0 || !S_ISREG(st.st_mode)) {
                fail(task.shared_from_this(), URLErrorFileDoesNotExist, "cannot read " + t.bodyFile->path());
                return false;
            }
            size = st.st_size;
        } else if (auto length = headers.valueForHTTPHeaderField("Content-Length")) {
            size = std::strtoll(length->c_str(), nullptr, 10);
            headers.setValue(std::nullopt, "Content-Length");
        }
        KP_SETOPT(set, CURLOPT_READFUNCTION, readCallback);
        KP_SETOPT(set, CURLOPT_READDATA, &t);
        KP_SETOPT(set, CURLOPT_POSTFIELDSIZE_LARGE, size);
        task.bytesExpectedToSend_ = size;
    }
    if (method != "POST")
        KP_SETOPT(set, CURLOPT_CUSTOMREQUEST, method.data());
    KP_SETOPT(set, CURLOPT_NOPROGRESS, 0L);
    KP_SETOPT(set, CURLOPT_XFERINFOFUNCTION, progressCallback);
    KP_SETOPT(set, CURLOPT_XFERINFODATA, &t);
    return true;
}

#undef KP_SETOPT

void Engine::unpause(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    // A handle no callback paused goes on by itself: a task suspended and
    // resumed before any of its body arrived.
    if (!std::exchange(t.pausedByCallback, false))
        return;
    // libcurl hands over the data it kept from inside this call: should that
    // fail (a download file that cannot be written), the transfer has ended.
    const CURLcode result = curl_easy_pause(t.easy, CURLPAUSE_CONT);
    if (result != CURLE_OK) {
        fail(task, t.writeFailureCode ? t.writeFailureCode : urlErrorCodeForCurlResult(result, 0),
             curl_easy_strerror(result));
    }
}

void Engine::releaseHop(Transfer& t) {
    assertCommandThread();
    if (t.easy) {
        dropActive(active_, t.easy);
        // Fails only for a handle that is not in the multi handle, which
        // then has nothing to let go of.
        (void)curl_multi_remove_handle(multi_, t.easy);
        recycleEasyHandle(t.handle, std::exchange(t.easyKeepsOptions, false));
        t.easy = nullptr;
        t.handle = nullptr;
    }
    releaseHeaderList(t);
    if (t.uploadFd >= 0) {
        (void)::close(t.uploadFd);  // only read from: nothing to lose
        t.uploadFd = -1;
    }
}

// --- transfer callbacks ---

void Engine::onHeadersComplete(URLSessionTask& task) {
    assertCommandThread();
    auto& t = *task.transfer_;
    auto self = task.shared_from_this();
    const URL& url = *t.request.url;
    if (auto cookies = configuration_.httpCookieStorage;
        cookies && configuration_.httpShouldSetCookies && !t.hopCookies.empty() &&
        configuration_.httpCookieAcceptPolicy != HTTPCookieAcceptPolicy::Never) {
        cookies->setCookiesFromResponse(t.hopCookies, url);
    }
    if (t.hopIsFinal) {
        // A redirect or challenge the delegate chose not to follow.
    } else if (isRedirectStatus(t.hopStatus) && t.hopHeaders.contains("Location")) {
        t.hopKind = HopKind::Redirect;
        return;
    } else if (t.hopStatus == 401) {
        if (auto header = t.hopHeaders.valueForHTTPHeaderField("WWW-Authenticate")) {
            if (parseWWWAuthenticate(*header)) {
                t.hopKind = HopKind::Authenticate;
                return;
            }
        }
    }
    t.hopKind = HopKind::Final;
    t.finalHeadersSeen = true;
    const std::string* encoding = t.hopHeaders.find("Content-Encoding");
    bool decoded = encoding && !equalsIgnoringCase(*encoding, "identity");
    // The final hop's fields move into its response (read from there from
    // now on, see openDownloadFile): no hop reads them after this one.
    auto response =
        std::make_shared<const HTTPURLResponse>(url, t.hopStatus, std::exchange(t.hopHeaders, {}), decoded);
    {
        plat::MutexLock lock(task.mutex_);
        task.response_ = response;
    }
    int64_t expected = response->expectedContentLength();
    if (t.kind == TaskKind::Download) {
        if (!openDownloadFile(task))
            return;
        if (expected >= 0)
            expected += t.fileOffset;
    }
    task.bytesExpectedToReceive_ = expected;
    t.cacheable = !t.servedFromCache && t.hopStatus == 200 && mayCache(task);
    t.cacheBody.clear();
    const bool isData = t.kind != TaskKind::Download;
    if (isData && !t.dataCompletion &&
        delegateImplements(task, URLSessionDelegate::Callback::DidReceiveResponse)) {
        t.awaitingDisposition = true;
        std::weak_ptr<Engine> weak = weak_from_this();
        auto answer = onceHandler<URLSessionResponseDisposition>(
            [weak, self](URLSessionResponseDisposition disposition) {
                auto engine = weak.lock();
                if (!engine)
                    return;
                engine->post([engine, self, disposition] {
                    if (self->transfer_->completed || !self->transfer_->awaitingDisposition)
                        return;
                    auto task = self;
                    if (disposition == URLSessionResponseDisposition::BecomeDownload) {
                        task = engine->becomeDownload(self);
                        if (!task)
                            return;
                    } else if (disposition != URLSessionResponseDisposition::Allow) {
                        self->transfer_->awaitingDisposition = false;
                        return engine->fail(self, URLErrorCancelled);
                    }
                    auto& tr = *task->transfer_;
                    tr.awaitingDisposition = false;
                    tr.lastActivity = SteadyClock::now();
                    if (tr.doneWhileAwaiting) {
                        int result = *tr.doneWhileAwaiting;
                        tr.doneWhileAwaiting.reset();
                        engine->finishHop(task, result);
                    } else if (tr.easy && !tr.suspended) {
                        engine->unpause(task);
                    }
                });
            },
            URLSessionResponseDisposition::Allow);
        auto dataTask = std::static_pointer_cast<URLSessionDataTask>(self);
        deliver(self, [dataTask, response, answer](URLSessionDelegate& d, URLSession& s) {
            d.didReceiveResponse(s, *dataTask, response, answer);
        });
    }
}

bool Engine::openDownloadFile(URLSessionTask& task) {
    assertCommandThread();
    auto& t = *task.transfer_;
    auto self = std::static_pointer_cast<URLSessionDownloadTask>(task.shared_from_this());
    HTTPURLResponsePtr response;
    {
        plat::MutexLock lock(task.mutex_);
        response = task.response_;
    }
    const HTTPHeaderFields& headers = response ? response->allHeaderFields() : t.hopHeaders;
    t.entityTag = headers.valueForHTTPHeaderField("ETag");
    t.lastModified = headers.valueForHTTPHeaderField("Last-Modified");
    auto ranges = headers.valueForHTTPHeaderField("Accept-Ranges");
    t.rangesRefused = ranges && equalsIgnoringCase(trim(*ranges), "none");
    t.written = 0;
    t.progress = std::make_shared<Transfer::Progress>();
    if (t.fd >= 0) {
        // The file of an earlier hop, reopened (or replaced) below.
        (void)::close(t.fd);
        t.fd = -1;
    }
    if (t.resumeInfo && !t.filePath.empty()) {
        const bool partial = t.hopStatus == 206;
        t.fd =
            ::open(t.filePath.c_str(), (O_WRONLY | O_CLOEXEC | O_NOFOLLOW) | (partial ? O_APPEND : O_TRUNC));
        if (t.fd >= 0) {
            t.fileOffset = partial ? t.resumeInfo->bytesReceived : 0;
            // The rest is appended at the offset the server resumes from:
            // bytes past it (written after the resume data was made) must
            // go first, or the file would hold them twice.
            if (partial && ::ftruncate(t.fd, t.fileOffset) != 0) {
                t.writeFailureCode = URLErrorCannotWriteToFile;
                t.writeFailureReason = "cannot cut the partial download back to " +
                                       std::to_string(t.fileOffset) + " bytes: " + std::strerror(errno);
                (void)::close(t.fd);  // the write failure is what is reported
                t.fd = -1;
                return false;
            }
            int64_t total = t.resumeInfo->expectedTotal;
            int64_t offset = t.fileOffset;
            deliver(self, [self, offset, total](URLSessionDelegate& d, URLSession& s) {
                d.didResumeAtOffset(s, *self, offset, total);
            });
            return true;
        }
    }
    if (t.filePath.empty()) {
        std::string pattern = URLSession::downloadDirectory() + "/download-XXXXXX";
        t.fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (t.fd >= 0)
            t.filePath = pattern;
    } else {
        t.fd = ::open(t.filePath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    }
    t.fileOffset = 0;
    if (t.fd < 0) {
        t.writeFailureCode = URLErrorCannotCreateFile;
        return false;
    }
    return true;
}

size_t Engine::onBody(URLSessionTask& task, const char* bytes, size_t length) {
    assertCommandThread();
    auto& t = *task.transfer_;
    if (t.hopKind != HopKind::Final) {
        if (t.hopBody.size() < kInterceptedBodyLimit)
            t.hopBody.append(bytes, length);
        return length;
    }
    if (t.awaitingDisposition || t.suspended) {
        t.easyKeepsOptions = false;  // a paused handle is reset before it is used again
        t.pausedByCallback = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    auto self = task.shared_from_this();
    task.bytesReceived_ += static_cast<int64_t>(length);
    if (t.kind == TaskKind::Download) {
        if (t.fd < 0)
            return 0;
        for (size_t done = 0; done < length;) {
            ssize_t n = ::write(t.fd, bytes + done, length - done);
            if (n <= 0) {
                t.writeFailureCode = URLErrorCannotWriteToFile;
                return 0;
            }
            done += static_cast<size_t>(n);
        }
        t.written += static_cast<int64_t>(length);
        // Progress is coalesced: while one report waits on the delegate
        // queue, later chunks add to it instead of queueing more.
        t.progress->unreported += static_cast<int64_t>(length);
        if (!t.progress->pending.exchange(true)) {
            auto download = std::static_pointer_cast<URLSessionDownloadTask>(self);
            auto progress = t.progress;
            int64_t base = t.fileOffset, expected = task.bytesExpectedToReceive_.load();
            deliver(self, [download, progress, base, expected](URLSessionDelegate& d, URLSession& s) {
                progress->pending = false;
                int64_t delta = progress->unreported.exchange(0);
                if (delta == 0)
                    return;
                int64_t total = base + (progress->reported += delta);
                d.didWriteData(s, *download, delta, total, expected);
            });
        }
        return length;
    }
    if (t.dataCompletion) {
        const auto limit = configuration_.maximumInMemoryBodyLength;
        if (limit > 0 && static_cast<int64_t>(t.accumulated.size() + length) > limit) {
            t.writeFailureCode = URLErrorDataLengthExceedsMaximum;
            t.writeFailureReason = bodyTooLargeReason(limit);
            return 0;  // ends the transfer
        }
        const auto* first = reinterpret_cast<const uint8_t*>(bytes);
        t.accumulated.insert(t.accumulated.end(), first, first + length);
        return length;
    }
    if (t.cacheable) {
        // Kept while the cache would take it (a twentieth of its size).
        const auto& cache = *configuration_.urlCache;
        const auto limit = std::max(cache.memoryCapacity(), cache.diskCapacity()) / 20;
        if (static_cast<int64_t>(t.cacheBody.size() + length) > limit) {
            t.cacheable = false;
            std::string().swap(t.cacheBody);
        } else {
            t.cacheBody.append(bytes, length);
        }
    }
    holdBody(std::static_pointer_cast<URLSessionDataTask>(std::move(self)), bytes, length);
    return length;
}

void Engine::onUploadProgress(URLSessionTask& task, int64_t sent, int64_t total) {
    assertCommandThread();
    auto& t = *task.transfer_;
    int64_t delta = sent - t.lastUploadReported;
    t.lastUploadReported = sent;
    t.lastActivity = activityTime();
    task.bytesSent_ = sent;
    if (delta <= 0)
        return;
    auto self = task.shared_from_this();
    deliver(self, [self, delta, sent, total](URLSessionDelegate& d, URLSession& s) {
        d.didSendBodyData(s, *self, delta, sent, total);
    });
}

bool Engine::onVerify(URLSessionTask& task, void* storeContext) {
    assertCommandThread();
    auto* context = static_cast<X509_STORE_CTX*>(storeContext);
    auto& t = *task.transfer_;
    std::vector<security::CertificatePtr> chain;
    chain.push_back(security::Certificate::fromX509(X509_STORE_CTX_get0_cert(context)));
    if (STACK_OF(X509)* untrusted = X509_STORE_CTX_get0_untrusted(context)) {
        for (int i = 0; i < sk_X509_num(untrusted); ++i) {
            X509* x = sk_X509_value(untrusted, i);
            if (X509_cmp(x, X509_STORE_CTX_get0_cert(context)) != 0)
                chain.push_back(security::Certificate::fromX509(x));
        }
    }
    auto trust =
        security::ServerTrust::create(chain, {security::TrustPolicy::SSL(true, t.request.url->host())});
    if (!trust)
        return false;
    if (auto* ssl =
            static_cast<SSL*>(X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()))) {
        const unsigned char* stapled = nullptr;
        long length = SSL_get_tlsext_status_ocsp_resp(ssl, &stapled);
        if (stapled && length > 0)
            trust->setOCSPResponses({Data(stapled, static_cast<size_t>(length))});
    }
    if (!extraRoots_.empty()) {
        trust->setAnchorCertificates(extraRoots_);
        trust->setAnchorCertificatesOnly(false);
    }
    if (t.approvedLeaf && *t.approvedLeaf == chain.front()->data()) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return true;
    }
    if (delegateImplements(task, URLSessionDelegate::Callback::SessionDidReceiveChallenge) ||
        delegateImplements(task, URLSessionDelegate::Callback::TaskDidReceiveChallenge)) {
        // The delegate decides off this thread; the handshake is refused now
        // and made again with its answer (see answerTrust).
        t.pendingTrust = trust;
        X509_STORE_CTX_set_error(context, X509_V_ERR_APPLICATION_VERIFICATION);
        return false;
    }
    if (trust->evaluateWithError()) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return true;
    }
    t.trustFailureCode = urlErrorCodeForVerifyResult(trust->lastVerifyResult());
    t.trustFailureReason = trustFailureReason(*trust);
    X509_STORE_CTX_set_error(context, trust->lastVerifyResult());
    return false;
}

// --- finishing hops ---

void Engine::onDone(void* easy, int result) {
    assertCommandThread();
    const ActiveSlot* slot = active_.find(easy, pointerHash(easy));
    if (!slot)
        return;
    TaskPtr task = slot->task;
    auto& t = *task->transfer_;
    // Metrics for this request. A value libcurl cannot give stays 0: the
    // metrics then say less, and nothing else depends on them.
    TransactionMetrics m;
    m.requestURL = *t.request.url;
    auto us = [&](CURLINFO info) {
        curl_off_t v = 0;
        (void)curl_easy_getinfo(easy, info, &v);  // unknown: stays 0
        return static_cast<double>(v) / 1e6;
    };
    m.domainLookupEnd = us(CURLINFO_NAMELOOKUP_TIME_T);
    m.connectEnd = us(CURLINFO_CONNECT_TIME_T);
    m.secureConnectionEnd = us(CURLINFO_APPCONNECT_TIME_T);
    m.requestStart = us(CURLINFO_PRETRANSFER_TIME_T);
    m.responseStart = us(CURLINFO_STARTTRANSFER_TIME_T);
    m.responseEnd = us(CURLINFO_TOTAL_TIME_T);
    m.fetchStartDate = Date(Date::now().timeIntervalSinceReferenceDate() - m.responseEnd);
    long version = 0, connects = 0, status = 0;
    (void)curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);   // unknown: stays 0
    (void)curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);  // unknown: stays 0
    (void)curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);   // unknown: stays 0
    m.networkProtocolName = version == CURL_HTTP_VERSION_2_0   ? "h2"
                            : version == CURL_HTTP_VERSION_1_0 ? "http/1.0"
                                                               : "http/1.1";
    m.reusedConnection = connects == 0 && result == CURLE_OK;
    m.statusCode = static_cast<int>(status);
    t.metrics->transactionMetrics.push_back(std::move(m));
    if (result != CURLE_OK) {
        long osErrno = 0;  // stays 0 (no errno in the text) should libcurl not know it
        (void)curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);  // unknown: stays 0
        t.errorBuffer = std::string(t.handle->errorText.data()) +
                        (osErrno ? " (errno " + std::to_string(osErrno) + ")" : "");
        if (static_cast<CURLcode>(result) == CURLE_COULDNT_CONNECT &&
            (osErrno == ENETUNREACH || osErrno == ENETDOWN)) {
            result = -ENETUNREACH;  // kept apart for the mapping below
        }
    }
    releaseHop(t);
    if (t.awaitingDisposition) {
        t.doneWhileAwaiting = result;
        return;
    }
    finishHop(task, result);
}

void Engine::finishHop(const TaskPtr& task, int result) {
    assertCommandThread();
    auto& t = *task->transfer_;
    if (t.completed)
        return;
    if (result != CURLE_OK) {
        if (t.pendingTrust)
            return onTrustChallenge(task);
        if (t.clientCertificatePending)
            return onClientCertificateChallenge(task);
        const bool tlsEnded = result == CURLE_SSL_CONNECT_ERROR || result == CURLE_RECV_ERROR ||
                              result == CURLE_SEND_ERROR || result == CURLE_GOT_NOTHING;
        if (t.clientCertificateRequested && tlsEnded && !t.trustFailureCode && t.hopStatus == 0) {
            // The server asked for a certificate and ended the connection
            // before answering.
            return t.clientIdentity ? fail(task, URLErrorClientCertificateRejected, t.errorBuffer)
                                    : fail(task, URLErrorClientCertificateRequired, t.errorBuffer);
        }
        if (t.trustFailureCode && !t.trustFailureReason.empty())
            return failWithReason(task, t.trustFailureCode, t.trustFailureReason);
        if (t.trustFailureCode)
            return fail(task, t.trustFailureCode, t.errorBuffer);
        if (t.writeFailureCode && !t.writeFailureReason.empty())
            return failWithReason(task, t.writeFailureCode, t.writeFailureReason);
        if (t.writeFailureCode)
            return fail(task, t.writeFailureCode, t.errorBuffer);
        if (t.headerTooLarge || (result == CURLE_OUT_OF_MEMORY && !t.finalHeadersSeen && t.hopStatus != 0)) {
            return failWithReason(task, URLErrorBadServerResponse,
                                  "the response header is too large: the limit is " +
                                      std::to_string(kResponseHeaderLimit / 1024) +
                                      " KB in all and 100 KB for one line");
        }
        if (result == -ENETUNREACH)
            return fail(task, URLErrorNotConnectedToInternet, t.errorBuffer);
        if (result == CURLE_READ_ERROR || result == CURLE_ABORTED_BY_CALLBACK) {
            return fail(
                task,
                t.kind == TaskKind::UploadFile ? URLErrorCannotOpenFile : URLErrorRequestBodyStreamExhausted,
                t.errorBuffer);
        }
        return fail(task, urlErrorCodeForCurlResult(result, 0), t.errorBuffer);
    }
    switch (t.hopKind) {
        case HopKind::Redirect:
            return onRedirect(task);
        case HopKind::Authenticate:
            return onAuthenticate(task);
        case HopKind::Final:
            if (!t.finalHeadersSeen)
                return fail(task, URLErrorBadServerResponse, "no response headers");
            return succeed(task);
    }
}

void Engine::onRedirect(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    if (t.redirectCount >= kMaximumRedirects)
        return fail(task, URLErrorHTTPTooManyRedirects);
    auto location = t.hopHeaders.valueForHTTPHeaderField("Location");
    auto target = URL::URLWithString(*location, *t.request.url);
    if (!target)
        return deliverHopAsFinal(task);
    URLRequest next = t.request;
    next.url = *target;
    const std::string method = t.request.method();
    if ((t.hopStatus == 303 && method != "HEAD") ||
        ((t.hopStatus == 301 || t.hopStatus == 302) && method == "POST")) {
        next.httpMethod = "GET";
        next.httpBody.reset();
        next.setValue(std::nullopt, "Content-Type");
        next.setValue(std::nullopt, "Content-Length");
    }
    // Credentials and cookies the caller set were meant for this origin
    // only: another host, port or scheme gets neither (the cookie storage
    // adds the new origin's own cookies).
    if (!sameOrigin(*target, *t.request.url)) {
        next.setValue(std::nullopt, "Authorization");
        next.setValue(std::nullopt, "Cookie");
    }
    auto response = std::make_shared<const HTTPURLResponse>(*t.request.url, t.hopStatus, t.hopHeaders);
    if (!delegateImplements(*task, URLSessionDelegate::Callback::WillPerformHTTPRedirection)) {
        return followRedirect(task, next);
    }
    std::weak_ptr<Engine> weak = weak_from_this();
    auto answer = onceHandler<std::optional<URLRequest>>(
        [weak, task](std::optional<URLRequest> request) {
            if (auto engine = weak.lock()) {
                engine->post([engine, task, request] { engine->followRedirect(task, request); });
            }
        },
        std::optional<URLRequest>(next));
    deliver(task, [task, response, next, answer](URLSessionDelegate& d, URLSession& s) {
        d.willPerformHTTPRedirection(s, *task, response, next, answer);
    });
}

void Engine::followRedirect(const TaskPtr& task, std::optional<URLRequest> next) {
    assertCommandThread();
    auto& t = *task->transfer_;
    if (t.completed)
        return;
    if (!next)
        return deliverHopAsFinal(task);
    const bool hostChanged = !next->url || !sameOrigin(*next->url, *t.request.url);
    const bool keepsBody = next->method() != "GET" && next->method() != "HEAD";
    t.redirectCount++;
    t.metrics->redirectCount = t.redirectCount;
    if (hostChanged) {
        t.credential.reset();
        t.authChallenge.reset();
    }
    if (!keepsBody) {
        t.body.reset();
        if (t.kind == TaskKind::UploadFile || t.kind == TaskKind::UploadStream)
            t.kind = TaskKind::Data;
    }
    t.request = std::move(*next);
    t.requestReplaced = true;
    if (t.kind == TaskKind::UploadStream)
        return requestBodyStream(task);
    startHop(task);
}

void Engine::onAuthenticate(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    auto challengeHeader = parseWWWAuthenticate(*t.hopHeaders.valueForHTTPHeaderField("WWW-Authenticate"));
    URLProtectionSpace space;
    space.host = t.request.url->host().value_or("");
    space.protocol = t.request.url->scheme().value_or("http");
    space.port = t.request.url->port().value_or(space.protocol == "https" ? 443 : 80);
    space.realm = challengeHeader->realm();
    space.authenticationMethod = challengeHeader->scheme == "digest" ? URLAuthenticationMethodHTTPDigest
                                                                     : URLAuthenticationMethodHTTPBasic;
    t.authChallenge = challengeHeader;
    if (t.failureCounts[space] >= kMaximumAuthenticationFailures ||
        t.authenticationRounds >= kMaximumAuthenticationRounds) {
        return deliverHopAsFinal(task);
    }
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace = space;
    challenge.previousFailureCount = t.failureCounts[space];
    challenge.proposedCredential = t.credential;
    challenge.failureResponse =
        std::make_shared<const HTTPURLResponse>(*t.request.url, t.hopStatus, t.hopHeaders);
    if (!delegateImplements(*task, URLSessionDelegate::Callback::TaskDidReceiveChallenge)) {
        return answerAuthentication(task, space, URLSessionAuthChallengeDisposition::PerformDefaultHandling,
                                    std::nullopt);
    }
    std::weak_ptr<Engine> weak = weak_from_this();
    auto answer = onceHandler<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>(
        [weak, task, space](URLSessionAuthChallengeDisposition disposition,
                            std::optional<URLCredential> credential) {
            if (auto engine = weak.lock()) {
                engine->post([engine, task, space, disposition, credential] {
                    engine->answerAuthentication(task, space, disposition, credential);
                });
            }
        },
        URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::optional<URLCredential>());
    deliver(task, [task, challenge, answer](URLSessionDelegate& d, URLSession& s) {
        d.didReceiveChallenge(s, *task, challenge, answer);
    });
}

bool Engine::challengeAnswerApplies(const TaskPtr& task, URLSessionAuthChallengeDisposition disposition) {
    if (task->transfer_->completed)
        return false;
    if (disposition == URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
        fail(task, URLErrorCancelled);
        return false;
    }
    return true;
}

void Engine::answerAuthentication(const TaskPtr& task, const URLProtectionSpace& space,
                                  URLSessionAuthChallengeDisposition disposition,
                                  std::optional<URLCredential> credential) {
    assertCommandThread();
    if (!challengeAnswerApplies(task, disposition))
        return;
    auto& t = *task->transfer_;
    using D = URLSessionAuthChallengeDisposition;
    if (disposition == D::PerformDefaultHandling) {
        credential.reset();
        // The storage's default, once: a stored credential that failed is not tried again.
        auto storage = configuration_.urlCredentialStorage;
        if (storage && !(t.credentialFromStorage && t.failureCounts[space] > 0)) {
            credential = storage->defaultCredentialForProtectionSpace(space);
            t.credentialFromStorage = credential.has_value();
        }
    }
    if (disposition == D::RejectProtectionSpace || !credential || !credential->user)
        return deliverHopAsFinal(task);
    t.failureCounts[space]++;
    t.authenticationRounds++;
    t.credential = credential;
    t.nonceCount = 0;
    t.request.setValue(std::nullopt, "Authorization");
    if (t.kind == TaskKind::UploadStream)
        return requestBodyStream(task);
    startHop(task);
}

void Engine::onTrustChallenge(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    auto trust = std::move(t.pendingTrust);
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = t.request.url->host().value_or("");
    challenge.protectionSpace.port = t.request.url->port().value_or(443);
    challenge.protectionSpace.protocol = "https";
    challenge.protectionSpace.authenticationMethod = URLAuthenticationMethodServerTrust;
    challenge.protectionSpace.serverTrust = trust;
    std::weak_ptr<Engine> weak = weak_from_this();
    auto answer = onceHandler<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>(
        [weak, task, trust](URLSessionAuthChallengeDisposition disposition,
                            std::optional<URLCredential> credential) {
            if (auto engine = weak.lock()) {
                engine->post([engine, task, trust, disposition, credential] {
                    task->transfer_->pendingTrust = trust;
                    engine->answerTrust(task, disposition, credential);
                });
            }
        },
        URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::optional<URLCredential>());
    deliverConnectionChallenge(task, challenge, std::move(answer));
}

URLProtectionSpace Engine::connectionSpace(const URLSessionTask& task, const char* method) const {
    const auto& url = *task.transfer_->request.url;
    URLProtectionSpace space;
    space.host = url.host().value_or("");
    space.port = url.port().value_or(443);
    space.protocol = "https";
    space.authenticationMethod = method;
    return space;
}

int Engine::onClientCertificateRequest(URLSessionTask& task, void* ssl, void** x509, void** key) {
    assertCommandThread();
    auto& t = *task.transfer_;
    t.clientCertificateRequested = true;
    if (!t.clientCertificateDecided) {
        if (delegateImplements(task, URLSessionDelegate::Callback::SessionDidReceiveChallenge) ||
            delegateImplements(task, URLSessionDelegate::Callback::TaskDidReceiveChallenge)) {
            // As for server trust: the handshake ends here and is made again
            // with the delegate's answer (see answerClientCertificate).
            t.clientCertificatePending = true;
            return -1;
        }
        // Default handling: the storage's default credential for the space.
        t.clientCertificateDecided = true;
        if (auto storage = configuration_.urlCredentialStorage) {
            auto stored = storage->defaultCredentialForProtectionSpace(
                connectionSpace(task, URLAuthenticationMethodClientCertificate));
            if (stored && stored->identity) {
                t.clientIdentity = stored->identity;
                t.clientCertificates = stored->certificates;
            }
        }
    }
    if (!t.clientIdentity)
        return 0;
    // An intermediate that cannot be added leaves the chain short, which can
    // only make the server refuse the certificate: the handshake goes on.
    for (const auto& c : t.clientCertificates) {
        if (SSL_add1_chain_cert(static_cast<SSL*>(ssl), static_cast<X509*>(c->x509())) != 1)
            Log("URL session: an intermediate of the client certificate could not be sent");
    }
    auto* certificate = static_cast<X509*>(t.clientIdentity->certificate()->x509());
    auto* privateKey = static_cast<EVP_PKEY*>(t.clientIdentity->privateKey());
    // OpenSSL takes a reference to each; without both, no certificate is sent.
    if (X509_up_ref(certificate) != 1)
        return 0;
    if (EVP_PKEY_up_ref(privateKey) != 1) {
        X509_free(certificate);
        return 0;
    }
    *x509 = certificate;
    *key = privateKey;
    return 1;
}

void Engine::onClientCertificateChallenge(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    t.clientCertificatePending = false;
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace = connectionSpace(*task, URLAuthenticationMethodClientCertificate);
    std::weak_ptr<Engine> weak = weak_from_this();
    auto answer = onceHandler<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>(
        [weak, task](URLSessionAuthChallengeDisposition disposition,
                     std::optional<URLCredential> credential) {
            if (auto engine = weak.lock()) {
                engine->post([engine, task, disposition, credential] {
                    engine->answerClientCertificate(task, disposition, credential);
                });
            }
        },
        URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::optional<URLCredential>());
    deliverConnectionChallenge(task, challenge, std::move(answer));
}

void Engine::answerClientCertificate(const TaskPtr& task, URLSessionAuthChallengeDisposition disposition,
                                     std::optional<URLCredential> credential) {
    assertCommandThread();
    if (!challengeAnswerApplies(task, disposition))
        return;
    auto& t = *task->transfer_;
    using D = URLSessionAuthChallengeDisposition;
    t.clientCertificateDecided = true;
    if (disposition == D::UseCredential && credential && credential->identity) {
        t.clientIdentity = credential->identity;
        t.clientCertificates = credential->certificates;
    } else if (disposition == D::PerformDefaultHandling) {
        if (auto storage = configuration_.urlCredentialStorage) {
            auto stored = storage->defaultCredentialForProtectionSpace(
                connectionSpace(*task, URLAuthenticationMethodClientCertificate));
            if (stored && stored->identity) {
                t.clientIdentity = stored->identity;
                t.clientCertificates = stored->certificates;
            }
        }
    }
    // Otherwise (rejecting the space, or a credential without an identity)
    // the handshake goes on without a certificate.
    startHop(task);
}

void Engine::answerTrust(const TaskPtr& task, URLSessionAuthChallengeDisposition disposition,
                         std::optional<URLCredential> credential) {
    assertCommandThread();
    auto& t = *task->transfer_;
    auto trust = std::move(t.pendingTrust);
    if (!trust || !challengeAnswerApplies(task, disposition))
        return;
    using D = URLSessionAuthChallengeDisposition;
    if (disposition == D::UseCredential && credential && credential->trust) {
        t.approvedLeaf = credential->trust->presentedChain().front()->data();
        return startHop(task);
    }
    if (disposition == D::UseCredential) {
        return fail(task, URLErrorServerCertificateUntrusted,
                    "server trust answered without a trust credential");
    }
    // Default handling (and rejecting the space, which has no other meaning here).
    trust->setPolicies({security::TrustPolicy::SSL(true, t.request.url->host())});
    if (!extraRoots_.empty()) {
        trust->setAnchorCertificates(extraRoots_);
        trust->setAnchorCertificatesOnly(false);
    } else {
        trust->setAnchorCertificates({});
        trust->setAnchorCertificatesOnly(false);
    }
    if (!trust->evaluateWithError()) {
        return failWithReason(task, urlErrorCodeForVerifyResult(trust->lastVerifyResult()),
                              trustFailureReason(*trust));
    }
    t.approvedLeaf = trust->presentedChain().front()->data();
    startHop(task);
}

TaskPtr Engine::becomeDownload(const TaskPtr& dataTask) {
    assertCommandThread();
    auto download =
        dataTask->session_->makeDownloadTaskReplacing(static_cast<URLSessionDataTask&>(*dataTask));
    // The live transfer moves over; the data task keeps an ended one.
    std::swap(download->transfer_, dataTask->transfer_);
    dataTask->transfer_->started = true;
    dataTask->transfer_->completed = true;
    auto& t = *download->transfer_;
    t.kind = TaskKind::Download;
    t.owner = download.get();
    if (t.easy)
        putActive(active_, t.easy, download);
    dropRunning(running_, dataTask);
    putRunning(running_, download);
    HTTPURLResponsePtr response;
    {
        plat::MutexLock lock(dataTask->mutex_);
        response = dataTask->response_;
        dataTask->state_ = URLSessionTaskState::Completed;
    }
    {
        plat::MutexLock lock(download->mutex_);
        download->currentRequest_ = t.request;
        download->currentRequestReplaced_ = true;
        download->response_ = response;
        download->state_ = t.suspended ? URLSessionTaskState::Suspended : URLSessionTaskState::Running;
    }
    download->bytesExpectedToReceive_ = dataTask->bytesExpectedToReceive_.load();
    download->bytesSent_ = dataTask->bytesSent_.load();
    download->bytesExpectedToSend_ = dataTask->bytesExpectedToSend_.load();
    auto data = std::static_pointer_cast<URLSessionDataTask>(dataTask);
    auto becoming = std::static_pointer_cast<URLSessionDownloadTask>(TaskPtr(download));
    deliver(download, [data, becoming](URLSessionDelegate& d, URLSession& s) {
        d.didBecomeDownloadTask(s, *data, becoming);
    });
    if (!openDownloadFile(*download)) {
        t.awaitingDisposition = false;
        fail(download, t.writeFailureCode ? t.writeFailureCode : URLErrorCannotCreateFile);
        return nullptr;
    }
    return download;
}

void Engine::deliverHopAsFinal(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    std::string body = std::move(t.hopBody);
    t.hopKind = HopKind::Final;
    t.hopIsFinal = true;
    onHeadersComplete(*task);
    if (t.completed)
        return;
    if (t.kind == TaskKind::Download && t.fd < 0) {
        return fail(task, t.writeFailureCode ? t.writeFailureCode : URLErrorCannotCreateFile);
    }
    t.hopBody = std::move(body);  // succeed() delivers it
    if (t.awaitingDisposition) {
        t.doneWhileAwaiting = CURLE_OK;  // the answer to the response call finishes the task
        return;
    }
    succeed(task);
}

void Engine::succeed(const TaskPtr& task) {
    assertCommandThread();
    auto& t = *task->transfer_;
    if (!t.hopBody.empty() && t.hopKind == HopKind::Final) {
        std::string body = std::move(t.hopBody);
        t.hopBody.clear();
        if (onBody(*task, body.data(), body.size()) != body.size()) {
            return fail(task, t.writeFailureCode ? t.writeFailureCode : URLErrorCannotWriteToFile);
        }
    }
    if (t.kind == TaskKind::Download) {
        // A file system may report a failed write only when the file is
        // closed: the download has then not arrived whole.
        if (t.fd >= 0 && ::close(std::exchange(t.fd, -1)) != 0 && errno != EINTR) {
            return failWithReason(
                task, URLErrorCannotWriteToFile,
                std::string("the downloaded file could not be written: ") + std::strerror(errno));
        }
        if (t.filePath.empty())
            return fail(task, URLErrorCannotCreateFile);
        auto download = std::static_pointer_cast<URLSessionDownloadTask>(task);
        URL location = URL::fileURLWithPath(t.filePath);
        if (!t.downloadCompletion) {
            deliver(task, [download, location](URLSessionDelegate& d, URLSession& s) {
                d.didFinishDownloadingToURL(s, *download, location);
            });
        }
    }
    if (offerToCache(task))
        return;  // completes with the delegate's answer
    complete(task, nullptr);
}

void Engine::fail(const TaskPtr& task, int64_t code, const std::string& detail) {
    failTask(task, code, detail, makeURLError);
}

void Engine::failWithReason(const TaskPtr& task, int64_t code, const std::string& reason) {
    failTask(task, code, reason, makeURLErrorWithReason);
}

void Engine::failTask(const TaskPtr& task, int64_t code, const std::string& text, ErrorMaker make) {
    assertCommandThread();
    auto& t = *task->transfer_;
    if (t.completed)
        return;
    std::optional<Data> resume;
    if (code != URLErrorCancelled)
        resume = takeResumeData(*task);
    complete(task, make(code,
                        t.request.url ? t.request.url
                                      : (task->originalRequest_ ? task->originalRequest_->url : std::nullopt),
                        text, resume));
}

std::optional<Data> Engine::takeResumeData(URLSessionTask& task) {
    assertCommandThread();
    auto& t = *task.transfer_;
    if (t.kind != TaskKind::Download || t.filePath.empty() || !t.finalHeadersSeen || t.rangesRefused ||
        (!t.entityTag && !t.lastModified) || t.request.methodView() != "GET" ||
        (t.hopStatus != 200 && t.hopStatus != 206)) {
        return std::nullopt;
    }
    if (t.fd >= 0) {
        // The resume data counts the bytes written, not the file's length:
        // a resumed download asks for the rest from that offset and cuts
        // the file back to it (see openDownloadFile).
        (void)::close(t.fd);
        t.fd = -1;
    }
    ResumeInfo info;
    info.request = t.request;
    info.request.setValue(std::nullopt, "Range");
    info.request.setValue(std::nullopt, "If-Range");
    info.partialFilePath = t.filePath;
    info.bytesReceived = t.fileOffset + t.written;
    info.entityTag = t.entityTag;
    info.lastModified = t.lastModified;
    info.expectedTotal = task.bytesExpectedToReceive_.load();
    t.filePath.clear();  // the partial file now belongs to the resume data
    return encodeResumeData(info);
}

void Engine::complete(const TaskPtr& task, ErrorPtr error) {
    assertCommandThread();
    auto& t = *task->transfer_;
    if (t.completed)
        return;
    t.completed = true;
    releaseHop(t);
    // Operations a stream task still holds complete before the task does.
    if (t.kind == TaskKind::Stream)
        static_cast<URLSessionStreamTask&>(*task).stopConnection(
            error ? error : makeURLError(URLErrorCancelled, std::nullopt));
    if (t.fd >= 0) {
        // Only a download that has not succeeded gets here with its file open.
        (void)::close(t.fd);
        t.fd = -1;
    }
    t.metrics->taskIntervalDuration = seconds(SteadyClock::now() - t.startTime);
    if (t.startTime == SteadyClock::time_point{})
        t.metrics->taskIntervalDuration = 0;
    HTTPURLResponsePtr response;
    {
        plat::MutexLock lock(task->mutex_);
        task->state_ = URLSessionTaskState::Completed;
        task->error_ = error;
        response = task->response_;
    }
    completedThisTurn_ = true;
    auto metrics = t.metrics;
    auto session = task->session_;
    std::optional<Data> data;
    if (t.dataCompletion && !error)
        data = Data(std::move(t.accumulated));  // handed over, not copied
    t.accumulated = {};
    // A task without a completion handler hands its body to the delegate:
    // its last chunk, when still held (no other block of the task came
    // after it this turn, see holdBody), goes with the completion, first.
    bool dataIsLastChunk = false;
    if (!heldBodies_.empty()) {
        if (auto held = takeHeldBody(*task)) {
            data = std::move(held);
            dataIsLastChunk = true;
        }
    }
    std::optional<URL> location;
    if (t.downloadCompletion && !error && !t.filePath.empty())
        location = URL::fileURLWithPath(t.filePath);
    auto dataCompletion = std::move(t.dataCompletion);
    auto downloadCompletion = std::move(t.downloadCompletion);
    // Completion handlers belong to the caller and run even once the delegate is gone.
    // What the block needs moves into it: the locals (and the error) go
    // nowhere else.
    toDelegateQueue(
        task.get(), [session = std::move(session), task = TaskPtr(task), metrics = std::move(metrics),
                     error = std::move(error), response = std::move(response), data = std::move(data),
                     location, dataCompletion = std::move(dataCompletion),
                     downloadCompletion = std::move(downloadCompletion), dataIsLastChunk]() mutable {
            auto delegate = session->delegate();
            // A task the delegate alone hears of ends in one call (by default
            // the chunk's, the metrics' and the completion's, see didEndTask).
            if (delegate && !dataCompletion && !downloadCompletion) {
                callLoggingThrows("the delegate's didEndTask", [&] {
                    delegate->didEndTask(*session, *task, dataIsLastChunk ? &*data : nullptr, metrics, error);
                });
                task.reset();
                return;
            }
            // As its own block would: a delegate that throws here has the task
            // cancelled (which an ended task ignores), and the rest still runs.
            if (dataIsLastChunk && delegate)
                callDelegate(*task, [&] {
                    delegate->didReceiveOwnedData(*session, static_cast<URLSessionDataTask&>(*task),
                                                  std::move(*data));
                });
            if (dataIsLastChunk)
                data.reset();
            // The task has ended: what a completion or the delegate throws here
            // cannot change its outcome. It is logged, and the calls after it
            // (the delegate's, the caller's handler) still run.
            if (delegate) {
                callLoggingThrows("the delegate's didFinishCollectingMetrics",
                                  [&] { delegate->didFinishCollectingMetrics(*session, *task, metrics); });
            }
            if (dataCompletion)
                callLoggingThrows("a completion handler",
                                  [&] { dataCompletion(std::move(data), response, error); });
            if (downloadCompletion)
                callLoggingThrows("a completion handler",
                                  [&] { downloadCompletion(location, response, error); });
            if (delegate) {
                callLoggingThrows("the delegate's didCompleteWithError",
                                  [&] { delegate->didCompleteWithError(*session, *task, error); });
            }
            dataCompletion = nullptr;
            downloadCompletion = nullptr;
            task.reset();
        });
    dropRunning(running_, task);
    if (!t.started)  // a started task was forgotten then
        forgetCreated(task->taskIdentifier());
    maybeFinishInvalidation();
}

void Engine::forgetCreated(uint64_t identifier) {
    plat::MutexLock lock(createdMutex_);
    dropCreated(created_, identifier);
}

}  // namespace plat::urlloading::detail
