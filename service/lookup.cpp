// The lookups: translate, the OUTPUT a table holds for an INPUT; its
// default-taking form; and the reverse lookup, from an OUTPUT to its INPUT.
// Each is answered from the process's cache of the store when it holds the
// answer at the store's current version, and from the store otherwise.
#include "service/call_frame.h"
#include "service/listing.h"
#include "service/statement_guard.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"

#include "platform/win32/perf_counters.h"

namespace {

// The process's counts of lookups, for its host's reports; found once.
struct LookupCounters {
    PerfCounter& lookups = PerfCounterNamed("lookups");
    PerfCounter& hits = PerfCounterNamed("lookup cache hits");
    PerfCounter& misses = PerfCounterNamed("lookup cache misses");
};

const LookupCounters& Counters()
{
    static const LookupCounters counters;
    return counters;
}

// A lookup that the process's cache may answer, keyed by the texts its
// statement sees (each up to its first NUL). The ticket is taken before
// the statement runs, so that what it reads is kept only if the store has
// not moved since.
class CachedLookup {
public:
    CachedLookup(LookupCache* cache, LookupCache::Kind kind, std::u16string_view table, std::u16string_view value)
        : m_cache(cache), m_kind(kind), m_table(table), m_value(value)
    {
        Counters().lookups.Increment();
        if (m_cache) m_ticket = m_cache->Begin();
    }
    // On a hit, found and text (a new BSTR) are the kept answer.
    bool Find(bool& found, BSTR& text)
    {
        if (!m_cache) {
            Counters().misses.Increment();
            return false;
        }
        const bool hit = m_cache->Find(m_ticket, m_kind, m_table, m_value, found, text);
        (hit ? Counters().hits : Counters().misses).Increment();
        return hit;
    }
    void Keep(bool found, const CComBSTR& text)
    {
        if (m_cache) m_cache->Keep(m_ticket, m_kind, m_table, m_value, found, text.view());
    }

private:
    LookupCache* m_cache;
    LookupCache::Kind m_kind;
    std::u16string_view m_table, m_value;
    LookupCache::Ticket m_ticket;
};

// The answer of the first row's field 0: whether there is a row whose field
// is not NULL (a row at all, with anyRow), and the field's text.
bool ReadFirstText(qmt::CAdoConnection& connection, const qmt::AdoStatement& statement, CComBSTR& value,
                   bool anyRow = false)
{
    bool found = false;
    if (CComVariant field; qmt::ReadFirstField(connection, statement, field))
        found = qmt::TakeText(field, value) || anyRow;
    if (!value.get()) value = CComBSTR(u"");
    return found;
}

bool HoldsApostrophe(std::u16string_view text) { return text.find(u'\'') != std::u16string_view::npos; }

// A hit is answered as the frame answers a call: no error info left over.
HRESULT Served(HRESULT hr)
{
    SetErrorInfo(0, nullptr);
    return hr;
}

} // namespace

// translate refuses an apostrophe before any statement: such a lookup
// never reaches the cache, which may hold the answer translateDefault read
// for the same texts.
HRESULT CValmorin::translate(BSTR tableName, BSTR ValueIn, BSTR* Translation)
{
    if (Translation == nullptr) return E_POINTER;
    const std::u16string_view table = TextOf(tableName), value = TextOf(ValueIn);
    const bool cacheable = !HoldsApostrophe(table) && !HoldsApostrophe(value);
    CachedLookup lookup(cacheable ? cache() : nullptr, LookupCache::Kind::Forward, table, value);
    bool found = false;
    if (lookup.Find(found, *Translation)) return Served(S_OK);
    return ServiceCallFrame({.text = Translation}, [&] {
        if (!cacheable) {
            RefuseApostrophe(m_connection, u"tableName", table);
            RefuseApostrophe(m_connection, u"ValueIn", value);
        }
        CComBSTR result; // the field's own copy becomes the [out] string
        bool fromStandby = false;
        found = ReadFirstText(LookupConnection(fromStandby), Sql<statements::kTranslate>(table, value), result, true);
        if (!fromStandby) lookup.Keep(found, result);
        *Translation = result.Detach();
        return S_OK;
    });
}

// A row whose OUTPUT is NULL or empty is a translation to the empty text,
// not a miss: only a missing row gives the default.
HRESULT CValmorin::translateDefault(BSTR tableName, BSTR ValueIn, BSTR Default, BSTR* Translation)
{
    if (Translation == nullptr) return E_POINTER;
    auto answer = [&](bool found, BSTR text) {
        if (found) return text;
        SysFreeString(text);
        return ServiceText::FromBstr(Default).copy();
    };
    CachedLookup lookup(cache(), LookupCache::Kind::Forward, TextOf(tableName), TextOf(ValueIn));
    bool found = false;
    BSTR kept = nullptr;
    if (lookup.Find(found, kept)) {
        *Translation = answer(found, kept);
        return Served(S_OK);
    }
    return ServiceCallFrame({.text = Translation}, [&] {
        CComBSTR result;
        bool fromStandby = false;
        found = ReadFirstText(
            LookupConnection(fromStandby),
            Sql<statements::kTranslate>(qmt::Doubled(TextOf(tableName)), qmt::Doubled(TextOf(ValueIn))), result, true);
        if (!fromStandby) lookup.Keep(found, result);
        *Translation = answer(found, result.Detach());
        return S_OK;
    });
}

HRESULT CValmorin::translateReverse(BSTR tableName, BSTR ValueOut, BSTR* ValueIn)
{
    if (ValueIn == nullptr) return E_POINTER;
    CachedLookup lookup(cache(), LookupCache::Kind::Reverse, TextOf(tableName), TextOf(ValueOut));
    bool found = false;
    if (lookup.Find(found, *ValueIn)) return Served(found ? S_OK : S_FALSE);
    return ServiceCallFrame({.text = ValueIn}, [&] {
        CComBSTR input;
        bool fromStandby = false;
        found = ReadFirstText(
            LookupConnection(fromStandby),
            Sql<statements::kTranslateReverse>(qmt::Doubled(TextOf(tableName)), qmt::Doubled(TextOf(ValueOut))), input);
        if (!fromStandby) lookup.Keep(found, input);
        *ValueIn = input.Detach();
        return found ? S_OK : S_FALSE;
    });
}
