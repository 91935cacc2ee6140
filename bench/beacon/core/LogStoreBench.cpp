// The log store against hand-written SQLite doing the same work: 100,000 logs
// stored one by one, then loaded in batches of 50, each batch deleted once
// loaded. "encrypted" stores Shared Schema logs, whose target token the store
// encrypts on save and decrypts on load. The hand-written side binds the same
// rows (the archive text made once up front) with the same journal settings.
//
// "BM_SaveIntoFullStore" is the growth table of eviction: 4,000 logs saved
// into a full store of 1, 4 and 10 MiB, so that every log has to make room by
// evicting older ones; "BM_SaveWithRoom" saves them into a store of the same
// content with room to spare. Both report CPU microseconds per save
// ("us_per_save"): eviction should cost about what the insert it makes room
// for costs, whatever the size of the store.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <time.h>

#include <memory>
#include <string>

#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACEncrypter.h"
#include "beacon/core/BEACLogDBStorage.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/security/Keychain.h"
#include "support/TempDir.h"

namespace {

constexpr int kLogCount = 100000;
constexpr int kBatchSize = 50;

double threadCPUSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// CPU seconds per iteration of the hand-written run, by argument, for the
// log store's "vs_handwritten" ratio (the hand-written runs are registered,
// and so run, first).
double handWrittenCPU[2] = {0, 0};

// The description every enqueued log carries.
std::shared_ptr<BEACDevice> benchDevice() {
    static const auto device = [] {
        auto d = std::make_shared<BEACDevice>();
        d->sdkName = "beacon.linux";
        d->sdkVersion = "4.2.0";
        d->model = "Standard PC";
        d->osName = "Linux";
        d->osVersion = "6.1.0";
        d->osBuild = "Debian GNU/Linux 12 (bookworm)";
        d->locale = "en_US";
        d->timeZoneOffset = 60;
        d->screenSize = "unknown";
        d->appVersion = "1.0";
        d->appBuild = "1";
        d->appNamespace = "com.kestrel.plan";
        return d;
    }();
    return device;
}

BEACLogPtr makeLog(int i, bool encrypted) {
    if (encrypted) {
        auto log = std::make_shared<BEACSharedSchemaLog>();
        log->timestamp = plat::Date(1000 + i);
        log->ver = "3.0";
        log->name = "bench.event";
        log->iKey = "o:targetkey";
        log->addTransmissionTargetToken("targetkey-0123456789abcdef");
        log->device = benchDevice();
        return log;
    }
    auto log = std::make_shared<BEACLogWithProperties>();
    log->type = "event";
    log->timestamp = plat::Date(1000 + i);
    log->sid = "8E1A5B9C-0000-4000-8000-00000000CAFE";
    log->properties =
        plat::Dictionary{{"screen", plat::Value("main")}, {"index", plat::Value(std::to_string(i))}};
    log->device = benchDevice();
    return log;
}

class Sandbox {
  public:
    Sandbox() {
        BEACLogger::setLogHandler(nullptr);
        BEACBeaconUserDefaults::resetSharedInstance(
            std::make_shared<plat::UserDefaults>((dir_ / "defaults.plist").string()));
        BEACUtility::setBeaconDirectoryPath((dir_ / "sdk").string());
        plat::security::Keychain::setDefaultKeychain(
            std::make_shared<plat::security::FileKeychain>((dir_ / "keychain").string()));
    }
    ~Sandbox() {
        plat::security::Keychain::setDefaultKeychain(nullptr);
        BEACUtility::setBeaconDirectoryPath(std::nullopt);
        BEACBeaconUserDefaults::resetSharedInstance();
        BEACLogger::setLogHandler(&BEACLogger::defaultLogHandler);
    }
    const testsupport::TempDir& dir() const { return dir_; }

