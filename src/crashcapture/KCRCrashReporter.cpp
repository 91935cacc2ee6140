#include "crashcapture/KCRCrashReporter.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "crashcapture/KCRAsyncErrors.h"
#include "crashcapture/KCRAsyncFrameCursor.h"
#include "crashcapture/KCRAsyncImage.h"
#include "crashcapture/KCRCrashHostInfo.h"
#include "crashcapture/KCRCrashLogWriter.h"
#include "crashcapture/KCRCrashMachExceptionServer.h"
#include "crashcapture/KCRCrashReporterError.h"
#include "crashcapture/KCRCrashReporterLog.h"
#include "crashcapture/KCRCrashSignalHandler.h"
#include "crashcapture/KCRCrashUncaughtException.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/machine/Threads.h"

namespace {

using namespace kcr::async;

constexpr int kCrashSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// What the signal handler reads at crash time. Written only before the
// handlers are installed (the callbacks: before enabling); never freed.
struct CrashContext {
    log_writer_t writer;
    char path[PATH_MAX] = {};
    std::atomic<void*> callbackContext{nullptr};
    std::atomic<void (*)(siginfo_t*, ucontext_t*, void*)> handleSignal{nullptr};
    // The thread that is writing the report (0: none), and whether it is done.
    std::atomic<uint32_t> crashingThread{0};
    std::atomic<bool> crashHandled{false};
    // Mach mode: the registrations found before ours, offered each exception first.
    kcr::kcr_mach_exception_port_set previousPorts;
};

CrashContext& crash_context() {
    static CrashContext* context = new CrashContext;
    return *context;
}

// One reporter per process is enabled.
plat::Mutex gEnableMutex;
bool gProcessEnabled GUARDED_BY(gEnableMutex) = false;
// Live reports one at a time: they suspend the other threads through one
// set of slots, which only one thread at a time may use.
plat::Mutex gLiveReportMutex;

void reset_crash_signals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    // Neither call can fail: the set is ours and every signal is a valid,
    // catchable one. There would be nothing to do at crash time anyway.
    (void)sigemptyset(&action.sa_mask);
    for (int signo : kCrashSignals)
        (void)sigaction(signo, &action, nullptr);
}

void sleep_briefly() {
    struct timespec pause {
        0, 10'000'000
    };
    // An interrupted pause only ends early: the caller's loop counts rounds.
    (void)nanosleep(&pause, nullptr);
}

bool reporter_signal_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                              kcr::KCRSignalHandlerNext* next) {
    auto* crash = static_cast<CrashContext*>(context);
    const uint32_t self = current_mach_thread();
    uint32_t owner = 0;
    if (!crash->crashingThread.compare_exchange_strong(owner, self)) {
        if (owner != self) {
            // Another thread is writing the report: let it finish (it ends the
            // process), then end with this signal's default action.
            for (int i = 0; i < 3000 && !crash->crashHandled.load(); ++i)
                sleep_briefly();
        }
        if (crash->crashHandled.load()) {
            // The exception server wrote this thread's report; the signal
            // now goes on as in signal mode.
            reset_crash_signals();
            return kcr::signal_handler_forward(next, signo, info, uap);
        }
        // Otherwise a fault inside our own handling: the report written so
        // far stays; the default action ends the process.
        reset_crash_signals();
        return false;
    }
    kcr_async_thread_state state;
    async_thread_state_mcontext_init(&state, uap);
    log_signal_info_t signal_info;
    signal_info.signo = signo;
    signal_info.code = info != nullptr ? info->si_code : 0;
    signal_info.address = info != nullptr ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
    const kcr_error_t error =
        kcr_write_report(crash->path, &crash->writer, async_shared_image_list(), self, &state, &signal_info);
    auto* handle = crash->handleSignal.load();
    if (error == KCR_ESUCCESS && handle != nullptr)
        handle(info, uap, crash->callbackContext.load());
    // From here a fault (or the signal raised again) ends the process.
    reset_crash_signals();
    const bool handled = kcr::signal_handler_forward(next, signo, info, uap);
    crash->crashHandled.store(true);
    return handled;
}

struct MachWrite {
    CrashContext* crash;
    uint32_t crashedThread;
    const log_signal_info_t* signalInfo;
    kcr_error_t result;
};

kcr_error_t write_mach_report(kcr_async_thread_state* state, void* context) {
    auto* write = static_cast<MachWrite*>(context);
    write->result = kcr_write_report(write->crash->path, &write->crash->writer, async_shared_image_list(),
                                     write->crashedThread, state, write->signalInfo);
    return write->result;
}

