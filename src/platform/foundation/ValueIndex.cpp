#include "platform/foundation/Value.h"

namespace plat::detail {

void PositionIndex::erase(std::size_t hash, std::size_t position, std::size_t count) {
    const uint32_t tag = static_cast<uint32_t>(hash);
    const uint32_t stored = static_cast<uint32_t>(position + 1);
    if (Slot* slot = table_.findIf(tag, [&](const Slot& s) { return s.position == stored; }))
        table_.erase(slot);
    if (position + 1 == count)
        return;
    table_.forEachMutable([&](Slot& s) {
        if (s.position > stored)
            --s.position;
    });
}

}  // namespace plat::detail
