#include "crashcapture/KCRCrashLogWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "crashcapture/KCRAsyncFrameCursor.h"
#include "crashcapture/KCRAsyncSymbol.h"
#include "crashcapture/KCRCrashHostInfo.h"
#include "crashcapture/KCRCrashReportSystemFacts.h"
#include "crashcapture/KCRCrashReportWireFormat.h"
#include "crashcapture/KCRCrashSignalNames.h"
#include "platform/foundation/Random.h"
#include "platform/machine/Loader.h"
#include "platform/machine/Threads.h"

namespace kcr::async {

// ---------------------------------------------------------------------------
// Output file

void async_file_init(async_file_t* file, int fd, uint64_t limit_bytes) {
    file->fd = fd;
    file->limit_bytes = limit_bytes;
    file->total_bytes = 0;
    file->buffered = 0;
}

namespace {

bool write_all(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool async_file_write(async_file_t* file, const void* bytes, size_t length) {
    if (file->limit_bytes != 0 &&
        (length > file->limit_bytes || file->total_bytes > file->limit_bytes - length))
        return false;
    file->total_bytes += length;
    if (file->buffered + length > async_file_t::kBufferSize) {
        if (!async_file_flush(file))
            return false;
    }
    if (length > async_file_t::kBufferSize)
        return write_all(file->fd, static_cast<const uint8_t*>(bytes), length);
    async_memcpy(file->buffer + file->buffered, bytes, length);
    file->buffered += length;
    return true;
}

bool async_file_flush(async_file_t* file) {
    if (file->buffered == 0)
        return true;
    const bool ok = write_all(file->fd, file->buffer, file->buffered);
    file->buffered = 0;
    return ok;
}

bool async_file_close(async_file_t* file) {
    if (!async_file_flush(file))
        return false;
    return ::close(file->fd) == 0;
}

// ---------------------------------------------------------------------------
// Preparation

kcr_error_t kcr_log_writer_init(log_writer_t* writer, const std::string& identifier,
                                const std::string& version, const std::string* marketing_version,
                                uint32_t symbolication_strategy, bool user_requested) {
    writer->symbolication_strategy = symbolication_strategy & 3;
    writer->report_info.user_requested = user_requested;
    plat::random::fill(writer->report_info.uuid, sizeof writer->report_info.uuid);
    // A version-4 UUID.
    writer->report_info.uuid[6] = static_cast<uint8_t>((writer->report_info.uuid[6] & 0x0F) | 0x40);
    writer->report_info.uuid[8] = static_cast<uint8_t>((writer->report_info.uuid[8] & 0x3F) | 0x80);
    writer->application_info.identifier = identifier;
    writer->application_info.version = version;
    writer->application_info.marketing_version =
        marketing_version != nullptr ? *marketing_version : std::string();

    // Facts every reader of the report needs, gathered before the process
    // facts so that they are there even when those fail.
    const KCRCrashReportSystemFacts facts = KCRCrashReportSystemFacts::current();
    writer->system_info.operating_system = facts.operatingSystem;
    writer->system_info.os_version = facts.operatingSystemVersion;
    writer->system_info.os_build = facts.operatingSystemBuild;
    if (char* model = kcr::sysctl_string("hw.model")) {
        writer->machine_info.has_model = true;
        writer->machine_info.model = model;
        free(model);
    }
    int32_t value = 0;
    writer->machine_info.cpu_type =
        kcr::sysctl_int("hw.cputype", &value) ? static_cast<uint64_t>(int64_t{value}) : 0;
    writer->machine_info.cpu_subtype =
        kcr::sysctl_int("hw.cpusubtype", &value) ? static_cast<uint64_t>(int64_t{value}) : 0;
    writer->machine_info.processor_count =
        kcr::sysctl_int("hw.physicalcpu_max", &value) ? static_cast<uint32_t>(value) : 0;
    writer->machine_info.logical_processor_count =
        kcr::sysctl_int("hw.logicalcpu_max", &value) ? static_cast<uint32_t>(value) : 0;

    auto process = KCRCrashProcessInfo::currentProcessInfo();
    if (process == nullptr)
        return KCR_EINVAL;
    writer->process_info.process_id = static_cast<uint32_t>(process->processID());
    writer->process_info.name = process->processName().value_or("");
    writer->process_info.start_time = static_cast<uint64_t>(process->startTime().tv_sec);
    writer->process_info.path = plat::machine::executablePath();
    writer->process_info.parent_process_id = static_cast<uint32_t>(process->parentProcessID());
    if (auto parent = KCRCrashProcessInfo::create(process->parentProcessID()))
        writer->process_info.parent_name = parent->processName().value_or("");
    // Linux runs no translated processes.
    writer->process_info.native = true;
    return KCR_ESUCCESS;
}

void kcr_log_writer_set_exception(log_writer_t* writer, const std::string& name, const std::string& reason,
                                  const uint64_t* return_addresses, size_t count) {
    if (writer->uncaught_exception.recorded.load())
        return;
    writer->uncaught_exception.name = name;
    writer->uncaught_exception.reason = reason;
    const size_t kept = count < kMaxExceptionFrames ? count : kMaxExceptionFrames;
    for (size_t i = 0; i < kept; ++i)
        writer->uncaught_exception.return_addresses[i] = return_addresses[i];
    writer->uncaught_exception.count = static_cast<uint32_t>(kept);
    writer->uncaught_exception.recorded.store(true);
}

void kcr_log_writer_set_custom_data(log_writer_t* writer, const void* bytes, size_t length) {
    auto* copy = new uint8_t[length == 0 ? 1 : length];
    std::memcpy(copy, bytes, length);
    writer->custom_data.store(new log_writer_custom_data{length, copy});
}

void kcr_log_writer_set_no_custom_data(log_writer_t* writer) {
    writer->custom_data.store(nullptr);
}

kcr_error_t kcr_log_writer_close(log_writer_t*) {
    return KCR_ESUCCESS;
}

void kcr_log_writer_free(log_writer_t* writer) {
    const log_writer_custom_data* data = writer->custom_data.exchange(nullptr);
    if (data != nullptr) {
        delete[] data->bytes;
        delete data;
    }
}

// ---------------------------------------------------------------------------
// Encoding

namespace {

using kcr::wire::Field;

// Writes (with a file) or only counts (without one) protobuf fields. The
// first write the file does not take makes the encoder failed: it writes
// nothing more (the report is lost already, and later bytes would only sit
// after a gap), and the report's write is reported as failed.
struct encoder {
    async_file_t* file = nullptr;
    uint64_t size = 0;
    bool failed = false;

    void raw(const void* bytes, size_t length) {
        size += length;
        if (file != nullptr && !failed)
            failed = !async_file_write(file, bytes, length);
    }
    void varint_raw(uint64_t value) {
        uint8_t buffer[10];
        size_t n = 0;
        do {
            uint8_t byte = value & 0x7F;
            value >>= 7;
            if (value != 0)
                byte |= 0x80;
            buffer[n++] = byte;
        } while (value != 0);
        raw(buffer, n);
    }
    void varint(const Field& field, uint64_t value) {
        varint_raw(field.key());
        varint_raw(value);
    }
    void boolean(const Field& field, bool value) { varint(field, value ? 1 : 0); }
    void bytes(const Field& field, const void* data, size_t length) {
        varint_raw(field.key());
        varint_raw(length);
        raw(data, length);
    }
    void string(const Field& field, const char* text) { bytes(field, text, std::strlen(text)); }
    void string(const Field& field, const std::string& text) { bytes(field, text.data(), text.size()); }
    // A nested message: sized by a first run of `body` without the file, then
    // written by a second run; both runs produce the same bytes.
    template <typename Body>
    void message(const Field& field, Body&& body) {
        encoder sizing;
        body(sizing);
        varint_raw(field.key());
        varint_raw(sizing.size);
        if (file == nullptr) {
            size += sizing.size;
            return;
        }
        encoder writing{file, 0, failed};
        body(writing);
        size += writing.size;
        failed = writing.failed;
    }
};

// The frames of one thread, unwound once and then sized and written from here.
struct thread_capture {
    bool have_state = false;
    kcr_async_thread_state first;  // the first frame's registers
    uint32_t count = 0;
    uint64_t pcs[kMaxFramesPerThread];
    uint8_t exact[kMaxFramesPerThread];
};

void capture_frames(const kcr_task_t& task, async_image_list_t* image_list,
                    const kcr_async_thread_state* state, thread_capture* capture) {
    capture->count = 0;
    capture->have_state = true;
    async_thread_state_copy(&capture->first, state);
    // The walk reads the thread's stack a few words at a time: through
    // blocks, each read from the task once. The stack above the walk's start
    // does not change while it runs (the thread is suspended, or is the
    // caller waiting for this report).
    plat::machine::ReadCache stack_blocks;
    kcr_task_t cached_task = task;
    cached_task.cache = &stack_blocks;
    async_frame_cursor cursor;
    if (async_frame_cursor_init(&cursor, cached_task, state, image_list) != FRAME_ESUCCESS)
        return;
    while (capture->count < kMaxFramesPerThread) {
        if (async_frame_cursor_next(&cursor) != FRAME_ESUCCESS)
            break;
        uint64_t pc = 0;
        if (async_frame_cursor_get_reg(&cursor, 0, &pc) != FRAME_ESUCCESS)
            break;
        capture->pcs[capture->count] = pc;
        capture->exact[capture->count] = cursor.frame.pc_is_exact ? 1 : 0;
        capture->count++;
    }
    async_frame_cursor_free(&cursor);
}

struct symbol_found {
    bool found = false;
    uint64_t start = 0;
    char name[256];
};

void record_symbol(uint64_t address, const char* name, void* context) {
    auto* found = static_cast<symbol_found*>(context);
    found->found = true;
    found->start = address;
    size_t i = 0;
    for (; i + 1 < sizeof found->name && name[i] != '\0'; ++i)
        found->name[i] = name[i];
    found->name[i] = '\0';
}

struct write_context {
    log_writer_t* writer;
    async_image_list_t* image_list;
};

// A frame's fields: its pc and, when symbolication is on and an image
// holds it, its symbol. A return address (not `exact`) is looked up inside
// the call it returns from.
void write_frame_fields(encoder& f, const write_context& ctx, uint64_t pc, bool exact) {
    f.varint(kcr::wire::StackFrame::pc, pc);
    if (ctx.writer->symbolication_strategy == 0 || ctx.image_list == nullptr)
        return;
    const uint64_t lookup = exact || pc == 0 ? pc : pc - 1;
    symbol_found found;
    async_image_list_set_reading(ctx.image_list, true);
    async_image* image = async_image_containing_address(ctx.image_list, lookup);
    // Not found (or not readable): the frame is written without a symbol.
    if (image != nullptr)
        (void)async_find_symbol(image, ctx.writer->symbolication_strategy, nullptr, lookup, record_symbol,
                                &found);
    async_image_list_set_reading(ctx.image_list, false);
    if (!found.found)
        return;
    f.message(kcr::wire::StackFrame::symbol, [&](encoder& s) {
        s.string(kcr::wire::Symbol::name, found.name);
        s.varint(kcr::wire::Symbol::start_address, found.start);
    });
}

void write_frame(encoder& e, const write_context& ctx, uint64_t pc, bool exact) {
    e.message(kcr::wire::Thread::frames, [&](encoder& f) { write_frame_fields(f, ctx, pc, exact); });
}

void write_thread(encoder& e, const write_context& ctx, uint32_t number, bool crashed,
                  const thread_capture& capture, uint32_t frames) {
    e.message(kcr::wire::CrashReport::threads, [&](encoder& t) {
        t.varint(kcr::wire::Thread::thread_number, number);
        t.boolean(kcr::wire::Thread::crashed, crashed);
        if (!capture.have_state || capture.count == 0)
            return;
        if (crashed) {
            const uint32_t regs = async_thread_state_get_reg_count(&capture.first);
            for (uint32_t r = 0; r < regs; ++r) {
                t.message(kcr::wire::Thread::registers, [&](encoder& rv) {
                    const char* name = async_thread_state_get_reg_name(&capture.first, r);
                    rv.string(kcr::wire::RegisterValue::name, name != nullptr ? name : "");
                    const uint64_t value = async_thread_state_has_reg(&capture.first, r)
                                               ? async_thread_state_get_reg(&capture.first, r)
                                               : 0;
                    rv.varint(kcr::wire::RegisterValue::value, value);
                });
            }
        }
        for (uint32_t i = 0; i < frames && i < capture.count; ++i)
            write_frame(t, ctx, capture.pcs[i], capture.exact[i] != 0);
    });
}

uint64_t thread_size(const write_context& ctx, uint32_t number, bool crashed, const thread_capture& capture,
                     uint32_t frames) {
    encoder sizing;
    write_thread(sizing, ctx, number, crashed, capture, frames);
    return sizing.size;
}

// The most frames (up to all) whose thread message fits `room`; -1 when not even none fit.
int64_t frames_that_fit(const write_context& ctx, uint32_t number, bool crashed,
                        const thread_capture& capture, uint64_t room) {
    if (thread_size(ctx, number, crashed, capture, capture.count) <= room)
        return capture.count;
    if (thread_size(ctx, number, crashed, capture, 0) > room)
        return -1;
    uint32_t low = 0, high = capture.count;  // low fits, high does not
    while (high - low > 1) {
        uint32_t middle = low + (high - low) / 2;
        if (thread_size(ctx, number, crashed, capture, middle) <= room)
            low = middle;
        else
            high = middle;
    }
    return low;
}

void write_images(encoder& e, const write_context& ctx) {
    if (ctx.image_list == nullptr)
        return;
    async_image_list_set_reading(ctx.image_list, true);
    for (async_image* image = async_image_list_next(ctx.image_list, nullptr); image != nullptr;
         image = async_image_list_next(ctx.image_list, image)) {
        e.message(kcr::wire::CrashReport::binary_images, [&](encoder& b) {
            b.varint(kcr::wire::BinaryImage::size, async_image_text_size(image));
            b.varint(kcr::wire::BinaryImage::base_address, async_image_header_address(image));
            const char* name = async_image_name(image);
            b.string(kcr::wire::BinaryImage::name, name != nullptr ? name : "");
            uint8_t uuid[16];
            if (async_image_uuid(image, uuid))
                b.bytes(kcr::wire::BinaryImage::uuid, uuid, sizeof uuid);
            b.message(kcr::wire::BinaryImage::code_type, [&](encoder& p) {
                p.varint(kcr::wire::Processor::encoding, 1);
                p.varint(kcr::wire::Processor::type, async_image_cpu_type(image));
                p.varint(kcr::wire::Processor::subtype, async_image_cpu_subtype(image));
            });
        });
    }
    async_image_list_set_reading(ctx.image_list, false);
}

// One frame of the uncaught exception: the frame message under the
// exception's field, its symbol looked up inside the call it returns from.
void write_exception_frame(encoder& f, const write_context& ctx, uint64_t pc) {
    write_frame_fields(f, ctx, pc, false);
}

void write_exception(encoder& e, const write_context& ctx) {
    const log_writer_t* writer = ctx.writer;
    if (!writer->uncaught_exception.recorded.load())
        return;
    e.message(kcr::wire::CrashReport::exception, [&](encoder& x) {
        x.string(kcr::wire::Exception::name, writer->uncaught_exception.name);
        x.string(kcr::wire::Exception::reason, writer->uncaught_exception.reason);
        for (uint32_t i = 0; i < writer->uncaught_exception.count; ++i) {
            x.message(kcr::wire::Exception::frames, [&](encoder& f) {
                write_exception_frame(f, ctx, writer->uncaught_exception.return_addresses[i]);
            });
        }
    });
}

void write_signal(encoder& e, const log_signal_info_t* signal_info) {
    e.message(kcr::wire::CrashReport::signal, [&](encoder& s) {
        char name_buffer[kSignalTextBufferSize];
        char code_buffer[kSignalTextBufferSize];
        s.string(kcr::wire::Signal::name, signal_name_text(signal_info->signo, name_buffer));
        s.string(kcr::wire::Signal::code,
                 signal_code_text(signal_info->signo, signal_info->code, code_buffer));
        s.varint(kcr::wire::Signal::address, signal_info->address);
        if (!signal_info->has_mach_exception)
            return;
        s.message(kcr::wire::Signal::mach_exception, [&](encoder& m) {
            m.varint(kcr::wire::MachException::type, signal_info->mach_type);
            for (uint32_t i = 0; i < signal_info->mach_code_count && i < 2; ++i)
                m.varint(kcr::wire::MachException::codes, static_cast<uint64_t>(signal_info->mach_codes[i]));
        });
    });
}

// What follows the threads, and is kept room for before they are written:
// images, the uncaught exception, the signal and the custom data.
void write_tail(encoder& e, const write_context& ctx, const log_signal_info_t* signal_info) {
    write_images(e, ctx);
    write_exception(e, ctx);
    write_signal(e, signal_info);
    if (const log_writer_custom_data* data = ctx.writer->custom_data.load())
        e.bytes(kcr::wire::CrashReport::custom_data, data->bytes, data->length);
}

void write_head(encoder& e, log_writer_t* writer) {
    e.message(kcr::wire::CrashReport::report_info, [&](encoder& r) {
        r.boolean(kcr::wire::ReportInfo::user_requested, writer->report_info.user_requested);
        r.bytes(kcr::wire::ReportInfo::uuid, writer->report_info.uuid, sizeof writer->report_info.uuid);
    });
    struct timespec now {};
    const int64_t timestamp = clock_gettime(CLOCK_REALTIME, &now) == 0 ? now.tv_sec : 0;
    e.message(kcr::wire::CrashReport::system_info, [&](encoder& s) {
        s.varint(kcr::wire::SystemInfo::operating_system,
                 static_cast<uint64_t>(writer->system_info.operating_system));
        s.string(kcr::wire::SystemInfo::os_version, writer->system_info.os_version);
        s.string(kcr::wire::SystemInfo::os_build, writer->system_info.os_build);
        s.varint(kcr::wire::SystemInfo::architecture, 6);
        s.varint(kcr::wire::SystemInfo::timestamp, static_cast<uint64_t>(timestamp));
    });
    e.message(kcr::wire::CrashReport::machine_info, [&](encoder& m) {
        if (writer->machine_info.has_model)
            m.string(kcr::wire::MachineInfo::model, writer->machine_info.model);
        m.message(kcr::wire::MachineInfo::processor, [&](encoder& p) {
            p.varint(kcr::wire::Processor::encoding, 1);
            p.varint(kcr::wire::Processor::type, writer->machine_info.cpu_type);
            p.varint(kcr::wire::Processor::subtype, writer->machine_info.cpu_subtype);
        });
        m.varint(kcr::wire::MachineInfo::processor_count, writer->machine_info.processor_count);
        m.varint(kcr::wire::MachineInfo::logical_processor_count,
                 writer->machine_info.logical_processor_count);
    });
    e.message(kcr::wire::CrashReport::application_info, [&](encoder& a) {
        a.string(kcr::wire::ApplicationInfo::identifier, writer->application_info.identifier);
        a.string(kcr::wire::ApplicationInfo::version, writer->application_info.version);
        a.string(kcr::wire::ApplicationInfo::marketing_version, writer->application_info.marketing_version);
    });
    e.message(kcr::wire::CrashReport::process_info, [&](encoder& p) {
        p.string(kcr::wire::ProcessInfo::process_name, writer->process_info.name);
        p.varint(kcr::wire::ProcessInfo::process_id, writer->process_info.process_id);
        p.string(kcr::wire::ProcessInfo::process_path, writer->process_info.path);
        p.string(kcr::wire::ProcessInfo::parent_process_name, writer->process_info.parent_name);
        p.varint(kcr::wire::ProcessInfo::parent_process_id, writer->process_info.parent_process_id);
        p.boolean(kcr::wire::ProcessInfo::native, writer->process_info.native);
        p.varint(kcr::wire::ProcessInfo::start_time, writer->process_info.start_time);
    });
}

constexpr int kMaxThreads = 1024;
// How long the writer waits, in total, for the other threads to stop.
constexpr int64_t kSuspendTimeoutNanoseconds = 500'000'000;

// What unwinding a thread needs: the task, the images, and the calling
// thread with the state its caller gave (null: the calling thread is left
// out, its own frames would describe the writer).
struct thread_walk {
    kcr_task_t task;
    async_image_list_t* image_list;
    uint32_t self;
    const kcr_async_thread_state* current_state;

    bool can_write(uint32_t id) const { return id != self || current_state != nullptr; }
};

struct thread_list {
    const pid_t* ids;
    int count;
    uint32_t crashed_thread;
};

// The process's threads into `ids`. Without a list (no /proc, no descriptor
// left) the calling thread is still written from the state the caller gave.
int threads_to_write(const thread_walk& walk, pid_t* ids) {
    int count = plat::machine::listThreads(ids, kMaxThreads);
    if (count < 0)
        count = 0;
    bool self_listed = false;
    for (int i = 0; i < count; ++i)
        self_listed = self_listed || static_cast<uint32_t>(ids[i]) == walk.self;
    if (walk.current_state != nullptr && !self_listed && count < kMaxThreads)
        ids[count++] = static_cast<pid_t>(walk.self);
    return count;
}

// Unwinds thread `id`: the calling thread from the caller's state, another
// from its suspended registers; without state when those cannot be read.
void capture_thread(const thread_walk& walk, uint32_t id, thread_capture* capture) {
    capture->have_state = false;
    capture->count = 0;
    kcr_async_thread_state state;
    if (id == walk.self)
        async_thread_state_copy(&state, walk.current_state);
    else if (async_thread_state_mach_thread_init(&state, id) != KCR_ESUCCESS)
        return;
    capture_frames(walk.task, walk.image_list, &state, capture);
}

// The room the threads may take in a limited file: the tail's size is kept
// for what follows them, and the crashed thread's whole size until it is
// written (unwound first, it is first in line for the room).
struct thread_room {
    uint64_t tail_size;
    uint64_t crashed_reserve = 0;

    // The bytes the thread numbered `number` may take.
    uint64_t for_thread(const write_context& ctx, const async_file_t& file, uint32_t number,
                        const thread_capture* pending_crashed) {
        if (pending_crashed != nullptr && crashed_reserve == 0)
            // (with slack for a longer thread number)
            crashed_reserve =
                thread_size(ctx, number + 1, true, *pending_crashed, pending_crashed->count) + 8;
        const uint64_t reserved = tail_size + (pending_crashed != nullptr ? crashed_reserve : 0);
        const uint64_t used = file.total_bytes;
        return file.limit_bytes > used + reserved ? file.limit_bytes - used - reserved : 0;
    }
};

// Writes the listed threads, numbered in the order written, the crashed one
// unwound first. In a limited file a thread keeps the frames that fit its
// room and is left out when not even its frameless message fits.
void write_threads(encoder& out, const write_context& ctx, const thread_walk& walk,
                   const thread_list& threads, uint64_t tail_size) {
    thread_capture crashed_capture;
    bool crashed_pending = false;
    for (int i = 0; i < threads.count && !crashed_pending; ++i) {
        const uint32_t id = static_cast<uint32_t>(threads.ids[i]);
        if (id != threads.crashed_thread)
            continue;
        if (!walk.can_write(id))
            break;
        capture_thread(walk, id, &crashed_capture);
        crashed_pending = true;
    }

    const async_file_t& file = *out.file;
    thread_room room{tail_size};
    uint32_t number = 0;
    thread_capture other;
    for (int i = 0; i < threads.count; ++i) {
        const uint32_t id = static_cast<uint32_t>(threads.ids[i]);
        const bool crashed = id == threads.crashed_thread;
        const thread_capture* capture = &other;
        if (crashed) {
            if (!crashed_pending)
                continue;
            capture = &crashed_capture;
            crashed_pending = false;
        } else {
            if (!walk.can_write(id))
                continue;
            capture_thread(walk, id, &other);
        }
        uint32_t frames = capture->count;
        if (file.limit_bytes != 0) {
            const uint64_t bytes =
                room.for_thread(ctx, file, number, crashed_pending ? &crashed_capture : nullptr);
            const int64_t fit = frames_that_fit(ctx, number, crashed, *capture, bytes);
            if (fit < 0)
                continue;
            frames = static_cast<uint32_t>(fit);
        }
        write_thread(out, ctx, number, crashed, *capture, frames);
        number++;
    }
}

}  // namespace

kcr_error_t kcr_log_writer_write(log_writer_t* writer, uint32_t crashed_thread,
                                 async_image_list_t* image_list, async_file_t* file,
                                 const log_signal_info_t* signal_info,
                                 const kcr_async_thread_state* current_state) {
    thread_walk walk{async_task_self(), image_list, current_mach_thread(), current_state};
    pid_t ids[kMaxThreads];
    const int count = threads_to_write(walk, ids);
    // Threads that do not answer are written without frames: the count of
    // those that did tells the writer nothing it does not learn per thread.
    if (count > 0)
        (void)plat::machine::suspendThreads(ids, count, kSuspendTimeoutNanoseconds);

    const write_context ctx{writer, image_list};
    static constexpr uint8_t kHeader[8] = {'k', 'c', 'r', 'd', 'u', 'm', 'p', 1};
    encoder out{file};
    out.raw(kHeader, sizeof kHeader);
    write_head(out, writer);
    encoder tail_size;
    write_tail(tail_size, ctx, signal_info);
    write_threads(out, ctx, walk, thread_list{ids, count, crashed_thread}, tail_size.size);
    write_tail(out, ctx, signal_info);

    if (count > 0)
        plat::machine::resumeThreads();
    return out.failed ? KCR_OUTPUT_ERR : KCR_ESUCCESS;
}

kcr_error_t kcr_write_report(const char* path, log_writer_t* writer, async_image_list_t* image_list,
                             uint32_t crashed_thread, const kcr_async_thread_state* state,
                             const log_signal_info_t* signal_info) {
    int fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return KCR_EINTERNAL;
    // Libraries opened since the list was last brought up to date.
    async_image_list_add_loader_images(image_list);
    async_file_t file;
    async_file_init(&file, fd, kCrashReportFileLimit);
    kcr_error_t error = kcr_log_writer_write(writer, crashed_thread, image_list, &file, signal_info, state);
    if (const kcr_error_t closed = kcr_log_writer_close(writer); error == KCR_ESUCCESS)
        error = closed;
    const bool flushed = async_file_flush(&file);
    const bool closed = ::close(fd) == 0;
    return flushed && closed ? error : KCR_EINTERNAL;
}

}  // namespace kcr::async
