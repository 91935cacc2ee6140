// JSON: a value type that wraps one decoded JSON value (or any plat::Value
// that looks like one) and remembers which kind it holds.
//
// A JSON never fails to exist. A failed lookup or construction gives a JSON of
// type Null (or Unknown) that carries a JSONValueError in error(), and every
// further lookup on it passes that first error on, so lookups can be chained
// without checks:
//
//     json::JSON doc = json::JSON::parseJSON(text);
//     json::JSON name = doc[{"users", 0, "name"}];
//     if (name.error()) ...            // NotExist, IndexOutOfBounds, WrongType
//
// Writes that do not fit (a key on a non-dictionary, an index out of range, a
// path through a missing container) are dropped silently; every write goes
// through setObject(), which clears error() and retags type().
//
// Storage: the value holds the plat::Value it wraps; plat::Value shares its
// payloads, so copying a JSON, or reading a member of a large parsed document,
// never copies a subtree. Writes copy the containers along the written path.
//
// Nothing here throws for bad input. A JSON is a plain value: copies are
// independent, and distinct JSON values may be used on different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/Coding.h"
#include "json/Index.h"
#include "json/JSONKey.h"
#include "json/JSONValueError.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace json {

// The kind of value a JSON holds, with fixed raw values 0 to 6.
enum class Type : int { Number = 0, String = 1, Bool = 2, Array = 3, Dictionary = 4, Null = 5, Unknown = 6 };

// The case with that raw value; nullopt outside 0...6.
std::optional<Type> TypeFromRawValue(int rawValue);

// Keys of the option map of JSON::rawString(const WritingOptions&).
enum class WritingOptionsKeys {
    JSONSerialization,  // unsigned serialiser writing options; default pretty-printed
    CastNilToNSNull,    // bool: write containers with the library's own writer; default false
    MaxObjextDepth,     // signed integer nesting limit of the own writer; default 10
    Encoding,           // StringEncoding raw value; default UTF-8
};
// A value of another kind than the one a key expects counts as absent.
using WritingOptions = std::map<WritingOptionsKeys, plat::Value>;

// Text encodings that serialised bytes can be decoded with (the platform's
// raw values). Output text is always UTF-8; the encoding decides whether the
// serialiser's bytes decode at all (ASCII refuses bytes >= 0x80) and how.
enum class StringEncoding : uint64_t { ASCII = 1, UTF8 = 4, ISOLatin1 = 5 };

class JSON {
  public:
    using Index = json::Index;
    using Element = std::pair<std::string, JSON>;
    class const_iterator;
    class IndexRange;
    class Slice;

    // --- Construction -------------------------------------------------------

