// Reading the rows of a read-only statement, field by field.
#pragma once

#include "qmt/db/ado_recordset.h"
#include "service/store_routines.h"

#include <string>

// Numbers are read at 32 bits: an identifier or a count above 32767 is
// shown as it is stored, never cut or refused.
inline LONG ReadNumber(const qmt::CAdoRecord& record, LONG position)
{
    LONG value = 0;
    record.read(position, value);
    return value;
}

inline std::u16string ReadText(const qmt::CAdoRecord& record, LONG position)
{
    std::u16string value;
    record.read(position, value);
    return value;
}

// Opens the statement read-only and hands each row, in the order the
// database returns them, to visit.
template <typename Visit>
void ForEachRow(qmt::CAdoConnection& connection, const qmt::AdoStatement& statement, Visit&& visit)
{
    qmt::CAdoRecordset recordset;
    OpenReadOnly(recordset, statement, connection);
    for (auto row = recordset.begin(); row != recordset.end(); ++row) visit(static_cast<const qmt::CAdoRecord&>(*row));
    recordset.close();
}

// ForEachRow with a cursor that holds one row at a time; visit returns
// false to stop before the last row.
template <typename Visit>
void StreamRows(qmt::CAdoConnection& connection, const qmt::AdoStatement& statement, Visit&& visit)
{
    qmt::CAdoRecordset recordset;
    OpenForwardOnly(recordset, statement, connection);
    for (auto row = recordset.begin(); row != recordset.end(); ++row)
        if (!visit(static_cast<const qmt::CAdoRecord&>(*row))) break;
    recordset.close();
}

// True when the read-only statement returns a row.
inline bool HasRow(qmt::CAdoConnection& connection, const qmt::AdoStatement& statement)
{
    qmt::CAdoRecordset recordset;
    OpenReadOnly(recordset, statement, connection);
    const bool found = recordset.begin() != recordset.end();
    recordset.close();
    return found;
}
