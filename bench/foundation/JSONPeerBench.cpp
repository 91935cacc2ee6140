// Reading JSON into Value and writing it back, measured against RapidJSON's
// DOM (default flags) and simdjson's DOM in the same run, on three shapes of
// document: number-heavy (nested [lon, lat] pairs), string-heavy (escapes and
// non-ASCII text) and object-heavy (records keyed by ids); reading also on
// the number-heavy one with seventeen-digit doubles.
//
// Each iteration times Value and its peers back to back on the same text, so
// that the ratios reported as counters ("vs_rapidjson", "vs_simdjson") hold
// even on a loaded machine. Parsing counts destroying the result. Goal: both
// parse and write ratios against RapidJSON at or below 1.
//
//   cmake --preset release && cmake --build --preset release --target platform_foundation_bench -j4
//   build/release/bench/foundation/platform_foundation_bench --benchmark_filter=Peer
#include <benchmark/benchmark.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>
#include <chrono>
#include <random>
#include <string>

#include "platform/foundation/JSONSerialization.h"

// ~2 MB of polygons as numberHeavy() with every double at full precision,
// made in a file of its own (JSONPeerDocuments.cpp): the peers' parsers are
// compiled in this one, and how the compiler inlines them depends on how much
// else it holds, which moved RapidJSON's time by a tenth.
const std::string& fullPrecisionNumbers();

namespace {

using Clock = std::chrono::steady_clock;

std::string fixed(double d, int digits) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, d);
    return buffer;
}

// ~2 MB of polygons: rings of [lon, lat] pairs three levels deep.
const std::string& numberHeavy() {
    static const std::string text = [] {
        std::mt19937_64 random(7);
        std::uniform_real_distribution<double> lon(-180, 180), lat(-90, 90);
        std::string out = R"({"type":"MultiPolygon","coordinates":[)";
        for (int polygon = 0; out.size() < 2'000'000; ++polygon) {
            out += polygon ? ",[[" : "[[";
            for (int point = 0; point < 64; ++point)
                out += (point ? ",[" : "[") + fixed(lon(random), 6) + "," + fixed(lat(random), 6) + "]";
            out += "]]";
        }
        return out + "]}";
    }();
    return text;
}

// ~0.6 MB of messages with escapes and text in several scripts.
const std::string& stringHeavy() {
    static const std::string text = [] {
        const char* pieces[] = {"plain words of a log line ",
                                "tab\\there and \\\"quotes\\\" ",
                                "caf\\u00e9 na\\u00efve ",
                                "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE6\x96\x87 ",
                                "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 ",
                                "path\\/to\\/file\\n"};
        std::string out = "[";
        for (int i = 0; out.size() < 600'000; ++i) {
            if (i)
                out += ',';
            out += '"';
            for (int j = 0; j < 1 + i % 5; ++j)
                out += pieces[(i + j) % 6];
            out += std::to_string(i) + '"';
        }
        return out + "]";
    }();
    return text;
}

// ~1.7 MB of records keyed by ids.
const std::string& objectHeavy() {
    static const std::string text = [] {
        std::mt19937_64 random(11);
        std::string out = "{";
        for (int i = 0; out.size() < 1'700'000; ++i) {
            if (i)
                out += ',';
            out +=
                "\"id" + std::to_string(100000 + i) + "\":{\"name\":\"user" + std::to_string(i) +
                "\",\"age\":" + std::to_string(random() % 90) + ",\"active\":" + (i % 2 ? "true" : "false") +
                ",\"group\":null,\"rank\":" + std::to_string(random() % 1000) + ",\"address\":{\"city\":\"c" +
                std::to_string(i % 50) + "\",\"zip\":" + std::to_string(random() % 100000) + "}}";
        }
        return out + "}";
    }();
    return text;
}

