#include "platform/foundation/PropertyListSerialization.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "support/TempDir.h"

namespace plat {
namespace {

using Format = PropertyListSerialization::Format;

Data encode(const Value& v, Format format) {
    auto r = PropertyListSerialization::dataWithPropertyList(v, format);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error()->description());
    return r.ok() ? *r : Data();
}

Value decode(const Data& data, Format* format = nullptr) {
    auto r = PropertyListSerialization::propertyListWithData(data, format);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error()->description());
    return r.ok() ? *r : Value();
}

Value decodeText(std::string_view text) {
    return decode(Data::fromString(text));
}

// One of every kind, with the values most likely to be mangled.
Value everyKind() {
    std::string longText(40, 'x');
    return Value(Dictionary{
        {"string", Value("h\xC3\xA9llo \xF0\x9D\x84\x9E <&>")},
        {"long", Value(longText)},
        {"empty", Value("")},
        {"int", Value(int64_t(-42))},
        {"intMin", Value(INT64_MIN)},
        {"big", Value(int64_t(1) << 40)},
        {"uintMax", Value(UINT64_MAX)},
        {"real", Value(0.1)},
        {"negZero", Value(-0.0)},
        {"true", Value(true)},
        {"false", Value(false)},
        {"date", Value(Date(700000000.0))},
        {"data", Value(Data::fromString(std::string("\0\1\2\xff", 4)))},
        {"array", Value(Array{Value(1), Value("two"), Value(Array{}), Value(Dictionary{})})},
        {"dict", Value(Dictionary{{"nested", Value(Dictionary{{"deep", Value(3.5)}})}})},
    });
}

