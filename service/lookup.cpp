// The lookups: translate, the OUTPUT a table holds for an INPUT; its
// default-taking form; and the reverse lookup, from an OUTPUT to its INPUT.
#include "service/call_frame.h"
#include "service/format_sql.h"
#include "service/listing.h"
#include "service/statement_guard.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"

namespace {

// Field 0 of the statement's first row: false when there is no row or the
// field is NULL, value then untouched.
bool ReadFirstText(qmt::CAdoConnection& connection, const std::u16string& statement, CComBSTR& value)
{
    qmt::CAdoRecordset recordset;
    OpenReadOnly(recordset, statement, connection);
    bool found = false;
    if (auto row = recordset.begin(); row != recordset.end()) {
        CComVariant field;
        (*row).read(0, field);
        found = field.vt != VT_NULL && field.vt != VT_EMPTY;
        if (found) (*row).read(0, value);
    }
    recordset.close();
    return found;
}

} // namespace

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

// A row whose OUTPUT is NULL or empty is a translation to the empty text,
// not a miss: only a missing row gives the default.
HRESULT CValmorin::translateDefault(BSTR tableName, BSTR ValueIn, BSTR Default, BSTR* Translation)
{
    if (Translation == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = Translation}, [&] {
        qmt::CAdoRecordset recordset;
        OpenReadOnly(recordset, QuotedStatement(statements::kTranslate, tableName, ValueIn), m_connection);
        CComBSTR result;
        const auto row = recordset.begin();
        const bool found = row != recordset.end();
        if (found) (*row).read(0, result);
        recordset.close();
        *Translation = found ? result.Detach() : ServiceText::FromBstr(Default).copy();
        return S_OK;
    });
}

HRESULT CValmorin::translateReverse(BSTR tableName, BSTR ValueOut, BSTR* ValueIn)
{
    if (ValueIn == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = ValueIn}, [&] {
        CComBSTR input;
        const bool found =
            ReadFirstText(m_connection, QuotedStatement(statements::kTranslateReverse, tableName, ValueOut), input);
        *ValueIn = found ? input.Detach() : SysAllocString(u"");
        return found ? S_OK : S_FALSE;
    });
}
