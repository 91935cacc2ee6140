#include "platform/foundation/JSONSerialization.h"

#include <simdjson.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <istream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <tuple>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Text.h"

namespace plat {
namespace {

constexpr const char* kReadDescription = "The data couldn’t be read because it isn’t in the correct format.";

// --- Errors --------------------------------------------------------------------

ErrorPtr readError(std::string reason) {
    return Error::make(CocoaErrorDomain, PropertyListReadCorruptError,
                       Dictionary{{LocalizedDescriptionKey, Value(kReadDescription)},
                                  {DebugDescriptionErrorKey, Value(std::move(reason))}});
}

// Line and column (both counted from 1) of a byte offset, for error texts.
ErrorPtr readErrorAt(std::string_view text, std::size_t offset, const std::string& reason) {
    offset = std::min(offset, text.size());
    std::size_t line = 1, lineStart = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return readError(reason + std::string(" around line ") + std::to_string(line) + ", column " +
                     std::to_string(offset - lineStart + 1) + ".");
}

ErrorPtr writeError(std::string description) {
    return Error::make(CocoaErrorDomain, PropertyListWriteInvalidError,
                       Dictionary{{LocalizedDescriptionKey, Value(description)},
                                  {DebugDescriptionErrorKey, Value(description)}});
}

// --- Input encodings -----------------------------------------------------------

std::optional<std::string> utf32ToUTF8(std::string_view in, bool bigEndian) {
    std::u16string units;
    units.reserve(in.size() / 2);
    for (std::size_t i = 0; i + 4 <= in.size(); i += 4) {
        auto b = [&](std::size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(in[i + k])); };
        uint32_t c = bigEndian ? (b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3))
                               : (b(3) << 24 | b(2) << 16 | b(1) << 8 | b(0));
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return std::nullopt;
        if (c >= 0x10000) {
            c -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
    }
    if (in.size() % 4 != 0)
        return std::nullopt;
    return text::fromUTF16(units);
}

std::optional<std::string> utf16ToUTF8(std::string_view in, bool bigEndian) {
    if (in.size() % 2 != 0)
        return std::nullopt;
    std::u16string units(in.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        auto hi = static_cast<uint8_t>(in[2 * i + (bigEndian ? 0 : 1)]);
        auto lo = static_cast<uint8_t>(in[2 * i + (bigEndian ? 1 : 0)]);
        units[i] = static_cast<char16_t>(hi << 8 | lo);
    }
    return text::fromUTF16(units);
}

enum class Encoding { UTF8, UTF16BE, UTF16LE, UTF32BE, UTF32LE };

// Recognises the encoding from a byte-order mark or, as RFC 4627 describes,
// from the zero bytes an ASCII first character leaves; sets bomLength.
Encoding detectEncoding(std::string_view in, std::size_t& bomLength) {
    auto at = [&](std::size_t i) { return i < in.size() ? static_cast<uint8_t>(in[i]) : 0x100u; };
    bomLength = 0;
    if (at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
        bomLength = 3;
        return Encoding::UTF8;
    }
    if (at(0) == 0 && at(1) == 0 && at(2) == 0xFE && at(3) == 0xFF) {
        bomLength = 4;
        return Encoding::UTF32BE;
    }
    if (at(0) == 0xFF && at(1) == 0xFE && at(2) == 0 && at(3) == 0) {
        bomLength = 4;
        return Encoding::UTF32LE;
    }
    if (at(0) == 0xFE && at(1) == 0xFF) {
        bomLength = 2;
        return Encoding::UTF16BE;
    }
    if (at(0) == 0xFF && at(1) == 0xFE) {
        bomLength = 2;
        return Encoding::UTF16LE;
    }
    if (in.size() >= 4 && at(0) == 0 && at(1) == 0 && at(2) == 0 && at(3) != 0)
        return Encoding::UTF32BE;
    if (in.size() >= 4 && at(0) != 0 && at(1) == 0 && at(2) == 0 && at(3) == 0)
        return Encoding::UTF32LE;
    if (in.size() >= 2 && at(0) == 0 && at(1) != 0)
        return Encoding::UTF16BE;
    if (in.size() >= 2 && at(0) != 0 && at(1) == 0)
        return Encoding::UTF16LE;
    return Encoding::UTF8;
}

// --- Strict reader ---------------------------------------------------------------
// A recursive-descent reader used when the fast parser refuses a text: it
// reads integers beyond 64 bits as decimals and finds the position and reason
// of every other error.

struct ReadFailure {
    std::size_t offset;
    std::string reason;
};

class StrictReader {
  public:
    explicit StrictReader(std::string_view text) : s_(text) {}

    std::optional<Value> readDocument() {
        skipSpace();
        auto v = readValue(0);
        if (!v)
            return std::nullopt;
        skipSpace();
        if (pos_ != s_.size())
            return fail("Garbage at end");
        return v;
    }
    const ReadFailure& failure() const { return failure_; }

  private:
    std::nullopt_t fail(std::string reason) { return fail(pos_, std::move(reason)); }
    std::nullopt_t fail(std::size_t at, std::string reason) {
        failure_ = {at, std::move(reason)};
        return std::nullopt;
    }
    bool atEnd() const { return pos_ >= s_.size(); }
    char peek() const { return s_[pos_]; }
    void skipSpace() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++pos_;
    }

    std::optional<Value> readValue(std::size_t depth) {
        if (atEnd())
            return fail("Unexpected end of data");
        switch (peek()) {
            case '{':
                return readObject(depth + 1);
            case '[':
                return readArray(depth + 1);
            case '"': {
                auto str = readString();
                if (!str)
                    return std::nullopt;
                return Value(std::move(*str));
            }
            case 't':
                return readLiteral("true", Value(true));
            case 'f':
                return readLiteral("false", Value(false));
            case 'n':
                return readLiteral("null", Value());
            default:
                if (peek() == '-' || (peek() >= '0' && peek() <= '9'))
                    return readNumber();
                return fail("Invalid value");
        }
    }

    std::optional<Value> readLiteral(std::string_view word, Value v) {
        if (s_.substr(pos_, word.size()) != word)
            return fail("Invalid value");
        pos_ += word.size();
        return v;
    }

    std::optional<Value> readArray(std::size_t depth) {
        if (depth > JSONSerialization::kMaxDepth)
            return fail("Too many nested arrays or dictionaries");
        ++pos_;
        Array items;
        skipSpace();
        if (!atEnd() && peek() == ']') {
            ++pos_;
            return Value(std::move(items));
        }
        for (;;) {
            skipSpace();
            auto v = readValue(depth);
            if (!v)
                return std::nullopt;
            items.push_back(std::move(*v));
            skipSpace();
            if (atEnd())
                return fail("Unexpected end of data in array");
            char c = s_[pos_++];
            if (c == ']')
                return Value(std::move(items));
            if (c != ',')
                return fail(pos_ - 1, "Badly formed array");
        }
    }

    std::optional<Value> readObject(std::size_t depth) {
        if (depth > JSONSerialization::kMaxDepth)
            return fail("Too many nested arrays or dictionaries");
        ++pos_;
        Dictionary entries;
        skipSpace();
        if (!atEnd() && peek() == '}') {
            ++pos_;
            return Value(std::move(entries));
        }
        for (;;) {
            skipSpace();
            if (atEnd() || peek() != '"')
                return fail("No string key for value in object");
            auto key = readString();
            if (!key)
                return std::nullopt;
            skipSpace();
            if (atEnd() || peek() != ':')
                return fail("No colon after key in object");
            ++pos_;
            skipSpace();
            auto v = readValue(depth);
            if (!v)
                return std::nullopt;
            entries.set(std::move(*key), std::move(*v));
            skipSpace();
            if (atEnd())
                return fail("Unexpected end of data in object");
            char c = s_[pos_++];
            if (c == '}')
                return Value(std::move(entries));
            if (c != ',')
                return fail(pos_ - 1, "Badly formed object");
        }
    }

    // Length of the well-formed UTF-8 sequence at pos_, or 0.
    std::size_t utf8SequenceLength() const {
        auto b = [&](std::size_t i) { return pos_ + i < s_.size() ? static_cast<uint8_t>(s_[pos_ + i]) : 0; };
        uint8_t c = b(0);
        auto cont = [&](std::size_t i) { return (b(i) & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF)
            return cont(1) ? 2 : 0;
        if (c >= 0xE0 && c <= 0xEF) {
            uint8_t lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
            return b(1) >= lo && b(1) <= hi && cont(2) ? 3 : 0;
        }
        if (c >= 0xF0 && c <= 0xF4) {
            uint8_t lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
            return b(1) >= lo && b(1) <= hi && cont(2) && cont(3) ? 4 : 0;
        }
        return 0;
    }

    std::optional<uint32_t> readHex4() {
        if (pos_ + 4 > s_.size())
            return std::nullopt;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = text::hexDigitValue(s_[pos_++]);
            if (digit < 0)
                return std::nullopt;
            v = v << 4 | static_cast<uint32_t>(digit);
        }
        return v;
    }

