#include "crashcapture/KCRAsyncSymbol.h"

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

}  // namespace

kcr_error_t async_find_symbol(const async_image* image, uint32_t strategy, async_objc_cache*,
                              uint64_t address, async_find_symbol_found_cb callback, void* context) {
    Recorder recorder;
    bool answered = false;
    if ((strategy & KCR_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0) {
        answered = async_image_find_symbol_by_pc(image, address, record_symbol, &recorder) == KCR_ESUCCESS;
    }
    if (!answered)
        return KCR_ENOTFOUND;
    if (!recorder.found)
        return KCR_EINTERNAL;
    callback(recorder.address, recorder.name, context);
    return KCR_ESUCCESS;
}

}  // namespace kcr::async
