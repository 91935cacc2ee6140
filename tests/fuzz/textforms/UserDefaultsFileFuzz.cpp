// Opens user defaults whose file holds arbitrary bytes, reads every key in
// every way, and writes a change: nothing may crash, and what was read must
// survive the write and a reopening.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fuzz/FuzzTempDir.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"

namespace {

const std::filesystem::path& folder() {
    return fuzzsupport::scratchFolder("user_defaults_file_fuzz");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (plat::setLogSink([](std::string_view) {}), true);
    (void)quiet;
    std::filesystem::remove_all(folder());
    std::filesystem::create_directories(folder());
    const std::string path = (folder() / "defaults.plist").string();
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    plat::Dictionary before;
    {
        plat::UserDefaults defaults(path);
        before = defaults.dictionaryRepresentation();
        for (const auto& [key, value] : before) {
            (void)defaults.objectForKey(key);
            (void)defaults.stringForKey(key);
            (void)defaults.arrayForKey(key);
            (void)defaults.dictionaryForKey(key);
            (void)defaults.dataForKey(key);
            (void)defaults.boolForKey(key);
            (void)defaults.integerForKey(key);
            (void)defaults.doubleForKey(key);
        }
        if (!defaults.setObject(plat::Value(int64_t{1}), "fuzz.written"))
            std::abort();
    }
    plat::UserDefaults reopened(path);
    plat::Dictionary after = reopened.dictionaryRepresentation();
    before.set("fuzz.written", plat::Value(int64_t{1}));
    if (plat::Value(std::move(after)) != plat::Value(std::move(before)))
        std::abort();
    return 0;
}