    static void appendUTF8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool readUnicodeEscape(std::string& out) {
        std::size_t start = pos_ - 2;
        auto cp = readHex4();
        if (!cp)
            return fail(start, "Invalid \\u escape in string"), false;
        if (*cp >= 0xDC00 && *cp <= 0xDFFF)
            return fail(start, "Unpaired low surrogate in string"), false;
        if (*cp >= 0xD800 && *cp <= 0xDBFF) {
            if (s_.substr(pos_, 2) != "\\u")
                return fail(start, "Unpaired high surrogate in string"), false;
            pos_ += 2;
            auto low = readHex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF)
                return fail(start, "Unpaired high surrogate in string"), false;
            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
        }
        appendUTF8(out, *cp);
        return true;
    }

    bool readEscape(std::string& out) {
        if (atEnd())
            return fail("Unexpected end of data in string"), false;
        char c = s_[pos_++];
        switch (c) {
            case '"':
                out += '"';
                return true;
            case '\\':
                out += '\\';
                return true;
            case '/':
                out += '/';
                return true;
            case 'b':
                out += '\b';
                return true;
            case 'f':
                out += '\f';
                return true;
            case 'n':
                out += '\n';
                return true;
            case 'r':
                out += '\r';
                return true;
            case 't':
                out += '\t';
                return true;
            case 'u':
                return readUnicodeEscape(out);
            default:
                return fail(pos_ - 2, "Invalid escape sequence in string"), false;
        }
    }

    std::optional<std::string> readString() {
        ++pos_;
        std::string out;
        for (;;) {
            if (atEnd())
                return fail("Unexpected end of data in string");
            auto c = static_cast<uint8_t>(peek());
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (c == '\\') {
                ++pos_;
                if (!readEscape(out))
                    return std::nullopt;
            } else if (c < 0x20) {
                return fail("Unescaped control character in string");
            } else if (c < 0x80) {
                out += static_cast<char>(c);
                ++pos_;
            } else {
                std::size_t n = utf8SequenceLength();
                if (n == 0)
                    return fail("Invalid UTF-8 in string");
                out.append(s_.substr(pos_, n));
                pos_ += n;
            }
        }
    }

    void skipDigits() {
        while (!atEnd() && peek() >= '0' && peek() <= '9')
            ++pos_;
    }

    std::optional<Value> readNumber() {
        std::size_t start = pos_;
        if (peek() == '-')
            ++pos_;
        if (atEnd() || peek() < '0' || peek() > '9')
            return fail(start, "Invalid number");
        if (peek() == '0') {
            ++pos_;
            if (!atEnd() && peek() >= '0' && peek() <= '9')
                return fail(start, "Leading zeros are not allowed");
        } else {
            skipDigits();
        }
        bool integral = true;
        if (!atEnd() && peek() == '.') {
            integral = false;
            ++pos_;
            if (atEnd() || peek() < '0' || peek() > '9')
                return fail(start, "Invalid number");
            skipDigits();
        }
        if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
            integral = false;
            ++pos_;
            if (!atEnd() && (peek() == '+' || peek() == '-'))
                ++pos_;
            if (atEnd() || peek() < '0' || peek() > '9')
                return fail(start, "Invalid number");
            skipDigits();
        }
        std::string_view literal = s_.substr(start, pos_ - start);
        return integral ? integerValue(literal, start) : doubleValue(literal, start);
    }

    std::optional<Value> integerValue(std::string_view literal, std::size_t start) {
        const char* end = literal.data() + literal.size();
        int64_t i;
        if (auto r = std::from_chars(literal.data(), end, i); r.ec == std::errc() && r.ptr == end)
            return Value(i);
        uint64_t u;
        if (auto r = std::from_chars(literal.data(), end, u); r.ec == std::errc() && r.ptr == end)
            return Value(u);
        if (auto d = Decimal::fromJSONLiteral(literal))
            return Value(std::move(*d));
        return fail(start, "Number out of range");
    }

    std::optional<Value> doubleValue(std::string_view literal, std::size_t start) {
        double d = 0;
        auto r = std::from_chars(literal.data(), literal.data() + literal.size(), d);
        // from_chars reports out of range for both overflow and underflow; only
        // overflow is refused, underflow reads as zero as it does on the fast path.
        if (r.ec == std::errc::result_out_of_range) {
            d = std::strtod(std::string(literal).c_str(), nullptr);
        } else if (r.ec != std::errc()) {
            return fail(start, "Invalid number");
        }
        if (!std::isfinite(d))
            return fail(start, "Number out of range");
        return Value(d);
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    ReadFailure failure_{0, ""};
};

// --- Fast path over simdjson -----------------------------------------------------

// The table of short strings a document builder shares (see below): a
// small direct-mapped table that remembers the last string seen for each
// hash. A table serves one document at a time and is kept from one
// document to the next (see NotesPool), and each note is stamped with the
// document that made it: a new document starts with no note of its own
// without clearing the table (which cost more than the sharing saved in
// documents of a few kilobytes).
class StringNotes {
  public:
    static constexpr std::size_t kSlots = 512;
    struct Slot {
        uint64_t hash = 0;
        detail::Payload* payload = nullptr;  // no count taken (see Value::Note)
        bool inArena = false;
        uint32_t document = 0;  // 0: never written
    };

    // Starts a document: every note made before it stops counting.
    uint32_t begin() noexcept {
        if (++document_ == 0) {
            // After 2^32 documents the stamps would repeat: cleared once.
            slots_.fill(Slot{});
            document_ = 1;
        }
        return document_;
    }
    Slot& slot(uint64_t hash) noexcept { return slots_[hash & (kSlots - 1)]; }

  private:
    std::array<Slot, kSlots> slots_{};
    uint32_t document_ = 0;
};

// Sharing pays for its table only in documents of some size.
constexpr std::size_t kSharingTextSize = 4096;

// What both tree builders below share: the arena that holds a document's
// containers and strings, and the sharing of short strings repeated within a
// document (enumerations, tags, type names), which then take one payload
// instead of an allocation each, through the reader's table of notes (none
// for small documents). Values are immutable, so sharing is invisible.
class DocumentBuilder {
  protected:
    DocumentBuilder(std::size_t textSize, StringNotes* notes) {
        if (notes && textSize >= kSharingTextSize) {
            notes_ = notes;
            document_ = notes->begin();
        }
    }

    // One of 64 bits for a key, from its length and three of its bytes:
    // keys whose bits differ are different, so a small object needs a
    // search for repeated keys only among keys that share a bit.
    static uint64_t keyBit(std::string_view key) {
        if (key.empty())
            return 1;
        const auto byte = [&](std::size_t i) { return uint64_t{static_cast<uint8_t>(key[i])}; };
        const uint64_t word =
            key.size() | byte(0) << 16 | byte(key.size() / 2) << 24 | byte(key.size() - 1) << 32;
        return uint64_t{1} << ((word * 0x9e3779b97f4a7c15ULL) >> 58);
    }

    // Whether `key`, whose bit is `bit`, is among the entries built so far.
    static bool repeated(const Dictionary::Entries& entries, std::string_view key, uint64_t bit) {
        for (const auto& entry : entries)
            if (keyBit(entry.first) == bit && entry.first == key)
                return true;
        return false;
    }

    // Tracks whether the keys of a small object are known to be distinct
    // as they are added; larger objects leave it to the dictionary's index.
    class DistinctKeys {
      public:
        explicit DistinctKeys(std::size_t count) : distinct_(count <= detail::PositionIndex::kThreshold) {}
        void add(const Dictionary::Entries& entries, std::string_view key) {
            if (distinct_) {
                const uint64_t bit = keyBit(key);
                distinct_ = (seen_ & bit) == 0 || !repeated(entries, key, bit);
                seen_ |= bit;
            }
        }
        Dictionary::KeysAre result() const {
            return distinct_ ? Dictionary::KeysAre::Distinct : Dictionary::KeysAre::Unknown;
        }

      private:
        uint64_t seen_ = 0;
        bool distinct_;
    };

    Value string(std::string_view s) {
        if (s.size() > kSharedLength || !notes_)
            return Value::stringIn(arena_, s);
        return sharedString(s);
    }

  private:
    // Out of line, so that the strings of documents that share nothing take
    // the short path above without its set-up.
    [[gnu::noinline]] Value sharedString(std::string_view s) {
        const uint64_t hash = shortHash(s);
        StringNotes::Slot& recent = notes_->slot(hash);
        // The hash settles most misses without touching the noted string,
        // and a miss replaces the note without touching it either. Notes of
        // other documents may name strings freed since: they are not read.
        if (recent.hash == hash && recent.document == document_ && recent.payload != nullptr) {
            const Value::Note note{recent.payload, recent.inArena};
            if (same(Value::notedString(note), s))
                return Value::shareNoted(note);
        }
        Value v = Value::stringIn(arena_, s);
        const Value::Note note = v.note();
        recent.hash = hash;
        recent.payload = note.payload;
        recent.inArena = note.inArena;
        recent.document = document_;
        return v;
    }

  protected:
    // Keys are made by the builders; the arena learns of those whose bytes
    // lie on the heap.
    void noteKey(const std::string& key) noexcept {
        if (!detail::keepsBytesInline(key))
            arena_.noteOwnedMemory();
    }

    // The notes name strings the document holds; a dictionary that merged
    // repeated keys may have let go of some, so its builder forgets them all.
    void forgetStringsIfMerged(const Value& dictionary, std::size_t entriesFilled) {
        if (notes_ && dictionary.count() != entriesFilled)
            document_ = notes_->begin();
    }

    // Holds the document's containers and strings (the chunks outlive it
    // for as long as the document's values hold them).
    detail::Arena arena_;

  private:
    // Longer strings rarely repeat, and hashing them would cost more.
    static constexpr std::size_t kSharedLength = 16;

    static uint64_t load(const char* bytes, std::size_t n) {
        uint64_t word = 0;
        std::memcpy(&word, bytes, n);
        return word;
    }

