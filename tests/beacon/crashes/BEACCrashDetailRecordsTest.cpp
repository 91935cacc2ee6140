// Stack frames, exceptions, threads, binaries and wrapper exceptions: JSON,
// validity messages, equality and keyed archives (old names, wrong types).
#include <functional>

#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "CrashesTestSupport.h"
#include "beacon/crashes/BEACCrashDetailRecords.h"

namespace {

using crashtest::jsonText;
using crashtest::roundTrip;

std::shared_ptr<BEACStackFrame> frame(const std::string& address,
                                      std::optional<int64_t> line = std::nullopt) {
    auto f = std::make_shared<BEACStackFrame>();
    f->address = address;
    f->lineNumber = line;
    return f;
}

std::shared_ptr<BEACException> exceptionWithFrame() {
    auto e = std::make_shared<BEACException>();
    e->type = "NSRangeException";
    e->frames = std::vector{frame("0x1")};
    return e;
}

std::shared_ptr<BEACBinary> fullBinary() {
    auto b = std::make_shared<BEACBinary>();
    b->binaryId = "0123456789abcdef0123456789abcdef";
    b->startAddress = "0x0000000000400000";
    b->endAddress = "0x0000000000400fff";
    b->name = "app";
    b->path = "/opt/app/app";
    b->primaryArchitectureId = 0x1000007;
    b->architectureVariantId = 3;
    return b;
}

// A Coding object that archives whatever `encode` writes under any class name.
class ForgedRecord : public plat::Coding {
  public:
    ForgedRecord(std::string name, std::function<void(plat::KeyedArchiver&)> encode)
        : name_(std::move(name)), encode_(std::move(encode)) {}
    std::string className() const override { return name_; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override { encode_(coder); }

  private:
    std::string name_;
    std::function<void(plat::KeyedArchiver&)> encode_;
};

template <class T>
std::shared_ptr<T> decodeForged(const std::string& name, std::function<void(plat::KeyedArchiver&)> encode) {
    return roundTrip<T>(std::make_shared<ForgedRecord>(name, std::move(encode)));
}

struct ValidityCase {
    const char* label;
    std::function<bool()> isValid;
    const char* message;  // nullptr: valid, nothing logged
};

TEST(BEACCrashDetailRecordsTest, ValidityStopsAtFirstMissingFieldWithItsWord) {
    auto thread = [](auto edit) {
        auto t = std::make_shared<BEACThread>();
        t->threadId = 1;
        t->frames = std::vector{frame("0x1")};
        edit(*t);
        return t->isValid();
    };
    auto exception = [](auto edit) {
        auto e = exceptionWithFrame();
        edit(*e);
        return e->isValid();
    };
    auto binary = [](auto edit) {
        auto b = fullBinary();
        edit(*b);
        return b->isValid();
    };
    const ValidityCase cases[] = {
        {"thread", [&] { return thread([](BEACThread&) {}); }, nullptr},
        {"thread without id", [&] { return thread([](BEACThread& t) { t.threadId.reset(); }); },
         "BEACThread: \"threadId\" is not valid."},
        {"thread with empty frames", [&] { return thread([](BEACThread& t) { t.frames->clear(); }); },
         "BEACThread: \"frames\" is not valid."},
        {"thread without frames", [&] { return thread([](BEACThread& t) { t.frames.reset(); }); },
         "BEACThread: \"frames\" is not valid."},
        {"new thread", [] { return BEACThread().isValid(); }, "BEACThread: \"threadId\" is not valid."},
        {"exception without message", [&] { return exception([](BEACException&) {}); }, nullptr},
        {"exception without type or frames",
         [&] {
             return exception([](BEACException& e) {
                 e.type.reset();
                 e.frames.reset();
             });
         },
         "BEACException: \"type\" is not valid."},
        {"exception with empty frames",
         [&] { return exception([](BEACException& e) { e.frames->clear(); }); },
         "BEACException: \"frames\" is not valid."},
        {"binary without architecture ids",
         [&] {
             return binary([](BEACBinary& b) {
                 b.primaryArchitectureId.reset();
                 b.architectureVariantId.reset();
             });
         },
         nullptr},
        {"binary without id", [&] { return binary([](BEACBinary& b) { b.binaryId.reset(); }); },
         "BEACBinary: \"binaryId\" is not valid."},
        {"binary without start", [&] { return binary([](BEACBinary& b) { b.startAddress.reset(); }); },
         "BEACBinary: \"startAddress\" is not valid."},
        {"binary without end", [&] { return binary([](BEACBinary& b) { b.endAddress.reset(); }); },
         "BEACBinary: \"endAddress\" is not valid."},
        {"binary without name or path",
         [&] {
             return binary([](BEACBinary& b) {
                 b.name.reset();
                 b.path.reset();
             });
         },
         "BEACBinary: \"name\" is not valid."},
        {"binary without path", [&] { return binary([](BEACBinary& b) { b.path.reset(); }); },
         "BEACBinary: \"path\" is not valid."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        beactest::CapturingLog log;
        EXPECT_EQ(c.isValid(), c.message == nullptr);
        auto lines = log.lines();
        if (c.message) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].message, c.message);
            EXPECT_EQ(lines[0].tag, "Beacon");
            EXPECT_EQ(lines[0].level, BEACLogLevelVerbose);
        } else {
            EXPECT_TRUE(lines.empty());
        }
    }
}

