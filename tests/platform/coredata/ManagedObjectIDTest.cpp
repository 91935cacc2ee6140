#include "platform/coredata/ManagedObjectID.h"

#include <gtest/gtest.h>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/InMemoryStore.h"
#include "platform/coredata/KeyValueCoding.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UUIDObject.h"

namespace plat::coredata {
namespace {

class ManagedObjectIDTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model = ManagedObjectModel::create();
        model->addEntity("My Entity/1");
        model->addEntity("Plain");
        ASSERT_EQ(model->finalize(), nullptr);
        store = std::make_shared<InMemoryStore>(std::nullopt, "", Dictionary());
        ASSERT_EQ(store->load(model), nullptr);
    }
    std::shared_ptr<ManagedObjectModel> model;
    std::shared_ptr<InMemoryStore> store;
};

TEST_F(ManagedObjectIDTest, URIsRoundTripAndEncodeEntityNames) {
    auto id = store->objectIDFor(model->entityNamed("My Entity/1"), 42);
    URL uri = id->URIRepresentation();
    EXPECT_EQ(uri.absoluteString(), "x-objectstore://" + store->identifier() + "/My%20Entity%2F1/p42");
    auto parts = parseObjectIDURI(uri);
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->entityName, "My Entity/1");
    EXPECT_EQ(parts->storeIdentifier, store->identifier());
    EXPECT_EQ(parts->key, 42);
    EXPECT_FALSE(parts->temporary);

    auto temporary = ManagedObjectID::makeTemporary(model->entityForName("Plain"));
    auto tparts = parseObjectIDURI(temporary->URIRepresentation());
    ASSERT_TRUE(tparts);
    EXPECT_TRUE(tparts->temporary);
    EXPECT_TRUE(tparts->storeIdentifier.empty());
}

TEST_F(ManagedObjectIDTest, EqualityFollowsStoreEntityAndKey) {
    auto a = store->objectIDFor(model->entityNamed("Plain"), 1);
    auto b = store->objectIDFor(model->entityNamed("Plain"), 1);
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());
    EXPECT_EQ(Value(ObjectPtr(a)), Value(ObjectPtr(b)));
    EXPECT_FALSE(a->isEqual(*store->objectIDFor(model->entityNamed("Plain"), 2)));
    EXPECT_FALSE(a->isEqual(*store->objectIDFor(model->entityNamed("My Entity/1"), 1)));
    auto other = std::make_shared<InMemoryStore>(std::nullopt, "", Dictionary());
    ASSERT_EQ(other->load(model), nullptr);
    EXPECT_FALSE(a->isEqual(*other->objectIDFor(model->entityNamed("Plain"), 1)));
    auto t1 = ManagedObjectID::makeTemporary(model->entityForName("Plain"));
    auto t2 = ManagedObjectID::makeTemporary(model->entityForName("Plain"));
    EXPECT_FALSE(t1->isEqual(*t2));
    EXPECT_TRUE(t1->isTemporaryID());
    EXPECT_EQ(t1->persistentStore(), nullptr);
    EXPECT_EQ(a->persistentStore(), store);
    // Comparison through key-value coding treats an ID as itself.
    EXPECT_EQ(comparisonValue(Value(ObjectPtr(a))), Value(ObjectPtr(b)));

    // The typed comparison agrees with isEqual, also for an equal entity
    // name of another model (the same row opened through two models).
    auto model2 = ManagedObjectModel::create();
    model2->addEntity("Plain");
    ASSERT_EQ(model2->finalize(), nullptr);
    auto fromOtherModel = ManagedObjectID::makePermanent(model2->entityForName("Plain"), store, 1);
    auto temporaryOne = std::make_shared<const ManagedObjectID>(
        model->entityForName("Plain"), std::weak_ptr<PersistentStore>(), "", 1, true);
    // Made apart from the store, with a copy of its identifier.
    auto copied = std::make_shared<const ManagedObjectID>(model->entityForName("Plain"), store,
                                                          store->identifier(), 1, false);
    std::vector<ManagedObjectIDPtr> ids = {a,
                                           copied,
                                           b,
                                           store->objectIDFor(model->entityNamed("Plain"), 2),
                                           t1,
                                           t2,
                                           other->objectIDFor(model->entityNamed("Plain"), 1),
                                           fromOtherModel,
                                           temporaryOne};
    for (const auto& x : ids) {
        for (const auto& y : ids) {
            EXPECT_EQ(x->isEqualID(*y), x->isEqual(*y)) << x->description() << " vs " << y->description();
            EXPECT_EQ(ObjectIDEqual()(x, y), x->isEqual(*y));
            if (x->isEqualID(*y)) {
                EXPECT_EQ(x->hash(), y->hash());
            }
        }
    }
    EXPECT_TRUE(a->isEqualID(*fromOtherModel));
    EXPECT_TRUE(a->isEqualID(*copied));
    EXPECT_FALSE(a->isEqualID(*temporaryOne));
}

