#include "platform/foundation/KeyedArchiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <random>
#include <thread>

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "support/TempDir.h"

namespace plat {
namespace {

class Device : public Coding {
  public:
    std::string name;
    std::optional<std::string> model;
    int32_t cores = 0;
    int64_t serial = 0;
    double ratio = 0;
    float scale = 0;
    bool fast = false;
    std::optional<Date> seen;

    std::string className() const override { return "TestDevice"; }
    void encodeWithCoder(KeyedArchiver& c) const override {
        c.encodeObject(Value(name), "name");
        c.encodeObject(model ? std::optional<Value>(Value(*model)) : std::nullopt, "model");
        c.encodeInt32(cores, "cores");
        c.encodeInt64(serial, "$serial");
        c.encodeDouble(ratio, "ratio");
        c.encodeFloat(scale, "scale");
        c.encodeBool(fast, "fast");
        c.encodeObject(seen ? std::optional<Value>(Value(*seen)) : std::nullopt, "seen");
    }
    static std::shared_ptr<const Device> decode(KeyedUnarchiver& u) {
        auto d = std::make_shared<Device>();
        auto name = u.decodeString("name");
        if (!name)
            return nullptr;
        d->name = *name;
        d->model = u.decodeString("model");
        d->cores = u.decodeInt32("cores");
        d->serial = u.decodeInt64("$serial");
        d->ratio = u.decodeDouble("ratio");
        d->scale = u.decodeFloat("scale");
        d->fast = u.decodeBool("fast");
        d->seen = u.decodeDate("seen");
        return d;
    }
};

class Log : public Coding {
  public:
    std::shared_ptr<const Device> device;
    std::shared_ptr<const Device> sameDevice;
    std::shared_ptr<const Device> missing;
    std::optional<Value> properties;
    Array unkeyed;
    bool plainDecode = false;  // decode "device" without naming its class

    std::string className() const override { return "TestLog"; }
    void encodeWithCoder(KeyedArchiver& c) const override {
        c.encodeObject(device, "device");
        c.encodeObject(sameDevice, "sameDevice");
        c.encodeObject(missing, "missing");
        c.encodeObject(properties, "properties");
        for (const auto& v : unkeyed)
            c.encodeObject(v);
        c.encodeBool(plainDecode, "plain");
    }
    static std::shared_ptr<const Log> decode(KeyedUnarchiver& u) {
        auto log = std::make_shared<Log>();
        log->plainDecode = u.decodeBool("plain");
        if (log->plainDecode) {
            auto v = u.decodeObject("device");
            log->device = v ? v->asObjectOf<Device>() : nullptr;
        } else {
            log->device = u.decodeObjectOfClass<Device>("device");
        }
        log->sameDevice = u.decodeObjectOfClass<Device>("sameDevice");
        log->missing = u.decodeObjectOfClass<Device>("missing");
        log->properties = u.decodeObject("properties");
        while (auto v = u.decodeObject())
            log->unkeyed.push_back(*v);
        return log;
    }
};

class Node : public Coding {
  public:
    std::string className() const override { return "TestNode"; }
    void encodeWithCoder(KeyedArchiver&) const override {}
};

class Opaque : public Object {};

// An object with as many keyed fields as it is given, some keys repeated.
class Wide : public Coding {
  public:
    std::vector<std::pair<std::string, int64_t>> fields;
    std::string className() const override { return "TestWide"; }
    void encodeWithCoder(KeyedArchiver& c) const override {
        for (const auto& [key, value] : fields)
            c.encodeInt64(value, key);
        c.encodeObject(Value("unkeyed"));
    }
};

class KeyedArchiverTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        KeyedUnarchiver::registerClass<Wide>("TestWide", [](KeyedUnarchiver& u) {
            auto w = std::make_shared<Wide>();
            for (const char* key : {"k0", "k1", "$k", "k39", "missing"})
                w->fields.emplace_back(key, u.containsValueForKey(key) ? u.decodeInt64(key) : -1);
            auto unkeyed = u.decodeObject();
            w->fields.emplace_back("unkeyed", unkeyed && *unkeyed == Value("unkeyed") ? 1 : 0);
            return w;
        });
        KeyedUnarchiver::registerClass<Device>("TestDevice", &Device::decode);
        KeyedUnarchiver::registerClass<Log>("TestLog", &Log::decode);
        KeyedUnarchiver::registerClass<Node>("TestNode",
                                             [](KeyedUnarchiver& u) -> std::shared_ptr<const Node> {
                                                 if (u.decodeObject("self"))
                                                     return std::make_shared<Node>();
                                                 return u.error() ? nullptr : std::make_shared<Node>();
                                             });
    }

