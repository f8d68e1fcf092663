#include "service/table_columns.h"

#include "qmt/diag/exception.h"
#include "service/listing.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"

#include <cctype>
#include <charconv>

void RejectArgument(std::u16string description)
{
    throw qmt::CException(u"CValmorin", std::move(description), static_cast<DWORD>(E_INVALIDARG));
}

void RequireColumnTypes(const std::vector<std::u16string>& names, const std::vector<std::u16string>& types)
{
    if (types.size() < names.size())
        RejectArgument(u"ColumnsTypeToAdd has " + Decimal(static_cast<LONG>(types.size())) + u" items for " +
                       Decimal(static_cast<LONG>(names.size())) + u" names in ColumnsNameToAdd.");
    for (std::size_t i = 0; i < names.size(); ++i)
        if (types[i] != u"0" && types[i] != u"1")
            RejectArgument(u"ColumnsTypeToAdd item " + Decimal(static_cast<LONG>(i + 1)) + u" is \"" + types[i] +
                           u"\"; a column type is 0 (output) or 1 (input).");
}

namespace {

bool ParseColumnId(std::u16string_view item, LONG& value)
{
    std::size_t i = 0;
    while (i < item.size() && item[i] == u' ') ++i;
    std::string ascii; // digits and sign only; anything else fails below
    for (; i < item.size(); ++i) {
        if (item[i] > 0x7F) return false;
        ascii += static_cast<char>(item[i]);
    }
    if (ascii.size() > 1 && ascii[0] == '+' && std::isdigit(static_cast<unsigned char>(ascii[1]))) ascii.erase(0, 1);
    const char* end = ascii.data() + ascii.size();
    const auto [stop, error] = std::from_chars(ascii.data(), end, value);
    return error == std::errc() && stop == end;
}

} // namespace

std::vector<LONG> ParseColumnIds(const std::vector<std::u16string>& items, std::u16string_view argument)
{
    std::vector<LONG> ids;
    ids.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        LONG id = 0;
        if (!ParseColumnId(items[i], id))
            RejectArgument(std::u16string(argument) + u" item " + Decimal(static_cast<LONG>(i + 1)) + u" is \"" +
                           items[i] + u"\"; a column id is a decimal integer.");
        ids.push_back(id);
    }
    return ids;
}

void InsertColumn(qmt::CAdoConnection& connection, LONG tableId, LONG columnId, const std::u16string& name,
                  const std::u16string& type)
{
    const LONG inout = type == u"1" ? 1 : 0; // RequireColumnTypes let only 0 and 1 through
    connection.execute(Sql<statements::kInsertColumn>(tableId, columnId, qmt::Doubled(name), inout), -1);
}

LONG CreateTable(qmt::CAdoConnection& connection, const NewTable& table, const std::vector<std::u16string>& names,
                 const std::vector<std::u16string>& types)
{
    const LONG id = NextTableId(connection);
    connection.execute(Sql<statements::kInsertTable>(id, qmt::Doubled(table.name), qmt::Doubled(table.description),
                                                     qmt::Doubled(table.user)),
                       -1);
    for (std::size_t i = 0; i < names.size(); ++i)
        InsertColumn(connection, id, static_cast<LONG>(i + 1), names[i], types[i]);
    return id;
}
