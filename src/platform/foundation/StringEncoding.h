// String encodings: the platform's encoding numbers, their IANA charset names
// and display names, and conversion between UTF-8 text and bytes in another
// encoding.
//
// Text in this system is UTF-8; these functions turn bytes in some encoding
// into that text and back. UTF-8, ASCII and ISO Latin 1 are converted here;
// the others go through the C library's iconv. Rules:
// - decoding UTF-8 fails on invalid sequences and drops a leading byte-order
//   mark; ASCII fails on bytes >= 0x80; ISO Latin 1 never fails; UTF-16 and
//   UTF-32 honour a byte-order mark and read big-endian without one;
// - encoding in UTF-16 or UTF-32 writes a byte-order mark and little-endian
//   units (the explicit BE and LE encodings write neither mark);
// - empty input gives empty output for every supported encoding;
// - InvalidStringEncoding and numbers without a converter always fail.
// Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"

namespace plat {

using StringEncoding = uint64_t;

// The platform's numbers.
inline constexpr StringEncoding ASCIIStringEncoding = 1;
inline constexpr StringEncoding JapaneseEUCStringEncoding = 3;
inline constexpr StringEncoding UTF8StringEncoding = 4;
inline constexpr StringEncoding ISOLatin1StringEncoding = 5;
inline constexpr StringEncoding ShiftJISStringEncoding = 8;
inline constexpr StringEncoding ISOLatin2StringEncoding = 9;
inline constexpr StringEncoding UnicodeStringEncoding = 10;  // UTF-16
inline constexpr StringEncoding WindowsCP1251StringEncoding = 11;
inline constexpr StringEncoding WindowsCP1252StringEncoding = 12;
inline constexpr StringEncoding WindowsCP1253StringEncoding = 13;
inline constexpr StringEncoding WindowsCP1254StringEncoding = 14;
inline constexpr StringEncoding WindowsCP1250StringEncoding = 15;
inline constexpr StringEncoding ISO2022JPStringEncoding = 21;
inline constexpr StringEncoding MacOSRomanStringEncoding = 30;
inline constexpr StringEncoding UTF16StringEncoding = UnicodeStringEncoding;
inline constexpr StringEncoding UTF16BigEndianStringEncoding = 0x90000100;
inline constexpr StringEncoding UTF16LittleEndianStringEncoding = 0x94000100;
inline constexpr StringEncoding UTF32StringEncoding = 0x8C000100;
inline constexpr StringEncoding UTF32BigEndianStringEncoding = 0x98000100;
inline constexpr StringEncoding UTF32LittleEndianStringEncoding = 0x9C000100;
inline constexpr StringEncoding InvalidStringEncoding = 0xFFFFFFFF;

// Bytes in `encoding` as UTF-8 text; nullopt when they are not valid in it.
std::optional<std::string> stringFromBytes(std::string_view bytes, StringEncoding encoding);
inline std::optional<std::string> stringFromData(const Data& data, StringEncoding encoding) {
    return stringFromBytes(data.view(), encoding);
}
// UTF-8 text as bytes in `encoding`. A character the encoding lacks fails the
// conversion, or with allowLossyConversion becomes "?". Text that is not
// valid UTF-8 is read with U+FFFD for each invalid part.
std::optional<Data> dataFromString(std::string_view text, StringEncoding encoding,
                                   bool allowLossyConversion = false);
// True when dataFromString would succeed without loss.
bool canBeConverted(std::string_view text, StringEncoding encoding);

// The encoding an IANA charset name stands for, ignoring case ("utf-8",
// "ISO-8859-1", "latin1", "windows-1252", ...); InvalidStringEncoding for a
// name not in the table.
StringEncoding stringEncodingForIANACharsetName(std::string_view name);
// The preferred IANA name ("utf-8"); nullopt for numbers without one.
std::optional<std::string> IANACharsetNameOfStringEncoding(StringEncoding encoding);
// The platform's display name ("Unicode (UTF-8)", "Western (ISO Latin 1)");
// empty for numbers it does not name.
std::string localizedNameOfStringEncoding(StringEncoding encoding);

}  // namespace plat
