// Stack frames, exceptions, threads, binaries and wrapper exceptions: JSON,
// validity messages, equality and keyed archives (old names, wrong types).
#include <functional>

#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "CrashesTestSupport.h"
#include "beacon/crashes/BEACCrashDetailRecords.h"

namespace {

using crashtest::expectValidity;
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

TEST(BEACCrashDetailRecordsTest, ValidityStopsAtFirstMissingFieldWithItsWord) {
    BEACThread thread;
    expectValidity([&] { return thread.isValid(); }, "BEACThread: \"threadId\" is not valid.");
    thread.threadId = 1;
    expectValidity([&] { return thread.isValid(); }, "BEACThread: \"frames\" is not valid.");
    thread.frames.reset();
    expectValidity([&] { return thread.isValid(); }, "BEACThread: \"frames\" is not valid.");
    thread.frames = std::vector{frame("0x1")};
    expectValidity([&] { return thread.isValid(); }, nullptr);

    auto exception = exceptionWithFrame();
    expectValidity([&] { return exception->isValid(); }, nullptr);  // no message needed
    exception->frames->clear();
    expectValidity([&] { return exception->isValid(); }, "BEACException: \"frames\" is not valid.");
    exception->type.reset();
    expectValidity([&] { return exception->isValid(); }, "BEACException: \"type\" is not valid.");

    auto binary = fullBinary();
    binary->primaryArchitectureId.reset();
    expectValidity([&] { return binary->isValid(); }, nullptr);
    binary->path.reset();
    expectValidity([&] { return binary->isValid(); }, "BEACBinary: \"path\" is not valid.");
    binary->startAddress.reset();
    expectValidity([&] { return binary->isValid(); }, "BEACBinary: \"startAddress\" is not valid.");
}

TEST(BEACCrashDetailRecordsTest, JSONWritesPresentFieldsInOrder) {
    auto thread = std::make_shared<BEACThread>();
    thread->threadId = 3;
    EXPECT_EQ(jsonText(thread->serializeToDictionary()), R"({"id":3,"frames":[]})");

    auto exception = exceptionWithFrame();
    exception->wrapperSdkName = "wrapper";
    exception->frames->at(0)->frameClassName = "C";
    exception->frames->at(0)->lineNumber = 12;
    exception->innerExceptions = std::vector<std::shared_ptr<BEACException>>{};
    EXPECT_EQ(jsonText(exception->serializeToDictionary()),
              R"({"type":"NSRangeException","wrapperSdkName":"wrapper",)"
              R"("frames":[{"address":"0x1","className":"C","lineNumber":12}],"innerExceptions":[]})");

    auto binary = fullBinary();
    EXPECT_EQ(jsonText(binary->serializeToDictionary()),
              R"({"id":"0123456789abcdef0123456789abcdef","startAddress":"0x0000000000400000",)"
              R"("endAddress":"0x0000000000400fff","name":"app","path":"/opt/app/app",)"
              R"("primaryArchitectureId":16777223,"architectureVariantId":3})");

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
    b->innerExceptions = std::vector<std::shared_ptr<BEACException>>{};
    EXPECT_FALSE(a->isEqual(*b)) << "an empty list is not an absent one";

    auto t1 = std::make_shared<BEACThread>();
    auto t2 = std::make_shared<BEACThread>();
    t1->exception = exceptionWithFrame();
    EXPECT_FALSE(t1->isEqual(*t2));
    t2->exception = exceptionWithFrame();
    EXPECT_TRUE(t1->isEqual(*t2));
    EXPECT_FALSE(t1->isEqual(*fullBinary()));

    BEACWrapperException w1;
    BEACWrapperException w2;
    EXPECT_TRUE(w1.isEqual(w1));
    EXPECT_FALSE(w1.isEqual(w2)) << "wrapper exceptions are equal only to themselves";
}

TEST(BEACCrashDetailRecordsTest, ArchivesRoundTripAndDecodeSafely) {
    auto thread = std::make_shared<BEACThread>();
    thread->threadId = 7;
    thread->name = "worker";
    thread->frames = std::vector{frame("0x10", 9), frame("0x20")};
    thread->exception = exceptionWithFrame();
    thread->exception->innerExceptions = std::vector{exceptionWithFrame()};
    auto back = roundTrip<BEACThread>(thread);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*thread));
    auto binaryBack = roundTrip<BEACBinary>(fullBinary());
    ASSERT_NE(binaryBack, nullptr);
    EXPECT_TRUE(binaryBack->isEqual(*fullBinary()));
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

    // Written by an earlier version under old class names, without "frames".
    auto old = decodeForged<BEACThread>("BCThread", [](plat::KeyedArchiver& c) {
        c.encodeObject(plat::Value(int64_t{5}), "id");
        c.encodeObject(
            plat::Value(std::static_pointer_cast<const plat::Object>(std::make_shared<ForgedRecord>(
                "BCException", [](plat::KeyedArchiver& e) { e.encodeObject(plat::Value("T"), "type"); }))),
            "exception");
    });
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->threadId, 5);
    ASSERT_NE(old->exception, nullptr);
    EXPECT_EQ(old->exception->type, "T");
    EXPECT_FALSE(old->frames.has_value()) << "decoding does not make the empty list a new thread has";

    // Values of the wrong kind read as absent rather than as wrong objects.
    auto wrong = decodeForged<BEACThread>("BEACThread", [](plat::KeyedArchiver& c) {
        c.encodeObject(plat::Value("seven"), "id");
        c.encodeObject(plat::Value(plat::Array{plat::Value("not a frame")}), "frames");
        c.encodeObject(plat::Value(int64_t{3}), "exception");
    });
    ASSERT_NE(wrong, nullptr);
    EXPECT_FALSE(wrong->threadId);
    EXPECT_FALSE(wrong->frames);
    EXPECT_EQ(wrong->exception, nullptr);
    auto wrongBinary = decodeForged<BEACBinary>("BCBinary", [](plat::KeyedArchiver& c) {
        c.encodeObject(plat::Value(true), "primaryArchitectureId");
    });
    ASSERT_NE(wrongBinary, nullptr);
    EXPECT_FALSE(wrongBinary->primaryArchitectureId);
}

}  // namespace
