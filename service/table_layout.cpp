#include "service/table_layout.h"

#include "service/listing.h"
#include "service/rows.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"

#include <algorithm>

std::size_t TableLayout::Count(bool input) const
{
    return static_cast<std::size_t>(
        std::count_if(columns.begin(), columns.end(), [&](const Column& column) { return column.input == input; }));
}

TableLayout ReadTableLayout(qmt::CAdoConnection& connection, const std::u16string& name)
{
    TableLayout layout;
    layout.id = LookupTableId(connection, qmt::Doubled(name));
    if (layout.id == 0) return layout;
    ForEachRow(connection, Sql<statements::kScanColumns>(layout.id), [&](const qmt::CAdoRecord& row) {
        layout.columns.push_back({ReadText(row, 2), ReadNumber(row, 1) == 1});
    });
    return layout;
}

// SplitList's reading, as the rest of the component splits stored fields:
// trailing empty values are the same as missing ones.
bool SplitValues(std::u16string_view field, std::size_t count, std::vector<std::u16string_view>& values)
{
    if (count == 1) {
        values.assign(1, field);
        return true;
    }
    SplitListViews(field, ValueSeparator, values);
    if (values.size() > count) return false;
    values.resize(count);
    return true;
}

void JoinValues(const std::vector<std::u16string>& values, std::size_t count, std::u16string& field)
{
    field.clear();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) field += ValueSeparator;
        field += values[i];
    }
}
