// SYNMeshServices: what the event builder, the rebaser and the consolidator
// ask of the mesh that owns them. The persistent store mesh implements it;
// they hold it weakly, and a mesh that is gone answers nothing.
//
// Called on the caller's thread (for global identifiers: inside the context
// of the objects).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObject.h"
#include "platform/foundation/Value.h"

class SYNMeshServices {
  public:
    virtual ~SYNMeshServices() = default;

    // The model version written into every event: a string (a compressed
    // model hash) or a property list (entity hashes by name); null for none.
    virtual plat::Value modelVersionHash() const { return plat::Value(); }
    virtual std::optional<std::string> modelVersionIdentifier() const { return std::nullopt; }
    // One global identifier per object, in order (nullopt where the mesh has
    // none); an empty list when the mesh supplies no identifiers at all.
    virtual std::vector<std::optional<std::string>> globalIdentifiersForManagedObjects(
        const std::vector<plat::coredata::ManagedObjectPtr>& /*objects*/) const {
        return {};
    }
    // False when globalIdentifiersForManagedObjects is sure to give no
    // identifiers (no one to ask): an import then walks the objects' IDs
    // alone for their identifiers, without reading the objects.
    virtual bool mayGiveGlobalIdentifiers() const { return true; }
};
