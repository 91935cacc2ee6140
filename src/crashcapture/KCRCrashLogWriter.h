// The crash log writer: turns the state of this process into one crash
// report file (the "kcrdump" header and a kcr.CrashReport message encoded by
// hand, field by field).
//
// Two phases. kcr_log_writer_init() runs at ordinary time and gathers what
// does not change while the process lives (application, process, machine and
// system facts) into a log_writer_t. kcr_log_writer_write() runs at crash
// time, on the crashed thread inside a signal handler: it allocates nothing,
// takes no lock, suspends the other threads, walks every thread's stack,
// lists the images and streams the message through a small buffered file.
//
// A report never outgrows its file's size limit in a way that makes it
// unreadable: the images, exception, signal and custom data are sized first
// and kept room for, then threads are written while they fit, the crashed
// thread first in line for the room, dropping frames from the end and then
// whole threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRAsyncImage.h"
#include "crashcapture/KCRAsyncThreadState.h"

namespace kcr::async {

// The crash-time output file: a 256-byte buffer in front of a descriptor,
// with an optional limit on the bytes accepted (0 = none).
struct async_file_t {
    static constexpr size_t kBufferSize = 256;
    int fd = -1;
    uint64_t limit_bytes = 0;
    uint64_t total_bytes = 0;
    size_t buffered = 0;
    uint8_t buffer[kBufferSize];
};

void async_file_init(async_file_t* file, int fd, uint64_t limit_bytes);
// True when the bytes were buffered or written. Refuses (false, nothing
// written) a write that would pass the limit; false too when the descriptor
// fails a write (those bytes, and the buffer in front of them, are lost).
[[nodiscard]] bool async_file_write(async_file_t* file, const void* bytes, size_t length);
// Writes out the buffer; false when the descriptor failed (the buffer is
// emptied either way).
[[nodiscard]] bool async_file_flush(async_file_t* file);
// Flushes and, when that succeeded, closes the descriptor; false when either failed.
[[nodiscard]] bool async_file_close(async_file_t* file);

inline constexpr uint64_t kCrashReportFileLimit = 262144;
inline constexpr uint32_t kMaxFramesPerThread = 512;
inline constexpr uint32_t kMaxExceptionFrames = 512;

// Custom data: an immutable record published with one atomic store, so a
// crash on one thread never reads bytes another thread is replacing. Old
// records are kept (a crash may be reading them); they are few and small.
struct log_writer_custom_data {
    size_t length = 0;
    const uint8_t* bytes = nullptr;
};

struct log_writer_t {
    uint32_t symbolication_strategy = 0;
    struct {
        bool user_requested = false;
        uint8_t uuid[16] = {};
    } report_info;
    struct {
        int32_t operating_system = 0;
        std::string os_version;
        std::string os_build;
    } system_info;
    struct {
        bool has_model = false;
        std::string model;
        uint64_t cpu_type = 0;
        uint64_t cpu_subtype = 0;
        uint32_t processor_count = 0;
        uint32_t logical_processor_count = 0;
    } machine_info;
    struct {
        std::string identifier;
        std::string version;
        std::string marketing_version;  // empty when unknown
    } application_info;
    struct {
        std::string name;
        uint32_t process_id = 0;
        std::string path;
        uint64_t start_time = 0;
        std::string parent_name;
        uint32_t parent_process_id = 0;
        bool native = true;
    } process_info;
    struct {
        std::atomic<bool> recorded{false};
        std::string name;
        std::string reason;
        uint64_t return_addresses[kMaxExceptionFrames] = {};
        uint32_t count = 0;
    } uncaught_exception;
    std::atomic<const log_writer_custom_data*> custom_data{nullptr};
};

// What the caller says about the crash.
struct log_signal_info_t {
    int signo = 0;
    int code = 0;
    uint64_t address = 0;
    // The exception the signal came from, when it came through an
    // exception port.
    bool has_mach_exception = false;
    uint64_t mach_type = 0;
    int64_t mach_codes[2] = {};
    uint32_t mach_code_count = 0;
};

// Prepares the record (ordinary time): 0, or 5 when the process's own facts
// cannot be read (the process and later sections then stay empty).
[[nodiscard]] kcr_error_t kcr_log_writer_init(log_writer_t* writer, const std::string& identifier,
                                              const std::string& version,
                                              const std::string* marketing_version,
                                              uint32_t symbolication_strategy, bool user_requested);
// Records the uncaught exception that is about to end the process: the
// first call wins, later ones change nothing.
void kcr_log_writer_set_exception(log_writer_t* writer, const std::string& name, const std::string& reason,
                                  const uint64_t* return_addresses, size_t count);
// Replaces the custom data (null: none).
void kcr_log_writer_set_custom_data(log_writer_t* writer, const void* bytes, size_t length);
void kcr_log_writer_set_no_custom_data(log_writer_t* writer);

// Writes one whole report into the file. `crashed_thread` is the thread that
// took the signal; `current_state`, when given, is the calling thread's state
// (the calling thread is written only then). Without a thread list, the
// calling thread is still written from that state. Async-signal-safe.
// 0 when the file took every byte; 2 (KCR_OUTPUT_ERR) when a write failed or
// was refused by the file's limit (what must follow the threads is larger
// than the limit): the file then holds no readable report.
[[nodiscard]] kcr_error_t kcr_log_writer_write(log_writer_t* writer, uint32_t crashed_thread,
                                               async_image_list_t* image_list, async_file_t* file,
                                               const log_signal_info_t* signal_info,
                                               const kcr_async_thread_state* current_state);
// Nothing to release at present: always 0.
[[nodiscard]] kcr_error_t kcr_log_writer_close(log_writer_t* writer);
// Releases the custom data (private writers only: nothing may be reading).
void kcr_log_writer_free(log_writer_t* writer);

// Crash-time report: creates (truncating, mode 0644) the file at `path`,
// adds the loader's objects the image list lacks (libraries opened since the
// list was last brought up to date), writes the report capped at
// kCrashReportFileLimit, flushes and closes.
// The write's result (2 when a write failed), or 6 when the file cannot be
// opened, flushed or closed.
[[nodiscard]] kcr_error_t kcr_write_report(const char* path, log_writer_t* writer,
                                           async_image_list_t* image_list, uint32_t crashed_thread,
                                           const kcr_async_thread_state* state,
                                           const log_signal_info_t* signal_info);

}  // namespace kcr::async
