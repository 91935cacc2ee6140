// Captures what plat::Log writes while the object lives: each message is kept
// (without the line prefix standard error would get), and standard error is
// the output again once the object is destroyed. Messages may arrive from any
// thread. One at a time: the log has a single sink.
#pragma once

#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"

namespace testsupport {

class CapturedLog {
  public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    // The messages so far, oldest first.
    std::vector<std::string> lines() const;

  private:
    mutable plat::Mutex mutex_;
    std::vector<std::string> lines_ GUARDED_BY(mutex_);
};

}  // namespace testsupport