  private:
    testsupport::TempDir dir_;
};

void BM_LogStore(benchmark::State& state) {
    const bool encrypted = state.range(0) != 0;
    const double start = threadCPUSeconds();
    for (auto _ : state) {
        Sandbox sandbox;
        BEACLogDBStorage store;
        store.setMaxStorageSize(int64_t(1) << 31, nullptr);
        for (int i = 0; i < kLogCount; ++i)
            store.saveLog(makeLog(i, encrypted), "Analytics", 1);
        int loaded = 0;
        while (true) {
            std::optional<std::string> batch;
            store.loadLogsWithGroupId(
                "Analytics", kBatchSize, std::nullopt,
                [&](const std::vector<BEACLogPtr>& logs, const std::optional<std::string>& id) {
                    loaded += static_cast<int>(logs.size());
                    batch = id;
                });
            if (!batch)
                break;
            store.deleteLogsWithBatchId(*batch, "Analytics");
        }
        if (loaded != kLogCount)
            state.SkipWithError("logs lost");
    }
    const double cpu = (threadCPUSeconds() - start) / static_cast<double>(state.iterations());
    if (handWrittenCPU[encrypted] > 0)
        state.counters["vs_handwritten"] = cpu / handWrittenCPU[encrypted];
    state.SetItemsProcessed(state.iterations() * kLogCount);
}

constexpr int kSavesMeasured = 4000;

// Saves `count` logs from number `first` on and returns the CPU seconds they took.
double saveLogs(BEACLogDBStorage& store, int first, int count) {
    const double start = threadCPUSeconds();
    for (int i = first; i < first + count; ++i)
        store.saveLog(makeLog(i, false), "Analytics", 1);
    return threadCPUSeconds() - start;
}

// Saves until the store holds no more (saves start to evict); returns the
// number of logs saved.
int fill(BEACLogDBStorage& store) {
    int saved = 0;
    uint64_t held = 0;
    while (true) {
        saveLogs(store, saved, 500);
        saved += 500;
        const uint64_t now = store.countLogs();
        if (now < held + 500)
            return saved;
        held = now;
    }
}

// kSavesMeasured logs into a store of range(0) MiB filled until saves evict;
// with `room`, its limit is raised to 2 GiB before they are made. Sets
// us_per_save; returns, for a full store, the logs it held after the last run.
uint64_t measureSaves(benchmark::State& state, bool room) {
    double cpu = 0;
    uint64_t held = 0;
    for (auto _ : state) {
        Sandbox sandbox;
        BEACLogDBStorage store;
        store.setMaxStorageSize(state.range(0) << 20, nullptr);
        const int first = fill(store);
        if (room)
            store.setMaxStorageSize(int64_t(1) << 31, nullptr);
        cpu += saveLogs(store, first, kSavesMeasured);
        if (!room)
            held = store.countLogs();
    }
    state.counters["us_per_save"] = cpu * 1e6 / static_cast<double>(state.iterations() * kSavesMeasured);
    state.SetItemsProcessed(state.iterations() * kSavesMeasured);
    return held;
}

// kSavesMeasured logs into a store of range(0) MiB that is already full.
void BM_SaveIntoFullStore(benchmark::State& state) {
    state.counters["logs_held"] = static_cast<double>(measureSaves(state, false));
}

// The same saves into a store of the same content with room to spare.
void BM_SaveWithRoom(benchmark::State& state) {
    (void)measureSaves(state, true);
}

void check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(sqlite3_errmsg(db));
}

