// A lookup through the component's IDispatch against the same statement run
// directly with SQLite, on stores of several sizes: prepared for each lookup,
// and prepared once and reused with bound values, the limit at this seam.
#include "platform/text/utf.h"
#include "valmorin/valmorin.h"
#include "store_fixture.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <mutex>
#include <random>
#include <stdexcept>


namespace {

constexpr int kTables = 100;

// Keys spread over every table, in a fixed pseudo-random order.
struct Keys {
    explicit Keys(int rows)
    {
        std::mt19937 random(42);
        const int perTable = rows / kTables;
        for (int i = 0; i < 4096; ++i) {
            const int table = 1 + static_cast<int>(random() % kTables);
            const int row = static_cast<int>(random() % static_cast<unsigned>(perTable));
            tables.push_back("T" + std::to_string(table));
            inputs.push_back("K" + std::to_string(table) + "_" + std::to_string(row));
        }
    }
    std::vector<std::string> tables, inputs;
};

std::string RawStatement(const std::string& table, const std::string& input)
{
    return "SELECT OUTPUT FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM QM_TABLES  b WHERE NOM = '" +
           table + "')) AND (a.INPUT = '" + input + "')";
}

// Kept out of line so that an instruction profiler can count one lookup.
[[gnu::noinline]] bool RawLookup(sqlite3* db, const std::string& sql)
{
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    const bool found = sqlite3_step(stmt) == SQLITE_ROW;
    benchmark::DoNotOptimize(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    return found;
}

constexpr const char* kBoundShape = "SELECT OUTPUT FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM "
                                   "QM_TABLES  b WHERE NOM = ?)) AND (a.INPUT = ?)";

CComPtr<IDispatch> OpenDispatch(const std::string& path)
{
    CComPtr<IDispatch> component;
    OpenComponent(path).QueryInterface(component);
    return component;
}

// The limit at this seam: one prepared statement, reused with bound values,
// on a connection with the pragmas the provider sets.
[[gnu::noinline]] bool BoundLookup(sqlite3_stmt* stmt, const std::string& table, const std::string& input)
{
    sqlite3_bind_text(stmt, 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
    sqlite3_bind_text(stmt, 2, input.data(), static_cast<int>(input.size()), SQLITE_STATIC);
    const bool found = sqlite3_step(stmt) == SQLITE_ROW;
    benchmark::DoNotOptimize(sqlite3_column_text16(stmt, 0));
    sqlite3_reset(stmt);
    return found;
}

void RawPrepareStep(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const std::string path = BenchmarkStore(kTables, rows);
    const Keys keys(rows);
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    std::size_t i = 0;
    for (auto _ : state) {
        if (!RawLookup(db, RawStatement(keys.tables[i % 4096], keys.inputs[i % 4096])))
            state.SkipWithError("row not found");
        ++i;
    }
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations());
}

// A connection with the pragmas the provider sets (its pages read, never
// mapped: mapping would save a lookup its page-cache fetches, which the
// provider gives up so that a file truncated under it cannot end the
// process), and the lookup's shape prepared once on it with ? for the
// table name and the INPUT.
struct BoundStatement {
    explicit BoundStatement(const std::string& path)
    {
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        sqlite3_prepare_v2(db, kBoundShape, -1, &stmt, nullptr);
    }
    ~BoundStatement()
    {
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    BoundStatement(const BoundStatement&) = delete;
    BoundStatement& operator=(const BoundStatement&) = delete;

    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
};

void RawBoundReused(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const std::string path = BenchmarkStore(kTables, rows);
    const Keys keys(rows);
    const BoundStatement bound(path);
    std::size_t i = 0;
    for (auto _ : state) {
        if (!BoundLookup(bound.stmt, keys.tables[i % 4096], keys.inputs[i % 4096])) state.SkipWithError("row not found");
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

void TranslateThroughInvoke(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const std::string path = BenchmarkStore(kTables, rows);
    const Keys keys(rows);
    CComPtr<IDispatch> component = OpenDispatch(path);
    std::vector<CComVariant> tables, inputs;
    for (std::size_t k = 0; k < 4096; ++k) {
        tables.emplace_back(valmorin::text::Widen(keys.tables[k]));
        inputs.emplace_back(valmorin::text::Widen(keys.inputs[k]));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        if (!InvokeLookup(*component.get(), tables[i % 4096], inputs[i % 4096])) state.SkipWithError("lookup failed");
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

// The keys as the interface's arguments.
struct BstrKeys {
    explicit BstrKeys(const Keys& keys)
    {
        for (std::size_t k = 0; k < 4096; ++k) {
            tables.emplace_back(valmorin::text::Widen(keys.tables[k]));
            inputs.emplace_back(valmorin::text::Widen(keys.inputs[k]));
        }
    }
    std::vector<CComBSTR> tables, inputs;
};

// An object made while the registry asks for a cache of `entries`.
CComPtr<IValmorin> ComponentWithCache(const std::string& path, DWORD entries)
{
    AskForLookupCache(entries);
    CComPtr<IValmorin> component = OpenComponent(path);
    AskForLookupCache(0);
    return component;
}

// Each thread looks the 4,096 keys up in turn through the virtual table,
// starting at a key of its own.
void LookUpTheKeys(benchmark::State& state, IValmorin& component, const BstrKeys& keys)
{
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 1024;
    for (auto _ : state) {
        if (!VtableLookup(component, keys.tables[i % 4096].get(), keys.inputs[i % 4096].get()))
            state.SkipWithError("lookup failed");
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

// Each thread with an object of its own, as the class's threading model
// lets callers run side by side.
void TranslateThroughVtable(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    static std::mutex setUp;
    std::unique_lock lock(setUp);
    const std::string path = BenchmarkStore(kTables, rows);
    const BstrKeys keys{Keys(rows)};
    CComPtr<IValmorin> component = ComponentWithCache(path, 0);
    lock.unlock();
    LookUpTheKeys(state, *component.get(), keys);
}

// The 4,096 keys answered from the cache once each was read; the threads
// share one object, as the lookups of an integration engine's workers do.
void CachedTranslateThroughVtable(benchmark::State& state)
{
    static const std::string path = BenchmarkStore(kTables, 100000);
    static const BstrKeys keys{Keys(100000)};
    static CComPtr<IValmorin> component = ComponentWithCache(path, 100000);
    LookUpTheKeys(state, *component.get(), keys);
}

BENCHMARK(TranslateThroughVtable)->UseRealTime()->Arg(100000)->Threads(1)->Threads(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(CachedTranslateThroughVtable)
    ->UseRealTime()
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(RawPrepareStep)->UseRealTime()->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(RawBoundReused)->UseRealTime()->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(TranslateThroughInvoke)->UseRealTime()->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

} // namespace

// With --count <Raw|Bound|Invoke|Vtable|Cached> <rows> <lookups>, runs exactly that many
// lookups of one kind and nothing else, for an instruction counter such as
// valgrind --tool=callgrind --toggle-collect='*Lookup*'.
int CountedLookups(const std::string& kind, int rows, int lookups)
{
    const std::string path = BenchmarkStore(kTables, rows);
    const Keys keys(rows);
    const BoundStatement bound(path);
    CComPtr<IDispatch> component = OpenDispatch(path);
    std::vector<CComVariant> tables, inputs;
    for (std::size_t k = 0; k < 4096; ++k) {
        tables.emplace_back(valmorin::text::Widen(keys.tables[k]));
        inputs.emplace_back(valmorin::text::Widen(keys.inputs[k]));
    }
    const BstrKeys bstrs(keys);
    CComPtr<IValmorin> vtable = ComponentWithCache(path, kind == "Cached" ? 100000 : 0);
    int found = 0;
    if (kind == "Cached") // each key read once, so that the counted lookups are answered from memory
        for (std::size_t k = 0; k < 4096; ++k)
            VtableLookup(*vtable.get(), bstrs.tables[k].get(), bstrs.inputs[k].get());
    for (int i = 0; i < lookups; ++i) {
        const std::size_t k = static_cast<std::size_t>(i) % 4096;
        if (kind == "Raw") found += RawLookup(bound.db, RawStatement(keys.tables[k], keys.inputs[k]));
        else if (kind == "Bound") found += BoundLookup(bound.stmt, keys.tables[k], keys.inputs[k]);
        else if (kind == "Vtable" || kind == "Cached")
            found += VtableLookup(*vtable.get(), bstrs.tables[k].get(), bstrs.inputs[k].get());
        else found += InvokeLookup(*component.get(), tables[k], inputs[k]);
    }
    return found == lookups ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--count") return CountedLookups(argv[2], std::stoi(argv[3]), std::stoi(argv[4]));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
