#include "platform/coredata/BinaryStore.h"

#include <zlib.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "CoreDataTestSupport.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/foundation/FileManager.h"
#include "support/TempDir.h"

namespace plat::coredata {
namespace {

// Stores strings reversed, so that a test can tell the transformer was used.
class ReversingTransformer : public ValueTransformer {
  public:
    Result<Data> transformedValue(const Value& value) const override {
        if (!value.isString())
            return makeError(CoreDataError, "strings only");
        std::string s = *value.asString();
        return Data::fromString(std::string(s.rbegin(), s.rend()));
    }
    Result<Value> reverseTransformedValue(const Data& data) const override {
        std::string s = data.toString();
        return Value(std::string(s.rbegin(), s.rend()));
    }
};

// The shared test model plus Sample, which has an attribute of every type.
std::shared_ptr<ManagedObjectModel> makeModel(bool withExtraAttribute = false) {
    auto model = testing::makeTestModel();
    auto& s = model->addEntity("Sample");
    s.addAttribute("i16", AttributeType::Integer16);
    s.addAttribute("i32", AttributeType::Integer32);
    s.addAttribute("i64", AttributeType::Integer64);
    s.addAttribute("dec", AttributeType::Decimal);
    s.addAttribute("dbl", AttributeType::Double);
    s.addAttribute("flt", AttributeType::Float);
    s.addAttribute("str", AttributeType::String);
    s.addAttribute("flag", AttributeType::Boolean);
    s.addAttribute("when", AttributeType::Date);
    s.addAttribute("blob", AttributeType::BinaryData);
    s.addAttribute("uuid", AttributeType::UUID);
    s.addAttribute("link", AttributeType::URI);
    s.addAttribute("named", AttributeType::Transformable).setValueTransformerName("TestReversing");
    s.addAttribute("archived", AttributeType::Transformable);
    s.addAttribute("scratch", AttributeType::String).transient(true);
    if (withExtraAttribute)
        s.addAttribute("added", AttributeType::Integer32).setDefaultValue(Value(7));
    return model;
}

class BinaryStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ValueTransformer::setValueTransformer(std::make_shared<ReversingTransformer>(), "TestReversing");
        path = (dir / "store.bin").string();
    }

    struct Opened {
        std::shared_ptr<PersistentStoreCoordinator> coordinator;
        std::shared_ptr<PersistentStore> store;
        std::shared_ptr<ManagedObjectContext> context;
    };
    Result<Opened> open(std::shared_ptr<ManagedObjectModel> model = makeModel(),
                        const Dictionary& options = {}, const std::string& at = "") {
        Opened o;
        o.coordinator = PersistentStoreCoordinator::create(std::move(model));
        auto store = o.coordinator->addPersistentStore(BinaryStoreType, "",
                                                       URL::fileURLWithPath(at.empty() ? path : at), options);
        if (!store)
            return store.error();
        o.store = *store;
        o.context = ManagedObjectContext::create(ConcurrencyType::Confinement);
        o.context->setPersistentStoreCoordinator(o.coordinator);
        return o;
    }
    Opened openOrFail(std::shared_ptr<ManagedObjectModel> model = makeModel(),
                      const Dictionary& options = {}) {
        auto o = open(std::move(model), options);
        EXPECT_TRUE(o) << o.error()->description();
        return o ? *o : Opened{};
    }
    // In primary-key order, which is insertion order here.
    static std::vector<ManagedObjectPtr> all(const Opened& o, const char* entity) {
        FetchRequest request(entity);
        auto result = o.context->executeFetchRequest(request);
        EXPECT_TRUE(result) << result.error()->description();
        return result ? *result : std::vector<ManagedObjectPtr>{};
    }
    std::string bytes() const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void write(const std::string& contents) const {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    }
    // A small store of a few related objects.
    void saveSmallStore() {
        auto o = openOrFail();
        auto calendar = o.context->insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("home"), "name");
        auto task = o.context->insertNewObjectForEntityForName("Task");
        task->setValue(Value("t"), "title");
        task->setObject(calendar, "calendar");
        ASSERT_EQ(o.context->save(), nullptr);
    }

    testsupport::TempDir dir;
    std::string path;
};

