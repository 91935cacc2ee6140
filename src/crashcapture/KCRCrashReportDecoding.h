// Internal: the two halves of KCRCrashReport::create, apart so that tests can
// feed the tree builder messages that no well-formed file could carry. Not
// for use outside crash capture and its tests; it exposes protobuf-c types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "crashcapture/KCRCrashReport.h"
#include "crashcapture/crash_report.pb-c.h"

namespace kcr::detail {

// The sizes of the blocks an unpacked message was built from. protobuf-c
// keeps a text field as a NUL-terminated copy of its bytes (allocated one
// byte longer), so the sizes give the length of texts that hold a NUL.
class UnpackAllocations;

struct UnpackedReportDeleter {
    std::shared_ptr<UnpackAllocations> allocations;
    void operator()(Kcr__CrashReport* message) const;
};
using UnpackedReport = std::unique_ptr<Kcr__CrashReport, UnpackedReportDeleter>;

// Checks the file header and unpacks the message that follows it.
plat::Result<UnpackedReport> decodeCrashData(const uint8_t* bytes, std::size_t length);

// Builds the report tree from an unpacked message, checking what the schema
// alone does not enforce. Without the allocations of decodeCrashData, texts
// end at their first NUL.
plat::Result<KCRCrashReportPtr> buildReport(const Kcr__CrashReport& message,
                                            const UnpackAllocations* allocations = nullptr);

}  // namespace kcr::detail
