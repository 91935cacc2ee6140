// Feeds arbitrary bytes to the keyed unarchiver, with one registered class
// whose decoder reads every kind of field, as model classes do.
#include <cstdint>
#include <mutex>

#include "platform/foundation/KeyedArchiver.h"

namespace {

class Record : public plat::Coding {
  public:
    std::string className() const override { return "FuzzRecord"; }
    void encodeWithCoder(plat::KeyedArchiver&) const override {}
};

std::shared_ptr<const Record> decodeRecord(plat::KeyedUnarchiver& u) {
    (void)u.decodeString("name");
    (void)u.decodeInt64("count");
    (void)u.decodeBool("flag");
    (void)u.decodeDouble("ratio");
    (void)u.decodeDate("date");
    (void)u.decodeArray("items");
    (void)u.decodeObjectOfClass<Record>("child");
    while (u.decodeObject()) {
    }
    return std::make_shared<Record>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::once_flag once;
    std::call_once(once, [] {
        plat::KeyedUnarchiver::registerClass<Record>("FuzzRecord", &decodeRecord);
        plat::KeyedUnarchiver::setClassForClassName("FuzzRecord", "OldFuzzRecord");
    });
    (void)plat::KeyedUnarchiver::unarchivedObjectWithData(plat::Data(data, size));
    (void)plat::KeyedUnarchiver::unarchivedObjectOfClasses({"FuzzRecord"}, plat::Data(data, size));
    return 0;
}
