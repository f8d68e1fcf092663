// The administration methods on large stores: TableUpdate rewriting every
// value of a 100,000-row table, TableList over 10,000 tables, TableColumns of
// a 200-column table, and CorrespondanceList of 100,000 rows against the raw
// SELECT through a reused prepared statement with the same escaping done in
// a plain loop. Each reports the process's peak resident set.
#include "platform/text/utf.h"
#include "valmorin/valmorin.h"
#include "store_fixture.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <sys/resource.h>

#include <filesystem>
#include <stdexcept>


namespace {

constexpr int kRows = 100000;

void Exec(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error(message);
}

// A private copy of a fixture store, changed by sql, so that benchmarks that
// write or reshape a store leave the shared one as it was.
std::string Prepared(const std::string& fixture, const std::string& name, const std::string& sql)
{
    const std::string path = (BenchFolder() / (name + ".db")).string();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    std::filesystem::copy_file(fixture, path);
    Exec(path, "BEGIN;" + sql + "COMMIT;");
    return path;
}

void ReportPeakMemory(benchmark::State& state)
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Each call deletes the oldest output column and adds a new one, so every
// call rewrites all 100,000 rows.
void TableUpdateRewrite(benchmark::State& state)
{
    const std::string path = Prepared(BenchmarkStore(1, kRows), "update",
                                      "INSERT INTO QM_DICO VALUES (1, 1, 'K', 1), (1, 2, 'A', 0), (1, 3, 'B', 0);"
                                      "UPDATE QM_VALMOR SET OUTPUT = OUTPUT || '|' || INPUT;");
    CComPtr<IValmorin> component = OpenComponent(path);
    const CComBSTR user(u"bench"), name(u"T1"), description(u"d"), add(u"N"), type(u"0"), none(u"");
    int oldest = 2;
    for (auto _ : state) {
        const CComBSTR remove(valmorin::text::Widen(std::to_string(oldest++)));
        if (component->TableUpdate(user.get(), name.get(), name.get(), description.get(), add.get(), type.get(),
                                   none.get(), none.get(), remove.get()) != S_OK)
            state.SkipWithError("TableUpdate failed");
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    ReportPeakMemory(state);
    std::filesystem::remove(path);
}

template <typename Call>
void ListingCalls(benchmark::State& state, const std::string& path, Call&& call)
{
    CComPtr<IValmorin> component = OpenComponent(path);
    for (auto _ : state) {
        BSTR list = nullptr;
        if (call(*component.get(), &list) != S_OK) state.SkipWithError("listing failed");
        benchmark::DoNotOptimize(list);
        SysFreeString(list);
    }
    ReportPeakMemory(state);
}

void TableListOf10000(benchmark::State& state)
{
    const std::string path = Prepared(BenchmarkStore(10000, 10000), "catalogue",
                                      "INSERT INTO QM_DICO SELECT ID_TABLE, 1, 'INPUT', 1 FROM QM_TABLES;"
                                      "INSERT INTO QM_DICO SELECT ID_TABLE, 2, 'OUTPUT', 0 FROM QM_TABLES;");
    ListingCalls(state, path, [](IValmorin& component, BSTR* list) { return component.TableList(list); });
}

void TableColumnsOf200(benchmark::State& state)
{
    const std::string path = Prepared(BenchmarkStore(1, 1), "columns",
                                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200) "
                                      "INSERT INTO QM_DICO SELECT 1, i, 'Column ' || i, i % 2 FROM n;");
    const CComBSTR name(u"T1");
    ListingCalls(state, path,
                 [&](IValmorin& component, BSTR* list) { return component.TableColumns(name.get(), list); });
}

void CorrespondanceListOf100000(benchmark::State& state)
{
    const CComBSTR name(u"T1");
    ListingCalls(state, BenchmarkStore(1, kRows),
                 [&](IValmorin& component, BSTR* list) { return component.CorrespondanceList(name.get(), list); });
    state.SetItemsProcessed(state.iterations() * kRows);
}

// The escaping of the listing written as one loop over the characters.
void AppendEscaped(std::u16string& out, const char16_t* text, int bytes, bool lineBreaks)
{
    for (const char16_t* c = text; c < text + bytes / 2; ++c) {
        if (*c == u'\\') out += u"\\\\";
        else if (*c == u'"') out += u"\\\"";
        else if (lineBreaks && *c == u'\r') out += u"\\u000d";
        else if (lineBreaks && *c == u'\n') out += u"\\u000a";
        else out += *c;
    }
}

void AppendField(std::u16string& out, sqlite3_stmt* stmt, int column, bool lineBreaks)
{
    const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(stmt, column));
    AppendEscaped(out, text, sqlite3_column_bytes16(stmt, column), lineBreaks);
}

void RawCorrespondenceSelect(benchmark::State& state)
{
    const std::string path = BenchmarkStore(1, kRows);
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT INPUT, OUTPUT, USER_CODE_LASTACTION FROM QM_VALMOR WHERE ID_TABLE IN (SELECT ID_TABLE "
                       "FROM QM_TABLES WHERE NOM = ?)",
                       -1, &stmt, nullptr);
    for (auto _ : state) {
        sqlite3_bind_text(stmt, 1, "T1", -1, SQLITE_STATIC);
        std::u16string list = u"{\"list\" : [";
        bool first = true;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            if (!first) list += u',';
            first = false;
            list += u"{\"input\": \"";
            AppendField(list, stmt, 0, true);
            list += u"\", \"output\": \"";
            AppendField(list, stmt, 1, true);
            list += u"\", \"lastactionuser\": \"";
            AppendField(list, stmt, 2, false);
            list += u"\"}";
        }
        list += u"]}";
        sqlite3_reset(stmt);
        benchmark::DoNotOptimize(list.data());
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kRows);
    ReportPeakMemory(state);
}

} // namespace

BENCHMARK(TableUpdateRewrite)->UseRealTime()->Iterations(3)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(TableListOf10000)->UseRealTime()->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(TableColumnsOf200)->UseRealTime()->Repetitions(3)->Unit(benchmark::kMicrosecond);
BENCHMARK(RawCorrespondenceSelect)->UseRealTime()->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(CorrespondanceListOf100000)->UseRealTime()->Repetitions(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