std::vector<std::string> texts(const std::vector<ManagedObjectPtr>& objects, const char* key = "text") {
    std::vector<std::string> out;
    for (const auto& o : objects)
        out.push_back(o->valueForKey(key).stringValue());
    return out;
}

Dictionary migrating() {
    Dictionary options;
    options.set(MigratePersistentStoresAutomaticallyOption, Value(true));
    options.set(InferMappingModelAutomaticallyOption, Value(true));
    return options;
}

TEST_F(BinaryStoreTest, EveryAttributeTypeAndRelationshipSurvivesReopening) {
    const auto uuid = *UUID::fromString("0F8FAD5B-D9CB-469F-A165-70867728950E");
    const Data big(std::vector<uint8_t>(20000, 0xAB));
    Array archived{Value("x"), Value(int64_t{1} << 40), UUIDObject::make(uuid),
                   Value(Dictionary{{"k", Value(Data::fromString("v"))}})};
    std::string sampleURI, taskURI, storeID;
    {
        auto o = openOrFail();
        storeID = o.store->identifier();
        auto s = o.context->insertNewObjectForEntityForName("Sample");
        s->setValue(Value(int16_t{-32768}), "i16");
        s->setValue(Value(int32_t{2147483647}), "i32");
        s->setValue(Value(INT64_MIN), "i64");
        s->setValue(Value(Decimal::fromString("-12345678901234567890.123456789")), "dec");
        s->setValue(Value(std::nan("")), "dbl");
        s->setValue(Value(1.5f), "flt");
        s->setValue(Value(std::string("h\xC3\xA9llo\n\0x", 9)), "str");
        s->setValue(Value(true), "flag");
        s->setValue(Value(Date(-1234.5678)), "when");
        s->setValue(Value(big), "blob");
        s->setValue(UUIDObject::make(uuid), "uuid");
        s->setValue(Value(URLObject::make(*URL::URLWithString("https://example.com/a?b=c#d"))), "link");
        s->setValue(Value("forward"), "named");
        s->setValue(Value(archived), "archived");
        s->setValue(Value("not stored"), "scratch");
        auto empty = o.context->insertNewObjectForEntityForName("Sample");  // every value nil
        (void)empty;

        auto calendar = o.context->insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("work"), "name");
        auto task = o.context->insertNewObjectForEntityForName("UrgentTask");
        task->setValue(Value("u"), "uuid");
        task->setValue(Value(3), "level");
        task->setObject(calendar, "calendar");
        auto notes = task->mutableOrderedSetValueForKey("notes");
        for (const char* text : {"c", "a", "b"}) {
            auto note = o.context->insertNewObjectForEntityForName("Note");
            note->setValue(Value(text), "text");
            notes.addObject(note);
        }
        auto tag = o.context->insertNewObjectForEntityForName("Tag");
        tag->mutableSetValueForKey("tasks").addObject(task);
        auto alice = o.context->insertNewObjectForEntityForName("Person");
        auto bob = o.context->insertNewObjectForEntityForName("Person");
        alice->setObject(bob, "partner");
        ASSERT_EQ(o.context->save(), nullptr);
        sampleURI = s->objectID()->URIRepresentation().absoluteString();
        taskURI = task->objectID()->URIRepresentation().absoluteString();
    }
    auto o = openOrFail();
    EXPECT_EQ(o.store->identifier(), storeID);
    auto id = o.coordinator->managedObjectIDForURIRepresentation(sampleURI);
    ASSERT_NE(id, nullptr);
    auto s = o.context->existingObjectWithID(id);
    ASSERT_TRUE(s) << s.error()->description();
    auto v = [&](const char* key) { return (*s)->valueForKey(key); };
    EXPECT_EQ(v("i16"), Value(-32768));
    EXPECT_EQ(v("i16").numberType(), NumberType::Int16);
    EXPECT_EQ(v("i32").rawInt(), 2147483647);
    EXPECT_EQ(v("i32").numberType(), NumberType::Int32);
    EXPECT_EQ(v("i64").rawInt(), INT64_MIN);
    EXPECT_EQ(v("dec"), Value(Decimal::fromString("-12345678901234567890.123456789")));
    EXPECT_TRUE(std::isnan(v("dbl").rawDouble()));
    EXPECT_EQ(v("flt").numberType(), NumberType::Float);
    EXPECT_EQ(v("flt").rawDouble(), 1.5);
    EXPECT_EQ(*v("str").asString(), std::string("h\xC3\xA9llo\n\0x", 9));
    EXPECT_TRUE(v("flag").isBool() && v("flag").rawBool());
    EXPECT_EQ(v("when"), Value(Date(-1234.5678)));
    EXPECT_EQ(*v("blob").asData(), big);
    EXPECT_EQ(v("uuid"), UUIDObject::make(uuid));
    EXPECT_EQ(v("link").asObjectOf<URLObject>()->url().absoluteString(), "https://example.com/a?b=c#d");
    EXPECT_EQ(v("named"), Value("forward"));
    EXPECT_EQ(v("archived"), Value(archived));
    EXPECT_TRUE(v("scratch").isNull());
    auto samples = all(o, "Sample");
    ASSERT_EQ(samples.size(), 2u);
    for (const char* key : {"i16", "dec", "uuid", "link", "named", "archived", "blob"})
        EXPECT_TRUE((samples[0] == *s ? samples[1] : samples[0])->valueForKey(key).isNull()) << key;

    auto task = o.context->existingObjectWithID(o.coordinator->managedObjectIDForURIRepresentation(taskURI));
    ASSERT_TRUE(task);
    EXPECT_EQ((*task)->entity()->name(), "UrgentTask");
    EXPECT_EQ((*task)->valueForKey("level"), Value(3));
    EXPECT_EQ((*task)->objectForKey("calendar")->valueForKey("name"), Value("work"));
    EXPECT_EQ(texts((*task)->objectsForKey("notes")), (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ((*task)->objectsForKey("tags").size(), 1u);
    EXPECT_EQ((*task)->objectForKey("calendar")->objectsForKey("tasks").at(0), *task);
    auto people = all(o, "Person");
    ASSERT_EQ(people.size(), 2u);
    EXPECT_EQ(people[0]->objectForKey("partner"), people[1]);
    EXPECT_EQ(people[1]->objectForKey("partner"), people[0]);
}

TEST_F(BinaryStoreTest, FileCarriesMagicAndReadableMetadata) {
    {
        auto o = openOrFail();
        Dictionary mine = o.store->metadata();
        mine.set("custom", Value(Array{Value(1), Value("two")}));
        o.store->setMetadata(mine);
        o.context->insertNewObjectForEntityForName("Tag");
        ASSERT_EQ(o.context->save(), nullptr);
    }
    std::string contents = bytes();
    ASSERT_GT(contents.size(), 8u);
    EXPECT_EQ(static_cast<uint8_t>(contents[0]), 0x89);  // neither JSON nor SQLite's header
    EXPECT_NE(contents.substr(0, 16), std::string("SQLite format 3\0", 16));
    EXPECT_TRUE(BinaryStore::isBinaryStoreFile(path));
    auto metadata = BinaryStore::metadataForStoreAtPath(path);
    ASSERT_TRUE(metadata) << metadata.error()->description();
    EXPECT_EQ(*metadata->find(StoreTypeKey), Value(BinaryStoreType));
    EXPECT_EQ(*metadata->find("custom"), Value(Array{Value(1), Value("two")}));
    auto o = openOrFail();
    EXPECT_EQ(*metadata->find(StoreUUIDKey), Value(o.store->identifier()));
    auto hashes = metadata->find(StoreModelVersionHashesKey);
    ASSERT_TRUE(hashes && hashes->isDictionary());
    EXPECT_EQ(*hashes->find("Sample")->asData(),
              o.coordinator->managedObjectModel()->entityNamed("Sample")->versionHash());

    // Other files are told apart without being loaded.
    std::ofstream(dir / "event.json") << R"({"a": 1})";
    std::ofstream(dir / "db.sqlite") << std::string("SQLite format 3\0rest", 20);
    for (const char* name : {"event.json", "db.sqlite"}) {
        std::string other = (dir / name).string();
        EXPECT_FALSE(BinaryStore::isBinaryStoreFile(other)) << name;
        auto refused = BinaryStore::metadataForStoreAtPath(other);
        ASSERT_FALSE(refused) << name;
        EXPECT_EQ(refused.error()->code(), FileReadCorruptFileError);
        EXPECT_FALSE(open(makeModel(), {}, other)) << name;
    }
    EXPECT_FALSE(BinaryStore::isBinaryStoreFile((dir / "missing").string()));
    EXPECT_EQ(BinaryStore::metadataForStoreAtPath((dir / "missing").string()).error()->code(),
              FileReadNoSuchFileError);
}

TEST_F(BinaryStoreTest, NewStoresAreWrittenOnAddAndNeedAFileURL) {
    auto o = openOrFail();
    EXPECT_TRUE(BinaryStore::isBinaryStoreFile(path));  // before any save
    EXPECT_TRUE(all(o, "Task").empty());

    auto coordinator = PersistentStoreCoordinator::create(makeModel());
    auto none = coordinator->addPersistentStore(BinaryStoreType, "", std::nullopt);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error()->code(), PersistentStoreOpenError);
    Dictionary readOnly;
    readOnly.set(ReadOnlyPersistentStoreOption, Value(true));
    auto missing = open(makeModel(), readOnly, (dir / "absent.bin").string());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error()->code(), FileReadNoSuchFileError);
    auto unwritable = open(makeModel(), {}, (dir / "no-such-dir" / "s.bin").string());
    ASSERT_FALSE(unwritable);
    EXPECT_EQ(unwritable.error()->code(), PersistentStoreSaveError);

    // An empty file (as temporary-file helpers make) is a new store.
    write("");
    EXPECT_TRUE(open());
}

