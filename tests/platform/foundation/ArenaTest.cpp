#include "platform/foundation/Arena.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Value.h"

namespace plat {
namespace {

using detail::Arena;

Value parse(const std::string& text) {
    auto r = JSONSerialization::JSONObjectWithString(text, JSONReadingFragmentsAllowed);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error()->description());
    return r.ok() ? *r : Value();
}

// A document large enough for the reader to share its short strings, with
// records of every kind the reader produces.
std::string recordsDocument(int count) {
    std::string text = "[";
    for (int i = 0; i < count; ++i) {
        text += i ? "," : "";
        text += R"({"id":)" + std::to_string(i) + R"(,"tag":"t)" + std::to_string(i % 3) +
                R"(","note":"a note long enough to leave the inline buffer )" + std::to_string(i) +
                R"(","pt":[)" + std::to_string(i) +
                R"(.5,-1e-3],"ok":true,"none":null,"big":18446744073709551615})";
    }
    return text + "]";
}

TEST(ArenaTest, ChunksAreFreedWithTheirLastAllocation) {
    const std::size_t before = Arena::liveChunks();
    std::vector<void*> small;
    void* large = nullptr;
    {
        Arena arena;
        for (std::size_t i = 0; i < 3 * Arena::kChunkSize / 64; ++i) {
            void* p = arena.allocate(16 + i % 100, i % 2 ? 8 : 16);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (i % 2 ? 8 : 16), 0u);
            small.push_back(p);
        }
        large = arena.allocate(3 * Arena::kChunkSize, 16);
        EXPECT_GE(Arena::liveChunks(), before + 4);
    }
    // The arena is gone; its chunks live on while their allocations do.
    EXPECT_GE(Arena::liveChunks(), before + 4);
    Arena::release(large);
    const std::size_t withoutLarge = Arena::liveChunks();
    // Released out of order: each chunk goes with its last allocation.
    std::reverse(small.begin(), small.end());
    for (std::size_t i = 0; i + 1 < small.size(); ++i)
        Arena::release(small[i]);
    EXPECT_EQ(Arena::liveChunks(), before + 1);
    Arena::release(small.back());
    EXPECT_EQ(Arena::liveChunks(), before);
    EXPECT_GE(withoutLarge, before + 3);
}

// Batched releases hold a chunk until the outermost scope ends or a release
// falls in another chunk, and free it no earlier than unbatched ones would.
TEST(ArenaTest, BatchedReleasesFreeChunksOnlyOnceSettled) {
    const std::size_t before = Arena::liveChunks();
    std::vector<void*> first, second;
    {
        Arena arena;
        first.push_back(arena.allocate(16, 16));
        while (second.empty()) {
            void* p = arena.allocate(Arena::kLargeAllocation, 16);
            (first.empty() || (reinterpret_cast<std::uintptr_t>(p) ^
                               reinterpret_cast<std::uintptr_t>(first[0])) < Arena::kChunkSize
                 ? first
                 : second)
                .push_back(p);
        }
        second.push_back(arena.allocate(16, 16));
    }
    ASSERT_EQ(Arena::liveChunks(), before + 2);
    {
        Arena::BatchedReleases outer;
        {
            Arena::BatchedReleases inner;
            for (void* p : first)
                Arena::release(p);
        }
        // Every allocation of the first chunk is released, but held back.
        EXPECT_EQ(Arena::liveChunks(), before + 2);
        Arena::release(second[0]);
        // A release in another chunk settles the first one.
        EXPECT_EQ(Arena::liveChunks(), before + 1);
    }
    // The second chunk still has an allocation: settling frees nothing.
    EXPECT_EQ(Arena::liveChunks(), before + 1);
    {
        Arena::BatchedReleases scope;
        Arena::release(second[1]);
        EXPECT_EQ(Arena::liveChunks(), before + 1);
    }
    EXPECT_EQ(Arena::liveChunks(), before);
}

