#include "support/store.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

extern "C" HRESULT ValmorinCreateObject(REFIID riid, void** object);

std::string ReadSchema()
{
    std::ifstream in(std::string(VALMORIN_SOURCE_DIR) + "/schema/sqlite.sql");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TestStore::TestStore() : m_file(m_dir / "store.db") { CreateSqliteFile(m_file, ReadSchema()); }

void TestStore::Run(const std::string& sql) const { CreateSqliteFile(m_file, sql); }

CComPtr<IValmorin> NewComponent(const TestStore* store)
{
    CComPtr<IValmorin> component;
    if (FAILED(ValmorinCreateObject(IValmorin::iid, reinterpret_cast<void**>(&component))))
        throw std::runtime_error("cannot create the component");
    if (store) {
        CComBSTR connection(store->connectionString());
        if (FAILED(component->Open(connection.get()))) throw std::runtime_error("cannot open the store");
    }
    return component;
}
