// COM initialisation of the calling thread for the life of the object.
#pragma once

#include "valmorin/com/types.h"

namespace qmt {

class CComLibrary {
public:
    explicit CComLibrary(DWORD model);
    virtual ~CComLibrary();
    CComLibrary(const CComLibrary&) = delete;
    CComLibrary& operator=(const CComLibrary&) = delete;

    HRESULT result() const { return m_result; }

private:
    HRESULT m_result;
    bool m_owns; // only an initialisation that returned S_OK is undone
};

} // namespace qmt