    // Whether a noted string (of at most kSharedLength bytes) is `s`, from
    // two overlapping loads of each rather than a call to compare them.
    static bool same(const std::string& noted, std::string_view s) {
        const std::size_t n = s.size();
        if (noted.size() != n)
            return false;
        const char* a = noted.data();
        const char* b = s.data();
        if (n >= 8)
            return load(a, 8) == load(b, 8) && load(a + n - 8, 8) == load(b + n - 8, 8);
        if (n >= 4)
            return load(a, 4) == load(b, 4) && load(a + n - 4, 4) == load(b + n - 4, 4);
        for (std::size_t i = 0; i < n; ++i)
            if (a[i] != b[i])
                return false;
        return true;
    }

    // A hash of a string of at most kSharedLength bytes from two overlapping
    // loads, rather than a loop over its bytes.
    static uint64_t shortHash(std::string_view s) {
        const std::size_t n = s.size();
        const char* p = s.data();
        uint64_t a = 0;
        uint64_t b = 0;
        if (n >= 8) {
            a = load(p, 8);
            b = load(p + n - 8, 8);
        } else if (n >= 4) {
            a = load(p, 4);
            b = load(p + n - 4, 4);
        } else if (n > 0) {
            a = static_cast<uint8_t>(p[0]) | static_cast<uint64_t>(static_cast<uint8_t>(p[n / 2])) << 8;
            b = static_cast<uint8_t>(p[n - 1]);
        }
        // One wide multiplication mixes every input bit into the low bits
        // that pick the slot.
        const __uint128_t product =
            static_cast<__uint128_t>(a ^ 0x9e3779b97f4a7c15ULL) * (b ^ (n << 56) ^ 0xbf58476d1ce4e5b9ULL);
        return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
    }

    // The reader's notes (null when this document shares nothing), and the
    // stamp of this document's notes in them.
    StringNotes* notes_ = nullptr;
    uint32_t document_ = 0;
};

// Builds the Value tree from the tape of simdjson's DOM, read directly (one
// 64-bit word per node, a type in its top byte; numbers take a second word,
// strings point into the parser's string buffer), which saves the element
// API's type checks and its out-of-line number reads on every node. Texts
// the index builder below hands back are built this way.
class TapeBuilder : DocumentBuilder {
  public:
    TapeBuilder(const simdjson::dom::document& document, std::size_t textSize, StringNotes* notes)
        : DocumentBuilder(textSize, notes), tape_(document.tape.get()), strings_(document.string_buf.get()) {}

    // The document's root value (the tape's first word is the root marker).
    Value build() {
        std::size_t at = 1;
        Value root = build(at);
        Value::finishDocument(arena_, root);
        return root;
    }

  private:
    static constexpr uint64_t kPayloadMask = (uint64_t{1} << 56) - 1;
    // Counts of larger containers are cut to this on the tape.
    static constexpr std::size_t kCountLimit = 0xFFFFFF;
    // Keys up to this length are copied as this many bytes: the string
    // buffer holds at least that many readable bytes from the start of any
    // string in it (its room exceeds what a text can fill by
    // SIMDJSON_PADDING), and a string this short keeps its bytes inside
    // itself, so the key owns no memory the arena must learn of.
    static constexpr std::size_t kShortKey = 15;
    static_assert(kShortKey < simdjson::SIMDJSON_PADDING);

    // The value at tape_[at]; moves `at` past it.
    [[gnu::always_inline]] Value build(std::size_t& at) {
        const uint64_t word = tape_[at];
        switch (static_cast<char>(word >> 56)) {
            case '[':
                return buildArray(at);
            case '{':
                return buildObject(at);
            case 'd':
                at += 2;
                return Value(std::bit_cast<double>(tape_[at - 1]));
            case 'l':
                at += 2;
                return Value(static_cast<int64_t>(tape_[at - 1]));
            case 'u':
                at += 2;
                return Value(tape_[at - 1]);
            case '"':
                ++at;
                return string(stringAt(word));
            case 't':
                ++at;
                return Value(true);
            case 'f':
                ++at;
                return Value(false);
            default:  // 'n'
                ++at;
                return Value();
        }
    }

    std::string_view stringAt(uint64_t word) const {
        const uint8_t* at = strings_ + (word & kPayloadMask);
        uint32_t length;
        std::memcpy(&length, at, sizeof length);
        return {reinterpret_cast<const char*>(at + sizeof length), length};
    }

    // Index just past the value at tape_[at].
    std::size_t after(std::size_t at) const {
        const uint64_t word = tape_[at];
        switch (static_cast<char>(word >> 56)) {
            case '[':
            case '{':
                return static_cast<uint32_t>(word);
            case 'd':
            case 'l':
            case 'u':
                return at + 2;
            default:
                return at + 1;
        }
    }

    // Elements (or fields) of the container that starts at tape_[at] and
    // whose closing word is at `close`.
    std::size_t countOf(std::size_t at, std::size_t close, bool object) const {
        std::size_t count = (tape_[at] >> 32) & kCountLimit;
        if (count < kCountLimit)
            return count;
        count = 0;
        for (std::size_t i = at + 1; i < close; i = after(object ? i + 1 : i))
            ++count;
        return count;
    }

    // Containers are built out of line, so that the scalar cases of build()
    // that the loops below run for most elements stay small.
    [[gnu::noinline]] Value buildArray(std::size_t& at) {
        const std::size_t close = static_cast<uint32_t>(tape_[at]) - 1;
        const std::size_t count = countOf(at, close, false);
        ++at;
        Value v = Value::arrayFilledBy(
            arena_, count,
            [&](Array& items) {
                while (at < close)
                    items.push_back(build(at));
            },
            Value::Members::MadeHere);
        at = close + 1;
        return v;
    }

    [[gnu::noinline]] Value buildObject(std::size_t& at) {
        const std::size_t close = static_cast<uint32_t>(tape_[at]) - 1;
        const std::size_t count = countOf(at, close, true);
        ++at;
        auto keysAre = Dictionary::KeysAre::Unknown;
        Value v = Value::dictionaryFilledBy(
            arena_, count,
            [&](Dictionary::Entries& entries) {
                DistinctKeys keys(count);
                while (at < close) {
                    const std::string_view key = stringAt(tape_[at]);
                    ++at;
                    keys.add(entries, key);
                    if (key.size() <= kShortKey) {
                        // A fixed-size copy is made inline, without a call to
                        // copy the bytes, and then cut to the key's length.
                        entries.emplace_back(std::piecewise_construct,
                                             std::forward_as_tuple(key.data(), kShortKey),
                                             std::forward_as_tuple(build(at)));
                        entries.back().first.resize(key.size());
                    } else {
                        entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                                             std::forward_as_tuple(build(at)));
                        noteKey(entries.back().first);
                    }
                }
                keysAre = keys.result();
                return keysAre;
            },
            Value::Members::MadeHere);
        // Keys known distinct merge nothing.
        if (keysAre != Dictionary::KeysAre::Distinct)
            forgetStringsIfMerged(v, count);
        at = close + 1;
        return v;
    }

    const uint64_t* tape_;
    const uint8_t* strings_;
};

// The bytes of a word that are not decimal digits, once the word is xored
// with '0' in every byte (which makes digits 0-9 and every other byte 10 or
// more): the high bit of each such byte.
[[gnu::always_inline]] inline uint64_t notDigits(uint64_t digits) {
    return (((digits & 0x7F7F7F7F7F7F7F7FULL) + 0x7676767676767676ULL) | digits) & 0x8080808080808080ULL;
}

// The value of the first `count` (1 to 8) digits of a word xored with '0'
// in every byte: the digits moved to the top bytes (zeros below them), then
// combined in pairs, fours and eights.
[[gnu::always_inline]] inline uint64_t digitsValue(uint64_t digits, int count) {
    uint64_t v = digits << (8 * (8 - count));
    v = v * 10 + (v >> 8);
    return (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
}

// A run of decimal digits read eight bytes at a time (the text is padded, so
// reading past the run is safe): the digits are appended to `value` (which
// overflows silently beyond nineteen digits in all, which the caller
// checks) and `p` is moved past them.
[[gnu::always_inline]] inline void readDigits(const uint8_t*& p, uint64_t& value) {
    static constexpr uint64_t kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    for (;;) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        // Digits become 0-9 and every other byte 10 or more; the high bit
        // of a byte then marks a byte that is not a digit.
        const uint64_t digits = word ^ 0x3030303030303030ULL;
        const uint64_t notDigit = notDigits(digits);
        const int count = notDigit == 0 ? 8 : std::countr_zero(notDigit) / 8;
        if (count == 0)
            return;
        value = value * kScale[count] + digitsValue(digits, count);
        p += count;
        if (count < 8)
            return;
    }
}

