#include "platform/foundation/MIMEType.h"

#include <fstream>
#include <sstream>

#include "platform/foundation/Text.h"

namespace plat {
namespace {

// Used where /etc/mime.types is missing or silent.
constexpr std::pair<const char*, const char*> kBuiltIn[] = {
    {"txt", "text/plain"},
    {"text", "text/plain"},
    {"html", "text/html"},
    {"htm", "text/html"},
    {"css", "text/css"},
    {"csv", "text/csv"},
    {"js", "text/javascript"},
    {"mjs", "text/javascript"},
    {"md", "text/markdown"},
    {"json", "application/json"},
    {"xml", "application/xml"},
    {"pdf", "application/pdf"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    {"tar", "application/x-tar"},
    {"plist", "application/x-plist"},
    {"bin", "application/octet-stream"},
    {"wasm", "application/wasm"},
    {"rtf", "application/rtf"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"svg", "image/svg+xml"},
    {"webp", "image/webp"},
    {"heic", "image/heic"},
    {"ico", "image/x-icon"},
    {"mp3", "audio/mpeg"},
    {"m4a", "audio/mp4"},
    {"wav", "audio/wav"},
    {"aac", "audio/aac"},
    {"ogg", "audio/ogg"},
    {"mp4", "video/mp4"},
    {"m4v", "video/x-m4v"},
    {"mov", "video/quicktime"},
    {"avi", "video/x-msvideo"},
    {"webm", "video/webm"},
};

std::string lowercaseASCII(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    }
    return out;
}

}  // namespace

MIMETypeTable::MIMETypeTable() {
    for (const auto& [extension, type] : kBuiltIn)
        types_.emplace(extension, type);
}

MIMETypeTable MIMETypeTable::fromFile(const std::string& path) {
    MIMETypeTable table;
    std::ifstream file(path);
    if (!file)
        return table;
    // The file's first mention of an extension wins; it replaces the built-in one.
    std::unordered_map<std::string, std::string> listed;
    std::string line;
    while (std::getline(file, line)) {
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.resize(hash);
        std::istringstream words(line);
        std::string type, extension;
        if (!(words >> type) || type.find('/') == std::string::npos)
            continue;
        while (words >> extension)
            listed.emplace(lowercaseASCII(extension), type);
    }
    for (auto& [extension, type] : listed)
        table.types_[extension] = std::move(type);
    return table;
}

const MIMETypeTable& MIMETypeTable::system() {
    static const MIMETypeTable table = fromFile("/etc/mime.types");
    return table;
}

std::optional<std::string> MIMETypeTable::typeForExtension(std::string_view extension) const {
    if (extension.empty())
        return std::nullopt;
    const auto it = types_.find(lowercaseASCII(extension));
    if (it == types_.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::string> mimeTypeForPathExtension(std::string_view extension) {
    return MIMETypeTable::system().typeForExtension(extension);
}

}  // namespace plat
