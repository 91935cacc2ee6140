// Writing a report of a live process with 50 threads parked 30 frames deep
// (plus the frames of the thread library beneath them), unwound through the
// images' call-frame tables:
//
//   BM_WriteReport  the crash-time writer alone (suspend, unwind every
//                   thread, images, encode) into /dev/null;
//   BM_LiveReport   the whole live report (preparation, temporary file,
//                   reading it back), for 10 to 100 parked threads.
//
// Unwinding reads each image's call-frame tables from one copy made on first
// use and each stack through a few blocks, so a frame costs well under one
// read of the process's memory.
//
// "frames" is the number of frames in one report; "per_frame" the time per
// frame written.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "crashcapture/KCRCrashLogWriter.h"
#include "crashcapture/KCRCrashReport.h"
#include "crashcapture/KCRCrashReporter.h"
#include "platform/machine/Threads.h"

namespace {

using namespace kcr::async;

constexpr int kThreads = 50;
constexpr int kDepth = 30;

class ParkedThreads {
  public:
    explicit ParkedThreads(int count = kThreads) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this] { descend(kDepth); });
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this, count] { return parked_ == count; });
    }
    ~ParkedThreads() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            release_ = true;
        }
        cv_.notify_all();
        for (auto& t : threads_)
            t.join();
    }

  private:
    __attribute__((noinline)) int descend(int depth) {
        if (depth == 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            ++parked_;
            cv_.notify_all();
            cv_.wait(lock, [this] { return release_; });
            return 0;
        }
        int r = descend(depth - 1);
        asm volatile("" ::: "memory");
        return r + 1;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    int parked_ = 0;
    bool release_ = false;
    std::vector<std::thread> threads_;
};

struct Request {
    log_writer_t* writer;
    int fd;
};

kcr_error_t write_now(kcr_async_thread_state* state, void* context) {
    auto* request = static_cast<Request*>(context);
    async_file_t file;
    async_file_init(&file, request->fd, 0);
    log_signal_info_t signal{SIGTRAP, 2, 0};
    kcr_error_t error = kcr_log_writer_write(request->writer, current_mach_thread(),
                                             async_shared_image_list(), &file, &signal, state);
    const bool flushed = async_file_flush(&file);
    return error == KCR_ESUCCESS && !flushed ? KCR_OUTPUT_ERR : error;
}

size_t frames_in_live_report(KCRCrashReporter& reporter) {
    auto data = reporter.generateLiveReport();
    if (!data)
        return 0;
    auto report = KCRCrashReport::create(*data);
    if (!report.ok())
        return 0;
    size_t frames = 0;
    for (const auto& thread : report.value()->threads())
        frames += thread->stackFrames().size();
    return frames;
}

void BM_WriteReport(benchmark::State& state) {
    ParkedThreads parked;
    KCRCrashReporter reporter("bench", "1", std::nullopt, KCRCrashReporterConfig());
    const size_t frames = frames_in_live_report(reporter);  // also prepares images and thread control
    auto writer = std::make_unique<log_writer_t>();
    if (kcr_log_writer_init(writer.get(), "bench", "1", nullptr, 0, true) != KCR_ESUCCESS) {
        state.SkipWithError("process facts unavailable");
        return;
    }
    int fd = open("/dev/null", O_WRONLY);
    Request request{writer.get(), fd};
    for (auto _ : state) {
        if (async_thread_state_current(write_now, &request) != KCR_ESUCCESS) {
            state.SkipWithError("the report was not written");
            break;
        }
    }
    close(fd);
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["per_frame"] =
        benchmark::Counter(static_cast<double>(frames),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WriteReport)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LiveReport(benchmark::State& state) {
    ParkedThreads parked(static_cast<int>(state.range(0)));
    KCRCrashReporter reporter("bench", "1", std::nullopt, KCRCrashReporterConfig());
    size_t frames = 0;
    for (auto _ : state)
        frames = frames_in_live_report(reporter);
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["per_frame"] =
        benchmark::Counter(static_cast<double>(frames),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
// The argument is the number of parked threads: the cost grows with the
// frames walked (50 threads is the reference figure).
BENCHMARK(BM_LiveReport)->Arg(10)->Arg(25)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