    // The null value (type Null, no error).
    JSON() = default;
    // Any object. Data is parsed as JSON text with no reading options and a
    // parse failure gives the null value without error; anything else is
    // stored as by setObject().
    JSON(plat::Value object);
    // Absent gives the null value.
    JSON(std::optional<plat::Value> object);
    JSON(std::nullopt_t) {}
    JSON(std::nullptr_t) {}
    JSON(bool b) : JSON(plat::Value(b)) {}
    template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
             !std::is_same_v<T, char8_t> && !std::is_same_v<T, char16_t> && !std::is_same_v<T, char32_t>)
        JSON(T v)
        : JSON(plat::Value(v)) {}
    JSON(double d) : JSON(plat::Value(d)) {}
    JSON(float f) : JSON(plat::Value(f)) {}
    JSON(const char* s) : JSON(plat::Value(s)) {}
    JSON(std::string s) : JSON(plat::Value(std::move(s))) {}
    JSON(std::string_view s) : JSON(plat::Value(s)) {}
    // A one-character text (char as a Latin-1 code point, char32_t as a
    // Unicode scalar; an invalid scalar becomes U+FFFD).
    JSON(char c);
    JSON(char32_t c);
    JSON(plat::Decimal d) : JSON(plat::Value(std::move(d))) {}
    JSON(const plat::Data& data) : JSON(plat::Value(data)) {}
    JSON(plat::Array a) : JSON(plat::Value(std::move(a))) {}
    JSON(plat::Dictionary d) : JSON(plat::Value(std::move(d))) {}
    // Containers of JSON values store the plain objects those values hold.
    JSON(const std::vector<JSON>& elements);
    JSON(const std::map<std::string, JSON>& members);

    // List and map literals: elements are stored as the plain objects they
    // hold; in a map literal the last pair written for a key wins, and an empty
    // map literal is an empty dictionary.
    static JSON arrayLiteral(std::initializer_list<JSON> elements);
    static JSON dictionaryLiteral(std::initializer_list<std::pair<std::string, JSON>> members);

    // Parses data with plat::JSONSerialization and the given reading options.
    // The parser's own error is returned unchanged on failure.
    static plat::Result<JSON> create(const plat::Data& data, unsigned readingOptions = 0);
    // UTF-8 text parsed as by JSON(Data); empty or malformed text gives the
    // null value without error.
    static JSON parseJSON(std::string_view text);
    // A new null value (type Null, no error).
    static JSON null() { return JSON(); }
    // nullopt when JSON(rawValue) would be of type Unknown.
    static std::optional<JSON> fromRawValue(plat::Value rawValue);

    // --- The wrapped value ----------------------------------------------------

    Type type() const { return type_; }
    std::optional<JSONValueError> error() const { return error_; }
    // The stored object; the null object for types Null and Unknown.
    const plat::Value& object() const { return object_; }
    const plat::Value& rawValue() const { return object_; }
    // Clears error() and retags: booleans give Bool, other numbers Number,
    // strings String, null Null, arrays Array, dictionaries Dictionary; any
    // other kind (data, date, set, object) gives Unknown with error
    // UnsupportedType. Only the top level is looked at.
    void setObject(plat::Value object);
    void setObject(std::optional<plat::Value> object);
    // Stores the plain object that `other` holds (its error is not copied).
    void setObject(const JSON& other) { setObject(other.object()); }

    // --- Container views ------------------------------------------------------

    // Each element wrapped as JSON(element); nullopt unless type is Array.
    std::optional<std::vector<JSON>> array() const;
    std::vector<JSON> arrayValue() const;
    // The stored list; nullptr unless type is Array. Valid until this value is
    // next changed.
    const plat::Array* arrayObject() const;
    // nullopt stores the null object.
    void setArrayObject(std::optional<plat::Array> list);
    // Each member wrapped as JSON(value); nullopt unless type is Dictionary.
    std::optional<std::map<std::string, JSON>> dictionary() const;
    std::map<std::string, JSON> dictionaryValue() const;
    const plat::Dictionary* dictionaryObject() const;
    void setDictionaryObject(std::optional<plat::Dictionary> map);

    // rawString(UTF8, pretty-printed), or "unknown" when that is absent.
    std::string description() const;
    std::string debugDescription() const { return description(); }

    // --- Subscripts and paths -------------------------------------------------
    // A read step on a value of the wrong type gives a null value carrying the
    // value's own error if it has one, otherwise WrongType; an index outside
    // the array gives IndexOutOfBounds; a missing key gives NotExist. A path
    // applies the steps in order; an empty path gives the value itself.

    JSON operator[](const JSONKey& step) const;
    JSON operator[](std::initializer_list<JSONKey> path) const;
    JSON operator[](const JSONPath& path) const;
    template <class... Keys>
    JSON operator()(const Keys&... steps) const {
        return (*this)[JSONPath{JSONKey(steps)...}];
    }

    // Stores newValue's object at the path. Nothing changes for an empty path,
    // or when a step meets a wrong type, a missing key before the last step, or
    // an index outside an array: paths never create containers or grow arrays.
    // The last step on a dictionary inserts or replaces the key.
    void set(const JSONKey& step, const JSON& newValue);
    void set(std::initializer_list<JSONKey> path, const JSON& newValue);
    void set(const JSONPath& path, const JSON& newValue);
    // Reads the value at the path, lets `change` edit it, and writes it back
    // by the rule of set().
    void modify(const JSONPath& path, const std::function<void(JSON&)>& change);

    // --- Raw output -----------------------------------------------------------

    // The serialiser's bytes for object(). Fails with InvalidJSON (as an
    // error object) when the object is not a valid top-level JSON object (a
    // list or map of valid values), or with the serialiser's own error.
    plat::Result<plat::Data> rawData(unsigned writingOptions = 0) const;
    // Scalars give their text (a string as it is, without quotes; a number as
    // its stringValue; "true", "false", "null"); lists and maps give the
    // serialiser's text decoded with `encoding`. nullopt for type Unknown and
    // whenever the text cannot be made.
    std::optional<std::string> rawString(StringEncoding encoding = StringEncoding::UTF8,
                                         unsigned writingOptions = plat::JSONWritingPrettyPrinted) const;
    // As above, configured by an option map. With CastNilToNSNull true, lists
    // and maps are written by the library's own compact writer ("," between
    // elements, ": " after keys), which refuses values nested MaxObjextDepth
    // levels or deeper, and containers nested deeper than the reader accepts
    // (JSONSerialization::kMaxDepth) whatever the depth asked for. A failure at the top prints "Could not
    // serialize object to JSON because: <reason>" to standard output.
    std::optional<std::string> rawString(const WritingOptions& options) const;

    // --- Merge ------------------------------------------------------------------
    // Dictionaries merge key by key at every depth, arrays concatenate, other
    // values are replaced by `other`. Only the top-level types must match:
    // otherwise the result is a WrongType error and nothing changes.

    [[nodiscard]] plat::ErrorPtr merge(const JSON& other);
    plat::Result<JSON> merged(const JSON& other) const;

    // --- Typed accessors --------------------------------------------------------
    // optionalX() is nullopt when the value cannot be read as X; xValue() gives
    // X's default (false, "", 0) instead. Every setter stores through
    // setObject(); an absent value stores the null object.

    std::optional<bool> optionalBool() const;
    void setOptionalBool(std::optional<bool> v);
    // Numbers: non-zero; strings: "true", "y", "t", "yes" or "1" in any case.
    bool boolValue() const;
    void setBoolValue(bool v);

    std::optional<std::string> optionalString() const;
    void setOptionalString(std::optional<std::string> v);
    // Numbers give their stringValue, booleans "true" / "false".
    std::string stringValue() const;
    void setStringValue(std::string v);

    // A number object (a numeric plat::Value). Booleans read as the integer 1
    // or 0, never as a boolean number.
    std::optional<plat::Value> optionalNumber() const;
    void setOptionalNumber(std::optional<plat::Value> v);
    // Strings are parsed as decimals (not a number gives the decimal zero);
    // other non-numbers give the double 0.0.
    plat::Value numberValue() const;
    void setNumberValue(plat::Value v);

    // The null object when type is Null (not Unknown); any write stores null.
    std::optional<plat::Value> nullObject() const;
    void setNullObject(std::optional<plat::Value> ignored);

    // Strings only. Text holding a percent escape ("%" and two hex digits) is
    // parsed as it is; other text is first percent-encoded with the URL-query
    // allowed characters. Writing stores the URL's absoluteString.
    std::optional<plat::URL> optionalURL() const;
    void setOptionalURL(const std::optional<plat::URL>& url);

    // True exactly when error() is absent.
    bool exists() const { return !error_.has_value(); }

    // Numeric pairs. optionalX reads only numbers and booleans (1 or 0);
    // xValue also parses numeric text. Conversions follow the platform number
    // readers: integers narrow by two's complement, floating values truncate
    // toward zero and saturate, NaN gives 0.
    std::optional<double> optionalDouble() const;
    double doubleValue() const;
    void setOptionalDouble(std::optional<double> v);
    void setDoubleValue(double v);
    std::optional<float> optionalFloat() const;
    float floatValue() const;
    void setOptionalFloat(std::optional<float> v);
    void setFloatValue(float v);
    std::optional<int64_t> optionalInteger() const;
    int64_t integerValue() const;
    void setOptionalInteger(std::optional<int64_t> v);
    void setIntegerValue(int64_t v);
    std::optional<uint64_t> optionalUnsignedInteger() const;
    uint64_t unsignedIntegerValue() const;
    void setOptionalUnsignedInteger(std::optional<uint64_t> v);
    void setUnsignedIntegerValue(uint64_t v);
    std::optional<int8_t> optionalInt8() const;
    int8_t int8Value() const;
    void setOptionalInt8(std::optional<int8_t> v);
    void setInt8Value(int8_t v);
    std::optional<uint8_t> optionalUint8() const;
    uint8_t uint8Value() const;
    void setOptionalUint8(std::optional<uint8_t> v);
    void setUint8Value(uint8_t v);
    std::optional<int16_t> optionalInt16() const;
    int16_t int16Value() const;
    void setOptionalInt16(std::optional<int16_t> v);
    void setInt16Value(int16_t v);
    std::optional<uint16_t> optionalUint16() const;
    uint16_t uint16Value() const;
    void setOptionalUint16(std::optional<uint16_t> v);
    void setUint16Value(uint16_t v);
    std::optional<int32_t> optionalInt32() const;
    int32_t int32Value() const;
    void setOptionalInt32(std::optional<int32_t> v);
    void setInt32Value(int32_t v);
    std::optional<uint32_t> optionalUint32() const;
    uint32_t uint32Value() const;
    void setOptionalUint32(std::optional<uint32_t> v);
    void setUint32Value(uint32_t v);
    std::optional<int64_t> optionalInt64() const;
    int64_t int64Value() const;
    void setOptionalInt64(std::optional<int64_t> v);
    void setInt64Value(int64_t v);
    std::optional<uint64_t> optionalUint64() const;
    uint64_t uint64Value() const;
    void setOptionalUint64(std::optional<uint64_t> v);
    void setUint64Value(uint64_t v);

    // --- Collection view ----------------------------------------------------
    // Arrays yield ("0", element), ("1", element), ...; dictionaries yield
    // (key, value) in insertion order; every other kind is empty. Elements are
    // wrapped afresh on each access. Positions outside startIndex..endIndex
    // are a caller error: they yield ("", null) and never advance past the end.

    Index startIndex() const;
    Index endIndex() const;
    Index indexAfter(const Index& i) const;
    void formIndexAfter(Index& i) const { i = indexAfter(i); }
    Element operator[](const Index& position) const;
    bool isEmpty() const { return startIndex() == endIndex(); }
    std::size_t count() const;
    std::size_t underestimatedCount() const { return count(); }
    const_iterator begin() const;
    const_iterator end() const;
    // The positions from startIndex to endIndex.
    IndexRange indices() const;
    // The elements in [lower, upper), both bounds clamped to the collection.
    Slice slice(const Index& lower, const Index& upper) const;

    // --- Comparison ---------------------------------------------------------
    // Only type() and the stored object take part, never error(). Numbers
    // compare numerically across integer and floating kinds; strings by
    // canonical equivalence (NFC code point order); booleans, arrays,
    // dictionaries and nulls only for equality (`<` and `>` are false,
    // `<=` and `>=` mean equal); Unknown and mixed types are false throughout.

    friend bool operator==(const JSON& a, const JSON& b);
    friend bool operator<(const JSON& a, const JSON& b);
    friend bool operator<=(const JSON& a, const JSON& b);
    friend bool operator>=(const JSON& a, const JSON& b);
    friend bool operator>(const JSON& a, const JSON& b);

    // --- Encoding and decoding ------------------------------------------------

    // Never fails: a decoder without a single value, a nil value or a value of
    // no supported kind gives the null value. Candidates are tried in order:
    // bool, the signed integers, the unsigned integers, double, text, a list
    // of JSON, a map of JSON.
    static JSON decode(Decoder& decoder);
    // Null and Unknown encode as nil; numbers as int64 when exactly
    // representable, else uint64, else double. Returns the container's error.
    [[nodiscard]] plat::ErrorPtr encode(Encoder& encoder) const;

  private:
    struct Stored {};
    // Wraps an object already held by a JSON (no unwrapping needed); data is
    // still parsed as JSON text, as for any element read.
    JSON(Stored, const plat::Value& object);
    static JSON failure(JSONValueError e);
    void assignTagged(const plat::Value& object);

    JSON readStep(const JSONKey& step) const;
    bool writeStep(const JSONKey& step, const JSON& newValue);
    void writePath(const JSONKey* first, const JSONKey* last, const JSON& newValue);
    JSON readPath(const JSONKey* first, const JSONKey* last) const;

    // `enclosing`: the containers around this value.
    std::optional<std::string> rawStringAt(StringEncoding encoding, const WritingOptions& options,
                                           int64_t depth, std::size_t enclosing,
                                           plat::ErrorPtr& failure) const;
    // The serialiser's text for object(), failing as rawData does.
    plat::Result<std::string> rawText(unsigned writingOptions) const;
    [[nodiscard]] plat::ErrorPtr mergeWith(const JSON& other, bool typeCheck);

    plat::Value object_;
    Type type_ = Type::Null;
    std::optional<JSONValueError> error_;
};