TEST(PropertyListSerializationTest, XMLIsWrittenInThePlatformLayoutWithSortedKeys) {
    Value v(Dictionary{{"b", Value(Array{Value(true), Value(false), Value(3.0), Value(0.1)})},
                       {"a", Value("x<y&z>")},
                       {"e", Value(Array{})},
                       {"d", Value(Date(0))},
                       {"c", Value(Data::fromString("abc"))},
                       {"f", Value(Dictionary{})},
                       {"g", Value(int64_t(-7))}});
    EXPECT_EQ(encode(v, Format::XML).toString(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n"
              "<dict>\n"
              "\t<key>a</key>\n\t<string>x&lt;y&amp;z&gt;</string>\n"
              "\t<key>b</key>\n\t<array>\n\t\t<true/>\n\t\t<false/>\n\t\t<real>3</real>\n"
              "\t\t<real>0.10000000000000001</real>\n\t</array>\n"
              "\t<key>c</key>\n\t<data>\n\tYWJj\n\t</data>\n"
              "\t<key>d</key>\n\t<date>2001-01-01T00:00:00Z</date>\n"
              "\t<key>e</key>\n\t<array/>\n"
              "\t<key>f</key>\n\t<dict/>\n"
              "\t<key>g</key>\n\t<integer>-7</integer>\n"
              "</dict>\n"
              "</plist>\n");
}

TEST(PropertyListSerializationTest, BinaryRoundTripOfEveryKindIsExact) {
    Value v = everyKind();
    Format format = Format::XML;
    Value back = decode(encode(v, Format::Binary), &format);
    EXPECT_EQ(format, Format::Binary);
    EXPECT_EQ(back, v);
    // Equality across kinds is numeric, so check the kinds the values came back as.
    EXPECT_EQ(back.find("uintMax")->kind(), Value::Kind::UInt);
    EXPECT_EQ(back.find("intMin")->rawInt(), INT64_MIN);
    EXPECT_TRUE(back.find("true")->isBool());
    EXPECT_TRUE(back.find("date")->isDate());
    EXPECT_TRUE(std::signbit(back.find("negZero")->rawDouble()));
    EXPECT_EQ(back.asDictionary()->entryAt(0).first, "string");  // binary keeps dictionary order
}

TEST(PropertyListSerializationTest, XMLRoundTripOfEveryKindIsExact) {
    Value v = everyKind();
    Format format = Format::Binary;
    Value back = decode(encode(v, Format::XML), &format);
    EXPECT_EQ(format, Format::XML);
    EXPECT_EQ(back, v);
    EXPECT_EQ(back.find("uintMax")->kind(), Value::Kind::UInt);
    EXPECT_TRUE(back.find("false")->isBool());
}

TEST(PropertyListSerializationTest, DatesKeepFullPrecisionInBinaryAndWholeSecondsInXML) {
    for (double t : {0.001, -0.5, -4.5, 1234.567891, -63113904000.0, 63113904000.0, 1e-9}) {
        Value v(Array{Value(Date(t))});
        EXPECT_EQ(decode(encode(v, Format::Binary)).at(0)->asDate()->timeIntervalSinceReferenceDate(), t);
        EXPECT_EQ(decode(encode(v, Format::XML)).at(0)->asDate()->timeIntervalSinceReferenceDate(),
                  std::floor(t));
    }
    EXPECT_NE(encode(Value(Array{Value(Date(-0.5))}), Format::XML).toString().find("2000-12-31T23:59:59Z"),
              std::string::npos);
    EXPECT_NE(encode(Value(Array{Value(Date::distantFuture())}), Format::XML)
                  .toString()
                  .find("4001-01-01T00:00:00Z"),
              std::string::npos);
    for (Date d : {Date::distantPast(), Date::distantFuture()})
        EXPECT_EQ(*decode(encode(Value(Array{Value(d)}), Format::XML)).at(0)->asDate(), d);
    // Fractions of a second written by other tools are read.
    EXPECT_EQ(decodeText("<plist><date>2001-01-01T00:00:01.25Z</date></plist>")
                  .asDate()
                  ->timeIntervalSinceReferenceDate(),
              1.25);
}

TEST(PropertyListSerializationTest, ValuesThatAreNotPropertyListsAreRefused) {
    const Value refused[] = {
        Value(),
        Value(Array{Value(1), Value()}),
        Value(Dictionary{{"d", Value(Decimal::fromString("1.5"))}}),
        Value(Array{Value(Set{Value(1)})}),
        Value(Array{Value(std::make_shared<Object>())}),
        Value(Array{Value("\xff")}),
    };
    for (const Value& v : refused) {
        for (Format f : {Format::XML, Format::Binary}) {
            auto r = PropertyListSerialization::dataWithPropertyList(v, f);
            ASSERT_FALSE(r.ok()) << v.description();
            EXPECT_EQ(r.error()->domain(), "NSCocoaErrorDomain");
            EXPECT_EQ(r.error()->code(), 3851);
            EXPECT_FALSE(PropertyListSerialization::propertyList(v, f));
        }
    }
    EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(Value(1), Format::OpenStep).ok());
    EXPECT_FALSE(
        PropertyListSerialization::dataWithPropertyList(Value(Array{Value(Date(1e300))}), Format::XML).ok());
    EXPECT_TRUE(
        PropertyListSerialization::dataWithPropertyList(Value(Array{Value(Date(1e300))}), Format::Binary)
            .ok());
    // A scalar on its own is a property list.
    EXPECT_EQ(decode(encode(Value("solo"), Format::XML)), Value("solo"));
    EXPECT_EQ(decode(encode(Value(5), Format::Binary)), Value(5));
}

// XML 1.0 cannot carry NUL, the other C0 controls but tab, line feed and
// carriage return, nor U+FFFE and U+FFFF: the XML form refuses them (in
// strings and keys) and the binary form carries them.
TEST(PropertyListSerializationTest, CharactersXMLCannotCarryAreRefusedOnlyInXML) {
    const std::string refused[] = {
        std::string("a\0b", 3), "\x01", "x\x08", "\x0B", "\x0C", "\x1F", "\xEF\xBF\xBE", "end \xEF\xBF\xBF"};
    for (const std::string& text : refused) {
        SCOPED_TRACE(Value(text).description());
        for (const Value& v : {Value(text), Value(Dictionary{{text, Value(1)}}), Value(Array{Value(text)})}) {
            auto xml = PropertyListSerialization::dataWithPropertyList(v, Format::XML);
            ASSERT_FALSE(xml.ok());
            EXPECT_EQ(xml.error()->code(), 3851);
            EXPECT_FALSE(PropertyListSerialization::propertyList(v, Format::XML));
            EXPECT_EQ(decode(encode(v, Format::Binary)), v);
        }
    }
    // Their neighbours are fine.
    for (const std::string text : {"\t\n", "\x7F", "\xEF\xBF\xBD", "\xEF\xBE\xBF"})
        EXPECT_EQ(decode(encode(Value(text), Format::XML)), Value(text));
}

