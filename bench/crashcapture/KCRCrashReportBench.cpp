// Decoding and formatting a large crash report: 50 threads of 64 frames and
// 300 images, every other frame symbolicated.
//
// Peak memory: run under /usr/bin/time -v and read "Maximum resident set size".
#include <benchmark/benchmark.h>

#include <string_view>

#include "crashcapture/CrashReportBuilder.h"
#include "crashcapture/KCRCrashReport.h"
#include "crashcapture/KCRCrashReportTextFormatter.h"
#include "platform/foundation/Log.h"

namespace {

constexpr uint64_t kImageBase = 0x7f0000000000;
constexpr uint64_t kImageSize = 0x100000;

kcrtest::Bytes largeReport() {
    auto fields = kcrtest::CrashReport::full();
    fields.images.clear();
    for (uint64_t i = 0; i < 300; ++i) {
        fields.images.push_back({.baseAddress = kImageBase + i * kImageSize,
                                 .size = kImageSize,
                                 .name = "/usr/lib/x86_64-linux-gnu/libexample" + std::to_string(i) + ".so.1",
                                 .uuid = kcrtest::Bytes(20, static_cast<uint8_t>(i)),
                                 .codeType = kcrtest::Processor{}});
    }
    const auto registers = fields.threads[1].registers;
    fields.threads.clear();
    for (uint32_t t = 0; t < 50; ++t) {
        kcrtest::Thread thread{.number = t, .crashed = t == 7, .registers = {}, .frames = {}};
        if (thread.crashed)
            thread.registers = registers;
        for (uint64_t f = 0; f < 64; ++f) {
            uint64_t pc = kImageBase + ((t * 64 + f) * 7919 % 300) * kImageSize + 0x1000 + f * 16;
            std::optional<kcrtest::Symbol> symbol;
            if (f % 2 == 0)
                symbol = kcrtest::Symbol{"_ZN7example6Worker3runEv" + std::to_string(f), pc - 0x40, {}};
            thread.frames.push_back({.pc = pc, .symbol = symbol});
        }
        fields.threads.push_back(std::move(thread));
    }
    return kcrtest::packFile(fields);
}

const kcrtest::Bytes& reportFile() {
    static const kcrtest::Bytes file = largeReport();
    return file;
}

void silenceLog() {
    // Linux symbols are noted on the log once per frame; that is not the cost measured.
    plat::setLogSink([](std::string_view) {});
}

void BM_Decode(benchmark::State& state) {
    const auto& file = reportFile();
    for (auto _ : state) {
        auto report = KCRCrashReport::create(file.data(), file.size());
        benchmark::DoNotOptimize(report);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
    state.counters["file_bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMicrosecond);

void BM_Format(benchmark::State& state) {
    silenceLog();
    const auto& file = reportFile();
    auto report = KCRCrashReport::create(file.data(), file.size()).value();
    std::size_t length = 0;
    for (auto _ : state) {
        auto text =
            KCRCrashReportTextFormatter::stringValueForCrashReport(*report, KCRCrashReportTextFormatStandard);
        length = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["text_bytes"] = static_cast<double>(length);
}
BENCHMARK(BM_Format)->Unit(benchmark::kMicrosecond);

void BM_DecodeAndFormat(benchmark::State& state) {
    silenceLog();
    const auto& file = reportFile();
    KCRCrashReportTextFormatter formatter(KCRCrashReportTextFormatStandard, KCRCrashReportTextEncodingUTF8);
    for (auto _ : state) {
        auto report = KCRCrashReport::create(file.data(), file.size());
        auto data = formatter.formatReport(*report.value());
        benchmark::DoNotOptimize(data);
    }
}
BENCHMARK(BM_DecodeAndFormat)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
