// What a flush writes of the event store's "store.plist": whatever the file
// does not hold yet (a deregistration left for later, a write that failed),
// and nothing when it holds everything already.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "EventStoreFixture.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "sync/eventstore/SYNEventStore.h"

namespace eventstoretest {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using SYNEventStoreFlushTest = EventStoreTest;

Names incompleteIn(const fs::path& file) {
    auto plist = plat::PropertyListSerialization::propertyListWithContentsOfFile(file.string());
    Names names;
    const auto* dictionary = plist.ok() ? plist->asDictionary() : nullptr;
    const auto* events = dictionary ? dictionary->find("incompleteMandatoryEvents") : nullptr;
    if (events && events->isDictionary()) {
        for (const auto& entry : *events->asDictionary()) {
            names.push_back(entry.first);
        }
    }
    return names;
}

bool baselineIn(const fs::path& file, const std::string& identifier) {
    auto plist = plat::PropertyListSerialization::propertyListWithContentsOfFile(file.string());
    const auto* dictionary = plist.ok() ? plist->asDictionary() : nullptr;
    for (const auto& entry : dictionary ? *dictionary : plat::Dictionary()) {
        if (entry.second.asString() && *entry.second.asString() == identifier) {
            return true;
        }
    }
    return false;
}

ino_t inodeOf(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

plat::ErrorPtr flush(SYNEventStore& store) {
    bool done = false;
    plat::ErrorPtr error = SYNMakeError(SYNErrorUnknown);
    store.flushWithCompletion([&](plat::ErrorPtr e) {
        error = e;
        done = true;
    });
    pumpMainUntil([&] { return done; });
    return error;
}

TEST_F(SYNEventStoreFlushTest, AFlushWritesWhatTheFileDoesNotHoldAndOnlyThat) {
    const auto file = root / "mesh" / "store.plist";
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("A", true), nullptr);
    const ino_t registered = inodeOf(file);
    ASSERT_NE(registered, 0u);
    EXPECT_EQ(flush(*store), nullptr);
    EXPECT_EQ(inodeOf(file), registered) << "a flush wrote metadata the file held already";

    // A stored save's deregistration waits for the next write: the flush.
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("A", true), nullptr);
    EXPECT_EQ(incompleteIn(file), Names{"A"});
    EXPECT_EQ(flush(*store), nullptr);
    EXPECT_TRUE(incompleteIn(file).empty()) << "the flush left the deregistration unwritten";
    const ino_t flushed = inodeOf(file);
    EXPECT_EQ(flush(*store), nullptr);
    EXPECT_EQ(inodeOf(file), flushed);

    // A change whose write failed (a folder in the way) is written by the
    // next flush, and the flush reports a write that fails again.
    fs::remove(file);
    fs::create_directory(file);
    store->setIdentifierOfBaselineUsedToConstructStore("BASE");
    EXPECT_NE(flush(*store), nullptr);
    fs::remove(file);
    EXPECT_EQ(flush(*store), nullptr);
    ASSERT_TRUE(fs::is_regular_file(file));
    EXPECT_TRUE(baselineIn(file, "BASE"));

    // Taking a spare registration leaves the file's bytes as they are: a
    // flush after it writes nothing, and the save's deregistration is
    // written by the next flush.
    auto token = store->registerNewIncompleteEventIdentifierWithRecordedIntent();
    ASSERT_TRUE(token.ok());
    const ino_t spares = inodeOf(file);
    auto next = store->registerNewIncompleteEventIdentifierWithRecordedIntent();
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(flush(*store), nullptr);
    EXPECT_EQ(inodeOf(file), spares);
    const auto listed = incompleteIn(file);
    EXPECT_NE(std::find(listed.begin(), listed.end(), *next), listed.end());
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier(*next, true), nullptr);
    EXPECT_EQ(flush(*store), nullptr);
    const auto left = incompleteIn(file);
    EXPECT_EQ(std::find(left.begin(), left.end(), *next), left.end());
    EXPECT_NE(std::find(left.begin(), left.end(), *token), left.end());

    // Reopened, the store writes at its first flush what it read.
    store->dismantle();
    store = openStore();
    EXPECT_EQ(flush(*store), nullptr);
    EXPECT_TRUE(baselineIn(file, "BASE"));
    EXPECT_EQ(store->identifierOfBaselineUsedToConstructStore(), "BASE");
}

}  // namespace
}  // namespace eventstoretest
