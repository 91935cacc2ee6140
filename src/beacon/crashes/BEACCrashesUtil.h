// The crash service's folders under the SDK folder: each is created the
// first time its name is asked for in a process (again after resetDirectory).
#pragma once

#include <string>

class BEACCrashesUtil {
  public:
    static std::string crashesDir();            // "crashes"
    static std::string logBufferDir();          // "crasheslogbuffer"
    static std::string wrapperExceptionsDir();  // "crasheswrapperexceptions"
    static void resetDirectory();
};
