// Parsing a 10 MB document and reading every leaf by its path, with
// json::JSON and, side by side, nlohmann::json doing the same work.
//
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKP_BUILD_BENCH=ON
//   cmake --build build/release --target json_bench && build/release/bench/json/json_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

#include "json/JSON.h"
#include "platform/foundation/JSONSerialization.h"

namespace {

constexpr std::size_t kDocumentBytes = 10 * 1024 * 1024;

// A deterministic pseudo-random sequence (a linear congruential generator).
class Sequence {
  public:
    uint32_t next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state_ >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }

  private:
    uint64_t state_ = 42;
};

void appendRecord(std::string& out, int id, Sequence& seq) {
    static const char* const kWords[] = {"alpha",   "beta", "gamma", "delta",
                                         "epsilon", "zeta", "eta",   "theta"};
    out += "{\"id\":" + std::to_string(id);
    out += ",\"name\":\"user-" + std::to_string(seq.next()) + "\"";
    out += ",\"email\":\"" + std::string(kWords[seq.below(8)]) + std::to_string(id) + "@example.com\"";
    out += ",\"active\":" + std::string(seq.below(2) ? "true" : "false");
    out += ",\"score\":" + std::to_string(seq.below(100000) / 100.0);
    out += ",\"balance\":" + std::to_string(int64_t{seq.next()} * 1000 - 2000000000000LL);
    out += ",\"tags\":[";
    for (uint32_t t = 0, n = 1 + seq.below(5); t < n; ++t) {
        if (t)
            out += ',';
        out += "\"" + std::string(kWords[seq.below(8)]) + "\"";
    }
    out += "],\"address\":{\"street\":\"" + std::to_string(seq.below(999)) + " Main Street\",\"city\":\"" +
           kWords[seq.below(8)] + "ville\",\"zip\":\"" + std::to_string(10000 + seq.below(89999)) +
           "\",\"geo\":{\"lat\":" + std::to_string(seq.below(180000) / 1000.0 - 90) +
           ",\"lng\":" + std::to_string(seq.below(360000) / 1000.0 - 180) + "}}";
    out += ",\"history\":[";
    for (uint32_t h = 0, n = seq.below(6); h < n; ++h) {
        if (h)
            out += ',';
        out += "{\"ts\":" + std::to_string(1700000000 + seq.below(10000000)) +
               ",\"amount\":" + std::to_string(seq.below(1000000) / 100.0) + ",\"note\":null}";
    }
    out += "]}";
}

const std::string& documentText() {
    static const std::string text = [] {
        std::string out = "{\"version\":3,\"records\":[";
        Sequence seq;
        for (int id = 0; out.size() < kDocumentBytes; ++id) {
            if (id)
                out += ',';
            appendRecord(out, id, seq);
        }
        out += "]}";
        return out;
    }();
    return text;
}

using Step = std::variant<std::size_t, std::string>;
using Path = std::vector<Step>;

void collectLeaves(const nlohmann::json& j, Path& prefix, std::vector<Path>& out) {
    if (j.is_object()) {
        for (auto it = j.begin(); it != j.end(); ++it) {
            prefix.emplace_back(it.key());
            collectLeaves(it.value(), prefix, out);
            prefix.pop_back();
        }
    } else if (j.is_array()) {
        for (std::size_t i = 0; i < j.size(); ++i) {
            prefix.emplace_back(i);
            collectLeaves(j[i], prefix, out);
            prefix.pop_back();
        }
    } else {
        out.push_back(prefix);
    }
}

const std::vector<Path>& leafPaths() {
    static const std::vector<Path> paths = [] {
        std::vector<Path> out;
        Path prefix;
        collectLeaves(nlohmann::json::parse(documentText()), prefix, out);
        return out;
    }();
    return paths;
}

const std::vector<json::JSONPath>& jsonPaths() {
    static const std::vector<json::JSONPath> paths = [] {
        std::vector<json::JSONPath> out;
        for (const Path& p : leafPaths()) {
            json::JSONPath path;
            for (const Step& s : p) {
                if (s.index() == 0) {
                    path.emplace_back(std::get<0>(s));
                } else {
                    path.emplace_back(std::get<1>(s));
                }
            }
            out.push_back(std::move(path));
        }
        return out;
    }();
    return paths;
}

