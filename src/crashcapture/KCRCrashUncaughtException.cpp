#include "crashcapture/KCRCrashUncaughtException.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <typeinfo>
#include <vector>

#include "crashcapture/KCRAsyncFrameCursor.h"
#include "crashcapture/KCRAsyncImage.h"
#include "crashcapture/KCRAsyncThreadState.h"
#include "platform/appkit/ExceptionRuntime.h"

namespace kcr {

namespace {

using namespace kcr::async;

std::atomic<log_writer_t*> gWriter{nullptr};
std::atomic<bool> gExceptionRecorded{false};
std::terminate_handler gPreviousTerminate = nullptr;

struct ExceptionFrames {
    uint64_t addresses[kMaxExceptionFrames];
    size_t count = 0;
};

kcr_error_t collect_frames(kcr_async_thread_state* state, void* context) {
    auto* frames = static_cast<ExceptionFrames*>(context);
    async_frame_cursor cursor;
    // Without a cursor the exception is recorded without frames.
    if (async_frame_cursor_init(&cursor, async_task_self(), state, async_shared_image_list()) !=
        FRAME_ESUCCESS)
        return KCR_ESUCCESS;
    while (frames->count < kMaxExceptionFrames && async_frame_cursor_next(&cursor) == FRAME_ESUCCESS) {
        uint64_t pc = 0;
        if (async_frame_cursor_get_reg(&cursor, 0, &pc) != FRAME_ESUCCESS)
            break;
        frames->addresses[frames->count++] = pc;
    }
    return KCR_ESUCCESS;
}

std::string demangled(const char* name) {
    if (name == nullptr)
        return {};
    if (*name == '*')  // the runtime's mark of a type local to one image
        ++name;
    int status = 0;
    char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && text != nullptr ? text : name;
    std::free(text);
    return result;
}

// Records the first uncaught exception: the given stack, else the current one.
void record(const std::string& name, const std::string& reason, const std::vector<uintptr_t>& stack) {
    log_writer_t* writer = gWriter.load();
    bool expected = false;
    if (writer == nullptr || !gExceptionRecorded.compare_exchange_strong(expected, true))
        return;
    ExceptionFrames frames;
    if (!stack.empty()) {
        for (uintptr_t address : stack) {
            if (frames.count == kMaxExceptionFrames)
                break;
            frames.addresses[frames.count++] = address;
        }
    } else {
        async_thread_state_current(collect_frames, &frames);
    }
    kcr_log_writer_set_exception(writer, name, reason, frames.addresses, frames.count);
}

void record_platform_exception(const plat::Exception& exception) {
    record(exception.name(), exception.reason(), plat::appkit::callStackReturnAddresses(exception));
}

[[noreturn]] void terminate_link() {
    if (std::exception_ptr current = std::current_exception()) {
        std::vector<uintptr_t> site(plat::appkit::kMaxThrowSiteFrames);
        site.resize(plat::appkit::currentExceptionThrowSiteFrames(site.data(), site.size()));
        try {
            std::rethrow_exception(current);
        } catch (const plat::Exception& e) {
            // The application runtime's own exceptions go to the application's
            // handler, whoever installed it, and then the process ends.
            if (plat::appkit::UncaughtExceptionHandler handler = plat::appkit::getUncaughtExceptionHandler())
                handler(e);
            std::abort();
        } catch (const std::exception& e) {
            record(demangled(typeid(e).name()), e.what(), site);
        } catch (...) {
            const std::type_info* type = abi::__cxa_current_exception_type();
            record(type != nullptr ? demangled(type->name()) : "Unknown exception", "", site);
        }
    }
    if (gPreviousTerminate != nullptr && gPreviousTerminate != terminate_link)
        gPreviousTerminate();
    std::abort();
}

}  // namespace

void install_uncaught_exception_capture(log_writer_t* writer) {
    gWriter.store(writer);
    plat::appkit::retainThrowSiteRecording();
    plat::appkit::setUncaughtExceptionHandler(record_platform_exception);
    std::terminate_handler previous = std::set_terminate(terminate_link);
    if (previous != terminate_link)
        gPreviousTerminate = previous;
}

std::terminate_handler uncaught_exception_terminate_handler() {
    return terminate_link;
}

}  // namespace kcr