// Whether a byte may follow a value inside a container.
inline bool endsValue(uint8_t c) {
    return c == ',' || c == ']' || c == '}' || c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// The digits of a decimal with a point, of one to seven digits before the
// point and one to seven after it, and nothing else (as most coordinates,
// amounts and measures are written), read from two words loaded at once
// in about half the steps of reading it run by run: the digits with the
// point left out and the count after the point;
// false for any other text, which the general steps then read. The text is
// padded, so reading sixteen bytes from `digits` is safe.
[[gnu::always_inline]] inline bool readShortDecimal(const uint8_t* digits, uint64_t& significand,
                                                    int& fractionDigits) {
    uint64_t low;
    uint64_t high;
    std::memcpy(&low, digits, sizeof low);
    std::memcpy(&high, digits + 8, sizeof high);
    low ^= 0x3030303030303030ULL;
    high ^= 0x3030303030303030ULL;
    const uint64_t lowOthers = notDigits(low);
    if (lowOthers == 0)
        return false;  // eight or more digits before the point
    const int integer = std::countr_zero(lowOthers) / 8;
    // The bytes after the point: both words moved down past it.
    const int shift = 8 * (integer + 1);
    const uint64_t fraction =
        static_cast<uint64_t>((static_cast<unsigned __int128>(high) << 64 | low) >> shift);
    const uint64_t fractionOthers = notDigits(fraction);
    if (fractionOthers == 0)
        return false;  // eight or more digits after the point
    const int after = std::countr_zero(fractionOthers) / 8;
    if (integer == 0 || after == 0 || digits[integer] != '.' || (integer > 1 && digits[0] == '0') ||
        !endsValue(digits[integer + 1 + after]))
        return false;
    static constexpr uint64_t kTens[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
    significand = digitsValue(low, integer) * kTens[after] + digitsValue(fraction, after);
    fractionDigits = after;
    return true;
}

// Correctly rounded doubles of decimals w * 10^q for a significand w of up
// to nineteen digits and an exponent q within +-kNearExponent, where w or
// 10^q is too large for one exact double operation (seventeen-digit doubles,
// as writers that round-trip them give them): w, shifted to fill 64 bits,
// times 5^q held to 128 bits gives the binary digits of the value, of which
// the top 54 decide the double. The powers up to 5^27 fit 64 bits and are
// exact; their reciprocals are cut to 128 bits, which leaves the 192-bit
// product short of the true one by less than 2^64, so the rare products
// whose rounding that could change (a run of ones or zeros just below the
// rounding bit) are refused, and read by the exact reader instead.
constexpr int kNearExponent = 27;

struct WidePower {
    uint64_t high = 0;
    uint64_t low = 0;
    int exponent = 0;  // 5^q is (high:low) * 2^exponent, exactly or cut
};

constexpr std::array<WidePower, 2 * kNearExponent + 1> kWidePowers = [] {
    std::array<WidePower, 2 * kNearExponent + 1> powers{};
    uint64_t five = 1;  // 5^k
    for (int k = 0; k <= kNearExponent; ++k, five *= 5) {
        const int zeros = std::countl_zero(five);
        // 5^k: exact, its top bit made the 128-bit number's top bit.
        powers[kNearExponent + k] = {five << zeros, 0, -(zeros + 64)};
        if (k == 0)
            continue;
        // 5^-k: floor(2^n / 5^k), with n chosen so that it takes 128 bits
        // (5^k has 64 - zeros bits), by long division one bit at a time.
        const int n = 127 + (64 - zeros);
        unsigned __int128 quotient = 0;
        uint64_t remainder = 0;
        for (int bit = n; bit >= 0; --bit) {
            remainder = remainder * 2 + (bit == n ? 1 : 0);
            quotient <<= 1;
            if (remainder >= five) {
                remainder -= five;
                quotient |= 1;
            }
        }
        powers[kNearExponent - k] = {static_cast<uint64_t>(quotient >> 64), static_cast<uint64_t>(quotient),
                                     -n};
    }
    return powers;
}();

// The double nearest w * 10^q (ties to even), for w > 0 and |q| <=
// kNearExponent; nullopt in the rare cases the product cannot decide.
inline std::optional<double> nearestDouble(uint64_t w, int q) {
    const WidePower& power = kWidePowers[static_cast<std::size_t>(q + kNearExponent)];
    const int zeros = std::countl_zero(w);
    const uint64_t scaled = w << zeros;
    // The top 192 bits of scaled * power: top, middle and bottom words.
    const unsigned __int128 byHigh = static_cast<unsigned __int128>(scaled) * power.high;
    const unsigned __int128 byLow = static_cast<unsigned __int128>(scaled) * power.low;
    const uint64_t middle = static_cast<uint64_t>(byHigh) + static_cast<uint64_t>(byLow >> 64);
    const uint64_t top = static_cast<uint64_t>(byHigh >> 64) + (middle < static_cast<uint64_t>(byHigh));
    const uint64_t bottom = static_cast<uint64_t>(byLow);
    // The product lies in [2^190, 2^192): its top bit is bit 63 or 62 of
    // `top`, and the 53 bits from there are the double's significand.
    const int upper = static_cast<int>(top >> 63);
    const int roundAt = upper + 9;
    const uint64_t belowMask = (uint64_t{1} << roundAt) - 1;
    const uint64_t below = top & belowMask;
    const bool roundBit = (top >> roundAt) & 1;
    uint64_t significand = top >> (roundAt + 1);
    bool sticky;
    if (q < 0) {
        // The true product exceeds this one by less than 2^64: a carry may
        // reach the rounding bit through a run of ones, and a run of zeros
        // below a set rounding bit may be an exact tie or just above one.
        if ((middle == ~uint64_t{0} && below == belowMask) || (roundBit && below == 0 && middle == 0))
            return std::nullopt;
        sticky = true;  // not a tie: rounding to even cannot arise
    } else {
        sticky = (below | middle | bottom) != 0;
    }
    // The value is significand * 2^(roundAt + 129 + exponent of the power
    // + q - zeros); a double's biased exponent counts from 2^-1074 for a
    // 53-bit significand.
    int biased = 1075 + roundAt + 129 + power.exponent + q - zeros;
    if (roundBit && (sticky || (significand & 1))) {
        ++significand;
        if (significand == uint64_t{1} << 53) {
            significand >>= 1;
            ++biased;
        }
    }
    if (biased < 1 || biased > 2046)
        return std::nullopt;  // not reached for these exponents; kept exact regardless
    return std::bit_cast<double>(static_cast<uint64_t>(biased) << 52 |
                                 (significand & ((uint64_t{1} << 52) - 1)));
}

// The double of the text [start, end), a valid number; null when it is out
// of range (either way), which the general path then decides. Out of line,
// away from the common cases.
[[gnu::noinline]] Value readDoubleSlowly(const uint8_t* start, const uint8_t* end) {
    double d = 0;
    const auto result =
        std::from_chars(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(end), d);
    if (result.ec != std::errc() || result.ptr != reinterpret_cast<const char*>(end))
        return Value();
    return Value(d);
}

// Reads a number as simdjson's DOM reads it (the same kinds: a signed
// integer when it fits, an unsigned one above that, a double for any
// fraction or exponent; doubles rounded correctly), for the common cases;
// null for the rest (integers beyond 64 bits, doubles out of range, bad
// syntax, an unusual end), which the general path then decides. `p` points
// at the first byte of the number, which lies in a container (so that a
// bracket follows it in the text).
[[gnu::always_inline]] inline Value readNumber(const uint8_t* p) {
    // Powers of ten that doubles hold exactly.
    static constexpr double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const uint8_t* const start = p;
    const bool negative = *p == '-';
    p += negative;
    const uint8_t* const digits = p;
    uint64_t significand = 0;
    int shortFraction = 0;
    if (readShortDecimal(digits, significand, shortFraction)) {
        // Under fifteen digits and a power of ten up to 10^7: both exact,
        // so the quotient is correctly rounded.
        const double d = static_cast<double>(significand) / kExact[shortFraction];
        return Value(negative ? -d : d);
    }
    significand = 0;
    readDigits(p, significand);
    const auto integerDigits = static_cast<std::size_t>(p - digits);
    if (integerDigits == 0 || (*digits == '0' && integerDigits > 1))
        return Value();
    if (endsValue(*p)) {
        // An integer; nineteen digits always fit in 64 bits.
        if (integerDigits > 19)
            return Value();
        if (negative) {
            if (significand > uint64_t{1} << 63)
                return Value();
            return Value(static_cast<int64_t>(~significand + 1));
        }
        if (significand > static_cast<uint64_t>(INT64_MAX))
            return Value(significand);
        return Value(static_cast<int64_t>(significand));
    }
    std::size_t fractionDigits = 0;
    int64_t exponent = 0;
    bool marked = false;  // a fraction or an exponent follows the integer part
    if (*p == '.') {
        marked = true;
        const uint8_t* const fraction = ++p;
        readDigits(p, significand);
        fractionDigits = static_cast<std::size_t>(p - fraction);
        if (fractionDigits == 0)
            return Value();
        exponent = -static_cast<int64_t>(fractionDigits);
    }
    if ((*p | 0x20) == 'e') {
        marked = true;
        ++p;
        const bool negativeExponent = *p == '-';
        p += *p == '-' || *p == '+';
        const uint8_t* const exponentDigits = p;
        int64_t written = 0;
        while (static_cast<uint8_t>(*p - '0') < 10) {
            if (written < 100000)
                written = written * 10 + (*p - '0');
            ++p;
        }
        if (p == exponentDigits)
            return Value();
        exponent += negativeExponent ? -written : written;
    }
    if (!marked || !endsValue(*p))
        return Value();
    if (integerDigits + fractionDigits <= 19 && significand <= uint64_t{1} << 53 && exponent >= -22 &&
        exponent <= 22) {
        // Both factors are exact, so the one rounding of the product or
        // quotient gives the correctly rounded double.
        double d = static_cast<double>(significand);
        d = exponent < 0 ? d / kExact[-exponent] : d * kExact[exponent];
        return Value(negative ? -d : d);
    }
    if (integerDigits + fractionDigits <= 19 && significand != 0 && exponent >= -kNearExponent &&
        exponent <= kNearExponent) {
        if (const std::optional<double> d = nearestDouble(significand, static_cast<int>(exponent)))
            return Value(negative ? -*d : *d);
    }
    return readDoubleSlowly(start, p);
}

// Builds the Value tree straight from the structural index of simdjson's
// first stage (the offset of every bracket, comma, colon and value), without
// its tape: numbers are read from the text once, into their Values, rather
// than written to the tape and read back, and strings are unescaped by
// simdjson's own string reader into one scratch buffer. The element counts
// of containers, which size them exactly, come from one pass over the index
// beforehand (countElements). Anything unusual (a number beyond the common
// cases, a grammar error, a scalar root, deep nesting) makes build() give up,
// and the text takes the general path (simdjson's second stage and the tape),
// which decides it as before.
// What a structural character does to the nesting of containers.
// (Value and Comma come first, as 0 and 1.)
enum class Role : uint8_t { Value, Comma, OpenArray, OpenObject, CloseArray, CloseObject };
static_assert(static_cast<int>(Role::Value) == 0 && static_cast<int>(Role::Comma) == 1);
constexpr std::array<Role, 256> kRoles = [] {
    std::array<Role, 256> roles{};
    roles[','] = Role::Comma;
    roles['['] = Role::OpenArray;
    roles['{'] = Role::OpenObject;
    roles[']'] = Role::CloseArray;
    roles['}'] = Role::CloseObject;
    return roles;
}();

class IndexBuilder : DocumentBuilder {
  public:
    // Containers nested deeper than this take the general path.
    static constexpr std::size_t kDepth = JSONSerialization::kMaxDepth / 2;
    // Structurals looked at to choose the builder.
    static constexpr uint32_t kSample = 1024;

    // The number of commas directly in each container, in the order the
    // containers open; false when the index does not pair its brackets, the
    // root is not a container, or containers nest deeper than kDepth.
    // Whether the text suits this builder: it reads numbers in about half
    // the time simdjson's second stage takes (which it replaces), but builds
    // strings and objects a little slower, so it takes texts in which at
    // least a quarter of the first structurals are numbers.
    static bool suits(const uint8_t* text, const uint32_t* index, uint32_t structurals) {
        const uint32_t sample = std::min<uint32_t>(structurals, kSample);
        uint32_t numbers = 0;
        for (uint32_t i = 0; i < sample; ++i) {
            const uint8_t c = text[index[i]];
            numbers += c == '-' || static_cast<uint8_t>(c - '0') < 10;
        }
        return numbers * 4 >= sample;
    }

    static bool countElements(const uint8_t* text, const uint32_t* index, uint32_t structurals,
                              std::vector<uint32_t>& counts) {
        if (structurals == 0 || (text[index[0]] != '[' && text[index[0]] != '{'))
            return false;
        // Each container of a well-formed text takes two structurals, its
        // brackets (texts with more openings than that are refused below).
        const uint32_t room = structurals / 2 + 1;
        if (counts.size() < room)
            counts.resize(room);
        uint32_t* const commas = counts.data();
        // The open containers' ordinals (the innermost one's in `top`, its
        // commas so far in `current`), and which of them are objects.
        std::array<uint32_t, kDepth + 1> open;
        std::array<bool, kDepth + 1> object;
        std::size_t depth = 0;
        uint32_t containers = 0;
        uint32_t top = 0;
        uint32_t current = 0;
        for (uint32_t i = 0; i < structurals; ++i) {
            const Role role = kRoles[text[index[i]]];
            // Values and commas, most structurals, take one test: a comma
            // adds one to the count and a value nothing.
            if (role <= Role::Comma) {
                current += static_cast<uint32_t>(role);
                continue;
            }
            if (role == Role::OpenArray || role == Role::OpenObject) {
                if (depth == kDepth || containers == room)
                    return false;
                commas[top] = current;
                open[depth] = top;
                object[++depth] = role == Role::OpenObject;
                top = containers++;
                current = 0;
                continue;
            }
            if (object[depth] != (role == Role::CloseObject))
                return false;
            commas[top] = current;
            top = open[--depth];
            current = commas[top];
            // The root's closing bracket ends the text.
            if (depth == 0)
                return i + 1 == structurals;
        }
        return false;
    }

    IndexBuilder(const simdjson::internal::dom_parser_implementation& parser, const uint8_t* text,
                 std::size_t textSize, const uint32_t* counts, uint8_t* scratch, StringNotes* notes)
        : DocumentBuilder(textSize, notes),
          parser_(parser),
          text_(text),
          index_(parser.structural_indexes.get()),
          counts_(counts),
          scratch_(scratch) {}

    // The root, or nullopt when the text is to take the general path. Only
    // after countElements() accepted the index.
    std::optional<Value> build() {
        Value root = value();
        if (failed_)
            return std::nullopt;
        Value::finishDocument(arena_, root);
        return root;
    }

  private:
    uint8_t at(uint32_t structural) const { return text_[index_[structural]]; }

    Value giveUp() {
        failed_ = true;
        return Value();
    }

    // The value at the current structural, made where a container keeps it:
    // emplace_back() makes the element from this, whose conversion returns
    // the Value value() builds, so that it is built in its place rather
    // than moved there from a temporary (whose fields, written byte by byte
    // and read back together, made the processor wait for every number).
    struct NextValue {
        IndexBuilder* builder;
        [[gnu::always_inline]] operator Value() const { return builder->value(); }
    };

    // The value at the current structural; moves past it.
    [[gnu::always_inline]] Value value() {
        const uint8_t* p = text_ + index_[next_++];
        switch (*p) {
            case '[':
                return array();
            case '{':
                return object();
            case '"':
                return stringValue(p);
            case 't':
                return literal(p, "true", 4) ? Value(true) : giveUp();
            case 'f':
                return literal(p, "false", 5) ? Value(false) : giveUp();
            case 'n':
                return literal(p, "null", 4) ? Value() : giveUp();
            default: {
                // Returned as it is (a null marks a failure), so that it is
                // built where the caller keeps it.
                Value number = readNumber(p);
                if (number.isNull())
                    failed_ = true;
                return number;
            }
        }
    }

    static bool literal(const uint8_t* p, const char* word, std::size_t length) {
        if (std::memcmp(p, word, length) != 0)
            return false;
        switch (p[length]) {
            case ' ':
            case '\t':
            case '\n':
            case '\r':
            case ',':
            case ']':
            case '}':
                return true;
            default:
                return false;
        }
    }

    // The string whose opening quote is at `quote`, unescaped into the
    // scratch buffer; nullopt when an escape is wrong.
    // A string without escapes is its text, found by looking for its
    // closing quote eight bytes at a time (short strings: keys, names,
    // tags); longer ones or those with an escape go through the scratch.
    std::optional<std::string_view> unescaped(const uint8_t* quote) {
        const uint8_t* const first = quote + 1;
        for (std::size_t at = 0; at < kPlainScan; at += 8) {
            uint64_t word;
            std::memcpy(&word, first + at, sizeof word);
            const uint64_t quotes = word ^ (0x0101010101010101ULL * '"');
            const uint64_t backslashes = word ^ (0x0101010101010101ULL * '\\');
            // Zero bytes of either mark a quote or a backslash; the lowest
            // mark is exact.
            const uint64_t marks = ((quotes - 0x0101010101010101ULL) & ~quotes) |
                                   ((backslashes - 0x0101010101010101ULL) & ~backslashes);
            const uint64_t high = marks & 0x8080808080808080ULL;
            if (high != 0) {
                const std::size_t length = at + static_cast<std::size_t>(std::countr_zero(high)) / 8;
                if (first[length] != '"')
                    break;
                return std::string_view(reinterpret_cast<const char*>(first), length);
            }
        }
        const uint8_t* end = parser_.parse_string(first, scratch_);
        if (end == nullptr)
            return std::nullopt;
        return std::string_view(reinterpret_cast<const char*>(scratch_),
                                static_cast<std::size_t>(end - scratch_));
    }

    Value stringValue(const uint8_t* quote) {
        const auto s = unescaped(quote);
        return s ? string(*s) : giveUp();
    }

    // Containers are built out of line, so that the scalar cases of value()
    // that the loops below run for most elements stay small. The opening
    // bracket has been passed. An array is built with everything it calls
    // inline (flatten): left to itself, the compiler calls the elements'
    // reserve() and construction out of line, a large part of the cost of
    // the small arrays number-dense texts are made of.
    [[gnu::noinline, gnu::flatten]] Value array() {
        const std::size_t count = std::size_t{counts_[container_++]} + 1;
        if (++depth_ > kDepth)
            return giveUp();
        if (at(next_) == ']') {
            ++next_;
            --depth_;
            return Value::arrayFilledBy(
                arena_, 0, [](Array&) {}, Value::Members::MadeHere);
        }
        Value v = Value::arrayFilledBy(
            arena_, count,
            [&](Array& items) {
                for (;;) {
                    items.emplace_back(NextValue{this});
                    if (failed_)
                        return;
                    const uint8_t next = at(next_++);
                    if (next == ']')
                        return;
                    if (next != ',') {
                        failed_ = true;
                        return;
                    }
                }
            },
            Value::Members::MadeHere);
        --depth_;
        return v;
    }

    [[gnu::noinline]] Value object() {
        const std::size_t count = std::size_t{counts_[container_++]} + 1;
        if (++depth_ > kDepth)
            return giveUp();
        if (at(next_) == '}') {
            ++next_;
            --depth_;
            return Value::dictionaryFilledBy(
                arena_, 0, [](Dictionary::Entries&) { return Dictionary::KeysAre::Distinct; },
                Value::Members::MadeHere);
        }
        std::size_t filled = 0;
        auto keysAre = Dictionary::KeysAre::Unknown;
        Value v = Value::dictionaryFilledBy(
            arena_, count,
            [&](Dictionary::Entries& entries) {
                DistinctKeys keys(count);
                const bool closed = fillEntries(entries, keys);
                filled = entries.size();  // before repeated keys merge
                failed_ = failed_ || !closed;
                keysAre = closed ? keys.result() : Dictionary::KeysAre::Unknown;
                return keysAre;
            },
            Value::Members::MadeHere);
        // Keys known distinct merge nothing.
        if (keysAre != Dictionary::KeysAre::Distinct)
            forgetStringsIfMerged(v, filled);
        --depth_;
        return v;
    }

    // Bytes of a string searched for its end before the scratch takes over.
    static constexpr std::size_t kPlainScan = 32;

    // Adds the fields of the object whose opening bracket has been passed;
    // false when the text is not as expected.
    bool fillEntries(Dictionary::Entries& entries, DistinctKeys& keys) {
        for (;;) {
            // A key is a string followed by a colon (the object's closing
            // bracket comes later, so the index goes on).
            const uint8_t* quote = text_ + index_[next_];
            if (*quote != '"' || at(next_ + 1) != ':')
                return false;
            const auto key = unescaped(quote);
            if (!key)
                return false;
            next_ += 2;
            keys.add(entries, *key);
            // The key is copied before the value may reuse the scratch.
            entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(*key), std::tuple<>());
            noteKey(entries.back().first);
            entries.back().second = value();
            if (failed_)
                return false;
            const uint8_t next = at(next_++);
            if (next == '}')
                return true;
            if (next != ',')
                return false;
        }
    }

    const simdjson::internal::dom_parser_implementation& parser_;
    const uint8_t* text_;
    const uint32_t* index_;
    const uint32_t* counts_;
    uint8_t* scratch_;
    uint32_t next_ = 0;       // the next structural to read
    uint32_t container_ = 0;  // ordinal of the next container to open
    std::size_t depth_ = 0;
    bool failed_ = false;
};

// A parser's buffers take about fourteen bytes per byte of text, and fresh
// buffers cost a page fault per page touched. Each thread keeps a parser for
// the small texts most calls read; one parser shared by the process (taken
// only when free) serves texts up to a few megabytes, so that reading large
// documents in a row reuses its memory without every thread holding on to
// that much. Larger texts, or a busy shared parser, get a parser of their own.
constexpr std::size_t kThreadParserCapacity = 64 << 10;
constexpr std::size_t kSharedParserCapacity = 4 << 20;

// A parser with the buffers the reading around it keeps.
struct Reader {
    simdjson::dom::parser parser;
    std::size_t capacity = 0;
    // Element counts of the containers of the text being read.
    std::vector<uint32_t> counts;
    // A copy of a text whose padding could not be read where it lies.
    std::unique_ptr<uint8_t[]> padded;
    std::size_t paddedCapacity = 0;
};

// Tables of shared short strings, lent to one document at a time: the
// documents read one after another, on whichever threads, reuse a few
// tables instead of each thread making and clearing its own (reading is
// often spread over the threads of a pool).
class NotesPool {
  public:
    static NotesPool& shared() {
        static NotesPool* pool = new NotesPool();  // outlives threads parsing during exit
        return *pool;
    }

    std::unique_ptr<StringNotes> take() {
        {
            MutexLock lock(mutex_);
            if (!free_.empty()) {
                auto notes = std::move(free_.back());
                free_.pop_back();
                return notes;
            }
        }
        return std::make_unique<StringNotes>();
    }

    void give(std::unique_ptr<StringNotes> notes) {
        {
            MutexLock lock(mutex_);
            if (free_.size() < kKept) {
                free_.push_back(std::move(notes));
                return;
            }
        }
        // More tables than are kept were in use at once: this one is freed.
    }

  private:
    static constexpr std::size_t kKept = 8;
    NotesPool() { free_.reserve(kKept); }

    Mutex mutex_;
    std::vector<std::unique_ptr<StringNotes>> free_ GUARDED_BY(mutex_);
};

// A table of the pool for one text large enough to share strings (none for
// smaller texts), given back when the text is read.
class NotesLease {
  public:
    explicit NotesLease(std::size_t textSize) {
        if (textSize >= kSharingTextSize)
            notes_ = NotesPool::shared().take();
    }
    ~NotesLease() {
        if (notes_)
            NotesPool::shared().give(std::move(notes_));
    }
    NotesLease(const NotesLease&) = delete;
    NotesLease& operator=(const NotesLease&) = delete;
    StringNotes* get() const { return notes_.get(); }

  private:
    std::unique_ptr<StringNotes> notes_;
};

struct SharedParser {
    Mutex mutex;
    Reader reader GUARDED_BY(mutex);
};

SharedParser& sharedParser() {
    static SharedParser* shared = new SharedParser();  // outlives threads parsing during exit
    return *shared;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTREL_JSON_CHECKED_READS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KESTREL_JSON_CHECKED_READS 1
#endif
#endif

// The parser and the index builder read up to SIMDJSON_PADDING bytes past
// the end of a text (and never let them change the result). When those bytes
// lie in the page of the text's last byte, reading them cannot fault and the
// text is parsed where it is; otherwise it is first copied into a padded
// buffer. Under the sanitizers, which check the builder's reads against the
// text's allocation rather than its page, every text is copied.
bool needsPaddedCopy(std::string_view text) {
#if defined(KESTREL_JSON_CHECKED_READS)
    if (!text.empty())
        return true;
#endif
    constexpr std::uintptr_t kPage = 4096;
    const auto last = reinterpret_cast<std::uintptr_t>(text.data() + text.size() - 1);
    return last % kPage + simdjson::SIMDJSON_PADDING >= kPage;
}

simdjson::error_code parseWith(Reader& reader, std::string_view text, std::optional<Value>& out) {
    simdjson::dom::parser& parser = reader.parser;
    if (reader.capacity < text.size() || reader.capacity == 0) {
        // The fast parser counts a scalar inside the innermost container as
        // a level of its own, so it refuses some texts of exactly kMaxDepth
        // containers: the strict reader settles every text refused for depth,
        // so both paths share one limit (and the error its position).
        const std::size_t wanted = std::max<std::size_t>(text.size(), 4096);
        if (auto err = parser.allocate(wanted, JSONSerialization::kMaxDepth))
            return err;
        // The document's tape is written only on the general path; its
        // string buffer is the index builder's scratch too.
        if (auto err = parser.doc.allocate(wanted))
            return err;
        reader.capacity = wanted;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    if (needsPaddedCopy(text)) {
        if (reader.paddedCapacity < text.size()) {
            reader.padded =
                std::make_unique_for_overwrite<uint8_t[]>(text.size() + simdjson::SIMDJSON_PADDING);
            reader.paddedCapacity = text.size();
        }
        std::memcpy(reader.padded.get(), bytes, text.size());
        std::memset(reader.padded.get() + text.size(), ' ', simdjson::SIMDJSON_PADDING);
        bytes = reader.padded.get();
    }
    simdjson::internal::dom_parser_implementation& stages = *parser.implementation;
    if (auto err = stages.stage1(bytes, text.size(), simdjson::stage1_mode::regular))
        return err;
    const uint32_t* index = stages.structural_indexes.get();
    const NotesLease notes(text.size());
    if (IndexBuilder::suits(bytes, index, stages.n_structural_indexes) &&
        IndexBuilder::countElements(bytes, index, stages.n_structural_indexes, reader.counts)) {
        auto root = IndexBuilder(stages, bytes, text.size(), reader.counts.data(),
                                 parser.doc.string_buf.get(), notes.get())
                        .build();
        if (root) {
            out = std::move(*root);
            return simdjson::SUCCESS;
        }
    }
    if (auto err = stages.stage2(parser.doc))
        return err;
    out = TapeBuilder(parser.doc, text.size(), notes.get()).build();
    return simdjson::SUCCESS;
}

simdjson::error_code parseFast(std::string_view text, std::optional<Value>& out) {
    if (text.size() <= kThreadParserCapacity) {
        thread_local Reader reader;
        return parseWith(reader, text, out);
    }
    if (text.size() <= kSharedParserCapacity) {
        SharedParser& shared = sharedParser();
        if (shared.mutex.tryLock()) {
            simdjson::error_code err;
            try {
                err = parseWith(shared.reader, text, out);
            } catch (...) {
                shared.mutex.unlock();
                throw;
            }
            shared.mutex.unlock();
            return err;
        }
    }
    Reader own;
    return parseWith(own, text, out);
}

Result<Value> parseUTF8(std::string_view text, unsigned options) {
    std::optional<Value> value;
    auto err = parseFast(text, value);
    if (err != simdjson::SUCCESS) {
        StrictReader reader(text);
        value = reader.readDocument();
        if (!value)
            return readErrorAt(text, reader.failure().offset, reader.failure().reason);
        const bool strictReaderDecides = err == simdjson::NUMBER_ERROR || err == simdjson::DEPTH_ERROR ||
                                         err == simdjson::CAPACITY || err == simdjson::MEMALLOC;
        if (!strictReaderDecides)
            return readError(std::string(simdjson::error_message(err)));
    }
    if (!(options & JSONReadingFragmentsAllowed) && !value->isArray() && !value->isDictionary())
        return readErrorAt(text, 0,
                           "JSON text did not start with array or object and option to allow "
                           "fragments not set.");
    return std::move(*value);
}

// --- Writer --------------------------------------------------------------------

// The text being written: a string grown by doubling and filled through a
// cursor, so that appending checks the room left once per piece rather than
// once per character.
class Output {
  public:
    Output() { grow(0); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Room for n more bytes at cursor().
    char* reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - cursor_) < n)
            grow(n);
        return cursor_;
    }
    // Moves the cursor past bytes written into reserved room.
    void advance(char* to) { cursor_ = to; }
    void put(char c) {
        *reserve(1) = c;
        ++cursor_;
    }
    void append(const char* bytes, std::size_t n) {
        std::memcpy(reserve(n), bytes, n);
        cursor_ += n;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    void appendSpaces(std::size_t n) {
        std::memset(reserve(n), ' ', n);
        cursor_ += n;
    }
    // The text written from offset `from` on.
    std::string_view written(std::size_t from) const { return {text_.data() + from, used() - from}; }
    std::size_t size() const { return used(); }
    std::string take() {
        text_.resize(used());
        cursor_ = end_ = nullptr;
        return std::move(text_);
    }

  private:
    std::size_t used() const { return static_cast<std::size_t>(cursor_ - text_.data()); }
    void grow(std::size_t n) {
        const std::size_t used = cursor_ ? this->used() : 0;
        text_.resize(std::max({text_.size() * 2, used + n, std::size_t{256}}));
        cursor_ = text_.data() + used;
        end_ = text_.data() + text_.size();
    }

    std::string text_;
    char* cursor_ = nullptr;
    char* end_ = nullptr;
};

// Bytes of a string that need an escape: 1 always, 2 for "/" (escaped unless
// asked not to).
constexpr std::array<uint8_t, 256> kEscapes = [] {
    std::array<uint8_t, 256> table{};
    for (int c = 0; c < 0x20; ++c)
        table[c] = 1;
    table['"'] = table['\\'] = 1;
    table['/'] = 2;
    return table;
}();

// The character after the backslash in each byte's escape ('u' for \u00XX);
// 0 for bytes written as they are.
constexpr std::array<char, 256> kEscapeLetters = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c)
        table[c] = 'u';
    table['"'] = '"';
    table['\\'] = '\\';
    table['/'] = '/';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    return table;
}();