TEST_F(BinaryStoreTest, ReadOnlyStoresLoadButRefuseToSave) {
    saveSmallStore();
    const std::string before = bytes();
    Dictionary readOnly;
    readOnly.set(ReadOnlyPersistentStoreOption, Value(true));
    auto o = openOrFail(makeModel(), readOnly);
    ASSERT_EQ(all(o, "Task").size(), 1u);
    all(o, "Task")[0]->setValue(Value("changed"), "title");
    EXPECT_NE(o.context->save(), nullptr);
    EXPECT_EQ(bytes(), before);
}

TEST_F(BinaryStoreTest, EveryTruncationAndEveryByteFlipIsRefused) {
    saveSmallStore();
    const std::string whole = bytes();
    for (std::size_t at = 0; at < whole.size(); ++at) {
        std::string flipped = whole;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
        for (const std::string& damaged : {whole.substr(0, at == 0 ? whole.size() - 1 : at), flipped}) {
            write(damaged);
            auto o = open();
            ASSERT_FALSE(o) << "byte " << at << ", " << damaged.size() << " bytes";
            EXPECT_EQ(o.error()->code(), FileReadCorruptFileError) << "byte " << at;
            EXPECT_FALSE(o.error()->localizedDescription().empty());
            EXPECT_EQ(bytes(), damaged) << "a refused file is left alone";
            (void)BinaryStore::metadataForStoreAtPath(path);  // either outcome, but no crash
        }
    }
    write(whole);
    EXPECT_TRUE(open());
}