// Runs on the exception server's thread while the faulting thread waits for
// the answer. KERN_FAILURE lets the exception go on to the signal, which
// ends the process.
plat::machine::kern_return_t reporter_mach_callback(plat::machine::mach_port_t task,
                                                    plat::machine::mach_port_t thread, int exception_type,
                                                    const int64_t* codes, uint32_t code_count,
                                                    void* context) {
    namespace pm = plat::machine;
    auto* crash = static_cast<CrashContext*>(context);
    if (kcr::mach_exception_forward(task, thread, exception_type, codes, code_count, &crash->previousPorts) ==
        pm::KERN_SUCCESS)
        return pm::KERN_SUCCESS;
    int signo = 0;
    int code = 0;
    uint64_t address = 0;
    if (!kcr::async_mach_exception_get_siginfo(exception_type, codes, code_count, &signo, &code, &address))
        return pm::KERN_FAILURE;
    // One report per process: a crash already being written keeps its file.
    uint32_t owner = 0;
    if (!crash->crashingThread.compare_exchange_strong(owner, thread))
        return pm::KERN_FAILURE;
    log_signal_info_t signal_info;
    signal_info.signo = signo;
    signal_info.code = code;
    signal_info.address = address;
    signal_info.has_mach_exception = true;
    signal_info.mach_type = static_cast<uint64_t>(exception_type);
    signal_info.mach_code_count = code_count < 2 ? code_count : 2;
    for (uint32_t i = 0; i < signal_info.mach_code_count; ++i)
        signal_info.mach_codes[i] = codes[i];
    MachWrite write{crash, thread, &signal_info, KCR_EINTERNAL};
    async_thread_state_current(write_mach_report, &write);
    // Written: a fault from here on (in the callback below, on this thread)
    // ends the process through the signal handlers without waiting.
    crash->crashHandled.store(true);
    if (write.result == KCR_ESUCCESS) {
        if (auto* handle = crash->handleSignal.load()) {
            siginfo_t info;
            async_memset(&info, 0, sizeof info);
            info.si_signo = signo;
            info.si_code = code;
            info.si_addr = reinterpret_cast<void*>(address);
            ucontext_t uap;
            async_memset(&uap, 0, sizeof uap);
            handle(&info, &uap, crash->callbackContext.load());
        }
    }
    return pm::KERN_FAILURE;
}

// The exception server lives as long as the process once Mach mode is on.
kcr::KCRCrashMachExceptionServer* gMachServer = nullptr;

std::string sanitized_identifier(const std::string& identifier) {
    std::string result = identifier;
    for (char& c : result) {
        if (c == '/')
            c = '_';
    }
    return result;
}

std::string caches_directory() {
    auto paths = plat::FileManager::defaultManager().searchPathsForDirectory(
        plat::SearchPathDirectory::CachesDirectory, plat::UserDomainMask);
    return paths.empty() ? plat::FileManager::defaultManager().temporaryDirectory() : paths.front();
}

}  // namespace

KCRCrashReporter::KCRCrashReporter(const KCRCrashReporterConfig& configuration, plat::Bundle& bundle)
    : configuration_(configuration) {
    std::optional<std::string> identifier = bundle.bundleIdentifier();
    if (!identifier) {
        std::string name = plat::ProcessInfo::processInfo().processName();
        if (name.empty())
            throw plat::Exception(KCRCrashReporterException,
                                  "Can not determine process identifier or process name");
        kcr::log("Warning -- bundle identifier, using process name %s", name);
        identifier = name;
    }
    std::optional<std::string> version = bundle.version();
    if (!version) {
        kcr::log("Warning -- bundle version unavailable");
        version = std::string();
    }
    *this = KCRCrashReporter(*identifier, *version, bundle.shortVersionString(), configuration);
}

KCRCrashReporter::KCRCrashReporter(std::string applicationIdentifier, std::string appVersion,
                                   std::optional<std::string> appMarketingVersion,
                                   const KCRCrashReporterConfig& configuration)
    : configuration_(configuration),
      applicationIdentifier_(std::move(applicationIdentifier)),
      applicationVersion_(std::move(appVersion)),
      applicationMarketingVersion_(std::move(appMarketingVersion)) {
    crashReportDirectory_ = caches_directory() + "/" + KCRCrashReporterDataFolder + "/" +
                            sanitized_identifier(applicationIdentifier_);
}

