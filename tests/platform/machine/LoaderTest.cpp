#include "platform/machine/Loader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace plat::machine;

TEST(Loader, PollsReportLoadsAndUnloadsOnce) {
    std::vector<LoadedImage> added;
    std::vector<uint64_t> removed;
    Loader loader([&](const LoadedImage& image) { added.push_back(image); },
                  [&](uint64_t header) { removed.push_back(header); });
    loader.poll();
    const size_t initial = added.size();
    ASSERT_GE(initial, 3u);
    EXPECT_EQ(added[0].path, executablePath());
    EXPECT_TRUE(std::any_of(added.begin(), added.end(), [](const LoadedImage& image) {
        return image.path.find("linux-vdso") != std::string::npos;
    }));
    loader.poll();
    EXPECT_EQ(added.size(), initial);  // nothing changed

    void* library = dlopen(KCR_MACHINE_TEST_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    loader.poll();
    ASSERT_EQ(added.size(), initial + 1);
    EXPECT_NE(added.back().path.find("machine_test_library"), std::string::npos);
    const uint64_t header = added.back().headerAddress;
    Dl_info info{};
    ASSERT_NE(dladdr(dlsym(library, "kcr_machine_test_function"), &info), 0);
    EXPECT_EQ(header, reinterpret_cast<uint64_t>(info.dli_fbase));

    dlclose(library);
    loader.poll();
    EXPECT_EQ(removed, std::vector<uint64_t>{header});
    EXPECT_EQ(added.size(), initial + 1);
}