TEST(ArenaTest, AnEmptyOrUnusedArenaHoldsNothing) {
    const std::size_t before = Arena::liveChunks();
    { Arena arena; }
    {
        Arena arena;
        Arena::release(arena.allocate(8, 8));
        EXPECT_EQ(Arena::liveChunks(), before + 1);  // still open
    }
    EXPECT_EQ(Arena::liveChunks(), before);
}

TEST(ArenaTest, AFailingFillGivesBackWhatItTook) {
    const std::size_t before = Arena::liveChunks();
    {
        Arena arena;
        const Value kept = Value::stringIn(arena, std::string(100, 'k'));
        EXPECT_THROW(Value::dictionaryFilledBy(arena, 2,
                                               [&](Dictionary::Entries& out) {
                                                   out.emplace_back("a", Value::stringIn(arena, "x"));
                                                   throw std::runtime_error("stop");
                                               }),
                     std::runtime_error);
        EXPECT_THROW(Value::arrayFilledBy(arena, 1,
                                          [&](Array& out) {
                                              // Beyond the capacity: the elements move to new storage.
                                              for (int i = 0; i < 20; ++i)
                                                  out.push_back(Value::stringIn(arena, "y"));
                                              throw std::runtime_error("stop");
                                          }),
                     std::runtime_error);
        const Value grown = Value::arrayFilledBy(arena, 1, [&](Array& out) {
            for (int i = 0; i < 20; ++i)
                out.push_back(Value(i));
        });
        EXPECT_EQ(grown.count(), 20u);
        EXPECT_EQ(*kept.asString(), std::string(100, 'k'));
    }
    EXPECT_EQ(Arena::liveChunks(), before);
}

TEST(ArenaTest, EveryKindRoundTripsAndEqualsTheSameValueBuiltOnTheHeap) {
    const std::string text = recordsDocument(200);
    const Value parsed = parse(text);
    ASSERT_EQ(parsed.count(), 200u);
    Array records;
    for (int i = 0; i < 200; ++i)
        records.push_back(Value(Dictionary{
            {"id", Value(i)},
            {"tag", Value("t" + std::to_string(i % 3))},
            {"note", Value("a note long enough to leave the inline buffer " + std::to_string(i))},
            {"pt", Value(Array{Value(i + 0.5), Value(-1e-3)})},
            {"ok", Value(true)},
            {"none", Value()},
            {"big", Value(UINT64_MAX)},
        }));
    const Value built(std::move(records));
    EXPECT_EQ(parsed, built);
    EXPECT_EQ(parsed.hash(), built.hash());
    EXPECT_EQ(*JSONSerialization::stringWithJSONObject(parsed),
              *JSONSerialization::stringWithJSONObject(built));
    EXPECT_EQ(parse(*JSONSerialization::stringWithJSONObject(parsed)), parsed);

    // Small documents and the edge shapes: empty containers, repeated keys,
    // a lone scalar, nested empties.
    for (const char* small :
         {"[]", "{}", "[[],{},[[]]]", R"({"a":1,"b":2,"a":3})", R"("text")", "-0.25", R"([{"":""}])"}) {
        const Value v = parse(small);
        EXPECT_EQ(parse(*JSONSerialization::stringWithJSONObject(v, JSONWritingFragmentsAllowed)), v)
            << small;
    }
    EXPECT_EQ(parse(R"({"a":1,"b":2,"a":3})"), Value(Dictionary{{"a", Value(3)}, {"b", Value(2)}}));
}

TEST(ArenaTest, PartsOfADocumentOutliveIt) {
    const std::size_t before = Arena::liveChunks();
    Value note, tag, point, record;
    {
        const Value document = parse(recordsDocument(500));
        EXPECT_GT(Arena::liveChunks(), before);
        record = *document.at(17);
        note = *record.find("note");
        tag = *document.at(499)->find("tag");
        point = *document.at(250)->find("pt");
    }
    EXPECT_EQ(*note.asString(), "a note long enough to leave the inline buffer 17");
    EXPECT_EQ(*tag.asString(), "t1");
    EXPECT_EQ(point, Value(Array{Value(250.5), Value(-1e-3)}));
    record = Value();
    EXPECT_EQ(*note.asString(), "a note long enough to leave the inline buffer 17");
    note = tag = point = Value();
    EXPECT_EQ(Arena::liveChunks(), before);
}

