// The session's network thread: one libcurl multi handle driven by one
// thread, and the per-task transfer state only that thread touches.
//
// Everything that changes transfer state runs as a command on the network
// thread (post()); public calls on sessions and tasks only post commands.
// Delegate calls are posted to the session's delegate queue in the order the
// network thread produces them, which gives the per-task order the delegate
// relies on. Answers from the delegate come back as commands.
//
// The thread holds the engine alive and ends once the session is invalid
// (or released) and no task is outstanding. After that, a command runs on
// the thread that posts it, unless another thread is running commands: then
// that thread runs it after the current one. Either way commands run one at
// a time and never inside one another.
//
// "Network thread only" state (transfers, the multi handle, the maps of
// running tasks) is checked, not just stated: every function that touches it
// calls assertCommandThread(), which ends the process (std::abort, after a
// line on standard error) when the calling thread is not the one running
// commands. A broken thread rule is a bug to stop at, not an error to handle.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/FlatHashTable.h"
#include "platform/foundation/Mutex.h"
#include "platform/urlloading/URLSession.h"
#include "platform/urlloading/detail/HTTPAuthentication.h"
#include "platform/urlloading/detail/ResumeData.h"

struct curl_slist;
struct epoll_event;

namespace plat::urlloading::detail {

using SteadyClock = std::chrono::steady_clock;

enum class TaskKind { Data, UploadData, UploadFile, UploadStream, Download, Stream };
enum class HopKind { Final, Redirect, Authenticate };
enum class HeaderListKind : unsigned char { Own, Shared, Standing };

class Engine;
class OptionSetter;  // Engine.cpp: sets a hop's options, keeping the first refusal

// For tests: called before each option the engine sets on an easy handle
// (with libcurl's CURLoption number); a result other than 0 (CURLE_OK) is
// taken as libcurl's answer and the option is not set. Null by default. Set
// it only while no session is running transfers.
using CurlOptionHook = int (*)(int option);
void setCurlOptionHookForTesting(CurlOptionHook hook);

struct Transfer;

// A libcurl transfer handle and what the engine keeps with it for as long as
// the handle lives: the transfer its header and body callbacks reach (their
// data pointers name this object, set once with the standing options),
// libcurl's error text, and the URL and header list the handle carries from
// an earlier hop, so that a hop sets only what differs.
struct EasyHandle {
    void* easy = nullptr;          // CURL*
    Transfer* transfer = nullptr;  // the hop running on the handle, else null
    // CURLOPT_URL as last set (empty: none since the handle was made or reset).
    std::string url;
    // The same URL parsed once by libcurl's URL parser, as CURLOPT_CURLU
    // (CURLU*; null when its parser refused it: libcurl then parses the
    // text itself for every transfer, and fails it as before). libcurl
    // otherwise parses and reassembles the text for every transfer.
    void* parsedURL = nullptr;
    // CURLOPT_HTTPHEADER as carried between hops: null, or the engine's
    // standing list (any other list is taken off when the hop ends).
    curl_slist* headerList = nullptr;
    // libcurl writes a failed hop's reason here (its CURLOPT_ERRORBUFFER, of
    // CURL_ERROR_SIZE bytes).
    std::array<char, 256> errorText{};
};

struct Transfer {
    URLSessionTask* owner = nullptr;  // set while a hop runs
    Engine* engine = nullptr;
    TaskKind kind = TaskKind::Data;
    std::optional<Data> body;  // data tasks with a body and data uploads
    std::optional<URL> bodyFile;
    std::shared_ptr<InputStream> bodyStream;
    int64_t bodyStreamRead = 0;  // bytes read from bodyStream so far
    DataTaskCompletion dataCompletion;
    DownloadTaskCompletion downloadCompletion;
    std::optional<ResumeInfo> resumeInfo;
    bool invalidResumeData = false;

    // Lifecycle.
    bool started = false;
    bool completed = false;
    bool suspended = true;
    bool hopPendingWhileSuspended = false;
    URLRequest request;  // the request of the current hop
    // `request` is no longer the task's current request (a redirect
    // replaced it): the next hop shows it.
    bool requestReplaced = false;
    // A body chunk of this task waits among the engine's held ones (see
    // Engine::holdBody; network thread only).
    bool bodyHeld = false;

