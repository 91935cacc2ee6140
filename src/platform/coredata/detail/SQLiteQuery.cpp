#include "platform/coredata/detail/SQLiteQuery.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>

#include "platform/coredata/KeyValueCoding.h"
#include "platform/coredata/ManagedObjectID.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/coredata/detail/SQLiteDatabase.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/URL.h"

namespace plat::coredata::sqlite {
namespace {

enum class Category { Numeric, Text, Date, Blob, UUID, URI, None };

Category categoryOf(AttributeType type) {
    switch (type) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
        case AttributeType::Boolean:
        case AttributeType::Double:
        case AttributeType::Float:
            return Category::Numeric;
        case AttributeType::String:
            return Category::Text;
        case AttributeType::Date:
            return Category::Date;
        case AttributeType::BinaryData:
            return Category::Blob;
        case AttributeType::UUID:
            return Category::UUID;
        case AttributeType::URI:
            return Category::URI;
        default:
            return Category::None;  // decimals, transformables: compared in memory
    }
}

// SQLite orders these as Value::compare does (strings by UTF-8 bytes, which
// is code point order).
bool orderable(Category c) {
    return c == Category::Numeric || c == Category::Text || c == Category::Date;
}

// Float and double columns hold a NaN as a blob (SQLite has no NaN).
bool holdsNaN(const AttributeDescription& attribute) {
    return attribute.attributeType() == AttributeType::Double ||
           attribute.attributeType() == AttributeType::Float;
}

Bind intBind(int64_t v) {
    Bind b;
    b.kind = Bind::Kind::Int;
    b.i = v;
    return b;
}

Bind doubleBind(double v) {
    Bind b;
    b.kind = Bind::Kind::Double;
    b.d = v;
    return b;
}

Bind bytesBind(Bind::Kind kind, std::string bytes) {
    Bind b;
    b.kind = kind;
    b.bytes = std::move(bytes);
    return b;
}

const Array* membersOf(const Value& v) {
    if (const Array* a = v.asArray())
        return a;
    if (const Set* s = v.asSet())
        return &s->values();
    return nullptr;
}

// The smallest string greater than every string starting with prefix.
std::optional<std::string> successor(std::string s) {
    while (!s.empty()) {
        auto c = static_cast<unsigned char>(s.back());
        if (c < 0xFF) {
            s.back() = static_cast<char>(c + 1);
            return s;
        }
        s.pop_back();
    }
    return std::nullopt;
}

std::optional<PredicateOperator> flipped(PredicateOperator op) {
    switch (op) {
        case PredicateOperator::EqualTo:
        case PredicateOperator::NotEqualTo:
            return op;
        case PredicateOperator::LessThan:
            return PredicateOperator::GreaterThan;
        case PredicateOperator::LessThanOrEqualTo:
            return PredicateOperator::GreaterThanOrEqualTo;
        case PredicateOperator::GreaterThan:
            return PredicateOperator::LessThan;
        case PredicateOperator::GreaterThanOrEqualTo:
            return PredicateOperator::LessThanOrEqualTo;
        default:
            return std::nullopt;
    }
}

const char* orderSymbol(PredicateOperator op) {
    switch (op) {
        case PredicateOperator::LessThan:
            return " < ";
        case PredicateOperator::LessThanOrEqualTo:
            return " <= ";
        case PredicateOperator::GreaterThan:
            return " > ";
        default:
            return " >= ";
    }
}

std::string negated(const std::string& sql) {
    return "NOT coalesce((" + sql + "), 0)";
}

// Lists longer than this go to SQLite as one JSON array read back through
// json_each, so that neither the statement text nor the number of parameters
// grows with the list (SQLite caps parameters at 32766); SQLite builds an
// index over the list once, so the cost is linear in rows plus members.
constexpr std::size_t kMaxInlineValues = 64;

// A fetch of nothing but "SELF IN list" or "indexed attribute IN list" walks
// the list through json_each from this many distinct members on: below it
// the list is one member, which SQLite looks up as an equality. From two
// members on, "column IN (?1, ?2, ...)" makes SQLite build a temporary index
// over the members before the lookups (about 30,000 instructions for two to
// sixteen keys, three times the lookups themselves), while json_each reads
// the bound text in place.
constexpr std::size_t kMinListedValues = 2;

// A short list's length padded to the next power of two (see listMatch).
std::size_t paddedLength(std::size_t length) {
    if (length > kMaxInlineValues)
        return length;
    std::size_t padded = 1;
    while (padded < length)
        padded *= 2;
    return padded;
}

template <typename T>
void appendRaw(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void appendName(std::string& out, const std::string& name) {
    appendRaw(out, static_cast<uint32_t>(name.size()));
    out += name;
}

bool finite(const Bind& b) {
    return b.kind != Bind::Kind::Double || (b.d - b.d == 0);
}

}  // namespace

ListText classifyListText(std::string_view text) {
    constexpr uint64_t kOnes = ~uint64_t{0} / 255;  // 0x0101...01
    constexpr uint64_t kHigh = kOnes * 0x80;
    // Each test is exact for the word as a whole (no false alarm from a
    // borrow or carry between bytes): a byte below 0x20, above 0x7E, or equal
    // to a given byte.
    auto below = [](uint64_t w, uint64_t n) { return ((w - kOnes * n) & ~w & kHigh) != 0; };
    auto above = [](uint64_t w, uint64_t n) { return (((w + kOnes * (127 - n)) | w) & kHigh) != 0; };
    auto holds = [](uint64_t w, uint64_t c) {
        const uint64_t v = w ^ (kOnes * c);
        return ((v - kOnes) & ~v & kHigh) != 0;
    };
    bool quoting = false;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, text.data() + i, 8);
        if (below(w, 0x20) || above(w, 0x7E))
            return ListText::Other;
        quoting = quoting || holds(w, '"') || holds(w, '\\');
    }
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < 0x20 || c > 0x7E)
            return ListText::Other;
        quoting = quoting || c == '"' || c == '\\';
    }
    return quoting ? ListText::Quoting : ListText::Plain;
}

