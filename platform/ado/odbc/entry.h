// The provider over ODBC's (unixODBC's driver manager), as the platform's bootstrap puts it in the
// provider table.
#pragma once

#include "platform/ado/provider.h"

#include <memory>

namespace valmorin::ado::odbc {

std::shared_ptr<Provider> NewProvider();

} // namespace valmorin::ado::odbc
