#include "sync/eventstore/SYNStoreURIs.h"

#include <charconv>
#include <utility>

namespace {

// Where the prefix of uri ends: after its last '/', or at 0.
std::size_t prefixLength(std::string_view uri) {
    const std::size_t slash = uri.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

// Writes "<number>;" over the first `length` characters of uri.
void replacePrefix(std::string& uri, std::size_t length, std::size_t number) {
    char head[24];
    char* end = std::to_chars(head, head + sizeof(head) - 1, number).ptr;
    *end++ = ';';
    uri.replace(0, length, head, static_cast<std::size_t>(end - head));
}

}  // namespace

std::string SYNStoreURIs::encode(std::string uri) {
    if (!isCompact()) {
        return uri;
    }
    const std::size_t length = prefixLength(uri);
    replacePrefix(uri, length, number(std::string_view(uri.data(), length)));
    return uri;
}

std::optional<std::string> SYNStoreURIs::encodeIfKnown(std::string uri) const {
    if (!isCompact()) {
        return uri;
    }
    const std::size_t length = prefixLength(uri);
    auto number = numberOf(std::string_view(uri.data(), length));
    if (!number) {
        return std::nullopt;
    }
    replacePrefix(uri, length, *number);
    return uri;
}

std::optional<std::string> SYNStoreURIs::decode(std::string_view stored) const {
    if (!isCompact()) {
        return std::string(stored);
    }
    auto parsed = leadingNumber(stored);
    if (!parsed || parsed->second.empty() || parsed->second.front() != ';') {
        return std::nullopt;
    }
    return textWithSuffix(parsed->first, parsed->second.substr(1));
}

std::optional<std::string> SYNStoreURIs::decode(const plat::Value& stored) const {
    const std::string* text = stored.asString();
    if (!text) {
        return std::nullopt;
    }
    return decode(std::string_view(*text));
}