namespace {

// Printable ASCII only: such text means the same to JSON and to SQLite.
bool plainText(const std::string& s) {
    for (char c : s) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

std::string hexOf(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes)
        text::appendHexByte(out, c, true);
    return out;
}

// Keys as a JSON array of numbers.
std::string jsonKeys(const std::vector<int64_t>& keys) {
    std::string out = "[";
    out.reserve(keys.size() * 8 + 2);
    char number[32];
    for (int64_t key : keys) {
        if (out.size() > 1)
            out += ',';
        out.append(number, std::to_chars(number, number + sizeof number, key).ptr);
    }
    out += ']';
    return out;
}

// The members as a JSON array: numbers as they are, texts as JSON strings, or
// every text and blob as upper-case hex when byHex (compared with hex(col)).
std::string jsonArray(const std::vector<Bind>& members, bool byHex) {
    std::string out = "[";
    out.reserve(members.size() * 8 + 2);  // room for short keys without regrowing
    char number[32];
    for (const Bind& b : members) {
        if (out.size() > 1)
            out += ',';
        switch (b.kind) {
            case Bind::Kind::Int:
                out.append(number, std::to_chars(number, number + sizeof number, b.i).ptr);
                break;
            case Bind::Kind::Double:
                std::snprintf(number, sizeof number, "%.17g", b.d);
                out += number;
                break;
            case Bind::Kind::Text:
            case Bind::Kind::Blob:
                out += '"';
                if (byHex) {
                    out += hexOf(b.bytes);
                } else {
                    for (char c : b.bytes) {
                        if (c == '"' || c == '\\')
                            out += '\\';
                        out += c;
                    }
                }
                out += '"';
                break;
            case Bind::Kind::Null:
                out += "null";
                break;
        }
    }
    return out + "]";
}

}  // namespace

std::optional<Bind> comparableBind(const AttributeDescription& attribute, const Value& c) {
    switch (categoryOf(attribute.attributeType())) {
        case Category::Numeric:
            switch (c.kind()) {
                case Value::Kind::Bool:
                    return intBind(c.rawBool() ? 1 : 0);
                case Value::Kind::Int:
                    return intBind(c.rawInt());
                case Value::Kind::UInt:
                    if (c.rawUInt() > static_cast<uint64_t>(INT64_MAX))
                        return std::nullopt;
                    return intBind(static_cast<int64_t>(c.rawUInt()));
                case Value::Kind::Double:
                    if (c.rawDouble() != c.rawDouble())
                        return std::nullopt;  // NaN: SQLite has none
                    return doubleBind(c.rawDouble());
                default:
                    return std::nullopt;
            }
        case Category::Text:
            if (const std::string* s = c.asString())
                return bytesBind(Bind::Kind::Text, *s);
            return std::nullopt;
        case Category::Date:
            if (auto d = c.asDate())
                return doubleBind(d->timeIntervalSinceReferenceDate());
            return std::nullopt;
        case Category::Blob:
            if (const Data* d = c.asData())
                return bytesBind(Bind::Kind::Blob, d->toString());
            return std::nullopt;
        case Category::UUID:
            if (auto u = c.asObjectOf<UUIDObject>()) {
                const auto& bytes = u->uuid().bytes();
                return bytesBind(Bind::Kind::Blob, std::string(bytes.begin(), bytes.end()));
            }
            return std::nullopt;
        case Category::URI:
            if (auto u = c.asObjectOf<URLObject>())
                return bytesBind(Bind::Kind::Text, u->url().absoluteString());
            return std::nullopt;
        case Category::None:
            return std::nullopt;
    }
    return std::nullopt;
}

namespace {

// The binds of a list's members compared with an attribute, in their order,
// nil members left out and reported through withNil; none when the constant
// is no list or a member cannot be compared.
std::optional<std::vector<Bind>> memberBinds(const AttributeDescription& attribute, const Value& c,
                                             bool& withNil) {
    const Array* members = membersOf(c);
    if (!members)
        return std::nullopt;
    std::vector<Bind> list;
    list.reserve(members->size());
    withNil = false;
    for (const Value& m : *members) {
        if (m.isNull()) {
            withNil = true;
            continue;
        }
        auto b = comparableBind(attribute, m);
        if (!b)
            return std::nullopt;
        list.push_back(std::move(*b));
    }
    return list;
}

}  // namespace

namespace {

void bindEach(Statement& statement, const std::vector<Bind>& binds, std::size_t count, bool inPlace) {
    for (std::size_t i = 0; i < count; ++i) {
        const Bind& b = binds[i];
        int at = static_cast<int>(i + 1);
        switch (b.kind) {
            case Bind::Kind::Null:
                statement.bindNull(at);
                break;
            case Bind::Kind::Int:
                statement.bindInt(at, b.i);
                break;
            case Bind::Kind::Double:
                statement.bindDouble(at, b.d);
                break;
            case Bind::Kind::Text:
                if (inPlace)
                    statement.bindTextInPlace(at, b.bytes);
                else
                    statement.bindText(at, b.bytes);
                break;
            case Bind::Kind::Blob:
                if (inPlace)
                    statement.bindBlobInPlace(at, b.bytes.data(), b.bytes.size());
                else
                    statement.bindBlob(at, b.bytes.data(), b.bytes.size());
                break;
        }
    }
}

}  // namespace

void bindAll(Statement& statement, const std::vector<Bind>& binds) {
    bindEach(statement, binds, binds.size(), false);
}

void bindInPlace(Statement& statement, const std::vector<Bind>& binds, std::size_t count) {
    bindEach(statement, binds, std::min(count, binds.size()), true);
}

QueryBuilder::QueryBuilder(const Schema& schema, std::string storeIdentifier, const EntityDescription& entity,
                           bool includesSubentities)
    : schema_(schema),
      storeIdentifier_(std::move(storeIdentifier)),
      entity_(entity),
      layout_(schema.entity(entity)),
      includesSubentities_(includesSubentities) {}

std::string QueryBuilder::param(Bind bind) {
    std::string out;
    appendParam(out, std::move(bind));
    return out;
}

void QueryBuilder::appendParam(std::string& out, Bind bind) {
    binds_.push_back(std::move(bind));
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, binds_.size());
    (void)ec;  // a size_t always fits
    out += '?';
    out.append(digits, end);
}

