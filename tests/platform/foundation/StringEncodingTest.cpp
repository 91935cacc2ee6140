#include "platform/foundation/StringEncoding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace plat;
using namespace std::string_literals;

TEST(StringEncodingTest, DecodesTable) {
    struct Case {
        StringEncoding encoding;
        std::string bytes;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {UTF8StringEncoding, "caf\xC3\xA9", "café"},
        {UTF8StringEncoding, "\xEF\xBB\xBFx", "x"},  // the byte-order mark is dropped
        {UTF8StringEncoding, "\xC3", std::nullopt},
        {UTF8StringEncoding, "\xED\xA0\x80", std::nullopt},  // an encoded surrogate
        {ASCIIStringEncoding, "abc", "abc"},
        {ASCIIStringEncoding, "ab\x80", std::nullopt},
        {ISOLatin1StringEncoding, "caf\xE9\xFF", "café\u00FF"},
        {UnicodeStringEncoding, "\0h\0i"s, "hi"},      // big-endian without a mark
        {UnicodeStringEncoding, "\xFE\xFF\0h"s, "h"},  // marks decide
        {UnicodeStringEncoding, "\xFF\xFEh\0"s, "h"},
        {UnicodeStringEncoding, "\xD8\x3D\xDE\x00"s, "😀"},
        {UnicodeStringEncoding, "\xD8\x3D"s, std::nullopt},  // an unpaired surrogate
        {UnicodeStringEncoding, "\0h\0"s, std::nullopt},     // an odd byte count
        {UTF16LittleEndianStringEncoding, "h\0i\0"s, "hi"},
        {UTF16BigEndianStringEncoding, "\0h"s, "h"},
        {UTF32StringEncoding, "\0\0\0h"s, "h"},
        {UTF32StringEncoding, "\xFF\xFE\0\0h\0\0\0"s, "h"},
        {UTF32LittleEndianStringEncoding, "\0\xF6\x01\0"s, "😀"},
        {WindowsCP1252StringEncoding, "\x80 \x93q\x94", "€ “q”"},
        {MacOSRomanStringEncoding, "\x8E", "é"},
        {ShiftJISStringEncoding, "\x82\xA0", "あ"},
        {0x80000A02, "\xC1", "а"},  // KOI8-R
        {InvalidStringEncoding, "abc", std::nullopt},
        {InvalidStringEncoding, "", std::nullopt},
        {12345, "abc", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(stringFromBytes(c.bytes, c.encoding), c.text) << c.encoding << " " << c.bytes;
    for (StringEncoding e : {UTF8StringEncoding, ASCIIStringEncoding, UnicodeStringEncoding,
                             UTF32StringEncoding, WindowsCP1252StringEncoding, ISO2022JPStringEncoding})
        EXPECT_EQ(stringFromBytes("", e), "") << e;
}

TEST(StringEncodingTest, EncodesTableAndRoundTrips) {
    struct Case {
        StringEncoding encoding;
        std::string text;
        bool lossy;
        std::optional<std::string> bytes;
    };
    const Case cases[] = {
        {UTF8StringEncoding, "café", false, "caf\xC3\xA9"},
        {UTF8StringEncoding, "a\xFF", false, "a\xEF\xBF\xBD"},  // invalid input is repaired
        {ASCIIStringEncoding, "abc", false, "abc"},
        {ASCIIStringEncoding, "café", false, std::nullopt},
        {ASCIIStringEncoding, "café 😀!", true, "caf? ?!"},
        {ISOLatin1StringEncoding, "café", false, "caf\xE9"},
        {ISOLatin1StringEncoding, "€", false, std::nullopt},
        {ISOLatin1StringEncoding, "€x", true, "?x"},
        {UnicodeStringEncoding, "h", false, "\xFF\xFEh\0"s},
        {UTF16BigEndianStringEncoding, "😀", false, "\xD8\x3D\xDE\x00"s},
        {UTF32StringEncoding, "h", false, "\xFF\xFE\0\0h\0\0\0"s},
        {WindowsCP1252StringEncoding, "€", false, "\x80"},
        {WindowsCP1252StringEncoding, "a€あb", false, std::nullopt},
        {WindowsCP1252StringEncoding, "a€あb", true, "a\x80?b"},
        {ISO2022JPStringEncoding, "あ", false, "\x1B$B$\"\x1B(B"},  // the shift back is flushed
        {InvalidStringEncoding, "a", true, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto data = dataFromString(c.text, c.encoding, c.lossy);
        EXPECT_EQ(data ? std::optional<std::string>(data->toString()) : std::nullopt, c.bytes)
            << c.encoding << " " << c.text;
        EXPECT_EQ(canBeConverted(c.text, c.encoding), !c.lossy && c.bytes.has_value() && c.text != "a\xFF")
            << c.encoding << " " << c.text;
        if (data && !c.lossy && c.text != "a\xFF") {
            EXPECT_EQ(stringFromData(*data, c.encoding), c.text) << c.encoding;
        }
    }
}

TEST(StringEncodingTest, IANANamesAndDisplayNames) {
    struct Case {
        const char* name;
        StringEncoding encoding;
    };
    for (const Case& c :
         {Case{"utf-8", UTF8StringEncoding}, Case{"UTF8", UTF8StringEncoding},
          Case{"ISO-8859-1", ISOLatin1StringEncoding}, Case{"latin1", ISOLatin1StringEncoding},
          Case{"US-ASCII", ASCIIStringEncoding}, Case{"utf-16", UnicodeStringEncoding},
          Case{"utf-16be", UTF16BigEndianStringEncoding}, Case{"Windows-1252", WindowsCP1252StringEncoding},
          Case{"shift_jis", ShiftJISStringEncoding}, Case{"", InvalidStringEncoding},
          Case{"utf-9", InvalidStringEncoding}, Case{"utf-8 ", InvalidStringEncoding}}) {
        EXPECT_EQ(stringEncodingForIANACharsetName(c.name), c.encoding) << c.name;
    }
    EXPECT_EQ(IANACharsetNameOfStringEncoding(ISOLatin1StringEncoding), "iso-8859-1");
    EXPECT_EQ(IANACharsetNameOfStringEncoding(InvalidStringEncoding), std::nullopt);
    EXPECT_EQ(localizedNameOfStringEncoding(UTF8StringEncoding), "Unicode (UTF-8)");
    EXPECT_EQ(localizedNameOfStringEncoding(ISOLatin1StringEncoding), "Western (ISO Latin 1)");
    EXPECT_EQ(localizedNameOfStringEncoding(InvalidStringEncoding), "");
}

TEST(StringEncodingTest, LongTextsGrowTheOutput) {
    const std::string text(100000, 'x');
    const auto wide = dataFromString(text, UTF32BigEndianStringEncoding);
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->length(), 400000u);
    EXPECT_EQ(stringFromData(*wide, UTF32BigEndianStringEncoding), text);
}

}  // namespace
