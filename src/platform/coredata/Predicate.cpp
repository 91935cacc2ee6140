#include "platform/coredata/Predicate.h"

#include <atomic>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/KeyValueCoding.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectID.h"
#include "platform/foundation/Text.h"

namespace plat::coredata {

namespace {

// The key value coding side of an object value, or null. Managed objects
// are nearly all the key value coding objects predicates meet, and IDs
// nearly all the others: both are told apart by their exact type, without
// the walk of the class hierarchy a dynamic_cast makes (the same answers).
const KeyValueCoding* keyValueCodingOf(const Object* object) {
    if (!object)
        return nullptr;
    const std::type_info& type = typeid(*object);
    if (type == typeid(ManagedObject))
        return static_cast<const ManagedObject*>(object);
    if (type == typeid(ManagedObjectID))
        return nullptr;
    return dynamic_cast<const KeyValueCoding*>(object);
}

}  // namespace

// Key-value coding

std::vector<std::string> splitKeyPath(std::string_view keyPath) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = keyPath.find('.', start);
        parts.emplace_back(keyPath.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    return parts;
}

namespace {

Value valueForKeyPathFrom(const Value& value, const std::vector<std::string>& components, std::size_t at);

Value collectionValue(const Value& value, const std::vector<std::string>& components, std::size_t at) {
    if (const Set* set = value.asSet()) {
        Set out;
        for (const Value& member : *set)
            out.insert(valueForKeyPathFrom(member, components, at));
        return Value(std::move(out));
    }
    Array out;
    for (const Value& member : *value.asArray())
        out.push_back(valueForKeyPathFrom(member, components, at));
    return Value(std::move(out));
}

Value valueForKeyPathFrom(const Value& value, const std::vector<std::string>& components, std::size_t at) {
    Value current = value;
    for (std::size_t i = at; i < components.size(); ++i) {
        const std::string& key = components[i];
        switch (current.kind()) {
            case Value::Kind::Null:
                return current;
            case Value::Kind::Array:
            case Value::Kind::Set:
                return collectionValue(current, components, i);
            case Value::Kind::Dictionary: {
                const Value* member = current.find(key);
                current = member ? *member : Value();
                break;
            }
            case Value::Kind::Object: {
                auto* kvc = keyValueCodingOf(current.asObject().get());
                if (!kvc)
                    throw ModelException("The object " + current.description() +
                                         " is not key value coding-compliant for the key \"" + key + "\".");
                current = kvc->valueForKey(key);
                break;
            }
            default:
                throw ModelException("The value " + current.description() +
                                     " is not key value coding-compliant for the key \"" + key + "\".");
        }
    }
    return current;
}

}  // namespace

Value valueForKeyPath(const Value& root, const std::vector<std::string>& components) {
    return valueForKeyPathFrom(root, components, 0);
}

namespace {
std::atomic<uint64_t> identityGeneration{1};
}  // namespace

uint64_t comparisonIdentityGeneration() {
    return identityGeneration.load(std::memory_order_acquire);
}

void comparisonIdentitiesChanged() {
    identityGeneration.fetch_add(1, std::memory_order_acq_rel);
}

Value comparisonValue(const Value& v) {
    if (!v.isObject())
        return v;
    auto* kvc = keyValueCodingOf(v.asObject().get());
    if (!kvc)
        return v;
    ObjectPtr identity = kvc->comparisonIdentity();
    return identity ? Value(std::move(identity)) : v;
}

// Expressions

ExpressionPtr Expression::constant(Value value) {
    return std::make_shared<const Expression>(Kind::Constant, std::move(value), std::string(),
                                              std::vector<std::string>());
}

ExpressionPtr Expression::keyPath(std::string keyPath) {
    auto components = splitKeyPath(keyPath);
    for (const auto& c : components) {
        if (c.empty())
            throw ModelException("Invalid key path \"" + keyPath + "\".");
    }
    return std::make_shared<const Expression>(Kind::KeyPath, Value(), std::move(keyPath),
                                              std::move(components));
}

ExpressionPtr Expression::evaluatedObject() {
    static const ExpressionPtr self = std::make_shared<const Expression>(
        Kind::EvaluatedObject, Value(), std::string(), std::vector<std::string>());
    return self;
}

Value Expression::evaluate(const Value& object) const {
    switch (kind_) {
        case Kind::Constant:
            return constant_;
        case Kind::KeyPath:
            return valueForKeyPath(object, components_);
        case Kind::EvaluatedObject:
            return object;
    }
    return Value();
}

std::string Expression::description() const {
    switch (kind_) {
        case Kind::KeyPath:
            return keyPath_;
        case Kind::EvaluatedObject:
            return "SELF";
        case Kind::Constant:
            if (constant_.isNull())
                return "nil";
            if (constant_.isString())
                return "\"" + *constant_.asString() + "\"";
            if (constant_.isArray() || constant_.isSet()) {
                std::string out = "{";
                const Array& members = constant_.isSet() ? constant_.asSet()->values() : *constant_.asArray();
                for (std::size_t i = 0; i < members.size(); ++i)
                    out += (i ? ", " : "") + Expression::constant(members[i])->description();
                return out + "}";
            }
            return constant_.description();
    }
    return {};
}

// Comparisons

namespace {

const Array* membersOf(const Value& v) {
    if (const Array* a = v.asArray())
        return a;
    if (const Set* s = v.asSet())
        return &s->values();
    return nullptr;
}

bool equalValues(const Value& a, const Value& b, unsigned options) {
    if ((options & CaseInsensitivePredicateOption) && a.isString() && b.isString())
        return text::caseInsensitiveCompare(*a.asString(), *b.asString()) == 0;
    return comparisonValue(a) == comparisonValue(b);
}

bool stringTest(const Value& a, PredicateOperator op, const Value& b, unsigned options) {
    if (!a.isString() || !b.isString())
        return false;
    std::string s = *a.asString(), t = *b.asString();
    if (options & CaseInsensitivePredicateOption) {
        s = text::lowercaseString(s);
        t = text::lowercaseString(t);
    }
    switch (op) {
        case PredicateOperator::BeginsWith:
            return s.compare(0, t.size(), t) == 0 && s.size() >= t.size();
        case PredicateOperator::EndsWith:
            return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
        default:
            return s.find(t) != std::string::npos;
    }
}

bool orderTest(const Value& a, PredicateOperator op, const Value& b, unsigned options) {
    std::optional<int> c;
    if ((options & CaseInsensitivePredicateOption) && a.isString() && b.isString())
        c = text::caseInsensitiveCompare(*a.asString(), *b.asString());
    else
        c = a.compare(b);
    if (!c || a.isNull() || b.isNull())
        return false;
    switch (op) {
        case PredicateOperator::LessThan:
            return *c < 0;
        case PredicateOperator::LessThanOrEqualTo:
            return *c <= 0;
        case PredicateOperator::GreaterThan:
            return *c > 0;
        default:
            return *c >= 0;
    }
}

bool inCollection(const Value& item, const Value& collection, unsigned options) {
    const Array* members = membersOf(collection);
    if (!members) {
        // "x IN 'text'" asks for a substring, as on the platform.
        return collection.isString() && stringTest(collection, PredicateOperator::Contains, item, options);
    }
    for (const Value& m : *members) {
        if (equalValues(item, m, options))
            return true;
    }
    return false;
}

}  // namespace

bool compareValues(const Value& left, PredicateOperator op, const Value& right, unsigned options) {
    switch (op) {
        case PredicateOperator::EqualTo:
            return equalValues(left, right, options);
        case PredicateOperator::NotEqualTo:
            return !equalValues(left, right, options);
        case PredicateOperator::LessThan:
        case PredicateOperator::LessThanOrEqualTo:
        case PredicateOperator::GreaterThan:
        case PredicateOperator::GreaterThanOrEqualTo:
            return orderTest(left, op, right, options);
        case PredicateOperator::In:
            return inCollection(left, right, options);
        case PredicateOperator::Contains:
            if (membersOf(left))
                return inCollection(right, left, options);
            return stringTest(left, op, right, options);
        case PredicateOperator::BeginsWith:
        case PredicateOperator::EndsWith:
            return stringTest(left, op, right, options);
    }
    return false;
}

const char* predicateOperatorSymbol(PredicateOperator op) {
    switch (op) {
        case PredicateOperator::EqualTo:
            return "==";
        case PredicateOperator::NotEqualTo:
            return "!=";
        case PredicateOperator::LessThan:
            return "<";
        case PredicateOperator::LessThanOrEqualTo:
            return "<=";
        case PredicateOperator::GreaterThan:
            return ">";
        case PredicateOperator::GreaterThanOrEqualTo:
            return ">=";
        case PredicateOperator::In:
            return "IN";
        case PredicateOperator::BeginsWith:
            return "BEGINSWITH";
        case PredicateOperator::EndsWith:
            return "ENDSWITH";
        case PredicateOperator::Contains:
            return "CONTAINS";
    }
    return "?";
}

// Predicates

namespace {

PredicatePtr make(Predicate::Kind kind, std::vector<PredicatePtr> subs = {}) {
    return std::make_shared<const Predicate>(kind, nullptr, PredicateOperator::EqualTo, nullptr,
                                             ComparisonModifier::Direct, 0, std::move(subs));
}

PredicatePtr keyComparison(std::string keyPath, PredicateOperator op, Value value, unsigned options = 0) {
    return Predicate::comparison(Expression::keyPath(std::move(keyPath)), op,
                                 Expression::constant(std::move(value)), ComparisonModifier::Direct, options);
}

void checkSubpredicates(const std::vector<PredicatePtr>& subs) {
    for (const auto& p : subs) {
        if (!p)
            throw ModelException("A compound predicate can't hold a null subpredicate.");
    }
}

}  // namespace

PredicatePtr Predicate::truePredicate() {
    static const PredicatePtr p = make(Kind::True);
    return p;
}

PredicatePtr Predicate::falsePredicate() {
    static const PredicatePtr p = make(Kind::False);
    return p;
}

PredicatePtr Predicate::comparison(ExpressionPtr lhs, PredicateOperator op, ExpressionPtr rhs,
                                   ComparisonModifier modifier, unsigned options) {
    if (!lhs || !rhs)
        throw ModelException("A comparison needs two expressions.");
    return std::make_shared<const Predicate>(Kind::Comparison, std::move(lhs), op, std::move(rhs), modifier,
                                             options, std::vector<PredicatePtr>());
}

PredicatePtr Predicate::andPredicate(std::vector<PredicatePtr> subpredicates) {
    checkSubpredicates(subpredicates);
    return make(Kind::And, std::move(subpredicates));
}

PredicatePtr Predicate::orPredicate(std::vector<PredicatePtr> subpredicates) {
    checkSubpredicates(subpredicates);
    return make(Kind::Or, std::move(subpredicates));
}

PredicatePtr Predicate::notPredicate(PredicatePtr subpredicate) {
    checkSubpredicates({subpredicate});
    return make(Kind::Not, {std::move(subpredicate)});
}

PredicatePtr Predicate::equal(std::string k, Value v) {
    return keyComparison(std::move(k), PredicateOperator::EqualTo, std::move(v));
}
PredicatePtr Predicate::notEqual(std::string k, Value v) {
    return keyComparison(std::move(k), PredicateOperator::NotEqualTo, std::move(v));
}
PredicatePtr Predicate::lessThan(std::string k, Value v) {
    return keyComparison(std::move(k), PredicateOperator::LessThan, std::move(v));
}
PredicatePtr Predicate::lessThanOrEqual(std::string k, Value v) {
    return keyComparison(std::move(k), PredicateOperator::LessThanOrEqualTo, std::move(v));
}
PredicatePtr Predicate::greaterThan(std::string k, Value v) {
    return keyComparison(std::move(k), PredicateOperator::GreaterThan, std::move(v));
}
PredicatePtr Predicate::greaterThanOrEqual(std::string k, Value v) {
    return keyComparison(std::move(k), PredicateOperator::GreaterThanOrEqualTo, std::move(v));
}
PredicatePtr Predicate::in(std::string k, Value collection) {
    return keyComparison(std::move(k), PredicateOperator::In, std::move(collection));
}
PredicatePtr Predicate::beginsWith(std::string k, std::string prefix, unsigned options) {
    return keyComparison(std::move(k), PredicateOperator::BeginsWith, Value(std::move(prefix)), options);
}
PredicatePtr Predicate::endsWith(std::string k, std::string suffix, unsigned options) {
    return keyComparison(std::move(k), PredicateOperator::EndsWith, Value(std::move(suffix)), options);
}
PredicatePtr Predicate::contains(std::string k, Value v, unsigned options) {
    return keyComparison(std::move(k), PredicateOperator::Contains, std::move(v), options);
}
PredicatePtr Predicate::selfIn(Value collection) {
    return comparison(Expression::evaluatedObject(), PredicateOperator::In,
                      Expression::constant(std::move(collection)));
}
PredicatePtr Predicate::anyIn(std::string k, Value collection) {
    return comparison(Expression::keyPath(std::move(k)), PredicateOperator::In,
                      Expression::constant(std::move(collection)), ComparisonModifier::Any);
}

namespace {
// Lists up to this long are scanned; a hash look-up does not pay below it.
constexpr std::size_t kScannedMembers = 8;

bool hasIdentity(const Value& v) {
    if (!v.isObject())
        return false;
    auto* kvc = keyValueCodingOf(v.asObject().get());
    return kvc && kvc->comparisonIdentity();
}
}  // namespace

std::shared_ptr<const Predicate::MemberIndex> Predicate::memberIndex() const {
    if (kind_ != Kind::Comparison || op_ != PredicateOperator::In ||
        rhs_->kind() != Expression::Kind::Constant || (options_ & CaseInsensitivePredicateOption))
        return nullptr;
    const Array* members = membersOf(rhs_->constantValue());
    if (!members || members->size() <= kScannedMembers)
        return nullptr;
    plat::MutexLock lock(indexMutex_);
    if (index_ && (index_->generation == 0 || index_->generation == comparisonIdentityGeneration()))
        return index_;
    auto index = std::make_shared<MemberIndex>();
    // Read the generation first: a change during the build makes the next
    // test rebuild rather than keep a stale identity.
    const uint64_t generation = comparisonIdentityGeneration();
    bool identities = false;
    for (const Value& m : *members) {
        identities = identities || hasIdentity(m);
        index->values.insert(comparisonValue(m));
    }
    index->generation = identities ? generation : 0;
    index_ = std::move(index);
    return index_;
}

bool Predicate::evaluateComparison(const Value& object) const {
    Value left = lhs_->evaluate(object);
    auto index = memberIndex();
    const Value right = index ? Value() : rhs_->evaluate(object);
    auto test = [&](const Value& item) {
        return index ? index->values.contains(comparisonValue(item))
                     : compareValues(item, op_, right, options_);
    };
    if (modifier_ == ComparisonModifier::Direct)
        return test(left);
    const Array* members = membersOf(left);
    if (!members)
        return modifier_ == ComparisonModifier::Any ? false : left.isNull();
    for (const Value& m : *members) {
        bool hit = test(m);
        if (modifier_ == ComparisonModifier::Any && hit)
            return true;
        if (modifier_ == ComparisonModifier::All && !hit)
            return false;
    }
    return modifier_ == ComparisonModifier::All;
}

bool Predicate::evaluateWithObject(const Value& object) const {
    switch (kind_) {
        case Kind::True:
            return true;
        case Kind::False:
            return false;
        case Kind::Comparison:
            return evaluateComparison(object);
        case Kind::And:
            for (const auto& p : subpredicates_) {
                if (!p->evaluateWithObject(object))
                    return false;
            }
            return true;
        case Kind::Or:
            for (const auto& p : subpredicates_) {
                if (p->evaluateWithObject(object))
                    return true;
            }
            return false;
        case Kind::Not:
            return !subpredicates_[0]->evaluateWithObject(object);
    }
    return false;
}

std::string Predicate::predicateFormat() const {
    switch (kind_) {
        case Kind::True:
            return "TRUEPREDICATE";
        case Kind::False:
            return "FALSEPREDICATE";
        case Kind::Comparison: {
            std::string out = modifier_ == ComparisonModifier::Any   ? "ANY "
                              : modifier_ == ComparisonModifier::All ? "ALL "
                                                                     : "";
            out += lhs_->description() + " " + predicateOperatorSymbol(op_);
            if (options_ & CaseInsensitivePredicateOption)
                out += "[c]";
            return out + " " + rhs_->description();
        }
        case Kind::Not:
            return "NOT (" + subpredicates_[0]->predicateFormat() + ")";
        case Kind::And:
        case Kind::Or: {
            if (subpredicates_.empty())
                return kind_ == Kind::And ? "TRUEPREDICATE" : "FALSEPREDICATE";
            std::string out;
            for (std::size_t i = 0; i < subpredicates_.size(); ++i) {
                if (i)
                    out += kind_ == Kind::And ? " AND " : " OR ";
                const auto& sub = subpredicates_[i];
                out += sub->isCompound() && sub->kind() != Kind::Not ? "(" + sub->predicateFormat() + ")"
                                                                     : sub->predicateFormat();
            }
            return out;
        }
    }
    return {};
}

}  // namespace plat::coredata