// A literal carriage return is read as a line feed by XML readers; written as
// a character reference it survives, here and in an independent reader.
TEST(PropertyListSerializationTest, CarriageReturnsSurviveTheXMLForm) {
    const Value v(Dictionary{{"k\r", Value("a\rb\r\nc\n")}});
    Data xml = encode(v, Format::XML);
    EXPECT_EQ(xml.view().find('\r'), std::string_view::npos);
    EXPECT_EQ(decode(xml), v);
    plist_t root = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(xml.bytes()), static_cast<uint32_t>(xml.length()), &root);
    ASSERT_NE(root, nullptr);
    char* s = nullptr;
    plist_get_string_val(plist_dict_get_item(root, "k\r"), &s);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "a\rb\r\nc\n");
    std::free(s);
    plist_free(root);
}

TEST(PropertyListSerializationTest, XMLReaderAcceptsWhatOtherWritersProduce) {
    Value v = decodeText(
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- note -->\n"
        "<!DOCTYPE plist [ <!ENTITY x \"y\"> ]>\n<plist version='1.0'><dict>\n"
        "  <key>s</key><string>a&#233;&#x1D11E;&quot;&apos;<![CDATA[<raw>]]><!-- c --></string>\n"
        "  <key>e</key><string/>\n  <key>i</key><integer> +12 </integer>\n"
        "  <key>r</key><real>-1.5e3</real>\n  <key>n</key><real>nan</real>\n"
        "  <key>inf</key><real>-infinity</real>\n  <key>t</key><true></true>\n"
        "  <key>d</key><data>\n  YW\n  Jj\n  </data>\n  <key>a</key><array><integer>1</integer></array>\n"
        "  <key>dup</key><integer>1</integer><key>dup</key><integer>2</integer>\n"
        "</dict></plist>\n");
    ASSERT_TRUE(v.isDictionary());
    EXPECT_EQ(*v.find("s")->asString(), "a\xC3\xA9\xF0\x9D\x84\x9E\"'<raw>");
    EXPECT_EQ(*v.find("e")->asString(), "");
    EXPECT_EQ(v.find("i")->rawInt(), 12);
    EXPECT_EQ(v.find("r")->rawDouble(), -1500.0);
    EXPECT_TRUE(std::isnan(v.find("n")->rawDouble()));
    EXPECT_EQ(v.find("inf")->rawDouble(), -HUGE_VAL);
    EXPECT_TRUE(v.find("t")->rawBool());
    EXPECT_EQ(v.find("d")->asData()->toString(), "abc");
    EXPECT_EQ(v.find("a")->count(), 1u);
    EXPECT_EQ(v.find("dup")->rawInt(), 2);
}

TEST(PropertyListSerializationTest, ArchiveReferencesSurviveBothForms) {
    Value v(Dictionary{{"ref", Value(std::make_shared<const PropertyListUID>(300))}});
    std::string xml = encode(v, Format::XML).toString();
    EXPECT_NE(xml.find("<key>CF$UID</key>\n\t\t<integer>300</integer>"), std::string::npos) << xml;
    for (Format f : {Format::XML, Format::Binary}) {
        auto uid = decode(encode(v, f)).find("ref")->asObjectOf<PropertyListUID>();
        ASSERT_NE(uid, nullptr);
        EXPECT_EQ(uid->value(), 300u);
    }
}

TEST(PropertyListSerializationTest, LargeContainersUseWideReferencesAndCounts) {
    Array items;
    for (int i = 0; i < 70000; ++i)
        items.push_back(Value(i % 3 == 0 ? Value(std::to_string(i)) : Value(i)));
    Value v(Array{Value(items), Value(std::string(70000, 'q'))});
    EXPECT_EQ(decode(encode(v, Format::Binary)), v);
}

