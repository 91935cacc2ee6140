// KCRCrashReportTextFormatter: renders a decoded crash report as the
// conventional plain-text crash log: a header block, the uncaught exception,
// every thread's backtrace, the crashed thread's registers and the list of
// binary images. Values a report lacks print as "???".
//
// Stateless apart from its two settings; safe to use from any thread. Frames
// outside every image and symbols of systems whose naming rules are unknown
// are noted on the crash reporter's log (KCRCrashReporterLog.h).
#pragma once

#include <cstdint>
#include <string>

#include "crashcapture/KCRCrashReportFormatter.h"

// The layouts the formatter knows; there is one.
enum KCRCrashReportTextFormat : int {
    KCRCrashReportTextFormatStandard = 0,
};

// Output encodings, numbered as the platform numbers string encodings.
// Characters the encoding cannot hold become "?".
enum KCRCrashReportTextEncoding : uint64_t {
    KCRCrashReportTextEncodingASCII = 1,
    KCRCrashReportTextEncodingUTF8 = 4,
};

class KCRCrashReportTextFormatter : public KCRCrashReportFormatter {
  public:
    KCRCrashReportTextFormatter(KCRCrashReportTextFormat textFormat,
                                KCRCrashReportTextEncoding stringEncoding)
        : textFormat_(textFormat), stringEncoding_(stringEncoding) {}

    KCRCrashReportTextFormat textFormat() const { return textFormat_; }
    KCRCrashReportTextEncoding stringEncoding() const { return stringEncoding_; }

    // The text of stringValueForCrashReport in the formatter's encoding; it
    // does not fail.
    plat::Result<plat::Data> formatReport(const KCRCrashReport& report) const override;

    // The whole text, one "\n" after every line.
    static std::string stringValueForCrashReport(const KCRCrashReport& report,
                                                 KCRCrashReportTextFormat textFormat);

    // One backtrace line, without its line ending: index, image name, the
    // instruction pointer (16 hexadecimal digits when lp64, else 8) and the
    // symbol, or the image's base address, with the offset into it.
    static std::string formatStackFrame(const KCRCrashReportStackFrameInfo& frame, int64_t frameIndex,
                                        const KCRCrashReport& report, bool lp64);

  private:
    KCRCrashReportTextFormat textFormat_;
    KCRCrashReportTextEncoding stringEncoding_;
};
