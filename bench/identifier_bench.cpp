// transIdent against the raw BEGIN / SELECT / UPDATE / COMMIT of the same
// statements; transadd against a reused autocommit INSERT and against the
// three statements it runs (table id, existence count, INSERT), each
// prepared once and run with bound values in autocommit, in one
// transaction, and with the revision that names the acting user as
// transadd runs them; and transadd of many new entries, on a store in WAL
// mode.
#include "platform/text/utf.h"
#include "valmorin/valmorin.h"
#include "store_fixture.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

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

double PeakResidentMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The process's own memory, without the pages of the store it maps (which
// grow with the store, not with the calls), from /proc/self/status.
double AnonymousResidentMiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("RssAnon:")) return std::stod(line.substr(8)) / 1024.0;
    return 0;
}

// Each run of a benchmark works in tables of its own, so that what it adds
// is new in every repetition.
std::string FreshName(const char* prefix)
{
    static int runs = 0;
    return prefix + std::to_string(++runs);
}

// The counter "raw" of the counter table, read and advanced with the
// statements the component runs, each prepared for its call.
struct RawCounter {
    RawCounter()
    {
        const std::string path = BenchmarkStore(1, 1);
        BSTR first = nullptr; // creates the counter table and the counter
        if (OpenComponent(path)->transIdent(CComBSTR(u"raw").get(), &first) != S_OK)
            throw std::runtime_error("cannot create the counter");
        SysFreeString(first);
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        id = std::to_string(CounterTableId(db));
    }
    ~RawCounter() { sqlite3_close(db); }
    RawCounter(const RawCounter&) = delete;
    RawCounter& operator=(const RawCounter&) = delete;

    sqlite3* db = nullptr;
    std::string id;
    int next = 2;
};

// Kept out of line, as the writes below, so that an instruction profiler
// can count one call: valgrind --tool=callgrind --toggle-collect='*Write*'.
[[gnu::noinline]] bool RawCounterWrite(RawCounter& counter)
{
    Step(counter.db, "BEGIN IMMEDIATE");
    Step(counter.db, "SELECT OUTPUT FROM QM_VALMOR WHERE ID_TABLE = " + counter.id + " AND INPUT = 'raw'");
    Step(counter.db, "UPDATE QM_VALMOR SET OUTPUT = '|" + std::to_string(counter.next++) +
                         "' WHERE ID_TABLE = " + counter.id + " AND INPUT = 'raw'");
    const bool updated = sqlite3_changes(counter.db) == 1;
    Step(counter.db, "COMMIT");
    return updated;
}

[[gnu::noinline]] bool TransIdentWrite(IValmorin& component, BSTR name)
{
    BSTR number = nullptr;
    const bool drawn = component.transIdent(name, &number) == S_OK;
    SysFreeString(number);
    return drawn;
}

[[gnu::noinline]] bool TransaddWrite(IValmorin& component, BSTR table, BSTR key)
{
    LONG added = 0;
    return component.transadd(table, key, key, &added) == S_OK && added;
}

