#include "service/valmorin.h"

#include "qmt/diag/trace.h"
#include "qmt/sys/system.h"
#include "service/call_frame.h"
#include "service/component_settings.h"
#include "service/debug_switch.h"
#include "service/rows.h"
#include "service/service_text.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"

#include "platform/datasource/catalogue.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"
#include "platform/win32/perf_counters.h"

#include <optional>
#include <utility>

namespace {

constexpr std::u16string_view kComponentSource = u"CValmorin";
constexpr char16_t kReadStoreName[] = u"NK_READ";
constexpr auto kLagMeasureEvery = std::chrono::milliseconds(100);

// Whether the data-source directory names a read store for this account.
bool NamesReadStore()
{
    const valmorin::datasource::Catalogue catalogue = valmorin::datasource::LoadCatalogue();
    return valmorin::datasource::FindEntry(catalogue, qmt::CSystem::accountName(), kReadStoreName) != nullptr;
}

std::u16string FirstText(qmt::CAdoConnection& connection, const qmt::AdoStatement& statement)
{
    CComBSTR text;
    ForEachRow(connection, statement, [&](const qmt::CAdoRecord& row) { row.read(0, text); });
    return std::u16string(text.view());
}

// A position in bytes of WAL, as the store gave it in decimal; none for NULL.
std::optional<std::uint64_t> Position(qmt::CAdoConnection& connection, const qmt::AdoStatement& statement)
{
    return valmorin::text::DecimalNumber(valmorin::text::Utf16ToUtf8(FirstText(connection, statement)));
}

} // namespace

// With Debug on there is no cache: the log shows every statement.
CValmorin::CValmorin() : m_dataSourceName(u"NK")
{
    if (DebugSwitchIsOn()) {
        EnableLogFile();
    } else {
        qmt::Tracer::Current().Disable();
        m_cacheCapacity = LookupCacheCapacity();
    }
}

CValmorin::~CValmorin()
{
    try {
        if (m_connection.isOpen()) m_connection.close();
    } catch (...) {
        // a failing close cannot be reported from a destructor
    }
}

void CValmorin::ensureConnection()
{
    if (m_connection.isOpen()) return;
    m_cache.store(nullptr, std::memory_order_release);
    if (m_openedWith.empty())
        m_connection.open(m_dataSourceName);
    else
        m_connection.open(m_openedWith, u"", u""); // the store Open named, not NK's
    if (std::exchange(m_opened, true)) PerfCounterNamed("store reconnects").Increment();
    m_readStore = m_openedWith.empty() && m_connection.isOpen() && NamesReadStore();
    m_mostLag = std::uint64_t{ComponentNumber(u"ReadLag", 1024)} << 10;
    m_lagMeasured = {};
    AttachStore();
}

void CValmorin::AttachStore()
{
    m_history.Forget();
    if (!m_connection.isOpen()) return;
    try {
        m_history.Attach(m_connection);
    } catch (...) {
        m_connection.close(); // the next call opens it again and learns what the store keeps
        throw;
    }
    if (m_cacheCapacity == 0) return;
    const qmt::CAdoCredentials& credentials = m_connection.openedWith();
    m_cache.store(
        SharedLookupCache(credentials.connectionString, credentials.userId, credentials.password, m_cacheCapacity),
        std::memory_order_release);
}

void CValmorin::ForgetCacheOfALostLink() noexcept
{
    try {
        if (!m_connection.isOpen()) m_cache.store(nullptr, std::memory_order_release);
    } catch (...) {
        m_cache.store(nullptr, std::memory_order_release);
    }
}

void CValmorin::CountStoreFailure(bool ensured, const qmt::CException& failure) noexcept
{
    try {
        if (!ensured || !failure.sqlState.empty() || !m_connection.isOpen())
            PerfCounterNamed("store errors").Increment();
    } catch (...) {
        // a count missed is no reason to fail the call otherwise
    }
}

qmt::CAdoConnection& CValmorin::LookupConnection(bool& fromStandby)
{
    fromStandby = false;
    if (!m_readStore) return m_connection;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lagMeasured >= kLagMeasureEvery) {
        m_standbyNear = StandbyNearEnough();
        m_lagMeasured = now;
    }
    fromStandby = m_standbyNear;
    return m_standbyNear ? m_readConnection : m_connection;
}

