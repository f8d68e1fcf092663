// transIdent against the raw BEGIN / SELECT / UPDATE / COMMIT of the same
// statements, transadd against a reused autocommit INSERT, and transadd of
// many new entries, on a store in WAL mode.
#include "platform/text/utf.h"
#include "valmorin/valmorin.h"
#include "store_fixture.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <sys/resource.h>

#include <stdexcept>


namespace {

void Step(sqlite3* db, const std::string& sql)
{
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) benchmark::DoNotOptimize(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
}

int CounterTableId(sqlite3* db)
{
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT ID_TABLE FROM QM_TABLES WHERE NOM = 'GenerationNumbers'", -1, &stmt, nullptr);
    const int id = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : 0;
    sqlite3_finalize(stmt);
    if (id == 0) throw std::runtime_error("no counter table");
    return id;
}

// Each run of a benchmark works in tables of its own, so that what it adds
// is new in every repetition.
std::string FreshName(const char* prefix)
{
    static int runs = 0;
    return prefix + std::to_string(++runs);
}

void RawCounterTransaction(benchmark::State& state)
{
    const std::string path = BenchmarkStore(1, 1);
    {
        BSTR first = nullptr; // creates the counter table and the counter "raw"
        if (OpenComponent(path)->transIdent(CComBSTR(u"raw").get(), &first) != S_OK)
            throw std::runtime_error("cannot create the counter");
        SysFreeString(first);
    }
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::string id = std::to_string(CounterTableId(db));
    int next = 2;
    for (auto _ : state) {
        Step(db, "BEGIN IMMEDIATE");
        Step(db, "SELECT OUTPUT FROM QM_VALMOR WHERE ID_TABLE = " + id + " AND INPUT = 'raw'");
        Step(db, "UPDATE QM_VALMOR SET OUTPUT = '|" + std::to_string(next++) + "' WHERE ID_TABLE = " + id +
                     " AND INPUT = 'raw'");
        if (sqlite3_changes(db) != 1) state.SkipWithError("the counter was not updated");
        Step(db, "COMMIT");
    }
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations());
}

void TransIdent(benchmark::State& state)
{
    CComPtr<IValmorin> component = OpenComponent(BenchmarkStore(1, 1));
    const CComBSTR name(u"component");
    for (auto _ : state) {
        BSTR number = nullptr;
        if (component->transIdent(name.get(), &number) != S_OK) state.SkipWithError("transIdent failed");
        SysFreeString(number);
    }
    state.SetItemsProcessed(state.iterations());
}

// One new correspondence per iteration through the component, against the
// same INSERT prepared once and run with bound values in autocommit.
void TransaddNewEntry(benchmark::State& state)
{
    CComPtr<IValmorin> component = OpenComponent(BenchmarkStore(1, 1));
    const CComBSTR table(text::Widen(FreshName("Single")));
    int i = 0;
    for (auto _ : state) {
        const CComBSTR key(text::Widen("key" + std::to_string(i++)));
        LONG added = 0;
        if (component->transadd(table.get(), key.get(), key.get(), &added) != S_OK || !added)
            state.SkipWithError("transadd failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void RawInsertAutocommit(benchmark::State& state)
{
    const std::string path = BenchmarkStore(1, 1);
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::string table = FreshName("Raw");
    Step(db, "INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES ((SELECT MAX(ID_TABLE) + 1 FROM QM_TABLES), 2, '" +
                 table + "')");
    const sqlite3_int64 id = sqlite3_last_insert_rowid(db);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES (?, ?, ?)", -1, &insert, nullptr);
    int i = 0;
    for (auto _ : state) {
        const std::string key = "key" + std::to_string(i++);
        sqlite3_bind_int64(insert, 1, id);
        sqlite3_bind_text(insert, 2, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 3, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("insert failed");
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations());
}

// Adds state.range(0) new correspondences to a new table, each its own
// statement as scripts do it; reports the process's peak resident size.
void TransaddNewEntries(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        CComPtr<IValmorin> component = OpenComponent(BenchmarkStore(1, 1));
        const CComBSTR table(text::Widen(FreshName("Bulk")));
        state.ResumeTiming();
        for (int i = 0; i < state.range(0); ++i) {
            const CComBSTR key(text::Widen("key" + std::to_string(i)));
            LONG added = 0;
            if (component->transadd(table.get(), key.get(), key.get(), &added) != S_OK || !added)
                state.SkipWithError("transadd failed");
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(RawCounterTransaction)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(TransIdent)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(RawInsertAutocommit)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(TransaddNewEntry)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(TransaddNewEntries)->Arg(100000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