    // The current hop.
    void* easy = nullptr;          // handle->easy while the hop runs
    EasyHandle* handle = nullptr;  // from configureHop until releaseHop
    curl_slist* headerList = nullptr;
    // Whose list it is: the hop's own, the engine's shared one (see
    // setHeaderList) or its standing one (see standingHeaderList).
    HeaderListKind headerListKind = HeaderListKind::Own;
    // The hop's handle carries only the options every hop sets (see
    // configureHop) and was never paused: it goes back to the idle handles
    // as it is, not reset.
    bool easyKeepsOptions = false;
    // A callback of the hop's handle told libcurl to pause: only then has a
    // resume anything to undo (libcurl refuses to unpause a handle that has
    // no connection yet, one still waiting for a free one, say).
    bool pausedByCallback = false;
    int uploadFd = -1;
    HopKind hopKind = HopKind::Final;
    int hopStatus = 0;
    HTTPHeaderFields hopHeaders;
    size_t headerBytes = 0;  // response header bytes of this hop
    bool headerTooLarge = false;
    std::vector<std::string> hopCookies;
    std::string hopBody;  // body of a redirect or 401, kept in case it becomes the final one
    bool finalHeadersSeen = false;
    bool hopIsFinal = false;  // a 3xx or 401 delivered as the response
    bool awaitingDisposition = false;
    std::optional<int> doneWhileAwaiting;  // CURLcode
    bool usedDecodingEncoding = false;

    // Time-outs.
    SteadyClock::time_point startTime{};
    SteadyClock::time_point lastActivity{};
    double idleTimeout = 60;
    double resourceTimeout = 0;

    int redirectCount = 0;

    // Authentication.
    std::map<URLProtectionSpace, int> failureCounts;
    int authenticationRounds = 0;
    std::optional<URLCredential> credential;
    std::optional<AuthChallengeHeader> authChallenge;
    unsigned nonceCount = 0;
    bool credentialFromStorage = false;

    // Server trust.
    std::optional<Data> approvedLeaf;
    security::ServerTrustPtr pendingTrust;
    int64_t trustFailureCode = 0;
    std::string trustFailureReason;  // set when the system had no roots to judge by

    // Client certificate: asked for by the server during this hop; the
    // delegate is to be asked; its answer (kept for later hops).
    bool clientCertificateRequested = false;
    bool clientCertificatePending = false;
    bool clientCertificateDecided = false;
    security::IdentityPtr clientIdentity;
    std::vector<security::CertificatePtr> clientCertificates;

    // Downloads.
    std::string filePath;  // owned: removed with the task
    int fd = -1;
    int64_t fileOffset = 0;
    int64_t written = 0;
    std::optional<std::string> entityTag;
    std::optional<std::string> lastModified;
    bool rangesRefused = false;
    int64_t writeFailureCode = 0;
    std::string writeFailureReason;

    // Download progress not yet reported to the delegate (shared with the
    // report waiting on the delegate queue).
    struct Progress {
        std::atomic<int64_t> unreported{0};
        std::atomic<bool> pending{false};
        int64_t reported = 0;  // delegate queue only
    };
    // Made for each download hop when its file is opened (openDownloadFile,
    // before any byte is written); null for every other task, which never
    // reports it.
    std::shared_ptr<Progress> progress;

    // Completion-handler tasks collect the body here.
    std::vector<uint8_t> accumulated;
    // Caching: the body of a delegate task kept for the cache (while it may
    // be kept), and whether this response came from the cache.
    std::string cacheBody;
    bool cacheable = false;
    bool servedFromCache = false;

    // Progress and metrics.
    int64_t lastUploadReported = 0;
    std::shared_ptr<TaskMetrics> metrics = std::make_shared<TaskMetrics>();

    // A failed hop's reason as reported (from its handle's errorText), made
    // only on failure.
    std::string errorBuffer;