// A new table of the catalogue, and the INSERT of its correspondences
// prepared once.
struct RawInserts {
    RawInserts()
    {
        sqlite3_open_v2(BenchmarkStore(1, 1).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        Step(db, "INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES ((SELECT MAX(ID_TABLE) + 1 FROM QM_TABLES), 2, '" +
                     name + "')");
        id = sqlite3_last_insert_rowid(db);
        sqlite3_prepare_v2(db, "INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES (?, ?, ?)", -1, &insert, nullptr);
    }
    ~RawInserts()
    {
        sqlite3_finalize(insert);
        sqlite3_close(db);
    }
    RawInserts(const RawInserts&) = delete;
    RawInserts& operator=(const RawInserts&) = delete;

    std::string name = FreshName("Raw");
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_int64 id = 0;
};

// The statements of a transadd of a new entry, each prepared once: the
// table's id by its name, the count of the entry, and the INSERT; and the
// transaction that makes the three one write.
struct RawTransadds {
    RawTransadds()
    {
        sqlite3_prepare_v2(inserts.db, "SELECT ID_TABLE FROM QM_TABLES WHERE ( NOM = ?)", -1, &tableId, nullptr);
        sqlite3_prepare_v2(inserts.db, "SELECT COUNT(INPUT) FROM QM_VALMOR WHERE ID_TABLE = ? AND INPUT = ?", -1,
                           &count, nullptr);
        sqlite3_prepare_v2(inserts.db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
        sqlite3_prepare_v2(inserts.db, "COMMIT", -1, &commit, nullptr);
        sqlite3_prepare_v2(inserts.db, "INSERT INTO QM_REVISIONS (USER_CODE) VALUES (?)", -1, &revision, nullptr);
    }
    ~RawTransadds()
    {
        sqlite3_finalize(tableId);
        sqlite3_finalize(count);
        sqlite3_finalize(begin);
        sqlite3_finalize(commit);
        sqlite3_finalize(revision);
    }
    RawTransadds(const RawTransadds&) = delete;
    RawTransadds& operator=(const RawTransadds&) = delete;

    RawInserts inserts;
    sqlite3_stmt* tableId = nullptr;
    sqlite3_stmt* count = nullptr;
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_stmt* revision = nullptr; // names the acting user for the transaction's history
};

[[gnu::noinline]] bool RawInsertWrite(RawInserts& inserts, const std::string& key)
{
    sqlite3_bind_int64(inserts.insert, 1, inserts.id);
    sqlite3_bind_text(inserts.insert, 2, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_text(inserts.insert, 3, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    const bool inserted = sqlite3_step(inserts.insert) == SQLITE_DONE;
    sqlite3_reset(inserts.insert);
    return inserted;
}

// The integer the statement gives in its first row, or -1.
int FirstInteger(sqlite3_stmt* stmt)
{
    const int value = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
    sqlite3_reset(stmt);
    return value;
}

[[gnu::noinline]] bool RawTransaddWrite(RawTransadds& adds, const std::string& key)
{
    const std::string& name = adds.inserts.name;
    sqlite3_bind_text(adds.tableId, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    const int id = FirstInteger(adds.tableId);
    sqlite3_bind_int(adds.count, 1, id);
    sqlite3_bind_text(adds.count, 2, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    return id == adds.inserts.id && FirstInteger(adds.count) == 0 && RawInsertWrite(adds.inserts, key);
}

// The same three statements made one write, as a caller who must not add
// to a table deleted between them has to: in SQLite, each statement after
// the first that a trigger or a constraint may abort keeps the pages it
// changes in a statement journal, which autocommit spares.
[[gnu::noinline]] bool RawTransaddAtomicWrite(RawTransadds& adds, const std::string& key)
{
    const bool begun = sqlite3_step(adds.begin) == SQLITE_DONE;
    sqlite3_reset(adds.begin);
    const bool added = begun && RawTransaddWrite(adds, key);
    const bool committed = begun && sqlite3_step(adds.commit) == SQLITE_DONE;
    sqlite3_reset(adds.commit);
    return added && committed;
}

// Every statement transadd runs on a store that keeps a history: the
// transaction's revision, naming its user, then the three, all one write.
[[gnu::noinline]] bool RawTransaddRecordedWrite(RawTransadds& adds, const std::string& key)
{
    static const std::string user = "benchmark";
    const bool begun = sqlite3_step(adds.begin) == SQLITE_DONE;
    sqlite3_reset(adds.begin);
    sqlite3_bind_text(adds.revision, 1, user.data(), static_cast<int>(user.size()), SQLITE_STATIC);
    const bool recorded = begun && sqlite3_step(adds.revision) == SQLITE_DONE;
    sqlite3_reset(adds.revision);
    const bool added = recorded && RawTransaddWrite(adds, key);
    const bool committed = begun && sqlite3_step(adds.commit) == SQLITE_DONE;
    sqlite3_reset(adds.commit);
    return added && committed;
}

// A copy of the benchmark store as one made before stores kept a history:
// its tables and the triggers that record into them dropped. The writes'
// cost on it is the one the history's is told against.
std::string StoreWithoutHistory()
{
    const std::string path = (BenchFolder() / "unrecorded.db").string();
    sqlite3* db = nullptr;
    sqlite3_open_v2(BenchmarkStore(1, 1).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    Step(db, "VACUUM INTO '" + path + "'");
    sqlite3_close(db);
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* drops = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT 'DROP TRIGGER ' || name FROM sqlite_schema WHERE type = 'trigger' AND name NOT LIKE "
                       "'%NEEDS_TABLE%' AND name NOT LIKE '%KEEPS_ITS_ROWS%' UNION ALL SELECT 'DROP TABLE ' || name "
                       "FROM sqlite_schema WHERE type = 'table' AND name IN ('QM_REVISIONS', 'QM_HISTORY', "
                       "'QM_HISTORY_START', 'QM_WRITER', 'QM_REPLACED', 'QM_APPROVAL', 'QM_CHANGESETS')",
                       -1, &drops, nullptr);
    std::vector<std::string> statements;
    while (sqlite3_step(drops) == SQLITE_ROW)
        statements.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(drops, 0)));
    sqlite3_finalize(drops);
    for (const std::string& statement : statements) Step(db, statement);
    Step(db, "PRAGMA journal_mode = WAL");
    sqlite3_close(db);
    return path;
}

// The component on the shared store (or the one given), adding to a table
// of its own.
struct Transadds {
    explicit Transadds(const std::string& store = BenchmarkStore(1, 1)) : component(OpenComponent(store)) {}
    CComPtr<IValmorin> component;
    CComBSTR table{valmorin::text::Widen(FreshName("Single"))};
};

// transadd on the store without a history, counted apart.
[[gnu::noinline]] bool TransaddUnrecordedWrite(IValmorin& component, BSTR table, BSTR key)
{
    return TransaddWrite(component, table, key);
}

CComBSTR Key(int i) { return CComBSTR(valmorin::text::Widen("key" + std::to_string(i))); }

void RawCounterTransaction(benchmark::State& state)
{
    RawCounter counter;
    for (auto _ : state)
        if (!RawCounterWrite(counter)) state.SkipWithError("the counter was not updated");
    state.SetItemsProcessed(state.iterations());
}

void TransIdent(benchmark::State& state)
{
    CComPtr<IValmorin> component = OpenComponent(BenchmarkStore(1, 1));
    const CComBSTR name(u"component");
    for (auto _ : state)
        if (!TransIdentWrite(*component.get(), name.get())) state.SkipWithError("transIdent failed");
    state.SetItemsProcessed(state.iterations());
}

// One new correspondence per iteration through the component, against the
// same INSERT prepared once and run with bound values in autocommit.
void TransaddNewEntry(benchmark::State& state)
{
    Transadds adds;
    int i = 0;
    for (auto _ : state) {
        const CComBSTR key = Key(i++);
        if (!TransaddWrite(*adds.component.get(), adds.table.get(), key.get())) state.SkipWithError("transadd failed");
    }
    state.SetItemsProcessed(state.iterations());
}

// One new key per iteration, written directly by write on a fresh Writes.
template <typename Writes>
void RawNewKeys(benchmark::State& state, bool (*write)(Writes&, const std::string&))
{
    Writes writes;
    int i = 0;
    for (auto _ : state) {
        const std::string key = "key" + std::to_string(i++);
        if (!write(writes, key)) state.SkipWithError("insert failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void RawInsertAutocommit(benchmark::State& state) { RawNewKeys(state, RawInsertWrite); }

void RawTransaddStatements(benchmark::State& state) { RawNewKeys(state, RawTransaddWrite); }

void RawTransaddTransaction(benchmark::State& state) { RawNewKeys(state, RawTransaddAtomicWrite); }

// Adds state.range(0) new correspondences to a new table, each its own
// statement as scripts do it; reports the process's peak resident size.
void TransaddNewEntries(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        Transadds adds;
        state.ResumeTiming();
        for (int i = 0; i < state.range(0); ++i)
            if (!TransaddWrite(*adds.component.get(), adds.table.get(), Key(i).get()))
                state.SkipWithError("transadd failed");
    }
    state.counters["peak_rss_MiB"] = PeakResidentMiB();
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(RawCounterTransaction)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(TransIdent)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(RawInsertAutocommit)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(RawTransaddStatements)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(RawTransaddTransaction)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(TransaddNewEntry)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(TransaddNewEntries)->Arg(100000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// With --count
// <RawCounter|TransIdent|RawInsert|RawTransadd|RawTransaddAtomic|RawTransaddRecorded|Transadd|TransaddUnrecorded>
// <calls>, makes
// exactly that many writes of one kind and nothing else, for an instruction
// counter (valgrind --tool=callgrind --toggle-collect='*<kind>Write*'), and
// prints the process's peak resident size and its anonymous resident size
// at the end, in MiB: a run of 10,000 and one of 100,000 show whether
// memory grows with the calls.
int CountedWrites(const std::string& kind, int calls)
{
    int done = 0;
    if (kind == "RawCounter") {
        RawCounter counter;
        for (int i = 0; i < calls; ++i) done += RawCounterWrite(counter);
    } else if (kind == "TransIdent") {
        CComPtr<IValmorin> component = OpenComponent(BenchmarkStore(1, 1));
        const CComBSTR name(u"component");
        for (int i = 0; i < calls; ++i) done += TransIdentWrite(*component.get(), name.get());
    } else if (kind == "RawInsert") {
        RawInserts inserts;
        for (int i = 0; i < calls; ++i) done += RawInsertWrite(inserts, "key" + std::to_string(i));
    } else if (kind == "RawTransadd") {
        RawTransadds adds;
        for (int i = 0; i < calls; ++i) done += RawTransaddWrite(adds, "key" + std::to_string(i));
    } else if (kind == "RawTransaddAtomic") {
        RawTransadds adds;
        for (int i = 0; i < calls; ++i) done += RawTransaddAtomicWrite(adds, "key" + std::to_string(i));
    } else if (kind == "RawTransaddRecorded") {
        RawTransadds adds;
        for (int i = 0; i < calls; ++i) done += RawTransaddRecordedWrite(adds, "key" + std::to_string(i));
    } else if (kind == "TransaddUnrecorded") {
        Transadds adds(StoreWithoutHistory());
        for (int i = 0; i < calls; ++i)
            done += TransaddUnrecordedWrite(*adds.component.get(), adds.table.get(), Key(i).get());
    } else {
        Transadds adds;
        for (int i = 0; i < calls; ++i) done += TransaddWrite(*adds.component.get(), adds.table.get(), Key(i).get());
    }
    std::printf("%.1f %.1f\n", PeakResidentMiB(), AnonymousResidentMiB());
    return done == calls ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--count") return CountedWrites(argv[2], std::stoi(argv[3]));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