    static std::shared_ptr<Device> device() {
        auto d = std::make_shared<Device>();
        d->name = "mac";
        d->cores = std::numeric_limits<int32_t>::min();
        d->serial = INT64_MAX;
        d->ratio = 0.1;
        d->scale = 1.5f;
        d->fast = true;
        d->seen = Date(123.456);
        return d;
    }

    static Data archive(const Value& v) {
        auto r = KeyedArchiver::archivedDataWithRootObject(v);
        EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error()->description());
        return r.ok() ? *r : Data();
    }

    static std::optional<Value> unarchive(const Data& data) {
        auto r = KeyedUnarchiver::unarchivedObjectWithData(data);
        EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error()->description());
        return r.ok() ? *r : std::nullopt;
    }
};

TEST_F(KeyedArchiverTest, NestedObjectsRoundTripWithNilFieldsAndSharedReferences) {
    auto log = std::make_shared<Log>();
    log->device = device();
    log->sameDevice = log->device;
    log->properties = Value(Dictionary{{"k", Value("v")}, {"n", Value()}});
    log->unkeyed = {Value(1), Value("two")};
    auto back = unarchive(archive(Value(log)));
    ASSERT_TRUE(back);
    auto decoded = back->asObjectOf<Log>();
    ASSERT_NE(decoded, nullptr);
    ASSERT_NE(decoded->device, nullptr);
    EXPECT_EQ(decoded->device, decoded->sameDevice);  // one object, decoded once
    EXPECT_EQ(decoded->missing, nullptr);
    const Device& d = *decoded->device;
    EXPECT_EQ(d.name, "mac");
    EXPECT_FALSE(d.model);
    EXPECT_EQ(d.cores, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(d.serial, INT64_MAX);
    EXPECT_EQ(d.ratio, 0.1);
    EXPECT_EQ(d.scale, 1.5f);
    EXPECT_TRUE(d.fast);
    EXPECT_EQ(d.seen, Date(123.456));
    EXPECT_EQ(decoded->properties, log->properties);
    EXPECT_TRUE(decoded->properties->find("n")->isNull());
    EXPECT_EQ(decoded->unkeyed, log->unkeyed);
}

TEST_F(KeyedArchiverTest, ValueTreesOfEveryKindRoundTrip) {
    Value tree(Dictionary{
        {"s", Value("h\xC3\xA9")},
        {"$dollar", Value("$null")},
        {"i", Value(INT64_MIN)},
        {"u", Value(UINT64_MAX)},
        {"d", Value(-2.5)},
        {"b", Value(false)},
        {"dec", Value(Decimal::fromString("12345678901234567890.5"))},
        {"data", Value(Data::fromString(std::string("\0\xff", 2)))},
        {"date", Value(Date(-1.25))},
        {"null", Value()},
        {"set", Value(Set{Value(1), Value("a")})},
        {"array", Value(Array{Value(Array{}), Value(Dictionary{}), Value("h\xC3\xA9")})},
    });
    auto back = unarchive(archive(tree));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, tree);
    EXPECT_EQ(back->find("u")->kind(), Value::Kind::UInt);
    EXPECT_TRUE(back->find("b")->isBool());
    EXPECT_EQ(back->find("dec")->kind(), Value::Kind::Decimal);
    EXPECT_EQ(*back->find("$dollar")->asString(), "$null");  // a string, not nil
    // nil and a lone scalar root.
    EXPECT_FALSE(unarchive(archive(Value(Array{}))) == std::nullopt);
    EXPECT_EQ(*unarchive(archive(Value(7))), Value(7));
    KeyedArchiver nilRoot;
    nilRoot.encodeObject(std::nullopt, "root");
    EXPECT_EQ(unarchive(*nilRoot.encodedData()), std::nullopt);
}

TEST_F(KeyedArchiverTest, ArchivesAreBinaryPropertyListsInTheKeyedLayout) {
    auto plist = PropertyListSerialization::propertyListWithData(archive(Value(Array{Value("x")})));
    ASSERT_TRUE(plist.ok());
    EXPECT_EQ(*plist->find("$archiver"), Value("NSKeyedArchiver"));
    EXPECT_EQ(*plist->find("$version"), Value(100000));
    ASSERT_NE(plist->find("$top")->find("root")->asObjectOf<PropertyListUID>(), nullptr);
    EXPECT_EQ(*plist->find("$objects")->at(0), Value("$null"));
}

