// The reader's sharing of short strings repeated within a document of some
// size: the strings of one document share payloads, and never those of
// another document, whether that document is still held or already freed,
// on one thread or on many reading at once.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Arena.h"
#include "platform/foundation/JSONSerialization.h"

namespace plat {
namespace {

// An array of `count` objects whose short strings repeat (the same few names
// and tags over and over) and carry the document's mark; over 4 KiB.
std::string documentText(const std::string& mark, int count = 200) {
    std::string text = "[";
    for (int i = 0; i < count; ++i) {
        text += (i ? "," : "");
        text += R"({"name":"tag)" + std::to_string(i % 5) + R"(","kind":")" + mark + R"(","n":)" +
                std::to_string(i) + R"(,"long":"a string longer than sixteen bytes )" + std::to_string(i) +
                "\"}";
    }
    text += "]";
    return text;
}

Value parsed(const std::string& text) {
    auto result = JSONSerialization::JSONObjectWithString(text);
    EXPECT_TRUE(result.ok());
    return result.ok() ? std::move(*result) : Value();
}

// The payloads of the document's strings under these keys.
std::set<const void*> payloadsOf(const Value& document, const char* key) {
    std::set<const void*> payloads;
    for (const auto& item : *document.asArray()) {
        payloads.insert(item.find(key)->note().payload);
    }
    return payloads;
}

// Checks the document read back as written and how its strings share: each
// short string once per distinct text, the long ones never.
void expectReadAndShared(const Value& document, const std::string& mark, int count = 200) {
    ASSERT_TRUE(document.isArray());
    ASSERT_EQ(document.count(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const Value& item = *document.at(i);
        EXPECT_EQ(*item.find("name")->asString(), "tag" + std::to_string(i % 5));
        EXPECT_EQ(*item.find("kind")->asString(), mark);
        EXPECT_EQ(item.find("n")->longLongValue(), i);
    }
    EXPECT_EQ(payloadsOf(document, "name").size(), 5u);
    EXPECT_EQ(payloadsOf(document, "kind").size(), 1u);
    EXPECT_EQ(payloadsOf(document, "long").size(), static_cast<std::size_t>(count));
}

TEST(JSONSharedStringsTest, DocumentsReadInARowShareStringsOnlyWithinThemselves) {
    const std::size_t chunksBefore = detail::Arena::liveChunks();
    {
        // The same texts in every document: a note of an earlier document
        // would find them all.
        const std::string text = documentText("same");
        ASSERT_GT(text.size(), 4096u);
        std::vector<Value> held;
        for (int i = 0; i < 12; ++i) {
            held.push_back(parsed(text));
            expectReadAndShared(held.back(), "same");
        }
        for (std::size_t i = 0; i < held.size(); ++i) {
            for (std::size_t j = i + 1; j < held.size(); ++j) {
                for (const char* key : {"name", "kind"}) {
                    for (const void* payload : payloadsOf(held[i], key)) {
                        EXPECT_EQ(payloadsOf(held[j], key).count(payload), 0u)
                            << "documents " << i << " and " << j << " share a string under " << key;
                    }
                }
            }
        }
    }
    EXPECT_EQ(detail::Arena::liveChunks(), chunksBefore);

    // Each freed before the next is read: the notes of the freed one must
    // not be followed (the sanitizers see a read of freed memory).
    for (int i = 0; i < 12; ++i) {
        const std::string mark = i % 2 ? "same" : "odd";
        expectReadAndShared(parsed(documentText(mark)), mark);
    }
    EXPECT_EQ(detail::Arena::liveChunks(), chunksBefore);
}

// Small texts share nothing; a large text after them shares as before.
TEST(JSONSharedStringsTest, SmallDocumentsShareNothingAndLargeOnesAfterThemShare) {
    const std::string small = documentText("s", 10);
    ASSERT_LT(small.size(), 4096u);
    const Value first = parsed(small);
    EXPECT_EQ(payloadsOf(first, "kind").size(), 10u);
    const Value large = parsed(documentText("s"));
    expectReadAndShared(large, "s");
    const Value second = parsed(small);
    EXPECT_EQ(payloadsOf(second, "kind").size(), 10u);
    for (const void* payload : payloadsOf(large, "kind")) {
        EXPECT_EQ(payloadsOf(second, "kind").count(payload), 0u);
    }
}

// More threads than the tables the reader keeps, each reading large
// documents of its own and of the others at once: every document reads back,
// shares within itself only, and nothing of it outlives it.
TEST(JSONSharedStringsTest, ThreadsReadingAtOnceShareWithinTheirOwnDocumentsOnly) {
    const std::size_t chunksBefore = detail::Arena::liveChunks();
    constexpr int kThreads = 12;
    std::vector<std::string> texts;
    for (int t = 0; t < kThreads; ++t) {
        texts.push_back(documentText("t" + std::to_string(t % 3)));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads; ++t) {
        readers.emplace_back([&, t] {
            Value previous;
            for (int round = 0; round < 20; ++round) {
                const int which = (t + round) % kThreads;
                auto result = JSONSerialization::JSONObjectWithString(texts[which]);
                if (!result.ok()) {
                    ++failures;
                    continue;
                }
                const Value& document = *result;
                const std::string mark = "t" + std::to_string(which % 3);
                bool good = document.count() == 200 && payloadsOf(document, "kind").size() == 1 &&
                            payloadsOf(document, "name").size() == 5 &&
                            *document.at(7)->find("kind")->asString() == mark &&
                            *document.at(7)->find("name")->asString() == "tag2";
                if (previous.isArray()) {
                    for (const void* payload : payloadsOf(previous, "name")) {
                        good = good && payloadsOf(document, "name").count(payload) == 0;
                    }
                }
                if (!good) {
                    ++failures;
                }
                previous = std::move(*result);
            }
        });
    }
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(detail::Arena::liveChunks(), chunksBefore);
}

}  // namespace
}  // namespace plat
