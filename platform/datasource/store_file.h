// Store files on disk. A store file decides which database every caller
// reaches and may hold passwords, so, as ssh does with its key files, it is
// trusted only when no one but its owner may write it and that owner is
// root or the current user. A file that cannot be trusted or read is
// refused as a whole: the reason says which file and why.
//
// Readers take no lock: a file is only ever replaced whole, by renaming a
// fully written and flushed file over it. Writers hold an exclusive lock on
// the file itself while they read, change and replace it, so that
// concurrent writers each see the others' changes, and whoever may write
// the file may lock it. A writer follows no link: neither the file nor its
// temporary "<file>.new" may be one.
#pragma once

#include "valmorin/com/types.h"

#include "platform/datasource/entries.h"

#include <filesystem>
#include <functional>

namespace valmorin::datasource {

// A missing file is an empty store.
StoreContents ReadStoreFile(const std::filesystem::path& file);

// Runs change on the file's data sources under its lock and replaces the
// file when they changed, once the new text reads back as the changed
// sources. A new file is readable by its owner only, whatever the umask; a
// replaced one keeps the mode and group it had, so that an administrator
// can share a machine file with a group. Returns why the file could not be
// read or written; empty when it was.
VALMORIN_PLATFORM_API std::string UpdateStoreFile(const std::filesystem::path& file,
                                                  const std::function<void(std::vector<DataSource>&)>& change);

} // namespace valmorin::datasource
