// MappingModel: how the objects of a store written with one model carry over
// to another model, inferred for lightweight migrations.
//
// A mapping can be inferred when the models differ only by added or removed
// entities and added or removed persistent properties: every entity present
// in both keeps its name and super-entity, every property present in both
// keeps its declaring entity, kind and type (for relationships: destination,
// inverse, to-many and ordered). An added attribute that is required needs a
// default value to fill existing rows; an added required to-one cannot be
// filled and refuses the mapping. Anything else is refused with
// InferredMappingModelError (134190), whose description names the change.
//
// A mapping is a plain value over raw pointers into both models; keep both
// models alive while it is used. Any thread.
#pragma once

#include <map>
#include <string>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/Result.h"

namespace plat::coredata {

inline constexpr int64_t InferredMappingModelError = 134190;

class MappingModel {
  public:
    static Result<MappingModel> inferredMappingModel(const ManagedObjectModel& source,
                                                     const ManagedObjectModel& destination);

    // The source entity of a destination entity; null for an added entity.
    const EntityDescription* sourceEntityFor(const EntityDescription& destination) const;
    // The source property whose values a destination property keeps; null for
    // an added property.
    const PropertyDescription* sourcePropertyFor(const PropertyDescription& destination) const;

  private:
    std::map<const EntityDescription*, const EntityDescription*> entities_;
    std::map<const PropertyDescription*, const PropertyDescription*> properties_;
};

}  // namespace plat::coredata
