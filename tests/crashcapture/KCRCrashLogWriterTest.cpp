// The crash log writer on this process: output file rules, frame and size
// limits, symbols, signal texts, exceptions, and a report without a thread
// list. Reports are decoded with the report decoder.
#include "crashcapture/KCRCrashLogWriter.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "crashcapture/CrashReportBuilder.h"
#include "platform/machine/Threads.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using namespace kcr::async;

TEST(AsyncFile, LimitBufferAndDirectWrites) {
    struct Case {
        uint64_t limit;
        std::vector<size_t> writes;
        std::vector<bool> accepted;
        size_t file_size;
    };
    const Case cases[] = {
        {0, {10, 300, 5}, {true, true, true}, 315},
        // A write that would pass the limit is refused whole; later ones that fit are kept.
        {100, {60, 50, 40}, {true, false, true}, 100},
        {256, {256, 1}, {true, false}, 256},
        {1000, {255, 2, 600}, {true, true, true}, 857},
    };
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        const std::string path = (dir / "out").string();
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        async_file_t file;
        async_file_init(&file, fd, c.limit);
        for (size_t i = 0; i < c.writes.size(); ++i) {
            std::vector<uint8_t> bytes(c.writes[i], static_cast<uint8_t>(i + 1));
            EXPECT_EQ(async_file_write(&file, bytes.data(), bytes.size()), c.accepted[i]) << i;
        }
        EXPECT_TRUE(async_file_close(&file));
        EXPECT_EQ(std::filesystem::file_size(path), c.file_size);
    }
}

struct Written {
    std::vector<uint8_t> bytes;
    KCRCrashReportPtr report;
};

struct WriteRequest {
    log_writer_t* writer;
    log_signal_info_t signal;
    std::string path;
    uint64_t limit;
    int fd = -1;  // already open, when not -1
};

