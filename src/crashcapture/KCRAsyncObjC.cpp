#include "crashcapture/KCRAsyncObjC.h"

#include <initializer_list>

#include "platform/machine/Memory.h"

namespace kcr::async {

namespace {

constexpr uint32_t kRealized = 1u << 31;
constexpr uint32_t kCopiedRo = 1u << 27;
constexpr uint64_t kClassTableCapacity = 1024;

struct layout {
    uint64_t word;        // pointer size
    uint64_t class_size;  // five words
    uint64_t data_mask;
    uint64_t rw_ro;  // offset of the ro pointer in the rw head
    uint64_t ro_size;
    uint64_t ro_name;
    uint64_t ro_methods;
    uint64_t method_imp;
    uint64_t category_size;
    uint64_t isa_mask;
};

constexpr layout kLayout64{8, 40, 0x7FFFFFFFFFF8ull, 8, 72, 24, 32, 16, 48, 0xFFFFFFFF8ull};
constexpr layout kLayout32{4, 20, ~uint64_t{7} & 0xFFFFFFFF, 8, 40, 16, 20, 8, 24, ~uint64_t{7} & 0xFFFFFFFF};

const layout& layout_of(const async_macho* image) {
    return image->m64 ? kLayout64 : kLayout32;
}

bool in(const async_objc_section& section, uint64_t address, uint64_t length) {
    return section.mapped && async_mobject_remap_address(&section.mobj, address, 0, length) != nullptr;
}

kcr_error_t read_word(const async_macho* image, uint64_t address, uint64_t* value) {
    if (image->m64)
        return async_task_read_uint64(image->task, image->byteorder, address, 0, value) == KCR_ESUCCESS
                   ? KCR_ESUCCESS
                   : KCR_EINVALID_DATA;
    uint32_t word = 0;
    if (async_task_read_uint32(image->task, image->byteorder, address, 0, &word) != KCR_ESUCCESS)
        return KCR_EINVALID_DATA;
    *value = word;
    return KCR_ESUCCESS;
}

kcr_error_t read32(const async_macho* image, uint64_t address, uint32_t* value) {
    return async_task_read_uint32(image->task, image->byteorder, address, 0, value) == KCR_ESUCCESS
               ? KCR_ESUCCESS
               : KCR_EINVALID_DATA;
}

void unmap(async_objc_section* section) {
    if (section->mapped)
        async_mobject_free(&section->mobj);
    section->mapped = false;
}

void unmap_all(async_objc_cache* cache) {
    for (async_objc_section* section : {&cache->objc_const, &cache->objc_const_ax, &cache->classlist,
                                        &cache->catlist, &cache->objc_data, &cache->data})
        unmap(section);
    cache->last_image = nullptr;
    cache->last_header = 0;
}

kcr_error_t map_from_data_segments(const async_macho* image, const char* name, async_objc_section* section) {
    kcr_error_t error = KCR_ENOTFOUND;
    for (const char* segment : {"__DATA", "__DATA_CONST", "__DATA_DIRTY"}) {
        error = async_macho_map_section(image, segment, name, &section->mobj);
        if (error != KCR_ENOTFOUND)
            break;
    }
    section->mapped = error == KCR_ESUCCESS;
    return error;
}

kcr_error_t map_sections(const async_macho* image, async_objc_cache* cache) {
    if (cache->last_image == image && cache->last_header == image->header_addr)
        return KCR_ESUCCESS;
    unmap_all(cache);
    if (kcr_error_t error = map_from_data_segments(image, "__objc_const", &cache->objc_const))
        return error;
    cache->objc_const_ax.mapped = async_macho_map_section(image, "__DATA", "__objc_const_ax",
                                                          &cache->objc_const_ax.mobj) == KCR_ESUCCESS;
    if (kcr_error_t error = map_from_data_segments(image, "__objc_classlist", &cache->classlist))
        return error;
    if (kcr_error_t error = map_from_data_segments(image, "__objc_catlist", &cache->catlist))
        return error;
    if (kcr_error_t error = async_macho_map_section(image, "__DATA", "__objc_data", &cache->objc_data.mobj))
        return error;
    cache->objc_data.mapped = true;
    cache->data.mapped =
        async_macho_map_section(image, "__DATA", "__data", &cache->data.mobj) == KCR_ESUCCESS;
    cache->last_image = image;
    cache->last_header = image->header_addr;
    return KCR_ESUCCESS;
}

void remember_class(async_objc_cache* cache, uint64_t key, uint64_t ro) {
    if (cache->class_capacity == 0 && cache->class_keys == nullptr) {
        void* table = plat::machine::allocatePages(kClassTableCapacity * 16);
        if (table == nullptr)
            return;
        cache->class_capacity = kClassTableCapacity;
        cache->class_keys = static_cast<uint64_t*>(table);
        cache->class_values = cache->class_keys + kClassTableCapacity;
    }
    if (cache->class_capacity == 0)
        return;
    const uint64_t slot = (key >> 2) % cache->class_capacity;
    if (cache->class_keys[slot] == 0) {  // a colliding class is simply not kept
        cache->class_keys[slot] = key;
        cache->class_values[slot] = ro;
    }
}

// The class_ro address of a class: 8 when the class is not realised, 9 when
// its data cannot be read.
kcr_error_t class_ro(const async_macho* image, async_objc_cache* cache, uint64_t class_address,
                     uint64_t* ro) {
    const layout& l = layout_of(image);
    uint64_t data = 0;
    if (read_word(image, class_address + 4 * l.word, &data))
        return KCR_EINVALID_DATA;
    data &= l.data_mask;
    if (cache->class_capacity != 0) {
        const uint64_t slot = (data >> 2) % cache->class_capacity;
        if (cache->class_keys[slot] == data && cache->class_values[slot] != 0) {
            *ro = cache->class_values[slot];
            return KCR_ESUCCESS;
        }
    }
    uint32_t flags = 0;
    if (read32(image, data, &flags))
        return KCR_EINVALID_DATA;
    if ((flags & kRealized) == 0)
        return KCR_ENOTFOUND;
    uint64_t pointer = 0;
    if (read_word(image, data + l.rw_ro, &pointer))
        return KCR_EINVALID_DATA;
    if ((pointer & 1) != 0 && read_word(image, pointer & ~uint64_t{1}, &pointer))
        return KCR_EINVALID_DATA;
    if ((flags & kCopiedRo) == 0 && async_macho_contains_address(image, pointer) &&
        !in(cache->objc_const, pointer, l.ro_size))
        return KCR_EINVALID_DATA;
    uint64_t probe = 0;
    if (read_word(image, pointer + l.ro_size - l.word, &probe))
        return KCR_EINVALID_DATA;
    remember_class(cache, data, pointer);
    *ro = pointer;
    return KCR_ESUCCESS;
}

kcr_error_t walk_methods(const async_macho* image, async_objc_cache* cache, uint64_t list,
                         bool is_class_method, async_macho_string* class_name,
                         async_objc_found_method_cb callback, void* context) {
    const layout& l = layout_of(image);
    const async_objc_section* section = in(cache->objc_const, list, 8)      ? &cache->objc_const
                                        : in(cache->objc_const_ax, list, 8) ? &cache->objc_const_ax
                                                                            : nullptr;
    if (section == nullptr)
        return KCR_EINVALID_DATA;
    uint32_t entry_size = 0, count = 0;
    if (read32(image, list, &entry_size) || read32(image, list + 4, &count))
        return KCR_EINVALID_DATA;
    entry_size &= ~uint32_t{3};
    if (entry_size < l.method_imp + l.word ||
        !in(*section, list + 8, static_cast<uint64_t>(count) * entry_size))
        return KCR_EINVALID_DATA;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = list + 8 + static_cast<uint64_t>(i) * entry_size;
        uint64_t name = 0, implementation = 0;
        if (read_word(image, entry, &name) || read_word(image, entry + l.method_imp, &implementation))
            return KCR_EINVALID_DATA;
        async_macho_string method_name;
        if (async_macho_string_init(&method_name, image, name) != KCR_ESUCCESS)
            return KCR_EINVALID_DATA;
        callback(is_class_method, class_name, &method_name, implementation, context);
        async_macho_string_free(&method_name);
    }
    return KCR_ESUCCESS;
}

// The methods of one class_ro (its base list), under the class's name.
kcr_error_t walk_class(const async_macho* image, async_objc_cache* cache, uint64_t ro, bool is_class_method,
                       async_objc_found_method_cb callback, void* context) {
    const layout& l = layout_of(image);
    uint64_t name = 0, methods = 0;
    if (read_word(image, ro + l.ro_name, &name) || read_word(image, ro + l.ro_methods, &methods))
        return KCR_EINVALID_DATA;
    if (methods == 0)
        return KCR_ESUCCESS;
    async_macho_string class_name;
    if (async_macho_string_init(&class_name, image, name) != KCR_ESUCCESS)
        return KCR_EINVALID_DATA;
    const kcr_error_t error =
        walk_methods(image, cache, methods, is_class_method, &class_name, callback, context);
    async_macho_string_free(&class_name);
    return error;
}

kcr_error_t parse_objc2(const async_macho* image, async_objc_cache* cache,
                        async_objc_found_method_cb callback, void* context) {
    if (kcr_error_t error = map_sections(image, cache))
        return error;
    const layout& l = layout_of(image);
    const uint64_t class_list = async_mobject_base_address(&cache->classlist.mobj);
    const uint64_t classes = async_mobject_length(&cache->classlist.mobj) / l.word;
    for (uint64_t i = 0; i < classes; ++i) {
        uint64_t cls = 0;
        if (read_word(image, class_list + i * l.word, &cls))
            return KCR_EINVALID_DATA;
        if (!in(cache->objc_data, cls, l.class_size) && !in(cache->data, cls, l.class_size))
            return KCR_EINVALID_DATA;
        uint64_t ro = 0;
        kcr_error_t error = class_ro(image, cache, cls, &ro);
        if (error == KCR_ENOTFOUND)
            continue;  // not realised: the others are still reported
        if (error != KCR_ESUCCESS)
            return error;
        if ((error = walk_class(image, cache, ro, false, callback, context)))
            return error;
        uint64_t isa = 0;
        if (read_word(image, cls, &isa))
            return KCR_EINVALID_DATA;
        if ((isa & 1) != 0)
            isa &= l.isa_mask;
        if (!in(cache->objc_data, isa, l.class_size) && !in(cache->data, isa, l.class_size))
            return KCR_EINVALID_DATA;
        if ((error = class_ro(image, cache, isa, &ro)))
            return error;
        if ((error = walk_class(image, cache, ro, true, callback, context)))
            return error;
    }
    const uint64_t category_list = async_mobject_base_address(&cache->catlist.mobj);
    const uint64_t categories = async_mobject_length(&cache->catlist.mobj) / l.word;
    for (uint64_t i = 0; i < categories; ++i) {
        uint64_t category = 0, cls = 0, instance_methods = 0, class_methods = 0;
        if (read_word(image, category_list + i * l.word, &category))
            return KCR_EINVALID_DATA;
        if (!in(cache->objc_const, category, l.category_size))
            return KCR_EINVALID_DATA;
        if (read_word(image, category + l.word, &cls) ||
            read_word(image, category + 2 * l.word, &instance_methods) ||
            read_word(image, category + 3 * l.word, &class_methods))
            return KCR_EINVALID_DATA;
        uint64_t ro = 0;
        kcr_error_t error = class_ro(image, cache, cls, &ro);
        if (error == KCR_ENOTFOUND)
            continue;
        if (error != KCR_ESUCCESS)
            return error;
        uint64_t name = 0;
        if (read_word(image, ro + l.ro_name, &name))
            return KCR_EINVALID_DATA;
        async_macho_string class_name;
        if (async_macho_string_init(&class_name, image, name) != KCR_ESUCCESS)
            return KCR_EINVALID_DATA;
        if (instance_methods != 0)
            error = walk_methods(image, cache, instance_methods, false, &class_name, callback, context);
        if (error == KCR_ESUCCESS && class_methods != 0)
            error = walk_methods(image, cache, class_methods, true, &class_name, callback, context);
        async_macho_string_free(&class_name);
        if (error != KCR_ESUCCESS)
            return error;
    }
    cache->objc2 = true;
    return KCR_ESUCCESS;
}

struct best_search {
    uint64_t address;
    uint64_t best = 0;
    bool reported = false;
    async_objc_found_method_cb callback = nullptr;
    void* context = nullptr;
};

void find_best(bool, async_macho_string*, async_macho_string*, uint64_t implementation, void* context) {
    auto* search = static_cast<best_search*>(context);
    if (implementation <= search->address && implementation >= search->best)
        search->best = implementation;
}

void report_best(bool is_class_method, async_macho_string* class_name, async_macho_string* method_name,
                 uint64_t implementation, void* context) {
    auto* search = static_cast<best_search*>(context);
    if (search->reported || implementation != search->best)
        return;
    search->reported = true;
    search->callback(is_class_method, class_name, method_name, implementation, search->context);
}

}  // namespace

