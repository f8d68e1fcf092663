#include "store_fixture.h"

#include "platform/ado/connection_string.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "qmt/db/store_admin.h"

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>

#include <unistd.h>

namespace {

void Exec(sqlite3* db, const std::string& sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "?";
        sqlite3_free(error);
        throw std::runtime_error(message);
    }
}

std::filesystem::path MakeBenchFolder()
{
    std::string made = (std::filesystem::temp_directory_path() / "valmorin-bench.XXXXXX").string();
    if (::mkdtemp(made.data()) == nullptr) throw std::runtime_error("cannot make " + made);
    return made;
}

pid_t g_owner = ::getpid(); // a forked child leaves the folder to its parent

void RemoveBenchFolder()
{
    if (::getpid() != g_owner) return;
    std::error_code ignored;
    std::filesystem::remove_all(BenchFolder(), ignored);
}

void Fill(sqlite3* db, int tables, int rows)
{
    Exec(db, "BEGIN;");
    sqlite3_stmt* table = nullptr;
    sqlite3_stmt* value = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (?, 2, ?)", -1, &table, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (?, ?, ?)", -1, &value, nullptr);
    const int perTable = rows / tables;
    for (int t = 1; t <= tables; ++t) {
        const std::string name = "T" + std::to_string(t);
        sqlite3_bind_int(table, 1, t);
        sqlite3_bind_text(table, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(table);
        sqlite3_reset(table);
        for (int i = 0; i < perTable; ++i) {
            const std::string key = "K" + std::to_string(t) + "_" + std::to_string(i);
            const std::string out = "V" + std::to_string(t) + "_" + std::to_string(i);
            sqlite3_bind_int(value, 1, t);
            sqlite3_bind_text(value, 2, key.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(value, 3, out.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(value);
            sqlite3_reset(value);
        }
    }
    sqlite3_finalize(table);
    sqlite3_finalize(value);
    Exec(db, "COMMIT; ANALYZE;");
}

std::u16string SqliteConnectionString(const std::string& path)
{
    return valmorin::ado::ConnectionString()
        .With(u"Provider", u"SQLite")
        .With(u"Data Source", valmorin::text::Widen(path))
        .Text();
}

} // namespace

const std::filesystem::path& BenchFolder()
{
    static const std::filesystem::path folder = MakeBenchFolder();
    // Registered once the folder exists, so that it runs before the folder's
    // path is destroyed.
    [[maybe_unused]] static const bool removedAtExit = std::atexit(RemoveBenchFolder) == 0;
    return folder;
}

std::string BenchmarkStore(int tables, int rows)
{
    static std::map<std::pair<int, int>, std::string> built;
    auto& path = built[{tables, rows}];
    if (!path.empty()) return path;
    path = (BenchFolder() / ("store-" + std::to_string(tables) + "-" + std::to_string(rows) + ".db")).string();
    qmt::CreateStore(SqliteConnectionString(path));
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Fill(db, tables, rows);
    sqlite3_close(db);
    return path;
}

HRESULT NewComponent(REFIID riid, void** object)
{
    CComPtr<IClassFactory> factory;
    const HRESULT hr = DllGetClassObject(CLSID_CValmorin, IClassFactory::iid, reinterpret_cast<void**>(&factory));
    return FAILED(hr) ? hr : factory->CreateInstance(nullptr, riid, object);
}

CComPtr<IValmorin> OpenComponent(const std::string& path)
{
    CComPtr<IValmorin> component;
    if (FAILED(NewComponent(IValmorin::iid, reinterpret_cast<void**>(&component))))
        throw std::runtime_error("no component");
    if (FAILED(component->Open(CComBSTR(SqliteConnectionString(path)).get())))
        throw std::runtime_error("cannot open " + path);
    return component;
}

[[gnu::noinline]] bool InvokeLookup(IDispatch& component, VARIANT& table, VARIANT& input)
{
    VARIANT args[2] = {input, table}; // shallow copies: last argument first
    DISPPARAMS params{args, nullptr, 2, 0};
    CComVariant result;
    return component.Invoke(9, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr) == S_OK &&
           result.vt == VT_BSTR && SysStringLen(result.bstrVal) != 0;
}

void AskForLookupCache(DWORD entries)
{
    static const std::string folder = [] {
        const std::filesystem::path made = BenchFolder() / "registry";
        std::filesystem::create_directory(made);
        ::setenv("PELKOR_REGISTRY_DIR", made.c_str(), 1);
        return made.string();
    }();
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\Common\\Valmorin", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != 0 ||
        RegSetValueExW(key, u"LookupCache", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&entries), sizeof entries) != 0)
        throw std::runtime_error("cannot set LookupCache in " + folder);
    RegCloseKey(key);
}

[[gnu::noinline]] bool VtableLookup(IValmorin& component, BSTR table, BSTR input)
{
    BSTR text = nullptr;
    const bool answered = SUCCEEDED(component.translate(table, input, &text)) && SysStringLen(text) > 0;
    SysFreeString(text);
    return answered;
}
