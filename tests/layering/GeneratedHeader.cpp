// The protobuf-c code generated for crash capture is its own business.
#include "crashcapture/crash_report.pb-c.h"
