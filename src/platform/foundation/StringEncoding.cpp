#include "platform/foundation/StringEncoding.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <vector>

#include "platform/foundation/Text.h"

namespace plat {
namespace {

struct EncodingInfo {
    StringEncoding encoding;
    const char* iconvName;  // null where the conversion is our own
    const char* displayName;
    std::vector<const char*> ianaNames;  // the preferred name first
};

const std::vector<EncodingInfo>& encodings() {
    static const std::vector<EncodingInfo> table = {
        {ASCIIStringEncoding,
         nullptr,
         "Western (ASCII)",
         {"us-ascii", "ascii", "ansi_x3.4-1968", "iso646-us", "us"}},
        {JapaneseEUCStringEncoding, "EUC-JP", "Japanese (EUC)", {"euc-jp", "x-euc-jp"}},
        {UTF8StringEncoding, nullptr, "Unicode (UTF-8)", {"utf-8", "utf8", "unicode-1-1-utf-8"}},
        {ISOLatin1StringEncoding,
         nullptr,
         "Western (ISO Latin 1)",
         {"iso-8859-1", "iso_8859-1", "iso8859-1", "latin1", "l1", "cp819", "ibm819"}},
        {ShiftJISStringEncoding,
         "CP932",
         "Japanese (Windows, DOS)",
         {"shift_jis", "sjis", "ms_kanji", "csshiftjis", "windows-31j", "cp932"}},
        {ISOLatin2StringEncoding,
         "ISO-8859-2",
         "Central European (ISO Latin 2)",
         {"iso-8859-2", "latin2", "l2"}},
        {UnicodeStringEncoding, nullptr, "Unicode (UTF-16)", {"utf-16"}},
        {WindowsCP1251StringEncoding, "CP1251", "Cyrillic (Windows)", {"windows-1251", "cp1251"}},
        {WindowsCP1252StringEncoding, "CP1252", "Western (Windows Latin 1)", {"windows-1252", "cp1252"}},
        {WindowsCP1253StringEncoding, "CP1253", "Greek (Windows)", {"windows-1253", "cp1253"}},
        {WindowsCP1254StringEncoding, "CP1254", "Turkish (Windows Latin 5)", {"windows-1254", "cp1254"}},
        {WindowsCP1250StringEncoding,
         "CP1250",
         "Central European (Windows Latin 2)",
         {"windows-1250", "cp1250"}},
        {ISO2022JPStringEncoding, "ISO-2022-JP", "Japanese (ISO 2022-JP)", {"iso-2022-jp", "csiso2022jp"}},
        {MacOSRomanStringEncoding,
         "MACINTOSH",
         "Western (Mac OS Roman)",
         {"macintosh", "mac", "x-mac-roman"}},
        {UTF16BigEndianStringEncoding, nullptr, "Unicode (UTF-16BE)", {"utf-16be"}},
        {UTF16LittleEndianStringEncoding, nullptr, "Unicode (UTF-16LE)", {"utf-16le"}},
        {UTF32StringEncoding, nullptr, "Unicode (UTF-32)", {"utf-32"}},
        {UTF32BigEndianStringEncoding, nullptr, "Unicode (UTF-32BE)", {"utf-32be"}},
        {UTF32LittleEndianStringEncoding, nullptr, "Unicode (UTF-32LE)", {"utf-32le"}},
        {0x80000930, "GB2312", "Chinese (GB 2312)", {"gb2312", "euc-cn", "x-euc-cn"}},
        {0x80000421, "GBK", "Chinese (GBK)", {"gbk", "cp936", "windows-936"}},
        {0x80000632, "GB18030", "Chinese (GB 18030)", {"gb18030"}},
        {0x80000A03, "BIG5", "Traditional Chinese (Big 5)", {"big5", "csbig5", "x-x-big5"}},
        {0x80000940, "EUC-KR", "Korean (EUC)", {"euc-kr", "cseuckr"}},
        {0x80000A02, "KOI8-R", "Cyrillic (KOI8-R)", {"koi8-r", "cskoi8r"}},
        {0x8000020F, "ISO-8859-15", "Western (ISO Latin 9)", {"iso-8859-15", "latin-9", "latin9"}},
        {0x80000205, "ISO-8859-5", "Cyrillic (ISO 8859-5)", {"iso-8859-5", "cyrillic"}},
    };
    return table;
}

const EncodingInfo* infoFor(StringEncoding encoding) {
    for (const auto& info : encodings()) {
        if (info.encoding == encoding)
            return &info;
    }
    return nullptr;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
               return lower(x) == lower(y);
           });
}

