// BodyStream: where a streamed upload reads its body from.
//
// read() is called on the session's network thread and must not block for
// long; it returns the number of bytes copied, 0 at the end, or a negative
// value on failure (the task then fails with request body stream exhausted).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/foundation/Data.h"

namespace plat::urlloading {

class BodyStream {
  public:
    virtual ~BodyStream() = default;
    virtual std::ptrdiff_t read(uint8_t* buffer, std::size_t maxLength) = 0;

    // A stream over bytes held in memory.
    static std::shared_ptr<BodyStream> withData(Data data);
};

}  // namespace plat::urlloading
