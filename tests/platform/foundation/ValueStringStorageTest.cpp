// String values are stored in one of two ways: texts a std::string holds
// inside itself are boxed as such, longer texts are allocated together with
// their box (from a view or a C string), and strings handed over by value keep
// their own bytes. These tests check that every way reads, compares, hashes,
// orders and serializes alike, around the limit between them.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Value.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::JSONSerialization;
using plat::PropertyListSerialization;
using plat::Value;

// The longest text a std::string keeps inside itself, and texts around it.
std::vector<std::string> edgeTexts() {
    const std::size_t inlineLimit = std::string().capacity();
    std::vector<std::string> texts;
    texts.emplace_back();
    for (std::size_t length : {std::size_t{1}, inlineLimit - 1, inlineLimit, inlineLimit + 1, inlineLimit + 2,
                               std::size_t{36}, std::size_t{255}, std::size_t{4096}}) {
        std::string text;
        for (std::size_t i = 0; i < length; ++i)
            text.push_back(static_cast<char>('a' + i % 26));
        texts.push_back(text);
    }
    // Embedded NULs at the start, in the middle and at the end.
    texts.push_back(std::string("\0abcdefghijklmnopq", 18));
    texts.push_back(std::string("abcdefgh\0ijklmnopq", 18));
    texts.push_back(std::string("abcdefghijklmnopq\0", 18));
    texts.push_back(std::string(inlineLimit + 1, '\0'));
    // Non-ASCII: two-, three- and four-byte sequences, split near the limit.
    texts.push_back("\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 caf\xc3\xa9 na\xc3\xafve");
    texts.push_back("abcdefghijklmn\xc3\xa9");   // 16 bytes, the last character across the limit
    texts.push_back("abcdefghijklm\xc3\xa9");    // 15 bytes
    texts.push_back("abcdefghijklmno\xc3\xa9");  // 17 bytes
    return texts;
}

// The same text built each way a Value is made from text.
std::vector<Value> eachWay(const std::string& text) {
    std::vector<Value> values;
    values.emplace_back(std::string_view(text));
    values.emplace_back(std::string(text));
    values.emplace_back(std::string(text.data(), text.size()));  // moved in
    if (text.find('\0') == std::string::npos)
        values.emplace_back(text.c_str());
    return values;
}

TEST(ValueStringStorageTest, EveryWayReadsTheSameBytes) {
    for (const std::string& text : edgeTexts()) {
        for (const Value& v : eachWay(text)) {
            ASSERT_TRUE(v.isString());
            const std::string* s = v.asString();
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(*s, text);
            EXPECT_EQ(s->size(), text.size());
            EXPECT_EQ(s->c_str()[s->size()], '\0') << "length " << text.size();
            EXPECT_EQ(std::string_view(*s), std::string_view(text));
            EXPECT_GE(s->capacity(), s->size());
            EXPECT_EQ(v.numberType(), plat::NumberType::None);
        }
    }
}

TEST(ValueStringStorageTest, EveryWayComparesHashesAndOrdersAlike) {
    const auto texts = edgeTexts();
    for (const std::string& a : texts) {
        const auto as = eachWay(a);
        for (const std::string& b : texts) {
            const auto bs = eachWay(b);
            const std::optional<int> expected = Value(std::string(a)).compare(Value(std::string(b)));
            for (const Value& x : as)
                for (const Value& y : bs) {
                    EXPECT_EQ(x == y, a == b);
                    EXPECT_EQ(x.compare(y), expected);
                    if (a == b) {
                        EXPECT_EQ(x.hash(), y.hash());
                    }
                }
        }
    }
}

TEST(ValueStringStorageTest, EveryWaySerializesToTheSameBytes) {
    for (const std::string& text : edgeTexts()) {
        const auto values = eachWay(text);
        const Value reference{std::string(text)};
        const auto json = JSONSerialization::dataWithJSONObject(Array{reference}, 0);
        const auto plist = PropertyListSerialization::dataWithPropertyList(
            reference, PropertyListSerialization::Format::Binary);
        ASSERT_TRUE(json.ok());
        ASSERT_TRUE(plist.ok());
        for (const Value& v : values) {
            const auto vJson = JSONSerialization::dataWithJSONObject(Array{v}, 0);
            ASSERT_TRUE(vJson.ok());
            EXPECT_EQ(*vJson, *json);
            const auto vPlist =
                PropertyListSerialization::dataWithPropertyList(v, PropertyListSerialization::Format::Binary);
            ASSERT_TRUE(vPlist.ok());
            EXPECT_EQ(*vPlist, *plist);
            EXPECT_EQ(v.description(), reference.description());
            EXPECT_EQ(v.stringValue(), text);
        }
        // What is read back equals every form.
        const auto back = JSONSerialization::JSONObjectWithData(*json, 0);
        ASSERT_TRUE(back.ok());
        for (const Value& v : values)
            EXPECT_EQ(*back->at(0), v);
    }
}

TEST(ValueStringStorageTest, CopiesShareTheBytesAndOutliveTheOriginal) {
    for (const std::string& text : edgeTexts()) {
        for (Value& v : eachWay(text)) {
            const std::string* bytes = v.asString();
            Value copy = v;
            EXPECT_EQ(copy.asString(), bytes);
            Value moved = std::move(v);
            EXPECT_TRUE(v.isNull());
            EXPECT_EQ(moved.asString(), bytes);
            moved = Value();
            EXPECT_EQ(*copy.asString(), text);
        }
    }
}

TEST(ValueStringStorageTest, PackedStringsKeepTheirBytes) {
    for (const std::string& text : edgeTexts()) {
        for (Value& v : eachWay(text)) {
            ASSERT_TRUE(Value::packable(v));
            uint64_t word = 0;
            const uint8_t tag = Value::pack(std::move(v), word);
            const Value shared = Value::sharePacked(word, tag);
            EXPECT_EQ(*shared.asString(), text);
            Value::releasePacked(word, tag);
            EXPECT_EQ(*shared.asString(), text);
        }
    }
}

TEST(ValueStringStorageTest, StringsInContainersAndAsKeys) {
    Dictionary d;
    Array a;
    for (const std::string& text : edgeTexts()) {
        d.set(text, Value(std::string_view(text)));
        a.push_back(Value(std::string_view(text)));
    }
    const Value dictionary(d);
    const Value array(a);
    for (const std::string& text : edgeTexts()) {
        const Value* member = dictionary.find(text);
        ASSERT_NE(member, nullptr);
        EXPECT_EQ(*member->asString(), text);
    }
    EXPECT_EQ(Value(Dictionary(d)), dictionary);
    EXPECT_EQ(Value(Array(a)), array);
}

// Copies of one string released from several threads at once: exactly one
// release frees it (run under the thread and address sanitizers).
TEST(ValueStringStorageTest, CopiesReleasedFromManyThreads) {
    const std::string text(100, 'q');
    for (int round = 0; round < 50; ++round) {
        Value original{std::string_view(text)};
        std::vector<Value> copies(4, original);
        original = Value();
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (Value& copy : copies)
            threads.emplace_back([&ready, &copy, &text] {
                ready.fetch_add(1);
                while (ready.load() < 4) {
                }
                EXPECT_EQ(*copy.asString(), text);
                copy = Value();
            });
        for (auto& t : threads)
            t.join();
    }
}

}  // namespace
