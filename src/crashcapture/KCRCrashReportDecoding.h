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

struct UnpackedReportDeleter {
    void operator()(Kcr__CrashReport* message) const;
};
using UnpackedReport = std::unique_ptr<Kcr__CrashReport, UnpackedReportDeleter>;

// Checks the file header and unpacks the message that follows it.
plat::Result<UnpackedReport> decodeCrashData(const uint8_t* bytes, std::size_t length);

// Builds the report tree from an unpacked message, checking what the schema
// alone does not enforce.
plat::Result<KCRCrashReportPtr> buildReport(const Kcr__CrashReport& message);

}  // namespace kcr::detail