TEST(BEACCrashDetailRecordsTest, JSONWritesPresentFieldsInOrder) {
    auto thread = std::make_shared<BEACThread>();
    thread->threadId = 3;
    EXPECT_EQ(jsonText(thread->serializeToDictionary()), R"({"id":3,"frames":[]})");

    auto exception = exceptionWithFrame();
    exception->wrapperSdkName = "wrapper";
    exception->stackTrace = "at x";
    exception->innerExceptions = std::vector<std::shared_ptr<BEACException>>{};
    EXPECT_EQ(jsonText(exception->serializeToDictionary()),
              R"({"type":"NSRangeException","stackTrace":"at x","wrapperSdkName":"wrapper",)"
              R"("frames":[{"address":"0x1"}],"innerExceptions":[]})");

    auto f = frame("0x2", 12);
    f->code = "main + 4";
    f->frameClassName = "C";
    f->methodName = "m";
    f->fileName = "a.cpp";
    EXPECT_EQ(jsonText(f->serializeToDictionary()),
              R"({"address":"0x2","code":"main + 4","className":"C","methodName":"m","lineNumber":12,)"
              R"("fileName":"a.cpp"})");

    auto binary = fullBinary();
    EXPECT_EQ(jsonText(binary->serializeToDictionary()),
              R"({"id":"0123456789abcdef0123456789abcdef","startAddress":"0x0000000000400000",)"
              R"("endAddress":"0x0000000000400fff","name":"app","path":"/opt/app/app",)"
              R"("primaryArchitectureId":16777223,"architectureVariantId":3})");
    // The CPU type is an unsigned number, not a signed one that happens to fit.
    EXPECT_EQ(binary->serializeToDictionary().find("primaryArchitectureId")->kind(), plat::Value::Kind::UInt);

    BEACWrapperException wrapper;
    wrapper.modelException = exceptionWithFrame();
    wrapper.processId = 42;
    wrapper.exceptionData = plat::Data::fromString("raw");
    auto dict = wrapper.serializeToDictionary();
    EXPECT_EQ(dict.keys(), (std::vector<std::string>{"modelException", "processId", "exceptionData"}));
    EXPECT_EQ(*dict.find("exceptionData"), plat::Value(plat::Data::fromString("raw")));
}

TEST(BEACCrashDetailRecordsTest, EqualityComparesEveryFieldAbsentOnlyWithAbsent) {
    EXPECT_FALSE(frame("0x1", 5)->isEqual(*frame("0x1")));
    EXPECT_TRUE(frame("0x1", 5)->isEqual(*frame("0x1", 5)));

    auto a = exceptionWithFrame();
    auto b = exceptionWithFrame();
    EXPECT_TRUE(a->isEqual(*b));
    b->frames->push_back(frame("0x2"));
    EXPECT_FALSE(a->isEqual(*b));
    b = exceptionWithFrame();
    b->innerExceptions = std::vector<std::shared_ptr<BEACException>>{};
    EXPECT_FALSE(a->isEqual(*b)) << "an empty list is not an absent one";

    auto t1 = std::make_shared<BEACThread>();
    auto t2 = std::make_shared<BEACThread>();
    t1->exception = exceptionWithFrame();
    EXPECT_FALSE(t1->isEqual(*t2));
    t2->exception = exceptionWithFrame();
    EXPECT_TRUE(t1->isEqual(*t2));
    EXPECT_FALSE(t1->isEqual(*fullBinary()));

    auto bin = fullBinary();
    bin->architectureVariantId = 4;
    EXPECT_FALSE(bin->isEqual(*fullBinary()));

    BEACWrapperException w1;
    BEACWrapperException w2;
    EXPECT_TRUE(w1.isEqual(w1));
    EXPECT_FALSE(w1.isEqual(w2)) << "wrapper exceptions are equal only to themselves";
}

