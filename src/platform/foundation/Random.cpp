#include "platform/foundation/Random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <utility>

#include "platform/foundation/Mutex.h"

namespace plat {

namespace {

bool readUrandom(uint8_t* out, std::size_t length) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, out + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    (void)::close(fd);  // read only: closing loses nothing
    return done == length;
}

uint64_t splitmix64(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

Mutex sourceMutex;
std::shared_ptr<RandomSource> installed GUARDED_BY(sourceMutex);
std::atomic<bool> isInstalled{false};

SystemRandomSource& systemSource() {
    static SystemRandomSource system;
    return system;
}

}  // namespace

// getrandom, then /dev/urandom (for kernels or sandboxes without the system
// call), then the library's random device.
void SystemRandomSource::fill(uint8_t* out, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::getrandom(out + done, length - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    if (done == length || readUrandom(out + done, length - done))
        return;
    std::random_device device;
    for (std::size_t i = done; i < length; ++i)
        out[i] = static_cast<uint8_t>(device());
}

void SeededRandomSource::fill(uint8_t* out, std::size_t length) {
    for (std::size_t i = 0; i < length; i += 8) {
        const uint64_t word = splitmix64(state_.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed) +
                                         0x9E3779B97F4A7C15ull);
        for (std::size_t j = 0; j < 8 && i + j < length; ++j)
            out[i + j] = static_cast<uint8_t>(word >> (8 * j));
    }
}

namespace random {

std::shared_ptr<RandomSource> setSource(std::shared_ptr<RandomSource> source) {
    MutexLock lock(sourceMutex);
    isInstalled.store(source != nullptr, std::memory_order_release);
    return std::exchange(installed, std::move(source));
}

std::shared_ptr<RandomSource> source() {
    if (isInstalled.load(std::memory_order_acquire)) {
        MutexLock lock(sourceMutex);
        if (installed)
            return installed;
    }
    return std::shared_ptr<RandomSource>(std::shared_ptr<RandomSource>(), &systemSource());
}

void fill(uint8_t* out, std::size_t length) {
    if (length == 0)
        return;
    if (!isInstalled.load(std::memory_order_acquire)) {
        systemSource().fill(out, length);
        return;
    }
    source()->fill(out, length);
}

Data bytes(std::size_t length) {
    std::vector<uint8_t> out(length);
    fill(out.data(), length);
    return Data(std::move(out));
}

uint32_t uint32() {
    uint8_t b[4];
    fill(b, sizeof b);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

uint64_t uint64() {
    return uint64_t(uint32()) | uint64_t(uint32()) << 32;
}

// Rejection sampling: draws below 2^n mod upperBound are redrawn, so every
// residue is equally likely.
uint32_t uniform(uint32_t upperBound) {
    if (upperBound < 2)
        return 0;
    const uint32_t threshold = static_cast<uint32_t>(-upperBound) % upperBound;
    for (;;) {
        const uint32_t r = uint32();
        if (r >= threshold)
            return r % upperBound;
    }
}

uint64_t uniform64(uint64_t upperBound) {
    if (upperBound < 2)
        return 0;
    const uint64_t threshold = static_cast<uint64_t>(-upperBound) % upperBound;
    for (;;) {
        const uint64_t r = uint64();
        if (r >= threshold)
            return r % upperBound;
    }
}

}  // namespace random
}  // namespace plat
