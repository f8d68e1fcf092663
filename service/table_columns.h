// The column lists of TableCreate and TableUpdate: checked whole before the
// store is touched, so a bad item never reaches a statement and never
// leaves half a change behind.
#pragma once

#include "qmt/db/ado_connection.h"

#include <string>
#include <vector>

// Throws E_INVALIDARG with a description naming the argument and the rule.
[[noreturn]] void RejectArgument(std::u16string description);

// Every added column needs its INOUT code, exactly "0" or "1": the code goes
// into the insert unquoted. Codes beyond the last name are never used.
void RequireColumnTypes(const std::vector<std::u16string>& names, const std::vector<std::u16string>& types);

// Column numbers of a list argument, read strictly: each item is a decimal
// integer, blanks before it allowed; anything else is refused, so the
// numbers can be put into a statement as the digits this routine writes.
std::vector<LONG> ParseColumnIds(const std::vector<std::u16string>& items, std::u16string_view argument);

// Inserts one QM_DICO row; type is a code RequireColumnTypes accepted.
void InsertColumn(qmt::CAdoConnection& connection, LONG tableId, LONG columnId, const std::u16string& name,
                  const std::u16string& type);

// Who creates a table, its name and its description, as given.
struct NewTable {
    std::u16string user, name, description;
};

// Inserts the table's catalogue row under the next identifier and its
// columns, numbered from 1 in the order given, inside the caller's
// transaction; types are codes RequireColumnTypes accepted. Returns the
// table's ID_TABLE.
LONG CreateTable(qmt::CAdoConnection& connection, const NewTable& table, const std::vector<std::u16string>& names,
                 const std::vector<std::u16string>& types);