kcr_error_t write_here(kcr_async_thread_state* state, void* context) {
    auto* request = static_cast<WriteRequest*>(context);
    int fd = request->fd >= 0 ? request->fd : open(request->path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    async_file_t file;
    async_file_init(&file, fd, request->limit);
    kcr_error_t error = kcr_log_writer_write(request->writer, current_mach_thread(),
                                             async_shared_image_list(), &file, &request->signal, state);
    const bool closed = async_file_close(&file);
    return error == KCR_ESUCCESS && !closed ? KCR_OUTPUT_ERR : error;
}

Written write_report(log_writer_t* writer, log_signal_info_t signal, uint64_t limit = kCrashReportFileLimit) {
    testsupport::TempDir dir;
    WriteRequest request{writer, signal, (dir / "report").string(), limit};
    plat::machine::prepareThreadControl();
    async_image_list_poll_loader();
    EXPECT_EQ(async_thread_state_current(write_here, &request), KCR_ESUCCESS);
    Written written;
    written.bytes = testsupport::readBytes(request.path);
    auto report = KCRCrashReport::create(written.bytes.data(), written.bytes.size());
    if (report.ok())
        written.report = report.value();
    return written;
}

std::unique_ptr<log_writer_t> prepared(uint32_t strategy = 0) {
    auto writer = std::make_unique<log_writer_t>();
    EXPECT_EQ(kcr_log_writer_init(writer.get(), "writer-test", "2", nullptr, strategy, true), KCR_ESUCCESS);
    return writer;
}

KCRCrashReportThreadInfoPtr crashed_of(const KCRCrashReport& report) {
    for (const auto& thread : report.threads()) {
        if (thread->crashed())
            return thread;
    }
    return nullptr;
}

__attribute__((noinline)) size_t deep(int depth, log_writer_t* writer, Written* out) {
    if (depth == 0) {
        *out = write_report(writer, {SIGTRAP, 2, 0});
        return 0;
    }
    size_t r = deep(depth - 1, writer, out);
    asm volatile("" ::: "memory");
    return r + 1;
}

TEST(CrashLogWriter, DeepStacksKeep512Frames) {
    auto writer = prepared();
    Written written;
    deep(600, writer.get(), &written);
    ASSERT_NE(written.report, nullptr);
    auto crashed = crashed_of(*written.report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->stackFrames().size(), kMaxFramesPerThread);
}

TEST(CrashLogWriter, SymbolsOnlyWithAStrategy) {
    for (uint32_t strategy : {0u, 1u}) {
        auto writer = prepared(strategy);
        Written written = write_report(writer.get(), {SIGTRAP, 2, 0});
        ASSERT_NE(written.report, nullptr);
        size_t symbols = 0;
        for (const auto& thread : written.report->threads()) {
            for (const auto& frame : thread->stackFrames())
                symbols += frame->symbolInfo() != nullptr;
        }
        if (strategy == 0)
            EXPECT_EQ(symbols, 0u);
        else
            EXPECT_GT(symbols, 0u);
    }
}

TEST(CrashLogWriter, SignalTextsForUnknownNumbers) {
    struct Case {
        int signo, code;
        const char* name;
        const char* code_text;
    };
    for (const Case& c :
         {Case{33, 7, "#33", "#7"}, Case{SIGSEGV, 2, "SIGSEGV", "SEGV_ACCERR"},
          Case{SIGABRT, -6, "SIGABRT", "#-6"}, Case{SIGILL, INT32_MIN, "SIGILL", "#-2147483648"}}) {
        auto writer = prepared();
        Written written = write_report(writer.get(), {c.signo, c.code, 0xABC});
        ASSERT_NE(written.report, nullptr);
        EXPECT_EQ(written.report->signalInfo()->name(), c.name);
        EXPECT_EQ(written.report->signalInfo()->code(), c.code_text);
        EXPECT_EQ(written.report->signalInfo()->address(), 0xABCu);
    }
}

TEST(CrashLogWriter, ExceptionWithoutReasonOrFrames) {
    auto writer = prepared();
    kcr_log_writer_set_exception(writer.get(), "Boom", "", nullptr, 0);
    kcr_log_writer_set_exception(writer.get(), "Later", "ignored", nullptr, 0);  // the first one wins
    Written written = write_report(writer.get(), {SIGABRT, 0, 0});
    ASSERT_NE(written.report, nullptr);
    ASSERT_TRUE(written.report->hasExceptionInfo());
    EXPECT_EQ(written.report->exceptionInfo()->exceptionName(), "Boom");
    EXPECT_EQ(written.report->exceptionInfo()->exceptionReason(), "");
    EXPECT_TRUE(written.report->exceptionInfo()->stackFrames().empty());
}

// A report that would pass the file's limit drops frames and threads, never
// its tail: it stays within the limit and still decodes, crashed thread kept.
TEST(CrashLogWriter, OversizedReportStaysReadable) {
    auto writer = prepared();
    std::vector<uint8_t> custom(kCrashReportFileLimit - 3000, 0x5A);
    kcr_log_writer_set_custom_data(writer.get(), custom.data(), custom.size());
    Written written = write_report(writer.get(), {SIGSEGV, 1, 0});
    EXPECT_LE(written.bytes.size(), kCrashReportFileLimit);
    ASSERT_NE(written.report, nullptr);
    EXPECT_NE(crashed_of(*written.report), nullptr);
    EXPECT_EQ(written.report->customData()->length(), custom.size());
    kcr_log_writer_free(writer.get());
}

// A report the file did not take is a failed report, wherever the bytes were
// lost: refused by the descriptor (read-only, a full device), cut off by the
// process's file size limit, or refused by the file's own limit because what
// must follow the threads alone is larger. Custom data larger than the buffer
// goes straight to the descriptor, so nothing is left for a final flush to
// catch: only the writer itself can tell.
kcr_error_t write_to(int fd, log_writer_t* writer, uint64_t limit) {
    WriteRequest request{writer, {SIGSEGV, 1, 0}, "", limit, fd};
    plat::machine::prepareThreadControl();
    async_image_list_poll_loader();
    return async_thread_state_current(write_here, &request);
}

TEST(CrashLogWriter, FailedWritesAreReportedAsFailed) {
    testsupport::TempDir dir;
    std::vector<uint8_t> custom(4096, 0x5A);
    {
        auto writer = prepared();
        kcr_log_writer_set_custom_data(writer.get(), custom.data(), custom.size());
        const std::string path = (dir / "read-only").string();
        close(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        EXPECT_EQ(write_to(open(path.c_str(), O_RDONLY), writer.get(), kCrashReportFileLimit),
                  KCR_OUTPUT_ERR);
        const int full = open("/dev/full", O_WRONLY);
        if (full >= 0) {
            EXPECT_EQ(write_to(full, writer.get(), kCrashReportFileLimit), KCR_OUTPUT_ERR);
        }
        kcr_log_writer_free(writer.get());
    }
    {
        auto writer = prepared();
        std::vector<uint8_t> oversized(kCrashReportFileLimit + 1, 0x5A);
        kcr_log_writer_set_custom_data(writer.get(), oversized.data(), oversized.size());
        const std::string path = (dir / "oversized").string();
        EXPECT_EQ(write_to(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600), writer.get(),
                           kCrashReportFileLimit),
                  KCR_OUTPUT_ERR);
        EXPECT_LE(std::filesystem::file_size(path), kCrashReportFileLimit);
        kcr_log_writer_free(writer.get());
    }
    // A crash report written through its path in a process that may write
    // no more than 2000 bytes to a file (SIGXFSZ ignored, so writes fail).
    const std::string path = (dir / "capped").string();
    const int code = testsupport::exitCodeOfChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit cap {
            2000, 2000
        };
        if (setrlimit(RLIMIT_FSIZE, &cap) != 0)
            return 3;
        auto writer = prepared();
        kcr_log_writer_set_custom_data(writer.get(), custom.data(), custom.size());
        plat::machine::prepareThreadControl();
        async_image_list_poll_loader();
        struct Capped {
            const char* path;
            log_writer_t* writer;
            log_signal_info_t signal{SIGSEGV, 1, 0};
        } capped{path.c_str(), writer.get()};
        const kcr_error_t error = async_thread_state_current(
            [](kcr_async_thread_state* state, void* context) {
                auto* c = static_cast<Capped*>(context);
                return kcr_write_report(c->path, c->writer, async_shared_image_list(), current_mach_thread(),
                                        state, &c->signal);
            },
            &capped);
        return error == KCR_ESUCCESS ? 1 : 0;
    });
    ASSERT_NE(code, 3) << "could not lower the file size limit";
    EXPECT_EQ(code, 0) << "a report cut off by the file size limit was reported as written";
    EXPECT_LE(std::filesystem::file_size(path), 2000u);
}

