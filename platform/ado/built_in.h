// What the platform's ADO stand-in brings with it: the classes of its
// objects, for the runtime's class table, and its providers, put in the
// provider table on the table's first use. The providers sit above this kit,
// so the kit cannot name them: the platform's bootstrap does. Nothing is
// registered by a static initialiser: a library linked whole or in part
// gets the same tables.
#pragma once

#include "platform/ado/provider.h"
#include "valmorin/com/unknown.h"

#include <memory>
#include <vector>

namespace valmorin::ado {

CComPtr<IUnknown> NewConnectionClassObject();
CComPtr<IUnknown> NewRecordsetClassObject();
CComPtr<IUnknown> NewCommandClassObject();

// Defined by the bootstrap (platform/bootstrap/).
std::vector<std::shared_ptr<Provider>> BuiltInProviders();

} // namespace valmorin::ado