TEST(PropertyListSerializationTest, OurBinaryAgreesWithAnIndependentReaderAndWriter) {
    Value v(Dictionary{{"s", Value("h\xC3\xA9")},
                       {"i", Value(-5)},
                       {"r", Value(2.25)},
                       {"b", Value(true)},
                       {"d", Value(Date(86400.5))},
                       {"a", Value(Array{Value(1), Value("x")})}});
    Data ours = encode(v, Format::Binary);
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(ours.bytes()), static_cast<uint32_t>(ours.length()), &root);
    ASSERT_NE(root, nullptr);
    char* s = nullptr;
    plist_get_string_val(plist_dict_get_item(root, "s"), &s);
    EXPECT_STREQ(s, "h\xC3\xA9");
    std::free(s);
    uint64_t i = 0;
    plist_get_uint_val(plist_dict_get_item(root, "i"), &i);
    EXPECT_EQ(static_cast<int64_t>(i), -5);
    double r = 0;
    plist_get_real_val(plist_dict_get_item(root, "r"), &r);
    EXPECT_EQ(r, 2.25);
    int32_t sec = 0, usec = 0;
    plist_get_date_val(plist_dict_get_item(root, "d"), &sec, &usec);
    EXPECT_EQ(sec, 86400);
    EXPECT_EQ(usec, 500000);
    EXPECT_EQ(plist_array_get_size(plist_dict_get_item(root, "a")), 2u);

    // And what it writes, in both forms, reads back here.
    for (bool binary : {true, false}) {
        char* out = nullptr;
        uint32_t length = 0;
        binary ? plist_to_bin(root, &out, &length) : plist_to_xml(root, &out, &length);
        Value back = decode(Data(out, length));
        binary ? plist_to_bin_free(out) : plist_to_xml_free(out);
        EXPECT_EQ(*back.find("s"), Value("h\xC3\xA9"));
        EXPECT_EQ(*back.find("r"), Value(2.25));
        EXPECT_EQ(*back.find("b"), Value(true));
        EXPECT_EQ(back.find("a")->count(), 2u);
    }
    plist_free(root);
}

// The binary form's bytes are part of stored files: strings written once
// (a key equal to a value too), text that needs UTF-16, every integer width
// and the two 16-byte forms, a UID, a count that needs its own integer,
// data, dates and nesting. The order of objects follows a depth-first walk,
// a dictionary's keys before its values.
TEST(PropertyListSerializationTest, BinaryBytesOfAKnownListArePinned) {
    Array many;
    for (int i = 0; i < 16; ++i)
        many.push_back(i % 4 == 0 ? Value("name") : Value(int64_t(i) << (i * 3)));
    Value v(Dictionary{{"name", Value("name")},
                       {"caf\xC3\xA9", Value("\xF0\x9D\x84\x9E clef")},
                       {"neg", Value(int64_t(-2))},
                       {"huge", Value(UINT64_MAX)},
                       {"uid", PropertyListUID::make(300)},
                       {"many", Value(std::move(many))},
                       {"bytes", Value(Data::fromString(std::string(20, 'z')))},
                       {"when", Value(Date(1.5))},
                       {"nested", Value(Dictionary{{"name", Value(Array{Value(true), Value(0.25)})}})}});
    const char* expected =
        "62706c6973743030d9010203040506070809010a0b0c0d0e1b1c1d546e616d656400630061006600e9536e65675468"
        "75676553756964546d616e79556279746573547768656e566e657374656467d834dd1e00200063006c0065006613ff"
        "fffffffffffffe140000000000000000ffffffffffffffff81012caf1010010f101101121314011516170118191a10"
        "081080110600120002800012001800001200e000001248000000130000000280000000130000001600000000130000"
        "068000000000130000380000000000130001e000000000004f10147a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a"
        "333ff8000000000000d1011ea21f2009233fd00000000000000008001b00200029002d00320036003b00410046004d"
        "005c006500760079008c008e009000930098009d00a200a700b000b900c200cb00d400eb00f400f700fa00fb000000"
        "0000000201000000000000002100000000000000000000000000000104";
    Data bytes = encode(v, Format::Binary);
    std::string hex;
    for (std::size_t i = 0; i < bytes.length(); ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", bytes.bytes()[i]);
        hex += two;
    }
    EXPECT_EQ(hex, expected);
    EXPECT_EQ(decode(bytes), v);
}

