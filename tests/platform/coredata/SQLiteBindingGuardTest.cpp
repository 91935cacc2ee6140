// Guards for values handed to SQLite without its copy: a save's text, data,
// UUID and transformed values (grouped inserts, single inserts and updates of
// the changed columns), a fetch's bound values and the metadata's bytes. The
// bytes in the store file must be those a copying bind stores (the values'
// own bytes, and the transformer's encoding), and fetches must find what a
// filter by hand over every row finds.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/foundation/UUID.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;

constexpr const char* kTransformer = "TestBindingBytes";

// Text to bytes and back, the bytes tagged so that every encoding is a new
// buffer of its own length.
class TaggingTransformer : public ValueTransformer {
  public:
    Result<Data> transformedValue(const Value& value) const override {
        const std::string* text = value.asString();
        return Data::fromString("<" + (text ? *text : std::string()) + ">");
    }
    Result<Value> reverseTransformedValue(const Data& data) const override {
        const std::string bytes = data.toString();
        if (bytes.size() < 2)
            return Value();
        return Value(bytes.substr(1, bytes.size() - 2));
    }
};

std::shared_ptr<ManagedObjectModel> bindingModel() {
    auto model = ManagedObjectModel::create();
    auto& e = model->addEntity("Sample");
    e.addAttribute("n", AttributeType::Integer64).indexed(true);
    e.addAttribute("text", AttributeType::String);
    e.addAttribute("blob", AttributeType::BinaryData);
    e.addAttribute("uuid", AttributeType::UUID);
    e.addAttribute("tagged", AttributeType::Transformable).setValueTransformerName(kTransformer);
    e.addAttribute("archived", AttributeType::Transformable);
    e.addAttribute("dbl", AttributeType::Double);
    return model;
}

// One row's values, by attribute name (absent: nil).
using Row = std::map<std::string, Value>;

Value uuidValue(std::mt19937& random) {
    UUID::Bytes bytes{};
    for (auto& b : bytes)
        b = static_cast<uint8_t>(random());
    return UUIDObject::make(UUID::fromBytes(bytes));
}

std::string textOf(std::mt19937& random, std::size_t length) {
    std::string text(length, ' ');
    for (char& c : text)
        c = static_cast<char>('a' + random() % 26);
    return text;
}

// Rows of every length class: empty text and data, long text and data (a few
// pages), nils, NaN; no two rows alike.
Row makeRow(std::mt19937& random, int64_t n) {
    Row row;
    row["n"] = Value(n);
    const std::size_t lengths[] = {0, 1, 7, 16, 40, 300, 5000};
    const auto length = [&] { return lengths[random() % std::size(lengths)]; };
    if (n % 7 != 3)
        row["text"] = Value(std::to_string(n) + ":" + textOf(random, length()));
    if (n % 5 != 2) {
        const std::string bytes = n % 9 == 0 ? std::string() : std::to_string(n) + textOf(random, length());
        row["blob"] = Value(Data::fromString(bytes));
    }
    if (n % 4 != 1)
        row["uuid"] = uuidValue(random);
    if (n % 6 != 5)
        row["tagged"] = Value(std::to_string(n) + textOf(random, length()));
    if (n % 3 != 0)
        row["archived"] = Value(Array{Value(n), Value(textOf(random, length()))});
    if (n % 8 == 4)
        row["dbl"] = Value(std::numeric_limits<double>::quiet_NaN());
    else if (n % 8 != 6)
        row["dbl"] = Value(static_cast<double>(n) / 4);
    return row;
}

// What a copying bind stores for a value: the value's own bytes or its
// encoding; nullopt for NULL.
std::optional<std::string> storedBytes(const AttributeDescription& a, const Value& v) {
    if (v.isNull())
        return std::nullopt;
    switch (a.attributeType()) {
        case AttributeType::String:
            return *v.asString();
        case AttributeType::BinaryData:
            return v.asData()->toString();
        case AttributeType::UUID: {
            const auto& bytes = v.asObjectOf<UUIDObject>()->uuid().bytes();
            return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
        case AttributeType::Transformable: {
            auto data = encodeTransformable(v, a.valueTransformerName());
            EXPECT_TRUE(data);
            return data ? std::optional<std::string>(data->toString()) : std::nullopt;
        }
        default:
            ADD_FAILURE() << "not a byte column: " << a.name();
            return std::nullopt;
    }
}

// Reads the byte columns of every row straight from the file, by n.
std::map<int64_t, std::map<std::string, std::optional<std::string>>> bytesInFile(const std::string& path) {
    static const std::vector<std::string> columns = {"text", "blob", "uuid", "tagged", "archived"};
    std::map<int64_t, std::map<std::string, std::optional<std::string>>> out;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::string sql = "SELECT Zn";
    for (const auto& c : columns)
        sql += ", Z" + c;
    sql += " FROM Z_Sample";
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (s && sqlite3_step(s) == SQLITE_ROW) {
        auto& row = out[sqlite3_column_int64(s, 0)];
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const int at = static_cast<int>(i) + 1;
            if (sqlite3_column_type(s, at) == SQLITE_NULL) {
                row[columns[i]] = std::nullopt;
                continue;
            }
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, at));
            row[columns[i]] =
                std::string(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(s, at)));
        }
    }
    (void)sqlite3_finalize(s);
    (void)sqlite3_close(db);
    return out;
}