class JSON::const_iterator {
  public:
    using iterator_category = std::input_iterator_tag;
    using value_type = JSON::Element;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = JSON::Element;

    const_iterator() : owner_(nullptr), position_(Index::null()) {}
    const_iterator(const JSON* owner, Index position) : owner_(owner), position_(position) {}
    JSON::Element operator*() const { return (*owner_)[position_]; }
    const_iterator& operator++() {
        owner_->formIndexAfter(position_);
        return *this;
    }
    const_iterator operator++(int) {
        const_iterator old = *this;
        ++*this;
        return old;
    }
    bool operator==(const const_iterator& other) const { return position_ == other.position_; }
    const Index& index() const { return position_; }

  private:
    const JSON* owner_;
    Index position_;
};

class JSON::IndexRange {
  public:
    class iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Index;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Index;

        iterator(const JSON* owner, Index position) : owner_(owner), position_(position) {}
        Index operator*() const { return position_; }
        iterator& operator++() {
            owner_->formIndexAfter(position_);
            return *this;
        }
        bool operator==(const iterator& other) const { return position_ == other.position_; }

      private:
        const JSON* owner_;
        Index position_;
    };

    IndexRange(JSON base, Index lower, Index upper) : base_(std::move(base)), lower_(lower), upper_(upper) {}
    iterator begin() const { return iterator(&base_, lower_); }
    iterator end() const { return iterator(&base_, upper_); }

  private:
    JSON base_;
    Index lower_;
    Index upper_;
};

class JSON::Slice {
  public:
    Slice(JSON base, Index lower, Index upper) : base_(std::move(base)), lower_(lower), upper_(upper) {}
    const_iterator begin() const { return const_iterator(&base_, lower_); }
    const_iterator end() const { return const_iterator(&base_, upper_); }
    const Index& startIndex() const { return lower_; }
    const Index& endIndex() const { return upper_; }
    const JSON& base() const { return base_; }

  private:
    JSON base_;
    Index lower_;
    Index upper_;
};

}  // namespace json
