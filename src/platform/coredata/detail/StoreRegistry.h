// The store types a coordinator can add, by name: how to make a store, and
// for file stores how to recognise their files and read or write their
// metadata without adding them. The built-in types are one explicit table
// (StoreRegistry.cpp), the only place that names the concrete stores;
// PersistentStoreCoordinator::registerStoreType adds or replaces factories at
// run time. Any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/coredata/PersistentStoreCoordinator.h"

namespace plat::coredata::registry {

struct StoreType {
    std::string name;
    PersistentStoreCoordinator::StoreFactory make;
    // File stores only; null for types that keep no file or cannot do it.
    std::function<bool(const std::string& path)> recognisesFile;
    std::function<Result<Dictionary>(const std::string& path)> readMetadata;
    std::function<ErrorPtr(const Dictionary& metadata, const std::string& path)> writeMetadata;
};

// The type registered under name; nullopt when there is none.
std::optional<StoreType> storeTypeNamed(const std::string& name);
// The file type whose recogniser claims the file at path; nullopt when none.
std::optional<StoreType> storeTypeOfFile(const std::string& path);
// The file type that answers for files no type recognises (it says whether
// such a file is missing or foreign) and for metadata written without a type.
StoreType defaultFileType();
// Adds a type, or replaces the factory of a registered one (its file
// functions stay).
void registerStoreType(const std::string& name, PersistentStoreCoordinator::StoreFactory make);

}  // namespace plat::coredata::registry
