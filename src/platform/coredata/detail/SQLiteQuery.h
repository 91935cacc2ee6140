// Translates a fetch request's predicate and sort descriptors into SQL for the
// SQLite store.
//
// The translation is exact or absent, node by node: a comparison becomes SQL
// only when SQLite gives the same answer as the in-memory evaluation for every
// row (nil included), otherwise it is left out and the query is marked
// inexact. AND keeps its translatable parts (the SQL then selects a superset);
// OR with an untranslatable part selects everything; NOT is pushed down to the
// comparisons, where a negation is written so that a NULL never turns into a
// match or a miss. The store evaluates inexact queries again in memory.
// IN lists of any length are translated (long ones as one JSON array read
// through json_each), and so is ANY over a to-many relationship, as a
// subquery selecting the owners of matching members.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coredata/FetchRequest.h"
#include "platform/coredata/ManagedObjectID.h"
#include "platform/coredata/detail/SQLiteSchema.h"

namespace plat::coredata::sqlite {

// How a text may go into a JSON list that SQLite reads: Other when it holds a
// byte outside printable ASCII (JSON and SQLite could read it differently),
// Plain when it goes in as it is, Quoting when it holds '"' or '\\' (each then
// takes a backslash). Checked eight bytes at a time.
enum class ListText { Other, Plain, Quoting };
ListText classifyListText(std::string_view text);

struct Bind {
    enum class Kind { Null, Int, Double, Text, Blob };
    Kind kind = Kind::Null;
    int64_t i = 0;
    double d = 0;
    std::string bytes;  // Text and Blob
    bool operator==(const Bind&) const = default;
};

struct Query {
    std::string from;     // tables and joins, the fetched table aliased t0
    std::string where;    // empty: every row of the entity
    std::string orderBy;  // always ends with t0.Z_PK, so ties come out in key order
    // A lookup of listed keys or values: from walks the list (keys in key
    // order), so the rows get no ORDER BY; the store puts them in key order.
    bool listed = false;
    std::vector<Bind> binds;  // for ?1 ... ?n
    bool exact = true;        // where expresses the whole predicate
    bool sorted = true;       // orderBy expresses the whole ordering
};

// What a query's text follows from, for requests whose text follows from
// their structure alone (see QueryBuilder::shape).
struct QueryShape {
    // Equal for two requests exactly when build gives them the same text.
    std::string signature;
    std::vector<Bind> binds;  // what build binds, in its order
};

class Statement;
void bindAll(Statement& statement, const std::vector<Bind>& binds);
// Binds the first count of binds (parameters 1 to count) without copying
// their text and bytes: binds must stay unchanged until the statement is
// reset.
void bindInPlace(Statement& statement, const std::vector<Bind>& binds, std::size_t count);

class QueryBuilder {
  public:
    QueryBuilder(const Schema& schema, std::string storeIdentifier, const EntityDescription& entity,
                 bool includesSubentities);
    Query build(const Predicate* predicate, const std::vector<SortDescriptor>& sortDescriptors);
    // The shape of what build would make of the same request, when its text
    // depends on the values only through what the signature records:
    // comparisons of key paths to constants, the paths through to-ones ending
    // at an attribute (or at a relationship compared with nil), each constant
    // one build translates, lists of at most kMaxInlineValues members, under
    // AND, OR and NOT; the fetched row's own to-ones against stored objects
    // of a one-entity table; and SELF against stored objects of this store
    // and table, all of one entity. Anything else (other object comparisons,
    // text operators) has no shape. An indexed attribute's list alone has
    // one when it is walked through json_each (see buildListedValues).
    // Written into out (whose storage is reused); false: no shape.
    bool shape(const Predicate* predicate, const std::vector<SortDescriptor>& sortDescriptors,
               QueryShape& out) const;

  private:
    struct Fragment {
        std::string sql;  // empty: TRUE
        bool exact = true;
    };
    // A key path resolved to a column of the fetched table or a joined one.
    struct Resolved {
        std::string column;  // alias.column
        const AttributeDescription* attribute = nullptr;
        // Final to-one: the destination's alias, family and layout.
        std::string targetAlias;
        const EntityDescription* destination = nullptr;
        // A to-one of the fetched entity itself: t0's column holding its key.
        std::string keyColumn;
    };

