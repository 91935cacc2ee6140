// Coordinated file access with a time-out: the framework's way to read and
// write files that other parts of the process (and the cloud folder's own
// machinery) may be changing at the same moment.
//
// Coordination is per canonical path (symbolic links and "." / ".." resolved,
// so two spellings of one file coordinate with each other): any number of
// readers at once, or one writer. A call waits until it may run, at most
// timeoutSeconds; when the time-out expires first, the call returns
// "SYNErrorDomain" 106 without user info and the accessor never runs.
// Otherwise the accessor runs exactly once, on the calling thread, which
// blocks throughout, and the call returns null. A negative, zero or NaN
// time-out tries once without waiting; an infinite one waits as long as it
// takes.
//
// Coordination covers this process only, and is not re-entrant: an accessor
// that coordinates again on a path its own call holds for writing (or writes
// one it holds for reading) waits for its own time-out. URLs that are not
// file URLs fail with the platform's unsupported-scheme file errors, and the
// accessor does not run. The options are the platform's reading and writing
// options; the stand-in treats all reads alike and all writes alike.
//
// Any thread.
#pragma once

#include <functional>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

enum SYNFileCoordinatorReadingOptions : unsigned {
    SYNFileCoordinatorReadingWithoutChanges = 1u << 0,
    SYNFileCoordinatorReadingResolvesSymbolicLink = 1u << 1,
    SYNFileCoordinatorReadingForUploading = 1u << 3,
};

enum SYNFileCoordinatorWritingOptions : unsigned {
    SYNFileCoordinatorWritingForDeleting = 1u << 0,
    SYNFileCoordinatorWritingForMoving = 1u << 1,
    SYNFileCoordinatorWritingForMerging = 1u << 2,
    SYNFileCoordinatorWritingForReplacing = 1u << 3,
};

using SYNFileAccessor = std::function<void(const plat::URL& url)>;
using SYNFileReadWriteAccessor = std::function<void(const plat::URL& readURL, const plat::URL& writeURL)>;

[[nodiscard]] plat::ErrorPtr syn_coordinateReadingItemAtURL(const plat::URL& url, unsigned options,
                                                            double timeoutSeconds,
                                                            const SYNFileAccessor& accessor);

[[nodiscard]] plat::ErrorPtr syn_coordinateWritingItemAtURL(const plat::URL& url, unsigned options,
                                                            double timeoutSeconds,
                                                            const SYNFileAccessor& accessor);

// Holds readURL for reading and writeURL for writing (one write when they are
// the same file), taken in path order so that two such calls never deadlock.
[[nodiscard]] plat::ErrorPtr syn_coordinateReadingItemAtURL(const plat::URL& readURL, unsigned readOptions,
                                                            const plat::URL& writeURL, unsigned writeOptions,
                                                            double timeoutSeconds,
                                                            const SYNFileReadWriteAccessor& accessor);
