// The provider over SQLite's, as the platform's bootstrap puts it in the
// provider table.
#pragma once

#include "platform/ado/provider.h"

#include <memory>

namespace valmorin::ado::sqlite {

std::shared_ptr<Provider> NewProvider();

} // namespace valmorin::ado::sqlite