Query QueryBuilder::build(const Predicate* predicate, const std::vector<SortDescriptor>& sortDescriptors) {
    Query q;
    std::vector<std::string> conditions;
    const auto& family = entity_.selfAndDescendants();
    if (!includesSubentities_ && !(layout_.table->singleEntity)) {
        conditions.push_back("t0.Z_ENT = " + std::to_string(layout_.number));
    } else if (includesSubentities_ && entity_.superentity()) {
        std::string list;
        for (const EntityDescription* e : family)
            list += (list.empty() ? "" : ", ") + std::to_string(schema_.entity(*e).number);
        conditions.push_back("t0.Z_ENT IN (" + list + ")");
    }
    // Listed rows or values (SELF, or an indexed attribute, IN a list of
    // kMinListedValues or more, nothing else): SQLite walks the list and
    // looks each row up,
    // rather than first building an index over the list and then walking
    // that.
    const bool listed = predicate && sortDescriptors.empty() && buildListed(*predicate, q, conditions);
    if (predicate && !listed) {
        Fragment f = translate(*predicate, false);
        q.exact = f.exact;
        if (!f.sql.empty())
            conditions.push_back(std::move(f.sql));
    }
    for (std::size_t i = 0; i < conditions.size(); ++i) {
        q.where += i ? " AND (" : "(";
        q.where += conditions[i];
        q.where += ')';
    }
    std::string order;
    for (const SortDescriptor& d : sortDescriptors) {
        auto r = resolve(d.keyPathComponents());
        Category c = r && r->attribute ? categoryOf(r->attribute->attributeType()) : Category::None;
        if (!orderable(c) || (d.caseInsensitive() && c == Category::Text)) {
            q.sorted = false;
            order.clear();
            break;
        }
        const char* direction = d.ascending() ? " ASC, " : " DESC, ";
        // nil, then NaN (stored as a blob), then numbers, as in memory.
        if (holdsNaN(*r->attribute))
            order += "(typeof(" + r->column + ") IN ('integer', 'real'))" + direction;
        order += r->column + direction;
    }
    q.orderBy = order + "t0.Z_PK";
    if (!listed)
        q.from = quoteIdentifier(layout_.table->name) + " t0" + joins_;
    q.binds = std::move(binds_);
    return q;
}

bool QueryBuilder::shape(const Predicate* predicate, const std::vector<SortDescriptor>& sortDescriptors,
                         QueryShape& out) const {
    out.signature.clear();
    out.binds.clear();
    appendRaw(out.signature, &entity_);
    appendRaw(out.signature, includesSubentities_);
    if (predicate) {
        // A list of an indexed attribute's values alone may be walked
        // through json_each, depending on its members (buildListedValues).
        const Predicate& p = *predicate;
        if (sortDescriptors.empty() && p.kind() == Predicate::Kind::Comparison &&
            p.modifier() == ComparisonModifier::Direct && p.op() == PredicateOperator::In &&
            p.lhs()->kind() == Expression::Kind::KeyPath && listableColumn(p.lhs()->keyPathComponents())) {
            // Walked through json_each, the text follows from the column
            // alone and the list is one bound array; a list that is not
            // (too few distinct members, members of other kinds) has no
            // shape.
            const Column* column = nullptr;
            std::optional<std::string> json;
            if (p.rhs()->kind() == Expression::Kind::Constant)
                json = listedValues(p, column);
            if (!json)
                return false;
            out.signature += 'J';
            appendRaw(out.signature, column);
            appendRaw(out.signature, uint32_t{0});  // no sort
            // Kept for build, should the signature be new: a long list's
            // array is made once.
            shapedList_ = &p;
            shapedListColumn_ = column;
            shapedListJSON_ = *json;
            out.binds.push_back(bytesBind(Bind::Kind::Text, std::move(*json)));
            return true;
        }
        out.signature += 'P';
        // SELF IN a list, alone and unsorted, may be a lookup of the listed
        // keys (buildListed).
        const bool alone = sortDescriptors.empty() && p.kind() == Predicate::Kind::Comparison &&
                           p.lhs()->kind() == Expression::Kind::EvaluatedObject;
        if (!(alone ? appendSelfShape(p, true, out) : appendShape(p, out)))
            return false;
    } else {
        out.signature += '-';
    }
    appendRaw(out.signature, static_cast<uint32_t>(sortDescriptors.size()));
    for (const SortDescriptor& d : sortDescriptors) {
        appendName(out.signature, d.key());
        out.signature += d.ascending() ? 'a' : 'd';
        out.signature += d.caseInsensitive() ? 'i' : 's';
    }
    return true;
}

// Records what translate's text depends on: the structure, each key path,
// operator and options, and of each constant only whether it is nil (or, for
// a list, whether it holds nil and its padded length). Constants whose text
// depends on more have no shape.
bool QueryBuilder::appendShape(const Predicate& p, QueryShape& shape) const {
    std::string& sig = shape.signature;
    switch (p.kind()) {
        case Predicate::Kind::True:
            sig += 'T';
            return true;
        case Predicate::Kind::False:
            sig += 'F';
            return true;
        case Predicate::Kind::Not:
            sig += 'N';
            return appendShape(*p.subpredicates()[0], shape);
        case Predicate::Kind::And:
        case Predicate::Kind::Or:
            sig += p.kind() == Predicate::Kind::And ? 'A' : 'O';
            appendRaw(sig, static_cast<uint32_t>(p.subpredicates().size()));
            for (const auto& part : p.subpredicates()) {
                if (!appendShape(*part, shape))
                    return false;
            }
            return true;
        case Predicate::Kind::Comparison:
            break;
    }
    if (p.lhs()->kind() == Expression::Kind::EvaluatedObject)
        return appendSelfShape(p, false, shape);
    if (p.modifier() != ComparisonModifier::Direct || p.lhs()->kind() != Expression::Kind::KeyPath ||
        p.rhs()->kind() != Expression::Kind::Constant)
        return false;
    const PropertyDescription* property = resolvedProperty(p.lhs()->keyPathComponents());
    if (!property)
        return false;
    sig += 'C';
    appendRaw(sig, static_cast<uint8_t>(p.op()));
    appendRaw(sig, static_cast<uint32_t>(p.options()));
    appendName(sig, p.lhs()->keyPath());
    const Value& c = p.rhs()->constantValue();
    const bool equality = p.op() == PredicateOperator::EqualTo || p.op() == PredicateOperator::NotEqualTo;
    if (!property->isAttribute()) {
        // A relationship against nil: the key (or the joined row's key) IS NULL.
        if (equality && c.isNull()) {
            sig += 'n';
            return true;
        }
        if (p.lhs()->keyPathComponents().size() != 1 || (!equality && p.op() != PredicateOperator::In))
            return false;
        return appendKeysShape(*static_cast<const RelationshipDescription*>(property), c,
                               p.op() == PredicateOperator::In, shape);
    }
    const auto& attribute = *static_cast<const AttributeDescription*>(property);
    const Category category = categoryOf(attribute.attributeType());
    if ((p.options() & CaseInsensitivePredicateOption) && category == Category::Text)
        return false;
    switch (p.op()) {
        case PredicateOperator::EqualTo:
        case PredicateOperator::NotEqualTo:
        case PredicateOperator::LessThan:
        case PredicateOperator::LessThanOrEqualTo:
        case PredicateOperator::GreaterThan:
        case PredicateOperator::GreaterThanOrEqualTo: {
            if (c.isNull()) {
                sig += 'n';
                return true;
            }
            if (!equality && !orderable(category))
                return false;
            auto b = comparableBind(attribute, c);
            if (!b)
                return false;
            sig += 'v';
            shape.binds.push_back(std::move(*b));
            return true;
        }
        case PredicateOperator::In: {
            bool withNil = false;
            auto binds = memberBinds(attribute, c, withNil);
            if (!binds)
                return false;
            const std::vector<Bind>& list = *binds;
            if (list.size() > kMaxInlineValues)
                return false;
            const std::size_t padded = list.empty() ? 0 : paddedLength(list.size());
            sig += 'l';
            sig += withNil ? 'n' : '-';
            appendRaw(sig, static_cast<uint32_t>(padded));
            // listMatch's padding: the last member repeated.
            for (std::size_t i = 0; i < padded; ++i)
                shape.binds.push_back(list[std::min(i, list.size() - 1)]);
            return true;
        }
        default:
            return false;
    }
}

