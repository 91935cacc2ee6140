// Bytes and text output: the platform serialiser for bytes and, by default,
// for lists and maps; the library's own compact writer when asked to write
// containers with CastNilToNSNull.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "json/JSON.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/StringEncoding.h"
#include "platform/foundation/Text.h"

namespace json {
namespace {

constexpr int64_t kDefaultDepth = 10;

const plat::Value* option(const WritingOptions& options, WritingOptionsKeys key) {
    auto it = options.find(key);
    return it == options.end() ? nullptr : &it->second;
}

// A non-negative integer option (booleans are not integers here).
std::optional<uint64_t> unsignedOption(const WritingOptions& options, WritingOptionsKeys key) {
    const plat::Value* v = option(options, key);
    if (!v)
        return std::nullopt;
    if (v->kind() == plat::Value::Kind::UInt)
        return v->rawUInt();
    if (v->kind() == plat::Value::Kind::Int && v->rawInt() >= 0)
        return static_cast<uint64_t>(v->rawInt());
    return std::nullopt;
}

std::optional<int64_t> signedOption(const WritingOptions& options, WritingOptionsKeys key) {
    const plat::Value* v = option(options, key);
    if (!v)
        return std::nullopt;
    if (v->kind() == plat::Value::Kind::Int)
        return v->rawInt();
    if (v->kind() == plat::Value::Kind::UInt && v->rawUInt() <= static_cast<uint64_t>(INT64_MAX))
        return static_cast<int64_t>(v->rawUInt());
    return std::nullopt;
}

bool castNilToNull(const WritingOptions& options) {
    const plat::Value* v = option(options, WritingOptionsKeys::CastNilToNSNull);
    return v && v->isBool() && v->rawBool();
}

// The serialiser's bytes read in `encoding` (the platform's numbering).
std::optional<std::string> decodeText(const plat::Data& bytes, StringEncoding encoding) {
    return plat::stringFromData(bytes, static_cast<plat::StringEncoding>(encoding));
}

// The text of a JSON string: the serialiser's escaping (quote, backslash,
// every control character) without escaping "/"; nullopt for text that is not
// UTF-8, so the own writer's output is always valid JSON.
std::optional<std::string> quoted(std::string_view s) {
    auto text = plat::JSONSerialization::stringWithJSONObject(
        plat::Value(s), plat::JSONWritingFragmentsAllowed | plat::JSONWritingWithoutEscapingSlashes);
    if (!text.ok())
        return std::nullopt;
    return std::move(text).value();
}

bool isWritableNumber(const plat::Value& v) {
    if (v.kind() == plat::Value::Kind::Double)
        return std::isfinite(v.rawDouble());
    if (const plat::Decimal* d = v.asDecimal())
        return !d->isNaN();
    return true;
}

// The text of a number inside a container. Doubles take their usual text
// (16 significant digits) when it reads back as the same double, else the
// serialiser's 17 digits: the largest doubles would otherwise round up past
// the largest finite double and be refused as out of range when read.
std::string numberText(const plat::Value& v) {
    std::string text = v.stringValue();
    if (v.kind() != plat::Value::Kind::Double || v.numberType() == plat::NumberType::Float)
        return text;
    const double back = std::strtod(text.c_str(), nullptr);
    if (back == v.rawDouble())
        return text;
    auto exact = plat::JSONSerialization::stringWithJSONObject(v, plat::JSONWritingFragmentsAllowed);
    return exact.ok() ? std::move(exact).value() : text;
}

void printFailure(const plat::ErrorPtr& error) {
    std::string line = "Could not serialize object to JSON because: " + error->localizedDescription() + "\n";
    // A diagnostic: if standard output cannot take it there is no better place.
    (void)std::fwrite(line.data(), 1, line.size(), stdout);
    (void)std::fflush(stdout);
}

}  // namespace

// The serialiser refuses exactly the values that are not valid JSON objects
// (after the top-level check), so its one walk over the tree both checks and
// writes.
plat::Result<std::string> JSON::rawText(unsigned writingOptions) const {
    if (!object_.isArray() && !object_.isDictionary())
        return makeError(JSONValueError::InvalidJSON);
    plat::Result<std::string> text = plat::JSONSerialization::stringWithJSONObject(object_, writingOptions);
    if (!text.ok())
        return makeError(JSONValueError::InvalidJSON);
    return text;
}

plat::Result<plat::Data> JSON::rawData(unsigned writingOptions) const {
    plat::Result<std::string> text = rawText(writingOptions);
    if (!text.ok())
        return text.error();
    return plat::Data(text.value().data(), text.value().size());
}

std::optional<std::string> JSON::rawString(StringEncoding encoding, unsigned writingOptions) const {
    WritingOptions options{{WritingOptionsKeys::JSONSerialization, plat::Value(uint64_t{writingOptions})}};
    plat::ErrorPtr failure;
    std::optional<std::string> text = rawStringAt(encoding, options, kDefaultDepth, 0, failure);
    if (failure)
        printFailure(failure);
    return text;
}

std::optional<std::string> JSON::rawString(const WritingOptions& options) const {
    std::optional<uint64_t> encodingRaw = unsignedOption(options, WritingOptionsKeys::Encoding);
    StringEncoding encoding = encodingRaw ? static_cast<StringEncoding>(*encodingRaw) : StringEncoding::UTF8;
    int64_t depth = signedOption(options, WritingOptionsKeys::MaxObjextDepth).value_or(kDefaultDepth);
    plat::ErrorPtr failure;
    std::optional<std::string> text = rawStringAt(encoding, options, depth, 0, failure);
    if (failure)
        printFailure(failure);
    return text;
}

// One level of the text output. `failure` is set only when this level itself
// cannot be written (depth exhausted); failures inside a container make the
// container's text absent instead.
std::optional<std::string> JSON::rawStringAt(StringEncoding encoding, const WritingOptions& options,
                                             int64_t depth, std::size_t enclosing,
                                             plat::ErrorPtr& failure) const {
    // Nesting deeper than the reader accepts fails whatever depth was asked
    // for, so that what is written always reads back.
    const bool isContainer = type_ == Type::Array || type_ == Type::Dictionary;
    if (depth < 1 || (isContainer && enclosing + 1 > plat::JSONSerialization::kMaxDepth)) {
        failure = makeError(JSONValueError::InvalidJSON);
        return std::nullopt;
    }
    switch (type_) {
        case Type::Number:
            return object_.stringValue();
        case Type::String:
            return *object_.asString();
        case Type::Bool:
            return std::string(object_.rawBool() ? "true" : "false");
        case Type::Null:
            return std::string("null");
        case Type::Unknown:
            return std::nullopt;
        case Type::Array:
        case Type::Dictionary:
            break;
    }
    if (!castNilToNull(options)) {
        unsigned writing =
            static_cast<unsigned>(unsignedOption(options, WritingOptionsKeys::JSONSerialization)
                                      .value_or(plat::JSONWritingPrettyPrinted));
        plat::Result<std::string> text = rawText(writing);
        if (!text.ok())
            return std::nullopt;
        // The serialiser writes valid UTF-8 (it refuses any other text), and
        // never a byte order mark, so UTF-8 output needs no decoding.
        if (encoding == StringEncoding::UTF8)
            return std::move(text).value();
        return decodeText(plat::Data(text.value().data(), text.value().size()), encoding);
    }

    // The own writer: every element is written one level deeper; any element
    // that cannot be written makes the whole container absent.
    auto elementText = [&](const plat::Value& element) -> std::optional<std::string> {
        JSON nested(Stored{}, element);
        plat::ErrorPtr nestedFailure;
        std::optional<std::string> t =
            nested.rawStringAt(encoding, options, depth - 1, enclosing + 1, nestedFailure);
        if (nestedFailure || !t)
            return std::nullopt;
        if (nested.type_ == Type::Number)
            return isWritableNumber(nested.object_) ? std::optional<std::string>(numberText(nested.object_))
                                                    : std::nullopt;
        if (nested.type_ != Type::String)
            return t;
        return quoted(*t);
    };
    std::string out;
    if (const plat::Array* list = arrayObject()) {
        out += '[';
        for (std::size_t i = 0; i < list->size(); ++i) {
            std::optional<std::string> p = elementText((*list)[i]);
            if (!p)
                return std::nullopt;
            if (i > 0)
                out += ',';
            out += *p;
        }
        out += ']';
        return out;
    }
    out += '{';
    bool firstMember = true;
    for (const auto& [key, value] : *dictionaryObject()) {
        std::optional<std::string> p = elementText(value);
        std::optional<std::string> k = quoted(key);
        if (!p || !k)
            return std::nullopt;
        if (!firstMember)
            out += ',';
        firstMember = false;
        out += *k;
        out += ": ";
        out += *p;
    }
    out += '}';
    return out;
}

}  // namespace json
