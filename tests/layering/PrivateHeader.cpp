// A header its library keeps private without a detail/ folder.
#include "crashcapture/KCRCrashReportDecoding.h"
