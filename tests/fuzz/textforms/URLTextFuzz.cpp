// URL text: the first line is read as a URL, the rest as a reference against
// it (absolute or relative). Every accessor and derived URL must work on
// whatever reads, a URL's own text must read again as the same URL, and
// percent encoding must undo.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/URL.h"

namespace {

void exercise(const plat::URL& url) {
    (void)url.scheme();
    (void)url.user();
    (void)url.password();
    (void)url.host();
    (void)url.port();
    (void)url.path();
    (void)url.query();
    (void)url.fragment();
    (void)url.isFileURL();
    (void)url.hasDirectoryPath();
    (void)url.lastPathComponent();
    (void)url.pathExtension();
    (void)url.URLByAppendingPathComponent("x/y");
    (void)url.URLByDeletingLastPathComponent();
    (void)url.URLByAppendingPathExtension("txt");
    (void)url.URLByDeletingPathExtension();
    (void)url.standardizedURL();
    if (url.isFileURL())
        (void)url.URLByStandardizingPath();
    auto again = plat::URL::URLWithString(url.absoluteString());
    if (!again || *again != url)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = text.find('\n');
    const std::string_view first = text.substr(0, newline);
    auto url = plat::URL::URLWithString(first);
    if (url) {
        exercise(*url);
        if (newline != std::string_view::npos) {
            if (auto resolved = plat::URL::URLWithString(text.substr(newline + 1), *url))
                exercise(*resolved);
        }
    }
    const std::string encoded = plat::percentEncode(text, plat::CharacterSet::URLPathAllowed());
    if (plat::percentDecode(encoded) != std::string(text))
        std::abort();
    (void)plat::stringByRemovingPercentEncoding(text);
    (void)plat::URL::fileURLWithPath(first);
    return 0;
}
