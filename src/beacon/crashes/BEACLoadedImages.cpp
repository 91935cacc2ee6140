#include "beacon/crashes/BEACLoadedImages.h"

#include "platform/foundation/Mutex.h"
#include "platform/machine/ElfImage.h"
#include "platform/machine/Loader.h"
#include "platform/machine/Memory.h"

namespace {

// The provider in use; never destroyed, so that late callers at exit still
// find it.
struct Current {
    plat::Mutex mutex;
    std::shared_ptr<const BEACLoadedImages> images GUARDED_BY(mutex);
};

Current& currentProvider() {
    static auto* instance = new Current();
    return *instance;
}

std::string hexOf(const uint8_t* bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xf]);
    }
    return text;
}

}  // namespace

bool BEACLoadedImages::read(uint64_t address, void* destination, std::size_t length) const {
    return plat::machine::readMemory(plat::machine::Task::self(), address, destination, length) ==
           plat::machine::ReadResult::Ok;
}

std::shared_ptr<const BEACLoadedImages> BEACLoadedImages::current() {
    Current& c = currentProvider();
    plat::MutexLock lock(c.mutex);
    if (!c.images)
        c.images = std::make_shared<BEACProcessLoadedImages>();
    return c.images;
}

void BEACLoadedImages::setCurrent(std::shared_ptr<const BEACLoadedImages> images) {
    Current& c = currentProvider();
    plat::MutexLock lock(c.mutex);
    c.images = std::move(images);
}

std::vector<BEACLoadedImages::Image> BEACProcessLoadedImages::images() const {
    std::vector<Image> result;
    for (const auto& loaded : plat::machine::loadedImages()) {
        Image image;
        image.name = loaded.path;
        image.headerAddress = loaded.headerAddress;
        plat::machine::ElfImage elf;
        if (plat::machine::parseElfImage(plat::machine::Task::self(), loaded.headerAddress, &elf) ==
            plat::machine::ElfResult::Ok) {
            image.slide = elf.loadBias;
            // Crash capture names an ELF image by the first 16 bytes of its
            // build ID, a shorter ID padded with zeros.
            if (elf.buildIdLength > 0) {
                uint8_t id[16] = {};
                for (uint32_t i = 0; i < 16 && i < elf.buildIdLength; ++i)
                    id[i] = elf.buildId[i];
                image.uuid = hexOf(id, 16);
            }
        }
        result.push_back(std::move(image));
    }
    return result;
}

std::optional<BEACLoadedImages::Section> BEACProcessLoadedImages::section(const Image&, std::string_view,
                                                                          std::string_view) const {
    return std::nullopt;
}
