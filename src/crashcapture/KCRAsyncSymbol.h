// Symbolication of one address inside an image, for the crash log writer.
// Strategy bit 1 asks the image's symbol table (the ELF dynamic symbols or the
// Mach-O symbol table); bit 2 asks the Objective-C method metadata of Mach-O
// images ("+[Class selector]", "-[Class selector]"). The nearer of the two
// answers is reported; at equal addresses the method wins.
//
// Async-signal-safe: the name lives in a 256-byte buffer on the stack, valid
// only during the callback.
#pragma once

#include <cstdint>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRAsyncImage.h"

namespace kcr::async {

inline constexpr uint32_t KCR_SYMBOL_STRATEGY_SYMBOL_TABLE = 1;
inline constexpr uint32_t KCR_SYMBOL_STRATEGY_OBJC = 2;

// The per-report cache of method metadata mappings; may be null.
struct async_objc_cache;

using async_find_symbol_found_cb = void (*)(uint64_t address, const char* name, void* context);

// Reports (start address, name of at most 255 characters, context) of the
// nearest symbol at or below `address`: 0 when reported, 8 when no lookup
// asked for answered.
[[nodiscard]] kcr_error_t async_find_symbol(const async_image* image, uint32_t strategy,
                                            async_objc_cache* cache, uint64_t address,
                                            async_find_symbol_found_cb callback, void* context);

}  // namespace kcr::async
