#include "beacon/crashes/BEACCrashesLogBuffer.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <vector>

#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/BEACCrashesLogTag.h"
#include "beacon/crashes/BEACErrorAttachmentLog.h"
#include "beacon/crashes/BEACErrorLogs.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Text.h"

namespace {

// What a slot holds; immutable once published, so the crash callback never
// sees a half-written string.
struct SlotContent {
    std::string archive;
    std::string token;  // encrypted; empty when the log had none
    std::string internalId;
    double timestamp = 0;
};

struct Slot {
    std::atomic<const SlotContent*> content{nullptr};
    std::atomic<const char*> bufferPath{nullptr};
    std::atomic<const char*> tokenPath{nullptr};
};

// Static storage with trivial destruction: nothing here is freed at exit.
Slot gSlots[kBEACCrashesBufferSlotCount];
std::atomic<bool> gCrashed{false};

// What the buffer's lock guards besides the slots (which are atomics, for
// the crash callback). Never freed.
struct BufferState {
    plat::Mutex mutex;
    std::string folder GUARDED_BY(mutex);
    std::function<double()> clock GUARDED_BY(mutex);
};

BufferState& bufferState() {
    static auto* state = new BufferState;
    return *state;
}

double now(BufferState& state) REQUIRES(state.mutex) {
    return state.clock ? state.clock() : plat::Date::now().timeIntervalSince1970();
}

// Paths are replaced only by another set-up; the old ones are kept, never
// freed, since a crash may be reading them at any time.
void storePath(std::atomic<const char*>& slot, const std::string& text) {
    static auto* retired = new std::vector<const char*>;
    const char* current = slot.load();
    if (current != nullptr && text == current)
        return;
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    if (const char* previous = slot.exchange(copy))
        retired->push_back(previous);
}

std::string tokenPathFor(std::string bufferPath) {
    return plat::text::stringByReplacingOccurrencesOfString(bufferPath, kBEACCrashesBufferFileExtension,
                                                            kBEACCrashesTargetTokenFileExtension);
}

// Called with the buffer's lock held. Once the crash callback has begun, it
// may be reading any content it loaded (in exception-server mode the other
// threads run on meanwhile), so replaced content is kept instead of freed.
// The callback sets the flag before it loads a slot, and this checks it after
// the exchange (both sequentially consistent): content the callback can
// still hold is never freed.
void replaceContent(Slot& slot, const SlotContent* content) {
    const SlotContent* old = slot.content.exchange(content);
    if (old == nullptr)
        return;
    if (!gCrashed.load()) {
        delete old;
        return;
    }
    static auto* kept = new std::vector<const SlotContent*>;
    kept->push_back(old);
}

// Crash time: one whole file written with open, write and close.
void writeFile(const char* path, const char* bytes, size_t length) {
    if (path == nullptr)
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    // Crash time has no one to tell of a failure: a file cut short fails to
    // decode at the next launch and is dropped there.
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    (void)close(fd);  // as above: nobody to tell
}

bool isBuffered(const BEACAbstractLog& log) {
    return dynamic_cast<const BEACAppleErrorLog*>(&log) == nullptr &&
           dynamic_cast<const BEACErrorAttachmentLog*>(&log) == nullptr;
}

}  // namespace

void BEACCrashesLogBuffer::setUp(const std::string& folder) {
    BufferState& state = bufferState();
    plat::MutexLock lock(state.mutex);
    state.folder = folder;
    for (size_t i = 0; i < kBEACCrashesBufferSlotCount; ++i) {
        const std::string component =
            plat::format("%@/%@.%@", folder, std::to_string(i), kBEACCrashesBufferFileExtension);
        std::optional<std::string> path = BEACUtility::fullPathForPathComponent(component);
        // Not atomic, no overwrite: what a crash wrote waits for processAfterCrash.
        // A failure is logged; the crash-time writer creates a missing file.
        (void)BEACUtility::createFileAtPathComponent(component, std::nullopt, false, false);
        if (!path)
            continue;
        storePath(gSlots[i].bufferPath, *path);
        storePath(gSlots[i].tokenPath, tokenPathFor(*path));
    }
}