bool hasPrefixBytes(std::string_view bytes, std::string_view prefix) {
    return bytes.substr(0, prefix.size()) == prefix;
}

// Length of the UTF-8 sequence starting with `lead` (the text is valid).
std::size_t sequenceLength(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

char32_t codePointAt(std::string_view s, std::size_t i, std::size_t length) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    switch (length) {
        case 1:
            return b(0);
        case 2:
            return (char32_t(b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3:
            return (char32_t(b(0) & 0x0F) << 12) | (char32_t(b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        default:
            return (char32_t(b(0) & 0x07) << 18) | (char32_t(b(1) & 0x3F) << 12) |
                   (char32_t(b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    }
}

// Converts with iconv. A sequence the target lacks fails the conversion, or
// is replaced by `replacement` (already in the target encoding) when given;
// the input is then UTF-8 and the whole character is skipped.
std::optional<std::string> iconvConvert(const char* to, const char* from, std::string_view input,
                                        const std::string* replacement) {
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out(input.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    std::size_t used = 0;
    bool ok = true;
    for (bool flushing = false;;) {
        char* outPtr = out.data() + used;
        std::size_t outLeft = out.size() - used;
        const std::size_t r = flushing ? ::iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                       : ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        used = static_cast<std::size_t>(outPtr - out.data());
        if (r != static_cast<std::size_t>(-1)) {
            if (flushing)
                break;
            flushing = true;
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (errno == EILSEQ && replacement && !flushing && inLeft > 0) {
            const std::size_t skip = std::min(inLeft, sequenceLength(static_cast<unsigned char>(*in)));
            in += skip;
            inLeft -= skip;
            out.resize(std::max(out.size(), used + replacement->size() + 16));
            out.replace(used, replacement->size(), *replacement);
            used += replacement->size();
            continue;
        }
        ok = false;  // EILSEQ, or EINVAL: the input ends inside a sequence
        break;
    }
    ::iconv_close(cd);
    if (!ok)
        return std::nullopt;
    out.resize(used);
    return out;
}

// The endianness rules of UTF-16 and UTF-32 without an explicit byte order:
// a byte-order mark decides and is dropped; big-endian without one.
std::optional<std::string> decodeWithByteOrderMark(std::string_view bytes, bool utf32) {
    const std::string_view bigMark = utf32 ? std::string_view("\0\0\xFE\xFF", 4) : "\xFE\xFF";
    const std::string_view littleMark = utf32 ? std::string_view("\xFF\xFE\0\0", 4) : "\xFF\xFE";
    const char* big = utf32 ? "UTF-32BE" : "UTF-16BE";
    const char* little = utf32 ? "UTF-32LE" : "UTF-16LE";
    if (hasPrefixBytes(bytes, bigMark))
        return iconvConvert("UTF-8", big, bytes.substr(bigMark.size()), nullptr);
    if (hasPrefixBytes(bytes, littleMark))
        return iconvConvert("UTF-8", little, bytes.substr(littleMark.size()), nullptr);
    return iconvConvert("UTF-8", big, bytes, nullptr);
}

// ASCII or ISO Latin 1 bytes of valid UTF-8 text: one byte per code point up
// to `limit`, "?" (or failure) above it.
std::optional<std::string> encodeSingleByte(std::string_view text, char32_t limit, bool lossy) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequenceLength(static_cast<unsigned char>(text[i]));
        const char32_t cp = codePointAt(text, i, length);
        i += length;
        if (cp <= limit)
            out += static_cast<char>(cp);
        else if (lossy)
            out += '?';
        else
            return std::nullopt;
    }
    return out;
}

std::optional<std::string> encodeText(std::string_view text, StringEncoding encoding, bool lossy) {
    const EncodingInfo* info = infoFor(encoding);
    if (!info)
        return std::nullopt;
    switch (encoding) {
        case UTF8StringEncoding:
            return std::string(text);
        case ASCIIStringEncoding:
            return encodeSingleByte(text, 0x7F, lossy);
        case ISOLatin1StringEncoding:
            return encodeSingleByte(text, 0xFF, lossy);
        case UnicodeStringEncoding: {
            auto body = iconvConvert("UTF-16LE", "UTF-8", text, nullptr);
            return body ? std::optional<std::string>("\xFF\xFE" + *body) : std::nullopt;
        }
        case UTF32StringEncoding: {
            auto body = iconvConvert("UTF-32LE", "UTF-8", text, nullptr);
            return body ? std::optional<std::string>(std::string("\xFF\xFE\0\0", 4) + *body) : std::nullopt;
        }
        case UTF16BigEndianStringEncoding:
            return iconvConvert("UTF-16BE", "UTF-8", text, nullptr);
        case UTF16LittleEndianStringEncoding:
            return iconvConvert("UTF-16LE", "UTF-8", text, nullptr);
        case UTF32BigEndianStringEncoding:
            return iconvConvert("UTF-32BE", "UTF-8", text, nullptr);
        case UTF32LittleEndianStringEncoding:
            return iconvConvert("UTF-32LE", "UTF-8", text, nullptr);
        default: {
            if (!lossy)
                return iconvConvert(info->iconvName, "UTF-8", text, nullptr);
            const auto question = iconvConvert(info->iconvName, "UTF-8", "?", nullptr);
            if (!question)
                return std::nullopt;
            return iconvConvert(info->iconvName, "UTF-8", text, &*question);
        }
    }
}

}  // namespace

std::optional<std::string> stringFromBytes(std::string_view bytes, StringEncoding encoding) {
    const EncodingInfo* info = infoFor(encoding);
    if (!info)
        return std::nullopt;
    if (bytes.empty())
        return std::string();
    switch (encoding) {
        case UTF8StringEncoding:
            if (hasPrefixBytes(bytes, "\xEF\xBB\xBF"))
                bytes.remove_prefix(3);
            if (!text::isValidUTF8(bytes))
                return std::nullopt;
            return std::string(bytes);
        case ASCIIStringEncoding:
            if (!text::isASCII(bytes))
                return std::nullopt;
            return std::string(bytes);
        case ISOLatin1StringEncoding: {
            std::string out;
            out.reserve(bytes.size() * 2);
            for (unsigned char c : bytes) {
                if (c < 0x80) {
                    out += static_cast<char>(c);
                } else {
                    out += static_cast<char>(0xC0 | (c >> 6));
                    out += static_cast<char>(0x80 | (c & 0x3F));
                }
            }
            return out;
        }
        case UnicodeStringEncoding:
            return decodeWithByteOrderMark(bytes, false);
        case UTF32StringEncoding:
            return decodeWithByteOrderMark(bytes, true);
        case UTF16BigEndianStringEncoding:
            return iconvConvert("UTF-8", "UTF-16BE", bytes, nullptr);
        case UTF16LittleEndianStringEncoding:
            return iconvConvert("UTF-8", "UTF-16LE", bytes, nullptr);
        case UTF32BigEndianStringEncoding:
            return iconvConvert("UTF-8", "UTF-32BE", bytes, nullptr);
        case UTF32LittleEndianStringEncoding:
            return iconvConvert("UTF-8", "UTF-32LE", bytes, nullptr);
        default:
            return iconvConvert("UTF-8", info->iconvName, bytes, nullptr);
    }
}

std::optional<Data> dataFromString(std::string_view text, StringEncoding encoding,
                                   bool allowLossyConversion) {
    std::string repaired;
    if (!text::isValidUTF8(text)) {
        repaired = text::lossyUTF8(text);
        text = repaired;
    }
    auto bytes = encodeText(text, encoding, allowLossyConversion);
    if (!bytes)
        return std::nullopt;
    return Data(bytes->data(), bytes->size());
}

bool canBeConverted(std::string_view text, StringEncoding encoding) {
    return text::isValidUTF8(text) && encodeText(text, encoding, false).has_value();
}

StringEncoding stringEncodingForIANACharsetName(std::string_view name) {
    for (const auto& info : encodings()) {
        for (const char* iana : info.ianaNames) {
            if (equalsIgnoringASCIICase(name, iana))
                return info.encoding;
        }
    }
    return InvalidStringEncoding;
}

std::optional<std::string> IANACharsetNameOfStringEncoding(StringEncoding encoding) {
    const EncodingInfo* info = infoFor(encoding);
    if (!info)
        return std::nullopt;
    return std::string(info->ianaNames.front());
}

std::string localizedNameOfStringEncoding(StringEncoding encoding) {
    const EncodingInfo* info = infoFor(encoding);
    return info ? info->displayName : "";
}

}  // namespace plat
