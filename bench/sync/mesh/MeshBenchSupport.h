// What the mesh benchmarks share: a mesh on a store file with a local cloud
// folder, and a wait for an asynchronous mesh activity.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/dispatch/MainLoop.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace meshbench {

// A mesh named "main" on `store` with `model`: its cloud folder is
// root/cloud, shared by every mesh on the same root; its local data is in
// root/`local`.
inline std::shared_ptr<SYNPersistentStoreMesh> makeMesh(
    const std::shared_ptr<plat::coredata::ManagedObjectModel>& model, const std::string& store,
    const std::string& root, const std::string& local) {
    SYNPersistentStoreMesh::Configuration config;
    config.meshIdentifier = "main";
    config.persistentStorePath = store;
    config.managedObjectModel = model;
    std::filesystem::create_directories(root + "/cloud");
    config.cloudFileSystem = std::make_shared<SYNLocalCloudFileSystem>(root + "/cloud");
    config.localDataRootDirectory = root + "/" + local;
    return SYNPersistentStoreMesh::create(config);
}

// Runs the main loop until `activity` has called its completion; its error.
inline plat::ErrorPtr wait(const std::function<void(SYNCompletion)>& activity) {
    bool done = false;
    plat::ErrorPtr result;
    activity([&](plat::ErrorPtr error) {
        result = error;
        done = true;
    });
    plat::dispatch::MainLoop::runUntil([&] { return done; }, 3600);
    return result;
}

}  // namespace meshbench
