// The crash-time log buffer: a copy of every log that has been prepared for
// enqueueing but not yet stored, in a fixed table of 60 slots, so that a crash
// in between does not lose it. The crash callback writes each slot to its
// file ("<i>.bccrasheslogbuffer", and the log's encrypted target token to
// "<i>.targettoken"); at the next start the logs found there are enqueued
// again and the files emptied.
//
// A slot is filled on the enqueuing thread (the first free slot, else the one
// filled longest ago, the lowest index on ties) and freed when its log's
// enqueue completes. Crash error logs ("appleError") and attachments
// ("errorAttachment") are never buffered: they are sent from the crash report
// anyway.
//
// The table lives in static storage and is never freed, so the crash callback
// can run until the very end of the process. It only calls open, write,
// close and unlink; it may meet a slot in the middle of an update (a lock
// cannot be taken in a crash handler): it then writes the old or the new
// content of the slot. Content replaced after the callback began is never
// freed, since other threads may go on running while it writes.
//
// Threads: every member except the crash callback takes the buffer's lock.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "beacon/core/BEACChannelProtocols.h"
#include "beacon/core/BEACEncrypter.h"

inline constexpr size_t kBEACCrashesBufferSlotCount = 60;
inline constexpr const char* kBEACCrashesBufferFileExtension = "bccrasheslogbuffer";
inline constexpr const char* kBEACCrashesTargetTokenFileExtension = "targettoken";

class BEACCrashesLogBuffer {
  public:
    // Gives the slots their files in `folderComponent` (relative to the SDK
    // folder) and creates the files that are missing, empty. A file left by
    // a crash keeps its content until processAfterCrash has read it. Slots
    // filled before keep their logs.
    static void setUp(const std::string& folderComponent);

    // Copies a valid log that is being enqueued into a slot. Only memory
    // changes; `encrypter` encrypts its first target token.
    static void didPrepareLog(const BEACLogPtr& log, const std::string& internalId, BEACEncrypter& encrypter);
    // Frees every slot holding the log of that internal id; after a crash
    // callback also removes the slot's buffer and token files.
    static void didCompleteEnqueueingLog(const BEACLogPtr& log, const std::string& internalId);

    // The crash callback (async-signal-safe). Every slot's buffer file is
    // rewritten (a free slot leaves it empty); a slot's token file is written
    // when its log had a token, and removed otherwise, so that an older
    // token never travels with another log.
    static void crashCallback(siginfo_t* info, ucontext_t* uap, void* context);

    // Enqueues the logs that the last crash wrote on `unit` (flags 1), with
    // their decrypted target tokens, and empties their files. An archive
    // that cannot be decoded is logged and kept for the next start; a token
    // that cannot be decrypted is logged and dropped.
    static void processAfterCrash(BEACChannelUnitProtocol& unit, BEACEncrypter& encrypter);

    // Empties every non-empty buffer file; the slots in memory stay.
    static void emptyFiles();

    // Tests: the clock slots are stamped with (seconds since 1970), what a
    // slot holds, and a fresh table (every slot free, no crash seen).
    static void setClock(std::function<double()> clock);
    static std::optional<std::string> slotInternalId(size_t index);
    static std::optional<std::string> slotToken(size_t index);
    static size_t occupiedSlotCount();
    static void resetForTesting();
};
