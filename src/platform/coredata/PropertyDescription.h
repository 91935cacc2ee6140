// PropertyDescription: what attributes and relationships of an entity have in
// common — name, optionality, transience, indexing and user info.
//
// Descriptions are built mutable together with their model and frozen when the
// model is finalized (see ManagedObjectModel.h); a setter called after that
// throws ModelException. A frozen description may be read from any thread. It
// lives as long as its model: hold the model or any shared_ptr to one of its
// entities to keep raw pointers to descriptions valid.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace plat::coredata {

class EntityDescription;

// Reads user-info entries the way the platform reads model user info, whose
// values are usually strings: "YES", "true" or a non-zero number is true;
// "5" is 5. Missing entries give the fallback.
bool userInfoBool(const Dictionary& userInfo, std::string_view key, bool fallback = false);
int64_t userInfoInteger(const Dictionary& userInfo, std::string_view key, int64_t fallback = 0);

class PropertyDescription {
  public:
    enum class Kind { Attribute, Relationship };

    virtual ~PropertyDescription() = default;
    PropertyDescription(const PropertyDescription&) = delete;
    PropertyDescription& operator=(const PropertyDescription&) = delete;

    Kind kind() const { return kind_; }
    bool isAttribute() const { return kind_ == Kind::Attribute; }
    bool isRelationship() const { return kind_ == Kind::Relationship; }

    const std::string& name() const { return name_; }
    // The entity that declares the property (a super-entity for inherited ones).
    const EntityDescription* entity() const { return entity_; }
    bool isOptional() const { return optional_; }
    bool isTransient() const { return transient_; }
    bool isIndexed() const { return indexed_; }
    const Dictionary& userInfo() const { return userInfo_; }
    const std::string& versionHashModifier() const { return versionHashModifier_; }

    // Position of the property's value in the objects of its entity and of
    // every sub-entity; set when the model is finalized.
    std::size_t index() const { return index_; }

    PropertyDescription& setOptional(bool v);
    PropertyDescription& setTransient(bool v);
    PropertyDescription& setIndexed(bool v);
    PropertyDescription& setUserInfo(Dictionary v);
    PropertyDescription& setVersionHashModifier(std::string v);

  protected:
    PropertyDescription(Kind kind, EntityDescription* entity, std::string name)
        : kind_(kind), entity_(entity), name_(std::move(name)) {}
    void checkMutable() const;

  private:
    friend class EntityDescription;

    Kind kind_;
    EntityDescription* entity_;
    std::string name_;
    bool optional_ = true;
    bool transient_ = false;
    bool indexed_ = false;
    Dictionary userInfo_;
    std::string versionHashModifier_;
    std::size_t index_ = 0;
};

}  // namespace plat::coredata
