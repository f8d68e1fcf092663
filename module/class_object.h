// The class object of CValmorin: one per process, created on first request
// and kept until the module goes.
#pragma once

#include "valmorin/com/unknown.h"

namespace valmorin::module {

// A new reference to the cached class object.
HRESULT GetClassObject(IClassFactory** factory);

} // namespace valmorin::module
