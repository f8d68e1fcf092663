// A translation store in a temporary SQLite file, made from the shipped
// schema, and a component object to call.
#pragma once

#include "service/ivalmorin.h"
#include "support/temp_dir.h"

#include <string>

class TestStore {
public:
    TestStore();
    const std::filesystem::path& file() const { return m_file; }
    std::u16string connectionString() const { return SqliteConnectionString(m_file); }
    // Runs SQL (UTF-8) against the store directly.
    void Run(const std::string& sql) const;
    std::vector<std::u16string> Column(const std::string& sql) const { return QueryColumn(m_file, sql); }

private:
    TempDir m_dir;
    std::filesystem::path m_file;
};

std::string ReadSchema();

// A new component object; Open-ed on the store when one is given.
CComPtr<IValmorin> NewComponent(const TestStore* store = nullptr);

// Owns a BSTR result: starts as null, freed at the end of the scope.
struct BstrResult {
    BSTR value = nullptr;
    ~BstrResult() { SysFreeString(value); }
    BSTR* operator&() { return &value; }
    std::u16string text() const { return value ? std::u16string(value, SysStringLen(value)) : u"<NULL>"; }
};