KCRCrashReporter& KCRCrashReporter::operator=(KCRCrashReporter&& other) noexcept {
    if (this == &other)
        return *this;
    // The guarded state is taken under the other's lock and stored under
    // ours: never both at once, so two crossed assignments cannot deadlock.
    bool enabled = false;
    std::optional<plat::Data> customData;
    {
        plat::MutexLock lock(other.mutex_);
        enabled = other.enabled_;
        customData = std::move(other.customData_);
    }
    configuration_ = other.configuration_;
    applicationIdentifier_ = std::move(other.applicationIdentifier_);
    applicationVersion_ = std::move(other.applicationVersion_);
    applicationMarketingVersion_ = std::move(other.applicationMarketingVersion_);
    crashReportDirectory_ = std::move(other.crashReportDirectory_);
    hostInfo_ = std::move(other.hostInfo_);
    plat::MutexLock lock(mutex_);
    enabled_ = enabled;
    customData_ = std::move(customData);
    return *this;
}

KCRCrashReporter& KCRCrashReporter::sharedReporter() {
    static KCRCrashReporter* shared = new KCRCrashReporter();
    return *shared;
}

std::string KCRCrashReporter::queuedCrashReportDirectory() const {
    return crashReportDirectory_ + "/queued_reports";
}

std::string KCRCrashReporter::crashReportPath() const {
    return crashReportDirectory_ + "/live_report.kcr";
}

bool KCRCrashReporter::hasPendingCrashReport() const {
    return plat::FileManager::defaultManager().fileExistsAtPath(crashReportPath());
}

std::optional<plat::Data> KCRCrashReporter::loadPendingCrashReportData(plat::ErrorPtr* error) const {
    const std::string path = crashReportPath();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error != nullptr)
            *error = plat::Error::withDescription(plat::POSIXErrorDomain, errno, std::strerror(errno));
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int failure = errno;
            (void)::close(fd);  // read only: closing loses nothing, the read error is reported
            if (error != nullptr)
                *error =
                    plat::Error::withDescription(plat::POSIXErrorDomain, failure, std::strerror(failure));
            return std::nullopt;
        }
        if (n == 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    (void)::close(fd);  // read only: every byte is in hand, closing loses nothing
    return plat::Data(std::move(bytes));
}

bool KCRCrashReporter::purgePendingCrashReport(plat::ErrorPtr* error) const {
    plat::ErrorPtr failure = plat::FileManager::defaultManager().removeItemAtPath(crashReportPath());
    if (failure != nullptr) {
        if (error != nullptr)
            *error = failure;
        return false;
    }
    return true;
}

uint32_t KCRCrashReporter::mapToAsyncSymbolicationStrategy(uint64_t strategy) {
    return static_cast<uint32_t>(strategy & 3);
}

bool KCRCrashReporter::populateCrashReportDirectory(plat::ErrorPtr* error) const {
    plat::Dictionary attributes{{plat::FilePosixPermissions, plat::Value(0755u)}};
    auto& files = plat::FileManager::defaultManager();
    for (const std::string& path : {crashReportDirectory_, queuedCrashReportDirectory()}) {
        if (files.fileExistsAtPath(path))
            continue;
        if (plat::ErrorPtr failure = files.createDirectoryAtPath(path, true, &attributes)) {
            if (error != nullptr)
                *error = failure;
            return false;
        }
    }
    return true;
}

uint32_t KCRCrashReporter::machExceptionMask(const KCRCrashHostInfo* host) {
    constexpr uint32_t kFaults = (1u << plat::machine::EXC_BAD_ACCESS) |
                                 (1u << plat::machine::EXC_BAD_INSTRUCTION) |
                                 (1u << plat::machine::EXC_ARITHMETIC) | (1u << plat::machine::EXC_SOFTWARE) |
                                 (1u << plat::machine::EXC_BREAKPOINT);
    if (host != nullptr && host->darwinVersion().major >= 13)
        return kFaults | (1u << plat::machine::EXC_GUARD);
    return kFaults;
}

