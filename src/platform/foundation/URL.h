// URL: a parsed, validated URL or relative reference (RFC 3986), as a value
// type; CharacterSet and the percent-encoding helpers that go with it.
//
// Parsing is strict: text with blanks, control or non-ASCII characters, any of
// `"<>\^{|}` and the back quote, "[" or "]" outside an IPv6 host, a second
// "#", "%" not followed by two hexadecimal digits, or a port that is not a
// number up to 65535 gives nullopt. absoluteString() keeps the parsed text
// exactly as given (it is never normalised); a URL resolved against a base
// holds the resolved text. Equality and hashing go by absoluteString().
//
// Accessors follow the platform: user, password, host and path come back
// percent-decoded; query and fragment as written. Every member is const and
// may be called from any thread; the URLBy... operations return new URLs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Object.h"

namespace plat {

// A set of ASCII characters, used to say which characters percent-encoding
// leaves alone. Bytes from 0x80 up are never members.
class CharacterSet {
  public:
    constexpr CharacterSet() = default;
    constexpr explicit CharacterSet(std::string_view characters) { add(characters); }

    constexpr bool contains(unsigned char c) const { return c < 128 && (bits_[c >> 6] >> (c & 63)) & 1; }
    constexpr CharacterSet adding(std::string_view characters) const {
        CharacterSet copy = *this;
        copy.add(characters);
        return copy;
    }
    constexpr CharacterSet removing(std::string_view characters) const {
        CharacterSet copy = *this;
        for (unsigned char c : characters) {
            if (c < 128)
                copy.bits_[c >> 6] &= ~(uint64_t(1) << (c & 63));
        }
        return copy;
    }
    constexpr bool operator==(const CharacterSet&) const = default;

    // The platform's sets of characters allowed unencoded in each URL part.
    static constexpr CharacterSet URLUserAllowed() { return CharacterSet(kAlnum).adding("-._~!$&'()*+,;="); }
    static constexpr CharacterSet URLPasswordAllowed() { return URLUserAllowed(); }
    static constexpr CharacterSet URLHostAllowed() { return URLUserAllowed().adding(":[]"); }
    static constexpr CharacterSet URLPathAllowed() {
        return CharacterSet(kAlnum).adding("-._~!$&'()*+,=:@/");
    }
    static constexpr CharacterSet URLQueryAllowed() { return URLPathAllowed().adding(";?"); }
    static constexpr CharacterSet URLFragmentAllowed() { return URLQueryAllowed(); }

  private:
    static constexpr std::string_view kAlnum =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

    constexpr void add(std::string_view characters) {
        for (unsigned char c : characters) {
            if (c < 128)
                bits_[c >> 6] |= uint64_t(1) << (c & 63);
        }
    }

    uint64_t bits_[2] = {0, 0};
};

// Percent-encodes every byte of text outside `allowed` as "%XX" (upper-case
// hexadecimal). Works byte by byte, so it never fails, whatever the bytes.
std::string percentEncode(std::string_view text, const CharacterSet& allowed);
// The platform's form: as percentEncode, but nullopt when text is not valid
// UTF-8 (the platform cannot represent such a string).
std::optional<std::string> stringByAddingPercentEncodingWithAllowedCharacters(std::string_view text,
                                                                              const CharacterSet& allowed);
// Replaces every "%XX" by its byte. nullopt when a "%" is not followed by two
// hexadecimal digits. The result may be any bytes.
std::optional<std::string> percentDecode(std::string_view text);
// The platform's form: as percentDecode, and nullopt also when the decoded
// bytes are not valid UTF-8.
std::optional<std::string> stringByRemovingPercentEncoding(std::string_view text);

class URL {
  public:
    // nullopt for malformed or empty text (see the file comment).
    static std::optional<URL> URLWithString(std::string_view text);
    // Resolves text as a reference against base (RFC 3986 section 5.2); an
    // empty text gives base without its fragment. nullopt for malformed text.
    static std::optional<URL> URLWithString(std::string_view text, const URL& base);
    // An absolute "file://" URL for a file-system path; a relative path is
    // taken from the current directory. Characters a URL path cannot hold
    // (blanks, "%", "?", "#", non-ASCII bytes, ...) are percent-encoded. With
    // isDirectory the URL ends in "/". An empty path means the current directory.
    static URL fileURLWithPath(std::string_view path, bool isDirectory = false);

    URL(const URL&) = default;
    URL& operator=(const URL&) = default;
    // The moved-from URL is left empty (absoluteString() "", no components).
    URL(URL&& other) noexcept : storage_(std::exchange(other.storage_, emptyStorage())) {}
    URL& operator=(URL&& other) noexcept {
        storage_ = std::exchange(other.storage_, emptyStorage());
        return *this;
    }