// Stored archives are read back by other programs and by earlier versions:
// the bytes written for a tree of every kind stay exactly these.
TEST_F(KeyedArchiverTest, ArchiveBytesStayExactlyAsStored) {
    Value root(Dictionary{{"name", Value("name")},
                          {"neg", Value(int64_t(-2))},
                          {"big", Value(uint64_t(0xFFFFFFFFFFFFFFF0ull))},
                          {"ratio", Value(2.5)},
                          {"when", Value(Date(1.5))},
                          {"bytes", Value(Data("ab", 2))},
                          {"text", Value(std::string("caf\xc3\xa9 \xe2\x98\x83"))},
                          {"$key", Value()},
                          {"list", Value(Array{Value(1), Value("name"), Value(true)})}});
    const char* expected =
        "62706c6973743030d4010203040506070a582476657273696f6e592461726368697665725424746f7058246f626a6563"
        "747312000186a05f100f4e534b657965644172636869766572d1080954726f6f748001af10190b0c25262728292a2b2c"
        "2d313738393a3b3c3e414248494a4d55246e756c6cd30d0e0f101a24574e532e6b6579735a4e532e6f626a6563747356"
        "24636c617373a911121314151617181980028003800580078009800c800e80108013a91b1c1d1e1f2021222380028004"
        "80068008800a800d800f801180148018546e616d65536e656713fffffffffffffffe53626967140000000000000000ff"
        "fffffffffffff055726174696f234004000000000000547768656ed22e0f2f30574e532e74696d65233ff80000000000"
        "00800bd2323334355a24636c6173736e616d655824636c6173736573564e5344617465a23436584e534f626a65637455"
        "627974657342616254746578746600630061006600e90020260354246b6579d10f3d8012d232333f40564e534e756c6c"
        "a23f36546c697374d20e0f4347a34445468015800280168017100109d232334b4c574e534172726179a24b36d232334e"
        "4f5c4e5344696374696f6e617279a24e3600080011001a00240029003200370049004c00510053006f0075007c008400"
        "8f009600a000a200a400a600a800aa00ac00ae00b000b200bc00be00c000c200c400c600c800ca00cc00ce00d000d500"
        "d900e200e600f700fd0106010b011001180121012301280133013c01430146014f01550158015d016a016f0172017401"
        "79018001830188018d01910193019501970199019b019c01a101a901ac01b101be000000000000020100000000000000"
        "50000000000000000000000000000001c1";
    EXPECT_EQ(archive(root).hexString(), expected);
    auto back = KeyedUnarchiver::unarchivedObjectWithData(*Data::fromHex(expected));
    ASSERT_TRUE(back.ok());
    ASSERT_TRUE(back->has_value());
    EXPECT_EQ(**back, root);
}

