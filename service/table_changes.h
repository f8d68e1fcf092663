// The changes of a table as TableUpdate and TableDelete make them, shared
// with the change sets that hold such changes: each runs inside the
// caller's transaction.
#pragma once

#include "qmt/db/ado_connection.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The columns to add (names and INOUT codes "0" or "1", checked), to
// rename (ids and names, at the same places) and to delete (ids).
struct ColumnLists {
    std::vector<std::u16string> addNames, addTypes, updNames;
    std::vector<LONG> updIds, delIds;
};

struct TableUpdateRequest {
    std::u16string_view user, previousName, name;
    std::optional<std::u16string_view> description; // none: the stored one is kept
    ColumnLists columns;
};

// Renames table previousName and describes it, renames, deletes and adds
// its columns, and rewrites its stored values to the columns left.
void UpdateTable(qmt::CAdoConnection& connection, const TableUpdateRequest& request);

// Deletes the table with its columns and correspondences.
void DeleteTable(qmt::CAdoConnection& connection, std::u16string_view name);
