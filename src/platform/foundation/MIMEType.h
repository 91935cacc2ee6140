// MIME types of file extensions, as the platform's type service answers them
// for multipart bodies.
//
// The table is read from /etc/mime.types (Debian package media-types), once
// per process; extensions the file does not list, or all of them when the
// file is absent, come from a built-in table of common types. Lookups ignore
// the extension's case. A table is immutable once built: any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace plat {

class MIMETypeTable {
  public:
    // /etc/mime.types over the built-in table, read on first use.
    static const MIMETypeTable& system();
    // The file at `path` (mime.types format: a type, then its extensions;
    // "#" starts a comment) over the built-in table. An unreadable file
    // leaves the built-in table alone.
    static MIMETypeTable fromFile(const std::string& path);

    // "png" → "image/png"; nullopt for an extension neither table lists.
    std::optional<std::string> typeForExtension(std::string_view extension) const;

  private:
    MIMETypeTable();
    std::unordered_map<std::string, std::string> types_;  // lower-case extension → type
};

// MIMETypeTable::system().typeForExtension(extension).
std::optional<std::string> mimeTypeForPathExtension(std::string_view extension);

}  // namespace plat
