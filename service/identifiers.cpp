// transIdent and transDayIdent: running numbers kept as correspondences of
// the counter table, found, read and advanced inside one transaction.
#include "qmt/db/ado_transaction.h"
#include "qmt/diag/format.h"
#include "qmt/sys/clock.h"
#include "service/call_frame.h"
#include "service/service_text.h"
#include "service/listing.h"
#include "service/statement_guard.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"

#include <algorithm>
#include <climits>

namespace {

struct CounterState {
    bool found = false;
    std::u16string text;
};

// The number after `last`; a counter at the top of the range has none.
LONG Following(LONG last, const std::u16string& name)
{
    if (last == INT_MAX)
        throw qmt::CException(u"CValmorin",
                              u"The counter \"" + name +
                                  u"\" has reached 2147483647, the largest number it can hand out.",
                              static_cast<DWORD>(DISP_E_OVERFLOW));
    return last + 1;
}

CounterState ReadCounter(qmt::CAdoConnection& connection, LONG tableId, const std::u16string& name)
{
    qmt::CAdoRecordset recordset;
    OpenReadOnly(recordset, Sql<statements::kSelectCounter>(tableId, name), connection);
    CounterState state;
    if (auto row = recordset.begin(); row != recordset.end()) {
        state.found = true;
        (*row).read(0, state.text);
    }
    recordset.close();
    return state;
}

int DayOfYear(const SYSTEMTIME& time)
{
    static constexpr int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int year = time.wYear;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return kDaysBefore[(time.wMonth - 1) % 12] + time.wDay + (leap && time.wMonth > 2 ? 1 : 0);
}

// The next plain number: the state's text after its first character, plus one.
LONG NextRunningNumber(const CounterState& state, const std::u16string& name)
{
    if (!state.found || state.text.empty()) return 1;
    return Following(ParseLeadingNumber(std::u16string_view(state.text).substr(1)), name);
}

// The next daily number: one more than the state's when it was written
// today (its first three characters), 1 otherwise.
LONG NextDailyNumber(const CounterState& state, int today, const std::u16string& name)
{
    if (!state.found) return 1;
    const std::u16string_view text = state.text;
    const std::u16string_view day = text.substr(0, 3);
    const std::u16string_view counter = text.size() >= 5 ? text.substr(4) : std::u16string_view();
    if (ParseLeadingNumber(day) != today || counter.empty()) return 1;
    return Following(ParseLeadingNumber(counter), name);
}

// The number drawn and the write that records it.
struct Drawn {
    LONG next;
    qmt::AdoStatement write;
};

} // namespace

template <typename Advance>
HRESULT CValmorin::DrawIdentifier(BSTR ValueIn, BSTR* Translation, Advance&& advance)
{
    if (Translation == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = Translation}, [&] {
        const ServiceText name = ServiceText::FromBstr(ValueIn);
        RefuseApostrophe(m_connection, u"ValueIn", name.str());
        // The counter table is found (or made) inside the transaction, so
        // that no delete of it comes between the look-up and the write.
        const TablesChanging changing(*this, {statements::kCounterTable});
        qmt::CAdoTransaction transaction(m_connection);
        LONG id = LookupTableId(m_connection, statements::kCounterTable);
        if (id == 0) id = CreateImplicitTable(m_connection, statements::kCounterTable);
        if (id == 0) return S_OK;
        const CounterState state = ReadCounter(m_connection, id, name.str());
        const Drawn drawn = advance(state, id, name.str());
        if (m_connection.execute(drawn.write, -1) == 0) {
            transaction.rollback();
            *Translation = SysAllocString(u"");
            return S_FALSE;
        }
        transaction.commit();
        *Translation = ServiceText(qmt::Format(u"%d", drawn.next)).copy();
        return S_OK;
    });
}

HRESULT CValmorin::transIdent(BSTR ValueIn, BSTR* Translation)
{
    return DrawIdentifier(ValueIn, Translation, [](const CounterState& state, LONG id, const std::u16string& name) {
        const LONG next = NextRunningNumber(state, name);
        if (state.found) return Drawn{next, Sql<statements::kUpdateCounter>(next, id, name)};
        return Drawn{next, Sql<statements::kInsertCounter>(id, name, next)};
    });
}

HRESULT CValmorin::transDayIdent(BSTR ValueIn, BSTR* Translation)
{
    return DrawIdentifier(ValueIn, Translation, [](const CounterState& state, LONG id, const std::u16string& name) {
        const int today = DayOfYear(qmt::LocalTimeNow());
        const LONG next = NextDailyNumber(state, today, name);
        if (state.found) return Drawn{next, Sql<statements::kUpdateDayCounter>(today, next, id, name)};
        return Drawn{next, Sql<statements::kInsertDayCounter>(id, name, today, next)};
    });
}
