// Shared set-up of the mesh tests: an application model of tasks, real
// SQLite application stores in a temporary folder, cloud folders that are
// plain local folders, and helpers that run a mesh activity to its end.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace meshtest {

using plat::dispatch::MainLoop;

// Task(title, priority; tags to-many), Tag(name), UrgentTask, a sub-entity
// of Task with a deadline, and Draft(text), left out of sync.
inline std::shared_ptr<plat::coredata::ManagedObjectModel> makeTaskModel() {
    using plat::coredata::AttributeType;
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& task = model->addEntity("Task");
    task.addAttribute("title", AttributeType::String);
    task.addAttribute("priority", AttributeType::Integer64);
    task.addRelationship("tags", "Tag").inverse("tasks").toMany();
    auto& tag = model->addEntity("Tag");
    tag.addAttribute("name", AttributeType::String);
    tag.addRelationship("tasks", "Task").inverse("tags").toMany();
    auto& urgent = model->addEntity("UrgentTask");
    urgent.setSuperentityName("Task");
    urgent.addAttribute("deadline", AttributeType::Integer64);
    auto& draft = model->addEntity("Draft");
    draft.setUserInfo({{SYNIgnoredKey, plat::Value(true)}});
    draft.addAttribute("text", AttributeType::String);
    EXPECT_EQ(model->finalize(), nullptr);
    return model;
}

inline std::shared_ptr<plat::coredata::ManagedObjectModel> taskModel() {
    static auto model = makeTaskModel();
    return model;
}

// The application's side of a store: its own coordinator and context.
class AppStore {
  public:
    explicit AppStore(const std::string& path) {
        auto coordinator = plat::coredata::PersistentStoreCoordinator::create(taskModel());
        auto added = coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                                     plat::URL::fileURLWithPath(path));
        EXPECT_TRUE(added.ok());
        context = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
    }

    plat::coredata::ManagedObjectPtr addTask(const std::string& title, int64_t priority = 0,
                                             const char* entity = "Task") {
        auto task = context->insertNewObjectForEntityForName(entity);
        task->setValue(plat::Value(title), "title");
        task->setValue(plat::Value(priority), "priority");
        return task;
    }

    plat::ErrorPtr save() { return context->save(); }

    // title -> priority of every task (sub-entities included).
    std::map<std::string, int64_t> tasks() {
        plat::coredata::FetchRequest request("Task");
        auto result = context->executeFetchRequest(request);
        std::map<std::string, int64_t> out;
        if (result.ok()) {
            for (const auto& task : *result) {
                auto title = task->valueForKey("title");
                out[title.asString() ? *title.asString() : ""] =
                    task->valueForKey("priority").longLongValue();
            }
        }
        return out;
    }

    std::shared_ptr<plat::coredata::ManagedObjectContext> context;
};

// Collects the mesh's activity and progress notifications, in order.
struct ActivityLog {
    explicit ActivityLog(const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        auto& center = plat::NotificationCenter::defaultCenter();
        for (const char* name : {SYNPersistentStoreMeshDidBeginActivityNotification,
                                 SYNPersistentStoreMeshWillEndActivityNotification,
                                 SYNPersistentStoreMeshDidMakeProgressWithActivityNotification}) {
            tokens.push_back(center.addObserverForName(name, mesh, [this](const plat::Notification& note) {
                EXPECT_TRUE(MainLoop::isMainThread()) << note.name;
                entries.push_back(note);
            }));
        }
    }
    ~ActivityLog() {
        for (const auto& token : tokens) {
            plat::NotificationCenter::defaultCenter().removeObserver(token);
        }
    }
    std::vector<plat::Notification> named(const std::string& name) const {
        std::vector<plat::Notification> out;
        for (const auto& entry : entries) {
            if (entry.name == name) {
                out.push_back(entry);
            }
        }
        return out;
    }
    std::vector<plat::Notification> entries;
    std::vector<plat::ObserverToken> tokens;
};

class MeshTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainLoop::bindToCurrentThread();
        MainLoop::drain();
        std::filesystem::create_directories(root / "cloud");
    }
    void TearDown() override {
        for (auto& mesh : meshes) {
            if (mesh) {
                mesh->dismantle();
            }
        }
        MainLoop::drain();
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
    }

    SYNPersistentStoreMesh::Configuration configuration(const std::string& machine,
                                                        std::shared_ptr<SYNCloudFileSystem> fs = nullptr) {
        SYNPersistentStoreMesh::Configuration config;
        config.meshIdentifier = "main";
        config.persistentStorePath = (root / (machine + ".sqlite")).string();
        config.managedObjectModel = taskModel();
        config.cloudFileSystem =
            fs ? fs : std::make_shared<SYNLocalCloudFileSystem>((root / "cloud").string());
        config.localDataRootDirectory = (root / machine).string();
        return config;
    }

    std::shared_ptr<SYNPersistentStoreMesh> makeMesh(const std::string& machine,
                                                     std::shared_ptr<SYNCloudFileSystem> fs = nullptr) {
        auto mesh = SYNPersistentStoreMesh::create(configuration(machine, std::move(fs)));
        meshes.push_back(mesh);
        return mesh;
    }

    template <class Activity>
    static plat::ErrorPtr wait(Activity&& activity) {
        bool done = false;
        plat::ErrorPtr result;
        activity([&](plat::ErrorPtr error) {
            EXPECT_TRUE(MainLoop::isMainThread());
            EXPECT_FALSE(done) << "completion called twice";
            result = error;
            done = true;
        });
        EXPECT_TRUE(MainLoop::runUntil([&] { return done; }, 60));
        MainLoop::drain();
        return result;
    }

    static plat::ErrorPtr enlist(const std::shared_ptr<SYNPersistentStoreMesh>& mesh, uint64_t seed = 0) {
        return wait([&](SYNCompletion c) { mesh->enlistPersistentStoreWithSeedPolicy(seed, c); });
    }
    static plat::ErrorPtr delist(const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        return wait([&](SYNCompletion c) { mesh->delistPersistentStoreWithCompletion(c); });
    }

    testsupport::TempDir root;
    std::vector<std::shared_ptr<SYNPersistentStoreMesh>> meshes;
};

// A user-info value of a notification; null when absent.
inline plat::Value info(const plat::Notification& note, const char* key) {
    auto found = note.userInfo.find(key);
    return found ? *found : plat::Value();
}

inline int64_t code(const plat::ErrorPtr& error) {
    return error ? error->code() : 0;
}

}  // namespace meshtest