// The archive is written straight from the archiver's table, so it must be
// byte for byte the binary property list of the tree it reads back as (the
// property-list writer's layout: depth-first order, keys before values, each
// distinct string once, the smallest reference and offset sizes).
TEST_F(KeyedArchiverTest, ArchivesAreExactlyThePropertyListOfTheirOwnTree) {
    auto log = std::make_shared<Log>();
    log->device = device();
    log->sameDevice = log->device;
    log->properties = Value(Dictionary{{"NS.objects", Value("$class")}, {"name", Value("NSArray")}});
    log->unkeyed = {Value(1), Value("$0")};
    auto wide = std::make_shared<Wide>();
    for (int i = 0; i < 40; ++i)
        wide->fields.emplace_back("k" + std::to_string(i), i);
    Array many;
    for (int i = 0; i < 300; ++i)  // more than 256 objects: two-byte references
        many.push_back(Value("item " + std::to_string(i % 150)));
    const struct {
        const char* name;
        Value root;
    } cases[] = {
        {"empty array", Value(Array{})},
        {"lone scalar", Value(int64_t(-7))},
        {"strings equal to keys and class names",
         Value(Array{Value("$class"), Value("NS.objects"), Value("NSArray"), Value("root"), Value("$null"),
                     Value("NSObject"), Value("$top")})},
        {"numbers of every size",
         Value(Array{Value(0), Value(255), Value(256), Value(65536), Value(int64_t(1) << 40),
                     Value(INT64_MIN), Value(UINT64_MAX), Value(true), Value(0.0), Value(-1e300)})},
        {"text that is not ASCII", Value(Dictionary{{"caf\xC3\xA9", Value("\xE2\x98\x83 snow")}})},
        {"long texts and data",
         Value(Array{Value(std::string(20, 'x')), Value(Data(std::string(300, 'd').data(), 300))})},
        {"nested containers",
         Value(Dictionary{{"a", Value(Array{Value(Set{Value(1)}), Value(Dictionary{{"b", Value()}})})},
                          {"when", Value(Date(5))},
                          {"dec", Value(Decimal::fromString("1.5"))}})},
        {"objects, shared and nil", Value(log)},
        {"object with many fields", Value(wide)},
        {"many objects", Value(many)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Data bytes = archive(c.root);
        auto tree = PropertyListSerialization::propertyListWithData(bytes);
        ASSERT_TRUE(tree.ok());
        auto again =
            PropertyListSerialization::dataWithPropertyList(*tree, PropertyListSerialization::Format::Binary);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(again->hexString(), bytes.hexString());
        if (!c.root.isObject()) {
            EXPECT_EQ(unarchive(bytes), c.root);
        }
        // Archives in XML form read the same.
        auto xml =
            PropertyListSerialization::dataWithPropertyList(*tree, PropertyListSerialization::Format::XML);
        ASSERT_TRUE(xml.ok());
        auto fromXML = unarchive(*xml);
        ASSERT_TRUE(fromXML);
        if (!c.root.isObject()) {
            EXPECT_EQ(*fromXML, c.root);
        }
    }
}

// Encoding a key again replaces its value where it first stood, in objects
// with few fields and in those large enough to index their keys.
TEST_F(KeyedArchiverTest, ARepeatedKeyKeepsItsPlaceAndTakesTheLastValue) {
    for (int count : {3, 40}) {
        SCOPED_TRACE(count);
        auto wide = std::make_shared<Wide>();
        for (int i = 0; i < count; ++i)
            wide->fields.emplace_back("k" + std::to_string(i), i);
        wide->fields.emplace_back("$k", 7);
        wide->fields.emplace_back("k1", 100);  // again, after the index exists for 40 keys
        wide->fields.emplace_back("$k", 8);
        Data bytes = archive(Value(wide));
        auto back = unarchive(bytes);
        ASSERT_TRUE(back);
        auto w = back->asObjectOf<Wide>();
        ASSERT_NE(w, nullptr);
        const std::vector<std::pair<std::string, int64_t>> expected = {
            {"k0", 0},       {"k1", 100},   {"$k", 8}, {"k39", count == 40 ? 39 : -1},
            {"missing", -1}, {"unkeyed", 1}};
        EXPECT_EQ(w->fields, expected);
        // One entry per key, in first-encoded order, "$" keys escaped.
        auto tree = PropertyListSerialization::propertyListWithData(bytes);
        ASSERT_TRUE(tree.ok());
        const Value* fields = tree->find("$objects")->at(1);
        ASSERT_NE(fields, nullptr);
        std::vector<std::string> keys;
        for (const auto& [key, value] : *fields->asDictionary())
            keys.push_back(key);
        ASSERT_EQ(keys.size(), static_cast<std::size_t>(count) + 3);
        EXPECT_EQ(keys[1], "k1");
        EXPECT_EQ(keys[static_cast<std::size_t>(count)], "$$k");
        EXPECT_EQ(keys[static_cast<std::size_t>(count) + 1], "$0");
        EXPECT_EQ(keys.back(), "$class");
    }
}

// Text that is not UTF-8 cannot be stored: the archive fails with the
// property-list writer's error, naming a string or a key.
TEST_F(KeyedArchiverTest, TextThatIsNotUTF8FailsTheArchive) {
    auto badValue =
        KeyedArchiver::archivedDataWithRootObject(Value(Array{Value("ok"), Value(std::string("\xFF"))}));
    ASSERT_FALSE(badValue.ok());
    EXPECT_EQ(badValue.error()->code(), PropertyListWriteInvalidError);
    EXPECT_NE(badValue.error()->description().find("string is not UTF-8"), std::string::npos);
    auto wide = std::make_shared<Wide>();
    wide->fields.emplace_back("\xC3", 1);
    auto badKey = KeyedArchiver::archivedDataWithRootObject(Value(wide));
    ASSERT_FALSE(badKey.ok());
    EXPECT_NE(badKey.error()->description().find("key is not UTF-8"), std::string::npos);
}

// A name registered or mapped stays so for the rest of the process: tests
// that need a name nobody knows yet take a new one on every run (a repeated
// run in the same process finds the last run's name known).
std::string unknownClassName(const std::string& stem) {
    static std::atomic<int> runs{0};
    return stem + std::to_string(++runs);
}

TEST_F(KeyedArchiverTest, OldClassNamesDecodeAsTheCurrentClass) {
    const std::string oldName = unknownClassName("BCDevice");
    KeyedArchiver oldWriter;
    oldWriter.setClassName(oldName, "TestDevice");
    oldWriter.encodeObject(Value(device()), "root");
    Data data = *oldWriter.encodedData();

    auto unknown = KeyedUnarchiver::unarchivedObjectWithData(data);
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error()->code(), CoderReadCorruptError);

    auto local = KeyedUnarchiver::create(data);
    ASSERT_TRUE(local.ok());
    (*local)->setClass("TestDevice", oldName);
    auto viaInstance = (*local)->decodeTopLevelObject();
    ASSERT_TRUE(viaInstance.ok());
    ASSERT_NE((*viaInstance)->asObjectOf<Device>(), nullptr);

    KeyedUnarchiver::setClassForClassName("TestDevice", oldName);
    auto back = unarchive(data);
    ASSERT_TRUE(back);
    auto d = back->asObjectOf<Device>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->name, "mac");
}

