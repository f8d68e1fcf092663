// The version of a SQLite store in WAL mode, read from its WAL-index (the
// "-shm" file every connection to it maps): no statement, no lock.
#pragma once

#include "platform/ado/store_watch.h"

#include <filesystem>

namespace valmorin::ado::sqlite {

// Null when the file is not a database in WAL mode, or its WAL-index
// cannot be mapped.
std::unique_ptr<StoreWatch> WatchWalIndex(const std::filesystem::path& database);

} // namespace valmorin::ado::sqlite