// A to-one of the fetched row against stored objects of its destination's
// table, a table of one entity: ownToOneComparison matches the row's key
// column against the members' keys, in their order, and the joined row only
// exists. Other members (nil, temporary, of another store or table) are
// matched otherwise and have no shape.
bool QueryBuilder::appendKeysShape(const RelationshipDescription& toOne, const Value& constant, bool in,
                                   QueryShape& shape) const {
    const Array single{constant};
    const Array* members = in ? membersOf(constant) : &single;
    if (!members || members->empty() || members->size() > kMaxInlineValues)
        return false;
    const Table* table = schema_.entity(*toOne.destinationEntity()->rootEntity()).table;
    if (!table->singleEntity)
        return false;
    const std::size_t first = shape.binds.size();
    for (const Value& m : *members) {
        const auto id = storedObjectID(m);
        if (!id)
            return false;
        const EntityLayout* layout = schema_.entityOf(*id->entity());
        if (!layout || layout->table != table)
            return false;
        shape.binds.push_back(intBind(id->primaryKey()));
    }
    const std::size_t padded = paddedLength(members->size());
    shape.signature += 'k';
    appendRaw(shape.signature, static_cast<uint32_t>(padded));
    // listMatch's padding: the last key repeated.
    const Bind last = shape.binds[first + members->size() - 1];
    for (std::size_t i = members->size(); i < padded; ++i)
        shape.binds.push_back(last);
    return true;
}

// The ID of a list member that names an object saved in this store (the ID
// itself, or an object's); null for nil, values that are no object,
// temporary IDs and other stores' objects.
ManagedObjectIDPtr QueryBuilder::storedObjectID(const Value& member) const {
    if (member.isNull())
        return nullptr;
    auto id = ManagedObjectID::fromValue(member);
    if (!id)
        id = ManagedObjectID::fromValue(comparisonValue(member));
    if (!id || id->isTemporaryID() || id->storeIdentifier() != storeIdentifier_)
        return nullptr;
    return id;
}

// SELF against stored objects of this store and of the fetched table, all
// of one entity (no nil, temporary IDs, other stores or values that are no
// object), at most kMaxInlineValues of them: objectComparison matches t0's
// key against their keys in key order, each once, padded as listMatch pads
// them, with the entity's number when the table holds several. When alone
// (the request's whole predicate, unsorted), a list of two keys or more is
// instead a lookup of the listed keys (buildListed), bound as one JSON array.
bool QueryBuilder::appendSelfShape(const Predicate& p, bool alone, QueryShape& shape) const {
    if (p.modifier() != ComparisonModifier::Direct || p.rhs()->kind() != Expression::Kind::Constant)
        return false;
    const bool in = p.op() == PredicateOperator::In;
    if (!in && p.op() != PredicateOperator::EqualTo && p.op() != PredicateOperator::NotEqualTo)
        return false;
    const Value& constant = p.rhs()->constantValue();
    const Array* members = nullptr;
    Array single;
    if (in) {
        members = membersOf(constant);
    } else {
        single.push_back(constant);
        members = &single;
    }
    // A longer list costs more to read than its text does to build: a
    // request whose signature is new would read it twice.
    if (!members || members->empty() || members->size() > kMaxInlineValues)
        return false;
    const EntityDescription* entity = nullptr;
    int64_t number = 0;
    std::vector<int64_t> keys;
    keys.reserve(members->size());
    for (const Value& m : *members) {
        const auto id = storedObjectID(m);
        if (!id)
            return false;
        if (!entity || id->entity() != entity) {
            if (entity || !id->entity())
                return false;
            entity = id->entity();
            const EntityLayout* layout = schema_.entityOf(*entity);
            if (!layout || layout->table != layout_.table)
                return false;
            number = layout->number;
        }
        keys.push_back(id->primaryKey());
    }
    if (!std::is_sorted(keys.begin(), keys.end()))
        std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::string& sig = shape.signature;
    sig += 'S';
    appendRaw(sig, static_cast<uint8_t>(p.op()));
    appendRaw(sig, number);
    if (alone && keys.size() >= kMinListedValues) {
        sig += 'L';
        shape.binds.push_back(bytesBind(Bind::Kind::Text, jsonKeys(keys)));
        return true;
    }
    const std::size_t padded = paddedLength(keys.size());
    sig += 'k';
    appendRaw(sig, static_cast<uint32_t>(padded));
    for (std::size_t i = 0; i < padded; ++i)
        shape.binds.push_back(intBind(keys[std::min(i, keys.size() - 1)]));
    return true;
}

const PropertyDescription* QueryBuilder::resolvedProperty(const std::vector<std::string>& components) const {
    const EntityDescription* e = &entity_;
    for (std::size_t i = 0; i < components.size(); ++i) {
        const PropertyDescription* p = e->propertyNamed(components[i]);
        if (!p || p->isTransient())
            return nullptr;
        if (schema_.entity(*e).valueColumn[p->index()] < 0)
            return nullptr;
        if (i + 1 == components.size())
            return p;
        if (p->isAttribute())
            return nullptr;
        e = static_cast<const RelationshipDescription*>(p)->destinationEntity();
    }
    return nullptr;
}