void BEACCrashesLogBuffer::didPrepareLog(const BEACLogPtr& log, const std::string& internalId,
                                         BEACEncrypter& encrypter) {
    if (!log || !isBuffered(*log))
        return;
    BufferState& state = bufferState();
    plat::MutexLock lock(state.mutex);
    std::optional<plat::Data> archive =
        BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(log)));
    if (!archive || archive->length() == 0)
        return;
    auto content = std::make_unique<SlotContent>();
    content->archive = archive->toString();
    if (auto tokens = log->transmissionTargetTokens(); tokens && !tokens->empty())
        content->token = encrypter.encryptString(*tokens->begin()).value_or("");
    content->internalId = internalId;
    content->timestamp = now(state);
    BEACLogVerbose(kBEACCrashesLogTag, "Storing a log to Crashes Buffer: (sid: %@, type: %@)", log->sid,
                   log->type);

    size_t oldest = kBEACCrashesBufferSlotCount;
    double oldestTimestamp = std::numeric_limits<double>::max();
    for (size_t i = 0; i < kBEACCrashesBufferSlotCount; ++i) {
        const SlotContent* current = gSlots[i].content.load();
        if (current == nullptr) {
            replaceContent(gSlots[i], content.release());
            BEACLogVerbose(kBEACCrashesLogTag, "Found an empty buffer position.");
            return;
        }
        if (current->timestamp < oldestTimestamp) {
            oldestTimestamp = current->timestamp;
            oldest = i;
            BEACLogVerbose(kBEACCrashesLogTag, "Remembering index %ld for oldest timestamp %f.",
                           static_cast<int64_t>(i), oldestTimestamp);
        }
    }
    BEACLogVerbose(kBEACCrashesLogTag, "Reached end of buffer. Next step is overwriting the oldest one.");
    if (oldest == kBEACCrashesBufferSlotCount)
        oldest = 0;
    replaceContent(gSlots[oldest], content.release());
    BEACLogVerbose(kBEACCrashesLogTag, "Overwrote buffered log at index %ld.", static_cast<int64_t>(oldest));
}

void BEACCrashesLogBuffer::didCompleteEnqueueingLog(const BEACLogPtr& log, const std::string& internalId) {
    if (internalId.empty())
        return;
    BufferState& state = bufferState();
    plat::MutexLock lock(state.mutex);
    for (Slot& slot : gSlots) {
        const SlotContent* current = slot.content.load();
        if (current == nullptr || current->internalId != internalId)
            continue;
        BEACLogVerbose(kBEACCrashesLogTag, "Deleting a log from buffer with id %@", internalId);
        replaceContent(slot, nullptr);
        if (gCrashed.load()) {
            const char* path = slot.bufferPath.load();
            if (path != nullptr && unlink(path) == 0) {
                BEACLogVerbose(kBEACCrashesLogTag, "Deleted a log from Crashes Buffer (sid: %@, type: %@)",
                               log ? log->sid : std::nullopt, log ? log->type : std::nullopt);
                BEACLogVerbose(kBEACCrashesLogTag, "Deleted crash buffer file: %@.", path);
            }
            // Its token went with the log; left behind it could travel with
            // another log later.
            // (Absent already is as good as removed.)
            if (const char* tokenPath = slot.tokenPath.load())
                (void)unlink(tokenPath);
        }
    }
}

void BEACCrashesLogBuffer::crashCallback(siginfo_t*, ucontext_t*, void*) {
    gCrashed.store(true);
    for (Slot& slot : gSlots) {
        const SlotContent* content = slot.content.load();
        if (content != nullptr)
            writeFile(slot.bufferPath.load(), content->archive.data(), content->archive.size());
        else
            writeFile(slot.bufferPath.load(), "", 0);
        const char* tokenPath = slot.tokenPath.load();
        if (content != nullptr && !content->token.empty())
            writeFile(tokenPath, content->token.data(), content->token.size());
        else if (tokenPath != nullptr)
            (void)unlink(tokenPath);  // crash time: absent already is as good as removed
    }
}

