#include "qmt/sys/com_library.h"

#include "valmorin/com/runtime.h"

namespace qmt {

namespace {

// S_FALSE means COM was initialised on this thread already: the call still
// counts and is balanced at once, leaving the thread as it was found.
HRESULT InitialiseCom(DWORD model)
{
    const HRESULT result = CoInitializeEx(nullptr, model);
    if (result == S_FALSE) CoUninitialize();
    return result;
}

} // namespace

CComLibrary::CComLibrary(DWORD model) : m_result(InitialiseCom(model)), m_owns(m_result == S_OK) {}

CComLibrary::~CComLibrary()
{
    if (m_owns) CoUninitialize();
}

} // namespace qmt
