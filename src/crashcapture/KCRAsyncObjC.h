// Method look-up in the Objective-C 2 metadata of Mach-O images (64- and
// 32-bit layouts): classes of "__objc_classlist" with their metaclasses, and
// categories of "__objc_catlist", each method reported with its class name,
// selector and implementation address.
//
// Every read is checked against a section mapping or goes through the
// task's safe reads: malformed metadata gives 9 (unreadable layout), 8 (not
// found) or the mapping's code, never a fault. Async-signal-safe; the class
// table is one page allocation made on first use.
#pragma once

#include <cstdint>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRAsyncMachO.h"

namespace kcr::async {

struct async_objc_section {
    bool mapped = false;
    kcr_async_mobject mobj;
};

// The mappings of the image last parsed and a table of class read-only data
// found so far; lives for one report.
struct async_objc_cache {
    bool objc2 = false;
    const async_macho* last_image = nullptr;
    uint64_t last_header = 0;  // with the record: a record reused for another image is not taken for it
    async_objc_section objc_const, objc_const_ax, classlist, catlist, objc_data, data;
    uint64_t class_capacity = 0;
    uint64_t* class_keys = nullptr;
    uint64_t* class_values = nullptr;
};

[[nodiscard]] kcr_error_t async_objc_cache_init(async_objc_cache* cache);
void async_objc_cache_free(async_objc_cache* cache);

using async_objc_found_method_cb = void (*)(bool is_class_method, async_macho_string* class_name,
                                            async_macho_string* method_name, uint64_t implementation,
                                            void* context);

// Calls back once per method; 7 without a cache.
[[nodiscard]] kcr_error_t async_objc_parse(const async_macho* image, async_objc_cache* cache,
                                           async_objc_found_method_cb callback, void* context);
// Reports the method whose implementation is the highest at or below the
// address; 8 when there is none.
[[nodiscard]] kcr_error_t async_objc_find_method(const async_macho* image, async_objc_cache* cache,
                                                 uint64_t address, async_objc_found_method_cb callback,
                                                 void* context);

}  // namespace kcr::async
