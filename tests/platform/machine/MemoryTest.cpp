#include "platform/machine/Memory.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>
#include "support/ChildProcess.h"

using namespace plat::machine;

namespace {

struct Pages {
    // [readable][PROT_NONE][unmapped]
    uint8_t* base = nullptr;
    size_t page = pageSize();
    Pages() {
        base = static_cast<uint8_t*>(
            mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(base, 0xAB, page);
        mprotect(base + page, page, PROT_NONE);
        munmap(base + 2 * page, page);
    }
    ~Pages() { munmap(base, 2 * page); }
    uint64_t at(size_t offset) const { return reinterpret_cast<uint64_t>(base) + offset; }
};

}  // namespace

TEST(TaskMemory, ReadsClassifyEveryKindOfAddress) {
    initialize();
    Pages pages;
    const size_t page = pages.page;
    struct Case {
        uint64_t address;
        size_t length;
        ReadResult expected;
    };
    const Case cases[] = {
        {pages.at(0), page, ReadResult::Ok},
        {pages.at(page - 8), 8, ReadResult::Ok},
        {pages.at(page - 8), 16, ReadResult::Protected},  // straddles into PROT_NONE
        {pages.at(page), 1, ReadResult::Protected},
        {pages.at(2 * page), 1, ReadResult::Unmapped},
        {0, 8, ReadResult::Unmapped},
        {0xFFFF800000000000ull, 8, ReadResult::Unmapped},  // kernel half
        {0x0000800000000000ull, 8, ReadResult::Unmapped},  // non-canonical
        {UINT64_MAX - 3, 8, ReadResult::Failed},           // wraps
        {pages.at(0), 0, ReadResult::Ok},
    };
    std::vector<uint8_t> buffer(page + 16);
    for (const Case& c : cases) {
        EXPECT_EQ(readMemory(Task::self(), c.address, buffer.data(), c.length), c.expected)
            << std::hex << c.address;
    }
    EXPECT_EQ(buffer[0], 0xAB);
}

TEST(TaskMemory, ReadsAChildsMemory) {
    static uint64_t marker = 0;
    marker = 0x1122334455667788ull;
    testsupport::PausedChild child([] { marker = 0x0BADC0DE; });  // the child's copy differs
    ASSERT_TRUE(child.ready());
    const Task task{child.pid()};
    uint64_t value = 0;
    EXPECT_EQ(readMemory(task, reinterpret_cast<uint64_t>(&marker), &value, sizeof value), ReadResult::Ok);
    EXPECT_EQ(value, 0x0BADC0DEu);
    EXPECT_EQ(readMemory(task, 0, &value, sizeof value), ReadResult::Unmapped);
    child.stop();
    EXPECT_EQ(readMemory(task, reinterpret_cast<uint64_t>(&marker), &value, sizeof value),
              ReadResult::Failed);
}

// A cached task reads whole blocks once: later reads inside them see the
// bytes as they were, reads run across block ends, and a block that cannot
// be read whole falls back to the bytes asked for, with the same results as
// without the cache.
TEST(TaskMemory, CachedReadsServeRepeatsFromBlocks) {
    Pages pages;
    const size_t page = pages.page;
    for (size_t i = 0; i < page; ++i)
        pages.base[i] = static_cast<uint8_t>(i * 7);
    ReadCache cache;
    Task cached;
    cached.cache = &cache;
    uint8_t out[64];
    ASSERT_EQ(readMemory(cached, pages.at(100), out, 8), ReadResult::Ok);
    EXPECT_EQ(std::memcmp(out, pages.base + 100, 8), 0);
    pages.base[101] = 0xEE;  // already in a block
    ASSERT_EQ(readMemory(cached, pages.at(100), out, 8), ReadResult::Ok);
    EXPECT_EQ(out[1], static_cast<uint8_t>(101 * 7));
    ASSERT_EQ(readMemory(Task::self(), pages.at(100), out, 8), ReadResult::Ok);
    EXPECT_EQ(out[1], 0xEE);

    // Across the end of a block.
    const size_t edge = ReadCache::kBlockSize - 3;
    ASSERT_EQ(readMemory(cached, pages.at(edge), out, 10), ReadResult::Ok);
    EXPECT_EQ(std::memcmp(out, pages.base + edge, 10), 0);
    // More than a block: read directly.
    std::vector<uint8_t> large(ReadCache::kBlockSize + 1);
    ASSERT_EQ(readMemory(cached, pages.at(0), large.data(), large.size()), ReadResult::Ok);
    EXPECT_EQ(std::memcmp(large.data(), pages.base, large.size()), 0);

    // The last bytes before a protected page, the page itself, unmapped memory.
    ASSERT_EQ(readMemory(cached, pages.at(page - 8), out, 8), ReadResult::Ok);
    EXPECT_EQ(std::memcmp(out, pages.base + page - 8, 8), 0);
    EXPECT_EQ(readMemory(cached, pages.at(page - 4), out, 8), ReadResult::Protected);
    EXPECT_EQ(readMemory(cached, pages.at(page + 8), out, 8), ReadResult::Protected);
    EXPECT_EQ(readMemory(cached, 16, out, 8), ReadResult::Unmapped);
}

// The process id kept for reads of this process follows fork(): the child
// reads its own memory, not its parent's.
TEST(TaskMemory, ReadsOfThisProcessFollowFork) {
    initialize();
    static volatile uint64_t marker = 0;
    marker = 1;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        marker = 2;
        uint64_t value = 0;
        const bool ok = readMemory(Task::self(), reinterpret_cast<uint64_t>(&marker), &value, sizeof value) ==
                        ReadResult::Ok;
        _exit(ok && value == 2 && Task::self().isSelf() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(TaskMemory, CopiedMappingsEndAtTheFirstUnreadablePage) {
    Pages pages;
    const size_t page = pages.page;
    CopiedMapping mapping;
    ASSERT_EQ(copyMapping(Task::self(), pages.at(10), 2 * page, false, &mapping), ReadResult::Ok);
    EXPECT_EQ(mapping.mappingLength, page);
    EXPECT_EQ(mapping.alignedTaskAddress, pages.at(0));
    EXPECT_EQ(static_cast<uint8_t*>(mapping.mapping)[page - 1], 0xAB);
    freeMapping(&mapping);
    EXPECT_EQ(mapping.mapping, nullptr);
    EXPECT_EQ(copyMapping(Task::self(), pages.at(10), 2 * page, true, &mapping), ReadResult::Protected);
    EXPECT_EQ(copyMapping(Task::self(), pages.at(page), 8, false, &mapping), ReadResult::Protected);
    // (The page after the protected one may have been reused by the copies above.)
    EXPECT_EQ(copyMapping(Task::self(), 16, 8, false, &mapping), ReadResult::Unmapped);
    EXPECT_EQ(copyMapping(Task::self(), UINT64_MAX - 8, 64, false, &mapping), ReadResult::Failed);
    EXPECT_EQ(mapping.mapping, nullptr);

    // Copies are bounded: refused when required whole, else cut.
    EXPECT_EQ(copyMapping(Task::self(), pages.at(0), kMaxCopiedMapping + 1, true, &mapping),
              ReadResult::NoPages);
    std::vector<uint8_t> huge(kMaxCopiedMapping + 2 * page, 1);
    ASSERT_EQ(
        copyMapping(Task::self(), reinterpret_cast<uint64_t>(huge.data()), huge.size(), false, &mapping),
        ReadResult::Ok);
    EXPECT_EQ(mapping.mappingLength, kMaxCopiedMapping);
    freeMapping(&mapping);

    // Large copies span many system calls.
    std::vector<uint8_t> big(300 * page + 5, 0x3C);
    ASSERT_EQ(copyMapping(Task::self(), reinterpret_cast<uint64_t>(big.data()), big.size(), true, &mapping),
              ReadResult::Ok);
    const uint64_t offset = reinterpret_cast<uint64_t>(big.data()) - mapping.alignedTaskAddress;
    EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(mapping.mapping) + offset, big.data(), big.size()), 0);
    freeMapping(&mapping);
}

TEST(TaskMemory, PagesComeFromTheKernel) {
    void* pages = allocatePages(1);
    ASSERT_NE(pages, nullptr);
    std::memset(pages, 1, pageSize());
    freePages(pages, 1);
    EXPECT_EQ(allocatePages(0), nullptr);
    EXPECT_EQ(allocatePages(SIZE_MAX), nullptr);
}

namespace {

// Makes process_vm_readv fail with EPERM in this process, as sandboxes do.
bool denyCrossMemoryReads() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof *filter), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

TEST(TaskMemory, FallsBackToProcMemWhenCrossMemoryReadsAreRefused) {
    initialize();  // in the parent: the child must not read through the parent's descriptor
    static uint64_t marker = 0;
    const int status = testsupport::waitStatusOfChild([] {
        marker = 0x600DF00D;  // differs from the parent's copy
        if (!denyCrossMemoryReads())
            _exit(10);
        uint64_t value = 0;
        if (readMemory(Task::self(), reinterpret_cast<uint64_t>(&marker), &value, sizeof value) !=
            ReadResult::Ok) {
            _exit(11);
        }
        if (value != 0x600DF00D)
            _exit(12);
        initialize();  // now the child's own descriptor
        value = 0;
        if (readMemory(Task::self(), reinterpret_cast<uint64_t>(&marker), &value, sizeof value) !=
                ReadResult::Ok ||
            value != 0x600DF00D) {
            _exit(13);
        }
        if (readMemory(Task::self(), 16, &value, sizeof value) != ReadResult::Unmapped)
            _exit(14);
        CopiedMapping mapping;
        if (copyMapping(Task::self(), reinterpret_cast<uint64_t>(&marker), 8, true, &mapping) !=
            ReadResult::Ok) {
            _exit(15);
        }
        freeMapping(&mapping);
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