    Fragment translate(const Predicate& p, bool negate);
    Fragment conjunction(const std::vector<PredicatePtr>& parts, bool negate);
    Fragment disjunction(const std::vector<PredicatePtr>& parts, bool negate);
    std::optional<std::string> comparison(const Predicate& p);
    std::optional<std::string> anyComparison(const Predicate& p);
    std::optional<std::string> keyPathComparison(const Resolved& r, PredicateOperator op,
                                                 const Value& constant, unsigned options);
    std::optional<std::string> attributeComparison(const Resolved& r, PredicateOperator op,
                                                   const Value& constant, unsigned options);
    std::optional<std::string> ownToOneComparison(const Resolved& r, PredicateOperator op,
                                                  const Value& constant);
    std::optional<std::string> objectComparison(const std::string& alias, const EntityDescription& family,
                                                PredicateOperator op, const Value& constant);
    std::optional<std::string> idMatch(const std::string& alias, const EntityDescription& family,
                                       const Array& members);
    // The keys of the stored rows among members, by entity number, each
    // list in key order and each key once.
    std::map<int64_t, std::vector<int64_t>> keysOf(const EntityDescription& family,
                                                   const Array& members) const;
    // "SELF IN list" of two or more of one entity's rows as a lookup of
    // each listed key (see build).
    bool buildListed(const Predicate& predicate, Query& q, std::vector<std::string>& conditions);
    // "attribute IN list" of two or more members as a lookup of each member in the
    // attribute's index (see buildListed).
    bool buildListedValues(const Predicate& predicate, Query& q);
    // The JSON array that buildListedValues walks for predicate, and the
    // column it looks the members up in; nullopt when the list is not
    // walked that way.
    std::optional<std::string> listedValues(const Predicate& predicate, const Column*& column) const;
    // "column IN members" for members in the column's storage form.
    std::optional<std::string> listMatch(const std::string& column, std::vector<Bind> members);
    std::optional<Resolved> resolve(const std::vector<std::string>& components);
    // The property a key path ends at, when resolve finds it a column.
    const PropertyDescription* resolvedProperty(const std::vector<std::string>& components) const;
    // The indexed column of the fetched table that buildListedValues may walk
    // a list of, for a key path of one attribute.
    const Column* listableColumn(const std::vector<std::string>& components) const;
    bool appendShape(const Predicate& p, QueryShape& shape) const;
    bool appendKeysShape(const RelationshipDescription& toOne, const Value& constant, bool in,
                         QueryShape& shape) const;
    // SELF compared with stored objects (see idMatch); alone: p is the whole
    // predicate of an unsorted request, which may be a lookup of listed keys
    // (see buildListed).
    bool appendSelfShape(const Predicate& p, bool alone, QueryShape& shape) const;
    // The ID of a member naming an object saved in this store; null otherwise.
    ManagedObjectIDPtr storedObjectID(const Value& member) const;
    std::string joinFor(const std::string& fromAlias, const Column& keyColumn, const Table& destination,
                        const std::string& path);
    std::string param(Bind bind);
    // Appends "?<n>" for a new parameter bound to bind.
    void appendParam(std::string& out, Bind bind);

    const Schema& schema_;
    std::string storeIdentifier_;
    const EntityDescription& entity_;
    const EntityLayout& layout_;
    bool includesSubentities_;
    std::string joins_;
    std::vector<std::pair<std::string, std::string>> joinAliases_;  // path -> alias
    std::vector<Bind> binds_;
    int subqueries_ = 0;
    // The array of listedValues that shape made for a predicate, taken by
    // build of the same predicate.
    mutable const Predicate* shapedList_ = nullptr;
    mutable const Column* shapedListColumn_ = nullptr;
    mutable std::string shapedListJSON_;
};

// The storage form of a constant for an attribute's column, when SQLite
// compares it as the in-memory evaluation would.
std::optional<Bind> comparableBind(const AttributeDescription& attribute, const Value& constant);

}  // namespace plat::coredata::sqlite
