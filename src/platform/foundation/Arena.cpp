#include "platform/foundation/Arena.h"

#include <cstdlib>

namespace plat::detail {

std::atomic<std::size_t> Arena::live_{0};

Arena::Chunk* Arena::newChunk(std::size_t size, std::size_t references) {
    void* memory = std::aligned_alloc(kChunkSize, size);
    if (memory == nullptr)
        throw std::bad_alloc();
    live_.fetch_add(1, std::memory_order_relaxed);
    return new (memory) Chunk{{references}};
}

void Arena::freeChunk(Chunk* chunk) noexcept {
    chunk->~Chunk();
    std::free(chunk);
    live_.fetch_sub(1, std::memory_order_relaxed);
}

void* Arena::allocateSlowly(std::size_t bytes, std::size_t alignment) {
    if (bytes > kLargeAllocation) {
        // A chunk of its own, sized in whole chunks so that it stays aligned.
        if (bytes > SIZE_MAX - kHeader - kChunkSize)
            throw std::bad_alloc();
        const std::size_t size = (kHeader + bytes + kChunkSize - 1) & ~(kChunkSize - 1);
        return reinterpret_cast<char*>(newChunk(size, 1)) + kHeader;
    }
    Chunk* chunk = newChunk(kChunkSize, kOpen);
    close();
    open_ = chunk;
    cursor_ = reinterpret_cast<char*>(chunk) + kHeader;
    end_ = reinterpret_cast<char*>(chunk) + kChunkSize;
    allocations_ = 0;
    return allocate(bytes, alignment);
}

void Arena::close() noexcept {
    if (open_ == nullptr)
        return;
    const std::size_t unused = kOpen - allocations_;
    if (open_->references.fetch_sub(unused, std::memory_order_acq_rel) == unused)
        freeChunk(open_);
    open_ = nullptr;
    cursor_ = end_ = nullptr;
    allocations_ = 0;
}

}  // namespace plat::detail