// An object of a class of its own, to stand for any other object a value
// may hold.
class OtherObject : public Object {
  public:
    std::string description() const override { return "other"; }
    bool isEqual(const Object& other) const override { return this == &other; }
    std::size_t hash() const override { return 7; }
    std::string className() const override { return "Other"; }
};

// The ID and object a value holds, told apart by their exact class, are what
// dynamic casts answer, for values of every kind; and an ID equals only IDs.
TEST_F(ManagedObjectIDTest, IDsAndObjectsInValuesAreWhatDynamicCastsFind) {
    auto coordinator = PersistentStoreCoordinator::create(model);
    auto added = coordinator->addPersistentStore(InMemoryStoreType, "", std::nullopt, {});
    ASSERT_TRUE(added) << added.error()->description();
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    auto inserted = context->insertNewObjectForEntityForName("Plain");
    ASSERT_EQ(context->save(), nullptr);
    auto unsaved = context->insertNewObjectForEntityForName("Plain");

    auto permanent = store->objectIDFor(model->entityNamed("Plain"), 3);
    auto copied = std::make_shared<const ManagedObjectID>(model->entityForName("Plain"), store,
                                                          store->identifier(), 3, false);
    std::vector<Value> values = {
        Value(),
        Value(int64_t{3}),
        Value(true),
        Value(2.5),
        Value("p3"),
        Value(Data("x", 1)),
        Value(Array{Value(ObjectPtr(permanent))}),
        Value(ObjectPtr(permanent)),
        Value(ObjectPtr(copied)),
        Value(ObjectPtr(ManagedObjectID::makeTemporary(model->entityForName("Plain")))),
        Value(ObjectPtr(inserted->objectID())),
        Value(ObjectPtr(unsaved->objectID())),
        Value(ObjectPtr(inserted)),
        Value(ObjectPtr(unsaved)),
        UUIDObject::make(UUID()),
        Value(ObjectPtr(URLObject::make(URL::fileURLWithPath("/tmp/p3")))),
        Value(ObjectPtr(std::make_shared<const OtherObject>()))};
    std::size_t ids = 0;
    std::size_t objects = 0;
    for (const auto& v : values) {
        const auto byCast =
            v.isObject() ? std::dynamic_pointer_cast<const ManagedObjectID>(v.asObject()) : nullptr;
        const auto id = ManagedObjectID::fromValue(v);
        EXPECT_EQ(id, byCast) << v.description();
        ids += id != nullptr;
        const auto objectByCast =
            v.isObject() ? std::dynamic_pointer_cast<const ManagedObject>(v.asObject()) : nullptr;
        const auto object = ManagedObject::fromValue(v);
        EXPECT_EQ(object, objectByCast) << v.description();
        objects += object != nullptr;
        if (!v.isObject())
            continue;
        for (const auto& w : values) {
            if (!w.isObject())
                continue;
            const auto other = ManagedObjectID::fromValue(w);
            EXPECT_EQ(permanent->isEqual(*w.asObject()), other && permanent->isEqualID(*other))
                << w.description();
        }
    }
    EXPECT_EQ(ids, 5u);
    EXPECT_EQ(objects, 2u);
    EXPECT_TRUE(permanent->isEqual(*copied));
}

TEST_F(ManagedObjectIDTest, IDsShareTheirStoresIdentifierAndOutliveTheStore) {
    // One copy of the identifier per entity of the store, not one per ID.
    auto a = store->objectIDFor(model->entityNamed("Plain"), 1);
    auto b = store->objectIDFor(model->entityNamed("Plain"), 2);
    auto c = store->objectIDFor(model->entityNamed("My Entity/1"), 2);
    EXPECT_EQ(&a->storeIdentifier(), &b->storeIdentifier());
    EXPECT_EQ(c->storeIdentifier(), a->storeIdentifier());
    EXPECT_EQ(&c->storeIdentifier(),
              &store->objectIDFor(model->entityNamed("My Entity/1"), 3)->storeIdentifier());
    const std::string identifier = store->identifier();
    const std::size_t hash = a->hash();
    std::weak_ptr<InMemoryStore> gone = store;
    store.reset();
    ASSERT_TRUE(gone.expired());
    EXPECT_EQ(a->persistentStore(), nullptr);
    EXPECT_EQ(a->storeIdentifier(), identifier);
    EXPECT_EQ(a->hash(), hash);
    EXPECT_FALSE(a->isTemporaryID());
    EXPECT_EQ(a->URIRepresentation().absoluteString(), "x-objectstore://" + identifier + "/Plain/p1");
}