// Classes are remembered from archive to archive on a thread: one registered
// after an archive naming it failed must still be found.
TEST_F(KeyedArchiverTest, ClassRegisteredAfterAFailedDecodeIsFound) {
    const std::string lateName = unknownClassName("TestLateDevice");
    KeyedArchiver writer;
    writer.setClassName(lateName, "TestDevice");
    writer.encodeObject(Value(device()), "root");
    Data data = *writer.encodedData();

    for (int i = 0; i < 2; ++i) {
        auto unknown = KeyedUnarchiver::unarchivedObjectWithData(data);
        ASSERT_FALSE(unknown.ok());
        EXPECT_EQ(unknown.error()->code(), CoderReadCorruptError);
    }
    KeyedUnarchiver::registerClass<Device>(lateName, &Device::decode);
    auto back = unarchive(data);
    ASSERT_TRUE(back);
    ASSERT_NE(back->asObjectOf<Device>(), nullptr);
    EXPECT_EQ(back->asObjectOf<Device>()->name, "mac");
}

TEST_F(KeyedArchiverTest, SecureCodingRefusesClassesThatWereNotAllowed) {
    auto log = std::make_shared<Log>();
    log->device = device();
    Data data = archive(Value(log));
    auto allowed = KeyedUnarchiver::unarchivedObjectOfClasses({"TestLog"}, data);
    ASSERT_TRUE(allowed.ok());  // the device is asked for by its class
    EXPECT_NE((*allowed)->asObjectOf<Log>()->device, nullptr);

    auto refused = KeyedUnarchiver::unarchivedObjectOfClasses({"TestDevice"}, data);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error()->code(), CoderReadCorruptError);

    log->plainDecode = true;  // the device is asked for without naming a class
    auto plain = KeyedUnarchiver::unarchivedObjectOfClasses({"TestLog"}, archive(Value(log)));
    EXPECT_FALSE(plain.ok());
    auto plainAllowed =
        KeyedUnarchiver::unarchivedObjectOfClasses({"TestLog", "TestDevice"}, archive(Value(log)));
    EXPECT_TRUE(plainAllowed.ok());
    // Plain values need no permission.
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClasses({}, archive(Value(Array{Value(Date(1))}))).ok());
}

TEST_F(KeyedArchiverTest, MismatchedAndMissingKeysDecodeAsAbsentOrZero) {
    auto plain = std::make_shared<Device>();
    plain->name = "n";
    Data data = archive(Value(Array{Value(plain)}));
    auto u = KeyedUnarchiver::create(data);
    ASSERT_TRUE(u.ok());
    KeyedUnarchiver& top = **u;
    EXPECT_FALSE(top.containsValueForKey("nothing"));
    EXPECT_EQ(top.decodeInt64("nothing"), 0);
    EXPECT_FALSE(top.decodeBool("nothing"));
    EXPECT_EQ(top.decodeObjectOfClass<Device>("root"), nullptr);  // an array, not a Device
    EXPECT_FALSE(top.decodeString("root"));
    EXPECT_EQ(top.decodeInt64("root"), 0);  // a reference, not a number
    EXPECT_EQ(top.error(), nullptr);
}