// The same schema, journal settings, inserts, selects and deletes, written by hand.
void BM_HandWrittenSQLite(benchmark::State& state) {
    const bool encrypted = state.range(0) != 0;
    Sandbox sandbox;
    auto archive = BEACUtility::archiveKeyedData(
        plat::Value(std::static_pointer_cast<const plat::Object>(makeLog(0, encrypted))));
    const std::string text = archive->base64EncodedString();
    const std::string token = std::string(100, 'T');  // about the size of an encrypted token
    const double start = threadCPUSeconds();
    for (auto _ : state) {
        testsupport::TempDir dir;
        sqlite3* db = nullptr;
        check(sqlite3_open((dir / "Logs.sqlite").c_str(), &db), db);
        check(sqlite3_exec(
                  db,
                  "PRAGMA auto_vacuum = FULL; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
                  "CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId TEXT NOT NULL, log TEXT "
                  "NOT NULL, targetToken TEXT, targetKey TEXT, priority INTEGER);"
                  "CREATE INDEX ix_logs_priority ON logs (priority);"
                  "CREATE INDEX ix_logs_groupId_priority ON logs (groupId, priority DESC);",
                  nullptr, nullptr, nullptr),
              db);
        sqlite3_stmt* insert = nullptr;
        check(sqlite3_prepare_v2(
                  db,
                  encrypted ? "INSERT INTO logs (groupId, log, targetToken, targetKey, priority) VALUES "
                              "(?, ?, ?, ?, ?)"
                            : "INSERT INTO logs (groupId, log, priority) VALUES (?, ?, ?)",
                  -1, &insert, nullptr),
              db);
        for (int i = 0; i < kLogCount; ++i) {
            int p = 1;
            sqlite3_bind_text(insert, p++, "Analytics", -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, p++, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            if (encrypted) {
                sqlite3_bind_text(insert, p++, token.c_str(), static_cast<int>(token.size()),
                                  SQLITE_TRANSIENT);
                sqlite3_bind_text(insert, p++, "targetkey", -1, SQLITE_TRANSIENT);
            }
            sqlite3_bind_int64(insert, p, 1);
            check(sqlite3_step(insert), db);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_stmt* select = nullptr;
        check(sqlite3_prepare_v2(
                  db, "SELECT * FROM logs WHERE groupId = ? ORDER BY priority DESC, id ASC LIMIT 51", -1,
                  &select, nullptr),
              db);
        std::string deleteSQL = "DELETE FROM logs WHERE id IN (?";
        for (int i = 1; i < kBatchSize; ++i)
            deleteSQL += ",?";
        deleteSQL += ")";
        sqlite3_stmt* remove = nullptr;
        check(sqlite3_prepare_v2(db, deleteSQL.c_str(), -1, &remove, nullptr), db);
        int loaded = 0;
        while (true) {
            sqlite3_bind_text(select, 1, "Analytics", -1, SQLITE_TRANSIENT);
            std::vector<int64_t> ids;
            std::string sink;
            while (sqlite3_step(select) == SQLITE_ROW && ids.size() < kBatchSize) {
                ids.push_back(sqlite3_column_int64(select, 0));
                sink.assign(reinterpret_cast<const char*>(sqlite3_column_text(select, 2)));
            }
            sqlite3_reset(select);
            if (ids.empty())
                break;
            loaded += static_cast<int>(ids.size());
            for (std::size_t i = 0; i < kBatchSize; ++i)
                sqlite3_bind_int64(remove, static_cast<int>(i + 1), i < ids.size() ? ids[i] : -1);
            check(sqlite3_step(remove), db);
            sqlite3_reset(remove);
        }
        sqlite3_finalize(select);
        sqlite3_finalize(remove);
        sqlite3_close(db);
        if (loaded != kLogCount)
            state.SkipWithError("rows lost");
    }
    handWrittenCPU[encrypted] = (threadCPUSeconds() - start) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * kLogCount);
}

// What the store adds to the SQL work for each log: the keyed archive as
// base64 text on save, and back on load.
void BM_ArchiveRoundTrip(benchmark::State& state) {
    const bool encrypted = state.range(0) != 0;
    auto log = makeLog(1, encrypted);
    for (auto _ : state) {
        auto data =
            BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(log)));
        auto text = data->base64EncodedString();
        auto back = BEACUtility::unarchiveKeyedData(plat::Data::fromBase64(text));
        benchmark::DoNotOptimize(back);
    }
}

// The two halves of the round trip.
void BM_Archive(benchmark::State& state) {
    auto log = makeLog(1, state.range(0) != 0);
    for (auto _ : state) {
        auto data =
            BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(log)));
        benchmark::DoNotOptimize(data);
    }
}

void BM_Unarchive(benchmark::State& state) {
    auto log = makeLog(1, state.range(0) != 0);
    auto data = BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(log)));
    for (auto _ : state) {
        auto back = BEACUtility::unarchiveKeyedData(data);
        benchmark::DoNotOptimize(back);
    }
}

// The text form of a log's archive, both ways.
void BM_Base64(benchmark::State& state) {
    auto data = BEACUtility::archiveKeyedData(
        plat::Value(std::static_pointer_cast<const plat::Object>(makeLog(1, state.range(0) != 0))));
    for (auto _ : state) {
        auto text = data->base64EncodedString();
        auto back = plat::Data::fromBase64(text, plat::Data::Base64DecodingIgnoreUnknownCharacters);
        benchmark::DoNotOptimize(back);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data->length()));
}

// A target token encrypted on save and decrypted on load.
void BM_TokenEncryption(benchmark::State& state) {
    Sandbox sandbox;
    BEACEncrypter encrypter;
    const std::string token = "targetkey-0123456789abcdef";
    for (auto _ : state) {
        auto stored = encrypter.encryptString(token);
        auto back = encrypter.decryptString(*stored);
        if (!back || *back != token)
            state.SkipWithError("token lost");
        benchmark::DoNotOptimize(back);
    }
}

}  // namespace

BENCHMARK(BM_Archive)->ArgName("encrypted")->Arg(0)->Arg(1);
BENCHMARK(BM_Unarchive)->ArgName("encrypted")->Arg(0)->Arg(1);
BENCHMARK(BM_Base64)->ArgName("encrypted")->Arg(0)->Arg(1);
BENCHMARK(BM_TokenEncryption);
BENCHMARK(BM_ArchiveRoundTrip)->ArgName("encrypted")->Arg(0)->Arg(1);
BENCHMARK(BM_HandWrittenSQLite)
    ->ArgName("encrypted")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LogStore)->ArgName("encrypted")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveWithRoom)
    ->ArgName("MiB")
    ->Arg(1)
    ->Arg(4)
    ->Arg(10)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveIntoFullStore)
    ->ArgName("MiB")
    ->Arg(1)
    ->Arg(4)
    ->Arg(10)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
