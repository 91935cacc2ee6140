// Places fuzz input where image readers expect a loaded image: at the start of
// a page-aligned region, inside a wide reservation of inaccessible pages, so
// that addresses an input derives from its own position mostly land on pages
// that cannot be read (as they would around a real image).
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kcr::fuzz {

class ImageBuffer {
  public:
    static constexpr size_t kGuard = size_t{64} << 20;
    static constexpr size_t kMaxImage = size_t{1} << 20;

    ImageBuffer() {
        void* region = mmap(nullptr, 2 * kGuard + kMaxImage, PROT_NONE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        base_ = region == MAP_FAILED ? nullptr : static_cast<uint8_t*>(region) + kGuard;
    }

    // Copies the input into readable pages (cut to kMaxImage); the rest of the
    // region stays inaccessible. Returns the image address, or 0.
    uint64_t load(const uint8_t* data, size_t size) {
        if (base_ == nullptr)
            return 0;
        if (size > kMaxImage)
            size = kMaxImage;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        if (mapped_ != 0)
            mprotect(base_, mapped_, PROT_NONE);
        mapped_ = (size + page - 1) / page * page;
        if (mapped_ == 0)
            return 0;
        mprotect(base_, mapped_, PROT_READ | PROT_WRITE);
        std::memset(base_, 0, mapped_);
        std::memcpy(base_, data, size);
        return reinterpret_cast<uint64_t>(base_);
    }

  private:
    uint8_t* base_ = nullptr;
    size_t mapped_ = 0;
};

}  // namespace kcr::fuzz
