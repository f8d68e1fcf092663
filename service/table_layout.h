// A table's columns as its stored values use them: in ID_COL order, each on
// the input or the output side, the values of a side joined by
// ValueSeparator in that order. What the CSV import and export share.
#pragma once

#include "qmt/db/ado_connection.h"

#include <string>
#include <vector>

struct TableLayout {
    struct Column {
        std::u16string name;
        bool input = false; // INOUT 1; every other code is an output
    };
    LONG id = 0; // 0 when no table has the name
    std::vector<Column> columns;

    std::size_t Count(bool input) const;
};

TableLayout ReadTableLayout(qmt::CAdoConnection& connection, const std::u16string& name);

// The values of a side of count columns held by a stored field, missing
// ones empty; false when it holds more values than the side has columns.
// A side of one column holds its field whole.
bool SplitValues(std::u16string_view field, std::size_t count, std::vector<std::u16string_view>& values);

// The field a side of count columns stores for its values.
void JoinValues(const std::vector<std::u16string>& values, std::size_t count, std::u16string& field);