void BEACCrashesLogBuffer::processAfterCrash(BEACChannelUnitProtocol& unit, BEACEncrypter& encrypter) {
    std::string folder;
    {
        BufferState& state = bufferState();
        plat::MutexLock lock(state.mutex);
        folder = state.folder;
    }
    std::optional<std::vector<std::string>> paths = BEACUtility::contentsOfDirectory(folder);
    if (!paths)
        return;
    for (const std::string& path : *paths) {
        if (plat::text::pathExtension(path) != kBEACCrashesBufferFileExtension)
            continue;
        const std::string tokenPath = tokenPathFor(path);
        const std::string component = folder + "/" + plat::text::lastPathComponent(path);
        std::optional<plat::Data> data = BEACUtility::loadDataForPathComponent(component);
        if (data && data->length() > 0) {
            std::optional<plat::Value> object = BEACUtility::unarchiveKeyedData(data);
            auto log = object
                           ? std::const_pointer_cast<BEACAbstractLog>(object->asObjectOf<BEACAbstractLog>())
                           : nullptr;
            if (!log) {
                BEACLogError(BEACBeacon::logTag(), "Deserialization failed for log: %@",
                             "The log deserialized to NULL.");
                continue;  // kept for the next start
            }
            std::optional<plat::Data> token = BEACUtility::loadDataForPathComponent(
                folder + "/" + plat::text::lastPathComponent(tokenPath));
            if (token) {
                if (std::optional<std::string> plain = encrypter.decryptString(token->toString()))
                    log->addTransmissionTargetToken(*plain);
                else
                    BEACLogError(BEACBeacon::logTag(), "Failed to decrypt the target token.");
                // A token left behind sits beside an emptied buffer: stale, and
                // deleted at the next start.
                (void)BEACUtility::deleteFileAtPath(tokenPath);
            }
            BEACLogDebug(kBEACCrashesLogTag, "Re-enqueueing buffered log, type: %@.", log->type);
            unit.enqueueItem(log, 1);
        } else if (access(tokenPath.c_str(), F_OK) == 0) {
            // A token without a log is stale: it must not travel with the
            // log a later crash writes into this slot (tried again at the next start).
            (void)BEACUtility::deleteFileAtPath(tokenPath);
        }
        if (!BEACUtility::createFileAtPathComponent(component, plat::Data(), false, true))
            BEACLogError(
                kBEACCrashesLogTag,
                "Couldn't empty crash buffer file \"%@\"; its log may be sent again at the next start.",
                component);
    }
}

void BEACCrashesLogBuffer::emptyFiles() {
    std::string folder;
    {
        BufferState& state = bufferState();
        plat::MutexLock lock(state.mutex);
        folder = state.folder;
    }
    std::optional<std::vector<std::string>> paths = BEACUtility::contentsOfDirectory(folder);
    if (!paths) {
        BEACLogError(kBEACCrashesLogTag, "Couldn't get files in the directory \"%@\"", folder);
        return;
    }
    for (const std::string& path : *paths) {
        if (plat::text::pathExtension(path) != kBEACCrashesBufferFileExtension)
            continue;
        const std::string component = folder + "/" + plat::text::lastPathComponent(path);
        std::optional<plat::Data> data = BEACUtility::loadDataForPathComponent(component);
        if (data && data->length() > 0 &&
            !BEACUtility::createFileAtPathComponent(component, plat::Data(), false, true))
            BEACLogError(kBEACCrashesLogTag, "Couldn't empty crash buffer file \"%@\".", component);
    }
}

void BEACCrashesLogBuffer::setClock(std::function<double()> injected) {
    BufferState& state = bufferState();
    plat::MutexLock lock(state.mutex);
    state.clock = std::move(injected);
}

std::optional<std::string> BEACCrashesLogBuffer::slotInternalId(size_t index) {
    BufferState& state = bufferState();
    plat::MutexLock lock(state.mutex);
    const SlotContent* content = index < kBEACCrashesBufferSlotCount ? gSlots[index].content.load() : nullptr;
    return content != nullptr ? std::optional<std::string>(content->internalId) : std::nullopt;
}

std::optional<std::string> BEACCrashesLogBuffer::slotToken(size_t index) {
    BufferState& state = bufferState();
    plat::MutexLock lock(state.mutex);
    const SlotContent* content = index < kBEACCrashesBufferSlotCount ? gSlots[index].content.load() : nullptr;
    return content != nullptr ? std::optional<std::string>(content->token) : std::nullopt;
}

size_t BEACCrashesLogBuffer::occupiedSlotCount() {
    BufferState& state = bufferState();
    plat::MutexLock lock(state.mutex);
    size_t count = 0;
    for (Slot& slot : gSlots)
        count += slot.content.load() != nullptr ? 1 : 0;
    return count;
}

void BEACCrashesLogBuffer::resetForTesting() {
    BufferState& state = bufferState();
    plat::MutexLock lock(state.mutex);
    gCrashed.store(false);
    for (Slot& slot : gSlots)
        replaceContent(slot, nullptr);
}
