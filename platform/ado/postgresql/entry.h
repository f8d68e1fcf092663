// The provider over PostgreSQL's (libpq), as the platform's bootstrap puts it in the
// provider table.
#pragma once

#include "platform/ado/provider.h"

#include <memory>

namespace valmorin::ado::postgresql {

std::shared_ptr<Provider> NewProvider();

} // namespace valmorin::ado::postgresql
