#include "platform/machine/ElfFileSymbols.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/machine/Loader.h"
#include "support/TempDir.h"

using namespace plat::machine;

namespace {

// A function of this file only: no dynamic symbol names it.
__attribute__((noinline)) int fileLocalFunction(int x) {
    asm volatile("" ::: "memory");
    return x + 11;
}

bool imageAt(const std::string& path, ElfImage* out) {
    for (const LoadedImage& loaded : loadedImages()) {
        if (loaded.path == path)
            return parseElfImage(Task::self(), loaded.headerAddress, out) == ElfResult::Ok;
    }
    return false;
}

}  // namespace

// The test library's hidden function is only in the file's full table; the
// table is read from a copy of the file, and a copy cut short afterwards
// answers "no name" instead of faulting.
TEST(ElfFileSymbols, NamesHiddenFunctionsFromTheFileAndSurviveATruncatedFile) {
    testsupport::TempDir dir;
    const std::string loadedPath = (dir / "libloaded.so").string();
    const std::string tablePath = (dir / "libtable.so").string();
    std::filesystem::copy_file(KCR_MACHINE_TEST_LIBRARY, loadedPath);
    std::filesystem::copy_file(KCR_MACHINE_TEST_LIBRARY, tablePath);
    void* library = dlopen(loadedPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto hiddenAddress = reinterpret_cast<void* (*)()>(dlsym(library, "kcr_machine_test_hidden_address"));
    ASSERT_NE(hiddenAddress, nullptr);
    const uint64_t hidden = reinterpret_cast<uint64_t>(hiddenAddress());
    ElfImage image;
    ASSERT_TRUE(imageAt(std::filesystem::canonical(loadedPath).string(), &image) ||
                imageAt(loadedPath, &image));

    char name[256];
    uint64_t start = 0;
    EXPECT_FALSE(findElfSymbol(image, hidden + 1, name, sizeof name, &start) &&
                 std::strcmp(name, "kcr_machine_test_hidden") == 0);
    auto symbols = ElfFileSymbols::load(tablePath.c_str(), image);
    ASSERT_NE(symbols, nullptr);
    EXPECT_GT(symbols->symbolCount(), 3u);
    ASSERT_TRUE(symbols->find(hidden + 1, name, sizeof name, &start));
    EXPECT_STREQ(name, "kcr_machine_test_hidden");
    EXPECT_EQ(start, hidden);
    ASSERT_TRUE(symbols->find(hidden, name, 5, &start));
    EXPECT_STREQ(name, "kcr_");  // cut to fit
    EXPECT_FALSE(symbols->find(image.headerAddress - 1, name, sizeof name, &start));

    // Another build (another build ID) is refused.
    ElfImage other = image;
    ASSERT_GT(other.buildIdLength, 0u);
    other.buildId[0] ^= 0xFF;
    EXPECT_EQ(ElfFileSymbols::load(tablePath.c_str(), other), nullptr);
    EXPECT_EQ(ElfFileSymbols::load((dir / "missing.so").c_str(), image), nullptr);
    EXPECT_EQ(ElfFileSymbols::load("relative.so", image), nullptr);

    ASSERT_EQ(truncate(tablePath.c_str(), 0), 0);
    EXPECT_FALSE(symbols->find(hidden + 1, name, sizeof name, &start));
    symbols.reset();
    dlclose(library);
}

// This test program is linked without exported symbols: its own file-local
// functions are found through the executable's full table.
TEST(ElfFileSymbols, NamesTheProgramsOwnFunctions) {
    const std::string path = executablePath();
    ElfImage image;
    ASSERT_TRUE(imageAt(path, &image)) << path;
    auto symbols = ElfFileSymbols::load(path.c_str(), image);
    ASSERT_NE(symbols, nullptr);
    const uint64_t function = reinterpret_cast<uint64_t>(&fileLocalFunction);
    char name[256];
    uint64_t start = 0;
    ASSERT_TRUE(symbols->find(function + 2, name, sizeof name, &start));
    EXPECT_NE(std::string(name).find("fileLocalFunction"), std::string::npos) << name;
    EXPECT_EQ(start, function);
    EXPECT_EQ(fileLocalFunction(1), 12);
}
