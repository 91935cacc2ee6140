// JSONSerialization: JSON text to Value and back (the platform's JSON
// serialiser).
//
// Reading is strict RFC 8259 over UTF-8 (a leading byte-order mark is
// skipped; UTF-16 and UTF-32 text is recognised from its zero bytes and
// converted). Numbers are typed by their literal: an integer literal that fits
// int64 becomes a signed integer, one that fits only uint64 an unsigned
// integer, a larger one a Decimal; a literal with a fraction or exponent
// becomes a double, and one that overflows to infinity is an error. Objects
// keep document order; with duplicate keys the last value wins. Nesting deeper
// than kMaxDepth containers is an error. A top-level scalar is accepted only
// with JSONReadingFragmentsAllowed. Every failure is an error in
// "NSCocoaErrorDomain" with code 3840, the platform's localized description
// and a debug description naming the line and column.
//
// Writing is exact text: compact, or pretty printed with a two-space indent,
// " : " between key and value and empty containers written as "[\n\n]".
// Keys keep the dictionary's order unless JSONWritingSortedKeys asks for
// ascending UTF-8 byte (Unicode scalar) order. "/" is escaped as "\/" unless
// JSONWritingWithoutEscapingSlashes is set. Doubles are written as C's
// "%.17g" (0.1 is "0.10000000000000001", 3.0 is "3"). Values JSON cannot hold
// (NaN, infinities, data, dates, sets, other objects, invalid UTF-8, nesting
// deeper than kMaxDepth) fail with code 3851; nothing is thrown.
//
// All functions are stateless and may be called from any thread.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace plat {

enum : unsigned {
    JSONReadingMutableContainers = 1,
    JSONReadingMutableLeaves = 2,
    JSONReadingFragmentsAllowed = 4,
    JSONReadingJSON5Allowed = 8,                // accepted; the reader stays strict
    JSONReadingTopLevelDictionaryAssumed = 16,  // accepted; the reader stays strict
};

enum : unsigned {
    JSONWritingPrettyPrinted = 1,
    JSONWritingSortedKeys = 2,
    JSONWritingFragmentsAllowed = 4,
    JSONWritingWithoutEscapingSlashes = 8,
};

// Error codes of "NSCocoaErrorDomain" used by the serialisers.
inline constexpr int64_t PropertyListReadCorruptError = 3840;
inline constexpr int64_t PropertyListWriteInvalidError = 3851;

class JSONSerialization {
  public:
    static constexpr std::size_t kMaxDepth = 512;

    // True when v could be written without fragments: the top level is an array
    // or dictionary and everything inside is JSON (options play no part).
    static bool isValidJSONObject(const Value& v);

    static Result<Data> dataWithJSONObject(const Value& v, unsigned options = 0);
    static Result<std::string> stringWithJSONObject(const Value& v, unsigned options = 0);
    // Writes the text to out; returns the number of bytes written. On error
    // nothing has been written when the value was invalid; a stream failure is
    // reported with code 512.
    static Result<std::size_t> writeJSONObject(const Value& v, std::ostream& out, unsigned options = 0);
    // Writes atomically (a temporary file in the same folder, then a rename).
    [[nodiscard]] static ErrorPtr writeJSONObjectToFile(const Value& v, const std::string& path,
                                                        unsigned options = 0);

    static Result<Value> JSONObjectWithData(const Data& data, unsigned options = 0);
    static Result<Value> JSONObjectWithString(std::string_view text, unsigned options = 0);
    static Result<Value> JSONObjectWithString(const std::string& text, unsigned options = 0) {
        return JSONObjectWithString(std::string_view(text), options);
    }
    // Reads the stream to its end and parses what it held.
    static Result<Value> JSONObjectWithStream(std::istream& in, unsigned options = 0);
    static Result<Value> JSONObjectWithContentsOfFile(const std::string& path, unsigned options = 0);
};

}  // namespace plat
