// A new SQLite database made from a script, as stores are made: the file
// appears whole with the script run, or not at all.
#pragma once

#include "valmorin/com/types.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace valmorin::ado::sqlite {

// Builds the database in "<file>.new" (created exclusively, never through
// a link, its owner's only whatever the umask), runs script in one
// transaction in WAL journal mode, then links it in place; an existing file
// is never replaced. Returns what failed, naming the file; empty on success.
VALMORIN_PLATFORM_API std::string CreateDatabase(const std::filesystem::path& file, std::string_view script);

} // namespace valmorin::ado::sqlite