    // A task's transfer state is made and dropped once per task and is
    // larger than the allocator's per-thread cache holds: its blocks are
    // recycled per thread (see BlockCache.h).
    static void* operator new(std::size_t size);
    static void operator delete(void* block, std::size_t size) noexcept;
};

// The engine's registers of tasks, each an open table: a request enters and
// leaves each of them once, which then allocates nothing (a tree allocated
// and freed a node each time). None of them keeps an order.

// Tasks made and not yet resumed, by identifier (the table does not keep
// them alive).
struct CreatedSlot {
    uint64_t identifier = 0;
    std::weak_ptr<URLSessionTask> task;
    bool used = false;
};
struct CreatedSlotTraits {
    static bool used(const CreatedSlot& s) { return s.used; }
    static std::size_t hash(const CreatedSlot& s) { return s.identifier; }
    static bool matches(const CreatedSlot& s, uint64_t identifier, std::size_t) {
        return s.identifier == identifier;
    }
};
using CreatedTasks = plat::FlatHashTable<CreatedSlot, CreatedSlotTraits>;

// The task of each easy handle in the multi handle.
struct ActiveSlot {
    void* easy = nullptr;
    std::shared_ptr<URLSessionTask> task;
};
struct ActiveSlotTraits {
    static bool used(const ActiveSlot& s) { return s.easy != nullptr; }
    static std::size_t hash(const ActiveSlot& s) { return reinterpret_cast<std::uintptr_t>(s.easy); }
    static bool matches(const ActiveSlot& s, const void* easy, std::size_t) { return s.easy == easy; }
};
using ActiveTasks = plat::FlatHashTable<ActiveSlot, ActiveSlotTraits>;

// Tasks resumed and not completed.
struct RunningSlot {
    std::shared_ptr<URLSessionTask> task;
};
struct RunningSlotTraits {
    static bool used(const RunningSlot& s) { return s.task != nullptr; }
    static std::size_t hash(const RunningSlot& s) { return reinterpret_cast<std::uintptr_t>(s.task.get()); }
    static bool matches(const RunningSlot& s, const URLSessionTask* task, std::size_t) {
        return s.task.get() == task;
    }
};
using RunningTasks = plat::FlatHashTable<RunningSlot, RunningSlotTraits>;

class Engine : public std::enable_shared_from_this<Engine> {
  public:
    Engine(const URLSessionConfiguration& configuration,
           std::shared_ptr<dispatch::OperationQueue> delegateQueue);
    ~Engine();

    void start();
    // Runs `command` on the network thread (after the thread has ended, on the
    // caller's thread, or after the command running now; see above).
    void post(std::function<void()> command);
    // Ends the process unless the calling thread runs this engine's commands
    // (the network thread, or after it ended, the thread running commands).
    void assertCommandThread() const;

    void registerTask(const std::shared_ptr<URLSessionTask>& task);
    void forgetTask(uint64_t identifier);
    void resumeTask(std::shared_ptr<URLSessionTask> task);
    void suspendTask(std::shared_ptr<URLSessionTask> task);
    void cancelTask(std::shared_ptr<URLSessionTask> task,
                    std::function<void(std::optional<Data>)> resumeData = {});
    void invalidate(std::shared_ptr<URLSession> session, bool cancelTasks);
    // A stream task's connection has ended (error null: both directions closed).
    void completeStream(std::weak_ptr<URLSessionTask> task, ErrorPtr error);
    void sessionReleased();

  private:
    // A command waiting for the network thread: a block, or one of the
    // engine's steps with the task it is for (a resume, one a request, then
    // needs no block of its own to allocate).
    struct Command {
        std::function<void()> block;
        void (Engine::*taskStep)(const std::shared_ptr<URLSessionTask>&) = nullptr;
        std::shared_ptr<URLSessionTask> task;
    };
    void enqueue(Command command);
    void runCommand(Command& command) {
        if (command.taskStep)
            (this->*command.taskStep)(command.task);
        else
            command.block();
    }
    // What resumeTask asks for, on the network thread.
    void resumeNow(const std::shared_ptr<URLSessionTask>& task);

    void run();
    void runCommands();
    // Runs commands until none is left, after the network thread has ended;
    // the caller has made itself the thread that runs them.
    void runCommandsAfterExit();
    int checkDeadlines();