QueryBuilder::Fragment QueryBuilder::translate(const Predicate& p, bool negate) {
    switch (p.kind()) {
        case Predicate::Kind::True:
            return {negate ? "0" : "1", true};
        case Predicate::Kind::False:
            return {negate ? "1" : "0", true};
        case Predicate::Kind::Not:
            return translate(*p.subpredicates()[0], !negate);
        case Predicate::Kind::And:
            return negate ? disjunction(p.subpredicates(), true) : conjunction(p.subpredicates(), false);
        case Predicate::Kind::Or:
            return negate ? conjunction(p.subpredicates(), true) : disjunction(p.subpredicates(), false);
        case Predicate::Kind::Comparison: {
            auto sql = comparison(p);
            if (!sql)
                return {"", false};
            return {negate ? negated(*sql) : *sql, true};
        }
    }
    return {"", false};
}

QueryBuilder::Fragment QueryBuilder::conjunction(const std::vector<PredicatePtr>& parts, bool negate) {
    Fragment out;
    for (const auto& part : parts) {
        Fragment f = translate(*part, negate);
        out.exact = out.exact && f.exact;
        if (!f.sql.empty()) {
            out.sql += out.sql.empty() ? "(" : " AND (";
            out.sql += f.sql;
            out.sql += ')';
        }
    }
    return out;
}

QueryBuilder::Fragment QueryBuilder::disjunction(const std::vector<PredicatePtr>& parts, bool negate) {
    if (parts.empty())
        return {"0", true};
    Fragment out;
    for (const auto& part : parts) {
        Fragment f = translate(*part, negate);
        if (f.sql.empty())
            return {"", false};  // one side may match anything
        out.exact = out.exact && f.exact;
        out.sql += out.sql.empty() ? "(" : " OR (";
        out.sql += f.sql;
        out.sql += ')';
    }
    return out;
}

std::optional<std::string> QueryBuilder::comparison(const Predicate& p) {
    if (p.modifier() == ComparisonModifier::Any)
        return anyComparison(p);
    if (p.modifier() != ComparisonModifier::Direct)
        return std::nullopt;
    const Expression& lhs = *p.lhs();
    const Expression& rhs = *p.rhs();
    if (rhs.kind() == Expression::Kind::Constant) {
        if (lhs.kind() == Expression::Kind::EvaluatedObject)
            return objectComparison("t0", *layout_.table->root, p.op(), rhs.constantValue());
        if (lhs.kind() == Expression::Kind::KeyPath) {
            auto r = resolve(lhs.keyPathComponents());
            return r ? keyPathComparison(*r, p.op(), rhs.constantValue(), p.options()) : std::nullopt;
        }
        return std::nullopt;
    }
    if (lhs.kind() == Expression::Kind::Constant && rhs.kind() == Expression::Kind::KeyPath) {
        auto op = flipped(p.op());
        auto r = op ? resolve(rhs.keyPathComponents()) : std::nullopt;
        return r ? keyPathComparison(*r, *op, lhs.constantValue(), p.options()) : std::nullopt;
    }
    return std::nullopt;
}

// "ANY a.b.toMany[.attribute] op constant": the to-ones before the to-many
// are joined as usual; the members are tested in a subquery, which finds no
// owner for no members, so the answer is false, as the in-memory test is.
std::optional<std::string> QueryBuilder::anyComparison(const Predicate& p) {
    if (p.lhs()->kind() != Expression::Kind::KeyPath || p.rhs()->kind() != Expression::Kind::Constant)
        return std::nullopt;
    const auto& components = p.lhs()->keyPathComponents();
    const EntityDescription* e = &entity_;
    std::string owner = "t0", path;
    std::size_t i = 0;
    const RelationshipDescription* toMany = nullptr;
    for (; i < components.size() && !toMany; ++i) {
        const PropertyDescription* property = e->propertyNamed(components[i]);
        if (!property || property->isTransient() || property->isAttribute())
            return std::nullopt;
        auto* rel = static_cast<const RelationshipDescription*>(property);
        if (rel->isToMany()) {
            toMany = rel;
            break;
        }
        const EntityLayout& layout = schema_.entity(*e);
        int column = layout.valueColumn[rel->index()];
        if (column < 0)
            return std::nullopt;
        path += components[i] + ".";
        owner = joinFor(owner, layout.table->columns[static_cast<std::size_t>(column)],
                        *schema_.entity(*rel->destinationEntity()).table, path);
        e = rel->destinationEntity();
    }
    if (!toMany || i + 2 < components.size())
        return std::nullopt;
    const ToManyLayout& members = schema_.toMany(*toMany);
    const std::string n = std::to_string(++subqueries_);
    const std::string m = "m" + n;
    std::optional<std::string> test;
    const EntityDescription* destination = toMany->destinationEntity();
    if (i + 1 == components.size()) {
        test = objectComparison(m, *destination->rootEntity(), p.op(), p.rhs()->constantValue());
    } else {
        const PropertyDescription* property = destination->propertyNamed(components[i + 1]);
        if (!property || property->isTransient() || !property->isAttribute())
            return std::nullopt;
        int column = schema_.entity(*destination).valueColumn[property->index()];
        if (column < 0)
            return std::nullopt;
        Resolved r;
        r.column =
            m + "." + quoteIdentifier(members.memberTable->columns[static_cast<std::size_t>(column)].name);
        r.attribute = static_cast<const AttributeDescription*>(property);
        test = attributeComparison(r, p.op(), p.rhs()->constantValue(), p.options());
    }
    if (!test)
        return std::nullopt;
    // The owners of matching members, selected once (the subquery does not
    // refer to the outer row), then looked up per row.
    const std::string memberTable = quoteIdentifier(members.memberTable->name) + " " + m;
    if (members.joinTable) {
        const std::string j = "j" + n;
        return owner + ".Z_PK IN (SELECT " + j + ".Z_OWNER FROM " + quoteIdentifier(members.joinTableName) +
               " " + j + " JOIN " + memberTable + " ON " + m + ".Z_PK = " + j + ".Z_MEMBER WHERE " + *test +
               ")";
    }
    const std::string key =
        m + "." +
        quoteIdentifier(members.memberTable->columns[static_cast<std::size_t>(members.keyColumn)].name);
    return owner + ".Z_PK IN (SELECT " + key + " FROM " + memberTable + " WHERE " + key +
           " IS NOT NULL AND (" + *test + "))";
}

std::optional<std::string> QueryBuilder::keyPathComparison(const Resolved& r, PredicateOperator op,
                                                           const Value& constant, unsigned options) {
    if (r.attribute)
        return attributeComparison(r, op, constant, options);
    // A to-one of the row itself is nil exactly when its key column is (a
    // key whose row is gone still reads as an object, as in memory); the
    // column is indexed, the joined row is not.
    if (!r.keyColumn.empty() && constant.isNull() &&
        (op == PredicateOperator::EqualTo || op == PredicateOperator::NotEqualTo)) {
        const std::string sql = r.keyColumn + " IS NULL";
        return op == PredicateOperator::EqualTo ? sql : negated(sql);
    }
    if (!r.keyColumn.empty()) {
        if (auto sql = ownToOneComparison(r, op, constant))
            return sql;
    }
    return objectComparison(r.targetAlias, *r.destination->rootEntity(), op, constant);
}

