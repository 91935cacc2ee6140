// Feeds arbitrary bytes to the JSON value library: parsing, lookups through
// every member, both text outputs, merging, comparison and a coding round
// trip must neither crash nor misbehave, whatever the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "json/JSON.h"
#include "json/ValueCoder.h"
#include "platform/foundation/JSONSerialization.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

// Visits every element once, reading it back by key and by index.
void walk(const json::JSON& j, int depth) {
    if (depth > 64)
        return;
    int64_t position = 0;
    for (const auto& [key, value] : j) {
        json::JSON again = j.type() == json::Type::Array ? j[position] : j[key];
        check(again.type() == value.type());
        check(again.exists());
        (void)value.stringValue();
        (void)value.int8Value();
        (void)value.doubleValue();
        (void)value.boolValue();
        (void)value.optionalURL();
        walk(value, depth + 1);
        ++position;
    }
    check(j[{"\x01missing", 0}].error().has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plat::Data bytes(data, size);
    plat::Result<json::JSON> parsed = json::JSON::create(bytes, plat::JSONReadingFragmentsAllowed);
    json::JSON doc = parsed.ok() ? parsed.value() : json::JSON(bytes);
    walk(doc, 0);

    // Whatever the own writer produces must parse back.
    json::WritingOptions own{{json::WritingOptionsKeys::CastNilToNSNull, plat::Value(true)},
                             {json::WritingOptionsKeys::MaxObjextDepth, plat::Value(600)}};
    if (doc.type() == json::Type::Array || doc.type() == json::Type::Dictionary) {
        std::optional<std::string> text = doc.rawString(own);
        if (text)
            check(json::JSON::create(plat::Data::fromString(*text)).ok());
        plat::Result<plat::Data> raw = doc.rawData();
        if (raw.ok()) {
            plat::Result<json::JSON> back = json::JSON::create(raw.value());
            check(back.ok() && back.value() == doc);
        }
    }
    (void)doc.description();

    json::JSON merged = doc;
    (void)merged.merge(doc);
    check(doc == doc || doc.type() == json::Type::Unknown);

    json::ValueEncoder encoder;
    check(doc.encode(encoder) == nullptr);
    json::ValueDecoder decoder(encoder.value());
    (void)json::JSON::decode(decoder);
    return 0;
}
