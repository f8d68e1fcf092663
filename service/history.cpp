// The history's readings: the current revision, the changes of a table or
// of one of its rows, and what translate answered as of a point.
#include "qmt/db/store_time.h"
#include "qmt/diag/exception.h"
#include "service/call_frame.h"
#include "service/json_text.h"
#include "service/rows.h"
#include "service/service_text.h"
#include "service/statement_guard.h"
#include "service/statement_texts.h"

#include <optional>

namespace {

[[noreturn]] void RefuseArgument(std::u16string text)
{
    throw qmt::CException(u"CValmorin", std::move(text), static_cast<DWORD>(E_INVALIDARG));
}

struct HistoryBounds {
    std::u16string oldest, oldestTime, current;
};

// The history's start is one row, which another program could remove.
void RequireStart(const HistoryBounds& bounds)
{
    if (bounds.oldest.empty()) throw qmt::CException(u"CValmorin", u"QM_HISTORY_START holds no row.", E_FAIL);
}

// The bounds a row holds in three fields from `first` on, each read once:
// taken from the row rather than copied.
HistoryBounds BoundsFrom(const qmt::CAdoRecord& row, LONG first)
{
    const auto taken = [&](LONG position) {
        CComBSTR text;
        row.takeText(position, text);
        return std::u16string(text.view());
    };
    return {taken(first), taken(first + 1), taken(first + 2)};
}

HistoryBounds ReadBounds(qmt::CAdoConnection& connection)
{
    HistoryBounds bounds;
    ForEachRow(connection, Sql<statements::kHistoryBounds>(),
               [&](const qmt::CAdoRecord& row) { bounds = BoundsFrom(row, 0); });
    RequireStart(bounds);
    return bounds;
}

[[noreturn]] void RefuseOlderThanKept(std::u16string_view asOf, const HistoryBounds& bounds)
{
    RefuseArgument(u"AsOf " + std::u16string(asOf) + u" is older than the history keeps: the oldest point kept is " +
                   u"revision " + bounds.oldest + u" (" + bounds.oldestTime + u").");
}

// A revision the history answers for: made already, and not older than
// the oldest point kept.
void RefuseOutside(const HistoryBounds& bounds, const std::u16string& revision, std::u16string_view asOf)
{
    if (RevisionBefore(bounds.current, revision))
        RefuseArgument(u"Revision " + revision + u" is not made yet; the current revision is " + bounds.current + u".");
    if (RevisionBefore(revision, bounds.oldest)) RefuseOlderThanKept(asOf, bounds);
}

// The revision AsOf names: itself, or the last one made at or before the
// time (refused when the history no longer answers for it). A revision
// itself is checked against the bounds read with its answer.
std::u16string RevisionOf(qmt::CAdoConnection& connection, std::u16string_view asOf)
{
    if (const auto number = RevisionNumber(asOf)) return *number;
    const auto time = qmt::StoreTime(asOf);
    if (!time)
        RefuseArgument(u"AsOf \"" + std::u16string(asOf) +
                       u"\" is neither a revision (decimal digits) nor an ISO 8601 UTC time such as "
                       u"2026-01-31T12:00:00Z.");
    const HistoryBounds bounds = ReadBounds(connection);
    if (*time < bounds.oldestTime) RefuseOlderThanKept(asOf, bounds);
    CComBSTR found;
    ForEachRow(connection, Sql<statements::kRevisionAtTime>(*time),
               [&](const qmt::CAdoRecord& row) { row.read(0, found); });
    return found.get() && SysStringLen(found.get()) > 0 ? std::u16string(found.view()) : bounds.oldest;
}

// The running numbers are counters, not reference data: their changes are
// not recorded, so no answer about their past would be true.
void RefuseRunningNumbers(std::u16string_view table)
{
    if (table == statements::kCounterTable)
        RefuseArgument(std::u16string(table) + u" holds the running numbers, whose changes the history does not "
                                               u"record.");
}

Json HistoryItem(const qmt::CAdoRecord& row)
{
    Json item = {{"revision", JsonString(ReadText(row, 0))}, {"time", JsonString(ReadText(row, 1))},
                 {"user", JsonTextOrNull(row, 2)},           {"kind", JsonString(ReadText(row, 3))},
                 {"table", JsonTextOrNull(row, 4)},          {"input", JsonTextOrNull(row, 5)},
                 {"before", JsonTextOrNull(row, 6)},         {"after", JsonTextOrNull(row, 7)}};
    if (Json approver = JsonTextOrNull(row, 8); !approver.is_null()) item["approver"] = std::move(approver);
    return item;
}

} // namespace

HRESULT CValmorin::Revision(BSTR* Revision)
{
    if (Revision == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = Revision}, [&] {
        m_history.RefuseWithout();
        CComBSTR current;
        ForEachRow(m_connection, Sql<statements::kCurrentRevision>(),
                   [&](const qmt::CAdoRecord& row) { row.read(0, current); });
        *Revision = current.Detach();
        return S_OK;
    });
}

HRESULT CValmorin::History(BSTR Name, BSTR Input, LONG Offset, LONG Limit, BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        m_history.RefuseWithout();
        if (Offset < 0) RefuseArgument(u"The argument Offset is negative.");
        if (Limit < 0) RefuseArgument(u"The argument Limit is negative.");
        const std::u16string name = ServiceText::FromBstr(Name).str();
        const std::u16string input = ServiceText::FromBstr(Input).str();
        RefuseRunningNumbers(name);
        const bool ofRow = !input.empty();
        const LONG total = ofRow ? QueryNumber(m_connection, Sql<statements::kCountRowHistory>(name, name, name, input))
                                 : QueryNumber(m_connection, Sql<statements::kCountTableHistory>(name, name, name));
        JsonItems items;
        long long seen = 0;
        auto take = [&](const qmt::CAdoRecord& row) {
            if (seen++ >= Offset) items.Append(HistoryItem(row));
            return Limit == 0 || seen < static_cast<long long>(Offset) + Limit;
        };
        if (ofRow)
            StreamRows(m_connection, Sql<statements::kRowHistory>(name, name, name, input), take);
        else
            StreamRows(m_connection, Sql<statements::kTableHistory>(name, name, name), take);
        *List = JsonToBstr(WithList({{"total", total}}, items));
        return S_OK;
    });
}

// Refuses what translate refuses, so that an answer as of a point is one
// translate could have given.
HRESULT CValmorin::translateAsOf(BSTR tableName, BSTR ValueIn, BSTR AsOf, BSTR* Translation)
{
    if (Translation == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = Translation}, [&] {
        m_history.RefuseWithout();
        const std::u16string_view table = TextOf(tableName), value = TextOf(ValueIn);
        RefuseApostrophe(m_connection, u"tableName", table);
        RefuseApostrophe(m_connection, u"ValueIn", value);
        RefuseRunningNumbers(table);
        const std::u16string revision = RevisionOf(m_connection, TextOf(AsOf));
        CComBSTR answer;
        HistoryBounds bounds;
        ForEachRow(m_connection,
                   Sql<statements::kTranslateAsOf>(value, value, revision, table, table, revision, table, revision),
                   [&](const qmt::CAdoRecord& row) {
                       row.takeText(0, answer);
                       bounds = BoundsFrom(row, 1);
                   });
        RequireStart(bounds);
        RefuseOutside(bounds, revision, TextOf(AsOf));
        if (!answer.get()) answer = CComBSTR(u"");
        *Translation = answer.Detach();
        return S_OK;
    });
}