    const std::string& absoluteString() const { return storage_->text; }
    std::optional<std::string> scheme() const { return raw(layout().scheme); }
    std::optional<std::string> user() const;
    std::optional<std::string> password() const;
    // Without the brackets of an IPv6 literal; nullopt when there is no host or
    // it is empty ("file:///tmp").
    std::optional<std::string> host() const;
    // host() has a value, found without making it.
    bool hasHost() const;
    std::optional<uint16_t> port() const;
    // Percent-decoded (byte for byte, so file-system paths keep any bytes),
    // without a trailing slash except for "/"; "" when the URL has no path.
    std::string path() const;
    std::optional<std::string> query() const { return raw(layout().query); }
    std::optional<std::string> fragment() const { return raw(layout().fragment); }

    bool isFileURL() const;
    // The path ends in "/".
    bool hasDirectoryPath() const;
    // Of path(): "/" for the root, "" without a path.
    std::string lastPathComponent() const;
    // Text after the last dot of lastPathComponent(); "" when there is none.
    std::string pathExtension() const;

    // The path with one more component, which is percent-encoded (a "/" in it
    // separates further components). Query and fragment are kept. With
    // isDirectory the new path ends in "/".
    URL URLByAppendingPathComponent(std::string_view component, bool isDirectory = false) const;
    // The parent: "/a/b" and "/a/b/" give "/a/"; the root and an empty path are
    // kept; a one-component relative path gives "./" and ".." gives "../../".
    URL URLByDeletingLastPathComponent() const;
    // "/a/b" + "txt" gives "/a/b.txt"; a trailing slash is kept after the
    // extension. nullopt when the path is empty or "/", or extension holds "/".
    std::optional<URL> URLByAppendingPathExtension(std::string_view extension) const;
    // Removes ".ext" from the last component, when it has one.
    URL URLByDeletingPathExtension() const;
    // For file URLs: the path made absolute, its symbolic links resolved as
    // far as it exists ("." and ".." applied to the real folders, repeated
    // slashes collapsed, the directory slash kept; see
    // text::stringByResolvingSymlinksInPath) and percent-encoded afresh, so
    // that one file reached through a linked folder compares equal. Other URLs
    // are returned unchanged.
    URL URLByStandardizingPath() const;
    // Removes "." and ".." segments from an absolute path (RFC 3986 section
    // 5.2.4); relative references are returned unchanged.
    URL standardizedURL() const;

    bool operator==(const URL& other) const {
        return storage_ == other.storage_ || storage_->text == other.storage_->text;
    }
    std::size_t hash() const { return std::hash<std::string>()(storage_->text); }

  private:
    // Where each component lies in the text (delimiters excluded).
    struct Span {
        std::size_t begin = 0;
        std::size_t length = 0;
        bool present = false;
    };
    struct Layout {
        Span scheme, authority, user, password, host, port, path, query, fragment;
    };

    // The text and where its components lie. A URL never changes, so its
    // copies share one: copying a URL (requests, responses and tasks each
    // keep one) costs a reference count instead of a string and the layout.
    struct Storage {
        std::string text;
        Layout layout;
    };

    URL(std::string text, const Layout& layout)
        : storage_(std::make_shared<const Storage>(Storage{std::move(text), layout})) {}
    // A storage nobody owns (no reference count): what a moved-from URL holds.
    static std::shared_ptr<const Storage> emptyStorage() noexcept {
        static const Storage& empty = *new Storage();
        return std::shared_ptr<const Storage>(std::shared_ptr<const Storage>(), &empty);
    }
    const std::string& text() const { return storage_->text; }
    const Layout& layout() const { return storage_->layout; }
    static std::optional<URL> parse(std::string text);
    std::optional<std::string> raw(const Span& span) const;
    std::string_view rawPath() const {
        return std::string_view(text()).substr(layout().path.begin, layout().path.length);
    }
    // This URL with its path text replaced by rawPath (already encoded).
    URL withRawPath(std::string_view rawPath) const;

    std::shared_ptr<const Storage> storage_;
};

// A URL as an Object, so that it can travel inside a Value. It prints its
// absoluteString with "%@" and compares by it.
class URLObject : public Coding {
  public:
    static constexpr const char* kArchivedClassName = "NSURL";
    static constexpr const char* kRelativeKey = "NS.relative";

    explicit URLObject(URL url) : url_(std::move(url)) {}
    static std::shared_ptr<const URLObject> make(URL url) {
        return std::make_shared<const URLObject>(std::move(url));
    }

    const URL& url() const { return url_; }
    std::string description() const override { return url_.absoluteString(); }
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override { return url_.hash(); }
    std::string className() const override { return kArchivedClassName; }
    // Archived as its absolute string under "NS.relative".
    void encodeWithCoder(KeyedArchiver& coder) const override;

    // Registers the unarchiver's factory for "NSURL"; any thread, idempotent.
    // Every program that includes this header does so before main.
    static void registerForArchiving();

  private:
    URL url_;
};

namespace detail {
[[maybe_unused]] inline const bool urlObjectRegistered = (URLObject::registerForArchiving(), true);
}  // namespace detail

}  // namespace plat

template <>
struct std::hash<plat::URL> {
    std::size_t operator()(const plat::URL& url) const { return url.hash(); }
};
