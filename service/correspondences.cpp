// The correspondences of one table, addressed by the table's name, with the
// acting user recorded, and the four-eyes questions about the last user.
// Each method is one statement; every caller text stands quoted in N'...'.
// A writing statement runs in a transaction of its own, which holds the
// writers' lock: it cannot fall between a table's delete and the creation
// of a table that reuses its id.
#include "service/call_frame.h"
#include "service/listing.h"
#include "service/rows.h"
#include "service/statement_texts.h"

namespace {

constexpr std::u16string_view kCorrespondenceItem =
    u"{\"input\": \"%s\", \"output\": \"%s\", \"lastactionuser\": \"%s\"}";

// One listing item; the three fields escaped into reused buffers, since a
// table may hold many rows.
class CorrespondenceItems {
public:
    void Append(std::u16string& out, const qmt::CAdoRecord& row)
    {
        Escape(row, 0, m_input, true);
        Escape(row, 1, m_output, true);
        Escape(row, 2, m_user, false);
        AppendItem(out, kCorrespondenceItem, {m_input, m_output, m_user});
    }

private:
    void Escape(const qmt::CAdoRecord& row, LONG position, std::u16string& escaped, bool lineBreaks)
    {
        row.read(position, m_field);
        escaped.clear();
        AppendJsonEscaped(escaped, m_field, lineBreaks);
    }

    std::u16string m_field, m_input, m_output, m_user;
};

} // namespace

HRESULT CValmorin::CorrespondanceList(BSTR tableName, BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        JsonListEnvelope listing;
        CorrespondenceItems items;
        ForEachRow(m_connection, QuotedStatement<statements::kListCorrespondences>(tableName),
                   [&](const qmt::CAdoRecord& row) { items.Append(listing.NextItem(), row); });
        *List = listing.Close();
        return S_OK;
    });
}

HRESULT CValmorin::CorrespondanceExists(BSTR tableName, BSTR Input, LONG* bRetVal)
{
    if (bRetVal == nullptr) return E_POINTER;
    *bRetVal = 0;
    return ServiceCallFrame({.truth = bRetVal}, [&] {
        const qmt::AdoStatement statement = QuotedStatement<statements::kCorrespondenceTableId>(Input, tableName);
        *bRetVal = QueryNumber(m_connection, statement) != 0 ? 1 : 0;
        return S_OK;
    });
}

HRESULT CValmorin::CorrespondanceCreate(BSTR User, BSTR tableName, BSTR Input, BSTR Output)
{
    return ServiceCallFrame({}, [&] {
        const TablesChanging changing(*this, {TextOf(tableName)});
        WriteTransaction transaction(m_connection, m_history, TextOf(User));
        m_connection.execute(QuotedStatement<statements::kInsertCorrespondence>(Input, Output, User, tableName), -1);
        transaction.commit();
        return S_OK;
    });
}

HRESULT CValmorin::CorrespondanceUpdate(BSTR User, BSTR tableName, BSTR OldInput, BSTR NewInput, BSTR NewOutput)
{
    return ServiceCallFrame({}, [&] {
        const TablesChanging changing(*this, {TextOf(tableName)});
        WriteTransaction transaction(m_connection, m_history, TextOf(User));
        m_connection.execute(
            QuotedStatement<statements::kUpdateCorrespondence>(NewInput, NewOutput, User, OldInput, tableName), -1);
        transaction.commit();
        return S_OK;
    });
}

HRESULT CValmorin::CorrespondanceDelete(BSTR tableName, BSTR Input)
{
    return ServiceCallFrame({}, [&] {
        const TablesChanging changing(*this, {TextOf(tableName)});
        WriteTransaction transaction(m_connection, m_history, u"");
        m_connection.execute(QuotedStatement<statements::kDeleteCorrespondence>(Input, tableName), -1);
        transaction.commit();
        return S_OK;
    });
}

HRESULT CValmorin::TableFourEyesIsLastUser(BSTR User, BSTR Name, LONG* bRetVal)
{
    if (bRetVal == nullptr) return E_POINTER;
    *bRetVal = 0;
    return ServiceCallFrame({.truth = bRetVal}, [&] {
        *bRetVal = HasRow(m_connection, QuotedStatement<statements::kTableLastUser>(Name, User)) ? 1 : 0;
        return S_OK;
    });
}

HRESULT CValmorin::CorrespondanceFourEyesIsLastUser(BSTR User, BSTR tableName, BSTR Input, LONG* bRetVal)
{
    if (bRetVal == nullptr) return E_POINTER;
    *bRetVal = 0;
    return ServiceCallFrame({.truth = bRetVal}, [&] {
        *bRetVal =
            HasRow(m_connection, QuotedStatement<statements::kCorrespondenceLastUser>(Input, User, tableName)) ? 1 : 0;
        return S_OK;
    });
}