TEST_F(ManagedObjectIDTest, IDsKeepTheirEntityAndModelAlive) {
    // The entity lives in the record IDs share: an ID alone keeps it.
    auto id = store->objectIDFor(model->entityNamed("Plain"), 7);
    auto temporary = ManagedObjectID::makeTemporary(model->entityForName("My Entity/1"));
    auto otherModel = ManagedObjectModel::create();
    otherModel->addEntity("Plain");
    ASSERT_EQ(otherModel->finalize(), nullptr);
    auto foreign = ManagedObjectID::makePermanent(otherModel->entityForName("Plain"), store, 7);
    std::weak_ptr<ManagedObjectModel> modelGone = model, otherGone = otherModel;
    store.reset();
    model.reset();
    otherModel.reset();
    EXPECT_FALSE(modelGone.expired());
    EXPECT_FALSE(otherGone.expired());
    EXPECT_EQ(id->entity()->name(), "Plain");
    EXPECT_EQ(id->sharedEntity()->managedObjectModel(), modelGone.lock().get());
    EXPECT_EQ(temporary->entity()->name(), "My Entity/1");
    EXPECT_EQ(foreign->entity()->managedObjectModel(), otherGone.lock().get());
    EXPECT_TRUE(id->isEqualID(*foreign));
    EXPECT_EQ(id->hash(), foreign->hash());
    id.reset();
    temporary.reset();
    EXPECT_TRUE(modelGone.expired());
    foreign.reset();
    EXPECT_TRUE(otherGone.expired());
}

TEST_F(ManagedObjectIDTest, NewObjectsIDsTurnPermanentIntoTheStoresRecord) {
    auto coordinator = PersistentStoreCoordinator::create(model);
    ASSERT_TRUE(coordinator->addPersistentStore(InMemoryStoreType, "", std::nullopt));
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    auto first = context->insertNewObjectForEntityForName("Plain");
    auto second = context->insertNewObjectForEntityForName("Plain");
    auto third = context->insertNewObjectForEntityForName("My Entity/1");
    EXPECT_TRUE(first->objectID()->isTemporaryID());
    EXPECT_FALSE(first->objectID()->isEqualID(*second->objectID()));
    EXPECT_EQ(third->objectID()->entity()->name(), "My Entity/1");
    ASSERT_EQ(context->save(), nullptr);
    auto saved = coordinator->persistentStores().at(0);
    for (const auto& object : {first, second, third}) {
        const auto& id = *object->objectID();
        EXPECT_FALSE(id.isTemporaryID());
        EXPECT_EQ(id.persistentStore(), saved);
        // The same record as the store's IDs of the entity: equal, and
        // sharing the one copy of the identifier.
        auto fromStore = saved->objectIDFor(id.entity(), id.primaryKey());
        EXPECT_TRUE(id.isEqualID(*fromStore));
        EXPECT_EQ(id.hash(), fromStore->hash());
        EXPECT_EQ(&id.storeIdentifier(), &fromStore->storeIdentifier());
        EXPECT_EQ(context->objectWithID(fromStore), object);
    }
}

TEST_F(ManagedObjectIDTest, MalformedURIsAreRefused) {
    const char* bad[] = {
        "http://S/Plain/p1",
        "x-objectstore://S/Plain",
        "x-objectstore://S/Plain/q1",
        "x-objectstore://S/Plain/p",
        "x-objectstore://S/Plain/p-1",
        "x-objectstore://S//p1",
        "x-objectstore://S/Plain/t1",
        "x-objectstore:///Plain/p1",
        "x-objectstore://S/Plain/p1/extra",
        "x-objectstore://S/Plain/p99999999999999999999",
        "x-objectstore://S/Plain/p1?q=1",
    };
    for (const char* text : bad) {
        auto uri = URL::URLWithString(text);
        ASSERT_TRUE(uri) << text;
        EXPECT_FALSE(parseObjectIDURI(*uri)) << text;
    }
}

TEST(KeyValueCodingTest, KeyPathsMapOverCollectionsAndDictionaries) {
    Value nested(Dictionary{
        {"a", Value(Array{Value(Dictionary{{"b", Value(1)}}), Value(Dictionary{{"b", Value(2)}})})},
        {"s", Value(Set{Value(Dictionary{{"b", Value(3)}})})}});
    EXPECT_EQ(valueForKeyPath(nested, "a.b"), Value(Array{Value(1), Value(2)}));
    EXPECT_EQ(valueForKeyPath(nested, "s.b"), Value(Set{Value(3)}));
    EXPECT_TRUE(valueForKeyPath(nested, "missing.b").isNull());
    EXPECT_EQ(splitKeyPath("x"), std::vector<std::string>{"x"});
    EXPECT_THROW(valueForKeyPath(Value(5), "x"), ModelException);
}

}  // namespace
}  // namespace plat::coredata
