// Keeps the exception a wrapper SDK describes just before its process dies,
// across the crash, and matches it at the next launch to the crash report of
// that process.
//
// Files live in "crasheswrapperexceptions" under the SDK folder: the dying
// process saves "last_saved_wrapper_exception"; correlation moves it to a
// file named by the matching report's incident identifier (and remembers it
// in a process-wide cache), or drops it when no report matches.
//
// Names that are not a single plain path component ("", ".", "..", anything
// with "/") are refused: nothing is read, written or deleted for them.
//
// Threads: any thread; the cache is guarded by its own lock. The file steps
// of one operation are not atomic with respect to another operation on the
// same name.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/crashes/BEACCrashDetailRecords.h"
#include "beacon/crashes/BEACErrorReport.h"

inline constexpr const char* kBEACWrapperExceptionsDirectory = "crasheswrapperexceptions";
inline constexpr const char* kBEACLastSavedWrapperExceptionFileName = "last_saved_wrapper_exception";

class BEACWrapperExceptionManager {
  public:
    // Saves under "last_saved_wrapper_exception" (atomic, overwriting).
    static void saveWrapperException(const std::shared_ptr<BEACWrapperException>& exception);
    // The cached exception of that incident, else the one stored under its
    // name (which is not cached); nullptr when there is none.
    static std::shared_ptr<BEACWrapperException> loadWrapperExceptionWithUUIDString(
        const std::optional<std::string>& uuidString);
    // Deletes the file of that incident; the cache keeps its entry.
    static void deleteWrapperExceptionWithUUIDString(const std::optional<std::string>& uuidString);
    // Deletes the whole folder.
    static void deleteAllWrapperExceptions();
    // Loads and deletes the last saved exception; the first report whose
    // process id equals the exception's gets it (cached and saved under the
    // report's incident identifier). An exception without a process id
    // matches no report.
    static void correlateLastSavedWrapperExceptionToReport(
        const std::vector<std::shared_ptr<BEACErrorReport>>& reports);

    static void saveWrapperException(const std::shared_ptr<BEACWrapperException>& exception,
                                     const std::string& baseFilename);
    static void deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename);
    // Decodes the stored file; an undecodable one is logged and deleted.
    static std::shared_ptr<BEACWrapperException> loadWrapperExceptionWithBaseFilename(
        const std::string& baseFilename);

    // Forgets every cached exception (tests, and a reset of the service).
    static void clearCache();
};