// The checksums stop random damage before the parser sees it; these cases
// give the parser damaged sections with valid checksums.
std::string section(const std::string& body) {
    std::string out;
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>(static_cast<uint64_t>(body.size()) >> (8 * i));
    const auto crc = static_cast<uint32_t>(
        ::crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>(crc >> (8 * i));
    return out + body;
}

TEST_F(BinaryStoreTest, DamagedSectionsWithValidChecksumsNeverCrash) {
    saveSmallStore();
    const std::string whole = bytes();
    const std::size_t header = 12;
    uint64_t metaLength = 0;
    for (int i = 7; i >= 0; --i)
        metaLength = metaLength << 8 | static_cast<unsigned char>(whole[header + i]);
    const std::string meta = whole.substr(header + 12, metaLength);
    const std::string objects = whole.substr(header + 12 + metaLength + 12);
    ASSERT_EQ(whole, whole.substr(0, header) + section(meta) + section(objects));

    std::mt19937 random(1234);
    std::size_t loaded = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string m = meta, obj = objects;
        std::string& target = round % 4 == 0 ? m : obj;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            std::size_t at = random() % target.size();
            switch (random() % 3) {
                case 0:
                    target[at] = static_cast<char>(random());
                    break;
                case 1:
                    target.erase(at, 1 + random() % 4);
                    break;
                default:
                    target.insert(at, 1, static_cast<char>(random() % 3 == 0 ? 0xFF : random()));
            }
            if (target.empty())
                target = "\x01";
        }
        write(whole.substr(0, header) + section(m) + section(obj));
        auto o = open();
        if (o) {
            ++loaded;  // a change that still describes a valid store: it must be usable
            all(*o, "Task");
            all(*o, "Calendar");
        } else {
            EXPECT_TRUE(o.error()->code() == FileReadCorruptFileError ||
                        o.error()->code() == PersistentStoreIncompatibleVersionHashError)
                << o.error()->description();
        }
    }
    EXPECT_LT(loaded, 3000u);
}