using Document = const std::string& (*)();

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_PeerParse(benchmark::State& state, Document doc) {
    const std::string& text = doc();
    simdjson::dom::parser simd;
    double ours = 0, rapid = 0, simdTime = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        {
            auto v = plat::JSONSerialization::JSONObjectWithString(text);
            if (!v)
                state.SkipWithError("parse failed");
            benchmark::DoNotOptimize(v);
        }
        auto t1 = Clock::now();
        {
            rapidjson::Document d;
            d.Parse(text.data(), text.size());
            if (d.HasParseError())
                state.SkipWithError("rapidjson parse failed");
            benchmark::DoNotOptimize(d);
        }
        auto t2 = Clock::now();
        {
            simdjson::dom::element root;
            if (simd.parse(text.data(), text.size()).get(root))
                state.SkipWithError("simdjson parse failed");
            benchmark::DoNotOptimize(root);
        }
        auto t3 = Clock::now();
        ours += seconds(t1 - t0);
        rapid += seconds(t2 - t1);
        simdTime += seconds(t3 - t2);
        state.SetIterationTime(seconds(t1 - t0));
    }
    state.counters["vs_rapidjson"] = ours / rapid;
    state.counters["vs_simdjson"] = ours / simdTime;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_PeerWrite(benchmark::State& state, Document doc) {
    const std::string& text = doc();
    plat::Value v = *plat::JSONSerialization::JSONObjectWithString(text);
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    double ours = 0, rapid = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        {
            auto out = plat::JSONSerialization::stringWithJSONObject(v);
            benchmark::DoNotOptimize(out);
        }
        auto t1 = Clock::now();
        {
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
            d.Accept(writer);
            std::string out(buffer.GetString(), buffer.GetSize());
            benchmark::DoNotOptimize(out);
        }
        auto t2 = Clock::now();
        ours += seconds(t1 - t0);
        rapid += seconds(t2 - t1);
        state.SetIterationTime(seconds(t1 - t0));
    }
    state.counters["vs_rapidjson"] = ours / rapid;
}

// One parse and teardown each, after one to warm up, out of line so that
// callgrind counts exactly them (instructions are steadier than times on a
// loaded machine):
//   valgrind --tool=callgrind --toggle-collect='*countedParse*'
//     build/release/bench/foundation/platform_foundation_bench --benchmark_filter=PeerCount/numbers_ours
// (one command line).
[[gnu::noinline]] void countedParseOurs(const std::string& text) {
    auto v = plat::JSONSerialization::JSONObjectWithString(text);
    benchmark::DoNotOptimize(v);
}
[[gnu::noinline]] void countedParseRapidJSON(const std::string& text) {
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    benchmark::DoNotOptimize(d);
}

void BM_PeerCount(benchmark::State& state, Document doc, void (*parse)(const std::string&)) {
    const std::string& text = doc();
    {
        auto warm = plat::JSONSerialization::JSONObjectWithString(text);
        rapidjson::Document d;
        d.Parse(text.data(), text.size());
    }
    for (auto _ : state)
        parse(text);
}

BENCHMARK_CAPTURE(BM_PeerParse, numbers, numberHeavy)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PeerParse, numbers_full_precision, fullPrecisionNumbers)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PeerParse, strings, stringHeavy)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PeerParse, objects, objectHeavy)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PeerWrite, numbers, numberHeavy)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PeerWrite, strings, stringHeavy)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PeerWrite, objects, objectHeavy)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_PeerCount, numbers_ours, numberHeavy, countedParseOurs)->Iterations(1);
BENCHMARK_CAPTURE(BM_PeerCount, numbers_rapidjson, numberHeavy, countedParseRapidJSON)->Iterations(1);
BENCHMARK_CAPTURE(BM_PeerCount, numbers_full_precision_ours, fullPrecisionNumbers, countedParseOurs)
    ->Iterations(1);
BENCHMARK_CAPTURE(BM_PeerCount, numbers_full_precision_rapidjson, fullPrecisionNumbers, countedParseRapidJSON)
    ->Iterations(1);
BENCHMARK_CAPTURE(BM_PeerCount, strings_ours, stringHeavy, countedParseOurs)->Iterations(1);
BENCHMARK_CAPTURE(BM_PeerCount, strings_rapidjson, stringHeavy, countedParseRapidJSON)->Iterations(1);
BENCHMARK_CAPTURE(BM_PeerCount, objects_ours, objectHeavy, countedParseOurs)->Iterations(1);
BENCHMARK_CAPTURE(BM_PeerCount, objects_rapidjson, objectHeavy, countedParseRapidJSON)->Iterations(1);

}  // namespace