// Writes the escape of c at `at` (room for six bytes); returns its end.
char* writeEscape(char* at, uint8_t c) {
    const char letter = kEscapeLetters[c];
    at[0] = '\\';
    at[1] = letter;
    if (letter != 'u')
        return at + 2;
    at[2] = '0';
    at[3] = '0';
    at[4] = text::hexDigit(c >> 4);
    at[5] = text::hexDigit(c);
    return at + 6;
}

constexpr uint64_t kEveryByte = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// Whether any byte of the word is zero (exact for the word as a whole).
constexpr uint64_t anyZeroByte(uint64_t word) {
    return (word - kEveryByte) & ~word & kHighBits;
}

// Whether any byte of eight needs escaping; eight at a time skips the plain
// runs that make up most strings.
bool wordNeedsEscape(uint64_t word, bool escapeSlash) {
    const uint64_t control = (word - kEveryByte * 0x20) & ~word & kHighBits;
    const uint64_t special = anyZeroByte(word ^ (kEveryByte * '"')) |
                             anyZeroByte(word ^ (kEveryByte * '\\')) |
                             (escapeSlash ? anyZeroByte(word ^ (kEveryByte * '/')) : 0);
    return (control | special) != 0;
}

// The text of "%.17g" for doubles of magnitude in [1e-4, 1e16), the range of
// most data (coordinates, amounts, times), exactly and without the general
// conversion's arbitrary-precision arithmetic: the 17 digits come from one
// 128-bit product of the significand and a power of five. nullptr for other
// doubles and for the rare exact ties between two 17-digit numbers, which the
// caller writes the general way.
char* seventeenDigits(double d, char* out) {
    static constexpr uint64_t kPow5[] = {1,
                                         5,
                                         25,
                                         125,
                                         625,
                                         3125,
                                         15625,
                                         78125,
                                         390625,
                                         1953125,
                                         9765625,
                                         48828125,
                                         244140625,
                                         1220703125,
                                         6103515625,
                                         30517578125,
                                         152587890625,
                                         762939453125,
                                         3814697265625,
                                         19073486328125,
                                         95367431640625,
                                         476837158203125,
                                         2384185791015625};
    constexpr uint64_t kLow = 10'000'000'000'000'000ULL;  // 10^16
    constexpr uint64_t kHigh = 10 * kLow;                 // 10^17
    const double magnitude = std::fabs(d);
    if (!(magnitude >= 1e-4 && magnitude < 1e16))
        return nullptr;
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    const uint64_t significand = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const int exponent2 = static_cast<int>((bits >> 52) & 0x7FF) - 1075;  // d = significand * 2^exponent2
    // Decimal exponent of the first digit, from the binary one (floor of
    // log2 times log10(2), as 78913 / 2^18); the estimate may be one low.
    const int log2 = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    int exponent10 = (log2 * 78913) >> 18;
    uint64_t digits = 0;
    for (int attempt = 0;; ++attempt) {
        if (attempt == 4)
            return nullptr;
        // digits = round(magnitude * 10^(16 - exponent10)), with 10^p = 5^p * 2^p.
        const int p = 16 - exponent10;
        if (p < 0 || p >= static_cast<int>(std::size(kPow5)))
            return nullptr;
        unsigned __int128 scaled = static_cast<unsigned __int128>(significand) * kPow5[p];
        const int shift = p + exponent2;
        bool tie = false;
        if (shift >= 0) {
            scaled <<= shift;
        } else {
            const int drop = -shift;
            if (drop >= 120)
                return nullptr;
            const unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
            const unsigned __int128 rest = scaled & ((half << 1) - 1);
            scaled >>= drop;
            tie = rest == half;
            if (rest > half)
                ++scaled;
        }
        digits = static_cast<uint64_t>(scaled);
        if (digits >= kHigh) {
            ++exponent10;
        } else if (digits < kLow) {
            --exponent10;
        } else if (tie) {
            return nullptr;  // an exact tie: left to the general conversion
        } else {
            break;
        }
    }
    char text[17];
    for (int i = 16; i >= 0; --i) {
        text[i] = static_cast<char>('0' + digits % 10);
        digits /= 10;
    }
    int significant = 17;
    while (significant > 1 && text[significant - 1] == '0')
        --significant;
    if (d < 0)
        *out++ = '-';
    if (exponent10 >= 0) {
        // exponent10 + 1 integer digits (all of them within the 17).
        const int integerDigits = exponent10 + 1;
        std::memcpy(out, text, integerDigits);
        out += integerDigits;
        if (significant > integerDigits) {
            *out++ = '.';
            std::memcpy(out, text + integerDigits, significant - integerDigits);
            out += significant - integerDigits;
        }
    } else {
        *out++ = '0';
        *out++ = '.';
        for (int i = -1; i > exponent10; --i)
            *out++ = '0';
        std::memcpy(out, text, significant);
        out += significant;
    }
    return out;
}

