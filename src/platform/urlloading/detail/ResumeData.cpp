#include "platform/urlloading/detail/ResumeData.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/foundation/JSONSerialization.h"

namespace plat::urlloading::detail {
namespace {

constexpr int64_t kVersion = 1;

std::optional<std::string> stringAt(const Dictionary& d, const char* key) {
    const Value* v = d.find(key);
    if (!v || !v->isString())
        return std::nullopt;
    return *v->asString();
}

// The partial file must sit directly in our download folder, be a regular
// file owned by us and not be a link; anything else is someone else's file.
bool isOurPartialFile(const std::string& path, const std::string& directory) {
    if (path.size() <= directory.size() + 1 || path.compare(0, directory.size(), directory) != 0 ||
        path[directory.size()] != '/') {
        return false;
    }
    std::string name = path.substr(directory.size() + 1);
    if (name.find('/') != std::string::npos || name.rfind("download-", 0) != 0)
        return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return true;  // gone: the download starts over
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1;
}

}  // namespace

Data encodeResumeData(const ResumeInfo& info) {
    Dictionary headers;
    for (const auto& [name, value] : info.request.allHTTPHeaderFields.fields())
        headers.set(name, Value(value));
    Dictionary d{{"version", Value(kVersion)},
                 {"url", Value(info.request.url ? info.request.url->absoluteString() : std::string())},
                 {"method", Value(info.request.method())},
                 {"headers", Value(std::move(headers))},
                 {"timeout", Value(info.request.timeoutInterval)},
                 {"path", Value(info.partialFilePath)},
                 {"received", Value(info.bytesReceived)},
                 {"total", Value(info.expectedTotal)}};
    if (info.entityTag)
        d.set("etag", Value(*info.entityTag));
    if (info.lastModified)
        d.set("lastModified", Value(*info.lastModified));
    auto data = JSONSerialization::dataWithJSONObject(Value(std::move(d)));
    return data ? *data : Data();
}

std::optional<ResumeInfo> decodeResumeData(const Data& data, const std::string& downloadDirectory) {
    auto parsed = JSONSerialization::JSONObjectWithData(data);
    if (!parsed || !parsed->isDictionary())
        return std::nullopt;
    const Dictionary& d = *parsed->asDictionary();
    const Value* version = d.find("version");
    if (!version || version->integerValue() != kVersion)
        return std::nullopt;
    auto url = stringAt(d, "url");
    auto path = stringAt(d, "path");
    if (!url || !path)
        return std::nullopt;
    auto parsedURL = URL::URLWithString(*url);
    if (!parsedURL || !isOurPartialFile(*path, downloadDirectory))
        return std::nullopt;
    ResumeInfo info;
    info.request.url = *parsedURL;
    info.request.httpMethod = stringAt(d, "method").value_or("GET");
    if (const Value* h = d.find("headers"); h && h->isDictionary()) {
        for (const auto& entry : *h->asDictionary()) {
            if (entry.second.isString())
                info.request.setValue(*entry.second.asString(), entry.first);
        }
    }
    if (const Value* t = d.find("timeout"))
        info.request.timeoutInterval = t->doubleValue();
    info.partialFilePath = *path;
    if (const Value* r = d.find("received"))
        info.bytesReceived = r->longLongValue();
    if (const Value* t = d.find("total"))
        info.expectedTotal = t->longLongValue();
    info.entityTag = stringAt(d, "etag");
    info.lastModified = stringAt(d, "lastModified");
    if (info.bytesReceived < 0 || (!info.entityTag && !info.lastModified))
        return std::nullopt;
    return info;
}

}  // namespace plat::urlloading::detail