bool KCRCrashReporter::enableMachServer(plat::ErrorPtr* error) {
    CrashContext& crash = crash_context();
    plat::ErrorPtr failure;
    auto server = kcr::KCRCrashMachExceptionServer::create(reporter_mach_callback, &crash, &failure);
    std::shared_ptr<kcr::KCRCrashMachExceptionPort> port;
    if (server)
        port = server->exceptionPortWithMask(machExceptionMask(hostInfo_.get()), &failure);
    std::shared_ptr<kcr::KCRCrashMachExceptionPortSet> previous;
    if (!port || !port->registerForTask(&previous, &failure)) {
        populate_error(error, KCRCrashReporterErrorOperatingSystem,
                       "Failed to instantiate the Mach exception server.", failure);
        return false;
    }
    // The previous registrations keep their send references for the life of
    // the process: the crash-time copy refers to them.
    static auto* kept = new std::shared_ptr<kcr::KCRCrashMachExceptionPortSet>;
    *kept = previous;
    crash.previousPorts = previous->asyncSafeRepresentation();
    static auto* keptPort = new std::shared_ptr<kcr::KCRCrashMachExceptionPort>;
    *keptPort = port;
    gMachServer = server.release();
    return true;
}

bool KCRCrashReporter::enableCrashReporter(plat::ErrorPtr* error) {
    {
        plat::MutexLock lock(gEnableMutex);
        if (gProcessEnabled) {
            populate_error(error, KCRCrashReporterErrorAlreadyEnabled,
                           "A KCRCrashReporter instance has already been enabled");
            return false;
        }
        gProcessEnabled = true;
    }
    if (!populateCrashReportDirectory(error))
        return false;
    CrashContext& crash = crash_context();
    const std::string path = crashReportPath();
    if (path.size() >= sizeof crash.path) {
        populate_posix_error(error, ENAMETOOLONG, "Failed to create temporary path");
        return false;
    }
    std::memcpy(crash.path, path.c_str(), path.size() + 1);
    const std::string* marketing = applicationMarketingVersion_ ? &*applicationMarketingVersion_ : nullptr;
    if (kcr_log_writer_init(&crash.writer, applicationIdentifier_, applicationVersion_, marketing,
                            mapToAsyncSymbolicationStrategy(configuration_.symbolicationStrategy()),
                            false) != KCR_ESUCCESS)
        kcr::log("Warning -- process facts unavailable: crash reports will lack them");
    {
        plat::MutexLock lock(mutex_);
        if (customData_)
            kcr_log_writer_set_custom_data(&crash.writer, customData_->bytes(), customData_->length());
    }
    prepareCrashTimeState();

    // Signal handlers for every crash signal, in both modes. In Mach mode
    // the exception bridge goes on top of them: a fault reaches the
    // exception server first, and the handlers below see it afterwards
    // (they write nothing more) or alone when the fault is on the server's
    // own thread, which cannot answer its own exception.
    auto& handler = kcr::KCRCrashSignalHandler::sharedHandler();
    for (int signo : kCrashSignals) {
        if (!handler.registerHandlerForSignal(signo, reporter_signal_callback, &crash, error))
            return false;
    }
    if (configuration_.signalHandlerType() == KCRCrashReporterSignalHandlerTypeMach &&
        !enableMachServer(error))
        return false;
    if (configuration_.shouldRegisterUncaughtExceptionHandler())
        kcr::install_uncaught_exception_capture(&crash.writer);
    plat::MutexLock lock(mutex_);
    enabled_ = true;
    return true;
}

void KCRCrashReporter::prepareCrashTimeState() const {
    // What crash time needs is made ready now: the image list (with the
    // images' full symbol tables when symbols are asked for) and the
    // thread-control signal.
    plat::machine::initialize();
    async_image_list_poll_loader();
    if ((configuration_.symbolicationStrategy() & KCRCrashReporterSymbolicationStrategySymbolTable) != 0)
        async_image_list_load_file_symbols(async_shared_image_list());
    // Without it the other threads cannot be stopped: reports still hold
    // them, without their frames.
    if (!plat::machine::prepareThreadControl())
        kcr::log("Warning -- no signal free for thread control: other threads are reported without frames");
}

bool KCRCrashReporter::isEnabled() const {
    plat::MutexLock lock(mutex_);
    return enabled_;
}

void KCRCrashReporter::setCrashCallbacks(const KCRCrashReporterCallbacks& callbacks) {
    if (isEnabled())
        throw plat::Exception(KCRCrashReporterException, "The crash reporter has alread been enabled");
    if (callbacks.version != 0) {
        kcr::log("Unsupported crash callbacks version %d", static_cast<int>(callbacks.version));
        std::abort();
    }
    CrashContext& crash = crash_context();
    crash.callbackContext.store(callbacks.context);
    crash.handleSignal.store(callbacks.handleSignal);
}

