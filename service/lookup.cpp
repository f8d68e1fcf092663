// translate: the OUTPUT a table holds for an INPUT.
#include "service/call_frame.h"
#include "service/format_sql.h"
#include "service/statement_guard.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"

HRESULT CValmorin::translate(BSTR tableName, BSTR ValueIn, BSTR* Translation)
{
    if (Translation == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = Translation}, [&] {
        const ServiceText table = ServiceText::FromBstr(tableName);
        const ServiceText value = ServiceText::FromBstr(ValueIn);
        RefuseApostrophe(m_connection, u"tableName", table.str());
        RefuseApostrophe(m_connection, u"ValueIn", value.str());
        ServiceText statement;
        FormatSql(statement, statements::kTranslate, table.c_str(), value.c_str());

        qmt::CAdoRecordset recordset;
        OpenReadOnly(recordset, statement.str(), m_connection);
        CComBSTR result; // the field's own copy becomes the [out] string
        if (auto row = recordset.begin(); row != recordset.end()) (*row).read(0, result);
        recordset.close();
        *Translation = result.get() ? result.Detach() : SysAllocString(u"");
        return S_OK;
    });
}
