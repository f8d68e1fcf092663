#include "service/valmorin.h"

// Methods still to come answer E_NOTIMPL.

HRESULT CValmorin::RegisterAll() { return E_NOTIMPL; }
HRESULT CValmorin::UnregisterAll() { return E_NOTIMPL; }
HRESULT CValmorin::GetComponents(SAFEARRAY**, SAFEARRAY**) { return E_NOTIMPL; }
HRESULT CValmorin::RegisterComponent(BSTR) { return E_NOTIMPL; }
HRESULT CValmorin::UnregisterComponent(BSTR) { return E_NOTIMPL; }

