#include "platform/coredata/Predicate.h"

#include <gtest/gtest.h>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/KeyValueCoding.h"
#include "platform/coredata/SortDescriptor.h"

namespace plat::coredata {
namespace {

// A key-value coding object with a fixed set of keys and an optional identity.
class Record : public KeyValueCoding {
  public:
    Record(Dictionary values, ObjectPtr identity = nullptr)
        : values_(std::move(values)), identity_(std::move(identity)) {}
    Value valueForKey(std::string_view key) const override {
        if (const Value* v = values_.find(key))
            return *v;
        throw ModelException("no key " + std::string(key));
    }
    ObjectPtr comparisonIdentity() const override { return identity_; }

  private:
    Dictionary values_;
    ObjectPtr identity_;
};

// Stands for an object ID: equal by name.
class Token : public Object {
  public:
    explicit Token(std::string name) : name_(std::move(name)) {}
    bool isEqual(const Object& o) const override {
        auto* t = dynamic_cast<const Token*>(&o);
        return t && t->name_ == name_;
    }
    std::size_t hash() const override { return std::hash<std::string>()(name_); }
    std::string description() const override { return name_; }

  private:
    std::string name_;
};

Value token(const char* name) {
    return Value(std::make_shared<const Token>(name));
}

Value revision() {
    return Value(std::make_shared<const Record>(
        Dictionary{{"persistentStoreIdentifier", Value("STORE-1")}, {"revisionNumber", Value(int64_t{7})}},
        std::make_shared<const Token>("rev")));
}

Value event() {
    Set changes{token("c1"), token("c2")};
    return Value(std::make_shared<const Record>(Dictionary{{"type", Value(int16_t{2})},
                                                           {"uniqueIdentifier", Value()},
                                                           {"name", Value("Alpha")},
                                                           {"globalCount", Value(int64_t{1} << 40)},
                                                           {"eventRevision", revision()},
                                                           {"objectChanges", Value(std::move(changes))},
                                                           {"dict", Value(Dictionary{{"k", Value(1)}})},
                                                           {"accent", Value("\xC3\x84rger")},
                                                           {"flag", Value(true)},
                                                           {"none", Value(Set{})}},
                                                std::make_shared<const Token>("event")));
}

struct Case {
    const char* name;
    PredicatePtr predicate;
    bool expected;
};

class PredicateEvaluationTest : public ::testing::TestWithParam<Case> {};

TEST_P(PredicateEvaluationTest, EvaluatesAgainstKeyValueObjects) {
    EXPECT_EQ(GetParam().predicate->evaluateWithObject(event()), GetParam().expected)
        << GetParam().predicate->predicateFormat();
}

using P = Predicate;
INSTANTIATE_TEST_SUITE_P(
    Forms, PredicateEvaluationTest,
    ::testing::Values(
        Case{"IntEqualsAcrossWidths", P::equal("type", Value(int64_t{2})), true},
        Case{"IntEqualsDouble", P::equal("type", Value(2.0)), true},
        Case{"NotEqual", P::notEqual("type", Value(2)), false},
        Case{"InNumbers", P::in("type", Value(Array{Value(0), Value(2)})), true},
        Case{"InSetMiss", P::in("type", Value(Set{Value(0), Value(1)})), false},
        Case{"Int64Equal", P::equal("globalCount", Value(int64_t{1} << 40)), true},
        Case{"NilEqualsNil", P::equal("uniqueIdentifier", Value()), true},
        Case{"NilNotEqualString", P::equal("uniqueIdentifier", Value("x")), false},
        Case{"NilNeverOrders", P::lessThan("uniqueIdentifier", Value(1)), false},
        Case{"Less", P::lessThan("type", Value(3)), true},
        Case{"GreaterEqual", P::greaterThanOrEqual("type", Value(2)), true},
        Case{"UnlikeKindsNeverOrder", P::lessThan("name", Value(3)), false},
        Case{"KeyPathEquality", P::equal("eventRevision.persistentStoreIdentifier", Value("STORE-1")), true},
        Case{"KeyPathInt", P::equal("eventRevision.revisionNumber", Value(7)), true},
        Case{"BeginsWithIsCaseSensitive", P::beginsWith("eventRevision.persistentStoreIdentifier", "store"),
             false},
        Case{
            "BeginsWithCaseInsensitive",
            P::beginsWith("eventRevision.persistentStoreIdentifier", "store", CaseInsensitivePredicateOption),
            true},
        Case{"BeginsWithLongerPrefix", P::beginsWith("name", "Alphabet"), false},
        Case{"EndsWith", P::endsWith("name", "pha"), true},
        Case{"ContainsString", P::contains("name", Value("lph")), true},
        Case{"ContainsMember", P::contains("objectChanges", token("c2")), true},
        Case{"RelationshipEqualsObject", P::equal("eventRevision", revision()), true},
        Case{"RelationshipEqualsId", P::equal("eventRevision", token("rev")), true},
        Case{"RelationshipInIds", P::in("eventRevision", Value(Array{token("x"), token("rev")})), true},
        Case{"SelfInIds", P::selfIn(Value(Set{token("event")})), true},
        Case{"NotSelfInIds", P::notPredicate(P::selfIn(Value(Array{token("event")}))), false},
        Case{"AnyIn", P::anyIn("objectChanges", Value(Array{token("c9"), token("c1")})), true},
        Case{"AnyInMiss", P::anyIn("objectChanges", Value(Array{token("c9")})), false},
        Case{"AllEqual",
             P::comparison(Expression::keyPath("objectChanges"), PredicateOperator::In,
                           Expression::constant(Value(Array{token("c1"), token("c2")})),
                           ComparisonModifier::All),
             true},
        Case{"DictionaryKeyPath", P::equal("dict.k", Value(1)), true},
        Case{"DictionaryMissingKeyIsNil", P::equal("dict.none", Value()), true},
        Case{"And", P::andPredicate({P::equal("type", Value(2)), P::beginsWith("name", "Al")}), true},
        Case{"AndShortCircuits", P::andPredicate({P::falsePredicate(), P::equal("missingKey", Value(1))}),
             false},
        Case{"Or", P::orPredicate({P::equal("type", Value(9)), P::equal("name", Value("Alpha"))}), true},
        Case{"EmptyAndIsTrue", P::andPredicate({}), true}, Case{"EmptyOrIsFalse", P::orPredicate({}), false},
        Case{"True", P::truePredicate(), true},
        Case{"StringNeverEqualsNumber", P::equal("name", Value(0)), false},
        Case{"NumberNeverEqualsItsText", P::equal("type", Value("2")), false},
        Case{"BoolEqualsOne", P::equal("flag", Value(1)), true},
        Case{"EqualsCaseInsensitive",
             P::comparison(Expression::keyPath("name"), PredicateOperator::EqualTo,
                           Expression::constant(Value("ALPHA")), ComparisonModifier::Direct,
                           CaseInsensitivePredicateOption),
             true},
        Case{"NonAsciiBeginsWithCaseInsensitive",
             P::beginsWith("accent", "\xC3\xA4r", CaseInsensitivePredicateOption), true},
        Case{"NonAsciiEndsWithCaseInsensitive", P::endsWith("accent", "RGER", CaseInsensitivePredicateOption),
             true},
        Case{"AnyOverEmptySetIsFalse", P::anyIn("none", Value(Array{Value(1)})), false},
        Case{"AllOverEmptySetIsTrue",
             P::comparison(Expression::keyPath("none"), PredicateOperator::EqualTo,
                           Expression::constant(Value(1)), ComparisonModifier::All),
             true},
        Case{"NilInCollectionMisses", P::in("uniqueIdentifier", Value(Array{Value(0), Value("")})), false},
        Case{"NilContainsNothing", P::contains("uniqueIdentifier", Value("")), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PredicateTest, BadKeysAndBadTreesThrow) {
    EXPECT_THROW(P::equal("missing", Value(1))->evaluateWithObject(event()), ModelException);
    EXPECT_THROW(P::equal("name.length", Value(1))->evaluateWithObject(event()), ModelException);
    EXPECT_THROW(P::equal("a..b", Value(1)), ModelException);
    EXPECT_THROW(P::equal("", Value(1)), ModelException);
    EXPECT_THROW(P::andPredicate({nullptr}), ModelException);
    EXPECT_THROW(P::notPredicate(nullptr), ModelException);
    EXPECT_THROW(P::comparison(nullptr, PredicateOperator::EqualTo, Expression::constant(Value())),
                 ModelException);
    // Key paths through nil give nil rather than failing.
    EXPECT_TRUE(P::equal("uniqueIdentifier.anything", Value())->evaluateWithObject(event()));
}

TEST(PredicateTest, TreeIsInspectableAndPrintable) {
    auto p = P::andPredicate({P::in("type", Value(Array{Value(0), Value(1)})),
                              P::notPredicate(P::selfIn(Value(Array{}))),
                              P::orPredicate({P::beginsWith("name", "a", CaseInsensitivePredicateOption),
                                              P::equal("uniqueIdentifier", Value())})});
    EXPECT_EQ(
        p->predicateFormat(),
        "type IN {0, 1} AND NOT (SELF IN {}) AND (name BEGINSWITH[c] \"a\" OR uniqueIdentifier == nil)");
    ASSERT_EQ(p->kind(), Predicate::Kind::And);
    ASSERT_EQ(p->subpredicates().size(), 3u);
    const auto& first = p->subpredicates()[0];
    EXPECT_EQ(first->op(), PredicateOperator::In);
    EXPECT_EQ(first->lhs()->kind(), Expression::Kind::KeyPath);
    EXPECT_EQ(first->rhs()->constantValue().count(), 2u);
    EXPECT_EQ(P::equal("a.b.c", Value())->lhs()->keyPathComponents(),
              (std::vector<std::string>{"a", "b", "c"}));
}

Value row(const char* name, Value count, const char* store) {
    return Value(std::make_shared<const Record>(
        Dictionary{{"name", Value(name)},
                   {"count", std::move(count)},
                   {"rev", Value(std::make_shared<const Record>(Dictionary{{"store", Value(store)}}))}}));
}

std::vector<std::string> names(const std::vector<Value>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows)
        out.push_back(*valueForKeyPath(r, "name").asString());
    return out;
}

TEST(SortDescriptorTest, SortsByKeyPathsStablyWithNilFirst) {
    std::vector<Value> rows = {row("a", Value(3), "B"), row("b", Value(), "A"), row("c", Value(1.5), "B"),
                               row("d", Value(3), "A"), row("E", Value(int64_t{1} << 53), "A")};
    auto sorted = rows;
    sortObjects(sorted, {SortDescriptor("count")});
    EXPECT_EQ(names(sorted), (std::vector<std::string>{"b", "c", "a", "d", "E"}));
    sortObjects(sorted, {SortDescriptor("rev.store"), SortDescriptor("count", false)});
    EXPECT_EQ(names(sorted), (std::vector<std::string>{"E", "d", "b", "a", "c"}));
    sortObjects(sorted, {SortDescriptor("name")});
    EXPECT_EQ(names(sorted), (std::vector<std::string>{"E", "a", "b", "c", "d"}));  // code-point order
    sortObjects(sorted, {SortDescriptor("name", true, true)});
    EXPECT_EQ(names(sorted), (std::vector<std::string>{"a", "b", "c", "d", "E"}));
    SortDescriptor byCount("count", false);
    EXPECT_EQ(byCount.compareObjects(rows[0], rows[1]), -1);  // descending: nil last
    EXPECT_EQ(byCount.compareObjects(rows[0], rows[3]), 0);
}

}  // namespace
}  // namespace plat::coredata
