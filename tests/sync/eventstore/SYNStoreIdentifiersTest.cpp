// The event store's form of the values revisions' store identifiers: numbers
// in a list of its own kept in the store's metadata next to the URI
// prefixes' list, texts it cannot read taken as no identifier, and a store
// without the list keeping full identifiers for good.
#include <gtest/gtest.h>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"
#include "sync/eventstore/SYNStoreURIs.h"

namespace eventstoretest {
namespace {

using plat::Value;

class SYNStoreIdentifiersTest : public EventStoreTest {
  protected:
    // Saves one change recording `revision`, written through the codec.
    void saveChangeRecording(const SYNRevision& revision) {
        ++events_;
        inStore([&] {
            EventWriter write(*context);
            auto event = write.event("e" + std::to_string(events_), SYNStoreModificationEventTypeBaseline,
                                     events_, {"OWN", events_});
            write.insert(event, "g" + std::to_string(events_), {attribute("name", Value("n"))}, revision);
            ASSERT_EQ(context->save(), nullptr);
        });
    }

    int64_t events_ = 0;
};

TEST_F(SYNStoreIdentifiersTest, IdentifiersRoundTripThroughTheirOwnListKeptAcrossReopening) {
    auto codec = SYNStoreIdentifiers::forContext(*context);
    ASSERT_TRUE(codec->isCompact());
    EXPECT_EQ(codec, SYNStoreIdentifiers::forContext(*context));  // one per store
    EXPECT_EQ(codec->encodeIfKnown("A"), std::nullopt);           // looks nothing up
    EXPECT_EQ(codec->numberOf("A"), std::nullopt);

    const std::vector<std::pair<std::string, std::string>> cases{
        {"A", "0"}, {"B", "1"}, {"", "2"}, {"A", "0"}, {"0", "3"}};
    for (const auto& [identifier, stored] : cases) {
        EXPECT_EQ(codec->encode(identifier), stored) << identifier;
        EXPECT_EQ(codec->encodeIfKnown(identifier), stored) << identifier;
        EXPECT_EQ(codec->decode(stored), identifier) << stored;
    }
    // Texts it cannot read are no identifier, never another one.
    for (const char* bad : {"4", "", "A", "-1", "1;", " 1", "1 ", "18446744073709551616"}) {
        EXPECT_EQ(codec->decode(bad), std::nullopt) << bad;
    }
    // The URIs' list is another one: its numbers start afresh.
    EXPECT_EQ(SYNStoreURIs::forContext(*context)->encode("x-objectstore://A/Item/p1"), "0;p1");

    // The list goes out with the next save and reads the same after reopening.
    saveChangeRecording({"C", 7});
    EXPECT_EQ(storedRevisions(store->pathToStoreFile()).at("g1"),
              std::make_pair(std::optional<std::string>("4"), std::optional<int64_t>(7)));
    EXPECT_EQ(storedIdentifierList(store->pathToStoreFile()),
              (std::vector<std::string>{"A", "B", "", "0", "C"}));
    store->dismantle();
    store = openStore();
    context = store->managedObjectContext();
    auto reopened = SYNStoreIdentifiers::forContext(*context);
    ASSERT_NE(reopened, codec);
    ASSERT_TRUE(reopened->isCompact());
    for (const auto& [identifier, stored] : cases) {
        EXPECT_EQ(reopened->encodeIfKnown(identifier), stored) << identifier;
        EXPECT_EQ(reopened->decode(stored), identifier) << stored;
    }
    EXPECT_EQ(reopened->encode("D"), "5");
    const auto events = allEvents();
    ASSERT_EQ(events.size(), 1u);
    inStore([&] {
        auto change = changeFor(events.front(), "g1");
        ASSERT_TRUE(change);
        EXPECT_EQ(SYNObjectChange::valuesRevision(*change), (SYNRevision{"C", 7}));
        // A number the list lacks reads as unrecorded.
        change->setValue(Value("99"), "valuesRevisionStore");
        EXPECT_EQ(SYNObjectChange::valuesRevision(*change), std::nullopt);
        context->rollback();
    });

    // Without a store, the identity.
    auto none = SYNStoreIdentifiers::forStore(nullptr);
    EXPECT_FALSE(none->isCompact());
    EXPECT_EQ(none->encode("A"), "A");
    EXPECT_EQ(none->decode("0"), "0");
}

// A store whose metadata lack the identifiers' list (written before it) keeps
// full identifiers, even when it numbers its URIs, and never gains the list.
TEST_F(SYNStoreIdentifiersTest, AStoreWithoutTheListKeepsFullIdentifiersForGood) {
    reopenWithFullStoreIdentifiers();
    EXPECT_TRUE(SYNStoreURIs::forContext(*context)->isCompact());
    auto codec = SYNStoreIdentifiers::forContext(*context);
    EXPECT_EQ(codec->encode("A"), "A");
    EXPECT_EQ(codec->encodeIfKnown("B"), "B");
    EXPECT_EQ(codec->decode("7"), "7");
    saveChangeRecording({"A", 3});
    store->dismantle();
    store = openStore();
    context = store->managedObjectContext();
    saveChangeRecording({"B", 4});
    const auto stored = storedRevisions(store->pathToStoreFile());
    EXPECT_EQ(stored.at("g1").first, "A");
    EXPECT_EQ(stored.at("g2").first, "B");
    store->dismantle();
    EXPECT_EQ(storedIdentifierList(store->pathToStoreFile()), std::nullopt);
    auto metadata = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType(
        "", plat::URL::fileURLWithPath(store->pathToStoreFile()));
    ASSERT_TRUE(metadata.ok());
    EXPECT_NE(metadata->find(SYNStoreURIPrefixesMetadataKey), nullptr);
}

}  // namespace
}  // namespace eventstoretest