TEST_F(BinaryStoreTest, StoreUUIDsThatCannotStandInAURIAreRefused) {
    saveSmallStore();
    const std::string whole = bytes();
    const std::size_t header = 12;
    uint64_t metaLength = 0;
    for (int i = 7; i >= 0; --i)
        metaLength = metaLength << 8 | static_cast<unsigned char>(whole[header + i]);
    const std::string meta = whole.substr(header + 12, metaLength);
    const std::string objects = whole.substr(header + 12 + metaLength + 12);
    const std::string uuid = openOrFail().store->identifier();
    ASSERT_EQ(uuid.size(), 36u);
    // Same length, so every other byte of the section stays valid.
    for (const char* bad : {"has space and more characters 123456", "slash/in/the/identifier/0123456789ab",
                            "query?and#fragment%in-it-0123456789a"}) {
        SCOPED_TRACE(bad);
        std::string m = meta;
        const auto at = m.find(uuid);
        ASSERT_NE(at, std::string::npos);
        m.replace(at, uuid.size(), bad);
        write(whole.substr(0, header) + section(m) + section(objects));
        auto o = open();
        ASSERT_FALSE(o);
        EXPECT_EQ(o.error()->code(), FileReadCorruptFileError) << o.error()->description();
    }
}

TEST_F(BinaryStoreTest, AFailedWriteLeavesFileAndStoreAsBefore) {
    std::filesystem::create_directory(dir / "sub");
    path = (dir / "sub" / "store.bin").string();
    saveSmallStore();
    auto o = openOrFail();
    auto task = all(o, "Task").at(0);
    task->setValue(Value("changed"), "title");
    o.context->insertNewObjectForEntityForName("Tag");
    const std::string before = bytes();
    std::filesystem::rename(dir / "sub", dir / "moved");  // the next write cannot create its file

    auto error = o.context->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), PersistentStoreSaveError);
    EXPECT_TRUE(o.context->hasChanges());
    auto other = ManagedObjectContext::create(ConcurrencyType::Confinement);
    other->setPersistentStoreCoordinator(o.coordinator);
    auto stored = other->executeFetchRequest(FetchRequest("Task"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->at(0)->valueForKey("title"), Value("t"));  // the store's rows did not change
    EXPECT_EQ(other->countForFetchRequest(FetchRequest("Tag")).value(), 0u);

    std::filesystem::rename(dir / "moved", dir / "sub");
    EXPECT_EQ(bytes(), before);
    ASSERT_EQ(o.context->save(), nullptr);
    auto reopened = openOrFail();
    EXPECT_EQ(all(reopened, "Task").at(0)->valueForKey("title"), Value("changed"));
    EXPECT_EQ(all(reopened, "Tag").size(), 1u);
}