class Writer {
  public:
    explicit Writer(unsigned options)
        : pretty_(options & JSONWritingPrettyPrinted),
          sorted_(options & JSONWritingSortedKeys),
          escapeSlash_(!(options & JSONWritingWithoutEscapingSlashes)) {}

    bool write(const Value& v, std::size_t depth) {
        switch (v.kind()) {
            case Value::Kind::Null:
                out_.append("null");
                return true;
            case Value::Kind::Bool:
                out_.append(v.rawBool() ? std::string_view("true") : std::string_view("false"));
                return true;
            case Value::Kind::Int:
                return appendNumber(v.rawInt());
            case Value::Kind::UInt:
                return appendNumber(v.rawUInt());
            case Value::Kind::Double:
                return writeDouble(v.rawDouble());
            case Value::Kind::Decimal:
                return writeDecimal(*v.asDecimal());
            case Value::Kind::String:
                return writeString(*v.asString());
            case Value::Kind::Array:
                return writeArray(*v.asArray(), depth + 1);
            case Value::Kind::Dictionary:
                return writeDictionary(*v.asDictionary(), depth + 1);
            default:
                return fail(std::string("Invalid type in JSON write (") + std::string(v.kindName()) + ")");
        }
    }

    // Checks the strings not yet checked for UTF-8; false (with the error)
    // when one is not.
    bool finish() { return checkStrings(); }
    std::string text() { return out_.take(); }
    ErrorPtr error() const { return error_; }

