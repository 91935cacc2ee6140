// Parsing and writing a ~10 MB JSON document of mixed content, and a small
// event record, into and from Value, side by side with nlohmann::json doing
// the same.
//
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKP_BUILD_BENCH=ON
//   cmake --build build/release --target platform_foundation_bench
//   build/release/bench/foundation/platform_foundation_bench
//       --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "platform/foundation/JSONSerialization.h"

namespace {

// Records of the kind the telemetry and sync layers write: ids, names with
// escapes and non-ASCII text, integers, doubles, booleans, nulls and nesting.
const std::string& document() {
    static const std::string text = [] {
        std::mt19937_64 random(42);
        std::string out = "[";
        const char* words[] = {"alpha",          "b\\u00e9ta", "gamma/delta",
                               "\\\"quoted\\\"", "tab\\there", "\xE6\x97\xA5\xE6\x9C\xAC"};
        for (int i = 0; out.size() < 10'000'000; ++i) {
            if (i)
                out += ',';
            out += "{\"id\":" + std::to_string(random() % 1000000000000ull) + ",\"name\":\"" + words[i % 6] +
                   std::to_string(i) +
                   "\",\"score\":" + std::to_string(static_cast<double>(random() % 100000) / 7.0) +
                   ",\"ok\":" + (i % 3 ? "true" : "false") +
                   ",\"note\":null,\"tags\":[\"a\",\"bb\",\"ccc\"]," +
                   "\"pos\":{\"x\":" + std::to_string(i * 0.25) + ",\"y\":-" + std::to_string(i) + "}}";
        }
        return out + "]";
    }();
    return text;
}

// One event record of the size the telemetry and sync layers read and write
// by the thousand: the per-call cost matters more there than throughput.
const std::string& smallDocument() {
    static const std::string text =
        R"({"id":"5F0C6A52-3E0B-4C8B-9A2E-7D41A1E0C3B9","type":"session.start","timestamp":1733500000.125,)"
        R"("sequence":42,"user":{"id":918273645,"anonymous":false,"locale":"en_GB"},)"
        R"("device":{"model":"x86_64","os":"Linux 6.1","memory":17179869184,"battery":null},)"
        R"("properties":{"screen":"home","duration":12.5,"retries":0,"flags":["beta","dark-mode"]},)"
        R"("path":"\/var\/lib\/app\/events\/2024-12-06.json","note":"caf\u00e9 \"quoted\""})";
    return text;
}

using Document = const std::string& (*)();

void BM_ParseIntoValue(benchmark::State& state, Document doc) {
    const std::string& text = doc();
    for (auto _ : state) {
        auto v = plat::JSONSerialization::JSONObjectWithString(text);
        if (!v)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ParseNlohmann(benchmark::State& state, Document doc) {
    const std::string& text = doc();
    for (auto _ : state) {
        auto v = nlohmann::ordered_json::parse(text);
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_WriteValue(benchmark::State& state, Document doc) {
    plat::Value v = *plat::JSONSerialization::JSONObjectWithString(doc());
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto text = plat::JSONSerialization::stringWithJSONObject(v);
        bytes = text->size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_WriteNlohmann(benchmark::State& state, Document doc) {
    auto v = nlohmann::ordered_json::parse(doc());
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = v.dump();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// The 10 MB mixed document, then a small record like one event or log entry.
BENCHMARK_CAPTURE(BM_ParseIntoValue, large, document)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ParseNlohmann, large, document)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteValue, large, document)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteNlohmann, large, document)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ParseIntoValue, small, smallDocument);
BENCHMARK_CAPTURE(BM_ParseNlohmann, small, smallDocument);
BENCHMARK_CAPTURE(BM_WriteValue, small, smallDocument);
BENCHMARK_CAPTURE(BM_WriteNlohmann, small, smallDocument);

}  // namespace

BENCHMARK_MAIN();
