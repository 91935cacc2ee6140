// Predicate: a condition on objects, as an immutable expression tree built in
// code — comparisons (= != < <= > >= IN BEGINSWITH ENDSWITH CONTAINS, with an
// optional ANY / ALL modifier and case-insensitive option) joined by AND, OR
// and NOT, plus the constant TRUE and FALSE predicates.
//
//   auto p = Predicate::andPredicate({Predicate::equal("type", Value(0)),
//                                     Predicate::in("propertyName", names)});
//   p->evaluateWithObject(Value(object));
//
// Evaluation follows the platform: values compare as Value does (numbers by
// value across kinds, strings by code point, dates by time); an ordering
// comparison with nil or of unlike kinds is false; "= nil" matches nil;
// managed objects compare as their object IDs, so an object matches its own
// ID. Predicates may be shared between threads; evaluation reads the object,
// so it runs where the object may be read (its context's queue). IN with a
// long constant list tests membership in a hash set built at the first
// evaluation, so evaluating many objects costs objects plus members.
//
// Stores translate predicates by walking the tree (kind(), op(), lhs(), rhs(),
// subpredicates()); what a store cannot translate it evaluates here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/coredata/Expression.h"
#include "platform/foundation/Mutex.h"

namespace plat::coredata {

class Predicate;
using PredicatePtr = std::shared_ptr<const Predicate>;

enum class PredicateOperator {
    EqualTo,
    NotEqualTo,
    LessThan,
    LessThanOrEqualTo,
    GreaterThan,
    GreaterThanOrEqualTo,
    In,
    BeginsWith,
    EndsWith,
    Contains,
};

enum class ComparisonModifier { Direct, Any, All };

enum ComparisonOptions : unsigned {
    CaseInsensitivePredicateOption = 1,
};

class Predicate {
  public:
    enum class Kind { True, False, Comparison, And, Or, Not };

    static PredicatePtr truePredicate();
    static PredicatePtr falsePredicate();
    static PredicatePtr comparison(ExpressionPtr lhs, PredicateOperator op, ExpressionPtr rhs,
                                   ComparisonModifier modifier = ComparisonModifier::Direct,
                                   unsigned options = 0);
    // Throws ModelException for an empty list of subpredicates of NOT... AND
    // and OR of no subpredicates are TRUE and FALSE.
    static PredicatePtr andPredicate(std::vector<PredicatePtr> subpredicates);
    static PredicatePtr orPredicate(std::vector<PredicatePtr> subpredicates);
    static PredicatePtr notPredicate(PredicatePtr subpredicate);

    // Shorthands for "keyPath op constant".
    static PredicatePtr equal(std::string keyPath, Value value);
    static PredicatePtr notEqual(std::string keyPath, Value value);
    static PredicatePtr lessThan(std::string keyPath, Value value);
    static PredicatePtr lessThanOrEqual(std::string keyPath, Value value);
    static PredicatePtr greaterThan(std::string keyPath, Value value);
    static PredicatePtr greaterThanOrEqual(std::string keyPath, Value value);
    // collection: an array or set.
    static PredicatePtr in(std::string keyPath, Value collection);
    static PredicatePtr beginsWith(std::string keyPath, std::string prefix, unsigned options = 0);
    static PredicatePtr endsWith(std::string keyPath, std::string suffix, unsigned options = 0);
    static PredicatePtr contains(std::string keyPath, Value value, unsigned options = 0);
    // "SELF IN collection": collection holds objects or object IDs.
    static PredicatePtr selfIn(Value collection);
    // "ANY toManyKeyPath IN collection".
    static PredicatePtr anyIn(std::string keyPath, Value collection);

    Kind kind() const { return kind_; }
    bool isCompound() const { return kind_ == Kind::And || kind_ == Kind::Or || kind_ == Kind::Not; }
    // Comparison predicates only.
    const ExpressionPtr& lhs() const { return lhs_; }
    const ExpressionPtr& rhs() const { return rhs_; }
    PredicateOperator op() const { return op_; }
    ComparisonModifier modifier() const { return modifier_; }
    unsigned options() const { return options_; }
    // Compound predicates only.
    const std::vector<PredicatePtr>& subpredicates() const { return subpredicates_; }

    bool evaluateWithObject(const Value& object) const;
    // A readable form such as `type == 0 AND name BEGINSWITH "a"`, for logs.
    std::string predicateFormat() const;

    Predicate(Kind kind, ExpressionPtr lhs, PredicateOperator op, ExpressionPtr rhs,
              ComparisonModifier modifier, unsigned options, std::vector<PredicatePtr> subpredicates)
        : kind_(kind),
          lhs_(std::move(lhs)),
          rhs_(std::move(rhs)),
          op_(op),
          modifier_(modifier),
          options_(options),
          subpredicates_(std::move(subpredicates)) {}

  private:
    // The members of a constant IN list as a hash set of comparison values,
    // so that a test costs one look-up rather than a scan of the list.
    struct MemberIndex {
        Set values;
        // The identity generation the set was built at; 0 when no member
        // has an identity that could change.
        uint64_t generation = 0;
    };

    bool evaluateComparison(const Value& object) const;
    // Null when the comparison is not a plain IN of a long constant list.
    std::shared_ptr<const MemberIndex> memberIndex() const;

    Kind kind_;
    ExpressionPtr lhs_, rhs_;
    PredicateOperator op_ = PredicateOperator::EqualTo;
    ComparisonModifier modifier_ = ComparisonModifier::Direct;
    unsigned options_ = 0;
    std::vector<PredicatePtr> subpredicates_;
    mutable plat::Mutex indexMutex_;
    mutable std::shared_ptr<const MemberIndex> index_ GUARDED_BY(indexMutex_);
};

// The platform's symbol for an operator ("==", "IN", "BEGINSWITH", ...).
const char* predicateOperatorSymbol(PredicateOperator op);

// Compares two already evaluated values under op (no modifier).
bool compareValues(const Value& left, PredicateOperator op, const Value& right, unsigned options = 0);

}  // namespace plat::coredata