TEST_F(KeyedArchiverTest, ObjectsThatCannotBeArchivedFailTheArchive) {
    auto r = KeyedArchiver::archivedDataWithRootObject(Value(Array{Value(std::make_shared<Opaque>())}));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error()->code(), CoderInvalidValueError);
    Value deep(Array{});
    for (int i = 0; i < 600; ++i)
        deep = Value(Array{deep});
    EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(deep).ok());
}

// Builds an archive by hand, as damaged or hostile writers could.
Data handMade(Array objects) {
    Dictionary archive{
        {"$archiver", Value("NSKeyedArchiver")},
        {"$version", Value(100000)},
        {"$top", Value(Dictionary{{"root", Value(std::make_shared<const PropertyListUID>(1))}})},
        {"$objects", Value(std::move(objects))}};
    return *PropertyListSerialization::dataWithPropertyList(Value(archive),
                                                            PropertyListSerialization::Format::Binary);
}

Value ref(uint64_t n) {
    return Value(std::make_shared<const PropertyListUID>(n));
}
Value classDescription(const char* name) {
    return Value(Dictionary{{"$classname", Value(name)}, {"$classes", Value(Array{Value(name)})}});
}

TEST_F(KeyedArchiverTest, CyclesDeepChainsAndBadReferencesFailCleanly) {
    Data selfRef = handMade({Value("$null"), Value(Dictionary{{"$class", ref(2)}, {"self", ref(1)}}),
                             classDescription("TestNode")});
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectWithData(selfRef).ok());

    Data selfArray =
        handMade({Value("$null"), Value(Dictionary{{"$class", ref(2)}, {"NS.objects", Value(Array{ref(1)})}}),
                  classDescription("NSArray")});
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectWithData(selfArray).ok());

    Array chain{Value("$null")};
    for (uint64_t i = 1; i <= 1000; ++i)
        chain.push_back(Value(Dictionary{{"$class", ref(1001)}, {"NS.objects", Value(Array{ref(i + 1)})}}));
    chain.push_back(classDescription("NSArray"));
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectWithData(handMade(chain)).ok());

    const Array bad[] = {
        {Value("$null"), Value(Dictionary{{"$class", ref(99)}})},
        {Value("$null"), Value(Dictionary{{"$class", Value(1)}})},
        {Value("$null"),
         Value(Dictionary{
             {"$class", ref(2)}, {"NS.keys", Value(Array{ref(3)})}, {"NS.objects", Value(Array{})}}),
         classDescription("NSDictionary"), Value("k")},
        {Value("$null"),
         Value(Dictionary{
             {"$class", ref(2)}, {"NS.keys", Value(Array{ref(3)})}, {"NS.objects", Value(Array{ref(3)})}}),
         classDescription("NSDictionary"), Value(5)},
        {Value("$null"), Value(Dictionary{{"$class", ref(2)}}), classDescription("NSDate")},
        {Value("$null"), Value(Dictionary{{"$class", ref(2)}}), classDescription("NoSuchClass")},
        {Value("$null"), Value(Array{})},
    };
    for (const auto& objects : bad)
        EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectWithData(handMade(objects)).ok());
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectWithData(Data::fromString("not an archive")).ok());
    EXPECT_FALSE(KeyedUnarchiver::create(*PropertyListSerialization::dataWithPropertyList(
                                             Value(Array{}), PropertyListSerialization::Format::Binary))
                     .ok());
}

