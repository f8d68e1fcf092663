// The listings as valid JSON: every text is written by the JSON library,
// which escapes each control character, backslash and quote, and numbers
// are numbers. The tables with their row counts, a table's columns, and a
// page of a table's correspondences with their total.
#include "qmt/db/ado_transaction.h"
#include "qmt/diag/exception.h"
#include "service/call_frame.h"
#include "service/json_text.h"
#include "service/listing.h"
#include "service/rows.h"
#include "service/statement_texts.h"

namespace {

Json TableItem(const qmt::CAdoRecord& row)
{
    return {{"id", ReadNumber(row, 0)},
            {"name", JsonString(ReadText(row, 1))},
            {"description", JsonString(ReadText(row, 2))},
            {"input", ReadNumber(row, 3)},
            {"output", ReadNumber(row, 4)},
            {"lastactionuser", JsonString(ReadText(row, 5))},
            {"rows", ReadNumber(row, 6)}};
}

Json CorrespondenceItem(const qmt::CAdoRecord& row)
{
    return {{"input", JsonString(ReadText(row, 0))},
            {"output", JsonString(ReadText(row, 1))},
            {"lastactionuser", JsonString(ReadText(row, 2))}};
}

[[noreturn]] void RefuseNegative(std::u16string_view argument)
{
    throw qmt::CException(u"CValmorin", u"The argument " + std::u16string(argument) + u" is negative.",
                          static_cast<DWORD>(E_INVALIDARG));
}

// The LIKE pattern that finds text as written: the escape character and
// the wildcards of every store (% _ and SQL Server's [) stand for
// themselves, and % on each side lets it stand anywhere.
std::u16string ContainsPattern(std::u16string_view text)
{
    std::u16string pattern = u"%";
    for (const char16_t c : text) {
        if (c == u'!' || c == u'%' || c == u'_' || c == u'[') pattern += u'!';
        pattern += c;
    }
    return pattern + u'%';
}

// The rows of one page, and the total of the rows that qualify. LIKE may
// match more than the text as written (SQLite's LIKE ignores the case of
// ASCII letters), so every row is tested here again: the filter means the
// same on every store.
class Page {
public:
    Page(std::u16string contains, LONG offset, LONG limit)
        : m_contains(std::move(contains)), m_offset(offset), m_limit(limit)
    {}

    // False once the page is full and the total is not needed from here.
    bool Take(const qmt::CAdoRecord& row, JsonItems& items, bool counting)
    {
        if (!m_contains.empty() && !Contains(row)) return true;
        if (m_seen >= m_offset && (m_limit == 0 || m_seen < static_cast<long long>(m_offset) + m_limit))
            items.Append(CorrespondenceItem(row));
        ++m_seen;
        return counting || m_limit == 0 || m_seen < static_cast<long long>(m_offset) + m_limit;
    }
    long long seen() const { return m_seen; }

private:
    bool Contains(const qmt::CAdoRecord& row)
    {
        row.read(0, m_field);
        if (m_field.find(m_contains) != std::u16string::npos) return true;
        row.read(1, m_field);
        return m_field.find(m_contains) != std::u16string::npos;
    }

    std::u16string m_contains;
    LONG m_offset;
    LONG m_limit;
    long long m_seen = 0;
    std::u16string m_field;
};

} // namespace

HRESULT CValmorin::TableListJson(BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        JsonItems items;
        ForEachRow(ListingConnection(), Sql<statements::kListTablesWithRows>(),
                   [&](const qmt::CAdoRecord& row) { items.Append(TableItem(row)); });
        *List = JsonToBstr(WithList(Json::object(), items));
        return S_OK;
    });
}

HRESULT CValmorin::TableColumnsJson(BSTR Name, BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        JsonItems items;
        ForEachRow(ListingConnection(), QuotedStatement<statements::kListColumns>(Name),
                   [&](const qmt::CAdoRecord& row) {
                       items.Append({{"id", ReadNumber(row, 0)},
                                     {"name", JsonString(ReadText(row, 1))},
                                     {"input", ReadNumber(row, 2) == 1}});
                   });
        *List = JsonToBstr(WithList({{"name", JsonString(ServiceText::FromBstr(Name).str())}}, items));
        return S_OK;
    });
}

// Without a text to look for, the total is counted by the store and the
// rows are read up to the end of the page only; with one, every row that
// qualifies is read and counted here.
HRESULT CValmorin::CorrespondanceListJson(BSTR Name, BSTR Contains, LONG Offset, LONG Limit, BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        if (Offset < 0) RefuseNegative(u"Offset");
        if (Limit < 0) RefuseNegative(u"Limit");
        const std::u16string name = ServiceText::FromBstr(Name).str();
        const std::u16string contains = ServiceText::FromBstr(Contains).str();
        Page page(contains, Offset, Limit);
        qmt::CAdoConnection& store = ListingConnection(); // the count and the rows from one store
        JsonItems items;
        long long total = 0;
        if (contains.empty()) {
            // One snapshot for both: a commit between them would give a
            // total the rows disagree with.
            qmt::CAdoTransaction snapshot(store, qmt::CAdoTransaction::Kind::Reads);
            total = QueryNumber(store, QuotedStatement<statements::kCountCorrespondences>(Name));
            StreamRows(store, QuotedStatement<statements::kListCorrespondencesInOrder>(Name),
                       [&](const qmt::CAdoRecord& row) { return page.Take(row, items, false); });
            snapshot.commit();
        } else {
            const std::u16string pattern = ContainsPattern(contains);
            StreamRows(store,
                       Sql<statements::kListCorrespondencesLike>(qmt::Doubled(name), qmt::Doubled(pattern),
                                                                 qmt::Doubled(pattern)),
                       [&](const qmt::CAdoRecord& row) { return page.Take(row, items, true); });
            total = page.seen();
        }
        const Json head = {{"name", JsonString(name)},
                           {"contains", JsonString(contains)},
                           {"offset", Offset},
                           {"limit", Limit},
                           {"total", total}};
        *List = JsonToBstr(WithList(head, items));
        return S_OK;
    });
}
