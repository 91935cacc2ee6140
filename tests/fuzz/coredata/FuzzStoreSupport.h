// Shared by the object-store fuzz targets: a model with an attribute of every
// type and every kind of relationship, a private scratch folder, and a walk
// that reads everything a store loaded.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"

namespace kpfuzz {

using namespace plat;
using namespace plat::coredata;

inline std::shared_ptr<ManagedObjectModel> makeFuzzModel() {
    auto model = ManagedObjectModel::create();
    auto& item = model->addEntity("Item");
    item.addAttribute("i16", AttributeType::Integer16);
    item.addAttribute("i32", AttributeType::Integer32);
    item.addAttribute("i64", AttributeType::Integer64);
    item.addAttribute("dec", AttributeType::Decimal);
    item.addAttribute("dbl", AttributeType::Double);
    item.addAttribute("flt", AttributeType::Float);
    item.addAttribute("str", AttributeType::String);
    item.addAttribute("flag", AttributeType::Boolean);
    item.addAttribute("when", AttributeType::Date);
    item.addAttribute("blob", AttributeType::BinaryData);
    item.addAttribute("uuid", AttributeType::UUID);
    item.addAttribute("link", AttributeType::URI);
    item.addAttribute("archived", AttributeType::Transformable);
    item.addRelationship("parent", "Item").inverse("children");
    item.addRelationship("children", "Item").toMany().inverse("parent");
    item.addRelationship("ordered", "Leaf").ordered().inverse("owner");
    item.addRelationship("tags", "Tag").toMany().inverse("items");
    item.addRelationship("loose", "Tag").toMany();
    auto& special = model->addEntity("Special");
    special.setSuperentityName("Item");
    special.addAttribute("level", AttributeType::Integer32);
    auto& leaf = model->addEntity("Leaf");
    leaf.addAttribute("text", AttributeType::String);
    leaf.addRelationship("owner", "Item").inverse("ordered");
    auto& tag = model->addEntity("Tag");
    tag.addAttribute("name", AttributeType::String);
    tag.addRelationship("items", "Item").toMany().inverse("tags");
    return model;
}

// A folder of our own, removed at exit.
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kpfuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        static std::string remove = pattern;
        std::atexit([] { std::filesystem::remove_all(remove); });
        return pattern;
    }();
    return folder;
}

inline void writeFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Fetches every entity and reads every property, relationship and URI of
// every object. A missing related row is a ModelException by design.
inline void readEverything(const std::shared_ptr<PersistentStoreCoordinator>& coordinator) {
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    for (const auto& entity : coordinator->managedObjectModel()->entities()) {
        auto objects = context->executeFetchRequest(FetchRequest(entity->name()));
        if (!objects)
            continue;
        (void)context->countForFetchRequest(FetchRequest(entity->name()));
        for (const auto& object : *objects) {
            auto uri = object->objectID()->URIRepresentation();
            if (!coordinator->managedObjectIDForURIRepresentation(uri)) {
                std::fprintf(stderr, "unresolved URI %s\n", uri.absoluteString().c_str());
                std::abort();  // every fetched object's URI must resolve
            }
            for (const PropertyDescription* p : object->entity()->properties()) {
                try {
                    (void)object->valueForKey(p->name()).description();
                } catch (const ModelException&) {
                }
            }
        }
    }
}

}  // namespace kpfuzz
