// Random numbers and bytes from one process-wide source.
//
// The default source is the kernel's (getrandom(2), falling back to
// /dev/urandom), so its output is fit for keys, tokens and identifiers. Tests
// install a SeededRandomSource to make back-off jitter, boundaries and new
// UUIDs repeatable. Every function may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/foundation/Data.h"

namespace plat {

class RandomSource {
  public:
    virtual ~RandomSource() = default;
    // Fills `length` bytes at `out`. Called from any thread, possibly at once.
    virtual void fill(uint8_t* out, std::size_t length) = 0;
};

// The kernel's cryptographically secure generator.
class SystemRandomSource final : public RandomSource {
  public:
    void fill(uint8_t* out, std::size_t length) override;
};

// A repeatable generator (splitmix64) for tests: the same seed gives the same
// bytes. Not secure. Safe to share between threads.
class SeededRandomSource final : public RandomSource {
  public:
    explicit SeededRandomSource(uint64_t seed) : state_(seed) {}
    void fill(uint8_t* out, std::size_t length) override;

  private:
    std::atomic<uint64_t> state_;
};

namespace random {

// Installs the process-wide source and returns the one it replaces; null
// restores the system source.
std::shared_ptr<RandomSource> setSource(std::shared_ptr<RandomSource> source);
// The installed source (the system source when none was installed).
std::shared_ptr<RandomSource> source();

void fill(uint8_t* out, std::size_t length);
Data bytes(std::size_t length);
uint32_t uint32();
uint64_t uint64();
// A uniformly distributed integer in [0, upperBound), without modulo bias;
// 0 for an upper bound of 0 or 1.
uint32_t uniform(uint32_t upperBound);
uint64_t uniform64(uint64_t upperBound);

}  // namespace random
}  // namespace plat
