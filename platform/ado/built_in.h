// What the platform's ADO stand-in brings with it: its providers, put in the
// provider table on the table's first use, and the classes of its objects,
// put in the runtime's class table on that table's first use. Nothing is
// registered by a static initialiser: a library linked whole or in part
// gets the same tables.
#pragma once

#include "platform/ado/provider.h"
#include "valmorin/com/unknown.h"

#include <memory>

namespace valmorin::ado {

namespace sqlite {
std::shared_ptr<Provider> NewProvider();
}
namespace postgresql {
std::shared_ptr<Provider> NewProvider();
}
namespace odbc {
std::shared_ptr<Provider> NewProvider();
}

CComPtr<IUnknown> NewConnectionClassObject();
CComPtr<IUnknown> NewRecordsetClassObject();
CComPtr<IUnknown> NewCommandClassObject();

} // namespace valmorin::ado
