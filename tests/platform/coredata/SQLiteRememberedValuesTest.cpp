// The SQLite store remembers the values of transformable attributes whose
// transformer allows it, by their stored bytes: a value saved and read back
// soon, or read twice, is not decoded again. Reads must give what decoding
// gives, whatever wrote the bytes, and memory stays bounded.
#include <atomic>

#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/coredata/detail/SQLiteStoreImpl.h"

namespace plat::coredata {
namespace {

// Stores strings reversed with a mark, counting the values it decodes.
class CountingTransformer : public ValueTransformer {
  public:
    CountingTransformer(bool remembered, bool readBack, std::string mark = "")
        : remembered_(remembered), readBack_(readBack), mark_(std::move(mark)) {}
    Result<Data> transformedValue(const Value& value) const override {
        if (!value.isString())
            return makeError(CoreDataError, "strings only");
        const std::string& s = *value.asString();
        return Data::fromString(std::string(s.rbegin(), s.rend()));
    }
    Result<Value> reverseTransformedValue(const Data& data) const override {
        ++decoded;
        std::string s = data.toString();
        return Value(mark_ + std::string(s.rbegin(), s.rend()));
    }
    bool valuesMayBeRemembered() const override { return remembered_; }
    std::optional<Value> valueAsReadBack(const Value& value) const override {
        return readBack_ ? std::optional<Value>(Value(mark_ + *value.asString())) : std::nullopt;
    }
    mutable std::atomic<int> decoded{0};

  private:
    bool remembered_, readBack_;
    std::string mark_;
};

std::shared_ptr<ManagedObjectModel> docModel() {
    auto model = ManagedObjectModel::create();
    auto& doc = model->addEntity("Doc");
    doc.addAttribute("number", AttributeType::Integer64);
    doc.addAttribute("body", AttributeType::Transformable).setValueTransformerName("TestCounting");
    return model;
}

class SQLiteRememberedValuesTest : public testing::SQLiteFileTest {
  protected:
    void TearDown() override { ValueTransformer::setValueTransformer(nullptr, "TestCounting"); }

    std::shared_ptr<CountingTransformer> use(bool remembered, bool readBack, std::string mark = "") {
        auto t = std::make_shared<CountingTransformer>(remembered, readBack, std::move(mark));
        ValueTransformer::setValueTransformer(t, "TestCounting");
        return t;
    }
    static void write(const std::shared_ptr<PersistentStoreCoordinator>& coordinator, int from, int to) {
        auto c = contextOn(coordinator);
        for (int i = from; i < to; ++i) {
            auto doc = c->insertNewObjectForEntityForName("Doc");
            doc->setValue(Value(int64_t{i}), "number");
            doc->setValue(Value("body " + std::to_string(i)), "body");
        }
        ASSERT_EQ(c->save(), nullptr);
    }
    // The bodies of the docs numbered [from, to), read in a fresh context.
    static std::vector<std::string> read(const std::shared_ptr<PersistentStoreCoordinator>& coordinator,
                                         int from, int to) {
        auto c = contextOn(coordinator);
        auto request = testing::makeRequest(
            "Doc",
            Predicate::andPredicate({Predicate::greaterThanOrEqual("number", Value(int64_t{from})),
                                     Predicate::lessThan("number", Value(int64_t{to}))}),
            {SortDescriptor("number", true)});
        std::vector<std::string> bodies;
        for (const auto& doc : fetchAll(c, request))
            bodies.push_back(doc->valueForKey("body").stringValue());
        return bodies;
    }
    static std::vector<std::string> bodies(int from, int to, const std::string& mark = "") {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i)
            out.push_back(mark + "body " + std::to_string(i));
        return out;
    }
};

TEST_F(SQLiteRememberedValuesTest, AValueSavedIsReadBackWithoutDecodingByItsStoreOnly) {
    auto t = use(true, true, "read:");
    auto coordinator = open(docModel());
    write(coordinator, 0, 20);
    // What reading back gives, as the transformer tells it, without decoding.
    EXPECT_EQ(read(coordinator, 0, 20), bodies(0, 20, "read:"));
    EXPECT_EQ(t->decoded, 0);
    // Another coordinator's store on the same file decodes, once per value.
    auto other = open(docModel());
    EXPECT_EQ(read(other, 0, 20), bodies(0, 20, "read:"));
    EXPECT_EQ(read(other, 0, 20), bodies(0, 20, "read:"));
    EXPECT_EQ(t->decoded, 20);
    // Its own saves, of values the first store remembers, change nothing there.
    write(other, 20, 30);
    EXPECT_EQ(read(coordinator, 20, 30), bodies(20, 30, "read:"));
    EXPECT_EQ(t->decoded, 30);
}

TEST_F(SQLiteRememberedValuesTest, OnlyTransformersThatAllowItAreRemembered) {
    auto plain = use(false, true);
    auto coordinator = open(docModel());
    write(coordinator, 0, 10);
    EXPECT_EQ(read(coordinator, 0, 10), bodies(0, 10));
    EXPECT_EQ(read(coordinator, 0, 10), bodies(0, 10));
    EXPECT_EQ(plain->decoded, 20);  // every read decodes

    // Allowed, but unable to tell what a read gives: decoded at the first read only.
    auto untold = use(true, false);
    write(coordinator, 10, 20);
    EXPECT_EQ(read(coordinator, 10, 20), bodies(10, 20));
    EXPECT_EQ(read(coordinator, 10, 20), bodies(10, 20));
    EXPECT_EQ(untold->decoded, 10);
}

TEST_F(SQLiteRememberedValuesTest, ATransformerRegisteredAgainDecodesWhatTheOldOneRemembered) {
    auto old = use(true, true);
    auto coordinator = open(docModel());
    write(coordinator, 0, 5);
    auto replacement = use(true, true, "new:");
    EXPECT_EQ(read(coordinator, 0, 5), bodies(0, 5, "new:"));
    EXPECT_EQ(old->decoded, 0);
    EXPECT_EQ(replacement->decoded, 5);
}

TEST_F(SQLiteRememberedValuesTest, TheOldestValuesAreForgottenPastTheBound) {
    auto t = use(true, true);
    auto coordinator = open(docModel());
    const int count = static_cast<int>(sqlite::RecentTransformables::kMaxEntries) + 100;
    write(coordinator, 0, count);
    EXPECT_EQ(read(coordinator, count - 50, count), bodies(count - 50, count));
    EXPECT_EQ(t->decoded, 0);
    EXPECT_EQ(read(coordinator, 0, 50), bodies(0, 50));
    EXPECT_EQ(t->decoded, 50);

    // The bound in bytes too: a few large values push out the small ones,
    // and one too large to be worth remembering is not kept.
    sqlite::RecentTransformables recent;
    const std::string large(sqlite::RecentTransformables::kMaxBytes / 16 - 4, 'x');
    recent.remember("small", t, Value("small"));
    for (int i = 0; i < 17; ++i)
        recent.remember(large + std::to_string(i), t, Value(i));
    EXPECT_EQ(recent.find("small", *t), nullptr);
    EXPECT_NE(recent.find(large + "16", *t), nullptr);
    EXPECT_LE(recent.size(), 16u);
    recent.remember(large + large, t, Value("too large"));
    EXPECT_EQ(recent.find(large + large, *t), nullptr);
}

}  // namespace
}  // namespace plat::coredata
