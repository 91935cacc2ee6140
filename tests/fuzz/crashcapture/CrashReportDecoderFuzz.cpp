// Feeds arbitrary bytes to the crash report decoder and formats whatever
// decodes: neither may crash, leak or read out of bounds on any input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crashcapture/KCRCrashReport.h"
#include "crashcapture/KCRCrashReportTextFormatter.h"
#include "platform/foundation/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The formatter logs frames outside every image; keep the output quiet.
    static const bool quiet = (plat::setLogSink([](std::string_view) {}), true);
    (void)quiet;
    auto report = KCRCrashReport::create(data, size);
    if (report.ok()) {
        auto text = KCRCrashReportTextFormatter::stringValueForCrashReport(*report.value(),
                                                                           KCRCrashReportTextFormatStandard);
        (void)text;
    }
    return 0;
}
