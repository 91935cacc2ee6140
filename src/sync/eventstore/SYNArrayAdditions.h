// The framework's helpers on arrays (std::vector): enumeration in batches,
// enumeration with a stop flag, mapping and filtering, all in order.
//
// Pure functions over the caller's vector: they hold no state, and the vector
// must not change while they run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <type_traits>
#include <vector>

// Calls block(batch, batchesStillToCome, stop) with consecutive sub-ranges of
// at most batchSize elements, in order, until every element was handed out or
// the block sets stop. A batch size of 0 hands everything out as one batch.
// Nothing is called for an empty vector.
template <class T, class Block>
void syn_enumerateObjectsInBatchesWithBatchSize(const std::vector<T>& objects, std::size_t batchSize,
                                                Block&& block) {
    if (objects.empty()) {
        return;
    }
    const std::size_t size = batchSize == 0 ? objects.size() : batchSize;
    const std::size_t batches = (objects.size() + size - 1) / size;
    for (std::size_t batch = 0; batch < batches; ++batch) {
        const std::size_t first = batch * size;
        const std::size_t count = std::min(size, objects.size() - first);
        bool stop = false;
        block(std::span<const T>(objects.data() + first, count), batches - batch - 1, stop);
        if (stop) {
            return;
        }
    }
}

// Calls block(object, index, stop) for each element in order until the block
// sets stop. The draining interval bounds how much temporary memory piles up
// where the platform collects it in pools; here temporaries die with each
// call, so it only documents the caller's intent.
template <class T, class Block>
void syn_enumerateObjectsDrainingEveryIterations(const std::vector<T>& objects, std::size_t /*iterations*/,
                                                 Block&& block) {
    for (std::size_t index = 0; index < objects.size(); ++index) {
        bool stop = false;
        block(objects[index], index, stop);
        if (stop) {
            return;
        }
    }
}

// The block's result for each element, in order.
template <class T, class Transform>
auto syn_arrayByTransformingObjectsWithBlock(const std::vector<T>& objects, Transform&& transform) {
    using Result = std::decay_t<std::invoke_result_t<Transform&, const T&>>;
    std::vector<Result> results;
    results.reserve(objects.size());
    for (const auto& object : objects) {
        results.push_back(transform(object));
    }
    return results;
}

// The elements for which the block returns true, in order.
template <class T, class Predicate>
std::vector<T> syn_arrayByFilteringWithBlock(const std::vector<T>& objects, Predicate&& predicate) {
    std::vector<T> results;
    for (const auto& object : objects) {
        if (predicate(object)) {
            results.push_back(object);
        }
    }
    return results;
}