// Each array holds the next one twice: legal sharing, but 2^60 values in
// all. Decoding must refuse it rather than hand out a value that every later
// walk (archiving, comparing, hashing into a set) could not finish.
TEST_F(KeyedArchiverTest, SharingThatExpandsExponentiallyIsRefused) {
    auto doubling = [](uint64_t levels) {
        Array objects{Value("$null")};
        const uint64_t cls = levels + 2;
        for (uint64_t i = 1; i <= levels; ++i)
            objects.push_back(Value(
                Dictionary{{"$class", ref(cls)}, {"NS.objects", Value(Array{ref(i + 1), ref(i + 1)})}}));
        objects.push_back(Value("leaf"));
        objects.push_back(classDescription("NSArray"));
        return handMade(objects);
    };
    auto fine = KeyedUnarchiver::unarchivedObjectWithData(doubling(6));
    ASSERT_TRUE(fine.ok());
    EXPECT_EQ((**fine).asArray()->size(), 2u);
    auto bomb = KeyedUnarchiver::unarchivedObjectWithData(doubling(60));
    ASSERT_FALSE(bomb.ok());
    EXPECT_EQ(bomb.error()->code(), CoderReadCorruptError);

    // Ordinary sharing stays fine: one object referred to from many places.
    auto shared = device();
    Data many = archive(Value(Array(5000, Value(ObjectPtr(shared)))));
    auto back = unarchive(many);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->asArray()->size(), 5000u);
}

TEST_F(KeyedArchiverTest, DamagedArchivesNeverCrash) {
    auto log = std::make_shared<Log>();
    log->device = device();
    log->sameDevice = log->device;
    log->properties = Value(Dictionary{{"a", Value(Array{Value(1), Value(Date(2))})}});
    Data good = archive(Value(log));
    for (std::size_t cut = 0; cut < good.length(); ++cut)
        (void)KeyedUnarchiver::unarchivedObjectWithData(Data(good.bytes(), cut));
    std::mt19937 random(11);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = good.vector();
        for (int flips = 1 + round % 3; flips > 0; --flips)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        (void)KeyedUnarchiver::unarchivedObjectWithData(Data(std::move(bytes)));
    }
}

// An object whose text and dictionary fields are written either as values or
// through the archiver's direct calls; both must give the same bytes.
class Direct : public Coding {
  public:
    std::vector<std::pair<std::string, std::string>> texts;
    std::optional<Dictionary> dict;
    bool direct = false;
    std::string className() const override { return "TestDirect"; }
    void encodeWithCoder(KeyedArchiver& c) const override {
        for (const auto& [key, text] : texts) {
            if (direct)
                c.encodeString(text, key);
            else
                c.encodeObject(Value(text), key);
        }
        if (dict && direct)
            c.encodeDictionary(*dict, "dict");
        else if (dict)
            c.encodeObject(Value(*dict), "dict");
    }
};

