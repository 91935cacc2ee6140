// ManagedObjectModel: the set of entities a store holds.
//
// A model is built in code (create, addEntity, then finalize) or loaded from a
// model file of our own JSON format (modelWithContentsOfURL). finalize()
// resolves super-entities, destinations and inverses, numbers the properties
// and computes the version hashes; from then on the model is immutable and may
// be shared between threads and coordinators. A coordinator finalizes the
// model it is given.
//
// Model file: a JSON object
//   { "versionIdentifiers": ["1"],
//     "entities": [ { "name": "Task", "abstract": false, "superentity": "Base",
//                     "userInfo": { "key": "value" }, "versionHashModifier": "",
//                     "attributes": [ { "name": "title", "type": "string",
//                                       "optional": true, "transient": false,
//                                       "indexed": false, "default": "x",
//                                       "valueTransformerName": "", "userInfo": {} } ],
//                     "relationships": [ { "name": "calendar", "destination": "Calendar",
//                                          "inverse": "tasks", "toMany": false,
//                                          "ordered": false, "deleteRule": "nullify",
//                                          "minCount": 0, "maxCount": 0,
//                                          "optional": true, "transient": false,
//                                          "userInfo": {} } ] } ] }
// Only "name" (and "type" / "destination") are required. Defaults are written
// as JSON of the attribute's type: numbers and booleans as such, dates as
// ISO-8601 text or seconds since 2001-01-01, binary data as base64, decimals,
// UUIDs and URIs as text.
//
// Model bundle: a directory holding one such file per version and
// "VersionInfo.json" = { "currentVersion": "<file name without .json>" }.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/coredata/EntityDescription.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/URL.h"

namespace plat::coredata {

class ManagedObjectModel : public std::enable_shared_from_this<ManagedObjectModel> {
  public:
    static std::shared_ptr<ManagedObjectModel> create();

    // Loads a model file, or the current version of a model bundle. Errors in
    // CocoaErrorDomain: 260 for a missing file, 259 for a file that is not a
    // valid model (the debug description says what is wrong).
    static Result<std::shared_ptr<ManagedObjectModel>> modelWithContentsOfURL(const URL& url);
    // Every version of a bundle by version name (a plain model file gives one
    // entry named after the file).
    static Result<std::map<std::string, std::shared_ptr<ManagedObjectModel>>> modelVersionsAtURL(
        const URL& url);
    // Parses the JSON text of a model file and finalizes the model.
    static Result<std::shared_ptr<ManagedObjectModel>> modelFromJSON(const Value& json);
    // The model file JSON of a model (finalized or not).
    Value JSONRepresentation() const;

    ManagedObjectModel(const ManagedObjectModel&) = delete;
    ManagedObjectModel& operator=(const ManagedObjectModel&) = delete;

    // Throws ModelException when the name is taken or the model is frozen.
    EntityDescription& addEntity(std::string name);
    void setVersionIdentifiers(std::set<std::string> identifiers);
    const std::set<std::string>& versionIdentifiers() const { return versionIdentifiers_; }

    // Checks and freezes the model. Errors (code 134060, description naming
    // the problem): an unknown super-entity or destination, a cycle of
    // super-entities, a property that repeats an inherited name, an inverse
    // that does not exist or does not point back. Calling it again on a
    // frozen model returns null.
    [[nodiscard]] ErrorPtr finalize();
    bool isFrozen() const { return frozen_; }

    // In declaration order; every entity of the model.
    std::vector<std::shared_ptr<const EntityDescription>> entities() const;
    std::size_t entityCount() const { return entities_.size(); }
    // Null when there is no such entity. The returned pointer keeps the model
    // alive.
    std::shared_ptr<const EntityDescription> entityForName(std::string_view name) const;
    // Shares ownership of the model for one of its entities.
    std::shared_ptr<const EntityDescription> share(const EntityDescription* entity) const;
    const EntityDescription* entityNamed(std::string_view name) const;

    // Entity name -> version hash (finalized models only).
    std::map<std::string, Data> entityVersionHashesByName() const;
    // True when both models have the same entities with the same hashes.
    bool isConfigurationCompatible(const std::map<std::string, Data>& hashes) const {
        return entityVersionHashesByName() == hashes;
    }

  private:
    ManagedObjectModel() = default;
    [[nodiscard]] ErrorPtr resolveEntities();
    [[nodiscard]] ErrorPtr resolveRelationships();

    bool frozen_ = false;
    std::vector<std::unique_ptr<EntityDescription>> entities_;
    std::set<std::string> versionIdentifiers_;
};

}  // namespace plat::coredata
