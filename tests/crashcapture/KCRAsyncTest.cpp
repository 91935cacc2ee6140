#include "crashcapture/KCRAsync.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "crashcapture/KCRAsyncErrors.h"
#include "crashcapture/KCRCrashReporterError.h"

using namespace kcr::async;

TEST(AsyncBase, ErrorTexts) {
    const std::vector<std::pair<kcr_error_t, std::string>> table = {
        {0, "No error"},
        {1, "Unknown error"},
        {2, "Output file can not be opened (or written to)"},
        {3, "No memory available"},
        {4, "Operation not supported"},
        {5, "Invalid argument"},
        {6, "Internal error"},
        {7, "Access denied"},
        {8, "Not found"},
        {9, "The input data is in an unknown or invalid format."},
        {10, "Unhandled error code"},
        {-1, "Unhandled error code"},
    };
    for (const auto& [code, text] : table)
        EXPECT_EQ(async_error_text(code), text) << code;
}

TEST(AsyncBase, AddressArithmeticRefusesWrapping) {
    struct Case {
        uint64_t base;
        int64_t offset;
        bool ok;
        uint64_t result;
    };
    const Case cases[] = {
        {UINT64_MAX - 15, 32, false, 0},
        {16, -32, false, 0},
        {16, -16, true, 0},
        {UINT64_MAX - 15, 15, true, UINT64_MAX},
        {0, INT64_MIN, false, 0},
        {UINT64_MAX, INT64_MIN, true, UINT64_MAX - (1ull << 63)},
    };
    for (const Case& c : cases) {
        uint64_t result = 12345;
        EXPECT_EQ(async_address_apply_offset(c.base, c.offset, &result), c.ok) << c.base << " " << c.offset;
        EXPECT_EQ(result, c.ok ? c.result : 12345u);
    }
}

TEST(AsyncBase, TaskReadsReportUnmappedAndProtectedMemory) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto* pages = static_cast<uint8_t*>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    const uint32_t value = 0x11223344;
    std::memcpy(pages + page - 4, &value, 4);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    ASSERT_EQ(munmap(pages + 2 * page, page), 0);
    const uint64_t base = reinterpret_cast<uint64_t>(pages);

    uint32_t read = 0;
    EXPECT_EQ(async_task_read_uint32(async_task_self(), async_byteorder_direct(), base, page - 4, &read),
              KCR_ESUCCESS);
    EXPECT_EQ(read, value);
    EXPECT_EQ(async_task_read_uint32(async_task_self(), async_byteorder_swapped(), base, page - 4, &read),
              KCR_ESUCCESS);
    EXPECT_EQ(read, 0x44332211u);
    uint64_t wide = 0;
    EXPECT_EQ(async_task_read_uint64(async_task_self(), async_byteorder_direct(), base, page - 4, &wide),
              KCR_EACCESS);
    EXPECT_EQ(async_task_read_uint64(async_task_self(), async_byteorder_direct(), base + 2 * page, 0, &wide),
              KCR_ENOTFOUND);
    uint8_t byte = 0;
    EXPECT_EQ(async_task_read_uint8(async_task_self(), 0, 0, &byte), KCR_ENOTFOUND);
    EXPECT_EQ(async_task_read_uint8(async_task_self(), UINT64_MAX, 1, &byte), KCR_ENOMEM);
    EXPECT_EQ(async_task_read_uint8(async_task_self(), 0xFFFF800000000000ull, 0, &byte), KCR_ENOTFOUND);
    munmap(pages, 2 * page);
}

TEST(AsyncBase, StringRoutinesCompareUnsignedBytes) {
    EXPECT_EQ(async_strcmp("abc", "abc"), 0);
    EXPECT_LT(async_strcmp("abc", "abd"), 0);
    EXPECT_GT(async_strcmp("a\xff", "a\x01"), 0);
    EXPECT_LT(async_strcmp("ab", "abc"), 0);
    EXPECT_EQ(async_strncmp("abcx", "abcy", 3), 0);
    EXPECT_LT(async_strncmp("abcx", "abcy", 4), 0);
    EXPECT_EQ(async_strncmp("a", "a", 16), 0);
    char buffer[8];
    async_memset(buffer, 'z', sizeof buffer);
    async_memcpy(buffer, "hi", 3);
    EXPECT_STREQ(buffer, "hi");
    EXPECT_EQ(buffer[7], 'z');
}

TEST(AsyncBase, UTF8ValidLength) {
    struct Case {
        std::vector<uint8_t> bytes;
        size_t maximum;
        size_t expected;
    };
    const Case cases[] = {
        {{0x61, 0xC3, 0xA9, 0x62}, 4, 4},
        {{0x61, 0xC3, 0x62}, 3, 1},
        {{0xEF, 0xBB, 0xBF, 0x61}, 4, 4},
        {{0xEF, 0xBB, 0xBF}, 2, 0},        // the mark is only skipped whole
        {{0x61, 0xE2, 0x82, 0xAC}, 3, 1},  // the continuation lies past the maximum
        {{0xF0, 0x9F, 0x98, 0x80, 0x61}, 5, 5},
        {{0x80, 0x61}, 2, 0},
        {{0xFF}, 1, 0},
        {{0x61, 0x00, 0x62}, 3, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(async_utf8_valid_length(c.bytes.data(), c.maximum), c.expected);
    EXPECT_EQ(async_utf8_valid_length("caf\xC3\xA9"), 5u);
}

TEST(AsyncBase, ErrorBuildersFillOnlyGivenOutParameters) {
    populate_error(nullptr, 3, "ignored");
    plat::ErrorPtr error;
    populate_posix_error(&error, ENOENT, "Could not open");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), KCRCrashReporterErrorDomain);
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(error->localizedDescription(), "Could not open");
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_EQ(error->underlyingError()->domain(), plat::POSIXErrorDomain);
    EXPECT_EQ(error->underlyingError()->code(), ENOENT);
    populate_mach_error(&error, 5, "Mach");
    EXPECT_EQ(error->underlyingError()->domain(), KCRMachErrorDomain);
    populate_error(&error, 3, "Plain");
    EXPECT_EQ(error->code(), 3);
    EXPECT_EQ(error->underlyingError(), nullptr);
}
