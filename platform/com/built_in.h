// The platform's own classes: ADO's objects and the data-source directory.
// They are built on COM, so COM cannot name them; the platform's bootstrap,
// which sits above them all, does. The runtime puts them in its class table
// on the table's first use, so a library linked whole or in part gets the
// same table, and no static initialiser runs in an order nobody chose.
#pragma once

#include "valmorin/com/unknown.h"

#include <vector>

namespace valmorin::com {

struct BuiltInClass {
    CLSID clsid;
    CComPtr<IUnknown> classObject;
};

// Defined by the bootstrap (platform/bootstrap/).
std::vector<BuiltInClass> BuiltInClasses();

} // namespace valmorin::com
