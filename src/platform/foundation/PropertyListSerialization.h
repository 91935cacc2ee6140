// PropertyListSerialization: property lists as Value trees, in the XML and
// binary ("bplist00") forms, read and written (the platform's property-list
// serialiser).
//
// A property list holds dictionaries (string keys), arrays, strings, integers
// (signed and unsigned 64-bit), reals, booleans, dates and data. Anything else
// inside a Value (null, decimals, sets, other objects) makes writing fail with
// code 3851 in "NSCocoaErrorDomain"; damaged or unknown input makes reading
// fail with code 3840. Reading never crashes and never follows a reference
// cycle; nesting deeper than kMaxDepth is refused, and so are binary lists
// whose shared objects expand to far more values than their size accounts for.
//
// XML is written in the platform's exact layout: the XML declaration, the
// DOCTYPE, <plist version="1.0">, one tab per nesting level, keys of each
// dictionary in ascending order, <true/> and <false/>, empty containers as
// <array/> and <dict/>, reals as "%.17g", dates as "2001-01-01T00:00:00Z"
// (whole seconds, UTC) and data as base64 lines. Carriage returns in strings
// and keys are written as "&#13;" (XML readers turn literal ones into line
// feeds); characters XML 1.0 cannot carry (NUL and the other C0 controls but
// tab, line feed and carriage return; U+FFFE, U+FFFF) make the XML form fail
// with code 3851, while the binary form carries them. Binary keeps dictionary order,
// dates at full double precision and the sign of every integer, so a binary
// round trip is exact. Reading auto-detects the form. The OpenStep form can be
// neither read nor written.
//
// Functions are stateless and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace plat {

// A reference to another object of a keyed archive (binary property lists
// hold it natively; in XML it is a dictionary with the single key "CF$UID").
class PropertyListUID final : public Object {
  public:
    explicit PropertyListUID(uint64_t value) : value_(value) {}
    // The reference as a Value. Small references are made once per process
    // and shared, so archives do not allocate one object per reference.
    static Value make(uint64_t value);
    uint64_t value() const { return value_; }
    std::string description() const override;
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override { return std::hash<uint64_t>()(value_); }
    std::string className() const override { return "__NSCFKeyedArchiverUID"; }

  private:
    uint64_t value_;
};

class PropertyListSerialization {
  public:
    enum class Format { OpenStep = 1, XML = 100, Binary = 200 };
    static constexpr std::size_t kMaxDepth = 512;

    // Whether plist can be written in the format (every value a property-list kind).
    static bool propertyList(const Value& plist, Format format);

    // Sets *format to the form that was read.
    static Result<Value> propertyListWithData(const Data& data, Format* format = nullptr);
    static Result<Data> dataWithPropertyList(const Value& plist, Format format);

    static Result<Value> propertyListWithContentsOfFile(const std::string& path, Format* format = nullptr);
    // Writes atomically (a temporary file in the same folder, then a rename).
    [[nodiscard]] static ErrorPtr writePropertyListToFile(const Value& plist, const std::string& path,
                                                          Format format);
};

}  // namespace plat
