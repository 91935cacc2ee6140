// The two ways change values come in from other machines: the stored form (a
// keyed archive, in the event store and in binary event files) and values set
// field by field from the dictionaries of JSON event files. Neither may crash;
// whatever is read must archive and unarchive to equal values.
#include <cstdint>
#include <cstdlib>

#include "platform/foundation/JSONSerialization.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

namespace {

void checkRoundTrip(const std::vector<SYNPropertyChangeValue>& values) {
    for (const auto& value : values) {
        (void)value.description();
        for (const char* key : {"type", "propertyName", "value", "filename", "relatedIdentifier",
                                "addedIdentifiers", "removedIdentifiers", "movedIdentifiersByIndex"})
            (void)value.valueForKey(key);
    }
    auto archived = SYNArchivePropertyChangeValues(values);
    if (!archived)
        return;  // values that hold what an archive cannot (unarchived objects of other classes)
    auto back = SYNUnarchivePropertyChangeValues(*archived);
    if (!back || back->size() != values.size())
        std::abort();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!(*back)[i].isEqual(values[i]))
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const plat::Data bytes(data, size);
    if (auto values = SYNUnarchivePropertyChangeValues(bytes))
        checkRoundTrip(*values);

    auto json = plat::JSONSerialization::JSONObjectWithData(bytes);
    const plat::Array* items = json ? json->asArray() : nullptr;
    if (items == nullptr)
        return 0;
    std::vector<SYNPropertyChangeValue> values;
    for (const auto& item : *items) {
        const plat::Dictionary* fields = item.asDictionary();
        if (fields == nullptr)
            continue;
        SYNPropertyChangeValue value(SYNPropertyChangeTypeAttribute, "");
        for (const auto& [key, field] : *fields)
            value.setValueForKey(field.isNull() ? std::nullopt : std::optional<plat::Value>(field), key);
        values.push_back(std::move(value));
    }
    checkRoundTrip(values);
    return 0;
}