// Without a thread list (no descriptor left to read /proc), the calling
// thread is still written from its state.
TEST(CrashLogWriter, ReportWithoutThreadListKeepsTheCrashedThread) {
    testsupport::TempDir dir;
    const std::string path = (dir / "report").string();
    const int status = testsupport::waitStatusOfChild([&] {
        auto writer = prepared();
        plat::machine::prepareThreadControl();
        async_image_list_poll_loader();
        WriteRequest request{writer.get(), {SIGSEGV, 1, 0}, path, kCrashReportFileLimit};
        // Open the output first, then allow no more descriptors.
        request.fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        int probe = open("/dev/null", O_RDONLY);
        close(probe);
        struct rlimit limit {
            static_cast<rlim_t>(probe), static_cast<rlim_t>(probe)
        };
        setrlimit(RLIMIT_NOFILE, &limit);
        pid_t ids[4];
        if (plat::machine::listThreads(ids, 4) >= 0 && open("/dev/null", O_RDONLY) >= 0)
            _exit(3);  // descriptors are not exhausted: the case cannot be made
        async_thread_state_current(write_here, &request);
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "could not exhaust descriptors";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    auto report = kcrtest::decodeFile(path);
    ASSERT_NE(report, nullptr);
    ASSERT_EQ(report->threads().size(), 1u);
    EXPECT_TRUE(report->threads()[0]->crashed());
    EXPECT_GT(report->threads()[0]->stackFrames().size(), 2u);
}

}  // namespace