// Random trees of every kind, with strings repeated between keys and values
// and containers wide enough for two-byte references, read back as written;
// a tree with one value a list cannot hold is refused with the reason for
// it, wherever that value lies.
TEST(PropertyListSerializationTest, RandomTreesRoundTripAndRefusalsNameTheirReason) {
    std::mt19937_64 random(7);
    auto text = [&]() -> std::string {
        static const char* const pool[] = {
            "name", "items", "", "caf\xC3\xA9", "a\xF0\x9F\x98\x80 z", "a text longer than fifteen bytes"};
        if (random() % 2)
            return pool[random() % 6];
        return std::string(random() % 20, static_cast<char>('a' + random() % 26));
    };
    std::function<Value(int)> tree = [&](int depth) -> Value {
        switch (random() % (depth > 3 ? 7 : 10)) {
            case 0:
                return Value(random() % 2 == 0);
            case 1: {
                int64_t i = static_cast<int64_t>(random()) >> (random() % 64);
                return Value(random() % 2 ? -i : i);
            }
            case 2:
                return Value(static_cast<uint64_t>(random()));
            case 3:
                return Value(static_cast<double>(random() % 1000) / 8);
            case 4:
                return Value(Date(static_cast<double>(random() % 100000) / 4));
            case 5:
                return Value(Data::fromString(std::string(random() % 30, 'd')));
            case 6:
                return Value(text());
            case 7:
            case 8: {
                Array items;
                const std::size_t n = random() % 16 == 0 ? 300 : random() % 6;
                for (std::size_t i = 0; i < n; ++i)
                    items.push_back(tree(depth + 1));
                return Value(std::move(items));
            }
            default: {
                Dictionary entries;
                for (std::size_t i = random() % 7; i > 0; --i)
                    entries.set(text(), tree(depth + 1));
                return Value(std::move(entries));
            }
        }
    };
    // One bad value put somewhere in a tree of good ones.
    struct Bad {
        Value value;
        bool asKey;
        std::string reason;
    };
    const Bad bad[] = {
        {Value("\xC3"), false, "string is not UTF-8"},
        {Value("\xF0\x9F"), true, "key is not UTF-8"},
        {Value(), false, "objects of type 'null'"},
        {Value(Set{Value(1)}), false, "objects of type 'set'"},
    };
    for (int round = 0; round < 400; ++round) {
        Value v = tree(0);
        EXPECT_EQ(decode(encode(v, Format::Binary)), v);
        const Bad& b = bad[static_cast<std::size_t>(round) % 4];
        Dictionary inner;
        if (b.asKey)
            inner.set(*b.value.asString(), Value(1));
        else
            inner.set("bad", b.value);
        Value refused(Array{v, Value(Dictionary{{"x", tree(1)}, {"y", Value(std::move(inner))}}), tree(0)});
        auto r = PropertyListSerialization::dataWithPropertyList(refused, Format::Binary);
        ASSERT_FALSE(r.ok());
        EXPECT_NE(r.error()->localizedDescription().find(b.reason), std::string::npos)
            << r.error()->localizedDescription();
    }
    Value deep(Array{});
    for (std::size_t i = 0; i <= PropertyListSerialization::kMaxDepth; ++i)
        deep = Value(Array{deep});
    auto r = PropertyListSerialization::dataWithPropertyList(deep, Format::Binary);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error()->localizedDescription().find("nested too deeply"), std::string::npos);
}

TEST(PropertyListSerializationTest, MalformedInputIsAnErrorWithTheReadCode) {
    const char* bad[] = {
        "",
        "hello",
        "<plist><dict><key>a</key></dict></plist>",
        "<plist><dict><string>a</string><string>b</string></dict></plist>",
        "<plist><array><integer>1</integer></plist>",
        "<plist><integer>12x</integer></plist>",
        "<plist><integer>99999999999999999999</integer></plist>",
        "<plist><real>abc</real></plist>",
        "<plist><date>2001-13-01T00:00:00Z</date></plist>",
        "<plist><data>!!!</data></plist>",
        "<plist><string>a&bogus;</string></plist>",
        "<plist><string>\xff</string></plist>",
        "<plist><foo/></plist>",
        "<plist><string>a</string></plist> trailing",
        "<plist><string>unterminated",
        "bplist00",
        "bplist00\x08\x00\x00\x00\x00\x00\x00\x00",
    };
    for (const char* text : bad) {
        auto r = PropertyListSerialization::propertyListWithData(Data::fromString(text));
        ASSERT_FALSE(r.ok()) << text;
        EXPECT_EQ(r.error()->code(), 3840) << text;
    }
    std::string deep;
    for (int i = 0; i < 600; ++i)
        deep += "<array>";
    EXPECT_FALSE(PropertyListSerialization::propertyListWithData(Data::fromString("<plist>" + deep)).ok());
}

