// The frame every service method runs in: the connection ensure, then the
// operation; an exception becomes an HRESULT with error info, the method's
// results are written as the failure requires, and nothing escapes.
#pragma once

#include "platform/com/com_error.h"
#include "qmt/diag/exception.h"
#include "service/valmorin.h"

#include <new>

// A method's transaction is a qmt::CAdoTransaction inside the operation: it
// is rolled back while the failure unwinds, before the frame reports it.
struct CValmorin::FrameResults {
    BSTR* text = nullptr;  // written empty on failure
    LONG* truth = nullptr; // written 0 once the connection ensure passed
};

namespace service_detail {

// Failures outside the exception family: out of memory, a raw COM error.
HRESULT ReportForeignException(std::exception_ptr failure);

} // namespace service_detail

template <typename Operation>
HRESULT CValmorin::ServiceCallFrame(const FrameResults& results, Operation&& operation) noexcept
{
    bool ensured = false;
    auto writeFailureResults = [&] {
        if (results.text) *results.text = SysAllocString(u"");
        if (results.truth && ensured) *results.truth = 0;
    };
    SetErrorInfo(0, nullptr);
    const std::lock_guard oneCallAtATime(m_calls);
    try {
        ensureConnection();
        ensured = true;
        if (results.truth) *results.truth = 0;
        return operation();
    } catch (const qmt::CException& e) {
        writeFailureResults();
        CountStoreFailure(ensured, e);
        ForgetCacheOfALostLink();
        return ReportComError(e);
    } catch (...) {
        writeFailureResults();
        ForgetCacheOfALostLink();
        return service_detail::ReportForeignException(std::current_exception());
    }
}
