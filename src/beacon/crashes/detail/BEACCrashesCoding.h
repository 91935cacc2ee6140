// Shared JSON and keyed-archive helpers of the crash records: unsigned
// numbers, dates and arrays of records. Decoding checks every type: a value
// of the wrong kind reads as absent, never as a wrong object.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACSerializableObject.h"
#include "beacon/core/BEACUtility.h"

namespace beac::crashes::detail {

template <class T>
using RecordList = std::optional<std::vector<std::shared_ptr<T>>>;

inline void setNumber(plat::Dictionary& dict, const char* key, const std::optional<int64_t>& value) {
    if (value)
        dict.set(key, plat::Value(*value));
}

inline void setUnsigned(plat::Dictionary& dict, const char* key, const std::optional<uint64_t>& value) {
    if (value)
        dict.set(key, plat::Value(*value));
}

inline void encodeUnsigned(plat::KeyedArchiver& coder, const std::optional<uint64_t>& value,
                           const char* key) {
    coder.encodeObject(value ? std::optional<plat::Value>(plat::Value(*value)) : std::nullopt, key);
}

// Absent values are encoded as nil entries, so every key is present.
inline void encodeSigned(plat::KeyedArchiver& coder, const std::optional<int64_t>& value, const char* key) {
    coder.encodeObject(value ? std::optional<plat::Value>(plat::Value(*value)) : std::nullopt, key);
}

inline std::optional<uint64_t> decodeUnsigned(plat::KeyedUnarchiver& coder, const char* key) {
    auto value = coder.decodeObject(key);
    if (!value || !value->isNumber() || value->isBool())
        return std::nullopt;
    return value->unsignedLongLongValue();
}

inline std::optional<int64_t> decodeSigned(plat::KeyedUnarchiver& coder, const char* key) {
    auto value = coder.decodeObject(key);
    if (!value || !value->isNumber() || value->isBool())
        return std::nullopt;
    return value->longLongValue();
}

inline void encodeDate(plat::KeyedArchiver& coder, const std::optional<plat::Date>& value, const char* key) {
    coder.encodeObject(value ? std::optional<plat::Value>(plat::Value(*value)) : std::nullopt, key);
}

template <class T>
void setRecord(plat::Dictionary& dict, const char* key, const std::shared_ptr<T>& record) {
    if (record)
        dict.set(key, plat::Value(record->serializeToDictionary()));
}

// An array of each record's dictionary; present whenever the list is, so an
// empty list gives an empty JSON array.
template <class T>
void setRecords(plat::Dictionary& dict, const char* key, const RecordList<T>& records) {
    if (!records)
        return;
    plat::Array array;
    array.reserve(records->size());
    for (const auto& record : *records)
        array.push_back(record ? plat::Value(record->serializeToDictionary()) : plat::Value());
    dict.set(key, plat::Value(std::move(array)));
}

template <class T>
void encodeRecord(plat::KeyedArchiver& coder, const std::shared_ptr<T>& record, const char* key) {
    coder.encodeObject(record, key);
}

template <class T>
void encodeRecords(plat::KeyedArchiver& coder, const RecordList<T>& records, const char* key) {
    if (!records) {
        coder.encodeObject(std::nullopt, key);
        return;
    }
    plat::Array array;
    array.reserve(records->size());
    for (const auto& record : *records)
        array.push_back(plat::Value(std::static_pointer_cast<const plat::Object>(record)));
    coder.encodeObject(plat::Value(std::move(array)), key);
}

template <class T>
std::shared_ptr<T> decodeRecord(plat::KeyedUnarchiver& coder, const char* key) {
    auto decoded = coder.decodeObjectOfClass<T>(key);
    return decoded ? std::const_pointer_cast<T>(decoded) : nullptr;
}

// The whole list reads as absent when any element is not a T.
template <class T>
RecordList<T> decodeRecords(plat::KeyedUnarchiver& coder, const char* key) {
    auto array = coder.decodeArray(key);
    if (!array)
        return std::nullopt;
    std::vector<std::shared_ptr<T>> records;
    records.reserve(array->size());
    for (const auto& element : *array) {
        auto record = element.asObjectOf<T>();
        if (!record)
            return std::nullopt;
        records.push_back(std::const_pointer_cast<T>(record));
    }
    return records;
}

// Element by element with isEqual; absent matches only absent.
template <class T>
bool sameRecords(const RecordList<T>& a, const RecordList<T>& b) {
    if (!a || !b)
        return !a && !b;
    if (a->size() != b->size())
        return false;
    for (std::size_t i = 0; i < a->size(); ++i)
        if (!beac::detail::sameObject((*a)[i], (*b)[i]))
            return false;
    return true;
}

}  // namespace beac::crashes::detail
