#include "platform/cloudkit/detail/FieldCodec.h"

#include <cstring>

#include "platform/cloudkit/Types.h"

namespace plat::cloudkit::detail {

namespace {

void putU64(std::string& out, uint64_t v) {
    // LEB128: small numbers take one byte.
    do {
        uint8_t byte = v & 0x7f;
        v >>= 7;
        out.push_back(static_cast<char>(byte | (v ? 0x80 : 0)));
    } while (v);
}

void putText(std::string& out, std::string_view text) {
    putU64(out, text.size());
    out.append(text);
}

void putRaw(std::string& out, const void* p, std::size_t n) {
    out.append(static_cast<const char*>(p), n);
}

bool put(std::string& out, const Value& v, int depth) {
    if (depth > 32)
        return false;
    switch (v.kind()) {
        case Value::Kind::Null:
            out.push_back('n');
            return true;
        case Value::Kind::Bool:
            out.push_back('b');
            out.push_back(v.boolValue() ? 1 : 0);
            return true;
        case Value::Kind::Int: {
            out.push_back('i');
            int64_t i = v.longLongValue();
            putRaw(out, &i, sizeof i);
            return true;
        }
        case Value::Kind::UInt: {
            out.push_back('u');
            uint64_t u = v.unsignedLongLongValue();
            putRaw(out, &u, sizeof u);
            return true;
        }
        case Value::Kind::Double: {
            out.push_back('d');
            double d = v.doubleValue();
            putRaw(out, &d, sizeof d);
            return true;
        }
        case Value::Kind::String:
            out.push_back('s');
            putText(out, *v.asString());
            return true;
        case Value::Kind::Data: {
            out.push_back('x');
            const Data* data = v.asData();
            putText(out, std::string_view(reinterpret_cast<const char*>(data->bytes()), data->length()));
            return true;
        }
        case Value::Kind::Date: {
            out.push_back('t');
            double d = v.asDate()->timeIntervalSinceReferenceDate();
            putRaw(out, &d, sizeof d);
            return true;
        }
        case Value::Kind::Array: {
            out.push_back('a');
            putU64(out, v.asArray()->size());
            for (const Value& item : *v.asArray())
                if (!put(out, item, depth + 1))
                    return false;
            return true;
        }
        case Value::Kind::Object: {
            if (auto ref = v.asObjectOf<Reference>()) {
                out.push_back('r');
                putText(out, ref->recordID().recordName());
                putText(out, ref->recordID().zoneID().zoneName());
                putText(out, ref->recordID().zoneID().ownerName());
                out.push_back(static_cast<char>(ref->action()));
                return true;
            }
            if (auto asset = v.asObjectOf<Asset>()) {
                out.push_back('f');
                putText(out, asset->fileURL());
                return true;
            }
            return false;
        }
        default:
            return false;
    }
}

struct Reader {
    std::string_view in;
    bool ok = true;

    uint64_t u64() {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (in.empty())
                break;
            uint8_t byte = static_cast<uint8_t>(in.front());
            in.remove_prefix(1);
            v |= uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return v;
        }
        ok = false;
        return 0;
    }
    std::string text() {
        uint64_t n = u64();
        if (!ok || n > in.size()) {
            ok = false;
            return {};
        }
        std::string s(in.substr(0, n));
        in.remove_prefix(n);
        return s;
    }
    template <class T>
    T raw() {
        T v{};
        if (in.size() < sizeof v) {
            ok = false;
            return v;
        }
        std::memcpy(&v, in.data(), sizeof v);
        in.remove_prefix(sizeof v);
        return v;
    }
    char tag() {
        if (in.empty()) {
            ok = false;
            return 0;
        }
        char c = in.front();
        in.remove_prefix(1);
        return c;
    }

    Value value(int depth) {
        if (depth > 32) {
            ok = false;
            return Value();
        }
        switch (tag()) {
            case 'n':
                return Value();
            case 'b':
                return Value(tag() != 0);
            case 'i':
                return Value(raw<int64_t>());
            case 'u':
                return Value(raw<uint64_t>());
            case 'd':
                return Value(raw<double>());
            case 's':
                return Value(text());
            case 'x': {
                std::string bytes = text();
                return Value(Data(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
            }
            case 't':
                return Value(Date(raw<double>()));
            case 'a': {
                uint64_t n = u64();
                if (!ok || n > in.size()) {
                    ok = false;
                    return Value();
                }
                Array items;
                items.reserve(n);
                for (uint64_t i = 0; i < n && ok; ++i)
                    items.push_back(value(depth + 1));
                return Value(std::move(items));
            }
            case 'r': {
                std::string name = text();
                std::string zone = text();
                std::string owner = text();
                char action = tag();
                if (action != 0 && action != 1)
                    ok = false;
                return Value(Reference::make(RecordID(name, RecordZoneID(zone, owner)),
                                             static_cast<ReferenceAction>(action)));
            }
            case 'f':
                return Value(Asset::make(text()));
            default:
                ok = false;
                return Value();
        }
    }
};

}  // namespace

std::optional<std::string> encodeFields(const Dictionary& fields) {
    std::string out;
    putU64(out, fields.size());
    for (const auto& [key, value] : fields) {
        putText(out, key);
        if (!put(out, value, 0))
            return std::nullopt;
    }
    return out;
}

std::optional<Dictionary> decodeFields(std::string_view blob) {
    Reader r{blob};
    uint64_t n = r.u64();
    if (!r.ok || n > blob.size())
        return std::nullopt;
    std::vector<Dictionary::Entry> entries;
    entries.reserve(n);
    for (uint64_t i = 0; i < n && r.ok; ++i) {
        std::string key = r.text();
        Value v = r.value(0);
        entries.emplace_back(std::move(key), std::move(v));
    }
    if (!r.ok || !r.in.empty())
        return std::nullopt;
    return Dictionary::fromEntries(std::move(entries));
}

std::optional<std::string> encodeValue(const Value& value) {
    std::string out;
    if (!put(out, value, 0))
        return std::nullopt;
    return out;
}

std::optional<Value> decodeValue(std::string_view blob) {
    Reader r{blob};
    Value v = r.value(0);
    if (!r.ok || !r.in.empty())
        return std::nullopt;
    return v;
}

}  // namespace plat::cloudkit::detail
