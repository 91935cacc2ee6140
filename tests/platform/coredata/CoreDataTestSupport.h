// A small model and helpers shared by the object-store tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"

namespace plat::coredata::testing {

// Item (abstract: uuid) <- Task (title, done, sortOrder, scratch [transient],
// calendar <-> Calendar.tasks, notes <-> Note.task [ordered], tags <-> Tag.tasks)
// Calendar (name, required; tasks cascade), Note (text), Tag (name),
// Person (name; partner <-> partner, one to one), Vault (guard: deny).
inline std::shared_ptr<ManagedObjectModel> makeTestModel() {
    auto model = ManagedObjectModel::create();
    auto& item = model->addEntity("Item");
    item.setAbstract(true);
    item.addAttribute("uuid", AttributeType::String).indexed(true);
    auto& task = model->addEntity("Task");
    task.setSuperentityName("Item");
    task.addAttribute("title", AttributeType::String);
    task.addAttribute("done", AttributeType::Boolean).setDefaultValue(Value(false));
    task.addAttribute("sortOrder", AttributeType::Integer16).setDefaultValue(Value(0));
    task.addAttribute("scratch", AttributeType::String).transient(true);
    task.addRelationship("calendar", "Calendar").inverse("tasks");
    task.addRelationship("notes", "Note").ordered().inverse("task").deleteRule(DeleteRule::Cascade);
    task.addRelationship("tags", "Tag").toMany().inverse("tasks");
    auto& urgent = model->addEntity("UrgentTask");
    urgent.setSuperentityName("Task");
    urgent.addAttribute("level", AttributeType::Integer32);
    auto& calendar = model->addEntity("Calendar");
    calendar.addAttribute("name", AttributeType::String).optional(false);
    calendar.addRelationship("tasks", "Task").toMany().inverse("calendar").deleteRule(DeleteRule::Cascade);
    auto& note = model->addEntity("Note");
    note.addAttribute("text", AttributeType::String);
    note.addRelationship("task", "Task").inverse("notes");
    auto& tag = model->addEntity("Tag");
    tag.addAttribute("name", AttributeType::String);
    tag.addRelationship("tasks", "Task").toMany().inverse("tags");
    auto& person = model->addEntity("Person");
    person.addAttribute("name", AttributeType::String);
    person.addRelationship("partner", "Person").inverse("partner");
    auto& vault = model->addEntity("Vault");
    vault.addRelationship("guard", "Person").deleteRule(DeleteRule::Deny);
    vault.addRelationship("items", "Note").toMany().setMaxCount(2);
    return model;
}

// Records the notifications of one name posted by one sender.
class NotificationRecorder {
  public:
    NotificationRecorder(const char* name, std::shared_ptr<const void> sender) {
        token_ = NotificationCenter::defaultCenter().addObserverForName(
            name, std::move(sender), [this](const Notification& n) { notes.push_back(n); });
    }
    ~NotificationRecorder() { NotificationCenter::defaultCenter().removeObserver(token_); }
    std::size_t count(const Notification& n, const char* key) const {
        const Value* v = n.userInfo.find(key);
        return v ? v->count() : 0;
    }
    bool holds(const Notification& n, const char* key, const ManagedObjectPtr& o) const {
        const Value* v = n.userInfo.find(key);
        return v && v->asSet() && v->asSet()->contains(Value(ObjectPtr(o)));
    }
    std::vector<Notification> notes;

  private:
    ObserverToken token_;
};

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dispatch::MainLoop::bindToCurrentThread();
        coordinator = PersistentStoreCoordinator::create(makeTestModel());
        auto store = addStore();
        ASSERT_TRUE(store) << store.error()->description();
        context = newContext();
    }
    // The store the fixture's coordinator gets; in memory unless overridden.
    virtual Result<std::shared_ptr<PersistentStore>> addStore() {
        return coordinator->addPersistentStore(InMemoryStoreType, "", std::nullopt);
    }
    std::shared_ptr<ManagedObjectContext> newContext(ConcurrencyType type = ConcurrencyType::Confinement) {
        auto c = ManagedObjectContext::create(type);
        c->setPersistentStoreCoordinator(coordinator);
        return c;
    }
    ManagedObjectPtr insert(const char* entity, const char* key = nullptr, Value value = Value(),
                            const std::shared_ptr<ManagedObjectContext>& in = nullptr) {
        auto o = (in ? in : context)->insertNewObjectForEntityForName(entity);
        EXPECT_NE(o, nullptr) << entity;
        if (key)
            o->setValue(value, key);
        return o;
    }
    std::vector<ManagedObjectPtr> fetch(const FetchRequest& request,
                                        const std::shared_ptr<ManagedObjectContext>& in = nullptr) {
        auto result = (in ? in : context)->executeFetchRequest(request);
        EXPECT_TRUE(result) << result.error()->description();
        return result ? *result : std::vector<ManagedObjectPtr>{};
    }
    static std::vector<std::string> strings(const std::vector<ManagedObjectPtr>& objects, const char* key) {
        std::vector<std::string> out;
        for (const auto& o : objects)
            out.push_back(o->valueForKey(key).stringValue());
        return out;
    }

    std::shared_ptr<PersistentStoreCoordinator> coordinator;
    std::shared_ptr<ManagedObjectContext> context;
};

}  // namespace plat::coredata::testing
