// Opening a file this process may already hold open elsewhere. Closing any
// descriptor of a file drops every POSIX lock the process holds on it: a
// descriptor opened and closed on a SQLite store, its WAL or its index
// while a connection of the process has it open takes that connection's
// locks away, and other processes then take the store for unused (they
// leave WAL mode, or rebuild the index under the connection's mapping).
#pragma once

#include "valmorin/com/types.h"

#include "platform/posix/unique_fd.h"

#include <filesystem>

namespace valmorin::posix {

// Opens the file with the flags given (O_NOFOLLOW among them refuses a
// link, ELOOP) unless this process holds POSIX locks on it (as /proc/locks
// lists them): then nothing is opened and errno is EBUSY. The file is
// looked at through a path-only descriptor, whose closing drops no lock,
// and opened again through it, so that what was checked is what is
// opened. An invalid descriptor on failure, with errno set.
VALMORIN_PLATFORM_API UniqueFd OpenUnlessLockedHere(const std::filesystem::path& file, int flags);

} // namespace valmorin::posix