TEST_F(KeyedArchiverTest, TextsAndDictionariesEncodedDirectlyGiveTheSameBytes) {
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> texts;
        std::optional<Dictionary> dict;
    } cases[] = {
        {"empty text and dictionary", {{"a", ""}}, Dictionary{}},
        {"text repeated, and equal to keys and class names",
         {{"a", "x"},
          {"b", "x"},
          {"c", "$class"},
          {"d", "TestDirect"},
          {"e", "NSDictionary"},
          {"f", "$null"}},
         Dictionary{{"x", Value("x")}, {"NS.keys", Value("a")}}},
        {"escaped keys and a key given twice", {{"$k", "1"}, {"$0", "2"}, {"$k", "3"}}, std::nullopt},
        {"text that is not ASCII, long text",
         {{"caf\xC3\xA9", "\xE2\x98\x83"}, {"long", std::string(300, 'L')}},
         Dictionary{{"\xE2\x98\x83", Value(Array{Value(1), Value(Dictionary{{"in", Value("deep")}})})}}},
        {"text that is not UTF-8", {{"a", "ok"}, {"b", "\xFF"}}, std::nullopt},
        {"dictionary key that is not UTF-8", {}, Dictionary{{"\xC3", Value(1)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto viaValues = std::make_shared<Direct>();
        viaValues->texts = c.texts;
        viaValues->dict = c.dict;
        auto direct = std::make_shared<Direct>(*viaValues);
        direct->direct = true;
        auto expected = KeyedArchiver::archivedDataWithRootObject(Value(viaValues));
        auto actual = KeyedArchiver::archivedDataWithRootObject(Value(direct));
        ASSERT_EQ(expected.ok(), actual.ok());
        if (expected.ok())
            EXPECT_EQ(actual->hexString(), expected->hexString());
        else
            EXPECT_EQ(actual.error()->description(), expected.error()->description());
    }
}

// Archivers and unarchivers of one thread reuse their tables: what one left
// behind (a large archive, a failure half-way) never shows in the next, and
// one made while another is at work (inside an object's encoding or
// decoding) has tables of its own.
TEST_F(KeyedArchiverTest, ArchivesMadeOneAfterAnotherOrOneInsideAnotherStayApart) {
    const Value small(Array{Value("a"), Value(Dictionary{{"b", Value(1)}})});
    const Data expected = archive(small);
    Array large;
    for (int i = 0; i < 20000; ++i)
        large.push_back(Value("item " + std::to_string(i)));
    EXPECT_EQ(unarchive(archive(Value(large))), Value(large));
    EXPECT_EQ(archive(small).hexString(), expected.hexString());
    EXPECT_EQ(unarchive(expected), small);
    // A middling one: its string table outgrows what small archives use,
    // while the thread keeps its other tables.
    Array middling;
    for (int i = 0; i < 1000; ++i)
        middling.push_back(Value("member " + std::to_string(i)));
    EXPECT_EQ(unarchive(archive(Value(middling))), Value(middling));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(archive(small).hexString(), expected.hexString());
        EXPECT_EQ(unarchive(archive(Value(middling))), Value(middling));
    }

    Value deep(Array{});
    for (std::size_t i = 0; i < KeyedArchiver::kMaxDepth + 2; ++i)
        deep = Value(Array{Value(Dictionary{{"k", deep}})});
    EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(deep).ok());
    {
        KeyedArchiver abandoned;
        abandoned.encodeObject(Value(device()), "device");
        abandoned.encodeString("left behind", "text");
    }
    EXPECT_EQ(archive(small).hexString(), expected.hexString());

    // Nested: a device archived, and read back, while an outer archive is open.
    KeyedArchiver outer;
    outer.encodeString("outer", "name");
    const Data inner = archive(Value(device()));
    outer.encodeObject(Value(inner), "inner");
    auto outerBytes = outer.encodedData();
    ASSERT_TRUE(outerBytes.ok());
    auto reader = KeyedUnarchiver::create(Data(*outerBytes));  // the bytes taken over
    ASSERT_TRUE(reader.ok());
    auto innerBack = (*reader)->decodeData("inner");
    ASSERT_TRUE(innerBack);
    auto second = KeyedUnarchiver::create(*innerBack);  // alive alongside the first
    ASSERT_TRUE(second.ok());
    auto d = (*second)->decodeTopLevelObject();
    ASSERT_TRUE(d.ok());
    ASSERT_TRUE(d->has_value());
    EXPECT_EQ((**d).asObjectOf<Device>()->name, "mac");
    EXPECT_EQ((*reader)->decodeString("name"), "outer");
    reader->reset();
    EXPECT_EQ((*second)->decodeString("missing"), std::nullopt);
    EXPECT_EQ(unarchive(expected), small);

    // Made on threads that have ended, finished and destroyed here; threads
    // archiving at once.
    std::unique_ptr<KeyedArchiver> movedArchiver;
    std::unique_ptr<KeyedUnarchiver> movedReader;
    std::thread([&] {
        movedArchiver = std::make_unique<KeyedArchiver>();
        movedArchiver->encodeObject(small, "root");
        auto r = KeyedUnarchiver::create(expected);
        if (r.ok())
            movedReader = std::move(*r);
    }).join();
    auto fromThread = movedArchiver->encodedData();
    ASSERT_TRUE(fromThread.ok());
    EXPECT_EQ(fromThread->hexString(), expected.hexString());
    movedArchiver.reset();
    ASSERT_NE(movedReader, nullptr);
    auto back = movedReader->decodeTopLevelObject();
    movedReader.reset();
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, small);
    std::vector<std::thread> threads;
    std::atomic<int> same{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                auto bytes = KeyedArchiver::archivedDataWithRootObject(small);
                auto again = bytes.ok() ? KeyedUnarchiver::unarchivedObjectWithData(*bytes) : bytes.error();
                same +=
                    bytes.ok() && bytes->hexString() == expected.hexString() && again.ok() && *again == small;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(same.load(), 200);
}

TEST_F(KeyedArchiverTest, FilesHoldArchivesAndMissingFilesAreErrors) {
    testsupport::TempDir dir;
    std::string path = (dir / "cache.archive").string();
    ASSERT_EQ(KeyedArchiver::archiveRootObject(Value(device()), path), nullptr);
    auto back = KeyedUnarchiver::unarchiveObjectWithFile(path);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ((*back)->asObjectOf<Device>()->name, "mac");
    EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithFile((dir / "none").string()).ok());
}

}  // namespace
}  // namespace plat