void expectFileHolds(const std::string& path, const ManagedObjectModel& model,
                     const std::map<int64_t, Row>& rows) {
    const EntityDescription* entity = model.entityNamed("Sample");
    auto stored = bytesInFile(path);
    ASSERT_EQ(stored.size(), rows.size());
    for (const auto& [n, row] : rows) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(stored.count(n));
        for (const auto& [name, bytes] : stored[n]) {
            const auto* a = static_cast<const AttributeDescription*>(entity->propertyNamed(name));
            auto it = row.find(name);
            EXPECT_EQ(bytes, storedBytes(*a, it == row.end() ? Value() : it->second)) << name;
        }
    }
}

// Reads every row through a new coordinator: each value as it was set.
void expectReadBack(const std::shared_ptr<ManagedObjectContext>& context,
                    const std::map<int64_t, Row>& rows) {
    auto request = makeRequest("Sample", nullptr, {SortDescriptor("n")});
    auto found = context->executeFetchRequest(request);
    ASSERT_TRUE(found) << found.error()->description();
    ASSERT_EQ(found->size(), rows.size());
    auto it = rows.begin();
    for (const auto& object : *found) {
        SCOPED_TRACE(it->first);
        for (const char* name : {"n", "text", "blob", "uuid", "tagged", "archived", "dbl"}) {
            auto expected = it->second.find(name);
            const Value want = expected == it->second.end() ? Value() : expected->second;
            const Value got = object->valueForKey(name);
            if (want.isNumber() && std::isnan(want.doubleValue()))
                EXPECT_TRUE(got.isNumber() && std::isnan(got.doubleValue())) << name;
            else
                EXPECT_EQ(got, want) << name;
        }
        ++it;
    }
}

class SQLiteBindingGuardTest : public testing::SQLiteFileTest {
  public:
    void SetUp() override {
        SQLiteFileTest::SetUp();
        ValueTransformer::setValueTransformer(std::make_shared<TaggingTransformer>(), kTransformer);
    }
    void TearDown() override { ValueTransformer::setValueTransformer(nullptr, kTransformer); }

    void setAll(const ManagedObjectPtr& object, const Row& row) {
        for (const char* name : {"n", "text", "blob", "uuid", "tagged", "archived", "dbl"}) {
            auto it = row.find(name);
            object->setValue(it == row.end() ? Value() : it->second, name);
        }
    }
};

TEST_F(SQLiteBindingGuardTest, SavedRowsHoldTheBytesACopyingBindStores) {
    auto model = bindingModel();
    std::mt19937 random(14300);
    std::map<int64_t, Row> rows;
    auto coordinator = open(model);
    auto context = contextOn(coordinator);
    // Saves of 1, 2, 13 and 61 rows: single inserts, full groups and a remainder.
    int64_t next = 0;
    for (int count : {1, 2, 13, 61}) {
        for (int i = 0; i < count; ++i, ++next) {
            rows[next] = makeRow(random, next);
            setAll(context->insertNewObjectForEntityForName("Sample"), rows[next]);
        }
        ASSERT_EQ(context->save(), nullptr);
        expectFileHolds(path(), *model, rows);
    }
    // Updates: a few columns of some rows (partial updates), all of others.
    auto all = fetchAll(context, makeRequest("Sample", nullptr, {SortDescriptor("n")}));
    ASSERT_EQ(all.size(), rows.size());
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        for (const auto& object : all) {
            const int64_t n = object->valueForKey("n").longLongValue();
            if ((n + round) % 3 != 0)
                continue;
            Row fresh = makeRow(random, n);
            if ((n + round) % 2 == 0) {
                for (const char* name : {"blob", "tagged"}) {
                    rows[n][name] = fresh.count(name) ? fresh[name] : Value();
                    object->setValue(rows[n][name], name);
                }
            } else {
                rows[n] = fresh;
                setAll(object, fresh);
            }
        }
        ASSERT_EQ(context->save(), nullptr);
        expectFileHolds(path(), *model, rows);
    }
    expectReadBack(contextOn(open(model)), rows);
}