// A to-one of the fetched row against objects: the row's own (indexed) key
// column is matched first, so SQLite finds the rows through that index
// instead of visiting every row for the joined destination; the match on the
// joined destination stays, so a key whose row is gone matches nothing, as
// before.
std::optional<std::string> QueryBuilder::ownToOneComparison(const Resolved& r, PredicateOperator op,
                                                            const Value& constant) {
    const bool in = op == PredicateOperator::In;
    if (!in && op != PredicateOperator::EqualTo && op != PredicateOperator::NotEqualTo)
        return std::nullopt;
    const Array single{constant};
    const Array* members = in ? membersOf(constant) : &single;
    if (!members)
        return std::nullopt;
    const EntityDescription& family = *r.destination->rootEntity();
    const Table* table = schema_.entity(family).table;
    std::vector<Bind> keys;
    keys.reserve(members->size());
    // Whether every member is a key of the destination's table.
    bool allKeys = true;
    for (const Value& m : *members) {
        if (m.isNull())
            return std::nullopt;  // nil members match rows without a key: left to the join
        auto id = ManagedObjectID::fromValue(m);
        if (!id)
            id = ManagedObjectID::fromValue(comparisonValue(m));
        if (!id || id->isTemporaryID() || id->storeIdentifier() != storeIdentifier_) {
            allKeys = false;
            continue;
        }
        const EntityLayout* layout = schema_.entityOf(*id->entity());
        if (layout && layout->table == table)
            keys.push_back(intBind(id->primaryKey()));
        else
            allKeys = false;
    }
    if (keys.empty())
        return std::nullopt;
    auto byKey = listMatch(r.keyColumn, std::move(keys));
    // The joined row is the one of the row's own key: when every member is a
    // key of a table of one entity, the key matched leaves the joined row
    // only to exist, and the list need not be matched a second time.
    auto joined = allKeys && table->singleEntity
                      ? std::optional<std::string>(r.targetAlias + ".Z_PK IS NOT NULL")
                      : objectComparison(r.targetAlias, family,
                                         in ? PredicateOperator::In : PredicateOperator::EqualTo, constant);
    if (!byKey || !joined)
        return std::nullopt;
    const std::string sql = "(" + *byKey + " AND " + *joined + ")";
    return op == PredicateOperator::NotEqualTo ? negated(sql) : sql;
}

std::optional<std::string> QueryBuilder::attributeComparison(const Resolved& r, PredicateOperator op,
                                                             const Value& c, unsigned options) {
    const Category category = categoryOf(r.attribute->attributeType());
    if ((options & CaseInsensitivePredicateOption) && category == Category::Text)
        return std::nullopt;
    const std::string& col = r.column;
    switch (op) {
        case PredicateOperator::EqualTo:
        case PredicateOperator::NotEqualTo: {
            std::string sql;
            if (c.isNull()) {
                sql = col + " IS NULL";
            } else {
                auto b = comparableBind(*r.attribute, c);
                if (!b)
                    return std::nullopt;
                sql = col + " = " + param(std::move(*b));
            }
            return op == PredicateOperator::EqualTo ? sql : negated(sql);
        }
        case PredicateOperator::LessThan:
        case PredicateOperator::LessThanOrEqualTo:
        case PredicateOperator::GreaterThan:
        case PredicateOperator::GreaterThanOrEqualTo: {
            if (c.isNull())
                return std::string("0");  // nothing orders against nil
            auto b = orderable(category) ? comparableBind(*r.attribute, c) : std::nullopt;
            if (!b)
                return std::nullopt;
            const std::string sql = col + orderSymbol(op) + param(std::move(*b));
            if (!holdsNaN(*r.attribute))
                return sql;
            // A stored NaN (a blob) sorts below every number, as in memory.
            return op == PredicateOperator::LessThan || op == PredicateOperator::LessThanOrEqualTo
                       ? "(" + sql + " OR typeof(" + col + ") = 'blob')"
                       : "(" + sql + " AND typeof(" + col + ") <> 'blob')";
        }
        case PredicateOperator::In: {
            bool withNil = false;
            auto list = memberBinds(*r.attribute, c, withNil);
            if (!list)
                return std::nullopt;
            auto sql = listMatch(col, std::move(*list));
            if (!sql)
                return std::nullopt;
            return withNil ? "(" + *sql + " OR " + col + " IS NULL)" : *sql;
        }
        case PredicateOperator::BeginsWith:
        case PredicateOperator::EndsWith:
        case PredicateOperator::Contains: {
            if (category != Category::Text || !c.isString())
                return std::nullopt;
            // CONTAINS and ENDSWITH compare bytes, as the in-memory test does:
            // on text, SQLite's instr and substr step by characters and
            // substr stops at a NUL, so text with a NUL or a stray
            // continuation byte would answer differently.
            const std::string& s = *c.asString();
            const std::string bytes = "CAST(" + col + " AS BLOB)";
            if (op == PredicateOperator::Contains)
                return "instr(" + bytes + ", " + param(bytesBind(Bind::Kind::Blob, s)) + ") > 0";
            if (s.empty())
                return col + " IS NOT NULL";
            if (op == PredicateOperator::EndsWith)
                return "substr(" + bytes + ", " + param(intBind(-static_cast<int64_t>(s.size()))) +
                       ") = " + param(bytesBind(Bind::Kind::Blob, s));
            std::string sql = col + " >= " + param(bytesBind(Bind::Kind::Text, s));
            if (auto upper = successor(s))
                sql = "(" + sql + " AND " + col + " < " + param(bytesBind(Bind::Kind::Text, *upper)) + ")";
            return sql;
        }
    }
    return std::nullopt;
}