  private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    bool checkStrings() {
        if (unchecked_ == kNone)
            return true;
        const std::string_view text = out_.written(unchecked_);
        unchecked_ = kNone;
        if (simdjson::validate_utf8(text.data(), text.size()))
            return true;
        error_ = writeError("Invalid string (not UTF-8) in JSON write");
        return false;
    }

    // A string written before the fault that is not UTF-8 is the first fault.
    bool fail(std::string description) {
        if (checkStrings())
            error_ = writeError(std::move(description));
        return false;
    }

    template <class N>
    bool appendNumber(N n) {
        constexpr std::size_t kRoom = 24;
        char* at = out_.reserve(kRoom);
        out_.advance(std::to_chars(at, at + kRoom, n).ptr);
        return true;
    }

    bool writeDouble(double d) {
        if (std::isnan(d))
            return fail("Invalid number value (NaN) in JSON write");
        if (std::isinf(d))
            return fail("Invalid number value (infinite) in JSON write");
        constexpr std::size_t kRoom = 32;
        char* at = out_.reserve(kRoom);
        char* end = seventeenDigits(d, at);
        out_.advance(end != nullptr ? end
                                    : std::to_chars(at, at + kRoom, d, std::chars_format::general, 17).ptr);
        return true;
    }

    bool writeDecimal(const Decimal& d) {
        if (d.isNaN())
            return fail("Invalid number value (NaN) in JSON write");
        out_.append(d.toString());
        return true;
    }

    bool writeString(std::string_view s) {
        const std::size_t quote = out_.size();
        out_.put('"');
        bool nonASCII = false;
#if defined(__SSE2__)
        if (s.size() >= 16) {
            nonASCII = copyBlocks(s);
        } else
#endif
        {
            nonASCII = copyShort(s);
        }
        out_.put('"');
        // Strings with bytes above ASCII are checked for UTF-8 once, over the
        // text written from the first of them on (see finish()): the bytes
        // around each string are ASCII, so the text is UTF-8 exactly when
        // every string in it is, and one pass costs far less than one call
        // per string.
        if (nonASCII && unchecked_ == kNone)
            unchecked_ = quote;
        return true;
    }