void KCRCrashReporter::setCustomData(std::optional<plat::Data> data) {
    plat::MutexLock lock(mutex_);
    customData_ = std::move(data);
    if (!enabled_)
        return;
    if (customData_)
        kcr_log_writer_set_custom_data(&crash_context().writer, customData_->bytes(), customData_->length());
    else
        kcr_log_writer_set_no_custom_data(&crash_context().writer);
}

std::optional<plat::Data> KCRCrashReporter::customData() const {
    plat::MutexLock lock(mutex_);
    return customData_;
}

std::optional<plat::Data> KCRCrashReporter::generateLiveReport(plat::ErrorPtr* error) {
    return liveReport(plat::machine::currentThreadId(),
                      reinterpret_cast<uint64_t>(__builtin_return_address(0)), error);
}

std::optional<plat::Data> KCRCrashReporter::generateLiveReportWithThread(pid_t thread,
                                                                         plat::ErrorPtr* error) {
    return liveReport(thread, reinterpret_cast<uint64_t>(__builtin_return_address(0)), error);
}

namespace {

struct LiveWrite {
    log_writer_t* writer;
    async_file_t* file;
    uint32_t thread;
    log_signal_info_t signal;
};

kcr_error_t write_live(kcr_async_thread_state* state, void* context) {
    auto* live = static_cast<LiveWrite*>(context);
    return kcr_log_writer_write(live->writer, live->thread, async_shared_image_list(), live->file,
                                &live->signal, state);
}

}  // namespace

std::optional<plat::Data> KCRCrashReporter::liveReport(pid_t thread, uint64_t callerAddress,
                                                       plat::ErrorPtr* error) {
    plat::MutexLock serial(gLiveReportMutex);
    std::string pattern =
        plat::FileManager::defaultManager().temporaryDirectory() + "/live_crash_report.XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0) {
        populate_posix_error(error, errno, "Failed to create temporary path");
        return std::nullopt;
    }
    auto writer = std::make_unique<log_writer_t>();
    const std::string* marketing = applicationMarketingVersion_ ? &*applicationMarketingVersion_ : nullptr;
    // Without the process facts the report is still written, their section empty.
    (void)kcr_log_writer_init(writer.get(), applicationIdentifier_, applicationVersion_, marketing,
                              mapToAsyncSymbolicationStrategy(configuration_.symbolicationStrategy()), true);
    if (auto data = customData())
        kcr_log_writer_set_custom_data(writer.get(), data->bytes(), data->length());
    prepareCrashTimeState();

    auto file = std::make_unique<async_file_t>();
    async_file_init(file.get(), fd, kCrashReportFileLimit);
    LiveWrite live{writer.get(), file.get(), static_cast<uint32_t>(thread), {}};
    live.signal.signo = SIGTRAP;
    live.signal.code = 2;  // TRAP_TRACE
    live.signal.address = callerAddress;
    kcr_error_t result = KCR_ESUCCESS;
    if (thread == plat::machine::currentThreadId()) {
        result = async_thread_state_current(write_live, &live);
    } else {
        result = kcr_log_writer_write(writer.get(), live.thread, async_shared_image_list(), file.get(),
                                      &live.signal, nullptr);
    }
    if (const kcr_error_t closed = kcr_log_writer_close(writer.get()); result == KCR_ESUCCESS)
        result = closed;
    const bool flushed = async_file_flush(file.get());
    std::optional<plat::Data> data;
    if (result != KCR_ESUCCESS || !flushed) {
        kcr::log("Write failed with error %s",
                 async_error_text(result != KCR_ESUCCESS ? result : KCR_OUTPUT_ERR));
        populate_error(error, KCRCrashReporterErrorUnknown, "Failed to write the crash report to disk");
    } else {
        struct stat info {};
        if (fstat(fd, &info) == 0) {
            std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
            size_t done = 0;
            while (done < bytes.size()) {
                ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            if (done == bytes.size())
                data = plat::Data(std::move(bytes));
        }
        if (!data)
            populate_error(error, KCRCrashReporterErrorUnknown,
                           "Unable to open live crash report for reading");
    }
    (void)::close(fd);  // the bytes were read back (or the failure reported); the file goes next
    kcr_log_writer_free(writer.get());
    if (::unlink(pattern.c_str()) != 0)
        kcr::log("Failure occured deleting live crash report: %s", std::strerror(errno));
    return data;
}
