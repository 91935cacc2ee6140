// Checks on names that come from other machines or from callers (data-file
// names, mesh identifiers, event file names) before they touch a path.
//
// Such a name must stay one entry inside the directory it is joined to: it is
// refused when empty, "." or "..", longer than 255 bytes, or when it holds a
// "/" or a NUL byte. Every operation that turns an outside name into a path
// goes through these functions. Pure functions: any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t SYNMaximumPathComponentLength = 255;

bool SYNIsValidPathComponent(std::string_view name);

// directory + "/" + name, or nullopt when the name is not a valid component.
std::optional<std::string> SYNPathByAppendingPathComponent(std::string_view directory, std::string_view name);
