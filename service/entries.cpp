// transadd and transdel: single correspondences without a user. Each runs
// in one transaction, which holds the writers' lock: the table's id is
// looked up, the entry tested and inserted with no other writer between
// them, so no delete of the table can orphan the row and no table made in
// the meantime can be handed it.
#include "qmt/diag/format.h"
#include "qmt/diag/trace.h"
#include "service/call_frame.h"
#include "service/service_text.h"
#include "service/statement_guard.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"

namespace {

// The longest table name transadd takes, in UTF-16 units.
constexpr std::size_t kMaxImplicitNameLength = 31;

void RefuseLongTableName(const std::u16string& name)
{
    if (name.size() <= kMaxImplicitNameLength) return;
    throw qmt::CException(u"CValmorin",
                          u"The table name has " + qmt::Format(u"%d", static_cast<int>(name.size())) +
                              u" characters; transadd takes names of at most 31.",
                          static_cast<DWORD>(E_INVALIDARG));
}

void InsertEntry(qmt::CAdoConnection& connection, LONG id, const ServiceText& input, const ServiceText& output)
{
    connection.execute(Sql<statements::kInsertEntry>(id, input.str(), output.str()), -1);
}

} // namespace

HRESULT CValmorin::transadd(BSTR tableName, BSTR ValueIn, BSTR ValueOut, LONG* bRetVal)
{
    if (bRetVal == nullptr) return E_POINTER;
    return ServiceCallFrame({.truth = bRetVal}, [&] {
        const ServiceText table = ServiceText::FromBstr(tableName);
        const ServiceText input = ServiceText::FromBstr(ValueIn);
        const ServiceText output = ServiceText::FromBstr(ValueOut);
        RefuseLongTableName(table.str());
        RefuseApostrophe(m_connection, u"tableName", table.str());
        RefuseApostrophe(m_connection, u"ValueIn", input.str());
        RefuseApostrophe(m_connection, u"ValueOut", output.str());

        const TablesChanging changing(*this, {table.str()});
        WriteTransaction transaction(m_connection, m_history, u"");
        LONG id = LookupTableId(m_connection, table.str());
        if (id == 0) id = CreateImplicitTable(m_connection, table.str());
        if (id == 0) return S_OK; // nothing of the creation is kept
        if (!EntryExists(m_connection, input.str(), id)) InsertEntry(m_connection, id, input, output);
        transaction.commit();
        *bRetVal = 1;
        return S_OK;
    });
}

HRESULT CValmorin::transdel(BSTR tableName, BSTR ValueIn, LONG* bRetVal)
{
    if (bRetVal == nullptr) return E_POINTER;
    return ServiceCallFrame({.truth = bRetVal}, [&] {
        const ServiceText table = ServiceText::FromBstr(tableName);
        const ServiceText input = ServiceText::FromBstr(ValueIn);
        qmt::Trace(qmt::LogLevel::Debug, statements::kTransdelTrace, table.c_str(), input.c_str());
        RefuseApostrophe(m_connection, u"tableName", table.str());
        RefuseApostrophe(m_connection, u"ValueIn", input.str());
        const TablesChanging changing(*this, {table.str()});
        WriteTransaction transaction(m_connection, m_history, u"");
        const LONG deleted = m_connection.execute(Sql<statements::kDeleteEntry>(table.str(), input.str()), -1);
        transaction.commit();
        if (deleted == 0) return S_FALSE;
        *bRetVal = 1;
        return S_OK;
    });
}