kcr_error_t async_objc_cache_init(async_objc_cache* cache) {
    cache->objc2 = false;
    cache->last_image = nullptr;
    cache->last_header = 0;
    for (async_objc_section* section : {&cache->objc_const, &cache->objc_const_ax, &cache->classlist,
                                        &cache->catlist, &cache->objc_data, &cache->data})
        section->mapped = false;
    cache->class_capacity = 0;
    cache->class_keys = nullptr;
    cache->class_values = nullptr;
    return KCR_ESUCCESS;
}

void async_objc_cache_free(async_objc_cache* cache) {
    unmap_all(cache);
    if (cache->class_keys != nullptr)
        plat::machine::freePages(cache->class_keys, kClassTableCapacity * 16);
    cache->class_keys = cache->class_values = nullptr;
    cache->class_capacity = 0;
}

kcr_error_t async_objc_parse(const async_macho* image, async_objc_cache* cache,
                             async_objc_found_method_cb callback, void* context) {
    if (cache == nullptr)
        return KCR_EACCESS;
    const kcr_error_t error = parse_objc2(image, cache, callback, context);
    if (error != KCR_ESUCCESS)
        unmap_all(cache);
    return error;
}

kcr_error_t async_objc_find_method(const async_macho* image, async_objc_cache* cache, uint64_t address,
                                   async_objc_found_method_cb callback, void* context) {
    best_search search{address};
    search.callback = callback;
    search.context = context;
    if (kcr_error_t error = async_objc_parse(image, cache, find_best, &search))
        return error;
    if (search.best == 0)
        return KCR_ENOTFOUND;
    return async_objc_parse(image, cache, report_best, &search);
}

}  // namespace kcr::async
