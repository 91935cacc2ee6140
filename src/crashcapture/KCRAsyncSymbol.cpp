#include "crashcapture/KCRAsyncSymbol.h"

#include "crashcapture/KCRAsyncObjC.h"

namespace kcr::async {

namespace {

struct Recorder {
    char name[256];
    bool found = false;
    uint64_t address = 0;
};

// Keeps the symbol whose start is closest to (not above) the looked-up address.
void record_symbol(uint64_t address, const char* name, void* context) {
    auto* recorder = static_cast<Recorder*>(context);
    if (recorder->found && recorder->address > address)
        return;
    recorder->found = true;
    recorder->address = address;
    size_t i = 0;
    for (; i < sizeof recorder->name - 1 && name[i] != '\0'; ++i)
        recorder->name[i] = name[i];
    recorder->name[i] = '\0';
}

// Formats "+[Class selector]" or "-[Class selector]", cut to 255 characters;
// records nothing when either name cannot be read.
void record_method(bool is_class_method, async_macho_string* class_name, async_macho_string* method_name,
                   uint64_t implementation, void* context) {
    auto* recorder = static_cast<Recorder*>(context);
    if (recorder->found && recorder->address > implementation)
        return;
    const char* cls = nullptr;
    const char* selector = nullptr;
    if (async_macho_string_get_pointer(class_name, &cls) != KCR_ESUCCESS ||
        async_macho_string_get_pointer(method_name, &selector) != KCR_ESUCCESS)
        return;
    size_t at = 0;
    auto append = [&](const char* text) {
        for (; *text != '\0' && at < sizeof recorder->name - 1; ++text)
            recorder->name[at++] = *text;
    };
    append(is_class_method ? "+[" : "-[");
    append(cls);
    append(" ");
    append(selector);
    append("]");
    recorder->name[at] = '\0';
    recorder->found = true;
    recorder->address = implementation;
}

}  // namespace

kcr_error_t async_find_symbol(const async_image* image, uint32_t strategy, async_objc_cache* cache,
                              uint64_t address, async_find_symbol_found_cb callback, void* context) {
    Recorder recorder;
    bool answered = false;
    if ((strategy & KCR_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0) {
        answered = async_image_find_symbol_by_pc(image, address, record_symbol, &recorder) == KCR_ESUCCESS;
    }
    // Method metadata: Mach-O images only. Without a cache from the caller
    // one serves this call alone.
    if ((strategy & KCR_SYMBOL_STRATEGY_OBJC) != 0 && image->kind == async_image_kind::macho) {
        async_objc_cache local;
        async_objc_cache* use = cache;
        if (use == nullptr) {
            (void)async_objc_cache_init(&local);  // only resets fields: cannot fail
            use = &local;
        }
        if (async_objc_find_method(&image->macho, use, address, record_method, &recorder) == KCR_ESUCCESS)
            answered = true;
        if (use == &local)
            async_objc_cache_free(&local);
    }
    if (!answered)
        return KCR_ENOTFOUND;
    if (!recorder.found)
        return KCR_EINTERNAL;
    callback(recorder.address, recorder.name, context);
    return KCR_ESUCCESS;
}

}  // namespace kcr::async
