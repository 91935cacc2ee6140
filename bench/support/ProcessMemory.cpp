#include "support/ProcessMemory.h"

#include <malloc.h>

#include <fstream>
#include <string>

namespace benchsupport {

double statusMegabytes(const char* key) {
    std::ifstream status("/proc/self/status");
    const std::string prefix(key);
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::stod(line.substr(prefix.size())) / 1024.0;
    }
    return 0;
}

void resetPeakMemory() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace benchsupport