// Sums what every leaf holds, so that no read can be skipped.
double readAllLeaves(const json::JSON& doc) {
    double sum = 0;
    for (const json::JSONPath& path : jsonPaths()) {
        json::JSON leaf = doc[path];
        switch (leaf.type()) {
            case json::Type::Number:
                sum += leaf.doubleValue();
                break;
            case json::Type::String:
                sum += static_cast<double>(leaf.object().asString()->size());
                break;
            case json::Type::Bool:
                sum += leaf.object().rawBool() ? 1 : 0;
                break;
            default:
                sum += 0.5;
        }
    }
    return sum;
}

double readAllLeaves(const nlohmann::json& doc) {
    double sum = 0;
    for (const Path& path : leafPaths()) {
        const nlohmann::json* j = &doc;
        for (const Step& s : path) {
            j = s.index() == 0 ? &j->at(std::get<0>(s)) : &j->at(std::get<1>(s));
        }
        if (j->is_number()) {
            sum += j->get<double>();
        } else if (j->is_string()) {
            sum += static_cast<double>(j->get_ref<const std::string&>().size());
        } else if (j->is_boolean()) {
            sum += j->get<bool>() ? 1 : 0;
        } else {
            sum += 0.5;
        }
    }
    return sum;
}

void setCounters(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * documentText().size()));
    state.counters["leaves"] = static_cast<double>(leafPaths().size());
}

void BM_ParseAndReadAll_JSON(benchmark::State& state) {
    plat::Data data = plat::Data::fromString(documentText());
    jsonPaths();
    for (auto _ : state) {
        plat::Result<json::JSON> doc = json::JSON::create(data);
        benchmark::DoNotOptimize(readAllLeaves(doc.value()));
    }
    setCounters(state);
}

void BM_ParseAndReadAll_Nlohmann(benchmark::State& state) {
    const std::string& text = documentText();
    leafPaths();
    for (auto _ : state) {
        nlohmann::json doc = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(readAllLeaves(doc));
    }
    setCounters(state);
}

void BM_Parse_JSON(benchmark::State& state) {
    plat::Data data = plat::Data::fromString(documentText());
    for (auto _ : state) {
        plat::Result<json::JSON> doc = json::JSON::create(data);
        benchmark::DoNotOptimize(doc.value().type());
    }
    setCounters(state);
}

void BM_Parse_Nlohmann(benchmark::State& state) {
    const std::string& text = documentText();
    for (auto _ : state) {
        nlohmann::json doc = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(doc.size());
    }
    setCounters(state);
}

void BM_ReadAll_JSON(benchmark::State& state) {
    json::JSON doc = json::JSON::parseJSON(documentText());
    jsonPaths();
    for (auto _ : state)
        benchmark::DoNotOptimize(readAllLeaves(doc));
    setCounters(state);
}

void BM_ReadAll_Nlohmann(benchmark::State& state) {
    nlohmann::json doc = nlohmann::json::parse(documentText());
    leafPaths();
    for (auto _ : state)
        benchmark::DoNotOptimize(readAllLeaves(doc));
    setCounters(state);
}

// The library's raw output against the platform serialiser it builds on, timed
// back to back per iteration; "vs_serialiser" is the ratio (goal: <= 1.1).
void BM_RawOutputVsSerialiser(benchmark::State& state) {
    json::JSON doc = json::JSON::parseJSON(documentText());
    const plat::Value& object = doc.object();
    double ours = 0, peer = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(doc.rawString());
        auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(
            plat::JSONSerialization::stringWithJSONObject(object, plat::JSONWritingPrettyPrinted));
        auto t2 = std::chrono::steady_clock::now();
        ours += std::chrono::duration<double>(t1 - t0).count();
        peer += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    state.counters["vs_serialiser"] = ours / peer;
}

BENCHMARK(BM_RawOutputVsSerialiser)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndReadAll_JSON)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndReadAll_Nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse_JSON)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse_Nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAll_JSON)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAll_Nlohmann)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
