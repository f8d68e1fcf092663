// The component-registrar methods. The class has no registry script,
// description or categories of its own to offer them: the server's keys
// are written and removed by the library's entry points alone, and what
// these methods touch is the type library.
#include "module/module.h"
#include "module/registration.h"
#include "platform/win32/kernel.h"
#include "service/valmorin.h"

#include <memory>

namespace {

struct SafeArrayDestroyer {
    void operator()(SAFEARRAY* array) const { SafeArrayDestroy(array); }
};
using UniqueSafeArray = std::unique_ptr<SAFEARRAY, SafeArrayDestroyer>;

// An empty vector of BSTR; no entry of the class has a description to list.
HRESULT EmptyList(UniqueSafeArray& list)
{
    list.reset(SafeArrayCreateVector(VT_BSTR, 0, 0));
    if (list) return S_OK;
    const DWORD error = GetLastError();
    return error != 0 ? HRESULT_FROM_WIN32(error) : E_OUTOFMEMORY;
}

} // namespace

HRESULT CValmorin::RegisterAll() { return valmorin::module::RegisterTypeLibrary(valmorin::module::Path()); }

HRESULT CValmorin::UnregisterAll()
{
    // A type library that is not registered leaves nothing to undo.
    valmorin::module::UnregisterTypeLibrary(valmorin::module::Path());
    return S_OK;
}

HRESULT CValmorin::GetComponents(SAFEARRAY** pbstrCLSIDs, SAFEARRAY** pbstrDescriptions)
{
    if (pbstrCLSIDs == nullptr || pbstrDescriptions == nullptr) return E_POINTER;
    UniqueSafeArray clsids, descriptions;
    if (const HRESULT hr = EmptyList(clsids); FAILED(hr)) return hr;
    if (const HRESULT hr = EmptyList(descriptions); FAILED(hr)) return hr;
    *pbstrCLSIDs = clsids.release();
    *pbstrDescriptions = descriptions.release();
    return S_OK;
}

// Whatever class is named, no entry has registry work of its own; the type
// library is registered all the same.
HRESULT CValmorin::RegisterComponent(BSTR)
{
    valmorin::module::RegisterTypeLibrary(valmorin::module::Path());
    return S_OK;
}

HRESULT CValmorin::UnregisterComponent(BSTR) { return S_OK; }