    void startTask(const std::shared_ptr<URLSessionTask>& task);
    void startHop(const std::shared_ptr<URLSessionTask>& task);
    void requestBodyStream(const std::shared_ptr<URLSessionTask>& task);
    // Sets up `easy` for the task's current hop, in the phases below; false
    // when the task has failed instead (a refused option, a header that would
    // change the request, an upload file that cannot be read).
    // `configured`: the handle carries the standing options already (it
    // comes from a hop that set nothing else).
    bool configureHop(URLSessionTask& task, EasyHandle& handle, bool configured);
    // The fields this hop sends: the configuration's, the request's, cookies,
    // authorization and the range of a resumed download. Fails the task (and
    // gives nothing) for a field that would change the request's framing.
    std::optional<HTTPHeaderFields> hopHeaderFields(URLSessionTask& task);
    curl_slist* standingHeaderList(URLSessionTask& task);
    // Sets the method and body options; takes Content-Length (of a stream
    // body) out of `headers`, as libcurl sends its own. False when the task
    // has failed (an upload file that cannot be read).
    bool setMethodAndBody(OptionSetter& set, URLSessionTask& task, HTTPHeaderFields& headers);
    void releaseHop(Transfer& t);
    // Gives the hop its header list (the shared one when its fields are
    // those of the shared list) and sets it on the handle.
    void setHeaderList(OptionSetter& set, Transfer& t, const HTTPHeaderFields& headers, bool hasBody);
    void releaseHeaderList(Transfer& t);
    // Lets the task's paused transfer go on (fails the task if it cannot).
    void unpause(const std::shared_ptr<URLSessionTask>& task);
    void onDone(void* easy, int result);
    void finishHop(const std::shared_ptr<URLSessionTask>& task, int result);
    void onRedirect(const std::shared_ptr<URLSessionTask>& task);
    void followRedirect(const std::shared_ptr<URLSessionTask>& task, std::optional<URLRequest> next);
    void onAuthenticate(const std::shared_ptr<URLSessionTask>& task);
    void answerAuthentication(const std::shared_ptr<URLSessionTask>& task, const URLProtectionSpace& space,
                              URLSessionAuthChallengeDisposition disposition,
                              std::optional<URLCredential> credential);
    void onTrustChallenge(const std::shared_ptr<URLSessionTask>& task);
    void onClientCertificateChallenge(const std::shared_ptr<URLSessionTask>& task);
    void answerClientCertificate(const std::shared_ptr<URLSessionTask>& task,
                                 URLSessionAuthChallengeDisposition disposition,
                                 std::optional<URLCredential> credential);
    URLProtectionSpace connectionSpace(const URLSessionTask& task, const char* method) const;
    void answerTrust(const std::shared_ptr<URLSessionTask>& task,
                     URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential);
    // Whether a delegate's answer to a challenge is still to be acted on:
    // not once the task has completed; a cancel fails the task.
    bool challengeAnswerApplies(const std::shared_ptr<URLSessionTask>& task,
                                URLSessionAuthChallengeDisposition disposition);
    void deliverHopAsFinal(const std::shared_ptr<URLSessionTask>& task);
    // A data task whose delegate answered BecomeDownload: a download task
    // takes over its transfer; returns it (null when the task has ended).
    std::shared_ptr<URLSessionTask> becomeDownload(const std::shared_ptr<URLSessionTask>& dataTask);
    void succeed(const std::shared_ptr<URLSessionTask>& task);
    // Answers a GET data task from the cache when its policy allows; true
    // when it did (or failed the task for want of an entry).
    bool answerFromCache(const std::shared_ptr<URLSessionTask>& task);
    // Offers a finished response to the cache (through the delegate's
    // willCacheResponse); true when the task's completion now waits for
    // the delegate's answer.
    bool offerToCache(const std::shared_ptr<URLSessionTask>& task);
    bool mayCache(const URLSessionTask& task) const;
    void fail(const std::shared_ptr<URLSessionTask>& task, int64_t code, const std::string& detail = {});
    // Fails with `reason` in the error's description as well (see
    // makeURLErrorWithReason): for failures the caller can act on.
    void failWithReason(const std::shared_ptr<URLSessionTask>& task, int64_t code, const std::string& reason);
    // What fail and failWithReason share: the task's URL and resume data
    // handed to the error maker, once per task.
    using ErrorMaker = ErrorPtr (*)(int64_t, const std::optional<URL>&, const std::string&,
                                    const std::optional<Data>&);
    void failTask(const std::shared_ptr<URLSessionTask>& task, int64_t code, const std::string& text,
                  ErrorMaker make);
    void complete(const std::shared_ptr<URLSessionTask>& task, ErrorPtr error);
    std::optional<Data> takeResumeData(URLSessionTask& task);
    void maybeFinishInvalidation();

