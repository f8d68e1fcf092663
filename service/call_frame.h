// The frame every service method runs in: the connection ensure, then the
// operation; an exception becomes an HRESULT with error info, the method's
// results are written as the failure requires, and nothing escapes.
#pragma once

#include "platform/com/com_error.h"
#include "qmt/diag/exception.h"
#include "service/valmorin.h"

#include <new>

struct CValmorin::FrameResults {
    BSTR* text = nullptr;      // written empty on failure
    LONG* truth = nullptr;     // written 0 once the connection ensure passed
    bool transaction = false;  // rolled back on failure
};

namespace service_detail {

// Failures outside the exception family: out of memory, a raw COM error.
HRESULT ReportForeignException(std::exception_ptr failure);
void RollbackQuietly(qmt::CAdoConnection& connection);

} // namespace service_detail

template <typename Operation>
HRESULT CValmorin::ServiceCallFrame(const FrameResults& results, Operation&& operation) noexcept
{
    bool ensured = false;
    auto writeFailureResults = [&] {
        if (results.text) *results.text = SysAllocString(u"");
        if (results.truth && ensured) *results.truth = 0;
        if (results.transaction) service_detail::RollbackQuietly(m_connection);
    };
    try {
        ensureConnection();
        ensured = true;
        if (results.truth) *results.truth = 0;
        return operation();
    } catch (const qmt::CException& e) {
        writeFailureResults();
        return ReportComError(e);
    } catch (...) {
        writeFailureResults();
        return service_detail::ReportForeignException(std::current_exception());
    }
}