TEST(BEACCrashDetailRecordsTest, ArchivesRoundTripEveryField) {
    auto thread = std::make_shared<BEACThread>();
    thread->threadId = 7;
    thread->name = "worker";
    auto f = frame("0x10", 9);
    f->code = "c";
    f->frameClassName = "K";
    f->methodName = "m";
    f->fileName = "f.cpp";
    thread->frames = std::vector{f, frame("0x20")};
    thread->exception = exceptionWithFrame();
    thread->exception->innerExceptions = std::vector{exceptionWithFrame()};
    thread->exception->wrapperSdkName = "w";
    auto back = roundTrip<BEACThread>(thread);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*thread));
    EXPECT_EQ(*back->frames->at(0)->lineNumber, 9);
    EXPECT_FALSE(back->frames->at(1)->lineNumber);

    auto binary = fullBinary();
    auto binaryBack = roundTrip<BEACBinary>(binary);
    ASSERT_NE(binaryBack, nullptr);
    EXPECT_TRUE(binaryBack->isEqual(*binary));
    EXPECT_EQ(binaryBack->serializeToDictionary().find("primaryArchitectureId")->kind(),
              plat::Value::Kind::UInt);

    auto wrapper = std::make_shared<BEACWrapperException>();
    wrapper->modelException = exceptionWithFrame();
    wrapper->processId = 4242;
    wrapper->exceptionData = plat::Data::fromString(std::string("a\0b", 3));
    auto wrapperBack = roundTrip<BEACWrapperException>(wrapper);
    ASSERT_NE(wrapperBack, nullptr);
    EXPECT_TRUE(wrapperBack->modelException->isEqual(*wrapper->modelException));
    EXPECT_EQ(wrapperBack->processId, 4242);
    EXPECT_EQ(wrapperBack->exceptionData, wrapper->exceptionData);

    // A thread decoded from an archive without "frames" has no list at all.
    auto bare = decodeForged<BEACThread>(
        "BEACThread", [](plat::KeyedArchiver& c) { c.encodeObject(plat::Value(int64_t{1}), "id"); });
    ASSERT_NE(bare, nullptr);
    EXPECT_FALSE(bare->frames.has_value());
    beactest::CapturingLog log;
    EXPECT_FALSE(bare->isValid());
    EXPECT_EQ(log.lines().at(0).message, "BEACThread: \"frames\" is not valid.");
}

TEST(BEACCrashDetailRecordsTest, OldClassNamesAndWrongTypesDecodeSafely) {
    // Written by an earlier version under its old class names.
    auto old = decodeForged<BEACThread>("BCThread", [](plat::KeyedArchiver& c) {
        c.encodeObject(plat::Value(int64_t{5}), "id");
        c.encodeObject(
            plat::Value(plat::Array{
                plat::Value(std::static_pointer_cast<const plat::Object>(std::make_shared<ForgedRecord>(
                    "BCStackFrame",
                    [](plat::KeyedArchiver& f) { f.encodeObject(plat::Value("0xabc"), "address"); })))}),
            "frames");
    });
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->threadId, 5);
    ASSERT_TRUE(old->frames);
    ASSERT_EQ(old->frames->size(), 1u);
    EXPECT_EQ(old->frames->at(0)->address, "0xabc");

    // Values of the wrong kind read as absent rather than as wrong objects.
    auto wrong = decodeForged<BEACThread>("BEACThread", [](plat::KeyedArchiver& c) {
        c.encodeObject(plat::Value("seven"), "id");
        c.encodeObject(plat::Value(plat::Array{plat::Value("not a frame")}), "frames");
        c.encodeObject(plat::Value(int64_t{3}), "exception");
        c.encodeObject(plat::Value(int64_t{3}), "name");
    });
    ASSERT_NE(wrong, nullptr);
    EXPECT_FALSE(wrong->threadId);
    EXPECT_FALSE(wrong->frames);
    EXPECT_EQ(wrong->exception, nullptr);
    EXPECT_FALSE(wrong->name);

    auto wrongBinary = decodeForged<BEACBinary>("BCBinary", [](plat::KeyedArchiver& c) {
        c.encodeBool(true, "primaryArchitectureId");
        c.encodeObject(plat::Value("x"), "architectureVariantId");
    });
    ASSERT_NE(wrongBinary, nullptr);
    EXPECT_FALSE(wrongBinary->primaryArchitectureId);
    EXPECT_FALSE(wrongBinary->architectureVariantId);
}

}  // namespace
