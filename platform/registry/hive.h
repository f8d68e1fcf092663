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
// on the hive file itself, so concurrent writers in any number of processes
// each see the others' changes. A writer follows no link: neither the hive
// nor its temporary "<hive>.new" may be one. A new hive is made with a mode
// of its own (0644 for the machine's, 0600 for a user's) whatever the
// umask; a replaced one keeps the mode and owner it had.
#pragma once

#include "valmorin/com/types.h"

#include "platform/registry/key_tree.h"
#include "platform/registry/types.h"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace valmorin::registry {

enum class HiveId { LocalMachine, CurrentUser, Users };

std::u16string_view HiveRootName(HiveId hive);
std::filesystem::path HiveFile(HiveId hive);

// Reads a file that may be hostile: only a regular file is read, so that a
// FIFO or device put in its place cannot hang or flood the reader. Returns
// why it could not be read, empty when it was; error is the errno of a
// failed call, 0 otherwise.
VALMORIN_PLATFORM_API std::string ReadRegularFile(const std::filesystem::path& file, std::string& bytes, int& error);

// Writes bytes to "<file>.new" (made afresh, never through a link, with
// the given mode whatever the umask), flushes it and renames it over file.
VALMORIN_PLATFORM_API DWORD ReplaceFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode);

// The hive's contents; a hive never written reads as empty. ERROR_BADDB for
// a file that is not a well-formed hive, ERROR_REGISTRY_IO_FAILED when it
// cannot be read.
DWORD ReadHive(HiveId hive, Key& root);
// Why each hive that cannot be read cannot, naming its file.
VALMORIN_PLATFORM_API std::vector<std::string> HiveProblems();

// Runs change on the hive's current contents under the hive's lock and
// replaces the file when change succeeded and altered something. The
// result is change's, or the error that kept the hive from being read or
// written (ERROR_ACCESS_DENIED where the folder or file may not be
// written, or the hive is a link; ERROR_BADKEY when the changed contents
// would not read back as they are).
DWORD UpdateHive(HiveId hive, const std::function<DWORD(Key& root)>& change);

} // namespace valmorin::registry