TEST_F(BinaryStoreTest, ReservedPrimaryKeysAreNeverReused) {
    int64_t reserved = 0;
    {
        auto o = openOrFail();
        auto tag = o.context->insertNewObjectForEntityForName("Tag");
        ASSERT_EQ(o.context->obtainPermanentIDsForObjects({tag}), nullptr);
        reserved = tag->objectID()->primaryKey();
        // Never saved: the process "ends" here.
    }
    auto o = openOrFail();
    auto tag = o.context->insertNewObjectForEntityForName("Tag");
    ASSERT_EQ(o.context->save(), nullptr);
    EXPECT_GT(tag->objectID()->primaryKey(), reserved);
}

TEST_F(BinaryStoreTest, OtherModelVersionsNeedTheMigrationOptions) {
    {
        auto o = openOrFail();
        auto s = o.context->insertNewObjectForEntityForName("Sample");
        s->setValue(Value("kept"), "str");
        s->setValue(Value(5), "i32");
        ASSERT_EQ(o.context->save(), nullptr);
    }
    const std::string before = bytes();
    auto refused = open(makeModel(true));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error()->code(), PersistentStoreIncompatibleVersionHashError);
    EXPECT_EQ(bytes(), before);

    auto o = open(makeModel(true), migrating());
    ASSERT_TRUE(o) << o.error()->description();
    auto samples = all(*o, "Sample");
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0]->valueForKey("str"), Value("kept"));
    EXPECT_EQ(samples[0]->valueForKey("added"), Value(7));  // new attributes take their default
    // The file now matches the new model, which opens it without options.
    o = Opened{};
    EXPECT_TRUE(open(makeModel(true)));

    // Back to the old model: the extra attribute is dropped.
    auto back = open(makeModel(), migrating());
    ASSERT_TRUE(back) << back.error()->description();
    EXPECT_EQ(all(*back, "Sample").at(0)->valueForKey("i32"), Value(5));
}

TEST_F(BinaryStoreTest, MigrationRefusesValuesThatDoNotFitANewType) {
    {
        auto o = openOrFail();
        o.context->insertNewObjectForEntityForName("Sample")->setValue(Value("text"), "str");
        ASSERT_EQ(o.context->save(), nullptr);
    }
    auto model = testing::makeTestModel();
    model->addEntity("Sample").addAttribute("str", AttributeType::Integer64);
    auto o = open(model, migrating());
    ASSERT_FALSE(o);
    EXPECT_EQ(o.error()->code(), MigrationMissingMappingModelError);
}

TEST_F(BinaryStoreTest, FetchesAcrossSeveralStoresAreOrderedAndWindowedAsOne) {
    const std::string first = (dir / "first.bin").string(), second = (dir / "second.bin").string();
    for (const auto& [at, titles] : {std::pair{first, std::vector<const char*>{"b", "d"}},
                                     std::pair{second, std::vector<const char*>{"a", "c"}}}) {
        auto o = open(makeModel(), {}, at);
        ASSERT_TRUE(o);
        for (const char* title : titles)
            o->context->insertNewObjectForEntityForName("Task")->setValue(Value(title), "title");
        ASSERT_EQ(o->context->save(), nullptr);
    }
    auto o = open(makeModel(), {}, first);
    ASSERT_TRUE(o);
    ASSERT_TRUE(o->coordinator->addPersistentStore(BinaryStoreType, "", URL::fileURLWithPath(second)));
    FetchRequest request("Task");
    request.sortDescriptors = {SortDescriptor("title", true)};
    auto titles = [&] {
        auto result = o->context->executeFetchRequest(request);
        EXPECT_TRUE(result);
        return texts(*result, "title");
    };
    EXPECT_EQ(titles(), (std::vector<std::string>{"a", "b", "c", "d"}));
    request.fetchOffset = 1;
    request.fetchLimit = 2;
    EXPECT_EQ(titles(), (std::vector<std::string>{"b", "c"}));
}

