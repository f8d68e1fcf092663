// The one exception family of the component: a code, a description and a
// source. Windows and COM errors log themselves where they are raised.
#pragma once

#include "valmorin/com/types.h"

#include <string>

class _com_error;

namespace qmt {

class CException {
public:
    CException() = default;
    CException(std::u16string source, std::u16string description, DWORD code);
    CException(const CException&) = default;
    CException& operator=(const CException&) = default;
    virtual ~CException() = default;

    DWORD code = 0;
    std::u16string description = u"Unexpected error";
    std::u16string source = u"?";
    std::u16string sqlState; // the store's, when a store gave one
};

// A Win32 error code with the system's text for it; 0 takes the thread's
// last error.
class CWinException : public CException {
public:
    explicit CWinException(DWORD error, bool log = true);
    explicit CWinException(const CException& other) : CException(other) {}
};

// An HRESULT, or a _com_error raised by the COM and ADO layer.
class CComException : public CException {
public:
    explicit CComException(HRESULT hr);
    explicit CComException(const _com_error& e);
    explicit CComException(const CException& other) : CException(other) {}
};

// A failed HRESULT of a platform call, thrown as a CComException.
void ThrowIfFailedHr(HRESULT hr);

} // namespace qmt
