#include "platform/coredata/EntityDescription.h"

#include <algorithm>
#include <cstring>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/security/Digest.h"

namespace plat::coredata {
namespace {

void appendField(std::string& out, std::string_view text) {
    out += std::to_string(text.size());
    out += ':';
    out += text;
}

void appendField(std::string& out, uint64_t number) {
    appendField(out, std::to_string(number));
}

void appendPropertyHashInput(std::string& out, const PropertyDescription& p) {
    appendField(out, p.isAttribute() ? "attribute" : "relationship");
    appendField(out, p.name());
    appendField(out, p.isOptional() ? 1 : 0);
    appendField(out, p.versionHashModifier());
    if (p.isAttribute()) {
        appendField(out, static_cast<uint64_t>(static_cast<const AttributeDescription&>(p).attributeType()));
        return;
    }
    const auto& r = static_cast<const RelationshipDescription&>(p);
    appendField(out, r.destinationEntityName());
    appendField(out, r.inverseName());
    appendField(out, r.isToMany() ? 1 : 0);
    appendField(out, r.isOrdered() ? 1 : 0);
    appendField(out, r.minCount());
    appendField(out, r.maxCount());
}

}  // namespace

bool EntityDescription::isFrozen() const {
    return model_ && model_->isFrozen();
}

void EntityDescription::checkMutable() const {
    if (isFrozen())
        throw ModelException("Can't modify entity \"" + name_ + "\": its model is in use.",
                             InternalInconsistencyException);
}

void EntityDescription::checkNewName(const std::string& name) const {
    checkMutable();
    if (name.empty())
        throw ModelException("A property of entity \"" + name_ + "\" needs a name.");
    for (const auto& p : own_) {
        if (p->name() == name)
            throw ModelException("Entity \"" + name_ + "\" already has a property \"" + name + "\".");
    }
}

EntityDescription& EntityDescription::addCompoundIndex(std::vector<std::string> attributeNames) {
    checkMutable();
    if (attributeNames.size() < 2)
        throw ModelException("A compound index of entity \"" + name_ + "\" needs at least two attributes.");
    for (const auto& name : attributeNames) {
        // An attribute, or a to-one relationship (its key column).
        const bool own = std::any_of(own_.begin(), own_.end(), [&](const auto& p) {
            return p->name() == name &&
                   (p->isAttribute() ||
                    (p->isRelationship() && !static_cast<const RelationshipDescription&>(*p).isToMany()));
        });
        if (!own)
            throw ModelException("Entity \"" + name_ + "\" has no attribute or to-one relationship \"" +
                                 name + "\" to index.");
    }
    compoundIndexes_.push_back(std::move(attributeNames));
    return *this;
}

EntityDescription& EntityDescription::setAbstract(bool v) {
    checkMutable();
    abstract_ = v;
    return *this;
}

EntityDescription& EntityDescription::setUserInfo(Dictionary v) {
    checkMutable();
    userInfo_ = std::move(v);
    return *this;
}

EntityDescription& EntityDescription::setSuperentityName(std::string name) {
    checkMutable();
    superName_ = std::move(name);
    return *this;
}

EntityDescription& EntityDescription::setVersionHashModifier(std::string v) {
    checkMutable();
    versionHashModifier_ = std::move(v);
    return *this;
}

AttributeDescription& EntityDescription::addAttribute(std::string name, AttributeType type) {
    checkNewName(name);
    auto* attribute = new AttributeDescription(this, std::move(name), type);
    own_.emplace_back(attribute);
    return *attribute;
}

RelationshipDescription& EntityDescription::addRelationship(std::string name, std::string destination) {
    checkNewName(name);
    auto* relationship = new RelationshipDescription(this, std::move(name), std::move(destination));
    own_.emplace_back(relationship);
    return *relationship;
}

std::vector<const PropertyDescription*> EntityDescription::ownProperties() const {
    std::vector<const PropertyDescription*> result;
    result.reserve(own_.size());
    for (const auto& p : own_)
        result.push_back(p.get());
    return result;
}

const EntityDescription* EntityDescription::rootEntity() const {
    const EntityDescription* e = this;
    while (e->super_)
        e = e->super_;
    return e;
}

bool EntityDescription::isKindOfEntity(const EntityDescription* other) const {
    for (const EntityDescription* e = this; e; e = e->super_) {
        if (e == other)
            return true;
    }
    return false;
}

namespace {

// Whether two texts of the same length n are equal, without a call for the
// short ones (property names mostly are): two overlapping loads from each
// end cover every byte.
inline bool sameText(const char* a, const char* b, std::size_t n) {
    if (n >= 8 && n <= 16) {
        uint64_t a0, a1, b0, b1;
        std::memcpy(&a0, a, 8);
        std::memcpy(&b0, b, 8);
        std::memcpy(&a1, a + n - 8, 8);
        std::memcpy(&b1, b + n - 8, 8);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    if (n >= 4 && n < 8) {
        uint32_t a0, a1, b0, b1;
        std::memcpy(&a0, a, 4);
        std::memcpy(&b0, b, 4);
        std::memcpy(&a1, a + n - 4, 4);
        std::memcpy(&b1, b + n - 4, 4);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    if (n < 4) {
        for (std::size_t i = 0; i < n; ++i) {
            if (a[i] != b[i])
                return false;
        }
        return true;
    }
    return std::memcmp(a, b, n) == 0;
}

inline std::size_t propertyNameHash(std::string_view name) {
    // Every byte of names up to 16 long (two overlapping loads from each
    // end), the ends of longer ones, and the length.
    const std::size_t n = name.size();
    const char* p = name.data();
    uint64_t a = 0, b = 0;
    if (n >= 8) {
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
    } else if (n >= 4) {
        uint32_t a4, b4;
        std::memcpy(&a4, p, 4);
        std::memcpy(&b4, p + n - 4, 4);
        a = a4;
        b = b4;
    } else if (n > 0) {
        a = static_cast<unsigned char>(p[0]) | (uint64_t{static_cast<unsigned char>(p[n / 2])} << 8);
        b = static_cast<unsigned char>(p[n - 1]);
    }
    const uint64_t h = (a ^ ((b << 29) | (b >> 35)) ^ n) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h);
}

}  // namespace

const PropertyDescription* EntityDescription::propertyNamed(std::string_view name) const {
    const NameEntry* e = lookup_.findIf(propertyNameHash(name), [&](const NameEntry& entry) {
        return entry.size == name.size() && sameText(entry.data, name.data(), entry.size);
    });
    return e ? e->property : nullptr;
}

const AttributeDescription* EntityDescription::attributeNamed(std::string_view name) const {
    const PropertyDescription* p = propertyNamed(name);
    return p && p->isAttribute() ? static_cast<const AttributeDescription*>(p) : nullptr;
}

const RelationshipDescription* EntityDescription::relationshipNamed(std::string_view name) const {
    const PropertyDescription* p = propertyNamed(name);
    return p && p->isRelationship() ? static_cast<const RelationshipDescription*>(p) : nullptr;
}

// Called super-entities first, so the inherited part is complete.
void EntityDescription::buildProperties() {
    byName_.clear();
    lookup_.clear();
    attributes_.clear();
    relationships_.clear();
    properties_ = super_ ? super_->properties_ : std::vector<const PropertyDescription*>{};
    toManyCount_ = super_ ? super_->toManyCount_ : 0;
    for (auto& p : own_) {
        p->index_ = properties_.size();
        properties_.push_back(p.get());
        if (p->isRelationship()) {
            auto* r = static_cast<RelationshipDescription*>(p.get());
            if (r->isToMany())
                r->toManyIndex_ = toManyCount_++;
        }
    }
    lookup_.reserve(properties_.size());
    for (const PropertyDescription* p : properties_) {
        byName_[p->name()] = p;
        const std::string_view name = p->name();
        const std::size_t hash = propertyNameHash(name);
        NameEntry entry{name.data(), name.size(), hash, p};
        if (NameEntry* e = lookup_.findIf(hash, [&](const NameEntry& held) { return held.view() == name; }))
            *e = entry;  // the last of a repeated name
        else
            lookup_.insertNew(hash, std::move(entry));
        if (p->isAttribute())
            attributes_[p->name()] = static_cast<const AttributeDescription*>(p);
        else
            relationships_[p->name()] = static_cast<const RelationshipDescription*>(p);
    }
    storedToManys_.clear();
    for (const auto& [name, r] : relationships_) {
        if (r->isToMany() && !r->isTransient())
            storedToManys_.push_back(r);
    }
    validated_.clear();
    for (const PropertyDescription* p : properties_) {
        if (p->isTransient())
            continue;
        auto* r = p->isRelationship() ? static_cast<const RelationshipDescription*>(p) : nullptr;
        if (r && r->isToMany() ? (r->minCount() > 0 || !r->isOptional() || r->maxCount() > 0)
                               : !p->isOptional())
            validated_.push_back(p);
    }
}

std::string EntityDescription::versionHashInput() const {
    std::string out;
    appendField(out, "entity");
    appendField(out, name_);
    appendField(out, abstract_ ? 1 : 0);
    appendField(out, superName_);
    appendField(out, versionHashModifier_);
    std::vector<const PropertyDescription*> persistent;
    for (const PropertyDescription* p : properties_) {
        if (!p->isTransient())
            persistent.push_back(p);
    }
    std::sort(
        persistent.begin(), persistent.end(),
        [](const PropertyDescription* a, const PropertyDescription* b) { return a->name() < b->name(); });
    for (const PropertyDescription* p : persistent)
        appendPropertyHashInput(out, *p);
    return out;
}

void EntityDescription::computeVersionHash() {
    versionHash_ = security::sha256(versionHashInput());
}

}  // namespace plat::coredata