TEST(ArenaTest, CopiesOfParsedContainersAreIndependentAndGrowable) {
    Array elements;
    Dictionary entries;
    {
        const Value document = parse(recordsDocument(50));
        elements = *document.asArray();
        entries = *document.at(3)->asDictionary();
    }
    // The copies own heap storage: growing them needs no arena.
    for (int i = 0; i < 1000; ++i)
        elements.push_back(Value(i));
    for (int i = 0; i < 100; ++i)
        entries.set("k" + std::to_string(i), Value(i));
    EXPECT_EQ(elements.size(), 1050u);
    EXPECT_EQ(*elements[3].find("id"), Value(3));
    EXPECT_EQ(entries.size(), 107u);
    EXPECT_EQ(*entries.find("tag"), Value("t0"));
    EXPECT_EQ(*entries.find("k99"), Value(99));

    // Conversions to and from std::vector<Value> keep the elements.
    const std::vector<Value> plain = elements;
    EXPECT_EQ(plain.size(), elements.size());
    EXPECT_EQ(Array(plain), elements);
}

TEST(ArenaTest, PartsAreSharedAndReleasedAcrossThreads) {
    const std::size_t before = Arena::liveChunks();
    Value document = parse(recordsDocument(2000));
    std::vector<Value> handedOut;
    for (std::size_t i = 0; i < document.count(); ++i)
        handedOut.push_back(*document.at(i));
    document = Value();  // only the threads' shares keep the chunks now
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        // Every thread reads and drops its own copies of every record, so the
        // last release of a chunk may happen on any of them.
        threads.emplace_back([t, parts = handedOut]() mutable {
            std::size_t ids = 0;
            for (std::size_t i = 0; i < parts.size(); ++i) {
                std::size_t k = (i * 7 + static_cast<std::size_t>(t)) % parts.size();
                ids += static_cast<std::size_t>(parts[k].find("id")->integerValue());
                ASSERT_EQ(parts[k].find("pt")->count(), 2u);
            }
            EXPECT_EQ(ids, 2000u * 1999u / 2);
            for (std::size_t i = 0; i < parts.size(); i += 2)
                parts[i] = Value();
        });
    }
    handedOut.clear();
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(Arena::liveChunks(), before);
}

// Records with short strings and keys only: nothing inside keeps memory of
// its own, so the document may go without a walk over its tree.
std::string shortRecords(int count, const std::string& extra = "") {
    std::string text = "[";
    for (int i = 0; i < count; ++i) {
        text += i ? "," : "";
        text += R"({"id":)" + std::to_string(i) + R"(,"tag":"t)" + std::to_string(i % 3) + R"(","name":"n)" +
                std::to_string(i) + R"(","pt":[)" + std::to_string(i) + R"(.5,-1e-3],"ok":true)" + extra +
                "}";
    }
    return text + "]";
}

