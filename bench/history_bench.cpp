// translateAsOf against translate on a store whose table holds 1,000 rows
// changed 1,000 times each: 1,000,000 changes in the history, the as-of
// point in the middle of them. And what the history costs a table of
// 1,000,000 rows that is then deleted: the time and the store's growth.
//
//   history_bench                      Google Benchmark timings
//   history_bench --count <Translate|AsOf> <lookups>
//                                      exactly that many lookups, for
//                                      valgrind --tool=callgrind --toggle-collect='*Lookup*'
#include "platform/text/utf.h"
#include "store_fixture.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <stdexcept>

namespace {

constexpr int kRows = 1000;
constexpr int kChangesEach = 1000;

void Exec(sqlite3* db, const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown";
        sqlite3_free(error);
        throw std::runtime_error(message);
    }
}

// The table is written as another program would (its rows recorded by the
// store's triggers); the million changes after it are written straight
// into the history, as many revisions of one change each would leave it.
std::string StoreWithLongHistory()
{
    const std::string path = BenchmarkStore(1, kRows); // table T1: K1_i -> V1_i
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "BEGIN IMMEDIATE;"
             "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 1000) "
             "INSERT INTO QM_REVISIONS (USER_CODE) SELECT 'bench' FROM r;"
             "WITH RECURSIVE r(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM r WHERE n < 999), "
             "k(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM k WHERE i < 999) "
             "INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) "
             "SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS) - 999 + r.n, 'row', 1, 'T1', 'K1_' || k.i, "
             "'V1_' || k.i, 'V1_' || k.i FROM r, k ORDER BY r.n, k.i;"
             "COMMIT; ANALYZE;");
    sqlite3_close(db);
    return path;
}

struct Lookups {
    Lookups() : path(StoreWithLongHistory()), component(OpenComponent(path))
    {
        component.QueryInterface(v3);
        CComBSTR current;
        v3->Revision(&current);
        middle = CComBSTR(valmorin::text::Widen(std::to_string(
            std::stoll(valmorin::text::Utf16ToUtf8(std::u16string(current.view()))) - kChangesEach / 2)));
        for (int i = 0; i < kRows; ++i) inputs.emplace_back(valmorin::text::Widen("K1_" + std::to_string(i)));
    }
    std::string path;
    CComPtr<IValmorin> component;
    CComPtr<IValmorin3> v3;
    CComBSTR table{u"T1"}, middle;
    std::vector<CComBSTR> inputs;
};

[[gnu::noinline]] bool TranslateLookup(Lookups& l, BSTR input)
{
    BSTR answer = nullptr;
    const HRESULT hr = l.component->translate(l.table.get(), input, &answer);
    SysFreeString(answer);
    return hr == S_OK;
}

[[gnu::noinline]] bool AsOfLookup(Lookups& l, BSTR input)
{
    BSTR answer = nullptr;
    const HRESULT hr = l.v3->translateAsOf(l.table.get(), input, l.middle.get(), &answer);
    SysFreeString(answer);
    return hr == S_OK;
}

Lookups& Shared()
{
    static Lookups lookups;
    return lookups;
}

void Translate(benchmark::State& state)
{
    Lookups& l = Shared();
    std::size_t i = 0;
    for (auto _ : state)
        if (!TranslateLookup(l, l.inputs[i++ % kRows].get())) state.SkipWithError("translate failed");
}

void TranslateAsOf(benchmark::State& state)
{
    Lookups& l = Shared();
    std::size_t i = 0;
    for (auto _ : state)
        if (!AsOfLookup(l, l.inputs[i++ % kRows].get())) state.SkipWithError("translateAsOf failed");
}

// A table of 1,000,000 rows deleted: every row's last value is kept.
void DeleteLargeTable(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        const std::string path = BenchmarkStore(1, 1000000);
        const auto before = std::filesystem::file_size(path);
        CComPtr<IValmorin> component = OpenComponent(path);
        state.ResumeTiming();
        if (component->TableDelete(CComBSTR(u"T1").get()) != S_OK) state.SkipWithError("TableDelete failed");
        state.PauseTiming();
        component.Release();
        state.counters["store_growth_MiB"] =
            static_cast<double>(std::filesystem::file_size(path) - before) / (1024.0 * 1024.0);
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
}

BENCHMARK(Translate)->Unit(benchmark::kMicrosecond);
BENCHMARK(TranslateAsOf)->Unit(benchmark::kMicrosecond);
BENCHMARK(DeleteLargeTable)->Iterations(1)->Unit(benchmark::kMillisecond);

int CountedLookups(const std::string& kind, int lookups)
{
    Lookups& l = Shared();
    int answered = 0;
    for (int i = 0; i < lookups; ++i) {
        BSTR input = l.inputs[static_cast<std::size_t>(i) % kRows].get();
        answered += kind == "AsOf" ? AsOfLookup(l, input) : TranslateLookup(l, input);
    }
    return answered == lookups ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--count") return CountedLookups(argv[2], std::stoi(argv[3]));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
