// The framework's helpers on data: the base64 form of event files and the
// MD5 checksum that names files and caches.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"

// Standard base64 with "=" padding, a CR LF after every 64 output characters
// and none after the last line.
std::string syn_base64EncodedString(const plat::Data& data);

// Decodes base64, skipping every character outside the alphabet (so line
// breaks and blanks are fine and missing padding is accepted); nullopt only
// when a group is left with a single character.
std::optional<plat::Data> syn_dataWithBase64EncodedString(std::string_view text);

// The MD5 digest as 32 upper-case hexadecimal digits.
std::string syn_md5Checksum(const plat::Data& data);