std::optional<std::string> QueryBuilder::objectComparison(const std::string& alias,
                                                          const EntityDescription& family,
                                                          PredicateOperator op, const Value& constant) {
    switch (op) {
        case PredicateOperator::EqualTo:
        case PredicateOperator::NotEqualTo: {
            std::optional<std::string> sql;
            if (constant.isNull())
                sql = alias + ".Z_PK IS NULL";
            else
                sql = idMatch(alias, family, Array{constant});
            if (!sql)
                return std::nullopt;
            return op == PredicateOperator::EqualTo ? *sql : negated(*sql);
        }
        case PredicateOperator::In: {
            const Array* members = membersOf(constant);
            if (!members)
                return std::nullopt;
            Array present;
            bool withNil = false;
            for (const Value& m : *members) {
                if (m.isNull())
                    withNil = true;
                else
                    present.push_back(m);
            }
            auto sql = idMatch(alias, family, present);
            if (!sql)
                return std::nullopt;
            return withNil ? "(" + *sql + " OR " + alias + ".Z_PK IS NULL)" : *sql;
        }
        default:
            return std::nullopt;
    }
}

std::map<int64_t, std::vector<int64_t>> QueryBuilder::keysOf(const EntityDescription& family,
                                                             const Array& members) const {
    const Table* table = schema_.entity(family).table;
    std::map<int64_t, std::vector<int64_t>> keysByEntity;
    // Long lists are mostly IDs of one entity: its layout is looked up once.
    const EntityDescription* lastEntity = nullptr;
    const EntityLayout* lastLayout = nullptr;
    std::vector<int64_t>* lastKeys = nullptr;
    for (const Value& m : members) {
        // An object ID is its own comparison value.
        auto id = ManagedObjectID::fromValue(m);
        if (!id)
            id = ManagedObjectID::fromValue(comparisonValue(m));
        if (!id)
            continue;  // only object IDs equal a row
        // Temporary IDs and IDs of other stores never equal a stored row.
        if (id->isTemporaryID() || id->storeIdentifier() != storeIdentifier_)
            continue;
        if (id->entity() != lastEntity) {
            lastEntity = id->entity();
            lastLayout = schema_.entityOf(*lastEntity);
            lastKeys = lastLayout && lastLayout->table == table ? &keysByEntity[lastLayout->number] : nullptr;
            if (lastKeys)
                lastKeys->reserve(members.size());
        }
        if (lastKeys)
            lastKeys->push_back(id->primaryKey());
    }
    // In key order, each key once: SQLite then builds its index over a long
    // list by appending, and a lookup of each key reads the table in order.
    for (auto& [number, keys] : keysByEntity) {
        if (!std::is_sorted(keys.begin(), keys.end()))
            std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    }
    return keysByEntity;
}

std::optional<std::string> QueryBuilder::idMatch(const std::string& alias, const EntityDescription& family,
                                                 const Array& members) {
    const Table* table = schema_.entity(family).table;
    std::string sql;
    for (const auto& [number, keys] : keysOf(family, members)) {
        std::string part;
        if (keys.size() <= kMaxInlineValues) {
            std::vector<Bind> binds;
            binds.reserve(keys.size());
            for (int64_t key : keys)
                binds.push_back(intBind(key));
            part = *listMatch(alias + ".Z_PK", std::move(binds));
        } else {
            part = alias + ".Z_PK IN (SELECT value FROM json_each(" +
                   param(bytesBind(Bind::Kind::Text, jsonKeys(keys))) + "))";
        }
        if (!table->singleEntity)
            part = "(" + part + " AND " + alias + ".Z_ENT = " + std::to_string(number) + ")";
        sql += (sql.empty() ? "" : " OR ") + part;
    }
    return sql.empty() ? std::string("0") : "(" + sql + ")";
}

bool QueryBuilder::buildListed(const Predicate& predicate, Query& q, std::vector<std::string>& conditions) {
    if (predicate.kind() != Predicate::Kind::Comparison ||
        predicate.modifier() != ComparisonModifier::Direct || predicate.op() != PredicateOperator::In ||
        predicate.rhs()->kind() != Expression::Kind::Constant)
        return false;
    if (predicate.lhs()->kind() == Expression::Kind::KeyPath)
        return buildListedValues(predicate, q);
    if (predicate.lhs()->kind() != Expression::Kind::EvaluatedObject)
        return false;
    const Array* members = membersOf(predicate.rhs()->constantValue());
    if (!members || members->size() < kMinListedValues)
        return false;
    auto keysByEntity = keysOf(*layout_.table->root, *members);
    if (keysByEntity.size() != 1 || keysByEntity.begin()->second.size() < kMinListedValues)
        return false;
    const auto& [number, keys] = *keysByEntity.begin();
    if (!layout_.table->singleEntity)
        conditions.push_back("t0.Z_ENT = " + std::to_string(number));
    const std::string json = param(bytesBind(Bind::Kind::Text, jsonKeys(keys)));
    // CROSS JOIN keeps the list outside, so each key is looked up in turn.
    q.from = "json_each(" + json + ") j CROSS JOIN " + quoteIdentifier(layout_.table->name) +
             " t0 ON t0.Z_PK = j.value";
    q.listed = true;
    return true;
}

// "attribute IN list" of two or more members, the attribute an indexed column of the
// fetched table: SQLite walks the list and looks each member up in the
// column's index, rather than building an index over the list and then
// walking that. Only lists that SQLite compares exactly as the in-memory test
// does, and that can be given each value once, take this form (a value
// listed twice would give its rows twice): texts of printable ASCII for a
// string attribute, or integers for an integer attribute.
bool QueryBuilder::buildListedValues(const Predicate& predicate, Query& q) {
    const Column* c = nullptr;
    std::optional<std::string> json;
    if (shapedList_ == &predicate) {
        // shape made the array already (a request of a new signature).
        shapedList_ = nullptr;
        c = shapedListColumn_;
        json = std::move(shapedListJSON_);
    } else {
        json = listedValues(predicate, c);
    }
    if (!json)
        return false;
    // CROSS JOIN keeps the list outside, so each member is looked up in turn.
    q.from = "json_each(" + param(bytesBind(Bind::Kind::Text, std::move(*json))) + ") j CROSS JOIN " +
             quoteIdentifier(layout_.table->name) + " t0 ON t0." + quoteIdentifier(c->name) + " = j.value";
    q.listed = true;
    return true;
}

