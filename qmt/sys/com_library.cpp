#include "qmt/sys/com_library.h"

#include "platform/com/runtime.h"

namespace qmt {

CComLibrary::CComLibrary(DWORD model) : m_result(CoInitializeEx(nullptr, model)), m_owns(m_result == S_OK) {}

CComLibrary::~CComLibrary()
{
    if (m_owns) CoUninitialize();
}

} // namespace qmt