  public:
    // Called from libcurl callbacks on the network thread.
    void onHeadersComplete(URLSessionTask& task);
    size_t onBody(URLSessionTask& task, const char* bytes, size_t length);
    bool onVerify(URLSessionTask& task, void* storeContext);
    // The server asks for a client certificate: 1 with one in *x509 and
    // *key, 0 for none, -1 to end the handshake and ask the delegate.
    int onClientCertificateRequest(URLSessionTask& task, void* ssl, void** x509, void** key);
    void onUploadProgress(URLSessionTask& task, int64_t sent, int64_t total);
    // `call(delegate, session)` on the delegate queue, held there as it is
    // (one closure, not one wrapped in another).
    template <class Call>
    void deliver(const std::shared_ptr<URLSessionTask>& task, Call call);
    void deliverConnectionChallenge(const std::shared_ptr<URLSessionTask>& task,
                                    const URLAuthenticationChallenge& challenge, ChallengeCompletion answer);
    bool delegateImplements(const URLSessionTask& task, URLSessionDelegate::Callback callback) const;
    bool openDownloadFile(URLSessionTask& task);
    // The time a transfer callback records as its transfer's last activity:
    // inside curl_multi_socket_action the time the call began (a response's
    // header lines and body then cost one clock reading, not one each; the
    // idle time-out counts in seconds), else now (libcurl also calls back
    // from curl_easy_pause, when a paused transfer goes on).
    SteadyClock::time_point activityTime() const { return driving_ ? driveTime_ : SteadyClock::now(); }
    // libcurl opened a connection's socket, or closes one (see onSocket).
    // Also called while the engine closes its connections at the end.
    void onConnectionSocketOpened(int socket);
    void onConnectionSocketClosed(int socket);

    // Runs `block` on the session's delegate queue, after every block handed
    // over before it (from any thread). Blocks wait in a mailbox that one
    // operation on the delegate queue empties: while it runs, later blocks
    // join it instead of each costing an operation and a worker wake-up. On
    // the network thread, blocks are handed over together once the ready
    // sockets of a turn have been served, and before the loop waits.
    void toDelegateQueue(std::function<void()> block);

  private:
    // A data task's body chunk for its delegate. While the turn gathers
    // blocks, the task's last chunk waits instead of becoming a block of
    // its own at once: the task's completion, when it comes in the same
    // turn, carries it (one delegate block and one look-up of the delegate
    // fewer for the usual small response). A held chunk goes in as a block
    // of its own before any later block of its task, before any block of
    // no task, and at the end of the turn; so each task's calls keep their
    // order, and a session's own calls (its end) follow every task's.
    void holdBody(std::shared_ptr<URLSessionDataTask> task, const char* bytes, size_t length);
    // The held chunk of `task`, or every held chunk when null, as blocks.
    void releaseHeldBodies(const URLSessionTask* task);
    std::optional<Data> takeHeldBody(const URLSessionTask& task);
    // toDelegateQueue for a block of `task` (null: of no task).
    void toDelegateQueue(const URLSessionTask* task, std::function<void()> block);
    void flushDelegateBlocks();
    void postToMailbox(std::vector<std::function<void()>> blocks);
    void drainMailbox();
    // A chain the network thread `networkThread` runs for the delegate
    // queue is held up: the loop goes on on a new thread (see
    // postToMailbox); false when none could start.
    bool handOverLoop(std::thread::id networkThread);
    // False once the loop has moved to another thread: the caller's run()
    // then returns.
    bool isNetworkThread() const { return networkThread_.load() == std::this_thread::get_id(); }
    void wakeForDeferredCommands();
    void wake();
    // Waits briefly for a command; true when one came (false: time is up,
    // or a socket is ready).
    bool lingerForCommands();
    // epoll_wait on the set, for up to `wait` ms; does not block when a
    // command is waiting.
    int sleepForEvents(epoll_event* events, int capacity, int wait);
    int onSocket(int socket, int what);
    // An event for a socket libcurl does not watch: takes it out of the
    // epoll set; true when the socket was parked (the event is not libcurl's).
    bool parkedSocketReady(int socket);
    int onTimer(long milliseconds);
    // Lets libcurl act on `events` of `socket` (CURL_SOCKET_TIMEOUT: its timer).
    void driveTransfers(int socket, int events);
    void takeFinishedTransfers();
    void forgetCreated(uint64_t identifier);
    void closeConnections();
    // A handle for the next hop (null when libcurl cannot make one);
    // `configured` says whether it still carries the standing options of an
    // earlier plain hop.
    EasyHandle* takeEasyHandle(bool& configured);
    // `keepOptions`: the hop set only what every hop sets again, so the
    // handle is kept as it is; otherwise it is reset.
    void recycleEasyHandle(EasyHandle* handle, bool keepOptions = false);