// The standby's replay is read before the write store's position: a lag
// measured so is never less than the true one. A standby out of reach, or
// one of another cluster, is tried again 5 s later; the write store answers
// meanwhile.
bool CValmorin::StandbyNearEnough()
{
    constexpr auto kRetryAfter = std::chrono::seconds(5);
    try {
        if (!m_readConnection.isOpen()) {
            if (std::chrono::steady_clock::now() < m_readRetryAt) return false;
            m_readRetryAt = std::chrono::steady_clock::now() + kRetryAfter;
            m_readConnection.open(std::u16string(kReadStoreName));
            if (!m_readConnection.isOpen()) return false;
            if (FirstText(m_readConnection, Sql<statements::kSystemIdentifier>()) !=
                FirstText(m_connection, Sql<statements::kSystemIdentifier>())) {
                m_readConnection.close(); // a standby of another cluster: its rows are not these
                return false;
            }
        }
        const std::optional<std::uint64_t> replayed = Position(m_readConnection, Sql<statements::kStandbyReplayed>());
        const std::optional<std::uint64_t> primary = Position(m_connection, Sql<statements::kPrimaryPosition>());
        return replayed && primary && (*primary <= *replayed || *primary - *replayed <= m_mostLag);
    } catch (...) {
        try {
            if (m_readConnection.isOpen()) m_readConnection.close();
        } catch (...) {
            // closed or not, it is opened again at the next measure
        }
        return false;
    }
}

// Whatever the writing object's own setting: a cache another object of the
// process keeps on the store must hear of the change.
CValmorin::TablesChanging::TablesChanging(const CValmorin& object, std::initializer_list<std::u16string_view> tables)
    : m_cache(ExistingLookupCache(object.m_connection.openedWith().connectionString,
                                  object.m_connection.openedWith().userId)),
      m_tables(m_cache ? tables.size() : 0)
{
    std::copy(tables.begin(), tables.begin() + static_cast<std::ptrdiff_t>(m_tables.size()), m_tables.begin());
}

CValmorin::TablesChanging::~TablesChanging()
{
    for (const std::u16string& table : m_tables) m_cache->Changed(table);
}

HRESULT CValmorin::ReportComError(const qmt::CException& e)
{
    CComPtr<ICreateErrorInfo> creator;
    if (FAILED(CreateErrorInfo(&creator))) return S_FALSE;
    creator->SetGUID(IID_IValmorin);
    {
        CComBSTR source(e.source), description(e.description), sqlState(e.sqlState);
        creator->SetSource(source.get());
        creator->SetDescription(description.get());
        // The store's SQLSTATE, for callers that read it as a field.
        CComPtr<ICreateSQLErrorInfo> sql;
        if (!e.sqlState.empty() && SUCCEEDED(creator.QueryInterface(sql))) sql->SetSQLInfo(sqlState.get(), 0);
    }
    CComPtr<IErrorInfo> info;
    if (SUCCEEDED(creator.QueryInterface(info))) SetErrorInfo(0, info.get());
    const auto code = static_cast<HRESULT>(e.code);
    return code < 0 ? code : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, e.code);
}

namespace service_detail {

HRESULT ReportForeignException(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const _com_error& e) {
        return CValmorin::ReportComError(qmt::CComException(e));
    } catch (const std::bad_alloc&) {
        return CValmorin::ReportComError(qmt::CException(std::u16string(kComponentSource),
                                                         u"Not enough memory to complete the call.",
                                                         static_cast<DWORD>(E_OUTOFMEMORY)));
    } catch (...) {
        return CValmorin::ReportComError(
            qmt::CException(std::u16string(kComponentSource), u"Unexpected error", static_cast<DWORD>(E_FAIL)));
    }
}

} // namespace service_detail

HRESULT CValmorin::Attach(BSTR) { return S_OK; }

HRESULT CValmorin::transmatch(BSTR, BSTR, BSTR*) { return S_OK; }

HRESULT CValmorin::Open(BSTR bstConnexionString)
{
    const std::lock_guard oneCallAtATime(m_calls);
    try {
        m_cache.store(nullptr, std::memory_order_release);
        m_connection.close();
        m_history.Forget();
        m_openedWith.clear();
        m_connection.open(ServiceText::FromBstr(bstConnexionString).str(), u"", u"");
        m_openedWith = ServiceText::FromBstr(bstConnexionString).str();
        m_opened = true;
        m_readStore = false;
        AttachStore();
        return S_OK;
    } catch (const qmt::CException& e) {
        CountStoreFailure(false, e);
        return ReportComError(e);
    } catch (...) {
        return service_detail::ReportForeignException(std::current_exception());
    }
}
