// Creation of the component's objects.
#include "service/valmorin.h"

extern "C" HRESULT ValmorinCreateObject(REFIID riid, void** object)
{
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    try {
        return CValmorin::Create()->QueryInterface(riid, object);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
