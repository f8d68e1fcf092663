#include "qmt/db/ado_connection_nk.h"

#include "platform/ado/provider.h"
#include "qmt/db/ado_datasource.h"
#include "qmt/diag/exception.h"
#include "platform/text/ascii.h"

namespace qmt {

namespace {

// The text after the first key (exact case) up to the next ';' or the end.
std::u16string ValueAfter(const std::u16string& text, std::u16string_view key)
{
    const auto at = text.find(key);
    if (at == std::u16string::npos) return {};
    const auto from = at + key.size();
    const auto end = text.find(u';', from);
    return text.substr(from, end == std::u16string::npos ? std::u16string::npos : end - from);
}


} // namespace

void CAdoConnectionNK::open(const std::u16string& dataSourceName)
{
    CAdoDataSourceNK dataSource;
    std::u16string connectionString;
    try {
        connectionString = dataSource.get(dataSourceName, kSelectorConnectionString);
    } catch (const CException&) {
        // logged where it was raised; the connection stays closed
    }
    if (connectionString.empty()) return;
    const std::u16string provider = valmorin::text::AsciiUpper(ValueAfter(connectionString, u"Provider="));
    if (provider.find(u"ORACLE") == std::u16string::npos) {
        open(connectionString, u"", u"");
        return;
    }
    const std::u16string userId = ValueAfter(connectionString, u"User ID=");
    std::u16string schema;
    try {
        schema = dataSource.get(dataSourceName, kSelectorSchema);
    } catch (const CException&) {
        // no schema: the session keeps the user's own
    }
    open(connectionString, u"", u"");
    if (!valmorin::text::EqualAsciiNoCase(schema, userId)) execute(u"ALTER SESSION SET CURRENT_SCHEMA=" + schema, -1);
}

} // namespace qmt
