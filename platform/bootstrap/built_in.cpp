// The platform's bootstrap: the one place that sees COM, the ADO kit, its
// providers and the data-source directory together, and names what each
// table starts with. Everything below it stays unaware of what sits above.
#include "platform/ado/ado.h"
#include "platform/ado/built_in.h"
#include "platform/ado/odbc/entry.h"
#include "platform/ado/postgresql/entry.h"
#include "platform/ado/sqlite/entry.h"
#include "platform/com/built_in.h"
#include "platform/datasource/directory.h"

namespace valmorin::com {

std::vector<BuiltInClass> BuiltInClasses()
{
    return {{CLSID_Connection, ado::NewConnectionClassObject()},
            {CLSID_Recordset, ado::NewRecordsetClassObject()},
            {CLSID_Command, ado::NewCommandClassObject()},
            {CLSID_DataSourceDirectory, datasource::NewDirectoryClassObject()}};
}

} // namespace valmorin::com

namespace valmorin::ado {

std::vector<std::shared_ptr<Provider>> BuiltInProviders()
{
    return {sqlite::NewProvider(), postgresql::NewProvider(), odbc::NewProvider()};
}

} // namespace valmorin::ado