TEST(ArenaTest, ADocumentNothingWasCopiedFromGoesWhole) {
    const std::size_t before = Arena::liveChunks();
    std::string keyed = "{";
    for (int i = 0; i < 3000; ++i)
        keyed += (i ? R"(,"k)" : R"("k)") + std::to_string(i) + R"(":{"a":)" + std::to_string(i) + "}";
    keyed += "}";
    std::string numbers = "[";
    for (int i = 0; i < 5000; ++i)
        numbers += (i ? ",[" : "[") + std::to_string(i) + ".25,-" + std::to_string(i) + "]";
    numbers += "]";
    // Records (tape), a root keyed by many ids (whose own index the root
    // frees), and pairs of numbers (built from the structural index).
    for (const std::string& text : {shortRecords(3000), keyed, numbers}) {
        const std::size_t whole = Arena::documentsFreedWhole();
        {
            Value document = parse(text);
            EXPECT_GT(Arena::liveChunks(), before);
            // Copies of the root are not parts copied out.
            const Value again = document;
            std::vector<Value> copies(3, document);
            EXPECT_EQ(again.count(), document.count());
            document = Value();
            EXPECT_EQ(Arena::documentsFreedWhole(), whole);
        }
        EXPECT_EQ(Arena::documentsFreedWhole(), whole + 1) << text.substr(0, 40);
        EXPECT_EQ(Arena::liveChunks(), before);
    }
    // The last holder of the root may be on another thread.
    const std::size_t whole = Arena::documentsFreedWhole();
    Value document = parse(shortRecords(2000));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([copy = document]() mutable {
            EXPECT_EQ(copy.at(1999)->find("name")->asString()->size(), 5u);
            copy = Value();
        });
    document = Value();
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(Arena::documentsFreedWhole(), whole + 1);
    EXPECT_EQ(Arena::liveChunks(), before);
}

TEST(ArenaTest, ADocumentWithPartsHeldOrMemoryOfItsOwnIsWalked) {
    const std::size_t before = Arena::liveChunks();
    std::string manyKeys;
    for (int i = 0; i < 12; ++i)
        manyKeys += R"(,"x)" + std::to_string(i) + R"(":)" + std::to_string(i);
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"a long string", shortRecords(500, R"(,"s":"a string too long to be kept inline")")},
        {"a long key", shortRecords(500, R"(,"a key too long to be kept inline":1)")},
        {"an inner dictionary with an index", shortRecords(500, manyKeys)},
    };
    for (const auto& c : cases) {
        const std::size_t whole = Arena::documentsFreedWhole();
        { const Value document = parse(c.text); }
        EXPECT_EQ(Arena::documentsFreedWhole(), whole) << c.what;
        EXPECT_EQ(Arena::liveChunks(), before) << c.what;
    }

    const std::size_t whole = Arena::documentsFreedWhole();
    // A part copied out and let go before the document: the document can no
    // longer tell that nothing holds a part, and is walked.
    {
        const Value document = parse(shortRecords(500));
        { const Value part = *document.at(3); }
    }
    // Parts copied out outlive the document, on this thread and others.
    Value record, name, point;
    {
        const Value document = parse(shortRecords(500));
        record = *document.at(17);
        const Dictionary entries = *document.at(18)->asDictionary();
        name = *entries.find("name");
        point = *document.at(250)->find("pt");
    }
    EXPECT_EQ(Arena::documentsFreedWhole(), whole);
    EXPECT_GT(Arena::liveChunks(), before);
    std::thread([&, held = record]() mutable {
        EXPECT_EQ(*held.find("tag"), Value("t2"));
        held = Value();
    }).join();
    EXPECT_EQ(*record.find("name"), Value("n17"));
    EXPECT_EQ(name, Value("n18"));
    EXPECT_EQ(point, Value(Array{Value(250.5), Value(-1e-3)}));
    record = name = point = Value();
    EXPECT_EQ(Arena::liveChunks(), before);
}

TEST(ArenaTest, DeepDocumentsTearDown) {
    const std::size_t before = Arena::liveChunks();
    const std::size_t depth = JSONSerialization::kMaxDepth - 1;
    for (const char* shape : {"[]", "{}"}) {
        std::string text;
        for (std::size_t i = 0; i < depth; ++i)
            text += shape[0] == '[' ? "[" : R"({"k":)";
        text += "1";
        for (std::size_t i = 0; i < depth; ++i)
            text += shape[1];
        Value v = parse(text);
        std::size_t levels = 0;
        for (const Value* at = &v; at->isArray() || at->isDictionary(); ++levels)
            at = at->isArray() ? at->at(0) : at->find("k");
        EXPECT_EQ(levels, depth) << shape;
    }
    EXPECT_EQ(Arena::liveChunks(), before);
}

}  // namespace
}  // namespace plat