// A predicate's values bound in place: results equal to evaluating the
// predicate in memory on every row, whatever the predicate (values of every
// byte column, lists, parts SQL cannot take, which leave their values bound
// to nothing), and the same shape fetched again with other values.
TEST_F(SQLiteBindingGuardTest, FetchesFindWhatAFilterByHandFinds) {
    auto model = bindingModel();
    std::mt19937 random(14301);
    std::vector<Row> rows;
    {
        auto context = contextOn(open(model));
        for (int64_t n = 0; n < 90; ++n) {
            rows.push_back(makeRow(random, n));
            setAll(context->insertNewObjectForEntityForName("Sample"), rows.back());
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto context = contextOn(open(model));
    auto everything = fetchAll(context, makeRequest("Sample"));
    ASSERT_EQ(everything.size(), rows.size());
    auto valueOf = [&](const char* name) {
        for (int tries = 0; tries < 20; ++tries) {
            const Row& row = rows[random() % rows.size()];
            if (auto it = row.find(name); it != row.end())
                return it->second;
        }
        return Value();
    };
    auto longText = [&] { return Value(textOf(random, 1 + random() % 400)); };
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        PredicatePtr predicate;
        switch (round % 8) {
            case 0:
                predicate = Predicate::equal("text", round % 16 == 0 ? longText() : valueOf("text"));
                break;
            case 1:
                predicate = Predicate::equal("blob", valueOf("blob"));
                break;
            case 2:
                predicate = Predicate::equal("uuid", valueOf("uuid"));
                break;
            case 3: {
                Array list;
                for (int i = 0; i < 1 + round % 23; ++i)
                    list.push_back(i % 4 == 3 ? longText() : valueOf("text"));
                predicate = Predicate::in("text", Value(list));
                break;
            }
            case 4:
                // A part SQL leaves to memory (the transformed value) beside
                // one it binds.
                predicate = Predicate::orPredicate({Predicate::equal("text", valueOf("text")),
                                                    Predicate::equal("tagged", valueOf("tagged"))});
                break;
            case 5:
                predicate = Predicate::andPredicate(
                    {Predicate::notEqual("blob", valueOf("blob")),
                     Predicate::orPredicate({Predicate::equal("uuid", valueOf("uuid")),
                                             Predicate::equal("archived", valueOf("archived"))}),
                     Predicate::greaterThan("n", Value(int64_t(random() % 90)))});
                break;
            case 6:
                predicate = Predicate::beginsWith("text", std::to_string(random() % 90));
                break;
            default:
                predicate = Predicate::andPredicate(
                    {Predicate::equal("text", valueOf("text")), Predicate::equal("blob", valueOf("blob"))});
                break;
        }
        std::set<int64_t> expected;
        for (const auto& object : everything)
            if (predicate->evaluateWithObject(Value(ObjectPtr(object))))
                expected.insert(object->valueForKey("n").longLongValue());
        auto request = makeRequest("Sample", predicate);
        std::set<int64_t> found;
        for (const auto& object : fetchAll(context, request))
            found.insert(object->valueForKey("n").longLongValue());
        EXPECT_EQ(found, expected) << predicate->predicateFormat();
        auto count = context->countForFetchRequest(request);
        ASSERT_TRUE(count);
        EXPECT_EQ(*count, expected.size());
    }
}

// The metadata's property list is bound in place: what a save writes (with a
// row) and what a metadata write alone writes read back from the file as set.
TEST_F(SQLiteBindingGuardTest, MetadataWrittenWithoutACopyReadsBackFromTheFile) {
    auto model = bindingModel();
    auto coordinator = open(model);
    auto store = coordinator->persistentStores().front();
    auto context = contextOn(coordinator);
    std::mt19937 random(14302);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        Dictionary metadata = coordinator->metadataForPersistentStore(store);
        metadata.set("bytes", Value(Data::fromString(textOf(random, 1 + random() % 6000))));
        metadata.set("round", Value(int64_t{round}));
        if (round % 2 == 0) {
            store->setMetadata(metadata);
            setAll(context->insertNewObjectForEntityForName("Sample"), makeRow(random, round));
            ASSERT_EQ(context->save(), nullptr);
        } else {
            ASSERT_EQ(coordinator->setMetadata(metadata, store), nullptr);
        }
        auto stored = PersistentStoreCoordinator::metadataForPersistentStoreOfType(SQLiteStoreType, url());
        ASSERT_TRUE(stored) << stored.error()->description();
        EXPECT_EQ(stored->find("bytes") ? *stored->find("bytes") : Value(), *metadata.find("bytes"));
        EXPECT_EQ(*stored, coordinator->metadataForPersistentStore(store));
    }
}

}  // namespace
}  // namespace plat::coredata