    const URLSessionConfiguration configuration_;
    // Why the engine cannot run transfers (set by the constructor; then
    // multi_ is null and every task fails with it); empty when it can.
    std::string setupFailure_;
    std::vector<security::CertificatePtr> extraRoots_;
    void* multi_ = nullptr;  // CURLM*
    int epollFd_ = -1;       // the sockets libcurl asks to watch, and wakeFd_
    int wakeFd_ = -1;        // an eventfd: commands are waiting
    // Sockets in epollFd_: the events each is watched for, and whether it
    // is parked, kept in the set while libcurl does not watch it (network
    // thread only; see onSocket).
    struct Watched {
        uint32_t events = 0;  // 0: to be set again (the last change failed)
        bool parked = false;
    };
    std::map<int, Watched> watched_;
    // Connection sockets libcurl opened through the engine and has not
    // closed: only for these does watched_ surely describe the socket now
    // behind the number (network thread only).
    std::set<int> connectionSockets_;
    // While driveTransfers is in curl_multi_socket_action: when it began
    // (network thread only; see activityTime).
    bool driving_ = false;
    SteadyClock::time_point driveTime_{};
    // libcurl's timer (network thread only).
    bool curlTimerSet_ = false;
    SteadyClock::time_point curlDeadline_{};

    plat::Mutex mutex_;
    std::vector<Command> commands_ GUARDED_BY(mutex_);
    std::atomic<bool> commandsWaiting_{false};  // commands_ is not empty
    // The thread is about to block in epoll_wait, or blocks there: only
    // then does a posted command need the eventfd to be seen. While it runs
    // (lingering for commands too) it looks at commandsWaiting_ before it
    // blocks again.
    std::atomic<bool> sleeping_{false};
    bool completedThisTurn_ = false;  // network thread only
    bool exited_ GUARDED_BY(mutex_) = false;
    // After the network thread has ended: a thread is running commands
    // (those posted meanwhile, from inside a command too, join its list
    // instead of running inside the command that posted them).
    bool runningAfterExit_ GUARDED_BY(mutex_) = false;
    // The thread that may touch network-thread state: the network thread
    // while its loop runs, then whichever thread runs commands. Written under
    // mutex_ (after the loop), read by assertCommandThread().
    std::atomic<std::thread::id> commandThread_{};

    // Tasks made and not yet resumed, registered by the thread that makes
    // them (no command, no wake-up of the network thread).
    plat::Mutex createdMutex_;
    CreatedTasks created_ GUARDED_BY(createdMutex_);

    // Network thread only.
    ActiveTasks active_;                              // by easy handle
    RunningTasks running_;                            // resumed and not completed
    std::vector<EasyHandle*> idleEasyHandles_;        // reset, ready for the next hop (owned)
    std::vector<EasyHandle*> configuredEasyHandles_;  // idle, standing options set (owned)
    // The header list hops with these fields share, and how many hops use it.
    curl_slist* sharedHeaderList_ = nullptr;
    HTTPHeaderFields sharedHeaderFields_;
    bool sharedHeaderHasBody_ = false;
    size_t sharedHeaderUsers_ = 0;
    // The list of hops that send the configuration's fields alone, built for
    // the first such hop.
    enum class StandingHeaders { Unknown, Ready, Unusable };
    StandingHeaders standingHeaders_ = StandingHeaders::Unknown;
    curl_slist* standingHeaderList_ = nullptr;
    bool standingHeadersHaveCookie_ = false;
    std::vector<std::function<void()>> gathered_;  // this turn's delegate blocks
    // Data tasks' last body chunks of this turn, not yet among gathered_
    // (see holdBody), in the order received.
    struct HeldBody {
        std::shared_ptr<URLSessionDataTask> task;
        Data data;
    };
    std::vector<HeldBody> heldBodies_;

    const std::shared_ptr<dispatch::OperationQueue> delegateQueue_;
    std::atomic<std::thread::id> networkThread_{};  // while the loop runs
    plat::Mutex mailboxMutex_;
    std::vector<std::function<void()>> mailbox_ GUARDED_BY(mailboxMutex_);
    bool draining_ GUARDED_BY(mailboxMutex_) =
        false;  // an operation that empties the mailbox is queued or running
    std::shared_ptr<URLSession> invalidatingSession_;
    bool invalidated_ = false;
    bool invalidationFinished_ = false;
    bool released_ = false;
};

}  // namespace plat::urlloading::detail
