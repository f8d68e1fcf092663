// Hives: the files that hold the registry, one per root key, as ".reg" text.
//
//   HKEY_LOCAL_MACHINE, HKEY_USERS   /etc/pelkor/<root name>.reg
//   HKEY_CURRENT_USER                $XDG_CONFIG_HOME/pelkor/HKEY_CURRENT_USER.reg
//                                    (~/.config/pelkor when XDG_CONFIG_HOME is unset)
//
// PELKOR_REGISTRY_DIR, when set, moves every hive into that one folder.
//
// Readers take no lock: a hive is only ever replaced whole, by renaming a
// fully written and flushed file over it, so a reader sees the old contents
// or the new, and a writer that dies half-way leaves the hive untouched.
// Writers read, change and replace the hive while holding an exclusive lock
// on "<hive>.lock" beside it, so concurrent writers in any number of
// processes each see the others' changes.
#pragma once

#include "platform/registry/key_tree.h"
#include "platform/registry/types.h"

#include <filesystem>
#include <functional>
#include <string_view>

namespace registry {

enum class HiveId { LocalMachine, CurrentUser, Users };

std::u16string_view HiveRootName(HiveId hive);
std::filesystem::path HiveFile(HiveId hive);

// The hive's contents; a hive never written reads as empty. ERROR_BADDB for
// a file that is not a well-formed hive, ERROR_REGISTRY_IO_FAILED when it
// cannot be read.
DWORD ReadHive(HiveId hive, Key& root);

// Runs change on the hive's current contents under the hive's lock and
// replaces the file when change succeeded and altered something. The
// result is change's, or the error that kept the hive from being read or
// written (ERROR_ACCESS_DENIED where the folder or file may not be
// written).
DWORD UpdateHive(HiveId hive, const std::function<DWORD(Key& root)>& change);

} // namespace registry