std::optional<std::string> QueryBuilder::listedValues(const Predicate& predicate,
                                                      const Column*& column) const {
    const auto& components = predicate.lhs()->keyPathComponents();
    const Column* listable = listableColumn(components);
    if (!listable)
        return std::nullopt;
    column = listable;
    const Array* members = membersOf(predicate.rhs()->constantValue());
    if (!members || members->size() < kMinListedValues)
        return std::nullopt;
    const PropertyDescription* property = entity_.propertyNamed(components[0]);
    const AttributeType type = static_cast<const AttributeDescription*>(property)->attributeType();
    std::string json = "[";
    if (type == AttributeType::String) {
        // Sorted, so that each text is listed once and the index is walked
        // in its order.
        std::vector<std::string_view> texts;
        texts.reserve(members->size());
        bool quoting = false;
        for (const Value& m : *members) {
            const std::string* text = m.asString();
            if (!text)
                return std::nullopt;
            const ListText kind = classifyListText(*text);
            if (kind == ListText::Other)
                return std::nullopt;
            quoting = quoting || kind == ListText::Quoting;
            texts.emplace_back(*text);
        }
        // Lists often come in order already: a check is cheaper than a sort.
        if (!std::is_sorted(texts.begin(), texts.end()))
            std::sort(texts.begin(), texts.end());
        texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
        if (texts.size() < kMinListedValues)
            return std::nullopt;
        std::size_t size = 1;
        for (std::string_view text : texts)
            size += text.size() + 3;
        if (!quoting) {
            // Most lists (identifiers) have nothing to escape: the text is
            // laid out at once, each member copied whole.
            json.resize(size);
            char* out = json.data() + 1;
            for (std::string_view text : texts) {
                *out++ = '"';
                std::memcpy(out, text.data(), text.size());
                out += text.size();
                *out++ = '"';
                *out++ = ',';
            }
            out[-1] = ']';
            return json;
        }
        json.reserve(size + 1);
        for (std::string_view text : texts) {
            if (json.size() > 1)
                json += ',';
            json += '"';
            for (char ch : text) {
                if (ch == '"' || ch == '\\')
                    json += '\\';
                json += ch;
            }
            json += '"';
        }
        json += ']';
    } else if (type == AttributeType::Integer16 || type == AttributeType::Integer32 ||
               type == AttributeType::Integer64) {
        std::vector<int64_t> numbers;
        numbers.reserve(members->size());
        for (const Value& m : *members) {
            if (m.kind() != Value::Kind::Int)
                return std::nullopt;
            numbers.push_back(m.rawInt());
        }
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
        if (numbers.size() < kMinListedValues)
            return std::nullopt;
        json = jsonKeys(numbers);
    } else {
        return std::nullopt;
    }
    return json;
}

const Column* QueryBuilder::listableColumn(const std::vector<std::string>& components) const {
    if (components.size() != 1)
        return nullptr;
    const PropertyDescription* property = entity_.propertyNamed(components[0]);
    if (!property || property->isTransient() || !property->isAttribute())
        return nullptr;
    const int column = layout_.valueColumn[property->index()];
    if (column < 0)
        return nullptr;
    const Column& c = layout_.table->columns[static_cast<std::size_t>(column)];
    return c.indexed ? &c : nullptr;
}

std::optional<std::string> QueryBuilder::listMatch(const std::string& column, std::vector<Bind> members) {
    if (members.empty())
        return std::string("0");
    bool byHex = false, allFinite = true;
    for (const Bind& b : members) {
        allFinite = allFinite && finite(b);
        byHex = byHex || b.kind == Bind::Kind::Blob || (b.kind == Bind::Kind::Text && !plainText(b.bytes));
    }
    if (members.size() <= kMaxInlineValues || !allFinite) {
        // JSON has no infinities: such a list is bound member by member, as
        // far as SQLite's parameter limit allows.
        if (members.size() > kMaxInlineValues * 150)
            return std::nullopt;
        // A short list is padded to the next power of two by repeating its
        // last member (a member listed twice matches the same rows), so that
        // lists whose length changes from call to call share a few statement
        // texts, and so prepared statements, instead of one per length.
        const std::size_t padded = paddedLength(members.size());
        std::string sql;
        sql.reserve(column.size() + 6 + padded * 6);
        sql += column;
        sql += " IN (";
        for (std::size_t i = 0; i < padded; ++i) {
            if (i)
                sql += ", ";
            appendParam(sql, i + 1 < members.size() ? std::move(members[i])
                                                    : Bind(members[std::min(i, members.size() - 1)]));
        }
        sql += ')';
        return sql;
    }
    const std::string json =
        "json_each(" + param(bytesBind(Bind::Kind::Text, jsonArray(members, byHex))) + ")";
    if (byHex)
        return "(" + column + " IS NOT NULL AND hex(" + column + ") IN (SELECT value FROM " + json + "))";
    return column + " IN (SELECT value FROM " + json + ")";
}

std::optional<QueryBuilder::Resolved> QueryBuilder::resolve(const std::vector<std::string>& components) {
    const EntityDescription* e = &entity_;
    std::string alias = "t0", path;
    for (std::size_t i = 0; i < components.size(); ++i) {
        const PropertyDescription* p = e->propertyNamed(components[i]);
        if (!p || p->isTransient())
            return std::nullopt;
        const EntityLayout& layout = schema_.entity(*e);
        int column = layout.valueColumn[p->index()];
        if (column < 0)
            return std::nullopt;
        const Column& c = layout.table->columns[static_cast<std::size_t>(column)];
        if (p->isAttribute()) {
            if (i + 1 != components.size())
                return std::nullopt;
            Resolved r;
            r.column = alias + "." + quoteIdentifier(c.name);
            r.attribute = static_cast<const AttributeDescription*>(p);
            return r;
        }
        auto* rel = static_cast<const RelationshipDescription*>(p);
        path += components[i] + ".";
        const EntityLayout& destination = schema_.entity(*rel->destinationEntity());
        const std::string keyColumn = alias + "." + quoteIdentifier(c.name);
        alias = joinFor(alias, c, *destination.table, path);
        if (i + 1 == components.size()) {
            Resolved r;
            if (i == 0)
                r.keyColumn = keyColumn;
            r.targetAlias = alias;
            r.destination = rel->destinationEntity();
            return r;
        }
        e = rel->destinationEntity();
    }
    return std::nullopt;
}

std::string QueryBuilder::joinFor(const std::string& fromAlias, const Column& keyColumn,
                                  const Table& destination, const std::string& path) {
    for (const auto& [known, alias] : joinAliases_) {
        if (known == path)
            return alias;
    }
    std::string alias = "t" + std::to_string(joinAliases_.size() + 1);
    joins_ += " LEFT JOIN ";
    joins_ += quoteIdentifier(destination.name);
    joins_ += ' ';
    joins_ += alias;
    joins_ += " ON ";
    joins_ += alias;
    joins_ += ".Z_PK = ";
    joins_ += fromAlias;
    joins_ += '.';
    joins_ += quoteIdentifier(keyColumn.name);
    joinAliases_.emplace_back(path, alias);
    return alias;
}

}  // namespace plat::coredata::sqlite
