#include "service/valmorin.h"

#include "qmt/diag/trace.h"
#include "service/call_frame.h"
#include "service/debug_switch.h"
#include "service/service_text.h"

namespace {

constexpr std::u16string_view kComponentSource = u"CValmorin";

} // namespace

CValmorin::CValmorin() : m_dataSourceName(u"NK")
{
    if (DebugSwitchIsOn())
        EnableLogFile();
    else
        qmt::Tracer::Current().Disable();
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
    if (!m_connection.isOpen()) m_connection.open(m_dataSourceName);
}

HRESULT CValmorin::ReportComError(const qmt::CException& e)
{
    CComPtr<ICreateErrorInfo> creator;
    if (FAILED(CreateErrorInfo(&creator))) return S_FALSE;
    creator->SetGUID(IID_IValmorin);
    {
        CComBSTR source(e.source), description(e.description);
        creator->SetSource(source.get());
        creator->SetDescription(description.get());
    }
    CComPtr<IErrorInfo> info;
    if (SUCCEEDED(creator.QueryInterface(info))) SetErrorInfo(0, info.get());
    const auto code = static_cast<HRESULT>(e.code);
    return code < 0 ? code : static_cast<HRESULT>(e.code | 0x80040000u);
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
        m_connection.close();
        m_connection.open(ServiceText::FromBstr(bstConnexionString).str(), u"", u"");
        return S_OK;
    } catch (const qmt::CException& e) {
        return ReportComError(e);
    } catch (...) {
        return service_detail::ReportForeignException(std::current_exception());
    }
}