// A binary list whose array refers to itself: reading must stop, not recurse.
TEST(PropertyListSerializationTest, BinaryReferenceCyclesAndBadOffsetsAreRefused) {
    std::string cyclic = "bplist00";
    cyclic += "\xA1";  // array of one element at offset 8
    cyclic += '\x00';  // ... which is object 0 itself
    cyclic += '\x08';  // offset table: object 0 at 8
    std::string trailer(32, '\0');
    trailer[6] = 1;    // offset size
    trailer[7] = 1;    // reference size
    trailer[15] = 1;   // one object
    trailer[31] = 10;  // offset table at 10
    EXPECT_FALSE(PropertyListSerialization::propertyListWithData(Data::fromString(cyclic + trailer)).ok());

    std::string wild = "bplist00\x09\xF0";
    std::string t2 = trailer;
    t2[31] = 9;
    EXPECT_FALSE(PropertyListSerialization::propertyListWithData(Data::fromString(wild + t2)).ok());
}

// Objects 0..n-2 are arrays holding the next object twice; the last is an
// integer. Read naively, a few hundred bytes stand for 2^(n-1) values.
std::string doublingBinaryList(int n) {
    std::string out = "bplist00";
    std::string offsets;
    for (int i = 0; i < n; ++i) {
        offsets += static_cast<char>(out.size());
        if (i + 1 < n) {
            out += "\xA2";
            out += static_cast<char>(i + 1);
            out += static_cast<char>(i + 1);
        } else {
            out += "\x10\x01";
        }
    }
    std::string trailer(32, '\0');
    trailer[6] = 1;  // offset size
    trailer[7] = 1;  // reference size
    trailer[15] = static_cast<char>(n);
    trailer[31] = static_cast<char>(out.size());
    return out + offsets + trailer;
}

// Shared containers are legal, but a reader must not hand out a value whose
// expansion makes every later walk (writing, comparing, hashing) take forever.
TEST(PropertyListSerializationTest, BinarySharingThatExpandsExponentiallyIsRefused) {
    auto small = PropertyListSerialization::propertyListWithData(Data::fromString(doublingBinaryList(8)));
    ASSERT_TRUE(small.ok());
    EXPECT_EQ(small->asArray()->size(), 2u);
    auto bomb = PropertyListSerialization::propertyListWithData(Data::fromString(doublingBinaryList(64)));
    ASSERT_FALSE(bomb.ok());
    EXPECT_EQ(bomb.error()->code(), 3840);
}

TEST(PropertyListSerializationTest, DamagedBinaryNeverCrashes) {
    Data good = encode(everyKind(), Format::Binary);
    std::mt19937 random(7);
    for (std::size_t cut = 0; cut < good.length(); ++cut)
        (void)PropertyListSerialization::propertyListWithData(Data(good.bytes(), cut));
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = good.vector();
        for (int flips = 1 + round % 4; flips > 0; --flips)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        (void)PropertyListSerialization::propertyListWithData(Data(std::move(bytes)));
    }
    Data xml = encode(everyKind(), Format::XML);
    for (int round = 0; round < 1000; ++round) {
        std::vector<uint8_t> bytes = xml.vector();
        bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        (void)PropertyListSerialization::propertyListWithData(Data(std::move(bytes)));
    }
}

TEST(PropertyListSerializationTest, FilesAreWrittenAtomicallyAndReadBack) {
    testsupport::TempDir dir;
    std::string path = (dir / "store.plist").string();
    Value v(Dictionary{{"storeIdentifier", Value("abc")}, {"enlistDate", Value(Date(1000))}});
    ASSERT_EQ(PropertyListSerialization::writePropertyListToFile(v, path, Format::XML), nullptr);
    Format format = Format::Binary;
    auto back = PropertyListSerialization::propertyListWithContentsOfFile(path, &format);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, v);
    EXPECT_EQ(format, Format::XML);
    EXPECT_NE(PropertyListSerialization::writePropertyListToFile(Value(), path, Format::XML), nullptr);
    EXPECT_EQ(*PropertyListSerialization::propertyListWithContentsOfFile(path), v);  // untouched
    EXPECT_FALSE(PropertyListSerialization::propertyListWithContentsOfFile((dir / "none").string()).ok());
}

}  // namespace
}  // namespace plat