    // Writes a string of fewer than 16 bytes (most keys) into room reserved
    // once: its first eight bytes in one step when none needs an escape, the
    // rest byte by byte. Returns whether a byte is not ASCII.
    bool copyShort(std::string_view s) {
        const uint8_t escapeMask = escapeSlash_ ? 3 : 1;
        char* at = out_.reserve(s.size() * 6);
        uint64_t high = 0;
        std::size_t i = 0;
        if (s.size() >= 8) {
            uint64_t word;
            std::memcpy(&word, s.data(), sizeof word);
            if (!wordNeedsEscape(word, escapeSlash_)) {
                high = word;
                std::memcpy(at, &word, sizeof word);
                at += sizeof word;
                i = sizeof word;
            }
        }
        for (; i < s.size(); ++i) {
            const auto c = static_cast<uint8_t>(s[i]);
            high |= c;
            if (kEscapes[c] & escapeMask)
                at = writeEscape(at, c);
            else
                *at++ = static_cast<char>(c);
        }
        out_.advance(at);
        return (high & kHighBits) != 0;
    }

#if defined(__SSE2__)
    // Writes s (at least 16 bytes) sixteen bytes at a time: each block is
    // stored whole and the cursor advanced to the first byte that needs an
    // escape, whose escape is written in place, so that runs between escapes
    // take no call to memcpy and no search byte by byte. The last block is
    // read from a copy of the string's last sixteen bytes, so that no read
    // passes its end. Returns whether a byte is not ASCII.
    [[gnu::noinline]] bool copyBlocks(std::string_view s) {
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i slash = _mm_set1_epi8(escapeSlash_ ? '/' : '"');
        const __m128i lastControl = _mm_set1_epi8(0x1F);
        const std::size_t size = s.size();
        const std::size_t lastBlock = size - 16;
        alignas(16) char last[32];
        _mm_store_si128(reinterpret_cast<__m128i*>(last),
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + lastBlock)));
        _mm_store_si128(reinterpret_cast<__m128i*>(last + 16), _mm_setzero_si128());
        unsigned nonASCII = 0;
        std::size_t i = 0;
        while (i < size) {
            const bool whole = i <= lastBlock;
            const char* from = whole ? s.data() + i : last + (i - lastBlock);
            const unsigned valid = whole ? 0xFFFFu : (1u << (size - i)) - 1;
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
            char* at = out_.reserve(32);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(at), block);
            const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(block, lastControl), lastControl);
            const __m128i special =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                             _mm_or_si128(_mm_cmpeq_epi8(block, slash), control));
            const auto escapes = static_cast<unsigned>(_mm_movemask_epi8(special)) & valid;
            nonASCII |= static_cast<unsigned>(_mm_movemask_epi8(block)) & valid;
            if (escapes == 0) {
                const std::size_t n = whole ? 16 : size - i;
                out_.advance(at + n);
                i += n;
                continue;
            }
            const auto k = static_cast<std::size_t>(std::countr_zero(escapes));
            out_.advance(writeEscape(at + k, static_cast<uint8_t>(from[k])));
            i += k + 1;
        }
        return nonASCII != 0;
    }
#endif

    void appendEscape(uint8_t c) {
        out_.advance(writeEscape(out_.reserve(6), c));
    }

    void newline(std::size_t depth) {
        out_.put('\n');
        out_.appendSpaces(depth * 2);
    }

    bool open(char bracket, bool empty, std::size_t depth) {
        if (depth > JSONSerialization::kMaxDepth)
            return fail("Too many nested arrays or dictionaries in JSON write");
        out_.put(bracket);
        if (pretty_ && empty) {
            out_.put('\n');
            newline(depth - 1);
        }
        return true;
    }

    bool writeArray(const Array& items, std::size_t depth) {
        if (!open('[', items.empty(), depth))
            return false;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i > 0)
                out_.put(',');
            if (pretty_)
                newline(depth);
            if (!write(items[i], depth))
                return false;
        }
        if (pretty_ && !items.empty())
            newline(depth - 1);
        out_.put(']');
        return true;
    }

    bool writeEntry(const Dictionary::Entry& entry, std::size_t depth) {
        if (!writeString(entry.first))
            return false;
        out_.append(pretty_ ? std::string_view(" : ") : std::string_view(":"));
        return write(entry.second, depth);
    }

    bool writeDictionary(const Dictionary& dict, std::size_t depth) {
        if (!open('{', dict.empty(), depth))
            return false;
        bool first = true;
        auto entry = [&](const Dictionary::Entry& e) {
            if (!first)
                out_.put(',');
            first = false;
            if (pretty_)
                newline(depth);
            return writeEntry(e, depth);
        };
        if (sorted_) {
            std::vector<const Dictionary::Entry*> entries;
            entries.reserve(dict.size());
            for (const auto& e : dict)
                entries.push_back(&e);
            std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
            for (auto* e : entries)
                if (!entry(*e))
                    return false;
        } else {
            for (const auto& e : dict)
                if (!entry(e))
                    return false;
        }
        if (pretty_ && !dict.empty())
            newline(depth - 1);
        out_.put('}');
        return true;
    }

    bool pretty_;
    bool sorted_;
    bool escapeSlash_;
    // Offset of the first string with bytes above ASCII not yet checked for
    // UTF-8, or kNone.
    std::size_t unchecked_ = kNone;
    Output out_;
    ErrorPtr error_;
};

bool isValidInside(const Value& v, std::size_t depth) {
    switch (v.kind()) {
        case Value::Kind::Null:
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::UInt:
            return true;
        case Value::Kind::Double:
            return std::isfinite(v.rawDouble());
        case Value::Kind::Decimal:
            return !v.asDecimal()->isNaN();
        case Value::Kind::String:
            return text::isValidUTF8(*v.asString());
        case Value::Kind::Array:
            if (depth + 1 > JSONSerialization::kMaxDepth)
                return false;
            for (const auto& item : *v.asArray())
                if (!isValidInside(item, depth + 1))
                    return false;
            return true;
        case Value::Kind::Dictionary:
            if (depth + 1 > JSONSerialization::kMaxDepth)
                return false;
            for (const auto& [key, item] : *v.asDictionary())
                if (!text::isValidUTF8(key) || !isValidInside(item, depth + 1))
                    return false;
            return true;
        default:
            return false;
    }
}

Result<std::string> writeText(const Value& v, unsigned options) {
    if (!(options & JSONWritingFragmentsAllowed) && !v.isArray() && !v.isDictionary())
        return writeError("Invalid top-level type in JSON write");
    Writer writer(options);
    if (!writer.write(v, 0) || !writer.finish())
        return writer.error();
    return writer.text();
}

}  // namespace

bool JSONSerialization::isValidJSONObject(const Value& v) {
    return (v.isArray() || v.isDictionary()) && isValidInside(v, 0);
}

Result<std::string> JSONSerialization::stringWithJSONObject(const Value& v, unsigned options) {
    return writeText(v, options);
}

Result<Data> JSONSerialization::dataWithJSONObject(const Value& v, unsigned options) {
    auto text = writeText(v, options);
    if (!text)
        return text.error();
    return Data(text->data(), text->size());
}

Result<std::size_t> JSONSerialization::writeJSONObject(const Value& v, std::ostream& out, unsigned options) {
    auto text = writeText(v, options);
    if (!text)
        return text.error();
    out.write(text->data(), static_cast<std::streamsize>(text->size()));
    out.flush();
    if (!out)
        return Error::withDescription(CocoaErrorDomain, 512,
                                      "The JSON text could not be written to the stream.");
    return text->size();
}

ErrorPtr JSONSerialization::writeJSONObjectToFile(const Value& v, const std::string& path, unsigned options) {
    auto text = writeText(v, options);
    if (!text)
        return text.error();
    return FileManager::defaultManager().writeData(Data(text->data(), text->size()), path, true);
}

Result<Value> JSONSerialization::JSONObjectWithString(std::string_view text, unsigned options) {
    if (text.empty())
        return readError("Unable to parse empty data.");
    std::size_t bom = 0;
    Encoding encoding = detectEncoding(text, bom);
    text.remove_prefix(bom);
    if (encoding == Encoding::UTF8) {
        if (text.empty())
            return readError("Unable to parse empty data.");
        return parseUTF8(text, options);
    }
    bool big = encoding == Encoding::UTF16BE || encoding == Encoding::UTF32BE;
    auto utf8 = encoding == Encoding::UTF16BE || encoding == Encoding::UTF16LE ? utf16ToUTF8(text, big)
                                                                               : utf32ToUTF8(text, big);
    if (!utf8)
        return readError("Unable to convert data to a string using the detected encoding.");
    if (utf8->empty())
        return readError("Unable to parse empty data.");
    return parseUTF8(*utf8, options);
}

Result<Value> JSONSerialization::JSONObjectWithData(const Data& data, unsigned options) {
    return JSONObjectWithString(data.view(), options);
}

Result<Value> JSONSerialization::JSONObjectWithStream(std::istream& in, unsigned options) {
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return Error::withDescription(CocoaErrorDomain, 256, "The JSON stream could not be read.");
    return JSONObjectWithString(text, options);
}

Result<Value> JSONSerialization::JSONObjectWithContentsOfFile(const std::string& path, unsigned options) {
    auto data = FileManager::defaultManager().dataWithContentsOfFile(path);
    if (!data)
        return data.error();
    return JSONObjectWithData(*data, options);
}

}  // namespace plat