TEST_F(BinaryStoreTest, MissingTransformerIsAClearError) {
    {
        auto o = openOrFail();
        o.context->insertNewObjectForEntityForName("Sample")->setValue(Value("x"), "named");
        ASSERT_EQ(o.context->save(), nullptr);
    }
    ValueTransformer::setValueTransformer(nullptr, "TestReversing");
    auto o = open();
    ASSERT_FALSE(o);
    EXPECT_NE(o.error()->localizedDescription().find("TestReversing"), std::string::npos);
}

// Deleting an object that a relationship without inverse still names leaves
// a file that loads: the to-many forgets the member (as the SQLite store's
// join tables do) and the to-one reads as nil.
TEST_F(BinaryStoreTest, DeletingAnObjectNamedWithoutInverseKeepsTheFileReadable) {
    {
        auto o = openOrFail();
        auto vault = o.context->insertNewObjectForEntityForName("Vault");
        auto guardian = o.context->insertNewObjectForEntityForName("Person");
        auto kept = o.context->insertNewObjectForEntityForName("Note");
        auto gone = o.context->insertNewObjectForEntityForName("Note");
        kept->setValue(Value("kept"), "text");
        vault->setObject(guardian, "guard");
        vault->mutableSetValueForKey("items").addObject(kept);
        vault->mutableSetValueForKey("items").addObject(gone);
        ASSERT_EQ(o.context->save(), nullptr);
        o.context->deleteObject(gone);
        o.context->deleteObject(guardian);
        ASSERT_EQ(o.context->save(), nullptr);
        // The store in memory forgets the deleted member at once.
        auto fresh = ManagedObjectContext::create(ConcurrencyType::Confinement);
        fresh->setPersistentStoreCoordinator(o.coordinator);
        auto vaults = fresh->executeFetchRequest(FetchRequest("Vault"));
        ASSERT_TRUE(vaults && vaults->size() == 1u);
        EXPECT_EQ(texts((*vaults)[0]->objectsForKey("items")), std::vector<std::string>{"kept"});
    }
    auto o = open();
    ASSERT_TRUE(o) << o.error()->description();
    auto vaults = all(*o, "Vault");
    ASSERT_EQ(vaults.size(), 1u);
    EXPECT_EQ(texts(vaults[0]->objectsForKey("items")), std::vector<std::string>{"kept"});
    EXPECT_EQ(vaults[0]->objectForKey("guard"), nullptr);
}

// The file is rewritten whole from one coordinator's copy: a second
// coordinator on the same file must not write over saves it never read.
TEST_F(BinaryStoreTest, ASecondCoordinatorCannotOverwriteSavesItNeverRead) {
    auto first = openOrFail();
    auto second = openOrFail();
    first.context->insertNewObjectForEntityForName("Tag")->setValue(Value("first"), "name");
    ASSERT_EQ(first.context->save(), nullptr);
    second.context->insertNewObjectForEntityForName("Tag")->setValue(Value("second"), "name");
    auto error = second.context->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), PersistentStoreSaveError);
    // The first coordinator goes on saving; a reopened store has its work.
    first.context->insertNewObjectForEntityForName("Tag")->setValue(Value("again"), "name");
    ASSERT_EQ(first.context->save(), nullptr);
    auto reopened = openOrFail();
    auto tags = all(reopened, "Tag");
    std::vector<std::string> names = texts(tags, "name");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"again", "first"}));
}

}  // namespace
}  // namespace plat::coredata
